// Virtual board: what a board is, as its state file holds it. Each board has
// a folder, board<id>/, of its state (sim_state_text.h), its flash.bin, its
// history (sim_history.h) and two lock files (sim_paths.h); every change is
// one read-modify-write under the state lock (sim_transaction.h).
#ifndef RIFFA_SIM_BOARD_H
#define RIFFA_SIM_BOARD_H

#include <cstddef>
#include <cstdint>
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
    bool stays_off_bus = false;           // after a reboot, back only with a rescan
};

enum class sim_prog_state { idle, programming, finished };

struct sim_programmer {
    sim_prog_state state = sim_prog_state::idle;
    uint32_t run = 0;             // the size request that began it (sim_board::runs_begun), 0: none
    uint32_t announced_size = 0;  // bytes, from the image-size request
    bool erased = false;          // the flash is all 0xFF since the erase command
    uint32_t received_bytes = 0;  // image bytes written to flash
    uint64_t checksum = 0;        // of those bytes (sim_checksum)
    // A flash write under way: [received_bytes, writing_to) may hold bytes
    // that the state does not count, until the write is settled. A program
    // that died meanwhile left it so, and the next read erases that range.
    uint32_t writing_to = 0;
    uint32_t error = 0;
    int busy_polls_seen = 0;
};

// The checksum of image words, as the programmer, the history and riffa_sim
// verify compute it: FNV-1a (64-bit) over 32-bit little-endian words,
// extended word by word; a last partial word is left out.
constexpr uint64_t SIM_CHECKSUM_START = 0xcbf29ce484222325ull;
inline uint64_t sim_checksum(uint64_t sum, const unsigned char *bytes, size_t byte_count) {
    for (size_t i = 0; i + 4 <= byte_count; i += 4) {
        const uint32_t word = uint32_t(bytes[i]) | uint32_t(bytes[i + 1]) << 8 | uint32_t(bytes[i + 2]) << 16 |
                              uint32_t(bytes[i + 3]) << 24;
        sum = (sum ^ word) * 0x100000001b3ull;
    }
    return sum;
}

// One finished programming run, as the history records it.
struct sim_run {
    std::string time;
    uint32_t announced_size = 0;
    uint32_t received_bytes = 0;
    uint32_t error = 0;
    uint64_t checksum = 0;
};

// How the PC's driver shows a board that is away after its reboot
// (sim_bus.h): RIFFA's Linux driver or its Windows one.
enum class sim_bus_model { linux_driver, windows_driver };
// A new board's: the platform's the library is built for (sim_platform_*.cpp).
sim_bus_model sim_default_bus();

struct sim_board {
    int id = 0;
    uint32_t mode = SIM_MODE_NORMAL;
    bool reboot_armed = false;
    sim_programmer programmer;
    uint32_t runs_begun = 0;  // size requests the board has taken
    sim_faults faults;
    // The reboot as the PC sees it: the board is off the bus for
    // reboot_time_ms after its reboot (sim_bus.h).
    sim_bus_model bus = sim_default_bus();
    uint32_t boot = 0;           // reboots so far: a handle from an earlier boot is stale
    int reboot_time_ms = 0;
    int64_t back_at_ms = 0;      // wall-clock time it is back; 0: on the bus
    bool needs_rescan = false;   // off the bus until riffa_sim rescan
    uint32_t history_runs = 0;   // runs the history holds
    // Runs finished since the state was read, recorded with its next save.
    std::vector<sim_run> new_runs;
};

#endif
