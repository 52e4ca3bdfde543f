// A clock for waits that a change of the wall clock can't stretch or cut,
// and a pause; plain functions, so that the tools load no C++ runtime.
#ifndef CLOCK_H
#define CLOCK_H

#include <cstdint>

// Milliseconds since some fixed point in the past.
int64_t clock_now_ms();

// Sleeps for ms milliseconds; a signal may end it early.
void clock_sleep_ms(int64_t ms);

#endif
