// What zeda_pcie_mode_change --help says.
#ifndef ZEDA_PCIE_MODE_CHANGE_HELP_H
#define ZEDA_PCIE_MODE_CHANGE_HELP_H

// Usage, what the tool does and its arguments; the options follow.
static const char HELP[] =
    "Usage: zeda_pcie_mode_change [board_id]\n"
    "Reports the mode of the ZEDA FPGA board, asks for confirmation and reboots\n"
    "the board into the other mode: from normal operation mode into bootloader\n"
    "mode, or back. Only a lone lower-case y and Enter switches.\n"
    "\n"
    "Arguments:\n"
    "  board_id      the board's number, as the RIFFA driver counts them (default 0)\n";

// What its exit statuses mean.
static const char HELP_EXIT[] =
    "0 when the question was answered, whichever the answer; 255\n"
    "when the board could not be opened or answered an incorrect mode value.\n";

#endif
