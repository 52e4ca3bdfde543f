#include "transfer_guard.h"

#include <csignal>
#include <sys/time.h>

// The interruption is all the handler is for: the library's call returns.
static void interrupt_transfer(int) {}

// What the guard took over, given back by transfer_guard_disarm.
static struct sigaction action_before;
static sigset_t mask_before;
static itimerval timer_before;

void transfer_guard_arm(long long limit_ms) {
    struct sigaction interrupt = {};
    interrupt.sa_handler = interrupt_transfer;
    sigemptyset(&interrupt.sa_mask);
    interrupt.sa_flags = 0;  // no SA_RESTART: the blocked call must return
    sigaction(SIGALRM, &interrupt, &action_before);
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    sigprocmask(SIG_UNBLOCK, &alarm, &mask_before);
    if (limit_ms < 1) limit_ms = 1;
    itimerval timer = {};
    timer.it_value.tv_sec = time_t(limit_ms / 1000);
    timer.it_value.tv_usec = suseconds_t(limit_ms % 1000 * 1000);
    timer.it_interval.tv_sec = 1;
    setitimer(ITIMER_REAL, &timer, &timer_before);
}

void transfer_guard_disarm() {
    // The timer stops before the handler goes, so that no late signal meets
    // a handler that ends the program.
    const itimerval off = {};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigprocmask(SIG_SETMASK, &mask_before, nullptr);
    sigaction(SIGALRM, &action_before, nullptr);
    setitimer(ITIMER_REAL, &timer_before, nullptr);
}
