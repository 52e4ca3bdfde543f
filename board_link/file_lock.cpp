#include "file_lock.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

#ifdef _WIN32

file_lock_t file_lock_open(const char *path) {
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    // Created by another user, the file may be readable only; that's enough.
    if (h == INVALID_HANDLE_VALUE)
        h = CreateFileA(path, GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return h == INVALID_HANDLE_VALUE ? FILE_LOCK_NONE : reinterpret_cast<file_lock_t>(h);
}

bool file_lock_take(file_lock_t lock, bool wait) {
    if (lock == FILE_LOCK_NONE) return false;
    OVERLAPPED at = {};
    const DWORD flags = LOCKFILE_EXCLUSIVE_LOCK | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
    return LockFileEx(reinterpret_cast<HANDLE>(lock), flags, 0, 1, 0, &at) != 0;
}

void file_lock_close(file_lock_t lock) {
    // Closing the handle releases any lock held through it.
    if (lock != FILE_LOCK_NONE) CloseHandle(reinterpret_cast<HANDLE>(lock));
}

#else

file_lock_t file_lock_open(const char *path) {
    // O_NOFOLLOW: in a shared folder such as /run/lock, a link planted by
    // someone else must not make us create or lock a file elsewhere.
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    // Created by another user, the file may be readable only; flock needs no more.
    if (fd < 0 && errno == EACCES) fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    return fd < 0 ? FILE_LOCK_NONE : fd;
}

bool file_lock_take(file_lock_t lock, bool wait) {
    if (lock == FILE_LOCK_NONE) return false;
    for (;;) {
        if (flock(int(lock), LOCK_EX | (wait ? 0 : LOCK_NB)) == 0) return true;
        if (errno != EINTR) return false;
    }
}

void file_lock_close(file_lock_t lock) {
    if (lock != FILE_LOCK_NONE) close(int(lock));
}

#endif
