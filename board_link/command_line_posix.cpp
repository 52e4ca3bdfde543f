#include "command_line.h"

#include <cstdio>

void command_line_manual(const char *name, char *out, size_t size) { std::snprintf(out, size, "man %s", name); }
