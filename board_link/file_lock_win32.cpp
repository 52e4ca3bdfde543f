// The file lock on Windows: LockFileEx on a regular file opened without
// following reparse points (links and junctions).
#include "file_lock.h"

#include <windows.h>

#include <string>

#include "wide_text_win32.h"

// The system's text for an error, without its line end; valid until the next.
static const char *error_text(DWORD error) {
    static std::string text;
    text = system_error_text(error, nullptr);
    return text.c_str();
}

static HANDLE open_lock_file(const std::wstring &path, DWORD access, DWORD disposition) {
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    return CreateFileW(path.c_str(), access, share, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

file_lock_t file_lock_open(const char *narrow_path, const char **reason) {
    const std::wstring path = wide_from_narrow(narrow_path);
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        *reason = "Is a symbolic link";
        return FILE_LOCK_NONE;
    }
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        *reason = "Is a directory";
        return FILE_LOCK_NONE;
    }
    HANDLE h = open_lock_file(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);
    // Made by another user, the file may be readable only; that's enough.
    if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED)
        h = open_lock_file(path, GENERIC_READ, OPEN_EXISTING);
    if (h == INVALID_HANDLE_VALUE) {
        *reason = error_text(GetLastError());
        return FILE_LOCK_NONE;
    }
    if (GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        *reason = "Is not a regular file";
        return FILE_LOCK_NONE;
    }
    return reinterpret_cast<file_lock_t>(h);
}

static bool try_lock(HANDLE h, DWORD flags) {
    OVERLAPPED at = {};
    return LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | flags, 0, 1, 0, &at) != 0;
}

file_lock_status file_lock_take(file_lock_t lock, int timeout_ms, const char **reason) {
    const HANDLE h = reinterpret_cast<HANDLE>(lock);
    if (timeout_ms < 0) {
        if (try_lock(h, 0)) return FILE_LOCK_HELD;
        *reason = error_text(GetLastError());
        return FILE_LOCK_FAILED;
    }
    const ULONGLONG deadline = GetTickCount64() + ULONGLONG(timeout_ms);
    for (;;) {
        if (try_lock(h, LOCKFILE_FAIL_IMMEDIATELY)) return FILE_LOCK_HELD;
        if (GetLastError() != ERROR_LOCK_VIOLATION) {
            *reason = error_text(GetLastError());
            return FILE_LOCK_FAILED;
        }
        if (GetTickCount64() >= deadline) return FILE_LOCK_BUSY;
        Sleep(20);
    }
}

// Other users may only read a file that its creator made in ProgramData,
// so none of them can remove or replace it: the name is taken as it stands.
bool file_lock_names(file_lock_t, const char *) { return true; }

void file_lock_close(file_lock_t lock) {
    // Closing the handle releases any lock held through it.
    if (lock != FILE_LOCK_NONE) CloseHandle(reinterpret_cast<HANDLE>(lock));
}
