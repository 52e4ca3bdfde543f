// Virtual board: the checksum of image words, as the programmer, the history
// and riffa_sim verify compute it.
#ifndef RIFFA_SIM_CHECKSUM_H
#define RIFFA_SIM_CHECKSUM_H

#include <cstddef>
#include <cstdint>

// FNV-1a (64-bit) over 32-bit little-endian words, extended word by word;
// a last partial word is left out.
constexpr uint64_t SIM_CHECKSUM_START = 0xcbf29ce484222325ull;
uint64_t sim_checksum(uint64_t sum, const unsigned char *bytes, size_t byte_count);

#endif
