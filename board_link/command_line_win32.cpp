#include "command_line.h"

#include <cstdio>

// The packages install each manual as <name>.txt beside the programs.
void command_line_manual(const char *name, char *out, size_t size) {
    std::snprintf(out, size, "%s.txt beside the program", name);
}
