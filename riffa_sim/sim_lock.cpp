#include "sim_lock.h"

#include <cstdio>

#include "clock.h"
#include "file_lock.h"
#include "sim_boards.h"
#include "sim_file.h"
#include "sim_paths.h"
#include "sim_platform.h"

// How often a busy state lock is tried: a poll, not a blocking flock, so
// that a signal ends the wait whatever its handler's SA_RESTART.
constexpr int LOCK_POLL_MS = 20;

static void (*on_wait)(int, int) = nullptr;
static bool cut_short = false;

void sim_on_wait(void (*waiting)(int id, int cut_short)) { on_wait = waiting; }

bool sim_wait_cut_short() { return cut_short; }

static void say_waiting(int id) {
    if (on_wait) return on_wait(id, 0);
    std::fflush(stdout);
    std::fprintf(stderr, "Board %d is in use by another program. Waiting...\n", id);
}

static file_lock_status take_lock(file_lock_t lock, int id, const char **reason) {
    file_lock_status status = file_lock_take(lock, FILE_LOCK_NO_WAIT, reason);
    if (status != FILE_LOCK_BUSY) return status;
    const sim_wait_scope wait;
    const int64_t notice_at_ms = clock_now_ms() + SIM_NOTICE_AFTER_MS;
    for (bool said = false;; status = file_lock_take(lock, FILE_LOCK_NO_WAIT, reason)) {
        if (status != FILE_LOCK_BUSY) return status;
        if (!said && clock_now_ms() >= notice_at_ms) {
            say_waiting(id);
            said = true;
        }
        if (!sim_sleep_ms(LOCK_POLL_MS)) {
            cut_short = true;
            if (on_wait) on_wait(id, 1);
            return FILE_LOCK_BUSY;
        }
    }
}

bool sim_with_state_lock(const std::string &root, int id, std::string *error, const std::function<bool()> &what) {
    cut_short = false;
    const std::string path = sim_state_lock_path(root, id);
    const char *reason = "";
    const file_lock_t lock = file_lock_open(path.c_str(), &reason);
    if (lock == FILE_LOCK_NONE || take_lock(lock, id, &reason) != FILE_LOCK_HELD) {
        file_lock_close(lock);
        if (cut_short) return sim_fail(error, path, "the wait for another program was cut short");
        return sim_fail(error, path, sim_board_exists(root, id) ? reason : "the board was removed");
    }
    const bool ok = what();
    file_lock_close(lock);
    return ok;
}
