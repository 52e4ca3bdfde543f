#include "sim_gateware.h"

#include <ctime>

#include "sim_platform.h"

static uint32_t words_in(uint32_t bytes) { return uint32_t((uint64_t(bytes) + 3) / 4); }

static std::string utc_now() {
    const std::tm tm = sim_utc(std::time(nullptr));
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

// A request that failed saves nothing of what it changed, before or after:
// a later change must not turn it back into one that saves.
static void mark_for_save(sim_session *s) {
    if (s->change != sim_change::failed) s->change = sim_change::save;
}

// Writes bytes, or 0xFF where there are none, over [received, to) of the
// flash, once the board is saved with that write recorded as under way:
// nothing changes the flash that the state does not record. False, the
// request failed, when the save or the write fails, or one before it in
// this request did: the state then holds none of this request's changes,
// and a later write must not land where the failed one's words belonged.
static bool write_flash(sim_session *s, uint32_t to, const unsigned char *bytes) {
    if (s->change == sim_change::failed) return false;
    sim_programmer &p = s->board.programmer;
    p.writing_to = to;
    const sim_change record = s->change == sim_change::save ? s->change : sim_change::progress;
    const bool ok = sim_save_board(s->files, &s->board, record, &s->error) &&
                    (bytes ? sim_write_flash(s->files, p.received_bytes, bytes, to - p.received_bytes, &s->error)
                           : sim_erase_flash(s->files, p.received_bytes, to, &s->error));
    s->change = ok ? sim_change::progress : sim_change::failed;
    return ok;
}

// Ends the run with a result, recorded in the history with the state.
static void finish_run(sim_session *s, uint32_t error) {
    sim_programmer &p = s->board.programmer;
    p.state = sim_prog_state::finished;
    p.error = error;
    mark_for_save(s);
    s->board.new_runs.push_back({utc_now(), p.announced_size, p.received_bytes, p.error, p.checksum});
}

static void start_programming(sim_session *s) {
    sim_programmer &p = s->board.programmer;
    p.state = sim_prog_state::programming;
    p.received_bytes = 0;
    p.writing_to = 0;
    p.checksum = SIM_CHECKSUM_START;
    p.error = 0;
    p.busy_polls_seen = 0;
    if (p.announced_size > SIM_FLASH_BYTES) finish_run(s, SIM_ERR_TOO_BIG);
    else if (!p.erased) finish_run(s, SIM_ERR_NOT_ERASED);
}

static void erase(sim_session *s) {
    sim_programmer &p = s->board.programmer;
    p.erased = true;
    p.received_bytes = 0;
    p.checksum = SIM_CHECKSUM_START;
    mark_for_save(s);
    if (write_flash(s, SIM_FLASH_BYTES, nullptr)) p.writing_to = 0;
}

// Status word of one poll: busy until every announced word has arrived and
// the configured busy polls have passed; busy too before a run that a size
// request began has started.
static uint32_t poll_status(sim_session *s) {
    sim_programmer &p = s->board.programmer;
    if (p.state == sim_prog_state::programming && p.received_bytes >= words_in(p.announced_size) * 4) {
        if (p.busy_polls_seen < s->board.faults.busy_polls) {
            ++p.busy_polls_seen;
            mark_for_save(s);
            return 0;
        }
        finish_run(s, s->board.faults.programmer_error & 0xF);
    }
    return p.state == sim_prog_state::finished ? SIM_STATUS_DONE | (p.error & 0xF) << 4 : 0;
}

// A request of the run this session's size request began: one of a session
// that began none (its size request was never saved), or of a run the board
// no longer has (the programmer was reset since), reaches nothing.
static bool of_boards_run(const sim_session *s) { return s->run != 0 && s->run == s->board.programmer.run; }

static void programmer_request(sim_session *s, uint32_t code, uint32_t value) {
    sim_programmer &p = s->board.programmer;
    if (code == SIM_REQ_IMAGE_SIZE) {
        p = sim_programmer{};
        p.announced_size = value;
        p.run = s->run = ++s->board.runs_begun;
        mark_for_save(s);
        return;
    }
    s->taken = of_boards_run(s);
    if (!s->taken) return;
    if (code == SIM_REQ_PROGRAMMER_STATUS) {
        s->reply = poll_status(s);
        s->reply_pending = true;
    } else if (code == SIM_REQ_PROGRAMMER_COMMAND && value == SIM_CMD_ERASE) {
        erase(s);
    } else if (code == SIM_REQ_PROGRAMMER_COMMAND && value == SIM_CMD_PROGRAM) {
        start_programming(s);
        mark_for_save(s);
    }
}

void sim_control_request(sim_session *s, uint32_t code, uint32_t value) {
    s->last_code = code;
    s->reply_pending = false;
    s->taken = true;
    if (code == SIM_REQ_MODE_QUERY) {
        const sim_faults &f = s->board.faults;
        s->reply = f.mode_reply_set ? f.mode_reply : s->board.mode;
        s->reply_pending = true;
    } else if (code == SIM_REQ_MODE_SWITCH) {
        if (value == SIM_MODE_SWITCH_KEY) {
            s->board.reboot_armed = true;
            mark_for_save(s);
        }
    } else if (s->board.mode == SIM_MODE_BOOTLOADER) {
        programmer_request(s, code, value);
    }
    // The normal gateware has no programmer: its requests get no reply.
}

// The image-send faults: the send that fails, and the words a send takes.
static bool send_fails(const sim_faults &f, int send_number, int *words) {
    if (send_number == f.image_fail_send) {
        *words = f.image_fail_result;
        return true;
    }
    if (f.image_max_words > 0 && *words > f.image_max_words) *words = f.image_max_words;
    return false;
}

// Writes words in order from where the programmer stands, as far as the
// announced size reaches; more than that ends the run.
static void program_words(sim_session *s, const unsigned char *bytes, uint32_t words) {
    sim_programmer &p = s->board.programmer;
    if (p.state == sim_prog_state::idle) {
        finish_run(s, SIM_ERR_NOT_STARTED);
        return;
    }
    if (p.state != sim_prog_state::programming) return;
    const uint32_t room = words_in(p.announced_size) - p.received_bytes / 4;
    const uint32_t take = words < room ? words : room;
    if (take > 0) {
        const uint32_t size = take * 4;
        if (p.erased) {
            p.erased = false;
            mark_for_save(s);
        }
        if (!write_flash(s, p.received_bytes + size, bytes)) return;
        p.checksum = sim_checksum(p.checksum, bytes, size);
        p.received_bytes += size;
    }
    if (words > room) finish_run(s, SIM_ERR_OVERRUN);
}

void sim_write_pending(sim_session *s) {
    if (s->words_lost && of_boards_run(s) && s->board.programmer.state == sim_prog_state::programming)
        finish_run(s, SIM_ERR_WORDS_LOST);
    // The normal gateware takes image words and drops them.
    if (!s->pending.empty() && s->board.mode == SIM_MODE_BOOTLOADER && of_boards_run(s))
        program_words(s, s->pending.data(), uint32_t(s->pending.size() / 4));
    s->pending.clear();
}

int sim_image_words(sim_session *s, const unsigned char *bytes, int words, int send_number) {
    if (send_fails(s->board.faults, send_number, &words)) return words;
    if (words <= 0) return 0;
    if (s->board.mode != SIM_MODE_BOOTLOADER) return words;
    if (!of_boards_run(s)) return 0;
    program_words(s, bytes, uint32_t(words));
    return words;
}

bool sim_keep_image_words(sim_session *s, const unsigned char *bytes, int words, int send_number, int *moved) {
    const sim_board &b = s->board;
    if (!s->in_sync || b.mode != SIM_MODE_BOOTLOADER || b.programmer.state != sim_prog_state::programming ||
        !of_boards_run(s))
        return false;
    if (!send_fails(b.faults, send_number, &words)) {
        if (words <= 0 || s->pending.size() + size_t(words) * 4 > SIM_PENDING_BYTES) return false;
        s->pending.insert(s->pending.end(), bytes, bytes + size_t(words) * 4);
    }
    *moved = words;
    return true;
}

void sim_reset(sim_session *s) {
    s->reply_pending = false;
    s->image_sends = 0;
    if (!s->board.reboot_armed) return;
    s->board.reboot_armed = false;
    s->board.mode = s->board.mode == SIM_MODE_BOOTLOADER ? SIM_MODE_NORMAL : SIM_MODE_BOOTLOADER;
    s->board.programmer = sim_programmer{};
    sim_bus_reboot(&s->board, sim_now_ms());
    mark_for_save(s);
}
