// Virtual board: a board's flash file, exactly SIM_FLASH_BYTES long.
#ifndef RIFFA_SIM_FLASH_H
#define RIFFA_SIM_FLASH_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// A board in use, and its flash file when asked for.
struct sim_files {
    std::string root;
    int id = 0;
    std::FILE *flash = nullptr;
};

// Fills files for board id, opening its flash (unbuffered) when with_flash;
// false with the reason when the board or its flash is not there.
bool sim_open_files(const std::string &root, int id, bool with_flash, sim_files *files, std::string *error);
void sim_close_files(sim_files *files);

// On an open flash, within it (the state that records a write keeps it so):
// writes bytes at offset, or 0xFF over [from, to); false with the reason.
bool sim_write_flash(const sim_files &files, uint32_t offset, const void *bytes, size_t size,
                     std::string *error);
bool sim_erase_flash(const sim_files &files, uint32_t from, uint32_t to, std::string *error);
// Creates path as an erased flash.
bool sim_write_erased_flash(const std::string &path, std::string *error);
// True when board id's flash is exactly SIM_FLASH_BYTES long.
bool sim_check_flash_size(const std::string &root, int id, std::string *error);

#endif
