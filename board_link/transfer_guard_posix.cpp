#include "transfer_guard.h"

#include <csignal>
#include <sys/time.h>

// The interruption is all the handler is for: the library's call returns.
static void interrupt_transfer(int) {}

void transfer_guard_arm(long long limit_ms) {
    struct sigaction interrupt = {};
    interrupt.sa_handler = interrupt_transfer;
    sigemptyset(&interrupt.sa_mask);
    interrupt.sa_flags = 0;  // no SA_RESTART
    sigaction(SIGALRM, &interrupt, nullptr);
    if (limit_ms < 1) limit_ms = 1;
    itimerval timer = {};
    timer.it_value.tv_sec = time_t(limit_ms / 1000);
    timer.it_value.tv_usec = suseconds_t(limit_ms % 1000 * 1000);
    timer.it_interval.tv_sec = 1;
    setitimer(ITIMER_REAL, &timer, nullptr);
}

void transfer_guard_disarm() {
    const itimerval off = {};
    setitimer(ITIMER_REAL, &off, nullptr);
}
