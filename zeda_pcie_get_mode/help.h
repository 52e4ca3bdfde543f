// What zeda_pcie_get_mode --help says.
#ifndef ZEDA_PCIE_GET_MODE_HELP_H
#define ZEDA_PCIE_GET_MODE_HELP_H

#include "command_line.h"

static const ToolHelp HELP = {
    "zeda_pcie_get_mode",
    "[board_id]",
    "Reports whether the ZEDA FPGA board is in bootloader mode or in normal\n"
    "operation mode, then waits for a key. It changes nothing on the board.\n",
    "  board_id      the board's number, as the RIFFA driver counts them (default 0)\n",
    "0 when the mode was reported; 255 when the board could not be\n"
    "opened or answered an incorrect mode value.\n"};

#endif
