// A tool's command line: its help, its version line and its board id.
#ifndef COMMAND_LINE_H
#define COMMAND_LINE_H

#include <cstddef>

// What --help says of a tool, each part once: the usage line is "Usage:
// <name> <arguments>", also printed by a tool refusing its command line.
struct ToolHelp {
    const char *name;
    const char *arguments;      // as in the usage line; "" when it takes none
    const char *about;          // what it does, in whole lines
    const char *argument_list;  // "  <argument>  <meaning>" lines; "" when none
    const char *exit_statuses;  // what its exit statuses mean, in whole lines
};

// When the first argument is exactly -h or --help, prints help to standard
// output: usage, what the tool does, its arguments and the two options, its
// exit statuses and its manual page. When it is --version, prints the name,
// version and what the tool drives. True when it did, and the program then
// ends with status 0 without touching a board. Every other argument keeps
// its meaning (a file named --help is ./--help).
bool command_line_help(int argc, char **argv, const ToolHelp &help);

// Where the manual of program name is read on this system, into out: "man
// <name>" on POSIX; on Windows, the text file installed beside the program.
void command_line_manual(const char *name, char *out, size_t size);

// Board id from argv[position], read as atoi does (leading blanks, a sign,
// digits up to the first other character); 0 when absent or not a number.
// Values beyond the int range saturate to INT_MAX / INT_MIN.
int command_line_board_id(int argc, char **argv, int position);

#endif
