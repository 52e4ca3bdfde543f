// zeda_pcie_wait_board [board_id] [seconds]: waits until the board is back
// after a reboot and reports its mode as zeda_pcie_get_mode does. A reboot
// reconfigures the whole FPGA, its PCI Express endpoint included: until its
// configuration has loaded the board can't be opened, and a booting board
// may answer garbage, so both only mean "not yet".
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "board_link.h"
#include "tool_main.h"
#include "command_line.h"
#include "console.h"
#include "help.h"

using Clock = std::chrono::steady_clock;

constexpr int DEFAULT_SECONDS = 60;
constexpr int MAX_SECONDS = 86400;
// A few looks a second: the wait ends soon after the board is back, and
// costs the PC nothing in between.
constexpr std::chrono::milliseconds POLL_INTERVAL(250);

enum class look { absent, answered, refused };

// The time limit from the second argument: decimal digits alone, at most
// a day; the default when absent.
static bool parse_seconds(int argc, char **argv, int *seconds) {
    *seconds = DEFAULT_SECONDS;
    if (argc < 3) return true;
    const char *text = argv[2];
    const size_t digits = std::strspn(text, "0123456789");
    if (digits == 0 || digits > 5 || text[digits] != '\0') return false;
    *seconds = std::atoi(text);
    return *seconds <= MAX_SECONDS;
}

// One look at the board: opened quietly (it is expected to be away), held
// as every tool holds it for its requests, asked its mode and closed.
static look look_at_board(int id, uint32_t *mode) {
    fpga_t *board = fpga_open(id);
    if (board == nullptr) return look::absent;
    if (!board_hold(id, stdout)) {
        fpga_close(board);
        return look::refused;
    }
    uint32_t word = 0;
    *mode = board_query_mode(board, &word);
    board_close(board);
    return look::answered;
}

int tool_main(int argc, char **argv) {
    console_keep_std_descriptors();
    if (command_line_help(argc, argv, HELP)) return 0;
    const int id = command_line_board_id(argc, argv, 1);
    int seconds = 0;
    if (!parse_seconds(argc, argv, &seconds)) {
        std::printf("Usage: %s %s\n", HELP.name, HELP.arguments);
        return 2;
    }

    // Its looks open the board themselves; a wait inside the library says so here.
    if (!board_backend_prepare(stdout)) return -1;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(seconds);
    bool answered = false;
    uint32_t mode = 0;
    for (;;) {
        const look seen = look_at_board(id, &mode);
        if (seen == look::refused) return -1;
        answered = answered || seen == look::answered;
        if (seen == look::answered && board_print_mode(mode)) return 0;
        const Clock::time_point now = Clock::now();
        if (now >= deadline) break;
        std::this_thread::sleep_for(std::min<Clock::duration>(POLL_INTERVAL, deadline - now));
    }

    char manual[256];
    command_line_manual(HELP.name, manual, sizeof manual);
    if (answered) {
        std::printf("Board %d did not come back within %d s (last mode value: %d). Rescan the PCI bus "
                    "(see %s) or restart the PC.\n",
                    id, seconds, static_cast<int32_t>(mode), manual);
    } else {
        std::printf("Board %d did not come back within %d s. Rescan the PCI bus "
                    "(see %s) or restart the PC.\n",
                    id, seconds, manual);
    }
    return 1;
}
