#include "transfer_guard.h"

// RIFFA's Windows library ends every transfer at its timeout.
void transfer_guard_arm(long long) {}

void transfer_guard_disarm() {}
