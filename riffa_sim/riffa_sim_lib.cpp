// Virtual board: the RIFFA host library functions over the persisted board
// state, and the session hooks of riffa_sim_session.h. Every transfer
// and reset reads, changes and saves the state under the board's state
// lock, so that what others did meanwhile (riffa_sim setting a fault, say)
// is never lost. Image words within a programming run are kept pending and
// written with the next request, or a block at a time. A missing reply
// returns at once instead of after the timeout.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

#include "riffa.h"
#include "riffa_sim_export.h"
#include "riffa_sim_session.h"
#include "sim_boards.h"
#include "sim_gateware.h"
#include "sim_lock.h"
#include "sim_paths.h"
#include "sim_platform.h"

struct fpga_t {
    sim_session session;
};

// Whether the last fpga_open failed for a reason of the virtual board's own.
static int open_error = 0;

// The library's one line about a board it can't use, as the real library
// prints its own diagnostics.
static void report(int id, const std::string &error) {
    std::fflush(stdout);
    std::fprintf(stderr, "riffa_sim: board %d: %s\n", id, error.c_str());
}

// A failed open: error is empty when it failed as a device would.
static fpga_t *open_failed(fpga_t *fpga, int id, const std::string &error) {
    open_error = !error.empty();
    if (open_error) report(id, error);
    if (fpga) sim_close_files(&fpga->session.files);
    delete fpga;
    return nullptr;
}

static sim_change no_change(sim_board &) { return sim_change::none; }

extern "C" RIFFA_SIM_EXPORT fpga_t *fpga_open(int id) {
    std::string error;
    const std::string root = sim_root(&error);
    const sim_found found = root.empty() ? sim_found::unknown : sim_find_board(root, id, true, &error);
    if (found != sim_found::yes) return open_failed(nullptr, id, found == sim_found::no ? "" : error);
    fpga_t *fpga = new fpga_t;
    sim_session &s = fpga->session;
    if (!sim_open_files(root, id, true, &s.files, &error) || !sim_transact(&s.files, &s.board, no_change, &error))
        return open_failed(fpga, id, sim_wait_cut_short() ? "" : error);
    if (s.board.faults.open_fails || !sim_bus_opens(s.board, sim_now_ms())) return open_failed(fpga, id, "");
    open_error = 0;
    s.boot = s.board.boot;
    s.in_sync = true;
    s.pending.reserve(SIM_PENDING_BYTES);
    return fpga;
}

// One transfer under the state lock, after the image words still pending,
// when this handle reaches the board; s->reach says what it met otherwise.
// False when the state could not be read or saved, reported unless a signal
// ended the wait for another program's hold: the transfer then did not
// happen.
static bool transfer(sim_session *s, const std::function<void()> &what) {
    const bool carries_words = !s->pending.empty();
    s->reach = sim_reach::board;
    const bool ok = sim_transact(&s->files, &s->board,
                                 [&](sim_board &b) {
                                     s->change = sim_change::none;
                                     s->reach = sim_bus_reach(b, s->boot, sim_now_ms());
                                     if (s->reach != sim_reach::board) return sim_change::none;
                                     sim_write_pending(s);
                                     what();
                                     return s->change;
                                 },
                                 &s->error);
    s->pending.clear();
    s->in_sync = ok && s->reach == sim_reach::board;
    if (s->in_sync) s->words_lost = false;
    else if (!ok && carries_words) s->words_lost = true;
    if (!ok && !sim_wait_cut_short()) report(s->board.id, s->error);
    return s->in_sync;
}

// The Linux driver's transfer on a stale device: it ends only when a signal
// arrives or a rescan brings the board back, and then moves nothing. The
// state is looked at every 50 ms, never held in between.
static void wait_for_rescan(sim_session *s) {
    const sim_wait_scope wait;
    while (s->reach == sim_reach::blocked && sim_sleep_ms(50)) {
        sim_board board;
        if (!sim_transact(&s->files, &board, no_change, &s->error)) {
            if (!sim_wait_cut_short()) report(s->board.id, s->error);
            return;
        }
        s->reach = sim_bus_reach(board, s->boot, sim_now_ms());
    }
}

// A transfer that did not reach the board: 0 words, once a blocked one ends.
static int not_reached(sim_session *s) {
    s->reply_pending = false;
    wait_for_rescan(s);
    return 0;
}

extern "C" RIFFA_SIM_EXPORT void fpga_close(fpga_t *fpga) {
    if (!fpga) return;
    sim_session *s = &fpga->session;
    if (!s->pending.empty()) transfer(s, [] {});
    sim_close_files(&s->files);
    delete fpga;
}

static int control_send(sim_session *s, const void *data, int len, uint32_t code) {
    if (len != 1) return 0;
    uint32_t value;
    std::memcpy(&value, data, sizeof value);
    if (!transfer(s, [&] { sim_control_request(s, code, value); })) {
        // The run a size request began exists only once saved.
        if (code == SIM_REQ_IMAGE_SIZE) s->run = 0;
        return not_reached(s);
    }
    if (!s->taken) return 0;
    const auto fault = s->board.faults.send_counts.find(code);
    return fault == s->board.faults.send_counts.end() ? 1 : fault->second;
}

