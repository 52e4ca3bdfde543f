// zeda_pcie_get_mode [board_id]: reports whether the board is in bootloader
// or normal operation mode, then waits for a key press.
#include <cstdint>

#include "board_link.h"
#include "tool_main.h"
#include "command_line.h"
#include "console.h"
#include "help.h"

int tool_main(int argc, char **argv) {
    if (command_line_help(argc, argv, HELP)) return 0;
    uint32_t word = 0, mode = 0;
    fpga_t *board = board_open_in_mode(command_line_board_id(argc, argv, 1), &word, &mode);
    if (board == nullptr) return -1;
    board_print_mode(mode);

    // A person may leave the prompt open for long: the board stays open,
    // but another program may use it meanwhile, as nothing more is sent.
    board_let_go();
    console_wait_for_key("Press any key to exit...\n");  // or the end of input

    board_close(board);
    return 0;
}
