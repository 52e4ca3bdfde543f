// An exclusive lock on a file, held through an open handle: the operating
// system releases it when its holder closes it or dies (kill -9 included),
// so nothing is ever left to clean up by hand. flock() on POSIX, LockFileEx
// on Windows.
#ifndef FILE_LOCK_H
#define FILE_LOCK_H

#include <cstdint>

// A lock file's handle: a descriptor, or a Windows HANDLE.
typedef intptr_t file_lock_t;
constexpr file_lock_t FILE_LOCK_NONE = -1;

// Opens the lock file, creating it when missing. Others can open it too:
// read access is enough to lock a file. FILE_LOCK_NONE when it can't be
// opened.
file_lock_t file_lock_open(const char *path);

// Takes the lock, waiting for it when wait is true. True once held.
bool file_lock_take(file_lock_t lock, bool wait);

// Releases the lock (if held) and closes the file.
void file_lock_close(file_lock_t lock);

#endif
