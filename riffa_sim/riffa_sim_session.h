// Virtual board: what the board-access layer needs beyond the RIFFA
// functions when it runs on the virtual board. Not part of RIFFA's riffa.h.
#ifndef RIFFA_SIM_SESSION_H
#define RIFFA_SIM_SESSION_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

// Writes to path the file that a program locks to hold board id from its
// open to its close: session.lock in the board's own folder, so that a
// board is one board however many state folders exist side by side.
// Returns 0, or -1 when there is no folder for the boards or the path does
// not fit; a board that does not exist has no lock file to open.
int riffa_sim_session_lock_path(int id, char *path, size_t size);

#ifdef __cplusplus
}
#endif

#endif
