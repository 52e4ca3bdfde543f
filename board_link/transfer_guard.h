// An end to a control transfer that the RIFFA library never ends: on a board
// that rebooted in a slot without hot-plug, RIFFA's Linux driver keeps a
// stale device whose sends wait past their timeout until a signal arrives.
#ifndef TRANSFER_GUARD_H
#define TRANSFER_GUARD_H

// From now on, a call blocked in the library is interrupted limit_ms
// milliseconds from now (and every second after, should the library
// retry), so that it returns as failed. POSIX: an interval timer whose
// SIGALRM handler is installed without SA_RESTART, so that the blocked call
// returns EINTR. Windows: nothing, its library honours its timeouts.
void transfer_guard_arm(long long limit_ms);

// Ends the guard armed last.
void transfer_guard_disarm();

#endif
