// The mode switch flow against the recording fake RIFFA: for each answer and
// each mode reply, exactly which calls reach the board and in which order.
// The board must never be reset without the switch request before it, and
// must be closed on every path that opened it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

#include "board_link.h"
#include "fake_riffa.h"

#include "tool_main.h"

namespace {

std::string describe(const FakeCall &c) {
    char text[160];
    if (c.fn == "send") {
        std::string words;
        for (uint32_t w : c.words) {
            char one[16];
            std::snprintf(one, sizeof one, "%s%#010x", words.empty() ? "" : " ", unsigned(w));
            words += one;
        }
        std::snprintf(text, sizeof text, "send(ch%d, len %d, code %#010x, {%s}, last %d, timeout %lld)",
                      c.chnl, c.len, unsigned(c.destoff), words.c_str(), c.last, c.timeout);
    } else if (c.fn == "recv") {
        std::snprintf(text, sizeof text, "recv(ch%d, len %d, timeout %lld)", c.chnl, c.len, c.timeout);
    } else if (c.fn == "open" || c.fn == "close") {
        std::snprintf(text, sizeof text, "%s(%d)", c.fn.c_str(), c.id);
    } else {
        std::snprintf(text, sizeof text, "%s", c.fn.c_str());
    }
    return text;
}

const std::string OPEN = "open(0)";
const std::string QUERY = "send(ch0, len 1, code 0x2f000001, {0xffffffff}, last 1, timeout 25000)";
const std::string REPLY = "recv(ch0, len 1, timeout 25000)";
const std::string SWITCH = "send(ch0, len 1, code 0x0f000000, {0x4b524254}, last 1, timeout 25000)";
const std::string RESET = "reset";
const std::string CLOSE = "close(0)";

const std::vector<std::string> SWITCHED = {OPEN, QUERY, REPLY, SWITCH, RESET, CLOSE};
const std::vector<std::string> LEFT_ALONE = {OPEN, QUERY, REPLY, CLOSE};

struct Outcome {
    int status = 0;
    std::vector<std::string> calls;
    std::string out;
    std::string unread;   // what the tool left of its standard input
    bool read_error = false;
};

std::string temp_file(const std::string &bytes) {
    char path[] = "/tmp/mode_change_test_XXXXXX";
    const int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    std::FILE *f = fdopen(fd, "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    return path;
}

// Runs the tool's main with standard input read from stdin_path.
Outcome run_with_stdin(const std::string &stdin_path, std::vector<std::string> args) {
    Outcome o;
    EXPECT_NE(std::freopen(stdin_path.c_str(), "r", stdin), nullptr) << stdin_path;
    args.insert(args.begin(), "zeda_pcie_mode_change");
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    testing::internal::CaptureStdout();
    o.status = tool_main(int(args.size()), argv.data());
    o.out = testing::internal::GetCapturedStdout();

    o.read_error = std::ferror(stdin) != 0;
    std::clearerr(stdin);
    for (int c; (c = std::getchar()) != EOF;) o.unread += char(c);
    for (const FakeCall &c : fake_riffa().calls) o.calls.push_back(describe(c));
    return o;
}

Outcome run(const std::string &input, std::vector<std::string> args = {}) {
    const std::string path = temp_file(input);
    Outcome o = run_with_stdin(path, std::move(args));
    std::remove(path.c_str());
    return o;
}

class ModeChangeFlow : public testing::Test {
protected:
    void SetUp() override { fake_riffa_reset(); }
    void reply_mode(uint32_t mode, int count = 1) { fake_riffa().recv_results.push_back({count, mode}); }
};

TEST_F(ModeChangeFlow, LoneLowerCaseYSwitchesFromEitherMode) {
    for (uint32_t mode : {MODE_NORMAL, MODE_BOOTLOADER}) {
        fake_riffa_reset();
        reply_mode(mode);
        const Outcome o = run("y\n");
        EXPECT_EQ(o.calls, SWITCHED) << "mode " << mode;
        EXPECT_EQ(o.status, 0);
        // Cut off between the request and the reset, a run would leave the
        // reboot armed: a vanished reader or terminal must not end it there.
        const std::vector<FakeCall> sends = fake_riffa_calls("send");
        EXPECT_FALSE(sends.at(0).hangup_ignored) << "mode query";
        EXPECT_TRUE(sends.at(1).hangup_ignored) << "mode switch";
    }
}

TEST_F(ModeChangeFlow, SwitchRequestCountNeverStopsTheReset) {
    for (int count : {0, -1, 2}) {
        fake_riffa_reset();
        reply_mode(MODE_NORMAL);
        fake_riffa().send_results = {1, count};
        const Outcome o = run("y\n");
        EXPECT_EQ(o.calls, SWITCHED) << "switch request reporting " << count;
        EXPECT_EQ(o.status, 0);
        EXPECT_NE(o.out.find("WARNING: Sent " + std::to_string(count) + " wordsMode change complete.\n"),
                  std::string::npos)
            << o.out;
    }
}

TEST_F(ModeChangeFlow, EveryOtherAnswerOnlyClosesTheBoard) {
    const struct { const char *name; std::string input; } answers[] = {
        {"n", "n\n"},
        {"upper-case Y", "Y\n"},
        {"yes", "yes\n"},
        {"y and a space", "y \n"},
        {"y without a line feed", "y"},
        {"y and a carriage return", "y\r\n"},
        {"blank before y", " y\n"},
        {"empty line", "\n"},
        {"end of input", ""},
        {"150 characters", std::string(150, 'y') + "\n"},
        {"y after 99 characters", std::string(99, 'x') + "y\n"},
    };
    for (uint32_t mode : {MODE_NORMAL, MODE_BOOTLOADER}) {
        for (const auto &a : answers) {
            fake_riffa_reset();
            reply_mode(mode);
            const Outcome o = run(a.input);
            EXPECT_EQ(o.calls, LEFT_ALONE) << a.name << ", mode " << mode;
            EXPECT_EQ(o.status, 0) << a.name;
        }
    }
}

TEST_F(ModeChangeFlow, ReadErrorOnStandardInputIsANo) {
    reply_mode(MODE_NORMAL);
    char dir[] = "/tmp/mode_change_test_XXXXXX";  // reading a directory fails
    ASSERT_NE(mkdtemp(dir), nullptr);
    const Outcome o = run_with_stdin(dir, {});
    rmdir(dir);
    EXPECT_TRUE(o.read_error) << "the case needs a failing read";
    EXPECT_EQ(o.calls, LEFT_ALONE);
    EXPECT_EQ(o.status, 0);
}

TEST_F(ModeChangeFlow, InvalidOrLostModeReplyClosesTheBoardWithoutAsking) {
    const struct { const char *name; uint32_t word; int count; } replies[] = {
        {"mode 0", 0, 1},
        {"mode 1", 1, 1},
        {"mode 4", 4, 1},
        {"mode 0xFFFFFFFF", 0xFFFFFFFF, 1},
        {"lost reply", 0, 0},
        {"failed receive", 0, -1},
    };
    for (const auto &r : replies) {
        fake_riffa_reset();
        reply_mode(r.word, r.count);
        const Outcome o = run("y\n");
        EXPECT_EQ(o.calls, LEFT_ALONE) << r.name;
        EXPECT_EQ(o.status, -1) << r.name;
        EXPECT_EQ(o.unread, "y\n") << r.name << ": the answer must not be read";
    }
}

TEST_F(ModeChangeFlow, BoardThatCannotBeOpenedIsNeitherAskedNorClosed) {
    fake_riffa().open_fails = true;
    const Outcome o = run("y\n", {"3"});
    EXPECT_EQ(o.calls, std::vector<std::string>{"open(3)"});
    EXPECT_EQ(o.status, -1);
    EXPECT_EQ(o.unread, "y\n");
}

TEST_F(ModeChangeFlow, BoardIdFromTheFirstArgument) {
    reply_mode(MODE_BOOTLOADER);
    const Outcome o = run("y\n", {"7", "9"});
    const std::vector<std::string> expected = {"open(7)", QUERY, REPLY, SWITCH, RESET, "close(7)"};
    EXPECT_EQ(o.calls, expected);
}

}  // namespace
