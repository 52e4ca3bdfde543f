// Low-level access to the image file: read-only, binary (no text
// translation), positions in 64 bits. POSIX calls, or the runtime library's
// _open/_lseeki64/_read/_close on Windows.
#ifndef IMAGE_FILE_H
#define IMAGE_FILE_H

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

// Descriptor of the file opened for reading, or -1. A directory counts as a
// file that can't be opened: POSIX would open it and fail on the first read.
// Opening never blocks: a FIFO without a writer would wait in open for ever,
// and is refused later like any pipe, which can't seek.
inline int image_file_open(const char *path) {
#ifdef _WIN32
    return _open(path, _O_RDONLY | _O_BINARY);
#else
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        close(fd);
        return -1;
    }
    // Reads wait for data again, as on any file opened the ordinary way.
    const int flags = fcntl(fd, F_GETFL);
    if (flags != -1) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
#endif
}

inline int64_t image_file_seek(int fd, int whence) {
#ifdef _WIN32
    return _lseeki64(fd, 0, whence);
#else
    return lseek(fd, 0, whence);
#endif
}

// Moves to the end of the file and returns that position, its size; -1 when
// the file can't seek (a pipe, for one).
inline int64_t image_file_seek_end(int fd) { return image_file_seek(fd, SEEK_END); }

// Back to the start; negative on failure.
inline int64_t image_file_rewind(int fd) { return image_file_seek(fd, SEEK_SET); }

// Reads up to count bytes: the number read, 0 at the end of the file, or a
// negative value on failure. A read interrupted by a signal is repeated.
inline int image_file_read(int fd, void *buffer, unsigned count) {
    for (;;) {
#ifdef _WIN32
        const int n = _read(fd, buffer, count);
#else
        const ssize_t n = read(fd, buffer, count);
#endif
        if (n >= 0 || errno != EINTR) return static_cast<int>(n);
    }
}

inline void image_file_close(int fd) {
#ifdef _WIN32
    _close(fd);
#else
    close(fd);
#endif
}

#endif
