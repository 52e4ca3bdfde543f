// What the board link needs to know of the RIFFA backend when it runs on the
// virtual board.
#include "board_link.h"
#include "riffa_sim_session.h"

const char *board_backend_name() { return "virtual board riffa_sim, drives no hardware"; }

static FILE *notice_stream = stderr;

static void on_wait(int id, int cut_short) {
    if (cut_short) board_note_held_past_limit();
    else board_say_in_use(notice_stream, id);
}

bool board_backend_prepare(FILE *stream) {
    notice_stream = stream;
    riffa_sim_session_on_wait(on_wait);
    return true;
}

// In the board's own folder, which the virtual board names.
board_lock_where board_lock_path(int id, char *path, size_t size) {
    switch (riffa_sim_session_lock_path(id, path, size)) {
    case 0: return BOARD_LOCK_FILE;
    case 1: return BOARD_LOCK_NO_SUCH_BOARD;
    default: return BOARD_LOCK_NOWHERE;
    }
}

bool board_backend_failed() { return riffa_sim_session_open_error() != 0; }
