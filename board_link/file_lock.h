// An exclusive lock on a file, held through an open handle: the operating
// system releases it when its holder closes it or dies (kill -9 included).
// flock() on POSIX, LockFileEx on Windows.
#ifndef FILE_LOCK_H
#define FILE_LOCK_H

#include <cstdint>

// A lock file's handle: a descriptor, or a Windows HANDLE.
typedef intptr_t file_lock_t;
constexpr file_lock_t FILE_LOCK_NONE = -1;

// Opens the lock file at path, creating it when missing, readable by every
// user whatever the creator's umask (read access is enough to lock it).
// Never follows a link, and opens nothing but a regular file: a planted
// link, folder, FIFO or socket is refused, never locked through. On failure
// returns FILE_LOCK_NONE and points reason at why ("Permission denied",
// "Is a symbolic link", ...).
file_lock_t file_lock_open(const char *path, const char **reason);

// What a take ended with.
enum file_lock_status {
    FILE_LOCK_HELD,    // the lock is ours
    FILE_LOCK_BUSY,    // another holder still had it when the wait ended
    FILE_LOCK_FAILED,  // it can't be taken at all; reason says why
};

// Waits: not at all, or until the lock is free.
constexpr int FILE_LOCK_NO_WAIT = 0;
constexpr int FILE_LOCK_WAIT_FOREVER = -1;

// Takes the lock, waiting at most timeout_ms milliseconds for another
// holder to let go (FILE_LOCK_WAIT_FOREVER: as long as it takes). A signal
// that interrupts the wait does not end it; one that ends the program does.
file_lock_status file_lock_take(file_lock_t lock, int timeout_ms, const char **reason);

// True when path still names the file the lock is on. A lock taken on a
// file that was removed or replaced meanwhile guards nothing: whoever opens
// the name next gets a different file.
bool file_lock_names(file_lock_t lock, const char *path);

// Releases the lock (if held) and closes the file.
void file_lock_close(file_lock_t lock);

#endif
