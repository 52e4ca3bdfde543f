// The transfer guard's promises, through the board link, against a fake
// RIFFA whose calls block as the Linux driver's do on a stale device: in
// read() on a pipe, which a handler installed with SA_RESTART would restart.
#include "transfer_guard.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <string>

#include "board_link.h"
#include "fake_riffa.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr long long LIMIT_MS = 300;

class TransferGuard : public ::testing::Test {
protected:
    void SetUp() override {
        fake_riffa_reset();
        board_limit_transfers(LIMIT_MS);
    }
    void TearDown() override { board_limit_transfers(0); }

    // What call printed, and how long it took in seconds.
    static std::pair<std::string, double> timed(const std::function<void()> &call) {
        testing::internal::CaptureStdout();
        const Clock::time_point start = Clock::now();
        call();
        const double took = std::chrono::duration<double>(Clock::now() - start).count();
        return {testing::internal::GetCapturedStdout(), took};
    }
    uint32_t word = 0;
};

// A library that retries after EINTR, as one whose call the signal met just
// before it blocked, is interrupted again a second later.
TEST_F(TransferGuard, EveryBlockingCallEndsAsFailedAtItsLimitNotBefore) {
    fpga_t *board = fake_riffa_handle();
    const struct {
        FakeFn fn;
        int retries;
        std::function<void()> call;
        const char *out;
    } cases[] = {
        {FakeFn::send, 0, [&] { board_send_request(board, &word, REQ_MODE_QUERY, QUERY_FILL); },
         "WARNING: Sent -1 words"},
        {FakeFn::recv, 0, [&] { board_read_reply(board, &word); }, "WARNING: Sent -1 words"},
        {FakeFn::open, 0, [&] { std::printf("%s", board_open_held(0) ? "opened" : "failed"); }, "failed"},
        {FakeFn::send, 1, [&] { board_send_request(board, &word, REQ_MODE_QUERY, QUERY_FILL); },
         "WARNING: Sent -1 words"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(fake_fn_name(c.fn)) + ", retries " + std::to_string(c.retries));
        fake_riffa_reset();
        fake_riffa().blocking = {c.fn};
        fake_riffa().retries_after_signal = c.retries;
        const auto [out, took] = timed(c.call);
        const double due = LIMIT_MS / 1000.0 + c.retries;
        EXPECT_EQ(out, c.out);
        EXPECT_GE(took, due - 0.1) << "interrupted before its limit";
        EXPECT_LT(took, due + 0.6);
    }
}

void own_alarm(int) {}

// A signal mask survives exec: a tool started by a program that blocks
// SIGALRM inherits the block. What the program had set up is there again
// after the call (libFuzzer times its runs with its own SIGALRM handler).
TEST_F(TransferGuard, ASignalBlockedByTheStarterStillEndsTheCallAndAllIsAsBeforeAfter) {
    struct sigaction own = {}, before = {}, after = {};
    own.sa_handler = own_alarm;
    sigaction(SIGALRM, &own, &before);
    sigset_t alarm, mask_before, mask_after;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    sigprocmask(SIG_BLOCK, &alarm, &mask_before);
    fake_riffa().blocking = {FakeFn::send};
    const auto [out, took] = timed([&] { board_send_request(fake_riffa_handle(), &word, REQ_MODE_QUERY, QUERY_FILL); });
    sigprocmask(SIG_SETMASK, &mask_before, &mask_after);
    sigaction(SIGALRM, &before, &after);
    EXPECT_EQ(out, "WARNING: Sent -1 words");
    EXPECT_LT(took, LIMIT_MS / 1000.0 + 1.0);
    EXPECT_TRUE(sigismember(&mask_after, SIGALRM));
    EXPECT_EQ(after.sa_handler, own_alarm);
}

}  // namespace
