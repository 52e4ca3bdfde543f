// The console on POSIX: descriptors, signals, the terminal, and where the
// manual is read.
#include "console.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <langinfo.h>
#include <locale.h>
#include <termios.h>
#include <unistd.h>

#include "command_line.h"

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

void console_hush_library() {}

bool console_is_terminal(FILE *stream) { return isatty(fileno(stream)) == 1; }

bool console_is_utf8_terminal(FILE *stream) {
    if (!console_is_terminal(stream)) return false;
    // The user's character set, read without changing the program's locale.
    const locale_t user = newlocale(LC_CTYPE_MASK, "", locale_t(0));
    if (user == locale_t(0)) return false;
    const char *codeset = nl_langinfo_l(CODESET, user);
    const bool utf8 = codeset != nullptr && std::strcmp(codeset, "UTF-8") == 0;
    freelocale(user);
    return utf8;
}

// The settings the key wait found, put back however the wait ends.
static struct termios key_wait_saved;

static void restore_terminal_and_die(int sig) {
    tcsetattr(STDIN_FILENO, TCSANOW, &key_wait_saved);
    std::signal(sig, SIG_DFL);
    raise(sig);
}

void console_wait_for_key(const char *prompt) {
    struct termios single_key;
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &single_key) != 0) {
        std::fputs(prompt, stdout);
        std::fflush(stdout);
        std::getchar();
        return;
    }
    key_wait_saved = single_key;
    const int deadly[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    struct sigaction restore = {}, before[4];
    restore.sa_handler = restore_terminal_and_die;
    sigemptyset(&restore.sa_mask);
    for (int i = 0; i < 4; ++i) sigaction(deadly[i], &restore, &before[i]);

    single_key.c_lflag &= tcflag_t(~(ICANON | ECHO));
    single_key.c_cc[VMIN] = 1;
    single_key.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &single_key);
    // Shown only now: a key pressed as soon as the prompt appears is neither
    // echoed nor left waiting for Enter.
    std::fputs(prompt, stdout);
    std::fflush(stdout);
    unsigned char key;
    while (read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {
    }
    tcsetattr(STDIN_FILENO, TCSANOW, &key_wait_saved);
    for (int i = 0; i < 4; ++i) sigaction(deadly[i], &before[i], nullptr);
}

void command_line_manual(const char *name, char *out, size_t size) { std::snprintf(out, size, "man %s", name); }
