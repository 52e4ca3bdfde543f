// What the board link needs to know of the installed RIFFA host library on
// Windows, and the library itself: riffa.dll comes with the RIFFA driver, a
// separate install, so the tools bind it when they start instead of leaving
// a missing DLL to Windows' loader (a dialog, and no word from the tool).
#include <windows.h>

#include <cstdio>
#include <string>

#include "board_link.h"
#include "console_hush_win32.h"
#include "wide_text_win32.h"

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
void say(FILE *stream, const std::string &text) {
    if (stream != stdout) std::fflush(stdout);
    std::fprintf(stream, "%s\n", text.c_str());
    std::fflush(stream);
}

bool is_file(const std::wstring &path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// folder\riffa.dll into path, when that is a file.
bool dll_in(std::wstring folder, std::wstring *path) {
    if (folder.empty()) return false;
    if (folder.back() != L'\\' && folder.back() != L'/') folder += L'\\';
    *path = folder + L"riffa.dll";
    return is_file(*path);
}

// Only absolute folders: a relative PATH entry would bring the current
// folder back in.
bool is_absolute(const std::wstring &folder) {
    return (folder.size() >= 3 && folder[1] == L':' && (folder[2] == L'\\' || folder[2] == L'/')) ||
           (folder.size() >= 2 && folder[0] == L'\\' && folder[1] == L'\\');
}

// The folder of this program, however deep it lies.
std::wstring program_folder() {
    std::wstring name(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, &name[0], DWORD(name.size()));
        if (n == 0) return std::wstring();
        if (n < name.size()) {
            name.resize(n);
            break;
        }
        // Cut short: once more with twice the room, up to the longest path.
        if (name.size() > 32768) return std::wstring();
        name.resize(name.size() * 2);
    }
    const size_t slash = name.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : name.substr(0, slash);
}

std::wstring system_folder() {
    const UINT size = GetSystemDirectoryW(nullptr, 0);
    std::wstring folder(size, L'\0');
    const UINT n = size > 0 ? GetSystemDirectoryW(&folder[0], size) : 0;
    folder.resize(n > 0 && n < size ? n : 0);
    return folder;
}

std::wstring environment(const wchar_t *name) {
    const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    std::wstring value(size, L'\0');
    const DWORD n = size > 0 ? GetEnvironmentVariableW(name, &value[0], size) : 0;
    value.resize(n > 0 && n < size ? n : 0);
    return value;
}

// The riffa.dll a tool uses, into path: beside the program, in the system
// folder, else in the first folder on PATH that has one. Never the current
// folder, which LoadLibrary would search: an image download may sit there,
// and a riffa.dll beside it would run with the rights of whoever flashes.
bool find_dll(const std::wstring &system, std::wstring *path) {
    if (dll_in(program_folder(), path) || dll_in(system, path)) return true;
    const std::wstring entries = environment(L"PATH");
    for (size_t start = 0; start < entries.size();) {
        size_t end = entries.find(L';', start);
        if (end == std::wstring::npos) end = entries.size();
        std::wstring folder = entries.substr(start, end - start);
        if (folder.size() >= 2 && folder.front() == L'"' && folder.back() == L'"')
            folder = folder.substr(1, folder.size() - 2);
        if (is_absolute(folder) && dll_in(folder, path)) return true;
        start = end + 1;
    }
    return false;
}

// What to do about a riffa.dll that Windows would not load, by the error.
std::string load_advice(DWORD error, const std::string &system) {
    switch (error) {
    case ERROR_BAD_EXE_FORMAT:
    case ERROR_EXE_MACHINE_TYPE_MISMATCH:
    case ERROR_FILE_INVALID:
        return std::string("it, or a DLL it needs, is not a 64-bit Windows DLL: install the RIFFA driver's 64-bit ") +
               DLL_NAME;
    case ERROR_MOD_NOT_FOUND:
        return "a DLL that it needs is neither beside it nor in " + system +
               ": install what it needs there (the RIFFA driver, or the runtime it was built with)";
    default: return std::string("install the RIFFA driver, which brings ") + DLL_NAME;
    }
}

}  // namespace

const char *board_backend_name() { return "RIFFA host library"; }

bool board_backend_prepare(FILE *stream) {
    if (bound) return true;
    const std::wstring system_wide = system_folder();
    const std::string system =
        system_wide.empty() ? "the Windows system folder" : narrow_from_wide(system_wide.c_str());
    std::wstring path_wide;
    if (!find_dll(system_wide, &path_wide)) {
        say(stream, std::string(DLL_NAME) + ", the RIFFA library, was not found beside this program, in " + system +
                        " or on PATH: install the RIFFA driver, which brings it.");
        return false;
    }
    const std::string path = narrow_from_wide(path_wide.c_str());
    // What it needs in turn comes from its own folder and the system folder
    // alone, never from the current folder or PATH. The library's runtime
    // starts here: what a hushed program keeps off the console, it never
    // gets to see.
    console_hush hush = console_hush_begin();
    const HMODULE dll =
        LoadLibraryExW(path_wide.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    const DWORD error = GetLastError();
    console_hush_end(&hush);
    if (dll == nullptr) {
        // The system's sentence becomes part of one line.
        std::string reason = system_error_text(error, path_wide.c_str());
        while (!reason.empty() && reason.back() == '.') reason.pop_back();
        say(stream, path + " could not be loaded (" + reason + ", error " + std::to_string(error) +
                        "): " + load_advice(error, system) + ".");
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
        say(stream, path + " has no " + missing + ", so it is not the RIFFA library: install the RIFFA driver, whose " +
                        DLL_NAME + " is looked for beside this program, in " + system + " and on PATH.");
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

// A call into the library, hushed when the program asked for it: what the
// library prints meanwhile goes nowhere.
struct hushed_call {
    console_hush hush = console_hush_begin();
    ~hushed_call() { console_hush_end(&hush); }
};

// The RIFFA functions the tools call, through the bound library. Every tool
// calls board_backend_prepare before any of them and ends when it fails.
// riffa.h may mark them dllimport, which a definition here overrides.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wattributes"
extern "C" {
fpga_t *fpga_open(int id) {
    const hushed_call quiet;
    return riffa.open(id);
}
void fpga_close(fpga_t *fpga) {
    const hushed_call quiet;
    riffa.close(fpga);
}
int fpga_send(fpga_t *fpga, int chnl, void *data, int len, int destoff, int last, long long timeout) {
    const hushed_call quiet;
    return riffa.send(fpga, chnl, data, len, destoff, last, timeout);
}
int fpga_recv(fpga_t *fpga, int chnl, void *data, int len, long long timeout) {
    const hushed_call quiet;
    return riffa.recv(fpga, chnl, data, len, timeout);
}
void fpga_reset(fpga_t *fpga) {
    const hushed_call quiet;
    riffa.reset(fpga);
}
int fpga_list(fpga_info_list *list) {
    const hushed_call quiet;
    return riffa.list(list);
}
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
