// What the board link needs to know of the RIFFA backend when it drives
// hardware through the installed RIFFA host library.
#include <cstdio>

#include "board_link.h"

const char *board_backend_name() { return "RIFFA host library"; }

// The RIFFA library prints nothing of its own to redirect.
void board_backend_prepare(FILE *) {}
