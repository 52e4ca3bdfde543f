#include <cstdio>
#include <cstdlib>

#include "board_link.h"

// Where a program locks a hardware board: one lock file per board id on
// this PC. The folder is chosen by what exists, never by what this user may
// write: every user of the PC must agree on one file, so one who can't
// create it there is refused (board_hold says why) rather than sent to a
// folder of their own. /run/lock is root's and sticky: a lock file can be
// removed only by its creator or root, and a planted link or non-file under
// its name is refused, never locked through.
bool board_lock_path(int id, char *path, size_t size) {
    // The all-users application data folder, C:\ProgramData by default.
    const char *shared = std::getenv("ProgramData");
    if (shared == nullptr || *shared == '\0') shared = "C:\\ProgramData";
    const int n = std::snprintf(path, size, "%s\\zeda_pcie_board%d.lock", shared, id);
    return n > 0 && size_t(n) < size;
}
