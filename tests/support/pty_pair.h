// A pseudo-terminal for tests in the test's own process.
#ifndef PTY_PAIR_H
#define PTY_PAIR_H

#include <chrono>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

// Opens a pseudo-terminal: its master end in *master and the terminal end
// in *terminal; false when there is none to open.
inline bool open_pty_pair(int *master, int *terminal) {
    *master = posix_openpt(O_RDWR | O_NOCTTY);
    if (*master < 0) return false;
    if (grantpt(*master) != 0 || unlockpt(*master) != 0) return false;
    *terminal = open(ptsname(*master), O_RDWR | O_NOCTTY);
    return *terminal >= 0;
}

// What the master end shows, read until it ends with tail or timeout_ms have
// passed: a terminal hands on its program's writes later and in pieces, so
// one read may hold only the first of them.
inline std::string read_pty_until(int master, const std::string &tail, int timeout_ms = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::string screen;
    while (screen.size() < tail.size() || screen.compare(screen.size() - tail.size(), tail.size(), tail) != 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p = {master, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, int(left.count())) != 1) break;
        char buf[4096];
        const ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) break;
        screen.append(buf, size_t(n));
    }
    return screen;
}

#endif
