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
// line (received bytes, checksum, flash write under way), anything, or a
// failure that set the error.
enum class sim_change { none, progress, save, failed };

// One read-modify-write of the board under its state lock: reads and checks
// the state into board, calls change, and saves what it returns. Reading
// also upgrades a version 1 state and erases what a flash write that was
// never settled may have left. Errors read "<file>: <reason>".
bool sim_transact(sim_files *files, sim_board *board, const std::function<sim_change(sim_board &)> &change,
                  std::string *error);

// Saves board within a transaction, as change says: its progress line alone
// (in place, sim_save_progress), or whole with the runs that finished,
// which it then counts.
bool sim_save_board(const sim_files &files, sim_board *board, sim_change change, std::string *error);
// Rewrites the progress line in place, in one write that a process killed
// at any point leaves whole: the state file then reads as if saved whole.
bool sim_save_progress(const sim_files &files, const sim_programmer &p, std::string *error);

// Reads board id and its history under its lock and calls look with them,
// still under the lock; false when either can't be read, or look says so.
bool sim_look_at_board(const std::string &root, int id,
                       const std::function<bool(const sim_board &, const std::vector<sim_run> &)> &look,
                       std::string *error);
// Reads board id under its lock, with its history when runs is given.
bool sim_read_board(const std::string &root, int id, sim_board *board, std::string *error,
                    std::vector<sim_run> *runs = nullptr);
// Applies edit to the board under its lock and saves it. With mend_faults,
// faults stored invalid, which every other change refuses, are read as none.
bool sim_update_board(const std::string &root, int id, const std::function<void(sim_board &)> &edit,
                      std::string *error, bool mend_faults = false);

#endif
