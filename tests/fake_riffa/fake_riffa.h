// A RIFFA library for unit tests: records every call and plays back scripted
// results, so a test can assert on the exact requests a layer makes.
#ifndef FAKE_RIFFA_H
#define FAKE_RIFFA_H

#include <cstdint>
#include <deque>
#include <ostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <riffa.h>

// The RIFFA library function a call was made to.
enum class FakeFn { open, close, send, recv, reset, list };
// Its name without the "fpga_" prefix, e.g. "send"; gtest prints a FakeFn so.
const char *fake_fn_name(FakeFn fn);
std::ostream &operator<<(std::ostream &out, FakeFn fn);

struct FakeCall {
    FakeFn fn = FakeFn::open;
    int id = 0;
    int chnl = 0;
    int len = 0;
    uint32_t destoff = 0;
    int last = 0;
    long long timeout = 0;
    std::vector<uint32_t> words;  // what a send was handed (len words)
    int result = 0;               // for an open or a close: 1 while the board's lock was taken
    bool hangup_ignored = false;  // SIGPIPE and SIGHUP were ignored at the time
};

struct FakeRiffa {
    std::vector<FakeCall> calls;
    bool open_fails = false;
    // Opens that fail before the next one succeeds, as a board off the bus.
    int opens_failing = 0;
    // Results of the next sends; when empty a send takes every word.
    std::deque<int> send_results;
    // Calls of these functions block as RIFFA's Linux driver blocks on a
    // stale device: in read() on a pipe, a call that a handler installed
    // with SA_RESTART would restart, until a signal ends it. The call then
    // fails (-1, or a null handle); retries_after_signal signals are taken
    // as a library that retries would. Left alone, a call gives up after
    // FAKE_GIVE_UP_SECONDS with 99 (an open succeeds), which a test sees.
    std::set<FakeFn> blocking;
    int retries_after_signal = 0;
    // (count, word) of the next receives; a count below 1 leaves the
    // caller's word untouched. When empty a receive moves nothing.
    std::deque<std::pair<int, uint32_t>> recv_results;
    // The board's lock file: one of the test process's own; none when empty.
    std::string lock_path;
    // The backend knows there is no such board.
    bool no_board = false;
    // A failed open was the backend's own fault.
    bool backend_failed = false;
    // What fpga_list reports, and its result.
    fpga_info_list list = {};
    int list_result = 0;
};

constexpr int FAKE_GIVE_UP_SECONDS = 5;

// The fake's state; fake_riffa_reset() starts it afresh, with SIGPIPE and
// SIGHUP back at their defaults.
FakeRiffa &fake_riffa();
void fake_riffa_reset();
// The handle fpga_open hands out.
fpga_t *fake_riffa_handle();
// Calls of one function, in order.
std::vector<FakeCall> fake_riffa_calls(FakeFn fn);
// The words the board took on a channel, in order, over all sends.
std::vector<uint32_t> fake_riffa_taken_words(int chnl);

// What a tool's main did, run in this process against the fake: its status,
// its standard output, and its calls one per line ("open <id>", "send <code>
// <first word>", "recv", "reset", "close <id>").
struct FakeRun {
    int status = 0;
    std::string out;
    std::vector<std::string> calls;
};
FakeRun fake_riffa_run_main(int (*main_fn)(int, char **), std::vector<std::string> args);

#endif
