// Virtual board: the five RIFFA host library functions over the persisted
// board state. A missing reply returns at once instead of after the timeout.
#include <cstring>

#include <filesystem>

#include "riffa.h"
#include "riffa_sim_session.h"
#include "sim_gateware.h"

struct fpga_t {
    sim_session session;
};

static void save_if_dirty(sim_session *s) {
    if (!s->dirty) return;
    if (s->flash) std::fflush(s->flash);  // flash before the state that describes it
    if (sim_save_board(s->root, s->board)) s->dirty = false;
}

extern "C" RIFFA_SIM_EXPORT fpga_t *fpga_open(int id) {
    const std::string root = sim_root();
    // Board 0 stands in every fresh machine, as one card in its slot would.
    if (!sim_board_exists(root, id) && (id != 0 || !sim_create_board(root, 0, SIM_MODE_NORMAL)))
        return nullptr;
    fpga_t *fpga = new fpga_t;
    sim_session &s = fpga->session;
    s.root = root;
    if (!sim_load_board(root, id, &s.board) || s.board.faults.open_fails) {
        delete fpga;
        return nullptr;
    }
    s.flash = std::fopen(sim_flash_path(root, id).c_str(), "r+b");
    if (!s.flash) {
        delete fpga;
        return nullptr;
    }
    std::setvbuf(s.flash, nullptr, _IOFBF, 64 * 1024);
    return fpga;
}

extern "C" RIFFA_SIM_EXPORT void fpga_close(fpga_t *fpga) {
    if (!fpga) return;
    save_if_dirty(&fpga->session);
    if (fpga->session.flash) std::fclose(fpga->session.flash);
    delete fpga;
}

static int control_send(sim_session *s, const void *data, int len, uint32_t code) {
    if (len != 1) return 0;
    uint32_t value;
    std::memcpy(&value, data, sizeof value);
    sim_control_request(s, code, value);
    save_if_dirty(s);
    const auto fault = s->board.faults.send_counts.find(code);
    return fault == s->board.faults.send_counts.end() ? 1 : fault->second;
}

static int image_send(sim_session *s, const void *data, int len) {
    const sim_faults &f = s->board.faults;
    if (++s->image_sends == f.image_fail_send) return f.image_fail_result;
    if (f.image_max_words > 0 && len > f.image_max_words) len = f.image_max_words;
    return sim_image_words(s, static_cast<const unsigned char *>(data), len);
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
    sim_reset(&fpga->session);
    save_if_dirty(&fpga->session);
}

extern "C" RIFFA_SIM_EXPORT int riffa_sim_session_lock_path(int id, char *path, size_t size) {
    const std::string root = sim_root();
    if (!sim_board_exists(root, id)) return -1;
    const std::string file = (std::filesystem::path(sim_board_dir(root, id)) / "session.lock").string();
    if (file.size() >= size) return -1;
    std::memcpy(path, file.c_str(), file.size() + 1);
    return 0;
}
