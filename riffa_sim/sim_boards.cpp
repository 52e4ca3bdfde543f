#include "sim_boards.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "file_lock.h"
#include "sim_board.h"
#include "sim_file.h"
#include "sim_flash.h"
#include "sim_lock.h"
#include "sim_paths.h"
#include "sim_platform.h"
#include "sim_state_text.h"

namespace fs = std::filesystem;

// A name under root that no other process or call uses, for a board being
// built or taken apart.
static std::string unique_path(const std::string &root, const std::string &what) {
    static unsigned counter = 0;
    return sim_path_text(sim_fs_path(root) /
                         ("." + what + "-" + std::to_string(sim_process_id()) + "-" + std::to_string(++counter)));
}

bool sim_board_exists(const std::string &root, int id) {
    std::error_code ec;
    return fs::is_directory(sim_fs_path(sim_board_dir(root, id)), ec);
}

sim_found sim_find_board(const std::string &root, int id, bool make_zero, std::string *error) {
    const std::string dir = sim_board_dir(root, id);
    std::error_code ec;
    const fs::file_status st = fs::status(sim_fs_path(dir), ec);
    // Neither there nor missing: a folder on the way that this user may not
    // search, say.
    if (st.type() == fs::file_type::none) return sim_fail(error, dir, ec.message()), sim_found::unknown;
    if (fs::is_directory(st)) return sim_found::yes;
    if (id != 0 || !make_zero) return sim_found::no;
    std::string why;
    if (sim_create_board(root, 0, SIM_MODE_NORMAL, &why) || sim_board_exists(root, 0)) return sim_found::yes;
    *error = why;
    return sim_found::unknown;
}

static bool ensure_root(const std::string &root, std::string *error) {
    std::error_code ec;
    const fs::path folder = sim_fs_path(root);
    if (fs::exists(folder, ec) && !fs::is_directory(folder, ec)) return sim_fail(error, root, "not a folder");
    fs::create_directories(folder, ec);
    return ec ? sim_fail(error, root, ec.message()) : true;
}

bool sim_create_board(const std::string &root, int id, uint32_t mode, std::string *error) {
    if (!ensure_root(root, error)) return false;
    if (sim_board_exists(root, id)) return sim_fail(error, sim_board_dir(root, id), "exists");
    const std::string temp = unique_path(root, "new-board" + std::to_string(id));
    std::error_code ec;
    if (!fs::create_directory(sim_fs_path(temp), ec)) return sim_fail(error, temp, ec ? ec.message() : "exists");
    sim_board board;
    board.id = id;
    board.mode = mode;
    const std::string state = sim_format_state(board);
    const fs::path dir = sim_fs_path(temp);
    const bool ok = sim_write_erased_flash(sim_path_text(dir / "flash.bin"), error) &&
                    sim_write_file(sim_path_text(dir / "state"), "wb", 0, state.data(), state.size(), error) &&
                    sim_rename_folder(temp, sim_board_dir(root, id), error);
    if (!ok) fs::remove_all(dir, ec);
    return ok;
}

bool sim_remove_board(const std::string &root, int id, std::string *error) {
    std::string ignored;
    if (!error) error = &ignored;
    if (!sim_board_exists(root, id)) return sim_fail(error, sim_board_dir(root, id), "no such board");
    const char *reason = "";
    const std::string session_path = sim_session_lock_path(root, id);
    const file_lock_t session = file_lock_open(session_path.c_str(), &reason);
    if (session == FILE_LOCK_NONE) return sim_fail(error, session_path, reason);
    const file_lock_status taken = file_lock_take(session, FILE_LOCK_NO_WAIT, &reason);
    if (taken != FILE_LOCK_HELD) {
        file_lock_close(session);
        if (taken == FILE_LOCK_FAILED) return sim_fail(error, session_path, reason);
        *error = "it is in use by another program";
        return false;
    }
    // Renamed away first, so that no one ever finds half a board.
    const std::string trash = unique_path(root, "removed-board" + std::to_string(id));
    const bool moved =
        sim_with_state_lock(root, id, error, [&] { return sim_rename_folder(sim_board_dir(root, id), trash, error); });
    file_lock_close(session);
    if (!moved) return false;
    std::error_code ec;
    fs::remove_all(sim_fs_path(trash), ec);
    return ec ? sim_fail(error, trash, "left behind: " + ec.message()) : true;
}

// The id a folder name stands for, when it is board<id> spelled as the
// board's own name: no plus sign, no leading zeros, within int.
static bool board_id_of(const std::string &name, int *id) {
    if (name.rfind("board", 0) != 0 || name.size() == 5 || name.size() > 16) return false;
    const std::string digits = name.substr(5);
    char *end = nullptr;
    errno = 0;
    const long long value = std::strtoll(digits.c_str(), &end, 10);
    if (*end != '\0' || errno == ERANGE || value < INT32_MIN || value > INT32_MAX) return false;
    *id = int(value);
    return std::to_string(*id) == digits;
}

std::vector<int> sim_list_boards(const std::string &root, std::string *error) {
    std::vector<int> ids;
    std::error_code ec;
    const fs::path folder = sim_fs_path(root);
    if (!fs::exists(folder, ec)) return ids;
    if (!fs::is_directory(folder, ec)) {
        sim_fail(error, root, "not a folder");
        return ids;
    }
    fs::directory_iterator it(folder, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        int id;
        std::error_code dir_ec;
        if (board_id_of(sim_path_text(it->path().filename()), &id) && it->is_directory(dir_ec)) ids.push_back(id);
    }
    if (ec) sim_fail(error, root, ec.message());
    std::sort(ids.begin(), ids.end());
    return ids;
}
