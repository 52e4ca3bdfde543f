#include "command_line.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>

#include "board_link.h"

bool command_line_help(int argc, char **argv, const ToolHelp &help) {
    if (argc < 2 || argv[1] == nullptr) return false;
    if (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0) {
        char manual[256];
        command_line_manual(help.name, manual, sizeof manual);
        std::printf("Usage: %s%s%s\n"
                    "%s"
                    "\n"
                    "%s%s"
                    "  -h, --help    show this help and exit\n"
                    "  --version     show the name and version and exit\n"
                    "\n"
                    "Exit status: %s"
                    "More in the manual page: %s\n",
                    help.name, *help.arguments ? " " : "", help.arguments, help.about,
                    *help.argument_list ? "Arguments:\n" : "Options:\n", help.argument_list,
                    help.exit_statuses, manual);
        return true;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        std::printf("%s %s (%s)\n", help.name, ZEDA_VERSION, board_backend_name());
        return true;
    }
    return false;
}

int command_line_board_id(int argc, char **argv, int position) {
    if (position < 1 || position >= argc || argv[position] == nullptr) return 0;
    const char *p = argv[position];
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = (*p++ == '-');
    // Accumulate as a negative number so that INT_MIN is reachable, and stop
    // growing once the int range is left: saturation, never overflow.
    long long value = 0;
    for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
        if (value > -(static_cast<long long>(INT_MAX) + 2)) value = value * 10 - (*p - '0');
    }
    if (negative) return value < INT_MIN ? INT_MIN : static_cast<int>(value);
    return -value > INT_MAX ? INT_MAX : static_cast<int>(-value);
}
