// The mode query flow against the recording fake RIFFA: the board is closed
// on every path that opened it, never reset, and only queried.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "board_link.h"
#include "fake_riffa.h"

#include "tool_main.h"

namespace {

using Outcome = FakeRun;

Outcome run_get_mode(std::vector<std::string> args) {
    EXPECT_NE(std::freopen("/dev/null", "r", stdin), nullptr);
    args.insert(args.begin(), "zeda_pcie_get_mode");
    return fake_riffa_run_main(tool_main, args);
}

const std::string QUERY = "send " + std::to_string(REQ_MODE_QUERY) + " " + std::to_string(QUERY_FILL);

TEST(GetModeFlow, EveryReplyEndsWithTheBoardClosedAndNeverReset) {
    const struct { uint32_t reply; int count; int status; const char *out; } cases[] = {
        {2, 1, 0, "Board in bootloader mode. \nPress any key to exit...\n"},
        {3, 1, 0, "Board in normal operation mode. \nPress any key to exit...\n"},
        {4, 1, -1, "Incorrect mode value: 4\n"},
        {0, 0, -1, "WARNING: Sent 0 wordsIncorrect mode value: -1\n"},
    };
    for (const auto &c : cases) {
        fake_riffa_reset();
        fake_riffa().recv_results = {{c.count, c.reply}};
        const Outcome o = run_get_mode({"6"});
        EXPECT_EQ(o.status, c.status) << c.reply;
        EXPECT_EQ(o.out, c.out);
        EXPECT_EQ(o.calls, (std::vector<std::string>{"open 6", QUERY, "recv", "close 6"})) << c.reply;
    }
}

TEST(GetModeFlow, FailedOpenTouchesNothingElse) {
    fake_riffa_reset();
    fake_riffa().open_fails = true;
    const Outcome o = run_get_mode({});
    EXPECT_EQ(o.status, -1);
    EXPECT_EQ(o.out, "Could not get FPGA 0\n");
    EXPECT_EQ(o.calls, std::vector<std::string>{"open 0"});
}

}  // namespace
