// The wait flow against the recording fake RIFFA: quiet opens until the
// board is there, then the mode query under the board's lock, the board
// closed after every look, and looks a few times a second, never a spin.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "board_link.h"
#include "fake_riffa.h"

#include "tool_main.h"
#include "wait_schedule.h"

namespace {

using Outcome = FakeRun;

Outcome run_wait(std::vector<std::string> args) {
    args.insert(args.begin(), "zeda_pcie_wait_board");
    return fake_riffa_run_main(tool_main, args);
}

const std::string QUERY = "send " + std::to_string(REQ_MODE_QUERY) + " " + std::to_string(QUERY_FILL);
const std::string TIMEOUT_ADVICE = "Rescan the PCI bus (see man zeda_pcie_wait_board) or restart the PC.\n";

TEST(WaitBoardFlow, OpensQuietlyUntilTheBoardAnswersAValidMode) {
    fake_riffa_reset();
    fake_riffa().opens_failing = 2;
    fake_riffa().recv_results = {{1, 7}, {1, 2}};  // garbage while booting, then bootloader mode
    const Outcome o = run_wait({"4", "10"});
    EXPECT_EQ(o.out, "Board in bootloader mode. \n");
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.calls, (std::vector<std::string>{"open 4", "open 4", "open 4", QUERY, "recv", "close 4", "open 4",
                                                 QUERY, "recv", "close 4"}));
}

TEST(WaitBoardFlow, TimeRunsOutQuietlyNamingTheLastValueSeen) {
    fake_riffa_reset();
    fake_riffa().recv_results = {{1, 9}};  // garbage once; later replies are lost
    const Outcome o = run_wait({"0", "1"});
    EXPECT_EQ(o.out, "Board 0 did not come back within 1 s (last mode value: 9). " + TIMEOUT_ADVICE);
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.calls.back(), "close 0") << "board closed after each look";
}

TEST(WaitBoardFlow, ABrokenBackendEndsTheWaitAtOnce) {
    fake_riffa_reset();
    fake_riffa().open_fails = fake_riffa().backend_failed = true;
    const Outcome o = run_wait({"0", "60"});
    EXPECT_EQ(o.status, -1);
    EXPECT_EQ(o.calls, std::vector<std::string>{"open 0"}) << "one look";
}

TEST(WaitBoardFlow, LooksAFewTimesASecondNeverSpins) {
    fake_riffa_reset();
    fake_riffa().open_fails = true;
    const size_t opens = run_wait({"0", "1"}).calls.size();
    EXPECT_TRUE(opens >= 3 && opens <= 10) << opens;
}

TEST(WaitBoardFlow, TimeLimitIsZeroToADayInWholeSeconds) {
    const struct {
        const char *seconds;
        bool taken;
    } cases[] = {
        {"0", true},   {"86400", true},  {"000060", true},  {"0000000000086400", true},
        {"-1", false}, {"86401", false}, {"086401", false}, {"10s", false},
        {"", false},   {"+5", false},
    };
    for (const auto &c : cases) {
        fake_riffa_reset();
        fake_riffa().recv_results = {{1, MODE_NORMAL}};
        const Outcome o = run_wait({"0", c.seconds});
        EXPECT_EQ(o.out,
                  c.taken ? "Board in normal operation mode. \n" : "Usage: zeda_pcie_wait_board [board_id] [seconds]\n")
            << c.seconds;
        EXPECT_EQ(o.status, c.taken ? 0 : 2) << c.seconds;
        EXPECT_EQ(o.calls.empty(), !c.taken) << c.seconds;
    }
}

TEST(WaitSchedule, AFewLooksASecondThenOneASecondNeverPastTheDeadline) {
    const struct {
        int64_t now, deadline, pause;
    } cases[] = {
        {0, 60000, FIRST_POLL_MS}, {4999, 60000, FIRST_POLL_MS}, {5000, 60000, LATER_POLL_MS},
        {1900, 2000, 100},         {59500, 60000, 500},          {2000, 2000, 0},
        {2100, 2000, 0},
    };
    for (const auto &c : cases) EXPECT_EQ(wait_pause_ms(0, c.now, c.deadline), c.pause) << c.now << " " << c.deadline;
}

}  // namespace
