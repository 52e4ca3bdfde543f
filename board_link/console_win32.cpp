// The console on Windows: descriptors and the console window.
#include "console.h"

#include <conio.h>
#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

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

bool console_is_terminal(FILE *stream) {
    DWORD mode;
    return GetConsoleMode(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))), &mode) != 0;
}

bool console_is_utf8_terminal(FILE *stream) {
    return console_is_terminal(stream) && GetConsoleOutputCP() == CP_UTF8;
}

void console_wait_for_key(const char *prompt) {
    std::fputs(prompt, stdout);
    std::fflush(stdout);
    if (_isatty(_fileno(stdin)) && console_is_terminal(stdin)) _getch();
    else std::getchar();
}
