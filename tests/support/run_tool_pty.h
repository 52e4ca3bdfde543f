// Runs a built program on a pseudo-terminal, as a person at a console would
// see it: waits for given text on the screen, then types an answer.
#ifndef ZEDA_TESTS_RUN_TOOL_PTY_H
#define ZEDA_TESTS_RUN_TOOL_PTY_H

#include <string>
#include <vector>

struct PtyStep {
    std::string wait_for;  // text that must have appeared on the screen
    std::string type;      // then typed, e.g. "y\r" for y and Enter
    bool hang_up = false;  // then the terminal goes away, as when an SSH session drops
};

struct PtyResult {
    std::string screen;     // everything the terminal showed, echo included
    size_t steps_done = 0;  // steps whose text appeared and were answered
    int status = -1;        // exit status 0..255, or -1 when killed by a signal
    bool timed_out = false;
    bool line_mode_after = false;  // the terminal echoes and edits lines again at the end
};

// Runs command (as from tool_command) with args on a fresh terminal that is
// its standard input, output and error and its controlling terminal. The
// terminal keeps its default settings: echo, line editing, "\n" shown as
// "\r\n", Enter typed as "\r".
PtyResult run_command_pty(std::vector<std::string> command, const std::vector<std::string> &args,
                          const std::vector<PtyStep> &steps, int timeout_seconds = 60);

// The lines a terminal shows for what a program wrote: a carriage return
// goes back to the start of the line, later text overwrites earlier cells,
// and a UTF-8 sequence (or a byte that is none) fills one cell.
std::vector<std::string> screen_lines(const std::string &written);

#endif
