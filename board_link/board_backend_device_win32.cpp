// What the board link needs to know of the installed RIFFA host library on
// Windows.
#include <cstdio>
#include <cstdlib>

#include "board_link.h"

const char *board_backend_name() { return "RIFFA host library"; }

// The RIFFA library's own lines go to its own console streams; nothing to
// redirect.
bool board_backend_prepare(FILE *) { return true; }

// One lock file per board id on this PC, in the all-users application data
// folder (C:\ProgramData by default), which every user can create files in
// and lock; the lock is released by Windows when its holder ends.
board_lock_where board_lock_path(int id, char *path, size_t size) {
    const char *shared = std::getenv("ProgramData");
    if (shared == nullptr || *shared == '\0') shared = "C:\\ProgramData";
    const int n = std::snprintf(path, size, "%s\\zeda_pcie_board%d.lock", shared, id);
    return n > 0 && size_t(n) < size ? BOARD_LOCK_FILE : BOARD_LOCK_NOWHERE;
}

// The library reports nothing of its own about a failed open.
bool board_backend_failed() { return false; }
