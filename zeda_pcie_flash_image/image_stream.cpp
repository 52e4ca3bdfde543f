#include "image_stream.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "board_link.h"
#include "image_file.h"
#include "progress.h"

uint32_t complete_last_word(int file, uint32_t byte_count, unsigned char *tail) {
    // The loop never crosses a word boundary: it asks for the missing bytes only.
    while (byte_count % 4 != 0) {
        const unsigned missing = 4 - byte_count % 4;
        const int got = image_file_read(file, tail, missing);
        if (got < 0) break;
        if (got == 0) {
            std::memset(tail, 0, missing);
            return byte_count / 4 + 1;
        }
        byte_count += unsigned(got);
        tail += got;
    }
    return byte_count / 4;
}

// Sends one chunk, continuing from the first unsent word after a partial
// send. Returns the words the library reported (over-reports included), or
// -1 once a send moves no word; a negative result is such a send too, since
// adding it would send from before the buffer.
static int64_t send_chunk(fpga_t *board, uint32_t *words, uint32_t word_count) {
    int64_t sent = 0;
    while (sent < int64_t(word_count)) {
        const int moved = fpga_send(board, IMAGE_CHANNEL, words + sent, int(word_count - sent), 0, 1, 0);
        if (moved <= 0) return -1;
        sent += moved;
    }
    return sent;
}

// After a read or send failure the board is closed before the exit too, so
// that a library which flushes on close keeps what the board has taken.
[[noreturn]] static void end_stream(fpga_t *board) {
    board_close(board);
    std::exit(1);
}

[[noreturn]] static void read_failed(fpga_t *board) {
    progress_end_line();
    board_print_error("Error reading image file. Programming might not be complete\n");
    end_stream(board);
}

uint32_t stream_image(int file, fpga_t *board, uint32_t expected_words) {
    uint32_t chunk[CHUNK_BYTES / 4];
    unsigned char *const bytes = reinterpret_cast<unsigned char *>(chunk);
    uint32_t written = 0;
    for (;;) {
        const int got = image_file_read(file, bytes, CHUNK_BYTES);
        // A file that ends before its measured size (cut short while being
        // flashed, or a pseudo-file) would leave the programmer waiting for
        // the missing words, and the status poll with it, for ever.
        if (got == 0 && written < expected_words) read_failed(board);
        if (got == 0) return written;
        if (got < 0) read_failed(board);
        const uint32_t words = complete_last_word(file, uint32_t(got), bytes + got);
        // Bytes left out of the count were read from the file; sending on
        // would shift every later word.
        if (words * 4 < uint32_t(got)) read_failed(board);

        const int64_t sent = send_chunk(board, chunk, words);
        print_progress(written, expected_words);
        if (sent < 1) {
            progress_end_line();
            board_print_error("Error writing data. Flashing operation aborted. %d\n", int(sent));
            end_stream(board);
        }

        // written never exceeds expected_words (at most 2097152) here, so
        // even an over-report of INT_MAX words can't wrap the total.
        written += uint32_t(sent);
        if (written > expected_words) {
            progress_end_line();
            board_print_error("WARNING: more bytes written than expected. %llu were written when we "
                              "expected %llu.\nProgramming procedure might still finish but image "
                              "might be incorrect.\n",
                              (unsigned long long)written * 4, (unsigned long long)expected_words * 4);
            return written;
        }
    }
}
