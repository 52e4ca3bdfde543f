// The image file through POSIX calls.
#include "image_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int image_file_open(const char *path) {
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
}

int64_t image_file_seek_end(int fd) { return lseek(fd, 0, SEEK_END); }

int64_t image_file_rewind(int fd) { return lseek(fd, 0, SEEK_SET); }

int image_file_read(int fd, void *buffer, unsigned count) {
    for (;;) {
        const ssize_t n = read(fd, buffer, count);
        if (n >= 0 || errno != EINTR) return static_cast<int>(n);
    }
}

void image_file_close(int fd) { close(fd); }
