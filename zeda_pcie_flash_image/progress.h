// The flasher's one-line progress bar on standard output.
#ifndef PROGRESS_H
#define PROGRESS_H

#include <cstdint>

// Cells of the bar between its two '|'.
constexpr int PROGRESS_CELLS = 62;

// Draws "Progress:  |<cells>| nnn%\r" for words_before of expected_words and
// flushes it, so the next line overwrites it. An expected count of 0 draws a
// full bar rather than dividing by zero; the flasher never passes one.
void print_progress(uint32_t words_before, uint32_t expected_words);

// On a terminal, ends a progress line left on the screen, so that a message
// that follows it starts on a line of its own and neither overwrites the
// other. Files and pipes get nothing.
void progress_end_line();

#endif
