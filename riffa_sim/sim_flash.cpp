#include "sim_flash.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "sim_board.h"
#include "sim_boards.h"
#include "sim_file.h"
#include "sim_paths.h"
#include "sim_platform.h"

namespace fs = std::filesystem;

bool sim_open_files(const std::string &root, int id, bool with_flash, sim_files *files, std::string *error) {
    *files = sim_files{};
    files->root = root;
    files->id = id;
    if (!sim_board_exists(root, id)) return sim_fail(error, sim_board_dir(root, id), "no such board");
    if (!with_flash) return true;
    const std::string path = sim_flash_path(root, id);
    files->flash = std::fopen(path.c_str(), "r+b");
    if (!files->flash) return sim_fail_errno(error, path);
    // Written a block at a time by the programmer: no buffer of its own.
    std::setvbuf(files->flash, nullptr, _IONBF, 0);
    return true;
}

void sim_close_files(sim_files *files) {
    if (files->flash) std::fclose(files->flash);
    files->flash = nullptr;
}

bool sim_write_flash(const sim_files &files, uint32_t offset, const void *bytes, size_t size,
                     std::string *error) {
    if (std::fseek(files.flash, long(offset), SEEK_SET) != 0 || std::fwrite(bytes, 1, size, files.flash) != size)
        return sim_fail_errno(error, sim_flash_path(files.root, files.id));
    return true;
}

// Writes 0xFF over [from, to) of flash, from where it stands.
static bool write_erased(std::FILE *flash, uint32_t from, uint32_t to) {
    static const std::vector<unsigned char> erased(64 * 1024, 0xFF);
    bool ok = true;
    for (uint32_t done = from; ok && done < to; done += uint32_t(erased.size())) {
        const size_t size = std::min<size_t>(erased.size(), to - done);
        ok = std::fwrite(erased.data(), 1, size, flash) == size;
    }
    return std::fflush(flash) == 0 && ok;
}

bool sim_erase_flash(const sim_files &files, uint32_t from, uint32_t to, std::string *error) {
    if (std::fseek(files.flash, long(from), SEEK_SET) != 0 || !write_erased(files.flash, from, to))
        return sim_fail(error, sim_flash_path(files.root, files.id),
                        std::string("cannot be erased: ") + std::strerror(errno));
    return true;
}

bool sim_write_erased_flash(const std::string &path, std::string *error) {
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) return sim_fail_errno(error, path);
    const bool ok = write_erased(f, 0, SIM_FLASH_BYTES);
    const int saved = errno;
    if (std::fclose(f) != 0 || !ok) return sim_fail(error, path, std::strerror(ok ? errno : saved));
    return true;
}

bool sim_check_flash_size(const std::string &root, int id, std::string *error) {
    const std::string path = sim_flash_path(root, id);
    std::error_code ec;
    const uintmax_t size = fs::file_size(sim_fs_path(path), ec);
    if (ec) return sim_fail(error, path, ec == std::errc::no_such_file_or_directory ? "missing" : ec.message());
    if (size != SIM_FLASH_BYTES)
        return sim_fail(error, path, std::to_string(size) + " bytes instead of " + std::to_string(SIM_FLASH_BYTES));
    return true;
}
