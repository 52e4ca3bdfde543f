// The line that reports a board's mode, as the mode query and the wait print it.
#include <cstdio>

#include "board_link.h"

bool board_print_mode(uint32_t mode) {
    if (mode == MODE_BOOTLOADER) {
        std::printf("Board in bootloader mode. \n");
    } else if (mode == MODE_NORMAL) {
        std::printf("Board in normal operation mode. \n");
    } else {
        return false;
    }
    return true;
}
