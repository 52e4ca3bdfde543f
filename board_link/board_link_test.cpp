// The board link against the recording fake: exact requests, replies and
// warnings, as the board and the console see them.
#include "board_link.h"
#include "command_line.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "clock.h"
#include "fake_riffa.h"

namespace {

class BoardLink : public ::testing::Test {
protected:
    void SetUp() override { fake_riffa_reset(); }
    fpga_t *board = fake_riffa_handle();
    uint32_t word = 0;
};

void expect_control_send(const FakeCall &c, uint32_t code, uint32_t value) {
    EXPECT_EQ(c.fn, FakeFn::send);
    EXPECT_EQ(c.chnl, 0);
    EXPECT_EQ(c.len, 1);
    EXPECT_EQ(c.destoff, code);
    EXPECT_EQ(c.last, 1);
    EXPECT_EQ(c.timeout, 25000);
    EXPECT_EQ(c.words, std::vector<uint32_t>{value});
}

void expect_control_recv(const FakeCall &c) {
    EXPECT_EQ(c.fn, FakeFn::recv);
    EXPECT_EQ(c.chnl, 0);
    EXPECT_EQ(c.len, 1);
    EXPECT_EQ(c.timeout, 25000);
}

TEST_F(BoardLink, RequestSendsOneControlWordWithTheCodeAsOffset) {
    testing::internal::CaptureStdout();
    board_send_request(board, &word, REQ_IMAGE_SIZE, 8388608);
    board_send_request(board, &word, REQ_MODE_SWITCH, MODE_SWITCH_KEY);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ASSERT_EQ(fake_riffa().calls.size(), 2u);
    expect_control_send(fake_riffa().calls[0], 0x00000002, 8388608);
    expect_control_send(fake_riffa().calls[1], 0x0F000000, 0x4B524254);  // "KRBT", the board's only key
    EXPECT_EQ(word, MODE_SWITCH_KEY);
}

TEST_F(BoardLink, CountOtherThanOneOnlyWarnsWithoutLineEnd) {
    fake_riffa().send_results = {0, 2, -1};
    fake_riffa().recv_results = {{0, 0}, {3, 7}};
    testing::internal::CaptureStdout();
    board_send_request(board, &word, REQ_PROGRAMMER_COMMAND, 2);
    board_send_request(board, &word, REQ_PROGRAMMER_COMMAND, 1);
    board_send_request(board, &word, REQ_IMAGE_SIZE, 4);
    board_read_reply(board, &word);
    board_read_reply(board, &word);
    std::printf("next");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "WARNING: Sent 0 wordsWARNING: Sent 2 wordsWARNING: Sent -1 words"
              "WARNING: Sent 0 wordsWARNING: Sent 3 wordsnext");
    EXPECT_EQ(fake_riffa().calls.size(), 5u) << "no retry after a short count";
    EXPECT_EQ(word, 7u);
}

TEST_F(BoardLink, ReplyOverwritesTheControlWordOnlyWhenItArrives) {
    fake_riffa().recv_results = {{1, 0x18}, {0, 0x99}};
    word = 0xFFFFFFFF;
    board_read_reply(board, &word);
    expect_control_recv(fake_riffa().calls[0]);
    EXPECT_EQ(word, 0x18u);
    testing::internal::CaptureStdout();
    board_read_reply(board, &word);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(word, 0x18u) << "a lost reply leaves the word as it was";
}

TEST_F(BoardLink, ModeQuerySendsTheFillThenReadsTheReply) {
    fake_riffa().recv_results = {{1, MODE_BOOTLOADER}};
    EXPECT_EQ(board_query_mode(board, &word), 2u);
    ASSERT_EQ(fake_riffa().calls.size(), 2u);
    expect_control_send(fake_riffa().calls[0], 0x2F000001, 0xFFFFFFFF);
    expect_control_recv(fake_riffa().calls[1]);
}

TEST_F(BoardLink, LostModeReplyReadsAsTheFillWhichIsInvalid) {
    testing::internal::CaptureStdout();
    const uint32_t mode = board_query_mode(board, &word);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "WARNING: Sent 0 words");
    EXPECT_EQ(mode, 0xFFFFFFFFu);
    EXPECT_EQ(static_cast<int32_t>(mode), -1);
}

TEST_F(BoardLink, FailedOpenIsReportedOnceOnTheGivenStream) {
    fake_riffa().open_fails = true;
    std::FILE *stream = std::tmpfile();
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(board_open(-3, stream), nullptr);
    std::rewind(stream);
    char text[64] = {};
    std::fread(text, 1, sizeof text - 1, stream);
    std::fclose(stream);
    EXPECT_STREQ(text, "Could not get FPGA -3\n");
    ASSERT_EQ(fake_riffa().calls.size(), 1u);
    EXPECT_EQ(fake_riffa().calls[0].id, -3);
}

TEST_F(BoardLink, SuccessfulOpenPrintsNothing) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(board_open(4, stdout), fake_riffa_handle());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(fake_riffa().calls[0].id, 4);
    board_close(fake_riffa_handle());
}

bool lock_is_free() {
    const int fd = open(fake_riffa().lock_path.c_str(), O_RDONLY | O_CREAT, 0644);
    const bool free = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (fd >= 0) close(fd);
    return free;
}

