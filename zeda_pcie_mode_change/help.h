// What zeda_pcie_mode_change --help says.
#ifndef ZEDA_PCIE_MODE_CHANGE_HELP_H
#define ZEDA_PCIE_MODE_CHANGE_HELP_H

#include "command_line.h"

static const ToolHelp HELP = {
    "zeda_pcie_mode_change",
    "[board_id]",
    "Reports the mode of the ZEDA FPGA board, asks for confirmation and reboots\n"
    "the board into the other mode: from normal operation mode into bootloader\n"
    "mode, or back. Only a lone lower-case y and Enter switches.\n",
    "  board_id      the board's number, as the RIFFA driver counts them (default 0)\n",
    "0 when the question was answered, whichever the answer; 255\n"
    "when the board could not be opened or answered an incorrect mode value.\n"};

#endif
