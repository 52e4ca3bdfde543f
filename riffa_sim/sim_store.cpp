#include "sim_store.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#endif

namespace fs = std::filesystem;

std::string sim_root() {
    if (const char *dir = std::getenv("RIFFA_SIM_DIR"); dir && *dir) return dir;
#ifdef _WIN32
    if (const char *local = std::getenv("LOCALAPPDATA"); local && *local)
        return std::string(local) + "\\riffa_sim";
#endif
    if (const char *state = std::getenv("XDG_STATE_HOME"); state && *state)
        return std::string(state) + "/riffa_sim";
    if (const char *home = std::getenv("HOME"); home && *home)
        return std::string(home) + "/.local/state/riffa_sim";
    return "riffa_sim_state";
}

std::string sim_board_dir(const std::string &root, int id) {
    return (fs::path(root) / ("board" + std::to_string(id))).string();
}

std::string sim_flash_path(const std::string &root, int id) {
    return (fs::path(sim_board_dir(root, id)) / "flash.bin").string();
}

static std::string state_path(const std::string &root, int id) {
    return (fs::path(sim_board_dir(root, id)) / "state").string();
}

static std::string history_path(const std::string &root, int id) {
    return (fs::path(sim_board_dir(root, id)) / "history").string();
}

bool sim_board_exists(const std::string &root, int id) {
    std::error_code ec;
    return fs::is_regular_file(state_path(root, id), ec);
}

bool sim_erase_flash(std::FILE *flash) {
    static const std::vector<unsigned char> erased(64 * 1024, 0xFF);
    if (std::fseek(flash, 0, SEEK_SET) != 0) return false;
    bool ok = true;
    for (uint32_t done = 0; ok && done < SIM_FLASH_BYTES; done += erased.size())
        ok = std::fwrite(erased.data(), 1, erased.size(), flash) == erased.size();
    return ok;
}

static bool write_erased_flash(const std::string &path) {
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = sim_erase_flash(f);
    return std::fclose(f) == 0 && ok;
}

bool sim_create_board(const std::string &root, int id, uint32_t mode) {
    std::error_code ec;
    fs::create_directories(sim_board_dir(root, id), ec);
    if (ec) return false;
    sim_board board;
    board.id = id;
    board.mode = mode;
    return write_erased_flash(sim_flash_path(root, id)) && sim_save_board(root, board);
}

bool sim_remove_board(const std::string &root, int id) {
    std::error_code ec;
    return fs::remove_all(sim_board_dir(root, id), ec) > 0 && !ec;
}

