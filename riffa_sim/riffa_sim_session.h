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

// Sends the notice of a wait for a board that another program holds (see
// board_hold) to the tool's message stream: fd 1 for standard output, 2 for
// standard error, the default. A plain number, not a FILE *: on Windows the
// library may have a C runtime of its own.
void riffa_sim_session_notices_to(int fd);

#ifdef __cplusplus
}
#endif

#endif
