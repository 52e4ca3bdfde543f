// Console set-up shared by the tools: standard descriptors that are always
// open, and runs that a vanished reader or terminal can't cut short.
#ifndef CONSOLE_H
#define CONSOLE_H

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

#endif
