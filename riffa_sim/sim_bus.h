// Virtual board: on and off the PCI bus. A reboot reconfigures the whole
// FPGA, its PCI Express endpoint included: the board is gone from the bus
// until its configuration has loaded, and on some PCs until the bus is
// rescanned. While it is gone, fpga_open fails and fpga_list leaves it out.
#ifndef RIFFA_SIM_BUS_H
#define RIFFA_SIM_BUS_H

#include <cstdint>

#include "sim_board.h"

constexpr int SIM_REBOOT_TIME_MAX_MS = 600000;

// Wall-clock milliseconds: the come-back time must hold across processes.
int64_t sim_now_ms();

// The reboot as the bus sees it: off from now for the board's reboot time,
// and with the stays-off-bus fault until a rescan as well.
void sim_bus_reboot(sim_board *b, int64_t now_ms);

// Milliseconds until the board is back on the bus: 0 when it is on it, -1
// when only a rescan brings it back. A come-back time further away than the
// reboot time (the clock went back, or the reboot time was shortened) counts
// as back, so that no clock change can keep a board away.
long long sim_bus_wait_ms(const sim_board &b, int64_t now_ms);

inline bool sim_off_bus(const sim_board &b, int64_t now_ms) { return sim_bus_wait_ms(b, now_ms) != 0; }

// Sets the reboot time; a board rebooting with 0 is back at once.
void sim_set_reboot_time(sim_board *b, int ms);

#endif
