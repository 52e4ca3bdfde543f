// Test helpers for the flasher: the progress line as the printf calls that
// define it draw it, the words an image becomes, and pipes that hand out
// short reads on demand. POSIX only.
#ifndef FLASH_TEST_SUPPORT_H
#define FLASH_TEST_SUPPORT_H

#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

// "%s |", a "%c" per cell, "%*c" and " %3d%%\r", in 32-bit arithmetic; an
// expected count of 0 draws the full bar.
inline std::string reference_progress_line(uint32_t done, uint32_t expected) {
    const int32_t cells = expected ? int32_t(done) * 62 / int32_t(expected) : 62;
    const int32_t percent = expected ? int32_t(done) * 100 / int32_t(expected) : 100;
    char text[128];
    std::snprintf(text, sizeof text, "%s |", "Progress: ");
    std::string line = text;
    for (int32_t i = 0; i < cells; ++i) {
        std::snprintf(text, sizeof text, "%c", 0xDB);
        line += text[0];
    }
    std::snprintf(text, sizeof text, "%*c", 63 - cells, '|');
    line += text;
    std::snprintf(text, sizeof text, " %3d%%\r", percent);
    return line + text;
}

// The progress lines of a whole image of the given size: one per chunk.
inline std::string reference_progress(uint32_t image_bytes) {
    const uint32_t expected = (image_bytes + 3) / 4;
    std::string out;
    for (uint32_t done = 0; done < expected; done += 256) out += reference_progress_line(done, expected);
    return out;
}

// The image as the board should receive it: 32-bit words, the last one
// zero-filled.
inline std::vector<uint32_t> image_words(const std::string &bytes) {
    std::vector<uint32_t> words((bytes.size() + 3) / 4, 0);
    if (!bytes.empty()) std::memcpy(words.data(), bytes.data(), bytes.size());
    return words;
}

// A pipe whose writer puts in each segment only once the pipe is empty, so
// that no read returns more than the rest of one segment.
struct FedPipe {
    int fd = -1;
    std::thread writer;
};

inline FedPipe feed_pipe(std::vector<std::string> segments) {
    int fds[2];
    FedPipe p;
    if (pipe(fds) != 0) return p;
    signal(SIGPIPE, SIG_IGN);
    p.fd = fds[0];
    p.writer = std::thread([fd = fds[1], segments = std::move(segments)] {
        for (const std::string &s : segments) {
            int queued = 1;
            while (ioctl(fd, FIONREAD, &queued) == 0 && queued > 0) sched_yield();
            if (write(fd, s.data(), s.size()) != ssize_t(s.size())) break;
        }
        close(fd);
    });
    return p;
}

// Reads what the reader left, so the writer can finish, and closes the pipe.
inline void end_feed(FedPipe &p) {
    char sink[4096];
    while (p.fd >= 0 && read(p.fd, sink, sizeof sink) > 0) {
    }
    if (p.writer.joinable()) p.writer.join();
    if (p.fd >= 0) close(p.fd);
    p.fd = -1;
}

#endif
