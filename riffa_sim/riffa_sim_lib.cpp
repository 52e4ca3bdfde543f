// Virtual board: the five RIFFA host library functions over the persisted
// board state. Every control request and reset reads, changes and saves the
// state under the board's state lock, so that what others did meanwhile
// (riffa_sim setting a fault, say) is never lost. Image words within a
// programming run are kept pending and written with the next request, or a
// block at a time. A missing reply returns at once instead of after the
// timeout.
#include <cstdio>
#include <cstring>
#include <functional>

#include "riffa.h"
#include "riffa_sim_export.h"
#include "riffa_sim_session.h"
#include "sim_bus.h"
#include "sim_boards.h"
#include "sim_gateware.h"
#include "sim_lock.h"
#include "sim_paths.h"

struct fpga_t {
    sim_session session;
};

// The library's one line about a board it can't use, as the real library
// prints its own diagnostics.
static void report(int id, const std::string &error) {
    std::fflush(stdout);
    std::fprintf(stderr, "riffa_sim: board %d: %s\n", id, error.c_str());
}

static fpga_t *open_failed(fpga_t *fpga, int id, const std::string &error) {
    if (!error.empty()) report(id, error);
    if (fpga) sim_close_files(&fpga->session.files);
    delete fpga;
    return nullptr;
}

extern "C" RIFFA_SIM_EXPORT fpga_t *fpga_open(int id) {
    std::string error;
    const std::string root = sim_root(&error);
    if (root.empty()) return open_failed(nullptr, id, error);
    if (!sim_board_present(root, id, &error)) return open_failed(nullptr, id, error);
    fpga_t *fpga = new fpga_t;
    sim_session &s = fpga->session;
    if (!sim_open_files(root, id, true, &s.files, &error) || !sim_read_board(&s.files, &s.board, &error))
        return open_failed(fpga, id, error);
    if (s.board.faults.open_fails) return open_failed(fpga, id, "");
    // Rebooting: not on the bus, as a device the driver does not find.
    if (sim_off_bus(s.board, sim_now_ms())) return open_failed(fpga, id, "");
    s.in_sync = true;
    s.pending.reserve(SIM_PENDING_BYTES);
    return fpga;
}

// One request under the state lock, after the image words still pending;
// false, reported, when the state could not be read or saved: the request
// then did not happen.
static bool request(sim_session *s, const std::function<void()> &what) {
    const bool ok = sim_transact(&s->files, &s->board,
                                 [&](sim_board &) {
                                     s->change = sim_change::none;
                                     sim_write_pending(s);
                                     what();
                                     return s->change;
                                 },
                                 &s->error);
    s->pending.clear();
    s->in_sync = ok;
    if (!ok) report(s->board.id, s->error);
    return ok;
}

extern "C" RIFFA_SIM_EXPORT void fpga_close(fpga_t *fpga) {
    if (!fpga) return;
    sim_session *s = &fpga->session;
    if (!s->pending.empty()) request(s, [] {});
    sim_close_files(&s->files);
    delete fpga;
}

static int control_send(sim_session *s, const void *data, int len, uint32_t code) {
    if (len != 1) return 0;
    uint32_t value;
    std::memcpy(&value, data, sizeof value);
    if (!request(s, [&] { sim_control_request(s, code, value); })) {
        s->reply_pending = false;
        return 0;
    }
    const auto fault = s->board.faults.send_counts.find(code);
    return fault == s->board.faults.send_counts.end() ? 1 : fault->second;
}

static int image_send(sim_session *s, const void *data, int len) {
    const int send_number = ++s->image_sends;
    const auto *bytes = static_cast<const unsigned char *>(data);
    int moved = 0;
    if (sim_image_words_pending(s, bytes, len, send_number, &moved)) return moved;
    if (!request(s, [&] { moved = sim_image_words(s, bytes, len, send_number); })) return 0;
    return moved;
}

extern "C" RIFFA_SIM_EXPORT int fpga_send(fpga_t *fpga, int chnl, void *data, int len, int destoff, int last,
                         long long timeout) {
    (void)last;
    (void)timeout;
    if (!fpga || !data || len < 0) return 0;
    if (chnl == 0) return control_send(&fpga->session, data, len, uint32_t(destoff));
    if (chnl == 1) return image_send(&fpga->session, data, len);
    return 0;
}

extern "C" RIFFA_SIM_EXPORT int fpga_recv(fpga_t *fpga, int chnl, void *data, int len, long long timeout) {
    (void)timeout;
    if (!fpga || !data || chnl != 0 || len < 1) return 0;
    sim_session &s = fpga->session;
    if (!s.reply_pending) return 0;
    s.reply_pending = false;
    int count = 1;
    const auto fault = s.board.faults.recv_counts.find(s.last_code);
    if (fault != s.board.faults.recv_counts.end()) count = fault->second;
    // A lost reply leaves the caller's word as it was.
    if (count > 0) std::memcpy(data, &s.reply, sizeof s.reply);
    return count;
}

extern "C" RIFFA_SIM_EXPORT void fpga_reset(fpga_t *fpga) {
    if (!fpga) return;
    sim_session *s = &fpga->session;
    s->image_sends = 0;
    request(s, [&] { sim_reset(s); });
}

extern "C" RIFFA_SIM_EXPORT void riffa_sim_session_notices_to(int fd) { sim_notices_to(fd == 1 ? 1 : 2); }

extern "C" RIFFA_SIM_EXPORT int riffa_sim_session_lock_path(int id, char *path, size_t size) {
    std::string error;
    const std::string root = sim_root(&error);
    if (root.empty()) return -1;
    const std::string file = sim_session_lock_path(root, id);
    if (file.size() >= size) return -1;
    std::memcpy(path, file.c_str(), file.size() + 1);
    return 0;
}
