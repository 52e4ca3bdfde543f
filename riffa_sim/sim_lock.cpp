#include "sim_lock.h"

#include <cstdio>

#include "file_lock.h"
#include "sim_boards.h"
#include "sim_file.h"
#include "sim_paths.h"

static int notice_fd = 2;

void sim_notices_to(int fd) { notice_fd = fd; }

static file_lock_status take_lock(file_lock_t lock, int id, const char **reason) {
    const file_lock_status status = file_lock_take(lock, SIM_NOTICE_AFTER_MS, reason);
    if (status != FILE_LOCK_BUSY) return status;
    std::FILE *stream = notice_fd == 1 ? stdout : stderr;
    std::fflush(stdout);
    std::fprintf(stream, "Board %d is in use by another program. Waiting...\n", id);
    std::fflush(stream);
    return file_lock_take(lock, FILE_LOCK_WAIT_FOREVER, reason);
}

bool sim_with_state_lock(const std::string &root, int id, std::string *error, const std::function<bool()> &what) {
    const std::string path = sim_state_lock_path(root, id);
    const char *reason = "";
    const file_lock_t lock = file_lock_open(path.c_str(), &reason);
    if (lock == FILE_LOCK_NONE || take_lock(lock, id, &reason) != FILE_LOCK_HELD) {
        file_lock_close(lock);
        return sim_fail(error, path, sim_board_exists(root, id) ? reason : "the board was removed");
    }
    const bool ok = what();
    file_lock_close(lock);
    return ok;
}
