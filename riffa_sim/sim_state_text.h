// Virtual board: the state file's text. A version line, the progress line,
// then one "key value" line each.
#ifndef RIFFA_SIM_STATE_TEXT_H
#define RIFFA_SIM_STATE_TEXT_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "sim_board.h"

// The progress line: received bytes and checksum, fixed-width, so that it
// can be rewritten in place.
constexpr size_t SIM_PROGRESS_LINE_BYTES = 37;
std::string sim_format_progress(uint32_t received_bytes, uint64_t checksum);

// The state file's text of board.
std::string sim_format_state(const sim_board &board);
// Reads text into board (its id kept), checking every value and their
// consistency; false with what is wrong. With skip_bad_faults, fault lines
// that are invalid (written by hand or by an older riffa_sim) are passed
// over and the board gets no faults, for clearing them.
bool sim_parse_state(const std::string &text, sim_board *board, std::string *error,
                     bool skip_bad_faults = false);

#endif
