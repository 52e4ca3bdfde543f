// Virtual board: the state file's text. Parsing takes nothing on trust: an
// unknown or repeated key, a missing one, a value out of range or
// inconsistent with the others makes the whole file invalid, with the reason.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <vector>

#include "sim_bus.h"
#include "sim_state_text.h"
#include "sim_text.h"

const char SIM_STATE_VERSION_LINE[] = "# riffa_sim board state v2";
static_assert(sizeof SIM_STATE_VERSION_LINE == SIM_PROGRESS_LINE_AT, "the progress line follows the version line");
static const char VERSION_PREFIX[] = "# riffa_sim board state v";

static const sim_name<sim_prog_state> PROG_STATES[] = {{"idle", sim_prog_state::idle},
                                                       {"programming", sim_prog_state::programming},
                                                       {"finished", sim_prog_state::finished}};

static const char PROGRESS_KEY[] = "progress ";
static_assert(sizeof PROGRESS_KEY - 1 == SIM_PROGRESS_RECEIVED_AT, "the received bytes follow the key");

std::string sim_format_progress(const sim_programmer &p) {
    return sim_format("%s%010lu %016llx %010lu\n", PROGRESS_KEY, (unsigned long)p.received_bytes,
                      (unsigned long long)p.checksum, (unsigned long)p.writing_to);
}

// The keys whose value is one number, its range, and the board's field it
// is: the state is formatted and read by the same table.
struct number_key {
    const char *name;
    long long low, high;
    long long (*get)(const sim_board &);
    void (*set)(sim_board *, long long);
};

#define SIM_KEY(name, field, low, high)                                         \
    {name, low, high, [](const sim_board &b) { return (long long)b.field; },    \
     [](sim_board *b, long long v) { b->field = decltype(b->field)(v); }}

static const number_key NUMBER_KEYS[] = {
    SIM_KEY("mode", mode, 0, UINT32_MAX),
    SIM_KEY("reboot_armed", reboot_armed, 0, 1),
    SIM_KEY("run", programmer.run, 0, UINT32_MAX),
    SIM_KEY("announced_size", programmer.announced_size, 0, UINT32_MAX),
    SIM_KEY("erased", programmer.erased, 0, 1),
    SIM_KEY("error", programmer.error, 0, 15),
    SIM_KEY("busy_polls_seen", programmer.busy_polls_seen, 0, INT_MAX),
    SIM_KEY("runs_begun", runs_begun, 0, UINT32_MAX),
    SIM_KEY("history_runs", history_runs, 0, UINT32_MAX),
    SIM_KEY("boot", boot, 0, UINT32_MAX),
    SIM_KEY("reboot_time_ms", reboot_time_ms, 0, SIM_REBOOT_TIME_MAX_MS),
    SIM_KEY("back_at_ms", back_at_ms, 0, LLONG_MAX),
    SIM_KEY("needs_rescan", needs_rescan, 0, 1),
    SIM_KEY("fault_open_fails", faults.open_fails, 0, 1),
    SIM_KEY("fault_image_max_words", faults.image_max_words, 0, INT_MAX),
    SIM_KEY("fault_programmer_error", faults.programmer_error, 0, 15),
    SIM_KEY("fault_busy_polls", faults.busy_polls, 0, INT_MAX),
    SIM_KEY("fault_stays_off_bus", faults.stays_off_bus, 0, 1),
};
#undef SIM_KEY

std::string sim_format_state(const sim_board &b) {
    const sim_faults &f = b.faults;
    std::ostringstream out;
    out << SIM_STATE_VERSION_LINE << "\n"
        << sim_format_progress(b.programmer) << "programmer " << sim_name_of(b.programmer.state, PROG_STATES) << "\n"
        << "bus " << sim_bus_model_name(b.bus) << "\n";
    for (const number_key &k : NUMBER_KEYS) out << k.name << " " << k.get(b) << "\n";
    out << "fault_image_fail_send " << f.image_fail_send << " " << f.image_fail_result << "\n";
    if (f.mode_reply_set) out << "fault_mode_reply " << f.mode_reply << "\n";
    for (const auto &[code, count] : f.send_counts)
        out << "fault_send_count " << code << " " << count << "\n";
    for (const auto &[code, count] : f.recv_counts)
        out << "fault_recv_count " << code << " " << count << "\n";
    return out.str();
}

