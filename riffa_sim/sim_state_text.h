// Virtual board: the state file's text. A version line, the progress line,
// then one "key value" line each.
#ifndef RIFFA_SIM_STATE_TEXT_H
#define RIFFA_SIM_STATE_TEXT_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "sim_board.h"

// The version line, and the progress line that follows it, fixed-width so
// that it can be rewritten in place at SIM_PROGRESS_LINE_AT.
extern const char SIM_STATE_VERSION_LINE[];
constexpr size_t SIM_PROGRESS_LINE_AT = 27;
std::string sim_format_progress(const sim_programmer &p);
// Where the received bytes stand in the progress line, and their width,
// as in version 1, which had no more after the checksum.
constexpr size_t SIM_PROGRESS_RECEIVED_AT = 9;
constexpr size_t SIM_PROGRESS_NUMBER_WIDTH = 10;

// The state file's text of board.
std::string sim_format_state(const sim_board &board);
// Reads text into board (its id kept), checking every value and their
// consistency; false with what is wrong. With skip_bad_faults, fault lines
// that are invalid (written by hand or by an older riffa_sim) are passed
// over and the board gets no faults, for clearing them.
bool sim_parse_state(const std::string &text, sim_board *board, std::string *error,
                     bool skip_bad_faults = false);

// The text of a version 1 state as version 2, its history holding
// history_lines whole lines: the keys version 1 lacked get the values that
// it meant by their absence. Other text is returned as it is.
std::string sim_upgrade_v1(const std::string &text, size_t history_lines);
bool sim_is_v1(const std::string &text);

#endif
