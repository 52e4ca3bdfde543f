#include "sim_paths.h"

#include <cstdlib>
#include <filesystem>

#include "sim_platform.h"

namespace fs = std::filesystem;

std::string sim_root(std::string *error) {
    if (const char *dir = std::getenv("RIFFA_SIM_DIR"); dir && *dir) return dir;
    if (std::string system = sim_system_state_dir(); !system.empty()) return system;
    if (const char *state = std::getenv("XDG_STATE_HOME"); state && *state)
        return std::string(state) + "/riffa_sim";
    if (const char *home = std::getenv("HOME"); home && *home)
        return std::string(home) + "/.local/state/riffa_sim";
    *error = "no folder for the virtual boards: set RIFFA_SIM_DIR (or HOME)";
    return "";
}

static std::string in_board(const std::string &root, int id, const char *name) {
    return sim_path_text(sim_fs_path(sim_board_dir(root, id)) / name);
}

std::string sim_board_dir(const std::string &root, int id) {
    return sim_path_text(sim_fs_path(root) / ("board" + std::to_string(id)));
}

std::string sim_flash_path(const std::string &root, int id) { return in_board(root, id, "flash.bin"); }
std::string sim_state_path(const std::string &root, int id) { return in_board(root, id, "state"); }
std::string sim_history_path(const std::string &root, int id) { return in_board(root, id, "history"); }
std::string sim_state_lock_path(const std::string &root, int id) { return in_board(root, id, "state.lock"); }
std::string sim_session_lock_path(const std::string &root, int id) { return in_board(root, id, "session.lock"); }