// One line being read: its key, the values still to take, and whether
// every value taken so far was valid.
struct line_reader {
    std::istringstream in;
    std::string key;
    bool ok = true;
};

static std::string take_word(line_reader *r) {
    std::string word;
    r->in >> word;
    return word;
}

// The next value, a number within [low, high]; clears ok for anything else.
static long long take_number(line_reader *r, long long low, long long high) {
    long long value = 0;
    if (!sim_parse_number(take_word(r).c_str(), low, high, &value)) r->ok = false;
    return value;
}

static uint32_t take_u32(line_reader *r) { return uint32_t(take_number(r, 0, UINT32_MAX)); }

static uint64_t take_hex64(line_reader *r) {
    const std::string word = take_word(r);
    char *end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(word.c_str(), &end, 16);
    if (word.empty() || word[0] == '-' || *end != '\0' || errno == ERANGE) r->ok = false;
    return value;
}
static int take_int(line_reader *r, long long low = INT_MIN) { return int(take_number(r, low, INT_MAX)); }

static void take_count(line_reader *r, std::map<uint32_t, int> *counts) {
    const uint32_t code = take_u32(r);
    (*counts)[code] = take_int(r);
}

// Reads the value of one key into the board; false for an unknown key.
static bool read_value(line_reader *r, sim_board *b) {
    sim_programmer &p = b->programmer;
    sim_faults &f = b->faults;
    const std::string &k = r->key;
    if (k == "progress") {
        p.received_bytes = take_u32(r);
        p.checksum = take_hex64(r);
        p.writing_to = take_u32(r);
    } else if (k == "programmer") r->ok = sim_parse_name(take_word(r).c_str(), PROG_STATES, &p.state);
    else if (k == "bus") r->ok = sim_parse_bus_model(take_word(r).c_str(), &b->bus);
    else if (k == "fault_image_fail_send") {
        f.image_fail_send = take_int(r, 0);
        f.image_fail_result = int(take_number(r, INT_MIN, 0));
    } else if (k == "fault_mode_reply") {
        f.mode_reply = take_u32(r);
        f.mode_reply_set = true;
    } else if (k == "fault_send_count") take_count(r, &f.send_counts);
    else if (k == "fault_recv_count") take_count(r, &f.recv_counts);
    else {
        for (const number_key &n : NUMBER_KEYS)
            if (k == n.name) return n.set(b, take_number(r, n.low, n.high)), true;
        return false;
    }
    return true;
}

static bool invalid(std::string *error, const std::string &reason) {
    *error = reason;
    return false;
}

static uint64_t rounded_to_words(uint32_t bytes) { return (uint64_t(bytes) + 3) / 4 * 4; }

// The values together: what the programmer holds must fit what it was told.
static bool consistent(const sim_board &b, std::string *error) {
    const sim_programmer &p = b.programmer;
    if (b.mode != SIM_MODE_BOOTLOADER && b.mode != SIM_MODE_NORMAL)
        return invalid(error, "mode " + std::to_string(b.mode) + " is neither 2 nor 3");
    if (p.state == sim_prog_state::programming && p.announced_size > SIM_FLASH_BYTES)
        return invalid(error, "programming an image larger than the flash");
    if (p.received_bytes % 4 != 0 || p.received_bytes > SIM_FLASH_BYTES ||
        p.received_bytes > rounded_to_words(p.announced_size))
        return invalid(error, "received bytes " + std::to_string(p.received_bytes) +
                                  " do not fit the announced size " + std::to_string(p.announced_size));
    if (p.writing_to < p.received_bytes || p.writing_to > SIM_FLASH_BYTES)
        return invalid(error, "a flash write to " + std::to_string(p.writing_to) + " from " +
                                  std::to_string(p.received_bytes));
    if (p.state == sim_prog_state::idle && p.received_bytes != 0)
        return invalid(error, "an idle programmer with received bytes");
    if (p.run > b.runs_begun) return invalid(error, "run " + std::to_string(p.run) + " was never begun");
    if (b.back_at_ms != 0 && b.reboot_time_ms == 0)
        return invalid(error, "a come-back time without a reboot time");
    return true;
}

