// Board-access layer shared by the tools that drive a board: opening and
// holding it, its control requests on the RIFFA control channel, reply
// reading and the board list.
#ifndef BOARD_LINK_H
#define BOARD_LINK_H

#include <cstdint>
#include <cstdio>

#include <riffa.h>

// Request codes, passed in the offset word of a control-channel send.
constexpr uint32_t REQ_MODE_QUERY = 0x2F000001;
constexpr uint32_t REQ_PROGRAMMER_STATUS = 0x20000004;
constexpr uint32_t REQ_IMAGE_SIZE = 0x00000002;
constexpr uint32_t REQ_PROGRAMMER_COMMAND = 0x00000003;
constexpr uint32_t REQ_MODE_SWITCH = 0x0F000000;

// Value sent with the two requests that ask for a reply.
constexpr uint32_t QUERY_FILL = 0xFFFFFFFF;
// "KRBT": the only value the board accepts as a reboot request.
constexpr uint32_t MODE_SWITCH_KEY = 0x4B524254;

// Programmer commands sent with REQ_PROGRAMMER_COMMAND.
constexpr uint32_t PROGRAMMER_ERASE = 2;
constexpr uint32_t PROGRAMMER_START = 1;

// Mode values replied to REQ_MODE_QUERY; anything else is invalid.
constexpr uint32_t MODE_BOOTLOADER = 2;
constexpr uint32_t MODE_NORMAL = 3;

// Programmer status word: done bit, and the error code in bits 4 to 7.
constexpr uint32_t STATUS_DONE = 0x8;
constexpr unsigned STATUS_ERROR_SHIFT = 4;
constexpr uint32_t STATUS_ERROR_MASK = 0xF;

constexpr int CONTROL_CHANNEL = 0;
constexpr int IMAGE_CHANNEL = 1;
constexpr long long CONTROL_TIMEOUT_MS = 25000;
// How long past its own timeout a control transfer may take before the
// board link ends it as failed.
constexpr long long CONTROL_GRACE_MS = 3000;

// True once the programmer has finished, whatever its error code.
inline bool status_is_done(uint32_t status) { return (status & STATUS_DONE) != 0; }

// Error code of a programmer status word, 0 meaning no error.
inline uint32_t status_error_code(uint32_t status) {
    return (status >> STATUS_ERROR_SHIFT) & STATUS_ERROR_MASK;
}

// Holds the board (board_hold), then opens it; null when either fails,
// after "Could not get FPGA <id>" or the refusal line on the given stream,
// and the board let go. A program talks to a board only while it holds it:
// RIFFA's control channel carries one exchange at a time, and a second
// program would take the replies meant for the first, or mix its image
// into the flash. Held before it is opened: a program that waited behind a
// mode switch opens the board only once its reboot has begun, never with a
// handle from before it.
fpga_t *board_open(int id, FILE *stream);

// What board_hold ended with.
enum board_hold_status {
    BOARD_HELD,           // the board is this program's until board_let_go
    BOARD_STILL_BUSY,     // another program still held it at the deadline
    BOARD_NO_SUCH_BOARD,  // the backend knows there is no such board
    BOARD_UNLOCKABLE,     // no lock can be taken; the refusal line is out
};

// A deadline (on clock_now_ms's scale) that never comes.
constexpr int64_t BOARD_NO_DEADLINE = INT64_MAX;

// Holds board id for this program alone, through the lock on its lock file,
// waiting until deadline_ms at the latest for another program to let go of
// it; a deadline that has passed still gets one try. A board held by
// another program is waited for after board_say_in_use. When no lock can
// be taken at all, prints "Board <id> can't be locked: <lock file>:
// <reason>": the board must then not be used.
board_hold_status board_hold(int id, FILE *stream, int64_t deadline_ms);

// Says "Board <id> is in use by another program. Waiting..." on stream,
// once a run: the wait behind the board's lock and a wait inside the RIFFA
// backend (the virtual board's state, which another program is changing)
// are one wait to the person who reads it.
void board_say_in_use(FILE *stream, int id);

// A backend's call ended unfinished because another program held the
// board until the transfer limit ran out (the virtual board's state lock);
// board_held_past_limit then says so until the next call into the library.
void board_note_held_past_limit();
bool board_held_past_limit();

// Lets the next program have the board, which stays open here; nothing may
// be sent to it any more.
void board_let_go();

// fpga_open of a board this program holds, under the transfer limit, without
// a message; null when it can't be opened.
fpga_t *board_open_held(int id);

