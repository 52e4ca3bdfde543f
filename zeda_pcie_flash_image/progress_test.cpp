// The progress line, byte for byte.
#include "progress.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

namespace {

TEST(PrintProgress, DrawsTheBarCellsAndPercentOfTheWordsBefore) {
    const struct {
        uint32_t done, expected;
        int cells, percent;
    } cases[] = {
        {0, 257, 0, 0},
        {0, 1, 0, 0},                // a cell is drawn only for words already sent
        {1, 62, 1, 1},
        {61, 62, 61, 98},
        {1024, 2048, 31, 50},
        {2096896, 2097152, 61, 99},  // last chunk of an 8388608-byte image
        {2097152, 2097152, 62, 100},
        {7, 0, 62, 100},             // nothing expected: full, not a division by zero
    };
    for (const auto &c : cases) {
        testing::internal::CaptureStdout();
        print_progress(c.done, c.expected);
        char percent[16];
        std::snprintf(percent, sizeof percent, " %3d%%\r", c.percent);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "Progress:  |" + std::string(size_t(c.cells), '\xDB') + std::string(size_t(62 - c.cells), ' ') +
                      "|" + percent)
            << c.done << " of " << c.expected;
    }
}

TEST(PrintProgress, EachLineReachesAPipeAtOnce) {
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    std::fflush(stdout);
    const int saved = dup(1);
    dup2(out[1], 1);
    print_progress(1, 2);
    fcntl(out[0], F_SETFL, O_NONBLOCK);
    char got[256];
    const ssize_t n = read(out[0], got, sizeof got);
    std::fflush(stdout);
    dup2(saved, 1);
    for (int fd : {saved, out[0], out[1]}) close(fd);
    EXPECT_EQ(n, 12 + 62 + 7) << "the line stayed in the buffer";
}

}  // namespace
