#include "clock.h"

#include <ctime>

int64_t clock_now_ms() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

void clock_sleep_ms(int64_t ms) {
    if (ms <= 0) return;
    const timespec pause = {time_t(ms / 1000), long(ms % 1000) * 1000000};
    nanosleep(&pause, nullptr);
}
