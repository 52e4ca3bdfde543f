// What the board link needs to know of the installed RIFFA host library on
// Windows, and the library itself: riffa.dll comes with the RIFFA driver, a
// separate install, so the tools bind it when they start instead of leaving
// a missing DLL to Windows' loader (a dialog, and no word from the tool).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "board_link.h"

namespace {

const char DLL_NAME[] = "riffa.dll";

// The library's functions, bound by board_backend_prepare. A riffa.h that
// declares them otherwise fails to compile at their definitions below.
struct riffa_functions {
    fpga_t *(*open)(int id);
    void (*close)(fpga_t *fpga);
    int (*send)(fpga_t *fpga, int chnl, void *data, int len, int destoff, int last, long long timeout);
    int (*recv)(fpga_t *fpga, int chnl, void *data, int len, long long timeout);
    void (*reset)(fpga_t *fpga);
    int (*list)(fpga_info_list *list);
};
riffa_functions riffa;
bool bound = false;

template <typename F>
bool bind(HMODULE dll, const char *name, F *out) {
    const FARPROC address = GetProcAddress(dll, name);
    // Through void(*)(void), which GCC lets stand for any function type.
    *out = reinterpret_cast<F>(reinterpret_cast<void (*)(void)>(address));
    return address != nullptr;
}

// One line on stream, in program order with standard output.
void say(FILE *stream, const char *text) {
    if (stream != stdout) std::fflush(stdout);
    std::fprintf(stream, "%s\n", text);
    std::fflush(stream);
}

bool is_file(const char *path) {
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// folder\riffa.dll into path, when that is a file.
bool dll_in(const char *folder, size_t length, char *path, size_t size) {
    if (length == 0) return false;
    const bool separator = folder[length - 1] == '\\' || folder[length - 1] == '/';
    const int n = std::snprintf(path, size, "%.*s%s%s", int(length), folder, separator ? "" : "\\", DLL_NAME);
    return n > 0 && size_t(n) < size && is_file(path);
}

// Only absolute folders: a relative PATH entry would bring the current
// folder back in.
bool is_absolute(const char *folder, size_t length) {
    return (length >= 3 && folder[1] == ':' && (folder[2] == '\\' || folder[2] == '/')) ||
           (length >= 2 && folder[0] == '\\' && folder[1] == '\\');
}

// The riffa.dll a tool uses, into path: beside the program, in the system
// folder, else in the first folder on PATH that has one. Never the current
// folder, which LoadLibrary would search: an image download may sit there,
// and a riffa.dll beside it would run with the rights of whoever flashes.
bool find_dll(const char *system, char *path, size_t size) {
    char program[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, program, sizeof program);
    const char *slash = n > 0 && n < sizeof program ? std::strrchr(program, '\\') : nullptr;
    if (slash != nullptr && dll_in(program, size_t(slash - program), path, size)) return true;
    if (dll_in(system, std::strlen(system), path, size)) return true;
    const char *entries = std::getenv("PATH");
    for (const char *p = entries ? entries : ""; *p;) {
        const char *end = std::strchr(p, ';');
        if (end == nullptr) end = p + std::strlen(p);
        const char *folder = p;
        size_t length = size_t(end - p);
        if (length >= 2 && folder[0] == '"' && folder[length - 1] == '"') {
            ++folder;
            length -= 2;
        }
        if (is_absolute(folder, length) && dll_in(folder, length, path, size)) return true;
        p = *end ? end + 1 : end;
    }
    return false;
}

}  // namespace

const char *board_backend_name() { return "RIFFA host library"; }

bool board_backend_prepare(FILE *stream) {
    if (bound) return true;
    char system[MAX_PATH];
    const UINT length = GetSystemDirectoryA(system, sizeof system);
    if (length == 0 || length >= sizeof system) std::snprintf(system, sizeof system, "the Windows system folder");
    char path[MAX_PATH + 16];
    char line[2 * MAX_PATH + 512];
    if (!find_dll(system, path, sizeof path)) {
        std::snprintf(line, sizeof line,
                      "%s, the RIFFA library, was not found beside this program, in %s or on PATH: "
                      "install the RIFFA driver, which brings it.",
                      DLL_NAME, system);
        say(stream, line);
        return false;
    }
    // What it needs in turn is looked for in its own folder first.
    const HMODULE dll = LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (dll == nullptr) {
        const DWORD error = GetLastError();
        char reason[256] = "";
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, reason,
                       sizeof reason, nullptr);
        // The system's text ends in a full stop and a line break: one line is said.
        size_t end = std::strlen(reason);
        while (end > 0 && std::strchr(" .\r\n", reason[end - 1]) != nullptr) reason[--end] = '\0';
        std::snprintf(line, sizeof line,
                      "%s could not be loaded (%s, error %lu): install the RIFFA driver's 64-bit %s.", path,
                      reason, static_cast<unsigned long>(error), DLL_NAME);
        say(stream, line);
        return false;
    }
    const char *missing = nullptr;
    if (!bind(dll, "fpga_open", &riffa.open)) missing = "fpga_open";
    else if (!bind(dll, "fpga_close", &riffa.close)) missing = "fpga_close";
    else if (!bind(dll, "fpga_send", &riffa.send)) missing = "fpga_send";
    else if (!bind(dll, "fpga_recv", &riffa.recv)) missing = "fpga_recv";
    else if (!bind(dll, "fpga_reset", &riffa.reset)) missing = "fpga_reset";
    else if (!bind(dll, "fpga_list", &riffa.list)) missing = "fpga_list";
    if (missing != nullptr) {
        std::snprintf(line, sizeof line,
                      "%s has no %s, so it is not the RIFFA library: install the RIFFA driver, whose %s is "
                      "looked for beside this program, in %s and on PATH.",
                      path, missing, DLL_NAME, system);
        say(stream, line);
        FreeLibrary(dll);
        return false;
    }
    bound = true;
    return true;
}

