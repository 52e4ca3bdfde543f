#include "progress.h"

#include <cstdio>
#include <cstring>

#include "console.h"

// A progress line is on the screen without its line end.
static bool line_open = false;

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

    // The cell is the full block of code page 437, the byte 0xDB; a UTF-8
    // terminal would swallow that byte and leave remnants of longer lines,
    // so it gets the same block as U+2588. Files and pipes keep 0xDB.
    // Asked once, on the first line: a plain flag rather than a guarded
    // static, which would need the C++ runtime library.
    static int utf8_terminal = -1;
    if (utf8_terminal < 0) utf8_terminal = console_is_utf8_terminal(stdout) ? 1 : 0;
    const bool utf8 = utf8_terminal == 1;
    static const char CP437_BLOCK[] = "\xDB";
    static const char UTF8_BLOCK[] = "\xE2\x96\x88";
    const char *block = utf8 ? UTF8_BLOCK : CP437_BLOCK;
    const size_t block_bytes = utf8 ? sizeof UTF8_BLOCK - 1 : sizeof CP437_BLOCK - 1;

    // The whole line goes out in one write: it is redrawn for every 1 KiB
    // chunk, and a write per cell would cost more than the chunk itself.
    static const char LABEL[] = "Progress:  |";
    char line[sizeof LABEL + PROGRESS_CELLS * 3 + 32];
    size_t n = sizeof LABEL - 1;
    std::memcpy(line, LABEL, n);
    for (int64_t i = 0; i < cells; ++i, n += block_bytes) std::memcpy(line + n, block, block_bytes);
    std::memset(line + n, ' ', size_t(PROGRESS_CELLS - cells));
    n += size_t(PROGRESS_CELLS - cells);
    n += size_t(std::snprintf(line + n, sizeof line - n, "| %3d%%\r", int(percent)));
    std::fwrite(line, 1, n, stdout);
    std::fflush(stdout);
    line_open = true;
}

void progress_end_line() {
    if (!line_open) return;
    line_open = false;
    // Files and pipes keep their bytes; only the screen needs the line end.
    if (!console_is_terminal(stdout)) return;
    std::fputc('\n', stdout);
    std::fflush(stdout);
}
