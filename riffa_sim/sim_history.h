// Virtual board: the history of a board's programming runs, one line each.
#ifndef RIFFA_SIM_HISTORY_H
#define RIFFA_SIM_HISTORY_H

#include <string>
#include <vector>

#include "sim_board.h"

// The runs of board id's history, as many as the state counts (count): a
// history replaced for a state whose save then failed holds more, which
// never happened. A state from before the runs were counted (count -1)
// takes every line, but not a last one cut short by a writer that died as it
// appended it. No history file is no run.
bool sim_read_history(const std::string &root, int id, long long count, std::vector<sim_run> *runs,
                      std::string *error);
// Replaces the history whole, as the state is.
bool sim_write_history(const std::string &root, int id, const std::vector<sim_run> &runs, std::string *error);

#endif
