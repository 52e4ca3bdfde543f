// zeda_pcie_list_boards: lists the FPGA boards the RIFFA library finds, with
// the id that the other tools take. Opens no board.
#include <cstdio>

#include "board_link.h"
#include "tool_main.h"
#include "command_line.h"
#include "console.h"
#include "help.h"

int tool_main(int argc, char **argv) {
    if (command_line_help(argc, argv, HELP)) return 0;

    if (!board_backend_prepare(stdout)) return -1;
    fpga_info_list list = {};
    const int count = board_list(&list);
    if (count < 0) {
        std::printf("Could not list FPGAs\n");
        return -1;
    }
    if (count == 0) {
        std::printf("No FPGA boards found\n");
        return 1;
    }
    for (int i = 0; i < count; ++i) {
        std::printf("Board %d: %.16s (vendor 0x%04x, device 0x%04x, %d channels)\n", list.id[i], list.name[i],
                    unsigned(list.vendor_id[i]), unsigned(list.device_id[i]), list.num_chnls[i]);
    }
    return 0;
}
