#include "run_tool.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

std::vector<std::string> tool_command(const std::string &name, const std::string &built_path) {
    std::vector<std::string> cmd;
    if (const char *runner = std::getenv("ZEDA_TEST_RUNNER"); runner && *runner) cmd.push_back(runner);
    const char *dir = std::getenv("ZEDA_TEST_TOOL_DIR");
    if (dir && *dir) {
        const char *suffix = std::getenv("ZEDA_TEST_TOOL_SUFFIX");
        cmd.push_back(std::string(dir) + "/" + name + (suffix ? suffix : ""));
    } else {
        cmd.push_back(built_path);
    }
    return cmd;
}

std::string invoked_path(const std::vector<std::string> &command) {
    std::string path = command.empty() ? std::string() : command.back();
    const char *runner = std::getenv("ZEDA_TEST_RUNNER");
    const std::string name = runner ? std::string(runner).substr(std::string(runner).rfind('/') + 1) : "";
    if (name.rfind("wine", 0) == 0 && !path.empty() && path[0] == '/') {
        for (char &c : path) if (c == '/') c = '\\';
        path = "Z:" + path;
    }
    return path;
}

// Windows programs write each "\n" as "\r\n" on their text-mode streams;
// ZEDA_TEST_CRLF=1 compares what they meant to print.
static void undo_crlf(std::string &text) {
    std::string::size_type to = 0;
    for (std::string::size_type i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        text[to++] = text[i];
    }
    text.resize(to);
}

static void close_fd(int &fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

ChildExit run_child(std::vector<std::string> command, const ChildIo &io, int timeout_seconds) {
    std::vector<char *> argv;
    for (std::string &a : command) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        io.in_child();
        execvp(argv[0], argv.data());
        _exit(127);
    }
    for (int fd : io.child_ends) close(fd);
    ChildExit outcome;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
    const auto left_ms = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
            .count();
    };
    const auto kill_child = [&] {
        outcome.timed_out = true;
        if (kill(-pid, SIGKILL) != 0) kill(pid, SIGKILL);
    };
    while (pid > 0) {
        std::vector<pollfd> fds = io.watch();
        if (fds.empty()) break;
        const auto left = left_ms();
        if (left <= 0) {
            kill_child();
            break;
        }
        if (poll(fds.data(), nfds_t(fds.size()), int(left)) < 0 && errno != EINTR) break;
        for (const pollfd &fd : fds)
            if (fd.revents) io.ready(fd);
    }
    io.done();
    // Polled rather than blocking, so that a child that closed its output
    // but never ends still meets the deadline.
    int status = 0;
    for (useconds_t pause = 100; pid > 0; pause = std::min<useconds_t>(2 * pause, 10000)) {
        const pid_t ended = waitpid(pid, &status, WNOHANG);
        if (ended == pid) {
            outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            break;
        }
        if (ended < 0 && errno != EINTR) break;
        if (!outcome.timed_out && left_ms() <= 0) kill_child();
        usleep(pause);
    }
    return outcome;
}

ToolResult run_command(std::vector<std::string> command, const ToolRun &run) {
    for (const std::string &a : run.args) command.push_back(a);
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe(in_pipe) || pipe(out_pipe) || pipe(err_pipe)) return {};
    int in_fd = in_pipe[1], out_fd = out_pipe[0], err_fd = err_pipe[0];
    fcntl(in_fd, F_SETFL, O_NONBLOCK);
    // A tool may end without reading its input. The tool starts with SIGPIPE at its
    // default, as a shell starts it, whatever this process has.
    signal(SIGPIPE, SIG_IGN);

    ToolResult result;
    size_t written = 0;
    const auto input_done = [&] { return written == run.input.size() && (!run.end_input || run.end_input(result)); };
    ChildIo io;
    io.in_child = [&] {
        signal(SIGPIPE, SIG_DFL);
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        dup2(run.merge_stderr ? out_pipe[1] : err_pipe[1], 2);
        for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) close(fd);
        for (int fd : run.closed_fds) close(fd);
        if (run.umask >= 0) ::umask(mode_t(run.umask));
        if (run.uid >= 0 && (setgroups(0, nullptr) != 0 || setgid(gid_t(run.uid)) != 0 || setuid(uid_t(run.uid)) != 0))
            _exit(126);
    };
    io.child_ends = {in_pipe[0], out_pipe[1], err_pipe[1]};
    io.watch = [&] {
        std::vector<pollfd> fds;
        if (out_fd < 0 && err_fd < 0) return fds;
        if (out_fd >= 0) fds.push_back({out_fd, POLLIN, 0});
        if (err_fd >= 0) fds.push_back({err_fd, POLLIN, 0});
        if (in_fd >= 0 && written < run.input.size()) fds.push_back({in_fd, POLLOUT, 0});
        return fds;
    };
    io.ready = [&](const pollfd &fd) {
        if (fd.fd == in_fd) {
            const ssize_t w = write(in_fd, run.input.data() + written, run.input.size() - written);
            if (w > 0) written += size_t(w);
            if (w < 0 || input_done()) close_fd(in_fd);
            return;
        }
        char buf[65536];
        const ssize_t r = read(fd.fd, buf, sizeof buf);
        const bool is_out = fd.fd == out_fd;
        if (r > 0) (is_out ? result.out : result.err).append(buf, size_t(r));
        else close_fd(is_out ? out_fd : err_fd);
        if (run.watch) run.watch(result);
        if (in_fd >= 0 && input_done()) close_fd(in_fd);
        if (out_fd >= 0 && run.stop_reading_after_lines >= 0 &&
            std::count(result.out.begin(), result.out.end(), '\n') >= run.stop_reading_after_lines)
            close_fd(out_fd);
    };
    io.done = [&] {
        close_fd(in_fd);
        close_fd(out_fd);
        close_fd(err_fd);
    };
    if (input_done()) close_fd(in_fd);
    const ChildExit outcome = run_child(std::move(command), io, run.timeout_seconds);
    result.status = outcome.status;
    result.timed_out = outcome.timed_out;
    if (const char *crlf = std::getenv("ZEDA_TEST_CRLF"); crlf && std::strcmp(crlf, "1") == 0) {
        undo_crlf(result.out);
        undo_crlf(result.err);
    }
    return result;
}
