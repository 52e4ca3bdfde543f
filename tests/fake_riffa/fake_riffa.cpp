#include "fake_riffa.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "board_link.h"

struct fpga_t {
    int id;
};

static fpga_t fake_board{0};

FakeRiffa &fake_riffa() {
    static FakeRiffa state;
    return state;
}

// A lock file of this test process's own, removed when it ends. Kept in a
// plain array: the removal runs after the strings are gone.
static const char *own_lock_path() {
    static char path[4096];
    if (path[0] == '\0') {
        const std::string p = (std::filesystem::temp_directory_path() /
                               ("fake_riffa_board_" + std::to_string(getpid()) + ".lock"))
                                  .string();
        std::snprintf(path, sizeof path, "%s", p.c_str());
        std::atexit([] { std::remove(path); });
    }
    return path;
}

void fake_riffa_reset() {
    fake_riffa() = FakeRiffa{};
    fake_riffa().lock_path = own_lock_path();
    // A run under test may have left them ignored; each run starts as a process does.
    std::signal(SIGPIPE, SIG_DFL);
    std::signal(SIGHUP, SIG_DFL);
}

fpga_t *fake_riffa_handle() { return &fake_board; }

const char *fake_fn_name(FakeFn fn) {
    switch (fn) {
    case FakeFn::open: return "open";
    case FakeFn::close: return "close";
    case FakeFn::send: return "send";
    case FakeFn::recv: return "recv";
    case FakeFn::reset: return "reset";
    case FakeFn::list: return "list";
    }
    return "?";
}

std::ostream &operator<<(std::ostream &out, FakeFn fn) { return out << fake_fn_name(fn); }

std::vector<FakeCall> fake_riffa_calls(FakeFn fn) {
    std::vector<FakeCall> out;
    for (const FakeCall &c : fake_riffa().calls)
        if (c.fn == fn) out.push_back(c);
    return out;
}

std::vector<uint32_t> fake_riffa_taken_words(int chnl) {
    std::vector<uint32_t> out;
    for (const FakeCall &c : fake_riffa().calls) {
        if (c.fn != FakeFn::send || c.chnl != chnl || c.result < 1) continue;
        const size_t n = std::min<size_t>(size_t(c.result), c.words.size());
        out.insert(out.end(), c.words.begin(), c.words.begin() + long(n));
    }
    return out;
}

FakeRun fake_riffa_run_main(int (*main_fn)(int, char **), std::vector<std::string> args) {
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    FakeRun run;
    run.status = main_fn(int(args.size()), argv.data());
    std::fflush(stdout);
    run.out = testing::internal::GetCapturedStdout();
    for (const FakeCall &c : fake_riffa().calls) {
        std::string call = fake_fn_name(c.fn);
        if (c.fn == FakeFn::send) call += " " + std::to_string(c.destoff) + " " + std::to_string(c.words.at(0));
        if (c.fn == FakeFn::open || c.fn == FakeFn::close) call += " " + std::to_string(c.id);
        run.calls.push_back(call);
    }
    return run;
}

// Blocks until a signal ends the wait, after the retries the fake is told
// to make. The pipe's other end is held by a child of ours that gives up
// after FAKE_GIVE_UP_SECONDS, so a guard that never fires fails the test
// instead of hanging it. True when a signal ended the wait.
static bool block_until_signal() {
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0) return false;
    const pid_t keeper = fork();
    if (keeper == 0) {
        close(pipe_ends[0]);
        sleep(FAKE_GIVE_UP_SECONDS);
        _exit(0);
    }
    close(pipe_ends[1]);
    int retries = fake_riffa().retries_after_signal;
    char byte;
    ssize_t got;
    while ((got = read(pipe_ends[0], &byte, 1)) < 0 && errno == EINTR && retries-- > 0) {}
    const bool interrupted = got < 0 && errno == EINTR;
    kill(keeper, SIGKILL);
    waitpid(keeper, nullptr, 0);
    close(pipe_ends[0]);
    return interrupted;
}

