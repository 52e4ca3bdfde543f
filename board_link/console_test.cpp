// The key wait, seen from its input and output descriptors.
#include "console.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <thread>

#include <fcntl.h>
#include <poll.h>
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
    std::thread waiter;
};

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
    struct sigaction interrupt = {}, before;
    interrupt.sa_handler = [](int) {};  // no SA_RESTART: the read fails with EINTR
    sigaction(SIGUSR1, &interrupt, &before);
    {
        KeyWait wait(terminal, terminal);
        ASSERT_TRUE(readable_within(master, 2000));  // the prompt: the read has begun
        usleep(50000);
        pthread_kill(wait.waiter.native_handle(), SIGUSR1);
        usleep(100000);
        EXPECT_FALSE(wait.done) << "the wait ended without a key";
        ASSERT_EQ(write(master, "k", 1), 1);
    }
    sigaction(SIGUSR1, &before, nullptr);
    close(terminal);
    close(master);
}

}  // namespace
