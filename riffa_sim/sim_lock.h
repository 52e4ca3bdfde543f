// Virtual board: taking a board's locks, never with a silent wait.
#ifndef RIFFA_SIM_LOCK_H
#define RIFFA_SIM_LOCK_H

#include "file_lock.h"

// A program that has waited this long for a board's state lock, held by
// another program, says so with the tools' notice "Board <id> is in use by
// another program. Waiting..." and waits on: never a silent hang.
constexpr int SIM_NOTICE_AFTER_MS = 1000;
// Where the notice goes: 1 standard output, 2 standard error (the default).
void sim_notices_to(int fd);

// Takes lock, of board id, waiting as long as it takes; a wait of
// SIM_NOTICE_AFTER_MS behind another program prints the notice once.
file_lock_status sim_take_lock(file_lock_t lock, int id, const char **reason);

#endif
