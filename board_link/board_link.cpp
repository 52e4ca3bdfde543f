#include "board_link.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstring>

#include "clock.h"
#include "file_lock.h"
#include "transfer_guard.h"

// The lock taken by board_hold, released by board_let_go or board_close. A
// run holds at most one board at a time, and every call that may release it
// is the board link's own, so one value serves without widening the handle
// that the tools pass on to RIFFA.
static file_lock_t held_board = FILE_LOCK_NONE;

void board_print_error(const char *format, ...) {
    std::fflush(stdout);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
}

// A message on the caller's stream, in program order with standard output
// and shown at once.
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
static void board_notice(FILE *stream, const char *format, ...) {
    if (stream != stdout) std::fflush(stdout);
    va_list args;
    va_start(args, format);
    std::vfprintf(stream, format, args);
    va_end(args);
    std::fflush(stream);
}

static board_hold_status refuse(FILE *stream, int id, const char *path, const char *reason) {
    board_notice(stream, "Board %d can't be locked: %s: %s\n", id, path, reason);
    return BOARD_UNLOCKABLE;
}

static bool said_in_use = false;

void board_say_in_use(FILE *stream, int id) {
    if (said_in_use) return;
    said_in_use = true;
    board_notice(stream, "Board %d is in use by another program. Waiting...\n", id);
}

// What is left of a wait until deadline_ms, as file_lock_take counts it:
// nothing once the deadline has passed, never "for ever".
static int lock_wait_ms(int64_t deadline_ms) {
    if (deadline_ms == BOARD_NO_DEADLINE) return FILE_LOCK_WAIT_FOREVER;
    return int(std::clamp<int64_t>(deadline_ms - clock_now_ms(), 0, INT_MAX));
}

// The lock on the file at path, waited for until deadline_ms.
static board_hold_status take(int id, FILE *stream, const char *path, int64_t deadline_ms, file_lock_t *lock) {
    const char *reason = "";
    *lock = file_lock_open(path, &reason);
    if (*lock == FILE_LOCK_NONE) return refuse(stream, id, path, reason);
    file_lock_status status = file_lock_take(*lock, FILE_LOCK_NO_WAIT, &reason);
    if (status == FILE_LOCK_BUSY) {
        board_say_in_use(stream, id);
        status = file_lock_take(*lock, lock_wait_ms(deadline_ms), &reason);
    }
    if (status == FILE_LOCK_HELD) return BOARD_HELD;
    file_lock_close(*lock);
    *lock = FILE_LOCK_NONE;
    return status == FILE_LOCK_BUSY ? BOARD_STILL_BUSY : refuse(stream, id, path, reason);
}

board_hold_status board_hold(int id, FILE *stream, int64_t deadline_ms) {
    char path[4096];
    switch (board_lock_path(id, path, sizeof path)) {
    case BOARD_LOCK_FILE: break;
    case BOARD_LOCK_NO_SUCH_BOARD: return BOARD_NO_SUCH_BOARD;
    case BOARD_LOCK_NOWHERE: return refuse(stream, id, "", std::strerror(ENOENT));
    }
    for (;;) {
        file_lock_t lock;
        const board_hold_status status = take(id, stream, path, deadline_ms, &lock);
        if (status != BOARD_HELD) return status;
        if (file_lock_names(lock, path)) {
            held_board = lock;
            return BOARD_HELD;
        }
        // The file was removed or replaced while we waited for it: the next
        // program would lock the new one, so that is the one to hold.
        file_lock_close(lock);
    }
}

void board_let_go() {
    file_lock_close(held_board);
    held_board = FILE_LOCK_NONE;
}

static long long transfer_limit_ms = CONTROL_TIMEOUT_MS + CONTROL_GRACE_MS;

void board_limit_transfers(long long limit_ms) {
    transfer_limit_ms = limit_ms > 0 ? limit_ms : CONTROL_TIMEOUT_MS + CONTROL_GRACE_MS;
}

static bool held_past_limit = false;

void board_note_held_past_limit() { held_past_limit = true; }

bool board_held_past_limit() { return held_past_limit; }

// Every call into the library may block: on a stale device, or in the
// virtual board behind another program's hold of the board's state.
template <typename Call>
static auto guarded(Call call) {
    held_past_limit = false;
    transfer_guard_arm(transfer_limit_ms);
    const auto result = call();
    transfer_guard_disarm();
    return result;
}

fpga_t *board_open_held(int id) {
    return guarded([&] { return fpga_open(id); });
}

