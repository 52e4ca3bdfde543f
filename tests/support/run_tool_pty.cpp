#include "run_tool_pty.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "run_tool.h"

PtyResult run_command_pty(std::vector<std::string> command, const std::vector<std::string> &args,
                          const std::vector<PtyStep> &steps, int timeout_seconds) {
    PtyResult result;
    for (const std::string &a : args) command.push_back(a);

    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) return result;
    const char *name = (grantpt(master) == 0 && unlockpt(master) == 0) ? ptsname(master) : nullptr;
    // Opened here, before the fork, so that the terminal has its program
    // side from the start and a hang-up on the master means the program
    // (and whatever it started) has let go of it.
    const int slave = name ? open(name, O_RDWR | O_NOCTTY) : -1;
    if (slave < 0) {
        close(master);
        return result;
    }

    size_t seen = 0;    // the next step's text must appear after this point
    bool over = false;  // the program side of the terminal is closed, or a step hung up
    ChildIo io;
    io.in_child = [&] {
        setsid();
        ioctl(slave, TIOCSCTTY, 0);
        dup2(slave, 0);
        dup2(slave, 1);
        dup2(slave, 2);
        if (slave > 2) close(slave);
        close(master);
    };
    io.child_ends = {slave};
    io.watch = [&] { return over ? std::vector<pollfd>{} : std::vector<pollfd>{{master, POLLIN, 0}}; };
    io.ready = [&](const pollfd &) {
        char buf[4096];
        const ssize_t r = read(master, buf, sizeof buf);
        if (r < 0 && errno == EINTR) return;
        if (r <= 0) {  // EIO: the program side of the terminal is closed
            over = true;
            return;
        }
        result.screen.append(buf, size_t(r));
        while (result.steps_done < steps.size()) {
            const PtyStep &step = steps[result.steps_done];
            const size_t at = result.screen.find(step.wait_for, seen);
            if (at == std::string::npos) break;
            seen = at + step.wait_for.size();
            for (size_t sent = 0; sent < step.type.size();) {
                const ssize_t w = write(master, step.type.data() + sent, step.type.size() - sent);
                if (w < 0 && errno != EINTR) break;
                if (w > 0) sent += size_t(w);
            }
            ++result.steps_done;
            if (step.hang_up) over = true;
        }
    };
    io.done = [&] {
        struct termios after;
        result.line_mode_after = tcgetattr(master, &after) == 0 && (after.c_lflag & ICANON) && (after.c_lflag & ECHO);
        close(master);  // the program side sees a hang-up
    };
    const ChildExit outcome = run_child(std::move(command), io, timeout_seconds);
    result.status = outcome.status;
    result.timed_out = outcome.timed_out;
    return result;
}

static size_t cell_bytes(const std::string &s, size_t at) {
    const unsigned char c = static_cast<unsigned char>(s[at]);
    const size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 1;
    for (size_t i = 1; i < n; ++i)
        if (at + i >= s.size() || (static_cast<unsigned char>(s[at + i]) >> 6) != 0x2) return 1;
    return n;
}

std::vector<std::string> screen_lines(const std::string &written) {
    std::vector<std::string> lines;
    std::vector<std::string> cells;
    size_t column = 0;
    for (size_t at = 0; at < written.size();) {
        if (written[at] == '\n') {
            std::string line;
            for (const std::string &c : cells) line += c;
            lines.push_back(line);
            cells.clear();
            column = 0;
            ++at;
        } else if (written[at] == '\r') {
            column = 0;
            ++at;
        } else {
            const size_t n = cell_bytes(written, at);
            if (column == cells.size()) cells.emplace_back();
            cells[column++] = written.substr(at, n);
            at += n;
        }
    }
    std::string last;
    for (const std::string &c : cells) last += c;
    if (!last.empty()) lines.push_back(last);
    return lines;
}
