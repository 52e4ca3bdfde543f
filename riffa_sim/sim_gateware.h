// Virtual board: what the bootloader gateware does with control requests,
// image words and resets, on one open board. Works on a loaded sim_board
// under its state lock; the caller persists it.
#ifndef RIFFA_SIM_GATEWARE_H
#define RIFFA_SIM_GATEWARE_H

#include <cstdint>
#include <string>
#include <vector>

#include "sim_bus.h"
#include "sim_transaction.h"

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
constexpr uint32_t SIM_ERR_WORDS_LOST = 0x5;    // taken image words could not be written

// Image words the board has taken but not yet written to its flash: they
// go in blocks of this size, so that an image send costs no system call.
constexpr size_t SIM_PENDING_BYTES = 256 * 1024;

// One open board: its files, its state as last read or saved under the
// state lock, and the transfer in flight.
struct sim_session {
    sim_files files;
    sim_board board;
    uint32_t boot = 0;                     // the board's boot when it was opened
    uint32_t run = 0;                      // the run its size request began, 0: none (reaches no run)
    bool in_sync = false;                  // board is what the state holds
    std::vector<unsigned char> pending;    // image words taken, not yet written
    sim_change change = sim_change::none;  // what the request in hand made of the board
    sim_reach reach = sim_reach::board;    // what the request in hand met
    bool taken = false;                    // the request in hand reached the programmer
    std::string error;                     // why it failed
    bool reply_pending = false;            // a query awaits its reply word
    uint32_t reply = 0;
    uint32_t last_code = 0;
    int image_sends = 0;  // since the last reset, for the image-fail-send fault
    // Image words this handle reported as taken never reached the flash (the
    // request that was to write them failed): the run must not go on as if
    // they had, with later words written where these belong.
    bool words_lost = false;
};

// Each of these runs under the board's state lock, on a freshly read board
// that this handle reaches, and tells in s->change what must be saved.

// Ends this handle's run with SIM_ERR_WORDS_LOST when it lost words, then
// writes the pending image words to the flash, as far as the programmer
// still takes them; every request starts with it.
void sim_write_pending(sim_session *s);
// A control word arrived with a request code; may set a pending reply.
// s->taken is false when it was for a run the board no longer has.
void sim_control_request(sim_session *s, uint32_t code, uint32_t value);
// Image words arrived on the image channel, in the send_number-th image send
// since the reset; returns what the send reports.
int sim_image_words(sim_session *s, const unsigned char *bytes, int words, int send_number);
// Board reset: reboots into the other mode when a reboot is armed.
void sim_reset(sim_session *s);

// The fast path of sim_image_words, without the lock: words for the
// programming run as last read are kept pending, a block at most, and
// written with the next request; flash, state and what each send reports
// end as sim_image_words alone leaves them. Sets moved and returns true, or
// returns false when sim_image_words must take them.
bool sim_keep_image_words(sim_session *s, const unsigned char *bytes, int words, int send_number, int *moved);

#endif
