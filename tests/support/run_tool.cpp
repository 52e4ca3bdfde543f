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

ToolResult run_command(std::vector<std::string> command, const ToolRun &run) {
    for (const std::string &a : run.args) command.push_back(a);
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe(in_pipe) || pipe(out_pipe) || pipe(err_pipe)) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        dup2(run.merge_stderr ? out_pipe[1] : err_pipe[1], 2);
        for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) close(fd);
        for (int fd : run.closed_fds) close(fd);
        if (run.umask >= 0) ::umask(mode_t(run.umask));
        if (run.uid >= 0 && (setgroups(0, nullptr) != 0 || setgid(gid_t(run.uid)) != 0 || setuid(uid_t(run.uid)) != 0))
            _exit(126);
        std::vector<char *> argv;
        for (std::string &a : command) argv.push_back(a.data());
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    int in_fd = in_pipe[1], out_fd = out_pipe[0], err_fd = err_pipe[0];
    fcntl(in_fd, F_SETFL, O_NONBLOCK);
    signal(SIGPIPE, SIG_IGN);  // a tool may end without reading its input

    ToolResult result;
    size_t written = 0;
    const auto input_done = [&] { return written == run.input.size() && (!run.end_input || run.end_input(result)); };
    if (input_done()) close_fd(in_fd);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(run.timeout_seconds);
    while (out_fd >= 0 || err_fd >= 0) {
        pollfd fds[3];
        int n = 0;
        if (out_fd >= 0) fds[n++] = {out_fd, POLLIN, 0};
        if (err_fd >= 0) fds[n++] = {err_fd, POLLIN, 0};
        if (in_fd >= 0 && written < run.input.size()) fds[n++] = {in_fd, POLLOUT, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            result.timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, nfds_t(n), int(left)) < 0 && errno != EINTR) break;
        for (int i = 0; i < n; ++i) {
            if (!fds[i].revents) continue;
            if (fds[i].fd == in_fd) {
                const ssize_t w = write(in_fd, run.input.data() + written, run.input.size() - written);
                if (w > 0) written += size_t(w);
                if (w < 0 || input_done()) close_fd(in_fd);
                continue;
            }
            char buf[65536];
            const ssize_t r = read(fds[i].fd, buf, sizeof buf);
            std::string &sink = fds[i].fd == out_fd ? result.out : result.err;
            if (r > 0) sink.append(buf, size_t(r));
            else close_fd(fds[i].fd == out_fd ? out_fd : err_fd);
            if (run.watch) run.watch(result);
            if (in_fd >= 0 && input_done()) close_fd(in_fd);
        }
        if (out_fd >= 0 && run.stop_reading_after_lines >= 0 &&
            std::count(result.out.begin(), result.out.end(), '\n') >= run.stop_reading_after_lines)
            close_fd(out_fd);
    }
    close_fd(in_fd);
    close_fd(out_fd);
    close_fd(err_fd);
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (const char *crlf = std::getenv("ZEDA_TEST_CRLF"); crlf && std::strcmp(crlf, "1") == 0) {
        undo_crlf(result.out);
        undo_crlf(result.err);
    }
    return result;
}
