#include "sim_text.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

bool sim_parse_number(const char *text, long long low, long long high, long long *value) {
    if (!text) return false;
    const bool negative = *text == '-';
    const char *digits = text + negative;
    const bool hex = digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X');
    if (hex) digits += 2;
    // Checked first: strtoull would take blanks, a sign or a partial number.
    const char *allowed = hex ? "0123456789abcdefABCDEF" : "0123456789";
    if (*digits == '\0' || std::strspn(digits, allowed) != std::strlen(digits)) return false;
    errno = 0;
    const unsigned long long magnitude = std::strtoull(digits, nullptr, hex ? 16 : 10);
    const unsigned long long limit = negative ? 0ull - (unsigned long long)LLONG_MIN : (unsigned long long)LLONG_MAX;
    if (errno == ERANGE || magnitude > limit) return false;
    const long long number = negative ? (long long)(0ull - magnitude) : (long long)magnitude;
    if (number < low || number > high) return false;
    *value = number;
    return true;
}

std::string sim_format(const char *format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}
