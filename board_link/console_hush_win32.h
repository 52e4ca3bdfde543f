// Keeps what the RIFFA library prints off the console while a program that
// asked for it (console_hush_library) is in a call of the library. RIFFA's
// Windows library prints a line of its own for every open that finds no
// board; a program that looks again and again says in its own line what it
// found.
#ifndef CONSOLE_HUSH_WIN32_H
#define CONSOLE_HUSH_WIN32_H

struct console_hush {
    bool on;
    int out, err;  // duplicates of standard output and error, to go back to
};

// From here until console_hush_end, standard output and error, as this
// program's C runtime and Windows' standard handles know them, are the null
// device: a library that shares the runtime, or that asks Windows for the
// handles, prints nowhere. A library loaded meanwhile keeps the null device
// as its own runtime's standard handles for good.
console_hush console_hush_begin();
void console_hush_end(console_hush *hush);

#endif
