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
// Who says it: waiting(id, 0) after SIM_NOTICE_AFTER_MS, waiting(id, 1) when
// a signal ended the wait. Without a hook, the notice goes to standard error.
void sim_on_wait(void (*waiting)(int id, int cut_short));

// Runs what under board id's state lock, waiting until the lock is free or
// a signal arrives (as the Linux driver's waits end on one: the tools end
// a call that has taken too long with SIGALRM). False, with the reason, when
// the lock can't be taken; sim_wait_cut_short() then tells a signal apart.
bool sim_with_state_lock(const std::string &root, int id, std::string *error, const std::function<bool()> &what);
bool sim_wait_cut_short();

#endif