// fpga_reset under the transfer limit.
void board_reset(fpga_t *handle);

// Closes the board with fpga_close, under the transfer limit, then lets the
// next program have it.
void board_close(fpga_t *handle);

// Where the lock that holds a board is.
enum board_lock_where {
    BOARD_LOCK_FILE,           // in the file written to path
    BOARD_LOCK_NO_SUCH_BOARD,  // nowhere: the backend knows there is no such board
    BOARD_LOCK_NOWHERE,        // nowhere that can be told
};

// The file whose lock holds board id. Each RIFFA backend brings its own: a
// board is one board, for hardware its id on this PC, for the virtual board
// its folder.
board_lock_where board_lock_path(int id, char *path, size_t size);

// True when the last fpga_open failed through a fault of the backend's own
// that it has reported (the virtual board's state is unusable), not because
// the board is away: looking again will not mend it.
bool board_backend_failed();

// Called before a program first uses the RIFFA library (by board_open, and by
// a tool that reaches the library otherwise): the backend's own messages
// about the board (the virtual board's notice of a wait) go to stream, as
// the board link's do. False when the library can't be used at all, after
// one line on stream saying why; the program then ends as with a board
// that can't be opened.
bool board_backend_prepare(FILE *stream);

// What the tools drive, for their version line: the RIFFA host library or
// the virtual board.
const char *board_backend_name();

// The boards the RIFFA library finds (fpga_list under the transfer limit),
// in its order, into list; their number, or -1 when the library fails. A
// count the library reports beyond its own arrays, or below 0, is clamped
// to them.
int board_list(fpga_info_list *list);

// Every later call into the RIFFA library (transfers, open, reset, close,
// list) ends, as failed, limit_ms after it began at the latest; 0 restores
// the default, CONTROL_TIMEOUT_MS plus CONTROL_GRACE_MS. A library that ends
// its calls on time never meets the limit.
void board_limit_transfers(long long limit_ms);

// Stores value in *word and sends it as one control word with the request
// code. A count other than 1 only warns on standard output.
void board_send_request(fpga_t *handle, uint32_t *word, uint32_t code, uint32_t value);

// Receives one reply word into *word. A count other than 1 only warns; the
// word is then whatever the library left there.
void board_read_reply(fpga_t *handle, uint32_t *word);

// REQ_MODE_QUERY with QUERY_FILL and its reply, without any warning: true
// when both moved their one word, the reply then in *mode. For a board
// that may be away, where a lost reply means "not yet".
bool board_query_mode_quietly(fpga_t *handle, uint32_t *mode);

// REQ_MODE_QUERY with QUERY_FILL, then its reply: returns the reply word as
// the mode value. A lost reply leaves QUERY_FILL, which is not a valid mode.
uint32_t board_query_mode(fpga_t *handle, uint32_t *word);

// Opens board id as board_open does, with messages on standard output, and
// queries its mode into *mode. A value that is neither mode is reported as
// "Incorrect mode value: <n>" and the board closed. Null on either failure:
// the mode tools then end with status -1.
fpga_t *board_open_in_mode(int id, uint32_t *word, uint32_t *mode);

// Prints the line that reports a valid mode value, "Board in bootloader
// mode. " or "Board in normal operation mode. "; false, printing nothing, for
// any other value.
bool board_print_mode(uint32_t mode);

// REQ_MODE_SWITCH with MODE_SWITCH_KEY: the board's next reset reboots it
// into the other mode; no reply.
void board_arm_mode_switch(fpga_t *handle, uint32_t *word);

// REQ_IMAGE_SIZE with the image's exact size in bytes; no reply.
void board_announce_size(fpga_t *handle, uint32_t *word, uint32_t bytes);

// REQ_PROGRAMMER_COMMAND with PROGRAMMER_ERASE: the flash is erased; no reply.
void board_erase(fpga_t *handle, uint32_t *word);

// REQ_PROGRAMMER_COMMAND with PROGRAMMER_START: the image words that follow
// are written from the start of the flash; no reply.
void board_start_programming(fpga_t *handle, uint32_t *word);

// REQ_PROGRAMMER_STATUS with QUERY_FILL and its reply, repeated without pause
// until the done bit is set; returns that status word. A lost reply leaves
// QUERY_FILL, which reads as done with error code 0xF.
uint32_t board_wait_programmer(fpga_t *handle, uint32_t *word);

// Writes text to stderr after flushing stdout, so that the two streams reach
// a shared terminal in program order.
void board_print_error(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

#endif
