// Virtual board: the persisted state of each board and where it lives.
// One folder per board, board<id>/, holding `state` (text, replaced
// atomically), `flash.bin` (the 8 MiB flash) and `history` (one line per
// finished programming run).
#ifndef RIFFA_SIM_STORE_H
#define RIFFA_SIM_STORE_H

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

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
};

enum class sim_prog_state { idle, programming, finished };

struct sim_programmer {
    sim_prog_state state = sim_prog_state::idle;
    uint32_t announced_size = 0;  // bytes, from the image-size request
    bool erased = false;
    uint32_t received_bytes = 0;  // image bytes written to flash
    uint64_t checksum = 0;        // of the words written, see sim_checksum
    uint32_t error = 0;
    int busy_polls_seen = 0;
};

struct sim_board {
    int id = 0;
    uint32_t mode = SIM_MODE_NORMAL;
    bool reboot_armed = false;
    sim_programmer programmer;
    sim_faults faults;
};

struct sim_run {
    std::string time;
    uint32_t announced_size = 0;
    uint32_t received_bytes = 0;
    uint32_t error = 0;
    uint64_t checksum = 0;
};

// Root folder: $RIFFA_SIM_DIR, else a per-user state folder.
std::string sim_root();
std::string sim_board_dir(const std::string &root, int id);
std::string sim_flash_path(const std::string &root, int id);

bool sim_board_exists(const std::string &root, int id);
// Creates the folder, an erased flash and the state; false on I/O failure.
bool sim_create_board(const std::string &root, int id, uint32_t mode);
// Writes 0xFF over the whole flash file, from its start.
bool sim_erase_flash(std::FILE *flash);
bool sim_remove_board(const std::string &root, int id);
std::vector<int> sim_list_boards(const std::string &root);

bool sim_load_board(const std::string &root, int id, sim_board *board);
// Writes a temporary file and renames it over the state: never torn.
bool sim_save_board(const std::string &root, const sim_board &board);

bool sim_append_run(const std::string &root, int id, const sim_run &run);
std::vector<sim_run> sim_load_history(const std::string &root, int id);

// FNV-1a (64-bit) over 32-bit little-endian words, extended word by word.
constexpr uint64_t SIM_CHECKSUM_START = 0xcbf29ce484222325ull;
uint64_t sim_checksum(uint64_t sum, const unsigned char *bytes, size_t byte_count);

#endif
