// The streaming loop and word completion against the recording fake RIFFA,
// fed by temporary files and by pipes that give short reads on demand.
#include "image_stream.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/time.h>

#include <chrono>
#include <cstdlib>
#include <fstream>

#include "board_link.h"
#include "fake_riffa.h"
#include "flash_test_support.h"
#include "pty_pair.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = char(i * 7 + 1);
    return s;
}

int file_with(const std::string &bytes) {
    char path[] = "/tmp/flash_image_test_XXXXXX";
    const int fd = mkstemp(path);
    unlink(path);
    EXPECT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    lseek(fd, 0, SEEK_SET);
    return fd;
}

// Tells, as the process ends, whether the board was closed and after how
// many image sends: the death tests' view of what happened before exit.
void report_close_at_exit() {
    std::atexit([] {
        std::fprintf(stderr, "[closed %zu, sends %zu]", fake_riffa_calls(FakeFn::close).size(),
                     fake_riffa_calls(FakeFn::send).size());
    });
}

// complete_last_word on a chunk of n bytes whose rest comes from a pipe.
struct Completion {
    uint32_t words;
    std::string tail;
};
Completion complete(uint32_t n, std::vector<std::string> segments) {
    FedPipe p = feed_pipe(std::move(segments));
    unsigned char chunk[16];
    std::memset(chunk, 0xAA, sizeof chunk);
    const uint32_t words = complete_last_word(p.fd, n, chunk + n);
    end_feed(p);
    return {words, std::string(reinterpret_cast<char *>(chunk) + n, words * 4 > n ? words * 4 - n : 0)};
}

TEST(CompleteLastWord, ReadsTheMissingBytesAcrossShortReadsAndZeroFillsAtTheEnd) {
    const struct {
        uint32_t n;
        std::vector<std::string> segments;
        uint32_t words;
        std::string tail;
    } cases[] = {
        {8, {"xyz"}, 2, ""},                       // whole words
        {1, {}, 1, std::string(3, '\0')},          // end of file at once
        {6, {"ab"}, 2, "ab"},                      // the missing bytes in one read
        {5, {"a", "bc"}, 2, "abc"},                // short read, then the rest
        {5, {"a", "b", "cd"}, 2, "abc"},           // only the missing bytes
        {5, {"a"}, 2, std::string("a\0\0", 3)},    // 1 of 3, then end of file
        {7, {}, 2, std::string(1, '\0')},
    };
    for (const auto &c : cases) {
        const Completion got = complete(c.n, c.segments);
        EXPECT_EQ(got.words, c.words) << "n=" << c.n;
        EXPECT_EQ(got.tail, c.tail) << "n=" << c.n;
    }
}

TEST(CompleteLastWord, FailedReadLeavesThePartialWordUncounted) {
    const int dir = open("/", O_RDONLY);  // reading a directory fails
    unsigned char chunk[8] = {};
    EXPECT_EQ(complete_last_word(dir, 5, chunk + 5), 1u);
    EXPECT_EQ(complete_last_word(dir, 3, chunk + 3), 0u);
    close(dir);
}

class StreamImage : public testing::Test {
protected:
    void SetUp() override { fake_riffa_reset(); }

    // Streams the file behind fd and returns the words written; out and err
    // get what went to the console.
    uint32_t stream(int fd, uint32_t expected_words) {
        CaptureStdout();
        CaptureStderr();
        const uint32_t written = stream_image(fd, fake_riffa_handle(), expected_words);
        out = GetCapturedStdout();
        err = GetCapturedStderr();
        return written;
    }
    std::string out, err;
};