static const std::set<std::string> REPEATABLE = {"fault_send_count", "fault_recv_count"};
static const char *const OTHER_KEYS[] = {"progress", "programmer", "bus", "fault_image_fail_send"};

static bool is_fault_key(const std::string &key) { return key.rfind("fault_", 0) == 0; }

bool sim_parse_state(const std::string &text, sim_board *board, std::string *error, bool skip_bad_faults) {
    sim_board fresh;
    fresh.id = board->id;
    *board = std::move(fresh);
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line.rfind(VERSION_PREFIX, 0) != 0)
        return invalid(error, "not a riffa_sim board state (no version line)");
    if (line.back() == '\r')
        return invalid(error,
                       "the line ends are CRLF (carriage return and line feed), not the LF of a riffa_sim board state");
    if (line != SIM_STATE_VERSION_LINE)
        return invalid(error, "state format version " + line.substr(sizeof VERSION_PREFIX - 1) +
                                  " is not the version 2 that this riffa_sim reads");
    if (text.back() != '\n') return invalid(error, "the last line is cut short");
    std::set<std::string> seen;
    for (int number = 2; std::getline(in, line); ++number) {
        line_reader r;
        r.in.str(line);
        const std::string where = "line " + std::to_string(number) + ": ";
        if (!(r.in >> r.key)) return invalid(error, where + "empty");
        std::string problem;
        std::string rest;
        if (!read_value(&r, board)) problem = "unknown key " + r.key;
        else if (!r.ok || r.in >> rest) problem = "bad value for " + r.key;
        else if (!seen.insert(r.key).second && !REPEATABLE.count(r.key)) problem = r.key + " given twice";
        // Rewritten in place, so always the second line and in its own width.
        else if ((number == 2) != (r.key == "progress") ||
                 (number == 2 && line + "\n" != sim_format_progress(board->programmer)))
            problem = "the progress line is not the second line in its fixed width";
        if (problem.empty()) continue;
        if (!is_fault_key(r.key)) return invalid(error, where + problem);
        // The faults can be cleared whole, which mends such a line.
        if (!skip_bad_faults) return invalid(error, where + problem + " (riffa_sim clear-faults clears the faults)");
    }
    std::vector<std::string> required(std::begin(OTHER_KEYS), std::end(OTHER_KEYS));
    for (const number_key &k : NUMBER_KEYS) required.push_back(k.name);
    for (const std::string &key : required)
        if (!seen.count(key) && !(skip_bad_faults && is_fault_key(key)))
            return invalid(error, "no " + key + " line (the file is cut short)");
    if (skip_bad_faults) board->faults = sim_faults{};
    return consistent(*board, error);
}

static const char V1_VERSION_LINE[] = "# riffa_sim board state v1\n";

bool sim_is_v1(const std::string &text) { return text.rfind(V1_VERSION_LINE, 0) == 0; }

std::string sim_upgrade_v1(const std::string &text, size_t history_lines) {
    const size_t progress_end = text.find('\n', sizeof V1_VERSION_LINE - 1);
    if (!sim_is_v1(text) || progress_end == std::string::npos) return text;
    // The received bytes are the first value of the progress line: no write
    // was under way.
    const std::string progress = text.substr(sizeof V1_VERSION_LINE - 1, progress_end - sizeof V1_VERSION_LINE + 1);
    const bool has_received = progress.size() >= SIM_PROGRESS_RECEIVED_AT + SIM_PROGRESS_NUMBER_WIDTH;
    const std::string writing_to =
        has_received ? progress.substr(SIM_PROGRESS_RECEIVED_AT, SIM_PROGRESS_NUMBER_WIDTH) : "";
    std::string v2 =
        SIM_STATE_VERSION_LINE + std::string("\n") + progress + " " + writing_to + text.substr(progress_end);
    const std::pair<std::string, std::string> absent_means[] = {
        {"run", "0"},          {"runs_begun", "0"},     {"history_runs", std::to_string(history_lines)},
        {"bus", sim_bus_model_name(sim_default_bus())},  {"boot", "0"},
        {"reboot_time_ms", "0"}, {"back_at_ms", "0"},   {"needs_rescan", "0"},
        {"fault_stays_off_bus", "0"}};
    for (const auto &[key, value] : absent_means)
        if (v2.find("\n" + key + " ") == std::string::npos) v2 += key + " " + value + "\n";
    return v2;
}
