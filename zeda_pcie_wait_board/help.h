// What zeda_pcie_wait_board --help says.
#ifndef ZEDA_PCIE_WAIT_BOARD_HELP_H
#define ZEDA_PCIE_WAIT_BOARD_HELP_H

#include "command_line.h"

static const ToolHelp HELP = {
    "zeda_pcie_wait_board",
    "[board_id] [seconds]",
    "Waits until the ZEDA FPGA board is back after a reboot (as after\n"
    "zeda_pcie_mode_change): until it can be opened and answers a valid mode,\n"
    "which it then reports as zeda_pcie_get_mode does. It changes nothing on\n"
    "the board and does not rescan the PCI bus.\n",
    "  board_id      the board's number, as the RIFFA driver counts them (default 0)\n"
    "  seconds       how long to wait at most, 0 to 86400 (default 60)\n",
    "0 when the board answered a valid mode; 1 when it did not\n"
    "within the time, or another program held it all that time; 2 on a bad\n"
    "command line; 255 when the board could not be held for this program.\n"};

#endif
