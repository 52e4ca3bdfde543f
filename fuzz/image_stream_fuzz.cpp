// libFuzzer target: stream_image over random file sizes and contents, random
// read splits and random send results. However the run ends, the words the
// board took are the file's bytes in order with the last word zero-filled,
// as far as they went; after a normal end with honest counts, all of them.
#include <fuzzer/FuzzedDataProvider.h>

#include <climits>
#include <csetjmp>
#include <cstdio>
#include <deque>

#include "board_link.h"
#include "flash_test_support.h"
#include "image_stream.h"
#include "transfer_guard.h"

struct fpga_t {
    int unused;
};

namespace {

enum class Send { all, part, over, none, negative };

struct FuzzBoard {
    fpga_t handle;
    std::deque<std::pair<Send, int>> sends;  // results of the next sends; then all
    std::vector<uint32_t> taken;
    bool over_reported = false;
    std::jmp_buf closed;
} board;

}  // namespace

// stream_image closes the board only on its way to exit(1): jump back instead.
extern "C" void fpga_close(fpga_t *) { std::longjmp(board.closed, 1); }

extern "C" int fpga_send(fpga_t *, int chnl, void *data, int len, int destoff, int last, long long timeout) {
    if (chnl != 1 || destoff != 0 || last != 1 || timeout != 0 || len < 1 || len > 256) __builtin_trap();
    std::pair<Send, int> next{Send::all, 0};
    if (!board.sends.empty()) {
        next = board.sends.front();
        board.sends.pop_front();
    }
    int result = len;
    switch (next.first) {
    case Send::all: break;
    case Send::part: result = 1 + next.second % len; break;
    case Send::over: result = next.second == 0 ? INT_MAX : len + next.second; break;
    case Send::none: return 0;
    case Send::negative: return next.second == 0 ? INT_MIN : -next.second;
    }
    const uint32_t *words = static_cast<const uint32_t *>(data);
    board.taken.insert(board.taken.end(), words, words + (result < len ? result : len));
    board.over_reported |= result > len;
    return result;
}

// Only image sends and the close belong to streaming.
extern "C" fpga_t *fpga_open(int) { __builtin_trap(); }
extern "C" int fpga_list(fpga_info_list *) { __builtin_trap(); }
board_lock_where board_lock_path(int, char *, size_t) { return BOARD_LOCK_NOWHERE; }
bool board_backend_failed() { return false; }
const char *board_backend_name() { return "fuzzing stand-in"; }
bool board_backend_prepare(FILE *) { return true; }
extern "C" int fpga_recv(fpga_t *, int, void *, int, long long) { __builtin_trap(); }
extern "C" void fpga_reset(fpga_t *) { __builtin_trap(); }

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    std::freopen("/dev/null", "w", stdout);  // a progress line per chunk
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const uint32_t file_bytes = in.ConsumeIntegralInRange<uint32_t>(0, 6000);
    const uint32_t file_words = (file_bytes + 3) / 4;
    // Fewer words expected than the file holds: it grew after it was measured.
    const uint32_t expected = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint32_t>(0, file_words) : file_words;

    std::vector<size_t> splits(in.ConsumeIntegralInRange<size_t>(0, 24));
    for (size_t &s : splits) s = in.ConsumeIntegralInRange<size_t>(1, 1500);
    board.sends.clear();
    for (size_t n = in.ConsumeIntegralInRange<size_t>(0, 24); n > 0; --n) {
        const Send kind = Send(in.ConsumeIntegralInRange<int>(0, 4));
        board.sends.emplace_back(kind, in.ConsumeIntegralInRange<int>(0, 300));
    }
    std::string file = in.ConsumeRemainingBytesAsString();
    for (size_t i = file.size(); i < file_bytes; ++i) file += char(i * 31 + 7);
    file.resize(file_bytes);

    std::vector<std::string> segments;
    size_t at = 0;
    for (size_t s : splits) {
        if (at >= file.size()) break;
        segments.push_back(file.substr(at, s));
        at += s;
    }
    if (at < file.size()) segments.push_back(file.substr(at));

    board.taken.clear();
    board.over_reported = false;
    FedPipe pipe = feed_pipe(segments);
    uint32_t written = 0;
    const bool failed = setjmp(board.closed) != 0;
    // The jump left the close's guard armed: libFuzzer times its runs with SIGALRM.
    if (failed) transfer_guard_disarm();
    if (!failed) written = stream_image(pipe.fd, &board.handle, expected);
    end_feed(pipe);

    const std::vector<uint32_t> want = image_words(file);
    if (board.taken.size() > want.size() || !std::equal(board.taken.begin(), board.taken.end(), want.begin()))
        __builtin_trap();
    if (!failed && !board.over_reported) {
        if (written != board.taken.size()) __builtin_trap();
        if (expected == file_words && written != file_words) __builtin_trap();
        if (expected < file_words && written <= expected) __builtin_trap();
    }
    return 0;
}