TEST_F(BoardLink, BoardIsHeldFromBeforeItsOpenUntilAfterItsClose) {
    board_close(board_open(0, stdout));
    const std::vector<FakeCall> opens = fake_riffa_calls(FakeFn::open), closes = fake_riffa_calls(FakeFn::close);
    ASSERT_EQ(opens.size(), 1u);
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(opens[0].result, 1) << "a handle from before the holder's reboot";
    EXPECT_EQ(closes[0].result, 1) << "the next program could meet this one's close";
    EXPECT_TRUE(lock_is_free());

    fake_riffa().open_fails = true;
    testing::internal::CaptureStdout();
    EXPECT_EQ(board_open(0, stdout), nullptr);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(lock_is_free()) << "a failed open keeps the board from others";
}

TEST_F(BoardLink, ALockFileReplacedDuringTheWaitIsNotTheOneHeld) {
    const std::string &path = fake_riffa().lock_path;
    const int holder = open(path.c_str(), O_RDONLY | O_CREAT, 0644);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    std::thread other([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        unlink(path.c_str());  // as riffa_sim remove, or a cleaner of /run/lock
        close(holder);
    });
    testing::internal::CaptureStdout();
    EXPECT_EQ(board_hold(0, stdout, BOARD_NO_DEADLINE), BOARD_HELD);
    testing::internal::GetCapturedStdout();
    other.join();
    EXPECT_FALSE(lock_is_free()) << "the next program would lock the new file too";
    board_let_go();
}

// Takes the board's lock as another program would, through a descriptor
// of its own.
int hold_elsewhere() {
    const int holder = open(fake_riffa().lock_path.c_str(), O_RDONLY | O_CREAT, 0644);
    EXPECT_EQ(flock(holder, LOCK_EX), 0);
    return holder;
}

TEST_F(BoardLink, ADeadlineThatHasPassedGetsOneTryAndNoWait) {
    const int holder = hold_elsewhere();
    std::thread lets_go([&] {  // a wait for ever would end here, with the board held
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        close(holder);
    });
    testing::internal::CaptureStdout();
    EXPECT_EQ(board_hold(0, stdout, clock_now_ms() - 1000), BOARD_STILL_BUSY);
    testing::internal::GetCapturedStdout();
    lets_go.join();
    board_let_go();
}

TEST_F(BoardLink, ABoardLetGoIsNotLetGoAgainByItsClose) {
    fpga_t *handle = board_open(0, stdout);
    board_let_go();
    const int reused = open("/dev/null", O_RDONLY);  // may get the lock's old descriptor
    board_close(handle);
    EXPECT_NE(fcntl(reused, F_GETFD), -1) << "the close closed a descriptor it no longer owned";
    close(reused);
}

TEST_F(BoardLink, BoardThatCantBeLockedIsNeverOpened) {
    fake_riffa().lock_path = testing::TempDir();  // a folder where the lock file should be
    std::FILE *stream = std::tmpfile();
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(board_open(2, stream), nullptr);
    std::rewind(stream);
    char text[4200] = {};
    std::fread(text, 1, sizeof text - 1, stream);
    std::fclose(stream);
    EXPECT_EQ(std::string(text), "Board 2 can't be locked: " + testing::TempDir() + ": Is a directory\n");
    EXPECT_TRUE(fake_riffa().calls.empty());
}

TEST(ProgrammerStatus, DoneBitAndErrorCode) {
    const struct { uint32_t status; bool done; uint32_t code; } cases[] = {
        {0x8, true, 0}, {0x18, true, 1}, {0xF8, true, 0xF}, {0x7, false, 0},
        {0xF0, false, 0xF}, {0xFFFFFFFF, true, 0xF}, {0x58, true, 5},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(status_is_done(c.status), c.done) << std::hex << c.status;
        EXPECT_EQ(status_error_code(c.status), c.code) << std::hex << c.status;
    }
}

int board_id_of(const char *arg) {
    char name[] = "tool";
    char *argv[] = {name, const_cast<char *>(arg), nullptr};
    return command_line_board_id(2, argv, 1);
}

TEST(ParseBoardId, ReadsLikeAtoi) {
    const struct { const char *arg; int id; } cases[] = {
        {"0", 0},         {"7", 7},         {"-1", -1},       {"+12", 12},
        {"  \t5", 5},     {"3xyz", 3},      {"abc", 0},       {"", 0},
        {"-", 0},         {"- 4", 0},       {"0x10", 0},      {"007", 7},
        {"2147483647", INT_MAX},            {"-2147483648", INT_MIN},
    };
    for (const auto &c : cases) EXPECT_EQ(board_id_of(c.arg), c.id) << "'" << c.arg << "'";
}

TEST(ParseBoardId, SaturatesBeyondTheIntRange) {
    EXPECT_EQ(board_id_of("2147483648"), INT_MAX);
    EXPECT_EQ(board_id_of("4294967296"), INT_MAX);
    EXPECT_EQ(board_id_of("99999999999999999999999999"), INT_MAX);
    EXPECT_EQ(board_id_of("-2147483649"), INT_MIN);
    EXPECT_EQ(board_id_of("-99999999999999999999999999"), INT_MIN);
}

TEST(ParseBoardId, TakesTheArgumentAtItsPositionOrZero) {
    char a0[] = "flash", a1[] = "image.bin", a2[] = "9";
    char *argv[] = {a0, a1, a2, nullptr};
    EXPECT_EQ(command_line_board_id(3, argv, 2), 9);
    EXPECT_EQ(command_line_board_id(2, argv, 2), 0) << "absent";
    EXPECT_EQ(command_line_board_id(1, argv, 1), 0) << "absent";
}

}  // namespace
