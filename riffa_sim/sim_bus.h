// Virtual board: on and off the PCI bus, as the PC's RIFFA driver shows it.
// A reboot reconfigures the whole FPGA, its PCI Express endpoint included:
// the board is gone from the bus until its configuration has loaded, and on
// some PCs until the bus is rescanned. fpga_list then leaves it out under
// either driver. The Windows driver fails fpga_open for it; the Linux one
// opens any id, answers its transfers with 0 at once, and where only a
// rescan brings the board back (no hot-plug) never ends them until a signal
// arrives. A handle opened before the board's latest reboot is stale:
// nothing moves on it, ever.
#ifndef RIFFA_SIM_BUS_H
#define RIFFA_SIM_BUS_H

#include <cstdint>

#include "sim_board.h"

constexpr int SIM_REBOOT_TIME_MAX_MS = 600000;

// "linux" or "windows", as riffa_sim bus takes and shows it.
const char *sim_bus_model_name(sim_bus_model model);
bool sim_parse_bus_model(const char *text, sim_bus_model *model);

// Wall-clock milliseconds: the come-back time must hold across processes.
int64_t sim_now_ms();

// The reboot as the bus sees it: a new boot, off from now for the board's
// reboot time, and with the stays-off-bus fault until a rescan as well.
void sim_bus_reboot(sim_board *b, int64_t now_ms);

// Milliseconds until the board is back on the bus: 0 when it is on it, -1
// when only a rescan brings it back. A come-back time further away than the
// reboot time (the clock went back, or the reboot time was shortened) counts
// as back, so that no clock change can keep a board away.
long long sim_bus_wait_ms(const sim_board &b, int64_t now_ms);

inline bool sim_off_bus(const sim_board &b, int64_t now_ms) { return sim_bus_wait_ms(b, now_ms) != 0; }

// Whether fpga_open gets a handle now (the open-fails fault aside).
bool sim_bus_opens(const sim_board &b, int64_t now_ms);

// What a transfer on a handle opened in boot handle_boot meets now: the
// board, 0 at once, or a wait for a signal or the rescan (Linux driver,
// stale device).
enum class sim_reach { board, nothing, blocked };
sim_reach sim_bus_reach(const sim_board &b, uint32_t handle_boot, int64_t now_ms);

// Sets the reboot time; a board rebooting with 0 is back at once.
void sim_set_reboot_time(sim_board *b, int ms);

#endif
