// Virtual board: the persisted state of each board and where it lives.
// One folder per board, board<id>/, holding
//   state     text with a version line, replaced whole (temporary file and
//             rename) by every change, always under the board's state lock;
//             only its fixed-width progress line, the programmer's received
//             bytes and their checksum, is rewritten in place, in one write;
//   flash.bin the 8 MiB flash;
//   history   one line per finished programming run, replaced whole (as
//             the state) just before the state that counts its runs, so
//             that a run is on record exactly when the state says so;
//   state.lock, session.lock  the short lock of every change, and the lock a
//             program holds from its open to its close.
// A board is created whole in a folder of its own and renamed into place,
// and removed by renaming it away first: board<id>/ is always complete.
#ifndef RIFFA_SIM_STORE_H
#define RIFFA_SIM_STORE_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

// Marks what the library exports. On Windows only these are: exporting what
// the DLL takes from static libraries (the GCC runtime's unwinder, for one)
// would clash with the programs' own copies.
#ifdef _WIN32
#define RIFFA_SIM_EXPORT __declspec(dllexport)
#else
#define RIFFA_SIM_EXPORT
#endif

constexpr uint32_t SIM_FLASH_BYTES = 8u * 1024 * 1024;
constexpr uint32_t SIM_MODE_BOOTLOADER = 2;
constexpr uint32_t SIM_MODE_NORMAL = 3;

// Fault switches, set with the riffa_sim control program; all off by default.
struct sim_faults {
    bool open_fails = false;
    bool mode_reply_set = false;
    uint32_t mode_reply = 0;
    std::map<uint32_t, int> send_counts;  // request code -> reported count
    std::map<uint32_t, int> recv_counts;  // request code -> reported count
    int image_max_words = 0;              // words per image send, 0 = no limit
    int image_fail_send = 0;              // 1-based image send that moves nothing
    int image_fail_result = 0;            // what that send returns (0 or negative)
    uint32_t programmer_error = 0;        // error code a finished run reports
    int busy_polls = 0;                   // status polls answered busy
    bool stays_off_bus = false;           // after a reboot, back only with a rescan
};

enum class sim_prog_state { idle, programming, finished };

struct sim_programmer {
    sim_prog_state state = sim_prog_state::idle;
    uint32_t announced_size = 0;  // bytes, from the image-size request
    bool erased = false;
    uint32_t received_bytes = 0;  // image bytes written to flash
    uint64_t checksum = 0;        // of those bytes, see sim_checksum
    uint32_t error = 0;
    int busy_polls_seen = 0;
};

struct sim_run {
    std::string time;
    uint32_t announced_size = 0;
    uint32_t received_bytes = 0;
    uint32_t error = 0;
    uint64_t checksum = 0;
};

struct sim_board {
    int id = 0;
    uint32_t mode = SIM_MODE_NORMAL;
    bool reboot_armed = false;
    sim_programmer programmer;
    sim_faults faults;
    // The reboot as the PC sees it: the board is off the bus for
    // reboot_time_ms after its reboot (sim_bus.h).
    int reboot_time_ms = 0;
    int64_t back_at_ms = 0;      // wall-clock time it is back; 0: on the bus
    bool needs_rescan = false;   // off the bus until riffa_sim rescan
    // Runs the history holds; -1 for a state from before they were counted.
    long long history_runs = -1;
    // Runs finished since the state was read, recorded with its next save.
    std::vector<sim_run> new_runs;
};

// Root folder: $RIFFA_SIM_DIR, else a per-user state folder. Empty, with
// the reason in error, when the environment names none.
std::string sim_root(std::string *error);
std::string sim_board_dir(const std::string &root, int id);
std::string sim_flash_path(const std::string &root, int id);
std::string sim_session_lock_path(const std::string &root, int id);

// A board exists once its folder does; what is in it is checked on use.
bool sim_board_exists(const std::string &root, int id);
// True when board id exists; false with the reason in error when that can't
// be told (a folder this user may not search).
bool sim_board_found(const std::string &root, int id, std::string *error);
// True when board id exists. Board 0 stands in every fresh machine, as one
// card in its slot would, so it is created on first use (perhaps by another
// process at the same moment); error is set only when that fails, or when
// whether the board exists can't be told.
bool sim_board_present(const std::string &root, int id, std::string *error);
// Creates the board whole, with an erased flash; false with the reason when
// it exists already or the folder can't hold it.
bool sim_create_board(const std::string &root, int id, uint32_t mode, std::string *error = nullptr);
// Refused while a program holds the board.
bool sim_remove_board(const std::string &root, int id, std::string *error = nullptr);
// The ids of the folders named board<id>, as the board's own name spells it.
std::vector<int> sim_list_boards(const std::string &root, std::string *error = nullptr);

// A board in use, and its flash file when asked for.
struct sim_files {
    std::string root;
    int id = 0;
    std::FILE *flash = nullptr;
};

bool sim_open_files(const std::string &root, int id, bool with_flash, sim_files *files, std::string *error);
void sim_close_files(sim_files *files);

// What a change made of a board: nothing, only the programmer's progress
// (received bytes and checksum), anything, or a failure that set the error.
enum class sim_change { none, progress, save, failed };

// A program that has waited this long for a board's state lock, held by
// another program, says so with the tools' notice "Board <id> is in use by
// another program. Waiting..." and waits on: never a silent hang.
constexpr int SIM_NOTICE_AFTER_MS = 1000;
// Where the notice goes: 1 standard output, 2 standard error (the default).
void sim_notices_to(int fd);

// One read-modify-write of the board under its state lock: reads and checks
// the state into board, calls change, and saves what it returns. Errors read
// "<file>: <reason>".
bool sim_transact(sim_files *files, sim_board *board, const std::function<sim_change(sim_board &)> &change,
                  std::string *error);

// Writes bytes into the flash at offset; false with the reason.
bool sim_write_flash(const sim_files &files, uint32_t offset, const void *bytes, size_t size,
                     std::string *error);
// Writes 0xFF over the whole flash file, from its start.
bool sim_erase_flash(std::FILE *flash);

// Reads and checks the state into board, under the board's state lock.
bool sim_read_board(sim_files *files, sim_board *board, std::string *error);

// Reads the board under its lock, with its history when runs is given, or
// applies edit under it and saves.
bool sim_load_board(const std::string &root, int id, sim_board *board, std::string *error = nullptr,
                    std::vector<sim_run> *runs = nullptr);
bool sim_update_board(const std::string &root, int id, const std::function<void(sim_board &)> &edit,
                      std::string *error = nullptr);

// Clears every fault of the board, also faults stored invalid, which no
// other change reads past; the rest of the state is checked and kept.
bool sim_clear_faults(const std::string &root, int id, std::string *error);


// The progress line: received bytes and checksum, fixed-width, so that it
// can be rewritten in place.
constexpr size_t SIM_PROGRESS_LINE_BYTES = 37;
std::string sim_format_progress(uint32_t received_bytes, uint64_t checksum);

// The state file's text, and back; parsing checks every value and their
// consistency, and says what is wrong. With skip_bad_faults, fault lines that
// are invalid (written by hand or by an older riffa_sim) are passed over and
// the board gets no faults, for clearing them.
std::string sim_format_state(const sim_board &board);
bool sim_parse_state(const std::string &text, sim_board *board, std::string *error,
                     bool skip_bad_faults = false);

// FNV-1a (64-bit) over 32-bit little-endian words, extended word by word.
constexpr uint64_t SIM_CHECKSUM_START = 0xcbf29ce484222325ull;
uint64_t sim_checksum(uint64_t sum, const unsigned char *bytes, size_t byte_count);

#endif
