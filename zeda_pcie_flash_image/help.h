// What zeda_pcie_flash_image --help says.
#ifndef ZEDA_PCIE_FLASH_IMAGE_HELP_H
#define ZEDA_PCIE_FLASH_IMAGE_HELP_H

#include "command_line.h"

static const ToolHelp HELP = {
    "zeda_pcie_flash_image",
    "<binary_image> [board_id]",
    "Writes a raw gateware image of at most 8 MiB into the flash of the ZEDA\n"
    "FPGA board, which must be in bootloader mode (see zeda_pcie_mode_change),\n"
    "with a progress bar, and reports the programmer's result.\n",
    "  binary_image  the image file (name a file called --help as ./--help)\n"
    "  board_id      the board's number, as the RIFFA driver counts them (default 0)\n",
    "0 when the image was programmed; 1 when the command line, the\n"
    "image, the board's mode, the transfer or the programmer failed; 255 when\n"
    "the board could not be opened.\n"};

#endif
