// Virtual board: a board's state lock, held for every change and taken
// never with a silent wait.
#ifndef RIFFA_SIM_LOCK_H
#define RIFFA_SIM_LOCK_H

#include <functional>
#include <string>

// A program that has waited this long for a board's state lock, held by
// another program, says so with the tools' notice "Board <id> is in use by
// another program. Waiting..." and waits on: never a silent hang.
constexpr int SIM_NOTICE_AFTER_MS = 1000;
// Where the notice goes: 1 standard output, 2 standard error (the default).
void sim_notices_to(int fd);

// Runs what under board id's state lock, waiting as long as it takes; false,
// with the reason, when the lock can't be taken.
bool sim_with_state_lock(const std::string &root, int id, std::string *error, const std::function<bool()> &what);

#endif
