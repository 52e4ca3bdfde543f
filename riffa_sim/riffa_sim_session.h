// Virtual board: the hooks the board link calls beside the RIFFA functions
// when the tools run on the virtual board (board_link/board_backend_sim.cpp):
// where a board's lock file is, where the library's notices go, and whether
// a failed open was the virtual board's own fault. Not part of RIFFA's
// riffa.h.
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

// Sends the notice of a wait for a board that another program holds (see
// board_hold) to the tool's message stream: fd 1 for standard output, 2 for
// standard error, the default. A plain number, not a FILE *: on Windows the
// library may have a C runtime of its own.
void riffa_sim_session_notices_to(int fd);

#ifdef __cplusplus
}
#endif

#endif
