#include "sim_platform.h"

#include <fcntl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

#include "sim_board.h"
#include "sim_file.h"

std::string sim_system_state_dir() { return ""; }

std::filesystem::path sim_fs_path(const std::string &text) { return text; }

std::string sim_path_text(const std::filesystem::path &path) { return path.string(); }

sim_bus_model sim_default_bus() { return sim_bus_model::linux_driver; }

unsigned long sim_process_id() { return (unsigned long)getpid(); }

bool sim_rename_folder(const std::string &from, const std::string &to, std::string *error) {
    if (std::rename(from.c_str(), to.c_str()) == 0) return true;
    return sim_fail(error, to, errno == EEXIST || errno == ENOTEMPTY ? "exists" : std::strerror(errno));
}

bool sim_replace_file(const std::string &src, const std::string &dst) {
    return std::rename(src.c_str(), dst.c_str()) == 0;
}

std::FILE *sim_open_regular(const std::string &path, bool *missing, std::string *error) {
    *missing = false;
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *missing = errno == ENOENT;
        return sim_fail(error, path, *missing ? "missing" : std::strerror(errno)), nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return sim_fail(error, path, "not a regular file"), nullptr;
    }
    std::FILE *f = fdopen(fd, "rb");
    if (!f) {
        sim_fail_errno(error, path);
        close(fd);
    }
    return f;
}

std::tm sim_utc(std::time_t t) {
    std::tm tm{};
    gmtime_r(&t, &tm);
    return tm;
}

// The signal mask an open wait began with; its sleeps take signals under it.
static sigset_t mask_of_wait;
static int waits_open = 0;

void sim_wait_begin() {
    if (waits_open++ > 0) return;
    sigset_t held;
    sigfillset(&held);
    // A fault's signal must reach its handler (a sanitizer's report) at once.
    for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT}) sigdelset(&held, fault);
    sigprocmask(SIG_BLOCK, &held, &mask_of_wait);
}

void sim_wait_end() {
    if (--waits_open == 0) sigprocmask(SIG_SETMASK, &mask_of_wait, nullptr);
}

// Both return early with EINTR when a signal arrives, whatever the handler's
// SA_RESTART: a wait a person can end with Ctrl-C, as the Linux driver's
// stale transfers are. Within an open wait, pselect lets in the signals held
// since the last sleep, atomically.
bool sim_sleep_ms(int ms) {
    const timespec t = {ms / 1000, long(ms % 1000) * 1000000L};
    if (waits_open > 0) return pselect(0, nullptr, nullptr, nullptr, &t, &mask_of_wait) == 0;
    return nanosleep(&t, nullptr) == 0;
}