TEST_F(StreamImage, SendsPaddedWordsOneTransferPerChunkWithAProgressLineEach) {
    for (uint32_t size : {0u, 1u, 1023u, 1024u, 1026u, 5000u}) {
        fake_riffa_reset();
        const std::string image = pattern(size);
        const int fd = file_with(image);
        const uint32_t expected = (size + 3) / 4;
        EXPECT_EQ(stream(fd, expected), expected) << size;
        close(fd);

        EXPECT_EQ(fake_riffa_taken_words(IMAGE_CHANNEL), image_words(image)) << size;
        const std::vector<FakeCall> sends = fake_riffa_calls(FakeFn::send);
        ASSERT_EQ(sends.size(), (expected + 255) / 256) << size;
        for (size_t i = 0; i < sends.size(); ++i) {
            EXPECT_EQ(sends[i].len, int(std::min<uint32_t>(256, expected - 256 * uint32_t(i))));
            EXPECT_EQ(sends[i].chnl, 1);
            EXPECT_EQ(sends[i].destoff, 0u);
            EXPECT_EQ(sends[i].last, 1);
            EXPECT_EQ(sends[i].timeout, 0);
        }
        EXPECT_EQ(out, reference_progress(size)) << size;
        EXPECT_EQ(err, "");
    }
}

TEST_F(StreamImage, ShortReadsMidFileKeepEveryWordInPlace) {
    const std::string image = pattern(3001);
    FedPipe p = feed_pipe({image.substr(0, 5), image.substr(5, 2), image.substr(7, 1), image.substr(8, 1500),
                           image.substr(1508, 3), image.substr(1511)});
    EXPECT_EQ(stream(p.fd, 751), 751u);
    end_feed(p);
    EXPECT_EQ(fake_riffa_taken_words(IMAGE_CHANNEL), image_words(image));
}

TEST_F(StreamImage, PartialSendsContinueFromTheFirstUnsentWord) {
    const std::string image = pattern(1024);
    fake_riffa().send_results = {100, 56, 100};
    const int fd = file_with(image);
    EXPECT_EQ(stream(fd, 256), 256u);
    close(fd);
    const std::vector<FakeCall> sends = fake_riffa_calls(FakeFn::send);
    ASSERT_EQ(sends.size(), 3u);
    EXPECT_EQ(sends[1].len, 156);
    EXPECT_EQ(sends[2].len, 100);
    EXPECT_EQ(fake_riffa_taken_words(IMAGE_CHANNEL), image_words(image));
    EXPECT_EQ(out, reference_progress(1024));  // one line for the chunk, not per send
}

TEST_F(StreamImage, MoreWordsThanExpectedWarnAndStopStreaming) {
    const std::string warning =
        "WARNING: more bytes written than expected. %d were written when we expected %d.\n"
        "Programming procedure might still finish but image might be incorrect.\n";
    char text[256];

    // The library reports more words than it was handed.
    fake_riffa().send_results = {257};
    int fd = file_with(pattern(1024));
    EXPECT_EQ(stream(fd, 256), 257u);
    close(fd);
    std::snprintf(text, sizeof text, warning.c_str(), 1028, 1024);
    EXPECT_EQ(err, text);

    // The file grew after it was measured: the second chunk already exceeds it.
    fake_riffa_reset();
    fd = file_with(pattern(3000));
    EXPECT_EQ(stream(fd, 256), 512u);
    close(fd);
    EXPECT_EQ(fake_riffa_calls(FakeFn::send).size(), 2u);
    EXPECT_EQ(out, reference_progress_line(0, 256) + reference_progress_line(256, 256));
    std::snprintf(text, sizeof text, warning.c_str(), 2048, 1024);
    EXPECT_EQ(err, text);

    // It was empty when measured: a full bar rather than a division by zero.
    fake_riffa_reset();
    fd = file_with(pattern(10));
    EXPECT_EQ(stream(fd, 0), 3u);
    close(fd);
    EXPECT_EQ(out, "Progress:  |" + std::string(62, '\xDB') + "| 100%\r");
    std::snprintf(text, sizeof text, warning.c_str(), 12, 0);
    EXPECT_EQ(err, text);
}

// True while the thread is blocked in read(): the first field of its
// /proc syscall file is the number of the call it is in.
bool blocked_in_read(pid_t thread) {
    std::ifstream in("/proc/self/task/" + std::to_string(thread) + "/syscall");
    long number = -1;
    return (in >> number) && number == SYS_read;
}