std::vector<int> sim_list_boards(const std::string &root) {
    std::vector<int> ids;
    std::error_code ec;
    for (fs::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (name.rfind("board", 0) != 0) continue;
        char *rest = nullptr;
        long id = std::strtol(name.c_str() + 5, &rest, 10);
        if (rest && *rest == '\0' && name.size() > 5 && sim_board_exists(root, int(id)))
            ids.push_back(int(id));
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

static const char *prog_state_name(sim_prog_state s) {
    switch (s) {
    case sim_prog_state::programming: return "programming";
    case sim_prog_state::finished: return "finished";
    default: return "idle";
    }
}

static sim_prog_state prog_state_from(const std::string &s) {
    if (s == "programming") return sim_prog_state::programming;
    if (s == "finished") return sim_prog_state::finished;
    return sim_prog_state::idle;
}

static std::string format_board(const sim_board &b) {
    const sim_programmer &p = b.programmer;
    const sim_faults &f = b.faults;
    std::ostringstream out;
    out << "mode " << b.mode << "\n"
        << "reboot_armed " << b.reboot_armed << "\n"
        << "programmer " << prog_state_name(p.state) << "\n"
        << "announced_size " << p.announced_size << "\n"
        << "erased " << p.erased << "\n"
        << "received_bytes " << p.received_bytes << "\n"
        << "checksum " << p.checksum << "\n"
        << "error " << p.error << "\n"
        << "busy_polls_seen " << p.busy_polls_seen << "\n"
        << "fault_open_fails " << f.open_fails << "\n";
    if (f.mode_reply_set) out << "fault_mode_reply " << f.mode_reply << "\n";
    for (const auto &[code, count] : f.send_counts) out << "fault_send_count " << code << " " << count << "\n";
    for (const auto &[code, count] : f.recv_counts) out << "fault_recv_count " << code << " " << count << "\n";
    out << "fault_image_max_words " << f.image_max_words << "\n"
        << "fault_image_fail_send " << f.image_fail_send << "\n"
        << "fault_image_fail_result " << f.image_fail_result << "\n"
        << "fault_programmer_error " << f.programmer_error << "\n"
        << "fault_busy_polls " << f.busy_polls << "\n";
    return out.str();
}

static void parse_line(const std::string &line, sim_board *b) {
    std::istringstream in(line);
    std::string key;
    in >> key;
    sim_programmer &p = b->programmer;
    sim_faults &f = b->faults;
    if (key == "mode") in >> b->mode;
    else if (key == "reboot_armed") in >> b->reboot_armed;
    else if (key == "programmer") { std::string s; in >> s; p.state = prog_state_from(s); }
    else if (key == "announced_size") in >> p.announced_size;
    else if (key == "erased") in >> p.erased;
    else if (key == "received_bytes") in >> p.received_bytes;
    else if (key == "checksum") in >> p.checksum;
    else if (key == "error") in >> p.error;
    else if (key == "busy_polls_seen") in >> p.busy_polls_seen;
    else if (key == "fault_open_fails") in >> f.open_fails;
    else if (key == "fault_mode_reply") { in >> f.mode_reply; f.mode_reply_set = true; }
    else if (key == "fault_send_count") { uint32_t c; int n; if (in >> c >> n) f.send_counts[c] = n; }
    else if (key == "fault_recv_count") { uint32_t c; int n; if (in >> c >> n) f.recv_counts[c] = n; }
    else if (key == "fault_image_max_words") in >> f.image_max_words;
    else if (key == "fault_image_fail_send") in >> f.image_fail_send;
    else if (key == "fault_image_fail_result") in >> f.image_fail_result;
    else if (key == "fault_programmer_error") in >> f.programmer_error;
    else if (key == "fault_busy_polls") in >> f.busy_polls;
}

bool sim_load_board(const std::string &root, int id, sim_board *board) {
    std::ifstream in(state_path(root, id));
    if (!in) return false;
    *board = sim_board{};
    board->id = id;
    for (std::string line; std::getline(in, line);) parse_line(line, board);
    return true;
}

// Replaces dst by src in one step, also where the target exists on Windows.
static bool replace_file(const std::string &src, const std::string &dst) {
#ifdef _WIN32
    return MoveFileExA(src.c_str(), dst.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
#else
    return std::rename(src.c_str(), dst.c_str()) == 0;
#endif
}

bool sim_save_board(const std::string &root, const sim_board &board) {
    const std::string path = state_path(root, board.id);
    const std::string tmp = path + ".tmp";
    const std::string text = format_board(board);
    std::FILE *f = std::fopen(tmp.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = (std::fclose(f) == 0) && ok;
    if (!ok || !replace_file(tmp, path)) {
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}

bool sim_append_run(const std::string &root, int id, const sim_run &run) {
    char line[160];
    std::snprintf(line, sizeof line, "%s size=%lu received=%lu error=%lu checksum=%016llx\n",
                  run.time.c_str(), (unsigned long)run.announced_size,
                  (unsigned long)run.received_bytes, (unsigned long)run.error,
                  (unsigned long long)run.checksum);
    std::FILE *f = std::fopen(history_path(root, id).c_str(), "ab");
    if (!f) return false;
    bool ok = std::fputs(line, f) >= 0;
    return (std::fclose(f) == 0) && ok;
}

std::vector<sim_run> sim_load_history(const std::string &root, int id) {
    std::vector<sim_run> runs;
    std::ifstream in(history_path(root, id));
    for (std::string line; std::getline(in, line);) {
        char time[64];
        unsigned long size, received, error;
        unsigned long long sum;
        if (std::sscanf(line.c_str(), "%63s size=%lu received=%lu error=%lu checksum=%llx",
                        time, &size, &received, &error, &sum) == 5)
            runs.push_back({time, uint32_t(size), uint32_t(received), uint32_t(error), sum});
    }
    return runs;
}

uint64_t sim_checksum(uint64_t sum, const unsigned char *bytes, size_t byte_count) {
    for (size_t i = 0; i + 4 <= byte_count; i += 4) {
        uint32_t word = uint32_t(bytes[i]) | uint32_t(bytes[i + 1]) << 8 |
                        uint32_t(bytes[i + 2]) << 16 | uint32_t(bytes[i + 3]) << 24;
        sum = (sum ^ word) * 0x100000001b3ull;
    }
    return sum;
}
