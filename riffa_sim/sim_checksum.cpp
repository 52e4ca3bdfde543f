#include "sim_checksum.h"

uint64_t sim_checksum(uint64_t sum, const unsigned char *bytes, size_t byte_count) {
    for (size_t i = 0; i + 4 <= byte_count; i += 4) {
        uint32_t word = uint32_t(bytes[i]) | uint32_t(bytes[i + 1]) << 8 | uint32_t(bytes[i + 2]) << 16 |
                        uint32_t(bytes[i + 3]) << 24;
        sum = (sum ^ word) * 0x100000001b3ull;
    }
    return sum;
}
