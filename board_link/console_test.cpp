// The key wait, seen from its input and output descriptors.
#include "console.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "pty_pair.h"

namespace {

// Runs console_wait_for_key on another thread with stdin and stdout on the
// given descriptors, both put back afterwards.
struct KeyWait {
    KeyWait(int in, int out) : saved_in(dup(0)), saved_out(dup(1)) {
        std::fflush(stdout);
        dup2(in, 0);
        dup2(out, 1);
        waiter = std::thread([this] {
            tid = pid_t(syscall(SYS_gettid));
            console_wait_for_key("Press any key\n");
            done = true;
        });
    }
    ~KeyWait() {
        waiter.join();
        std::fflush(stdout);
        dup2(saved_in, 0);
        dup2(saved_out, 1);
        close(saved_in);
        close(saved_out);
    }
    int saved_in, saved_out;
    std::atomic<bool> done{false};
    std::atomic<pid_t> tid{0};
    std::thread waiter;
};

// True when thread tid of this process is blocked in read().
bool blocked_in_read(pid_t tid) {
    std::ifstream syscall_file("/proc/self/task/" + std::to_string(tid) + "/syscall");
    long number = -1;
    return syscall_file >> number && number == SYS_read;
}

// Waits until done() holds or timeout_ms have passed; whether it held.
bool within(int timeout_ms, const std::function<bool()> &done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool readable_within(int fd, int ms) {
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, ms) == 1;
}

TEST(KeyWait, PromptReachesAPipeBeforeTheKeyIsAwaited) {
    int in[2], out[2];
    ASSERT_EQ(pipe(in), 0);
    ASSERT_EQ(pipe(out), 0);
    {
        KeyWait wait(in[0], out[1]);
        EXPECT_TRUE(readable_within(out[0], 2000)) << "the prompt stayed in the buffer";
        ASSERT_EQ(write(in[1], "k", 1), 1);
    }
    for (int fd : {in[0], in[1], out[0], out[1]}) close(fd);
}

TEST(KeyWait, ASignalDoesNotEndTheWaitOnATerminal) {
    int master, terminal;
    ASSERT_TRUE(open_pty_pair(&master, &terminal));
    static std::atomic<bool> interrupted;
    interrupted = false;
    struct sigaction interrupt = {}, before;
    interrupt.sa_handler = [](int) { interrupted = true; };  // no SA_RESTART: the read fails with EINTR
    sigaction(SIGUSR1, &interrupt, &before);
    {
        KeyWait wait(terminal, terminal);
        ASSERT_TRUE(within(10000, [&] { return wait.tid != 0 && blocked_in_read(wait.tid); }));
        pthread_kill(wait.waiter.native_handle(), SIGUSR1);
        ASSERT_TRUE(within(10000, [&] { return interrupted.load(); }));
        // Interrupted, it either waits again or has ended: never neither.
        ASSERT_TRUE(within(10000, [&] { return wait.done || blocked_in_read(wait.tid); }));
        EXPECT_FALSE(wait.done) << "the wait ended without a key";
        ASSERT_EQ(write(master, "k", 1), 1);
    }
    sigaction(SIGUSR1, &before, nullptr);
    close(terminal);
    close(master);
}

}  // namespace
