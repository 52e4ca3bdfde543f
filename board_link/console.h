// The console a tool runs in: standard descriptors that are always open,
// runs that a vanished reader or terminal can't cut short, whether a stream
// is a (UTF-8) terminal, and the wait for a key.
#ifndef CONSOLE_H
#define CONSOLE_H

#include <cstdio>

// True when stream is a terminal that shows UTF-8 (its locale's character
// set; on Windows, a console on code page 65001). Bytes written to files and
// pipes never depend on it.
bool console_is_utf8_terminal(FILE *stream);

// True when stream is a terminal or a console.
bool console_is_terminal(FILE *stream);

// Prints the prompt and waits for one key: on a terminal, a single key press
// without Enter and without echo (the terminal's settings come back on every
// way out, Ctrl-C and SIGTERM included); otherwise one byte, or the end of
// input.
void console_wait_for_key(const char *prompt);

// Opens the null device on any of descriptors 0, 1 and 2 that is closed, so
// that nothing opened later (the image, the library's device, a board file)
// becomes standard input or output. Called before anything else; output to
// a stream that was closed is then simply lost.
void console_keep_std_descriptors();

// From here on, neither a reader that goes away (SIGPIPE) nor a terminal
// that hangs up (SIGHUP) ends the run: a board half way through a change is
// worse than any lost message, and the exit status still tells. Writes that
// fail are ignored. Ctrl-C and SIGTERM still end the run: image sends wait
// without limit, so a stalled board must stay interruptible. Windows has
// neither signal: a write to a closed pipe just fails there.
void console_ignore_hangup();

// From here on, what the RIFFA library itself prints goes nowhere (RIFFA's
// Windows library prints a line for every open that finds no board): for a
// program that looks again and again at a board that may be away and says
// in its own line what it found. Called before the library is first used.
// POSIX: nothing, its library prints nothing of its own.
void console_hush_library();

#endif
