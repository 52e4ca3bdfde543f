// Virtual board: numbers and names as riffa_sim reads them, on its command
// line and in a board's state, and the lines it writes. A number is decimal,
// or hexadecimal after 0x, with a minus sign for a negative one; a leading 0
// is still decimal (010 is ten). The whole text is the number, never a part
// of it, and it must lie within the range.
#ifndef RIFFA_SIM_TEXT_H
#define RIFFA_SIM_TEXT_H

#include <cstddef>
#include <cstring>
#include <string>

// The number text spells, when it lies within [low, high]; false, value
// untouched, for anything else.
bool sim_parse_number(const char *text, long long low, long long high, long long *value);

// A name and what it stands for, in a table that both reads and writes it.
template <typename T>
struct sim_name {
    const char *name;
    T value;
};

// The value that text names; false, value untouched, for any other text.
template <typename T, size_t N>
bool sim_parse_name(const char *text, const sim_name<T> (&names)[N], T *value) {
    for (const sim_name<T> &n : names)
        if (text && std::strcmp(text, n.name) == 0) return *value = n.value, true;
    return false;
}

// The name of value; the first one of the table for a value it lacks.
template <typename T, size_t N>
const char *sim_name_of(T value, const sim_name<T> (&names)[N]) {
    for (const sim_name<T> &n : names)
        if (n.value == value) return n.name;
    return names[0].name;
}

// printf's text as a string.
std::string sim_format(const char *format, ...);

#endif
