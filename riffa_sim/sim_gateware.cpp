#include "sim_gateware.h"

#include <ctime>

static uint32_t words_in(uint32_t bytes) { return uint32_t((uint64_t(bytes) + 3) / 4); }

static std::string utc_now() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
#ifdef _WIN32
    gmtime_s(&tm, &now);
#else
    gmtime_r(&now, &tm);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

// Ends the run with a result and records it in the history.
static void finish_run(sim_session *s, uint32_t error) {
    sim_programmer &p = s->board.programmer;
    p.state = sim_prog_state::finished;
    p.error = error;
    s->dirty = true;
    sim_append_run(s->root, s->board.id,
                   {utc_now(), p.announced_size, p.received_bytes, p.error, p.checksum});
}

static bool erase_flash(sim_session *s) {
    if (!s->flash) return false;
    s->flash_pos = SIM_FLASH_BYTES;
    return sim_erase_flash(s->flash);
}

static void start_programming(sim_session *s) {
    sim_programmer &p = s->board.programmer;
    p.state = sim_prog_state::programming;
    p.received_bytes = 0;
    p.checksum = SIM_CHECKSUM_START;
    p.error = 0;
    p.busy_polls_seen = 0;
    if (p.announced_size > SIM_FLASH_BYTES) finish_run(s, SIM_ERR_TOO_BIG);
    else if (!p.erased) finish_run(s, SIM_ERR_NOT_ERASED);
}

// Status word of one poll: busy until every announced word has arrived and
// the configured busy polls have passed.
static uint32_t poll_status(sim_session *s) {
    sim_programmer &p = s->board.programmer;
    if (p.state == sim_prog_state::programming &&
        p.received_bytes >= words_in(p.announced_size) * 4) {
        if (p.busy_polls_seen < s->board.faults.busy_polls) {
            ++p.busy_polls_seen;
            s->dirty = true;
            return 0;
        }
        p.erased = false;
        finish_run(s, s->board.faults.programmer_error & 0xF);
    }
    switch (p.state) {
    case sim_prog_state::programming: return 0;
    case sim_prog_state::finished: return SIM_STATUS_DONE | (p.error & 0xF) << 4;
    default: return SIM_STATUS_DONE;  // an idle programmer has nothing left to do
    }
}

static void programmer_request(sim_session *s, uint32_t code, uint32_t value) {
    sim_programmer &p = s->board.programmer;
    if (code == SIM_REQ_IMAGE_SIZE) {
        p = sim_programmer{};
        p.announced_size = value;
    } else if (code == SIM_REQ_PROGRAMMER_COMMAND && value == SIM_CMD_ERASE) {
        p.erased = erase_flash(s);
    } else if (code == SIM_REQ_PROGRAMMER_COMMAND && value == SIM_CMD_PROGRAM) {
        start_programming(s);
    } else {
        return;
    }
    s->dirty = true;
}

void sim_control_request(sim_session *s, uint32_t code, uint32_t value) {
    s->last_code = code;
    s->reply_pending = false;
    const bool bootloader = s->board.mode == SIM_MODE_BOOTLOADER;
    if (code == SIM_REQ_MODE_QUERY) {
        const sim_faults &f = s->board.faults;
        s->reply = f.mode_reply_set ? f.mode_reply : s->board.mode;
        s->reply_pending = true;
    } else if (code == SIM_REQ_PROGRAMMER_STATUS) {
        // The normal gateware has no programmer; answer as an idle one.
        s->reply = bootloader ? poll_status(s) : SIM_STATUS_DONE;
        s->reply_pending = true;
    } else if (code == SIM_REQ_MODE_SWITCH) {
        if (value == SIM_MODE_SWITCH_KEY) {
            s->board.reboot_armed = true;
            s->dirty = true;
        }
    } else if (bootloader) {
        programmer_request(s, code, value);
    }
}

int sim_image_words(sim_session *s, const unsigned char *bytes, int words) {
    sim_programmer &p = s->board.programmer;
    if (words <= 0 || s->board.mode != SIM_MODE_BOOTLOADER) return words < 0 ? 0 : words;
    if (p.state == sim_prog_state::idle) {
        finish_run(s, SIM_ERR_NOT_STARTED);
        return words;
    }
    if (p.state != sim_prog_state::programming) return words;
    const uint32_t room = words_in(p.announced_size) - p.received_bytes / 4;
    const uint32_t take = uint32_t(words) < room ? uint32_t(words) : room;
    if (take > 0 && s->flash) {
        if (s->flash_pos != p.received_bytes) std::fseek(s->flash, long(p.received_bytes), SEEK_SET);
        std::fwrite(bytes, 4, take, s->flash);
        s->flash_pos = p.received_bytes + take * 4;
        p.checksum = sim_checksum(p.checksum, bytes, take * 4);
        p.received_bytes += take * 4;
        s->dirty = true;
    }
    if (uint32_t(words) > room) finish_run(s, SIM_ERR_OVERRUN);
    return words;
}

void sim_reset(sim_session *s) {
    s->reply_pending = false;
    s->image_sends = 0;
    if (!s->board.reboot_armed) return;
    s->board.reboot_armed = false;
    s->board.mode = s->board.mode == SIM_MODE_BOOTLOADER ? SIM_MODE_NORMAL : SIM_MODE_BOOTLOADER;
    s->board.programmer = sim_programmer{};
    s->dirty = true;
}
