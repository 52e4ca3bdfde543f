// What zeda_pcie_list_boards --help says.
#ifndef ZEDA_PCIE_LIST_BOARDS_HELP_H
#define ZEDA_PCIE_LIST_BOARDS_HELP_H

#include "command_line.h"

static const ToolHelp HELP = {
    "zeda_pcie_list_boards",
    "",
    "Lists the FPGA boards that the RIFFA library finds, one line each, with\n"
    "the board id that the other zeda_pcie tools take. It opens no board.\n",
    "",
    "0 when boards were listed; 1 when there are none; 255 when\n"
    "the RIFFA library could not list them.\n"};

#endif
