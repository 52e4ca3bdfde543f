#include "progress.h"

#include <cstdio>
#include <cstring>

void print_progress(uint32_t words_before, uint32_t expected_words) {
    // Both products fit in 32 bits for images up to 8 MiB; 64 bits keep the
    // cell count in range whatever the caller passes.
    int64_t cells = PROGRESS_CELLS;
    int64_t percent = 100;
    if (expected_words != 0) {
        cells = int64_t(words_before) * PROGRESS_CELLS / expected_words;
        percent = int64_t(words_before) * 100 / expected_words;
    }
    if (cells > PROGRESS_CELLS) cells = PROGRESS_CELLS;

    // The whole line goes out in one write: it is redrawn for every 1 KiB
    // chunk, and a write per cell would cost more than the chunk itself.
    static const char LABEL[] = "Progress:  |";
    char line[sizeof LABEL + PROGRESS_CELLS + 32];
    size_t n = sizeof LABEL - 1;
    std::memcpy(line, LABEL, n);
    std::memset(line + n, 0xDB, size_t(cells));  // full block of code page 437
    n += size_t(cells);
    std::memset(line + n, ' ', size_t(PROGRESS_CELLS - cells));
    n += size_t(PROGRESS_CELLS - cells);
    n += size_t(std::snprintf(line + n, sizeof line - n, "| %3d%%\r", int(percent)));
    std::fwrite(line, 1, n, stdout);
    std::fflush(stdout);
}
