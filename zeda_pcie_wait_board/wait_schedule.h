// When zeda_pcie_wait_board looks at the board.
#ifndef ZEDA_PCIE_WAIT_BOARD_WAIT_SCHEDULE_H
#define ZEDA_PCIE_WAIT_BOARD_WAIT_SCHEDULE_H

#include <cstdint>

// A few looks a second at first, so that the wait ends soon after a short
// reboot; then one a second, as a board away for long costs the library a
// line of its own per failed open on some systems.
constexpr int64_t FIRST_POLL_MS = 250;
constexpr int64_t LATER_POLL_MS = 1000;
constexpr int64_t FIRST_POLLS_FOR_MS = 5000;

// The pause before the next look of a wait that began at start_ms, at
// now_ms: never past deadline_ms, where the last look is due.
int64_t wait_pause_ms(int64_t start_ms, int64_t now_ms, int64_t deadline_ms);

#endif
