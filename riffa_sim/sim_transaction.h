// Virtual board: every change of a board is one read-modify-write under its
// state lock, saved through a temporary file and a rename.
#ifndef RIFFA_SIM_TRANSACTION_H
#define RIFFA_SIM_TRANSACTION_H

#include <functional>
#include <string>
#include <vector>

#include "sim_board.h"
#include "sim_flash.h"

// What a change made of a board: nothing, only the programmer's progress
// (received bytes and checksum), anything, or a failure that set the error.
enum class sim_change { none, progress, save, failed };

// One read-modify-write of the board under its state lock: reads and checks
// the state into board, calls change, and saves what it returns. Errors read
// "<file>: <reason>".
bool sim_transact(sim_files *files, sim_board *board, const std::function<sim_change(sim_board &)> &change,
                  std::string *error);

// Reads and checks the state into board, under the board's state lock.
bool sim_read_board(sim_files *files, sim_board *board, std::string *error);

// Reads the board under its lock, with its history when runs is given.
bool sim_load_board(const std::string &root, int id, sim_board *board, std::string *error = nullptr,
                    std::vector<sim_run> *runs = nullptr);
// Applies edit to the board under its lock and saves it.
bool sim_update_board(const std::string &root, int id, const std::function<void(sim_board &)> &edit,
                      std::string *error = nullptr);

// Clears every fault of the board, also faults stored invalid, which no
// other change reads past; the rest of the state is checked and kept.
bool sim_clear_faults(const std::string &root, int id, std::string *error);

#endif
