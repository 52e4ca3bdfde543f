// The mode tools' start: the board opened, held and asked its mode.
#include <cstdint>
#include <cstdio>

#include "board_link.h"

fpga_t *board_open_in_mode(int id, uint32_t *word, uint32_t *mode) {
    fpga_t *handle = board_open(id, stdout);
    if (handle == nullptr) return nullptr;
    *mode = board_query_mode(handle, word);
    if (*mode == MODE_BOOTLOADER || *mode == MODE_NORMAL) return handle;
    std::printf("Incorrect mode value: %d\n", static_cast<int32_t>(*mode));
    board_close(handle);
    return nullptr;
}
