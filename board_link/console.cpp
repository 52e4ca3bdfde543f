#include "console.h"

#include <csignal>
#include <fcntl.h>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#ifdef _WIN32

void console_keep_std_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (_get_osfhandle(fd) >= 0) continue;
        const int null = _open("NUL", fd == 0 ? _O_RDONLY : _O_WRONLY);
        if (null >= 0 && null != fd) {
            _dup2(null, fd);
            _close(null);
        }
    }
}

void console_ignore_hangup() {}

#else

void console_keep_std_descriptors() {
    // The lowest free descriptor is taken, so each open fills the gap it is
    // meant for.
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1) continue;
        const int null = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (null >= 0 && null != fd) {
            dup2(null, fd);
            close(null);
        }
    }
}

void console_ignore_hangup() {
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGHUP, SIG_IGN);
}

#endif
