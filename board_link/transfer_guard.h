// An end to a call into the RIFFA library that the library never ends: on a
// board that rebooted in a slot without hot-plug, RIFFA's Linux driver keeps
// a stale device whose sends wait past their timeout until a signal arrives.
#ifndef TRANSFER_GUARD_H
#define TRANSFER_GUARD_H

// From now on, a call blocked in the library is interrupted limit_ms
// milliseconds from now, and every second after should the library retry
// or the signal land just before the call blocks, so that it returns as
// failed. POSIX: an interval timer whose SIGALRM handler is installed
// without SA_RESTART, so that the blocked call returns EINTR; SIGALRM is
// let through while the guard is armed, also when the program that started
// the tool had blocked it (a blocked signal stays blocked across exec).
// Windows: nothing, its library honours its timeouts.
void transfer_guard_arm(long long limit_ms);

// Ends the guard armed last, and gives back what it took: the signal mask,
// the SIGALRM handler and a timer that was running before.
void transfer_guard_disarm();

#endif
