// The programs keep text in the process's ANSI code page, which their
// manifest makes UTF-8 (Windows 10 1903 and later), so that arguments,
// environment and the C runtime's file calls carry every name. The calls
// made here take UTF-16, which has no MAX_PATH limit of its own; these
// convert between the two.
#ifndef WIDE_TEXT_WIN32_H
#define WIDE_TEXT_WIN32_H

#include <windows.h>

#include <string>

inline std::wstring wide_from_narrow(const char *text) {
    const int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (n <= 1) return std::wstring();
    std::wstring wide(size_t(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, &wide[0], n);
    wide.resize(size_t(n - 1));
    return wide;
}

inline std::string narrow_from_wide(const wchar_t *text) {
    const int n = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return std::string();
    std::string narrow(size_t(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, -1, &narrow[0], n, nullptr, nullptr);
    narrow.resize(size_t(n - 1));
    return narrow;
}

// The system's text for error, inserts filled with insert (the path a
// message names as %1), without its line end.
inline std::string system_error_text(DWORD error, const wchar_t *insert) {
    // Every insert a message might name gets the same text: never one read
    // from beyond the arguments.
    DWORD_PTR arguments[9];
    for (DWORD_PTR &argument : arguments) argument = reinterpret_cast<DWORD_PTR>(insert ? insert : L"");
    wchar_t *text = nullptr;
    const DWORD n = FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_ARGUMENT_ARRAY, nullptr, error, 0,
        reinterpret_cast<wchar_t *>(&text), 0, reinterpret_cast<va_list *>(arguments));
    std::wstring wide = n > 0 && text ? std::wstring(text, n) : std::wstring();
    LocalFree(text);
    while (!wide.empty() && (wide.back() == L' ' || wide.back() == L'\r' || wide.back() == L'\n')) wide.pop_back();
    return wide.empty() ? "Unknown error" : narrow_from_wide(wide.c_str());
}

#endif
