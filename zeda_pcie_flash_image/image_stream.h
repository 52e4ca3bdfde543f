// Streaming of the image file to the board's programmer: 32-bit words on the
// image channel, one chunk of up to CHUNK_BYTES per transfer, the last word
// completed with zero bytes, and the progress line redrawn after each chunk.
#ifndef IMAGE_STREAM_H
#define IMAGE_STREAM_H

#include <cstdint>

#include <riffa.h>

constexpr uint32_t CHUNK_BYTES = 1024;
// Word completion reads past a chunk's bytes only up to the next word end.
static_assert(CHUNK_BYTES % 4 == 0);
constexpr uint32_t MAX_IMAGE_BYTES = 8388608;

// Sends the file, open and at its start, to the board and returns the words
// the board took. A read failure, a file that ends before expected_words, or
// a send that moves no word prints its message, closes the board and ends
// the process with status 1. When more words than expected have gone (the
// file grew, or the library over-reports), it warns and returns early.
uint32_t stream_image(int file, fpga_t *board, uint32_t expected_words);

// For a chunk of byte_count bytes (> 0) whose first free byte is tail: reads
// the missing bytes of a trailing partial word, zero-filling it at the end of
// the file, and returns the chunk's word count. A failed read leaves the
// partial word out of the count, so fewer words come back than the bytes read.
uint32_t complete_last_word(int file, uint32_t byte_count, unsigned char *tail);

#endif
