// Low-level access to the image file: read-only, binary (no text
// translation), positions in 64 bits.
#ifndef IMAGE_FILE_H
#define IMAGE_FILE_H

#include <cstdint>

// Descriptor of the file opened for reading, or -1. A directory counts as a
// file that can't be opened: POSIX would open it and fail on the first read.
// Opening never blocks: a FIFO without a writer would wait in open for ever,
// and is refused later like any pipe, which can't seek.
int image_file_open(const char *path);

// Moves to the end of the file and returns that position, its size; -1 when
// the file can't seek (a pipe, for one).
int64_t image_file_seek_end(int fd);

// Back to the start; negative on failure.
int64_t image_file_rewind(int fd);

// Reads up to count bytes: the number read, 0 at the end of the file, or a
// negative value on failure. A read interrupted by a signal is repeated.
int image_file_read(int fd, void *buffer, unsigned count);

void image_file_close(int fd);

#endif
