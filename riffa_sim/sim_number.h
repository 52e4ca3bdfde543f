// Virtual board: numbers as riffa_sim reads them, on its command line and in
// a board's state: decimal, or hexadecimal after 0x, with a minus sign for a
// negative one. A leading 0 is still decimal (010 is ten). The whole text is
// the number, never a part of it, and it must lie within the range.
#ifndef RIFFA_SIM_NUMBER_H
#define RIFFA_SIM_NUMBER_H

// The number text spells, when it lies within [low, high]; false, value
// untouched, for anything else.
bool sim_parse_number(const char *text, long long low, long long high, long long *value);

#endif
