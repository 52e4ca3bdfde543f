// A pseudo-terminal for tests in the test's own process.
#ifndef PTY_PAIR_H
#define PTY_PAIR_H

#include <cstdlib>

#include <fcntl.h>
#include <unistd.h>

// Opens a pseudo-terminal: its master end in *master and the terminal end
// in *terminal; false when there is none to open.
inline bool open_pty_pair(int *master, int *terminal) {
    *master = posix_openpt(O_RDWR | O_NOCTTY);
    if (*master < 0) return false;
    if (grantpt(*master) != 0 || unlockpt(*master) != 0) return false;
    *terminal = open(ptsname(*master), O_RDWR | O_NOCTTY);
    return *terminal >= 0;
}

#endif
