// What the board link needs to know of the RIFFA backend when it runs on the
// virtual board.
#include "board_link.h"
#include "riffa_sim_session.h"

const char *board_backend_name() { return "virtual board riffa_sim, drives no hardware"; }

bool board_backend_prepare(FILE *stream) {
    riffa_sim_session_notices_to(stream == stdout ? 1 : 2);
    return true;
}

// In the board's own folder, which the virtual board names.
board_lock_where board_lock_path(int id, char *path, size_t size) {
    switch (riffa_sim_session_lock_path(id, path, size)) {
    case 0: return BOARD_LOCK_FILE;
    case 1: return BOARD_LOCK_NO_BOARD;
    default: return BOARD_LOCK_NOWHERE;
    }
}

bool board_backend_failed() { return riffa_sim_session_open_error() != 0; }