fpga_t *board_open(int id, FILE *stream) {
    if (!board_backend_prepare(stream)) return nullptr;
    const board_hold_status held = board_hold(id, stream, BOARD_NO_DEADLINE);
    if (held == BOARD_UNLOCKABLE) return nullptr;
    fpga_t *handle = held == BOARD_HELD ? board_open_held(id) : nullptr;
    if (handle == nullptr) {
        board_let_go();
        board_notice(stream, "Could not get FPGA %d\n", id);
    }
    return handle;
}

void board_reset(fpga_t *handle) {
    guarded([&] { return fpga_reset(handle), 0; });
}

void board_close(fpga_t *handle) {
    // Closed before it is let go: the next program never meets this one's
    // close on the board.
    guarded([&] { return fpga_close(handle), 0; });
    board_let_go();
}

static void warn_count(int count) {
    if (count != 1) std::printf("WARNING: Sent %d words", count);
}

static int control_send(fpga_t *handle, uint32_t *word, uint32_t code, uint32_t value) {
    *word = value;
    return guarded([&] { return fpga_send(handle, CONTROL_CHANNEL, word, 1, int(code), 1, CONTROL_TIMEOUT_MS); });
}

static int control_recv(fpga_t *handle, uint32_t *word) {
    return guarded([&] { return fpga_recv(handle, CONTROL_CHANNEL, word, 1, CONTROL_TIMEOUT_MS); });
}

void board_send_request(fpga_t *handle, uint32_t *word, uint32_t code, uint32_t value) {
    warn_count(control_send(handle, word, code, value));
}

void board_read_reply(fpga_t *handle, uint32_t *word) { warn_count(control_recv(handle, word)); }

bool board_query_mode_quietly(fpga_t *handle, uint32_t *mode) {
    uint32_t word = 0;
    if (control_send(handle, &word, REQ_MODE_QUERY, QUERY_FILL) != 1 || control_recv(handle, &word) != 1) return false;
    *mode = word;
    return true;
}

int board_list(fpga_info_list *list) {
    if (guarded([&] { return fpga_list(list); }) != 0) return -1;
    // The headers name the array length differently; the arrays know it.
    const int capacity = int(sizeof list->id / sizeof list->id[0]);
    if (list->num_fpgas < 0) return 0;
    return list->num_fpgas > capacity ? capacity : list->num_fpgas;
}

uint32_t board_query_mode(fpga_t *handle, uint32_t *word) {
    board_send_request(handle, word, REQ_MODE_QUERY, QUERY_FILL);
    board_read_reply(handle, word);
    return *word;
}

fpga_t *board_open_in_mode(int id, uint32_t *word, uint32_t *mode) {
    fpga_t *handle = board_open(id, stdout);
    if (handle == nullptr) return nullptr;
    *mode = board_query_mode(handle, word);
    if (*mode == MODE_BOOTLOADER || *mode == MODE_NORMAL) return handle;
    std::printf("Incorrect mode value: %d\n", static_cast<int32_t>(*mode));
    board_close(handle);
    return nullptr;
}

bool board_print_mode(uint32_t mode) {
    if (mode == MODE_BOOTLOADER) {
        std::printf("Board in bootloader mode. \n");
    } else if (mode == MODE_NORMAL) {
        std::printf("Board in normal operation mode. \n");
    } else {
        return false;
    }
    return true;
}

void board_arm_mode_switch(fpga_t *handle, uint32_t *word) {
    board_send_request(handle, word, REQ_MODE_SWITCH, MODE_SWITCH_KEY);
}

void board_announce_size(fpga_t *handle, uint32_t *word, uint32_t bytes) {
    board_send_request(handle, word, REQ_IMAGE_SIZE, bytes);
}

void board_erase(fpga_t *handle, uint32_t *word) {
    board_send_request(handle, word, REQ_PROGRAMMER_COMMAND, PROGRAMMER_ERASE);
}

void board_start_programming(fpga_t *handle, uint32_t *word) {
    board_send_request(handle, word, REQ_PROGRAMMER_COMMAND, PROGRAMMER_START);
}

uint32_t board_wait_programmer(fpga_t *handle, uint32_t *word) {
    // No pause and no limit: only the transfers' own timeouts bound a poll.
    do {
        board_send_request(handle, word, REQ_PROGRAMMER_STATUS, QUERY_FILL);
        board_read_reply(handle, word);
    } while (!status_is_done(*word));
    return *word;
}
