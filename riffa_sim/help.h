// What riffa_sim --help says around its command lines, which come from the
// command table.
#ifndef RIFFA_SIM_HELP_H
#define RIFFA_SIM_HELP_H

// Usage and what the program does; the command lines follow.
static const char HELP_HEAD[] =
    "Usage: riffa_sim [-b board_id] command [arguments]\n"
    "Manages the virtual boards that stand in for RIFFA hardware.\n"
    "State lives under $RIFFA_SIM_DIR, else a per-user state folder.\n"
    "\n"
    "Commands (on board 0 unless -b says otherwise):\n";

// The faults, the virtual board's error codes and the options.
static const char HELP_TAIL[] =
    "\n"
    "Faults:\n"
    "  open-fails                  fpga_open returns null\n"
    "  mode-reply VALUE            the mode query replies VALUE\n"
    "  send-count REQUEST COUNT    control sends of REQUEST report COUNT words\n"
    "  recv-count REQUEST COUNT    the reply to REQUEST reports COUNT words (0: reply lost)\n"
    "  image-max-words N           image sends take at most N words each\n"
    "  image-fail-send K [RESULT]  the K-th image send moves nothing, returns RESULT (0)\n"
    "  programmer-error E          programming ends with error code E\n"
    "  busy-polls B                B status polls answer busy before done\n"
    "  stays-off-bus               after a reboot, off the bus until a rescan\n"
    "REQUEST: mode-query, status, size, command, mode-switch, or a number.\n"
    "Numbers are decimal or 0x hexadecimal (010 is ten), each within its fault's range.\n"
    "\n"
    "Programmer error codes of the virtual board: 0x1 image words before command 1,\n"
    "0x2 more words than the announced size, 0x3 size over 8 MiB, 0x4 command 1\n"
    "without an erase (command 2) since the size request.\n"
    "In normal operation mode the board has no programmer: it drops image words, and\n"
    "programmer requests get no reply (a flasher's status poll then reads 0xf).\n"
    "\n"
    "  help, -h, --help            print this summary\n"
    "  --version                   print the version\n";

#endif
