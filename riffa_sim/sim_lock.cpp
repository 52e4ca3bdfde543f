#include "sim_lock.h"

#include <cstdio>

static int notice_fd = 2;

void sim_notices_to(int fd) { notice_fd = fd; }

file_lock_status sim_take_lock(file_lock_t lock, int id, const char **reason) {
    const file_lock_status status = file_lock_take(lock, SIM_NOTICE_AFTER_MS, reason);
    if (status != FILE_LOCK_BUSY) return status;
    std::FILE *stream = notice_fd == 1 ? stdout : stderr;
    std::fflush(stdout);
    std::fprintf(stream, "Board %d is in use by another program. Waiting...\n", id);
    std::fflush(stream);
    return file_lock_take(lock, FILE_LOCK_WAIT_FOREVER, reason);
}
