// Where a program locks a virtual board: in the board's own folder, which
// the virtual board names.
#include "board_link.h"
#include "riffa_sim_session.h"

bool board_lock_path(int id, char *path, size_t size) {
    return riffa_sim_session_lock_path(id, path, size) == 0;
}
