// Virtual board: where the boards and their files live.
#ifndef RIFFA_SIM_PATHS_H
#define RIFFA_SIM_PATHS_H

#include <string>

// Root folder: $RIFFA_SIM_DIR, else a per-user state folder. Empty, with
// the reason in error, when the environment names none.
std::string sim_root(std::string *error);
// The folder of board id, board<id>/, and its files.
std::string sim_board_dir(const std::string &root, int id);
std::string sim_flash_path(const std::string &root, int id);
std::string sim_state_path(const std::string &root, int id);
std::string sim_history_path(const std::string &root, int id);
// The short lock of every change of the state.
std::string sim_state_lock_path(const std::string &root, int id);
// The lock a program holds from its open to its close.
std::string sim_session_lock_path(const std::string &root, int id);

#endif
