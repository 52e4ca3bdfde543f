// Runs a built program as a child process with the given arguments and
// standard input, and captures its standard output, standard error and
// exit status.
#ifndef ZEDA_TESTS_RUN_TOOL_H
#define ZEDA_TESTS_RUN_TOOL_H

#include <poll.h>

#include <functional>
#include <string>
#include <vector>

struct ToolResult {
    std::string out;
    std::string err;
    int status = -1;  // exit status 0..255, or -1 when killed by a signal
    bool timed_out = false;
};

struct ToolRun {
    std::vector<std::string> args;  // after the program name
    std::string input;              // written to standard input, which is then closed
    bool merge_stderr = false;      // stderr into the stdout pipe, as on one terminal
    int timeout_seconds = 60;       // a hang fails the test instead of the suite
    std::vector<int> closed_fds;    // of 0, 1 and 2: closed when the program starts
    int stop_reading_after_lines = -1;  // then the reader of stdout goes away, as head -n does
    // Called with what has arrived so far, each time more arrives.
    std::function<void(const ToolResult &)> watch;
    // When set, standard input stays open after the input until this says
    // so, as a person who has not pressed a key yet.
    std::function<bool(const ToolResult &)> end_input;
    int uid = -1;    // run as this user and group id (the test runs as root)
    int umask = -1;  // the program's umask
};

// Command line of a tool: its path, from ZEDA_TEST_TOOL_DIR when set (with
// ZEDA_TEST_TOOL_SUFFIX, e.g. ".exe"), else the path the build recorded.
// ZEDA_TEST_RUNNER (e.g. "wine") is put in front when set.
// With ZEDA_TEST_CRLF=1, run_command turns "\r\n" back into "\n" in what
// it captures, for Windows programs.
std::vector<std::string> tool_command(const std::string &name, const std::string &built_path);

ToolResult run_command(std::vector<std::string> command, const ToolRun &run);

// The path a program started with this command finds as its own name
// (argv[0]): the command's last word, or under Wine its DOS spelling on
// drive Z:, which Wine maps to the Unix root.
std::string invoked_path(const std::vector<std::string> &command);

// How run_child drives a child process through descriptors the caller set up.
struct ChildIo {
    std::function<void()> in_child;  // after the fork, before the exec: its descriptors, session, ids
    std::vector<int> child_ends;     // closed in this process once the child has them
    std::function<std::vector<pollfd>()> watch;  // the descriptors to poll now; none once output is over
    std::function<void(const pollfd &)> ready;   // handles one that poll found ready
    std::function<void()> done;      // polling is over: let go of this process's ends before the wait
};

struct ChildExit {
    int status = -1;  // exit status 0..255, or -1 when killed by a signal
    bool timed_out = false;
};

// Runs command (status 127 when it can't be started) until its output is
// over and it has ended; timeout_seconds after the start, the child and the
// process group it leads, if any, are killed. Shared by both run_command forms.
ChildExit run_child(std::vector<std::string> command, const ChildIo &io, int timeout_seconds);

#endif