// One lock file per board id on this PC, in the all-users application data
// folder (C:\ProgramData by default), which every user can create files in
// and lock; the lock is released by Windows when its holder ends.
board_lock_where board_lock_path(int id, char *path, size_t size) {
    const char *shared = std::getenv("ProgramData");
    if (shared == nullptr || *shared == '\0') shared = "C:\\ProgramData";
    const int n = std::snprintf(path, size, "%s\\zeda_pcie_board%d.lock", shared, id);
    return n > 0 && size_t(n) < size ? BOARD_LOCK_FILE : BOARD_LOCK_NOWHERE;
}

// The library reports nothing of its own about a failed open.
bool board_backend_failed() { return false; }

// The RIFFA functions the tools call, through the bound library. Every tool
// calls board_backend_prepare before any of them and ends when it fails.
// riffa.h may mark them dllimport, which a definition here overrides.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wattributes"
extern "C" {
fpga_t *fpga_open(int id) { return riffa.open(id); }
void fpga_close(fpga_t *fpga) { riffa.close(fpga); }
int fpga_send(fpga_t *fpga, int chnl, void *data, int len, int destoff, int last, long long timeout) {
    return riffa.send(fpga, chnl, data, len, destoff, last, timeout);
}
int fpga_recv(fpga_t *fpga, int chnl, void *data, int len, long long timeout) {
    return riffa.recv(fpga, chnl, data, len, timeout);
}
void fpga_reset(fpga_t *fpga) { riffa.reset(fpga); }
int fpga_list(fpga_info_list *list) { return riffa.list(list); }
}
#pragma GCC diagnostic pop

// Code compiled against a riffa.h that marks the functions dllimport calls
// them through __imp_<name>, the slot a DLL's import table would fill; the
// linker does not point those at the definitions above by itself.
extern "C" {
decltype(&::fpga_open) __imp_fpga_open = &fpga_open;
decltype(&::fpga_close) __imp_fpga_close = &fpga_close;
decltype(&::fpga_send) __imp_fpga_send = &fpga_send;
decltype(&::fpga_recv) __imp_fpga_recv = &fpga_recv;
decltype(&::fpga_reset) __imp_fpga_reset = &fpga_reset;
decltype(&::fpga_list) __imp_fpga_list = &fpga_list;
}