TEST_F(StreamImage, InterruptedReadIsRepeated) {
    static volatile sig_atomic_t interrupted = 0;
    struct sigaction action = {};
    action.sa_handler = [](int) { interrupted = 1; };  // no SA_RESTART: the read fails with EINTR
    sigaction(SIGUSR1, &action, nullptr);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pthread_t reader = pthread_self();
    const pid_t reader_id = pid_t(syscall(SYS_gettid));
    interrupted = 0;
    std::thread writer([&] {
        // The signal must find the read waiting, or the case is not made.
        while (!blocked_in_read(reader_id)) std::this_thread::yield();
        pthread_kill(reader, SIGUSR1);
        while (!interrupted) std::this_thread::yield();
        EXPECT_EQ(write(fds[1], "abcdef", 6), 6);
        close(fds[1]);
    });
    EXPECT_EQ(stream(fds[0], 2), 2u);
    writer.join();
    close(fds[0]);
    signal(SIGUSR1, SIG_DFL);
    EXPECT_EQ(fake_riffa_taken_words(IMAGE_CHANNEL), image_words("abcdef"));
    EXPECT_EQ(err, "");
}

using StreamImageDeathTest = StreamImage;

TEST_F(StreamImageDeathTest, SendThatMovesNoWordClosesTheBoardAndExits) {
    const int fd = file_with(pattern(4096));
    for (const std::deque<int> &results : {std::deque<int>{256, 0}, std::deque<int>{256, 100, -5},
                                           std::deque<int>{256, -1}}) {
        fake_riffa_reset();
        fake_riffa().send_results = results;
        lseek(fd, 0, SEEK_SET);
        // A negative count is a send that moved nothing: never added, never
        // followed by a send from before the buffer.
        EXPECT_EXIT((report_close_at_exit(), stream_image(fd, fake_riffa_handle(), 1024)),
                    testing::ExitedWithCode(1),
                    "Error writing data\\. Flashing operation aborted\\. -1\n\\[closed 1, sends " +
                        std::to_string(results.size()) + "\\]$");
    }
    close(fd);
}

TEST_F(StreamImageDeathTest, ReadFailureClosesTheBoardAndExits) {
    const std::string message = "Error reading image file\\. Programming might not be complete\n";
    const int dir = open("/", O_RDONLY);
    EXPECT_EXIT((report_close_at_exit(), stream_image(dir, fake_riffa_handle(), 10)),
                testing::ExitedWithCode(1), message + "\\[closed 1, sends 0\\]$");
    close(dir);

    // A read that fails in the middle of the last word: the chunk is not
    // sent with a word the file never gave.
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    const timeval wait = {0, 20000};
    setsockopt(fds[0], SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    ASSERT_EQ(write(fds[1], "abcde", 5), 5);
    EXPECT_EXIT((report_close_at_exit(), stream_image(fds[0], fake_riffa_handle(), 10)),
                testing::ExitedWithCode(1), message + "\\[closed 1, sends 0\\]$");
    close(fds[0]);
    close(fds[1]);

    // A file that ends before its measured size: the programmer would wait
    // for the missing words, and the status poll with it, for ever.
    const int fd = file_with(pattern(1000));
    EXPECT_EXIT((report_close_at_exit(), stream_image(fd, fake_riffa_handle(), 1024)),
                testing::ExitedWithCode(1), message + "\\[closed 1, sends 1\\]$");
    close(fd);
}

TEST_F(StreamImageDeathTest, ReadFailureOnATerminalEndsTheProgressLineFirst) {
    int master, terminal;
    ASSERT_TRUE(open_pty_pair(&master, &terminal));
    // One chunk, then a read that fails: a progress line is on the screen.
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    const timeval wait = {0, 20000};
    setsockopt(fds[0], SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    ASSERT_EQ(write(fds[1], pattern(1024).data(), 1024), 1024);
    EXPECT_EXIT((dup2(terminal, 1), stream_image(fds[0], fake_riffa_handle(), 512)),
                testing::ExitedWithCode(1), "Error reading image file");
    const std::string screen = read_pty_until(master, "\r\r\n");
    ASSERT_GT(screen.size(), 2u);
    EXPECT_EQ(screen.substr(screen.size() - 3), "\r\r\n") << "the message would overwrite the bar";
    for (int fd : {fds[0], fds[1], terminal, master}) close(fd);
}

}  // namespace
