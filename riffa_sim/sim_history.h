// Virtual board: the history of a board's programming runs, one line each.
#ifndef RIFFA_SIM_HISTORY_H
#define RIFFA_SIM_HISTORY_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim_board.h"

// The runs of board id's history, as many as the state counts (count): a
// history replaced for a state whose save then failed holds more, which
// never happened. No history file is no run.
bool sim_read_history(const std::string &root, int id, uint32_t count, std::vector<sim_run> *runs,
                      std::string *error);
// The whole lines of board id's history, for a state from before the runs
// were counted; 0 when there is none to read.
size_t sim_history_lines(const std::string &root, int id);
// Replaces the history whole, as the state is.
bool sim_write_history(const std::string &root, int id, const std::vector<sim_run> &runs, std::string *error);

#endif