static bool blocks(FakeFn fn) { return fake_riffa().blocking.count(fn) != 0; }

static bool board_lock_taken();

extern "C" fpga_t *fpga_open(int id) {
    FakeCall call;
    call.fn = FakeFn::open;
    call.id = id;
    call.result = board_lock_taken();
    fake_riffa().calls.push_back(call);
    if (fake_riffa().open_fails) return nullptr;
    if (blocks(FakeFn::open) && block_until_signal()) return nullptr;
    if (fake_riffa().opens_failing > 0) {
        --fake_riffa().opens_failing;
        return nullptr;
    }
    fake_board.id = id;
    return &fake_board;
}

// True when another program trying the board's lock now would find it taken.
static bool board_lock_taken() {
    const int fd = open(fake_riffa().lock_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool taken = flock(fd, LOCK_EX | LOCK_NB) != 0;
    close(fd);
    return taken;
}

extern "C" void fpga_close(fpga_t *fpga) {
    FakeCall call;
    call.fn = FakeFn::close;
    call.id = fpga ? fpga->id : -1;
    call.result = board_lock_taken();
    fake_riffa().calls.push_back(call);
}

static bool hangup_ignored() {
    struct sigaction pipe_action, hup_action;
    sigaction(SIGPIPE, nullptr, &pipe_action);
    sigaction(SIGHUP, nullptr, &hup_action);
    return pipe_action.sa_handler == SIG_IGN && hup_action.sa_handler == SIG_IGN;
}

extern "C" int fpga_send(fpga_t *, int chnl, void *data, int len, int destoff, int last,
                         long long timeout) {
    FakeRiffa &f = fake_riffa();
    FakeCall call{FakeFn::send, 0, chnl, len, uint32_t(destoff), last, timeout, {}, len, hangup_ignored()};
    const uint32_t *words = static_cast<const uint32_t *>(data);
    if (len > 0) call.words.assign(words, words + len);
    if (!f.send_results.empty()) {
        call.result = f.send_results.front();
        f.send_results.pop_front();
    }
    if (blocks(FakeFn::send)) call.result = block_until_signal() ? -1 : 99;
    f.calls.push_back(call);
    return call.result;
}

extern "C" int fpga_recv(fpga_t *, int chnl, void *data, int len, long long timeout) {
    FakeRiffa &f = fake_riffa();
    FakeCall call{FakeFn::recv, 0, chnl, len, 0, 0, timeout, {}, 0};
    if (!f.recv_results.empty()) {
        auto [count, word] = f.recv_results.front();
        f.recv_results.pop_front();
        call.result = count;
        if (count > 0) *static_cast<uint32_t *>(data) = word;
    }
    if (blocks(FakeFn::recv)) call.result = block_until_signal() ? -1 : 99;
    f.calls.push_back(call);
    return call.result;
}

extern "C" void fpga_reset(fpga_t *) {
    FakeCall call;
    call.fn = FakeFn::reset;
    fake_riffa().calls.push_back(call);
}

extern "C" int fpga_list(fpga_info_list *list) {
    FakeCall call;
    call.fn = FakeFn::list;
    call.result = fake_riffa().list_result;
    fake_riffa().calls.push_back(call);
    *list = fake_riffa().list;
    return call.result;
}

board_lock_where board_lock_path(int, char *path, size_t size) {
    const std::string &lock = fake_riffa().lock_path;
    if (fake_riffa().no_board) return BOARD_LOCK_NO_SUCH_BOARD;
    if (lock.empty() || lock.size() >= size) return BOARD_LOCK_NOWHERE;
    std::memcpy(path, lock.c_str(), lock.size() + 1);
    return BOARD_LOCK_FILE;
}

bool board_backend_failed() { return fake_riffa().backend_failed; }

const char *board_backend_name() { return "recording fake RIFFA"; }

bool board_backend_prepare(FILE *) { return true; }
