// zeda_pcie_mode_change [board_id]: reports the board's mode, asks for
// confirmation and reboots the board into the other mode.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "board_link.h"
#include "tool_main.h"
#include "command_line.h"
#include "console.h"
#include "help.h"

// One answer line of at most 99 characters and its terminating zero.
constexpr int ANSWER_BYTES = 100;

// True only for a lone lower-case y and its line feed. Anything else is a
// no, and so is end of input or a read error, which leave no line to judge.
static bool read_yes() {
    char answer[ANSWER_BYTES] = {0};
    if (std::fgets(answer, ANSWER_BYTES, stdin) == nullptr) return false;
    return std::strcmp(answer, "y\n") == 0;
}

// What the switch will do and what to make sure of first, for a board in
// mode (bootloader or normal).
static void print_plan(uint32_t mode) {
    if (mode == MODE_BOOTLOADER) {
        std::printf("Board is in bootloader mode. Preparing to reboot into normal mode\n");
        std::printf("Check that all programming operations have finished\n");
        std::printf("If, after rebooting, the board persists in bootloader mode then the ZEDA image "
                    "might be damaged and will need reflashing over JTAG\n");
    } else {
        std::printf("Board is in normal operation mode. Preparing to reboot into bootloader mode\n");
        // "operarions" is the established text; scripts match on it.
        std::printf("Check that all operarions are finished and the device is not in use\n\n");
    }
}

int tool_main(int argc, char **argv) {
    if (command_line_help(argc, argv, HELP)) return 0;
    uint32_t word = 0, mode = 0;
    fpga_t *board = board_open_in_mode(command_line_board_id(argc, argv, 1), &word, &mode);
    if (board == nullptr) return -1;
    print_plan(mode);

    std::printf("Proceed [y/n]? ");
    std::fflush(stdout);  // the prompt has no line end: show it before waiting
    if (!read_yes()) {
        std::printf("Mode not changed.\n");
        board_close(board);
        return 0;
    }

    // The request only arms the reboot; the reset carries it out. A count
    // other than 1 is only warned about, so the reset follows regardless.
    // A run cut off between the two would leave the reboot armed for any
    // later reset, so a vanished reader or terminal no longer ends it.
    console_ignore_hangup();
    board_arm_mode_switch(board, &word);
    board_reset(board);
    std::printf("Mode change complete.\n");
    board_close(board);
    return 0;
}