static int image_send(sim_session *s, const void *data, int len) {
    const int send_number = ++s->image_sends;
    const auto *bytes = static_cast<const unsigned char *>(data);
    int moved = 0;
    if (sim_keep_image_words(s, bytes, len, send_number, &moved)) return moved;
    if (!transfer(s, [&] { moved = sim_image_words(s, bytes, len, send_number); })) return not_reached(s);
    return moved;
}

// Every transfer is whole at once: the last flag and the timeout change nothing.
extern "C" RIFFA_SIM_EXPORT int fpga_send(fpga_t *fpga, int chnl, void *data, int len, int destoff, int, long long) {
    if (!fpga || !data || len < 0) return 0;
    if (chnl == 0) return control_send(&fpga->session, data, len, uint32_t(destoff));
    if (chnl == 1) return image_send(&fpga->session, data, len);
    return 0;
}

extern "C" RIFFA_SIM_EXPORT int fpga_recv(fpga_t *fpga, int chnl, void *data, int len, long long) {
    if (!fpga || !data || chnl != 0 || len < 1) return 0;
    sim_session &s = fpga->session;
    // A reply is the answer of the send that just reached the board; without
    // one, the receive still meets the board as it is now.
    if (!s.reply_pending) return transfer(&s, [] {}) ? 0 : not_reached(&s);
    s.reply_pending = false;
    int count = 1;
    const auto fault = s.board.faults.recv_counts.find(s.last_code);
    if (fault != s.board.faults.recv_counts.end()) count = fault->second;
    // A lost reply leaves the caller's word as it was.
    if (count > 0) std::memcpy(data, &s.reply, sizeof s.reply);
    return count;
}

// Does nothing on a handle that does not reach the board, and never waits.
extern "C" RIFFA_SIM_EXPORT void fpga_reset(fpga_t *fpga) {
    if (fpga) transfer(&fpga->session, [&] { sim_reset(&fpga->session); });
}

// What every virtual board reports: a name that says what it is, ids that
// no PCI device has (vendor 0xffff means "no device" on PCI), and the two
// channels the tools use.
static const char SIM_LIST_NAME[] = "riffa_sim";
constexpr int SIM_LIST_VENDOR = 0xffff;
constexpr int SIM_LIST_DEVICE = 0x0000;
constexpr int SIM_LIST_CHANNELS = 2;

// A board off the bus after its reboot is not found; one whose state can't
// be read is listed all the same, and opening it says why.
static bool rebooting(const std::string &root, int id) {
    sim_board board;
    std::string error;
    return sim_read_board(root, id, &board, &error) && sim_off_bus(board, sim_now_ms());
}

// Fails, with the library's one line on standard error, when the state
// folder can't be used; a fresh one holds board 0, as fpga_open finds it.
extern "C" RIFFA_SIM_EXPORT int fpga_list(fpga_info_list *list) {
    if (!list) return -1;
    std::memset(list, 0, sizeof *list);
    std::string error;
    const std::string root = sim_root(&error);
    std::vector<int> ids;
    if (!root.empty() && sim_find_board(root, 0, true, &error) != sim_found::unknown)
        ids = sim_list_boards(root, &error);
    if (!error.empty()) {
        std::fflush(stdout);
        std::fprintf(stderr, "riffa_sim: %s\n", error.c_str());
        return -1;
    }
    ids.erase(std::remove_if(ids.begin(), ids.end(), [&](int id) { return rebooting(root, id); }), ids.end());
    const size_t capacity = sizeof list->id / sizeof list->id[0];
    for (size_t i = 0; i < ids.size() && i < capacity; ++i) {
        list->id[i] = ids[i];
        list->num_chnls[i] = SIM_LIST_CHANNELS;
        std::memcpy(list->name[i], SIM_LIST_NAME, sizeof SIM_LIST_NAME);
        list->vendor_id[i] = SIM_LIST_VENDOR;
        list->device_id[i] = SIM_LIST_DEVICE;
        ++list->num_fpgas;
    }
    return 0;
}

extern "C" RIFFA_SIM_EXPORT void riffa_sim_session_on_wait(void (*waiting)(int id, int cut_short)) {
    sim_on_wait(waiting);
}

extern "C" RIFFA_SIM_EXPORT int riffa_sim_session_lock_path(int id, char *path, size_t size) {
    std::string error;
    const std::string root = sim_root(&error);
    const sim_found found = root.empty() ? sim_found::unknown : sim_find_board(root, id, true, &error);
    if (found == sim_found::unknown) return report(id, error), -1;
    if (found == sim_found::no) return 1;
    const std::string file = sim_session_lock_path(root, id);
    if (!path || file.size() >= size) return -1;
    std::memcpy(path, file.c_str(), file.size() + 1);
    return 0;
}

extern "C" RIFFA_SIM_EXPORT int riffa_sim_session_open_error(void) { return open_error; }
