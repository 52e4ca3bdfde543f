#include "sim_bus.h"

#include <chrono>

int64_t sim_now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

void sim_bus_reboot(sim_board *b, int64_t now_ms) {
    b->back_at_ms = b->reboot_time_ms > 0 ? now_ms + b->reboot_time_ms : 0;
    b->needs_rescan = b->faults.stays_off_bus;
}

long long sim_bus_wait_ms(const sim_board &b, int64_t now_ms) {
    if (b.needs_rescan) return -1;
    if (b.back_at_ms == 0 || b.back_at_ms <= now_ms) return 0;
    const int64_t left = b.back_at_ms - now_ms;
    return left > b.reboot_time_ms ? 0 : left;
}

void sim_set_reboot_time(sim_board *b, int ms) {
    b->reboot_time_ms = ms;
    if (ms == 0) b->back_at_ms = 0;
}
