#include "sim_bus.h"

#include <chrono>

#include "sim_text.h"

static const sim_name<sim_bus_model> BUS_MODELS[] = {{"linux", sim_bus_model::linux_driver},
                                                     {"windows", sim_bus_model::windows_driver}};

const char *sim_bus_model_name(sim_bus_model model) { return sim_name_of(model, BUS_MODELS); }

bool sim_parse_bus_model(const char *text, sim_bus_model *model) { return sim_parse_name(text, BUS_MODELS, model); }

int64_t sim_now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

void sim_bus_reboot(sim_board *b, int64_t now_ms) {
    ++b->boot;
    b->back_at_ms = b->reboot_time_ms > 0 ? now_ms + b->reboot_time_ms : 0;
    b->needs_rescan = b->faults.stays_off_bus;
}

long long sim_bus_wait_ms(const sim_board &b, int64_t now_ms) {
    if (b.needs_rescan) return -1;
    if (b.back_at_ms == 0 || b.back_at_ms <= now_ms) return 0;
    const int64_t left = b.back_at_ms - now_ms;
    return left > b.reboot_time_ms ? 0 : left;
}

bool sim_bus_opens(const sim_board &b, int64_t now_ms) {
    return b.bus == sim_bus_model::linux_driver || !sim_off_bus(b, now_ms);
}

sim_reach sim_bus_reach(const sim_board &b, uint32_t handle_boot, int64_t now_ms) {
    if (b.bus == sim_bus_model::linux_driver && b.needs_rescan) return sim_reach::blocked;
    if (handle_boot != b.boot || sim_off_bus(b, now_ms)) return sim_reach::nothing;
    return sim_reach::board;
}

void sim_set_reboot_time(sim_board *b, int ms) {
    b->reboot_time_ms = ms;
    if (ms == 0) b->back_at_ms = 0;
}
