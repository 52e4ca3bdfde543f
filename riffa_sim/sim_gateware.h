// Virtual board: what the bootloader gateware does with control requests,
// image words and resets. Works on a loaded sim_board; the caller persists it.
#ifndef RIFFA_SIM_GATEWARE_H
#define RIFFA_SIM_GATEWARE_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "sim_store.h"

// The board's side of the control requests. The virtual board keeps its own
// copy of these codes instead of including board_link.h: it checks the tools
// independently, so a wrong code in the board link fails the tests rather
// than agreeing with itself.
constexpr uint32_t SIM_REQ_MODE_QUERY = 0x2F000001;
constexpr uint32_t SIM_REQ_PROGRAMMER_STATUS = 0x20000004;
constexpr uint32_t SIM_REQ_IMAGE_SIZE = 0x00000002;
constexpr uint32_t SIM_REQ_PROGRAMMER_COMMAND = 0x00000003;
constexpr uint32_t SIM_REQ_MODE_SWITCH = 0x0F000000;
constexpr uint32_t SIM_MODE_SWITCH_KEY = 0x4B524254;
constexpr uint32_t SIM_CMD_ERASE = 2;
constexpr uint32_t SIM_CMD_PROGRAM = 1;
constexpr uint32_t SIM_STATUS_DONE = 0x8;

// Error codes the virtual programmer reports for protocol faults.
constexpr uint32_t SIM_ERR_NOT_STARTED = 0x1;   // image words before command 1
constexpr uint32_t SIM_ERR_OVERRUN = 0x2;       // more words than the announced size
constexpr uint32_t SIM_ERR_TOO_BIG = 0x3;       // announced size over 8 MiB
constexpr uint32_t SIM_ERR_NOT_ERASED = 0x4;    // command 1 without command 2 first

// One open board: its state, its flash file and the transfer in flight.
struct sim_session {
    std::string root;
    sim_board board;
    std::FILE *flash = nullptr;
    uint32_t flash_pos = 0;      // where the flash file stands
    bool dirty = false;          // state changed since the last save
    bool reply_pending = false;  // a query awaits its reply word
    uint32_t reply = 0;
    uint32_t last_code = 0;
    int image_sends = 0;
};

// A control word arrived with a request code; may set a pending reply.
void sim_control_request(sim_session *s, uint32_t code, uint32_t value);
// Image words arrived on the image channel; returns how many were taken.
int sim_image_words(sim_session *s, const unsigned char *bytes, int words);
// Board reset: reboots into the other mode when a reboot is armed.
void sim_reset(sim_session *s);

#endif
