// What riffa_sim --help says around its command and fault lines, which come
// from the command and fault tables.
#ifndef RIFFA_SIM_HELP_H
#define RIFFA_SIM_HELP_H

// Usage and what the program does; the command lines follow.
static const char HELP_HEAD[] =
    "Usage: riffa_sim [-b board_id] command [arguments]\n"
    "Manages the virtual boards that stand in for RIFFA hardware.\n"
    "State lives under $RIFFA_SIM_DIR, else a per-user state folder.\n"
    "\n"
    "Commands (on board 0 unless -b says otherwise):\n";

// The heading of the fault lines, which come from the fault table.
static const char HELP_FAULTS[] = "\nFaults:\n";

// What the fault values are, the virtual board's error codes and the options.
static const char HELP_TAIL[] =
    "REQUEST: mode-query, status, size, command, mode-switch, or a number.\n"
    "Numbers are decimal or 0x hexadecimal (010 is ten), each within its fault's range.\n"
    "\n"
    "Programmer error codes of the virtual board: 0x1 image words before command 1,\n"
    "0x2 more words than the announced size, 0x3 size over 8 MiB, 0x4 command 1\n"
    "without an erase (command 2) since the size request, 0x5 image words taken\n"
    "but not written (the board's state could not be saved).\n"
    "In normal operation mode the board has no programmer: it drops image words, and\n"
    "programmer requests get no reply (a flasher's status poll then reads 0xf).\n"
    "\n"
    "  help, -h, --help            print this summary\n"
    "  --version                   print the version\n";

#endif
