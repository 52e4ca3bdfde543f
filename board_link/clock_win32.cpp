#include "clock.h"

#include <windows.h>

int64_t clock_now_ms() { return int64_t(GetTickCount64()); }

void clock_sleep_ms(int64_t ms) {
    if (ms > 0) Sleep(DWORD(ms));
}
