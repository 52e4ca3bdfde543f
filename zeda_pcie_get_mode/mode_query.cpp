// zeda_pcie_get_mode [board_id]: reports whether the board is in bootloader
// or normal operation mode, then waits for a key press.
#include <cstdint>
#include <cstdio>

#include "board_link.h"
#include "tool_main.h"
#include "command_line.h"
#include "console.h"
#include "help.h"

int tool_main(int argc, char **argv) {
    console_keep_std_descriptors();
    if (command_line_help(argc, argv, HELP)) return 0;
    const int id = command_line_board_id(argc, argv, 1);
    fpga_t *board = board_open(id, stdout);
    if (board == nullptr) return -1;

    uint32_t word = 0;
    const uint32_t mode = board_query_mode(board, &word);
    if (mode == MODE_BOOTLOADER) {
        std::printf("Board in bootloader mode. \n");
    } else if (mode == MODE_NORMAL) {
        std::printf("Board in normal operation mode. \n");
    } else {
        std::printf("Incorrect mode value: %d\n", static_cast<int32_t>(mode));
        board_close(board);
        return -1;
    }

    // A person may leave the prompt open for long: the board stays open,
    // but another program may use it meanwhile, as nothing more is sent.
    board_let_go();
    console_wait_for_key("Press any key to exit...\n");  // or the end of input

    board_close(board);
    return 0;
}
