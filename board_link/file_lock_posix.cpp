// The file lock on POSIX: flock() on a regular file opened without
// following links.
#include "file_lock.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "clock.h"

// Why a name that open() refused without following it, or that is no
// regular file, can't serve as a lock file.
static const char *not_a_lock_file(mode_t mode) {
    if (S_ISLNK(mode)) return "Is a symbolic link";
    if (S_ISDIR(mode)) return "Is a directory";
    if (S_ISFIFO(mode)) return "Is a FIFO";
    if (S_ISSOCK(mode)) return "Is a socket";
    return "Is not a regular file";
}

// Opens the file the name holds now. O_NOFOLLOW: a link planted in a shared
// folder must not lead us to lock, or create, a file elsewhere. O_NONBLOCK:
// a planted FIFO must not hang the open. No O_CREAT: in a sticky folder the
// kernel may refuse it on another user's file (protected_regular).
static int open_existing(const char *path, const char **reason) {
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        struct stat st;
        const int saved = errno;
        *reason = saved != ENOENT && lstat(path, &st) == 0 && !S_ISREG(st.st_mode) ? not_a_lock_file(st.st_mode)
                                                                                   : std::strerror(saved);
        errno = saved;
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        *reason = std::strerror(errno);
        close(fd);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        *reason = not_a_lock_file(st.st_mode);
        close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

// Makes the file whole under a name of its own, readable by all past the
// creator's umask, then links it into place: nobody ever finds it narrowed,
// and of two creators at once one links and the other opens the winner's.
static int create_new(const char *path, const char **reason) {
    // A plain buffer: the tools link no C++ library, which would cost each
    // start a millisecond or two of loading.
    char temp[4096];
    const int n = std::snprintf(temp, sizeof temp, "%s.XXXXXX", path);
    if (n < 0 || size_t(n) >= sizeof temp) {
        *reason = std::strerror(ENAMETOOLONG);
        return -1;
    }
    const int fd = mkostemp(temp, O_CLOEXEC);
    if (fd < 0) {
        *reason = std::strerror(errno);
        return -1;
    }
    const bool linked = fchmod(fd, 0644) == 0 && link(temp, path) == 0;
    const int saved = errno;
    unlink(temp);
    if (!linked) {
        close(fd);
        *reason = std::strerror(saved);
        errno = saved;
        return -1;
    }
    return fd;
}

file_lock_t file_lock_open(const char *path, const char **reason) {
    for (;;) {
        int fd = open_existing(path, reason);
        if (fd >= 0) return fd;
        if (errno != ENOENT) return FILE_LOCK_NONE;
        fd = create_new(path, reason);
        if (fd >= 0) return fd;
        // Another program made it first: use theirs.
        if (errno != EEXIST) return FILE_LOCK_NONE;
    }
}

file_lock_status file_lock_take(file_lock_t lock, int timeout_ms, const char **reason) {
    const int fd = int(lock);
    if (timeout_ms < 0) {
        while (flock(fd, LOCK_EX) != 0) {
            if (errno != EINTR) {
                *reason = std::strerror(errno);
                return FILE_LOCK_FAILED;
            }
        }
        return FILE_LOCK_HELD;
    }
    // A bounded wait polls: flock has no timeout of its own.
    const int64_t deadline = clock_now_ms() + timeout_ms;
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) return FILE_LOCK_HELD;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) {
            *reason = std::strerror(errno);
            return FILE_LOCK_FAILED;
        }
        // Past the deadline, not on it: the clock counts whole milliseconds,
        // so one begun late in a millisecond would end the wait early.
        if (timeout_ms == 0 || clock_now_ms() > deadline) return FILE_LOCK_BUSY;
        clock_sleep_ms(20);
    }
}

bool file_lock_names(file_lock_t lock, const char *path) {
    struct stat held, named;
    return fstat(int(lock), &held) == 0 && lstat(path, &named) == 0 && held.st_dev == named.st_dev &&
           held.st_ino == named.st_ino;
}

void file_lock_close(file_lock_t lock) {
    if (lock != FILE_LOCK_NONE) close(int(lock));
}
