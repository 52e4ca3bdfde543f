// Virtual board: the boards of a root folder. A board is created whole in a
// folder of its own and renamed into place, and removed by renaming it away
// first: board<id>/ is always complete.
#ifndef RIFFA_SIM_BOARDS_H
#define RIFFA_SIM_BOARDS_H

#include <cstdint>
#include <string>
#include <vector>

// Whether board id exists: its folder does (what is in it is checked on
// use). Board 0 stands in every fresh machine, as one card in its slot
// would, so with make_zero it is created on first use (perhaps by another
// process at the same moment). unknown, with the reason in error, when that
// can't be told (a folder this user may not search) or board 0 can't be made.
enum class sim_found { yes, no, unknown };
sim_found sim_find_board(const std::string &root, int id, bool make_zero, std::string *error);
// Whether board id's folder is there, for callers that need no reason.
bool sim_board_exists(const std::string &root, int id);
// Creates the board whole, with an erased flash; false with the reason when
// it exists already or the folder can't hold it.
bool sim_create_board(const std::string &root, int id, uint32_t mode, std::string *error);
// Refused while a program holds the board.
bool sim_remove_board(const std::string &root, int id, std::string *error = nullptr);
// The ids of the folders named board<id>, as the board's own name spells it.
std::vector<int> sim_list_boards(const std::string &root, std::string *error);

#endif
