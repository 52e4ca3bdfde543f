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
bool board_lock_path(int id, char *path, size_t size) {
    return riffa_sim_session_lock_path(id, path, size) == 0;
}
