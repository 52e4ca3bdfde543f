// Virtual board: the hooks the board link calls beside the RIFFA functions
// when the tools run on the virtual board (board_link/board_backend_sim.cpp):
// where a board's lock file is, who hears of a wait for another program,
// and whether a failed open was the virtual board's own fault. Not part of
// RIFFA's riffa.h.
#ifndef RIFFA_SIM_SESSION_H
#define RIFFA_SIM_SESSION_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

// Writes to path the file that a program locks to hold board id from before
// its open to its close: session.lock in the board's own folder, so that a
// board is one board however many state folders exist side by side. Board
// 0 is created on first use, as fpga_open creates it, so that its folder is
// there to lock. Returns 0 with the path when the board exists; 1, nothing
// written, when it does not; -1 when there is no folder for the boards, the
// path does not fit, or whether the board exists can't be told (the reason
// then in a "riffa_sim: board <id>: ..." line on standard error).
int riffa_sim_session_lock_path(int id, char *path, size_t size);

// 1 when the last fpga_open of this process failed for a reason of the
// virtual board's own (an unusable or invalid state, a root folder that
// can't be used: it printed a "riffa_sim: board <id>: ..." line), which
// looking again won't mend; 0 when it succeeded or failed as a device would
// (no such board, off the bus, the open-fails fault).
int riffa_sim_session_open_error(void);

// Every call of the library that changes or reads a board waits while
// another program holds the board's state (riffa_sim, or another tool in
// the middle of a transfer). When such a wait has lasted a second, the
// library calls waiting(id, 0); when a signal ends it (the program's own
// limit for the call, as a signal ends the Linux driver's waits), it calls
// waiting(id, 1), and the call fails as a device's would, without a line of
// its own: a transfer that moved no word, a null handle. Without a hook the
// library says "Board <id> is in use by another program. Waiting..." on
// standard error. A plain function, not a FILE *: on Windows the library
// may have a C runtime of its own.
void riffa_sim_session_on_wait(void (*waiting)(int id, int cut_short));

#ifdef __cplusplus
}
#endif

#endif
