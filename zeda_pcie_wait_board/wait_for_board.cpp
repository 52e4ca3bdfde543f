// zeda_pcie_wait_board [board_id] [seconds]: waits until the board is back
// after a reboot and reports its mode as zeda_pcie_get_mode does. A reboot
// reconfigures the whole FPGA, its PCI Express endpoint included: until its
// configuration has loaded the board can't be opened (Windows), or opens but
// moves no word (Linux), and a booting board may answer garbage; all of
// these only mean "not yet". The time limit bounds everything: the wait for
// another program's hold, and every call into the library of a look.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "board_link.h"
#include "clock.h"
#include "command_line.h"
#include "console.h"
#include "help.h"
#include "tool_main.h"
#include "wait_schedule.h"

constexpr int DEFAULT_SECONDS = 60;
constexpr int MAX_SECONDS = 86400;
// A look's calls may take this long even at the deadline, so that a board
// that is back still gets to answer.
constexpr int64_t LOOK_MIN_MS = 1000;

enum class look { absent, answered, busy, refused, broken };

// The time limit from the second argument: decimal digits alone (leading
// zeros too), at most a day; the default when absent.
static bool parse_seconds(int argc, char **argv, int *seconds) {
    *seconds = DEFAULT_SECONDS;
    if (argc < 3) return true;
    const char *text = argv[2];
    const size_t digits = std::strspn(text, "0123456789");
    if (digits == 0 || text[digits] != '\0') return false;
    const char *significant = text + std::strspn(text, "0");
    if (std::strlen(significant) > 5) return false;
    *seconds = std::atoi(significant);
    return *seconds <= MAX_SECONDS;
}

int64_t wait_pause_ms(int64_t start_ms, int64_t now_ms, int64_t deadline_ms) {
    const int64_t interval = now_ms - start_ms < FIRST_POLLS_FOR_MS ? FIRST_POLL_MS : LATER_POLL_MS;
    return std::clamp<int64_t>(deadline_ms - now_ms, 0, interval);
}

// One look at the board before deadline_ms: held as every tool holds it,
// opened quietly (it is expected to be away), asked its mode and closed.
static look look_at_board(int id, int64_t deadline_ms, uint32_t *mode) {
    switch (board_hold(id, stdout, deadline_ms)) {
    case BOARD_HELD: break;
    case BOARD_STILL_BUSY: return look::busy;
    case BOARD_NO_SUCH_BOARD: return look::absent;
    case BOARD_UNLOCKABLE: return look::refused;
    }
    board_limit_transfers(std::max(deadline_ms - clock_now_ms(), LOOK_MIN_MS));
    fpga_t *board = board_open_held(id);
    look seen = look::absent;
    if (board == nullptr) {
        if (board_backend_failed()) seen = look::broken;
    } else if (board_query_mode_quietly(board, mode)) {
        seen = look::answered;
    }
    if (seen == look::absent && board_held_past_limit()) seen = look::busy;
    if (board == nullptr) board_let_go();
    else board_close(board);
    board_limit_transfers(0);
    return seen;
}

static int still_in_use(int id, int seconds) {
    std::printf("Board %d was still in use by another program after %d s.\n", id, seconds);
    return 1;
}

// last_mode: the last value the board answered that is no mode, if any.
static int did_not_come_back(int id, int seconds, const uint32_t *last_mode) {
    char manual[256];
    command_line_manual(HELP.name, manual, sizeof manual);
    if (last_mode) {
        std::printf(
            "Board %d did not come back within %d s (last mode value: %d). Rescan the PCI bus "
            "(see %s) or restart the PC.\n",
            id, seconds, static_cast<int32_t>(*last_mode), manual);
    } else {
        std::printf("Board %d did not come back within %d s. Rescan the PCI bus (see %s) or restart the PC.\n", id,
                    seconds, manual);
    }
    return 1;
}

int tool_main(int argc, char **argv) {
    if (command_line_help(argc, argv, HELP)) return 0;
    const int id = command_line_board_id(argc, argv, 1);
    int seconds = 0;
    if (!parse_seconds(argc, argv, &seconds)) {
        std::printf("Usage: %s %s\n", HELP.name, HELP.arguments);
        return 2;
    }
    console_hush_library();
    if (!board_backend_prepare(stdout)) return -1;

    const int64_t start_ms = clock_now_ms();
    const int64_t deadline_ms = start_ms + int64_t(seconds) * 1000;
    bool answered = false;
    uint32_t mode = 0, last_answer = 0;
    for (;;) {
        const look seen = look_at_board(id, deadline_ms, &mode);
        if (seen == look::refused || seen == look::broken) return -1;
        if (seen == look::busy) return still_in_use(id, seconds);
        if (seen == look::answered) {
            if (board_print_mode(mode)) return 0;
            answered = true;
            last_answer = mode;
        }
        const int64_t now = clock_now_ms();
        if (now >= deadline_ms) return did_not_come_back(id, seconds, answered ? &last_answer : nullptr);
        clock_sleep_ms(wait_pause_ms(start_ms, now, deadline_ms));
    }
}
