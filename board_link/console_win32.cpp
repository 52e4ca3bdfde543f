// The console on Windows: descriptors, the console window and the hush of
// the RIFFA library.
#include "console.h"
#include "console_hush_win32.h"

#include <conio.h>
#include <cstdio>
#include <fcntl.h>
#include <initializer_list>
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

static bool library_hushed = false;

void console_hush_library() { library_hushed = true; }

// Opened once and never closed: a runtime that takes its standard handles
// while hushed keeps this one, and no later file may get its number.
static HANDLE null_device() {
    static const HANDLE null =
        CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    return null;
}

console_hush console_hush_begin() {
    console_hush hush = {false, -1, -1};
    if (!library_hushed || null_device() == INVALID_HANDLE_VALUE) return hush;
    std::fflush(stdout);
    std::fflush(stderr);
    const int null = _open("NUL", _O_WRONLY);
    hush.out = _dup(1);
    hush.err = _dup(2);
    // Without a way back, no hush: the tool's own lines matter more.
    if (null < 0 || hush.out < 0 || hush.err < 0) {
        for (int fd : {null, hush.out, hush.err})
            if (fd >= 0) _close(fd);
        return console_hush{false, -1, -1};
    }
    hush.on = true;
    _dup2(null, 1);
    _dup2(null, 2);
    _close(null);
    SetStdHandle(STD_OUTPUT_HANDLE, null_device());
    SetStdHandle(STD_ERROR_HANDLE, null_device());
    return hush;
}

void console_hush_end(console_hush *hush) {
    if (!hush->on) return;
    // What the library left in the shared buffers goes to the null device
    // with the rest of what it printed.
    std::fflush(stdout);
    std::fflush(stderr);
    _dup2(hush->out, 1);
    _dup2(hush->err, 2);
    _close(hush->out);
    _close(hush->err);
    SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(1)));
    SetStdHandle(STD_ERROR_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(2)));
    hush->on = false;
}
