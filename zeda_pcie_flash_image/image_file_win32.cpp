// The image file through the C runtime's _wopen/_lseeki64/_read/_close:
// the wide name reaches a path of any length.
#include "image_file.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <io.h>

#include "wide_text_win32.h"

int image_file_open(const char *path) { return _wopen(wide_from_narrow(path).c_str(), _O_RDONLY | _O_BINARY); }

int64_t image_file_seek_end(int fd) { return _lseeki64(fd, 0, SEEK_END); }

int64_t image_file_rewind(int fd) { return _lseeki64(fd, 0, SEEK_SET); }

int image_file_read(int fd, void *buffer, unsigned count) {
    for (;;) {
        const int n = _read(fd, buffer, count);
        if (n >= 0 || errno != EINTR) return n;
    }
}

void image_file_close(int fd) { _close(fd); }
