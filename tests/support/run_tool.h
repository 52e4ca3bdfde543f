// Runs a built program as a child process with the given arguments and
// standard input, and captures its standard output, standard error and
// exit status.
#ifndef ZEDA_TESTS_RUN_TOOL_H
#define ZEDA_TESTS_RUN_TOOL_H

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

#endif
