#include "sim_platform.h"

#include <windows.h>

#include <cstdlib>
#include <filesystem>

#include "sim_board.h"
#include "sim_file.h"
#include "wide_text_win32.h"

namespace fs = std::filesystem;

std::string sim_system_state_dir() {
    const char *local = std::getenv("LOCALAPPDATA");
    return local && *local ? std::string(local) + "\\riffa_sim" : "";
}

fs::path sim_fs_path(const std::string &text) { return fs::path(wide_from_narrow(text.c_str())); }

std::string sim_path_text(const fs::path &path) { return narrow_from_wide(path.c_str()); }

sim_bus_model sim_default_bus() { return sim_bus_model::windows_driver; }

unsigned long sim_process_id() { return GetCurrentProcessId(); }

bool sim_rename_folder(const std::string &from, const std::string &to, std::string *error) {
    if (MoveFileExW(wide_from_narrow(from.c_str()).c_str(), wide_from_narrow(to.c_str()).c_str(), 0)) return true;
    return sim_fail(error, to, GetLastError() == ERROR_ALREADY_EXISTS ? "exists" : "cannot rename into place");
}

bool sim_replace_file(const std::string &src, const std::string &dst) {
    return MoveFileExW(wide_from_narrow(src.c_str()).c_str(), wide_from_narrow(dst.c_str()).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

std::FILE *sim_open_regular(const std::string &path, bool *missing, std::string *error) {
    *missing = false;
    std::error_code ec;
    const fs::file_status st = fs::status(sim_fs_path(path), ec);
    if (st.type() == fs::file_type::not_found) *missing = true;
    if (*missing || ec) return sim_fail(error, path, *missing ? "missing" : ec.message()), nullptr;
    if (!fs::is_regular_file(st)) return sim_fail(error, path, "not a regular file"), nullptr;
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) sim_fail_errno(error, path);
    return f;
}

std::tm sim_utc(std::time_t t) {
    std::tm tm{};
    gmtime_s(&tm, &t);
    return tm;
}

// The Windows driver honours its timeouts: no transfer ever waits for a
// signal there, so nothing interrupts this sleep.
bool sim_sleep_ms(int ms) {
    Sleep(DWORD(ms));
    return true;
}

void sim_wait_begin() {}
void sim_wait_end() {}
