// What the board link needs to know of the installed RIFFA host library on
// Linux and other POSIX systems.
#include <sys/stat.h>

#include <cstdio>
#include <initializer_list>

#include "board_link.h"

const char *board_backend_name() { return "RIFFA host library"; }

// The RIFFA library prints nothing of its own to redirect.
bool board_backend_prepare(FILE *) { return true; }

// One lock file per board id on this PC. The folder is chosen by what
// exists, never by what this user may write: every user of the PC must
// agree on one file, so one who can't create it there is refused (board_hold
// says why) rather than sent to a folder of their own. /run/lock is root's
// and sticky: a lock file can be removed only by its creator or root, and a
// planted link or non-file under its name is refused, never locked through.
board_lock_where board_lock_path(int id, char *path, size_t size) {
    const char *folder = "/tmp";
    struct stat st;
    for (const char *candidate : {"/run/lock", "/var/lock"}) {
        if (stat(candidate, &st) == 0 && S_ISDIR(st.st_mode)) {
            folder = candidate;
            break;
        }
    }
    const int n = std::snprintf(path, size, "%s/zeda_pcie_board%d.lock", folder, id);
    return n > 0 && size_t(n) < size ? BOARD_LOCK_FILE : BOARD_LOCK_NOWHERE;
}

// The library reports nothing of its own about a failed open.
bool board_backend_failed() { return false; }
