#include "sim_store.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <system_error>

#include "file_lock.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

constexpr size_t STATE_FILE_LIMIT = 64 * 1024;  // far more than any board's state

std::string sim_root(std::string *error) {
    if (const char *dir = std::getenv("RIFFA_SIM_DIR"); dir && *dir) return dir;
#ifdef _WIN32
    if (const char *local = std::getenv("LOCALAPPDATA"); local && *local)
        return std::string(local) + "\\riffa_sim";
#endif
    if (const char *state = std::getenv("XDG_STATE_HOME"); state && *state)
        return std::string(state) + "/riffa_sim";
    if (const char *home = std::getenv("HOME"); home && *home)
        return std::string(home) + "/.local/state/riffa_sim";
    *error = "no folder for the virtual boards: set RIFFA_SIM_DIR (or HOME)";
    return "";
}

static std::string in_board(const std::string &root, int id, const char *name) {
    return (fs::path(sim_board_dir(root, id)) / name).string();
}

std::string sim_board_dir(const std::string &root, int id) {
    return (fs::path(root) / ("board" + std::to_string(id))).string();
}

std::string sim_flash_path(const std::string &root, int id) { return in_board(root, id, "flash.bin"); }
std::string sim_session_lock_path(const std::string &root, int id) {
    return in_board(root, id, "session.lock");
}
static std::string state_path(const std::string &root, int id) { return in_board(root, id, "state"); }
static std::string history_path(const std::string &root, int id) { return in_board(root, id, "history"); }
static std::string state_lock_path(const std::string &root, int id) {
    return in_board(root, id, "state.lock");
}

// Where the notice of a wait goes: 1 standard output, 2 standard error.
static int notice_fd = 2;

void sim_notices_to(int fd) { notice_fd = fd; }

// Takes a lock of board id; a wait of a second behind another program says
// so once, as the tools do, and goes on waiting.
static file_lock_status take_telling(file_lock_t lock, int id, const char **reason) {
    const file_lock_status status = file_lock_take(lock, SIM_NOTICE_AFTER_MS, reason);
    if (status != FILE_LOCK_BUSY) return status;
    std::FILE *stream = notice_fd == 1 ? stdout : stderr;
    std::fflush(stdout);
    std::fprintf(stream, "Board %d is in use by another program. Waiting...\n", id);
    std::fflush(stream);
    return file_lock_take(lock, FILE_LOCK_WAIT_FOREVER, reason);
}

static bool fail(std::string *error, const std::string &path, const std::string &reason) {
    *error = path + ": " + reason;
    return false;
}

static bool fail_errno(std::string *error, const std::string &path) {
    return fail(error, path, std::strerror(errno));
}

static unsigned long process_id() {
#ifdef _WIN32
    return GetCurrentProcessId();
#else
    return (unsigned long)getpid();
#endif
}

// A name under root that no other process or call uses, for a board being
// built or taken apart.
static std::string unique_path(const std::string &root, const std::string &what) {
    static unsigned counter = 0;
    return (fs::path(root) / ("." + what + "-" + std::to_string(process_id()) + "-" +
                              std::to_string(++counter)))
        .string();
}

bool sim_board_exists(const std::string &root, int id) {
    std::error_code ec;
    return fs::is_directory(sim_board_dir(root, id), ec);
}

bool sim_board_found(const std::string &root, int id, std::string *error) {
    const std::string dir = sim_board_dir(root, id);
    std::error_code ec;
    const fs::file_status st = fs::status(dir, ec);
    // Neither there nor missing: a folder on the way that this user may not
    // search, say.
    if (st.type() == fs::file_type::none) return fail(error, dir, ec.message());
    return fs::is_directory(st);
}

bool sim_board_present(const std::string &root, int id, std::string *error) {
    std::string why;
    if (sim_board_found(root, id, &why)) return true;
    if (!why.empty()) {
        *error = why;
        return false;
    }
    if (id != 0) return false;
    return sim_create_board(root, 0, SIM_MODE_NORMAL, error) || sim_board_exists(root, 0);
}

static bool ensure_root(const std::string &root, std::string *error) {
    std::error_code ec;
    if (fs::exists(root, ec) && !fs::is_directory(root, ec)) return fail(error, root, "not a folder");
    fs::create_directories(root, ec);
    return ec ? fail(error, root, ec.message()) : true;
}

// Renames a folder, never over one that exists.
static bool rename_folder(const std::string &from, const std::string &to, std::string *error) {
#ifdef _WIN32
    if (MoveFileExA(from.c_str(), to.c_str(), 0)) return true;
    return fail(error, to, GetLastError() == ERROR_ALREADY_EXISTS ? "exists" : "cannot rename into place");
#else
    if (std::rename(from.c_str(), to.c_str()) == 0) return true;
    return fail(error, to, errno == EEXIST || errno == ENOTEMPTY ? "exists" : std::strerror(errno));
#endif
}

// Replaces dst by src in one step, also where the target exists on Windows.
static bool replace_file(const std::string &src, const std::string &dst) {
#ifdef _WIN32
    return MoveFileExA(src.c_str(), dst.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
#else
    return std::rename(src.c_str(), dst.c_str()) == 0;
#endif
}

static bool write_new_file(const std::string &path, const void *bytes, size_t size, std::string *error) {
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) return fail_errno(error, path);
    const bool written = std::fwrite(bytes, 1, size, f) == size && std::fflush(f) == 0;
    const int saved = errno;
    if (std::fclose(f) != 0 || !written) return fail(error, path, std::strerror(written ? errno : saved));
    return true;
}

bool sim_erase_flash(std::FILE *flash) {
    static const std::vector<unsigned char> erased(64 * 1024, 0xFF);
    if (std::fseek(flash, 0, SEEK_SET) != 0) return false;
    bool ok = true;
    for (uint32_t done = 0; ok && done < SIM_FLASH_BYTES; done += erased.size())
        ok = std::fwrite(erased.data(), 1, erased.size(), flash) == erased.size();
    return std::fflush(flash) == 0 && ok;
}

static bool write_erased_flash(const std::string &path, std::string *error) {
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) return fail_errno(error, path);
    const bool ok = sim_erase_flash(f);
    const int saved = errno;
    if (std::fclose(f) != 0 || !ok) return fail(error, path, std::strerror(ok ? errno : saved));
    return true;
}

bool sim_create_board(const std::string &root, int id, uint32_t mode, std::string *error) {
    std::string ignored;
    if (!error) error = &ignored;
    if (!ensure_root(root, error)) return false;
    if (sim_board_exists(root, id)) return fail(error, sim_board_dir(root, id), "exists");
    const std::string temp = unique_path(root, "new-board" + std::to_string(id));
    std::error_code ec;
    if (!fs::create_directory(temp, ec)) return fail(error, temp, ec ? ec.message() : "exists");
    sim_board board;
    board.id = id;
    board.mode = mode;
    board.history_runs = 0;
    const std::string state = sim_format_state(board);
    const fs::path dir(temp);
    const bool ok = write_erased_flash((dir / "flash.bin").string(), error) &&
                    write_new_file((dir / "state").string(), state.data(), state.size(), error) &&
                    rename_folder(temp, sim_board_dir(root, id), error);
    if (!ok) fs::remove_all(temp, ec);
    return ok;
}

bool sim_remove_board(const std::string &root, int id, std::string *error) {
    std::string ignored;
    if (!error) error = &ignored;
    if (!sim_board_exists(root, id)) return fail(error, sim_board_dir(root, id), "no such board");
    const char *reason = "";
    const std::string session_path = sim_session_lock_path(root, id);
    const file_lock_t session = file_lock_open(session_path.c_str(), &reason);
    if (session == FILE_LOCK_NONE) return fail(error, session_path, reason);
    const file_lock_status taken = file_lock_take(session, FILE_LOCK_NO_WAIT, &reason);
    if (taken != FILE_LOCK_HELD) {
        file_lock_close(session);
        if (taken == FILE_LOCK_FAILED) return fail(error, session_path, reason);
        *error = "it is in use by another program";
        return false;
    }
    const std::string state_lock = state_lock_path(root, id);
    const file_lock_t state = file_lock_open(state_lock.c_str(), &reason);
    if (state == FILE_LOCK_NONE || take_telling(state, id, &reason) != FILE_LOCK_HELD) {
        file_lock_close(state);
        file_lock_close(session);
        return fail(error, state_lock, reason);
    }
    // Renamed away first, so that no one ever finds half a board.
    const std::string trash = unique_path(root, "removed-board" + std::to_string(id));
    const bool moved = rename_folder(sim_board_dir(root, id), trash, error);
    file_lock_close(state);
    file_lock_close(session);
    if (!moved) return false;
    std::error_code ec;
    fs::remove_all(trash, ec);
    return ec ? fail(error, trash, "left behind: " + ec.message()) : true;
}

// The id a folder name stands for, when it is board<id> spelled as the
// board's own name: no plus sign, no leading zeros, within int.
static bool board_id_of(const std::string &name, int *id) {
    if (name.rfind("board", 0) != 0 || name.size() == 5 || name.size() > 16) return false;
    const std::string digits = name.substr(5);
    char *end = nullptr;
    errno = 0;
    const long long value = std::strtoll(digits.c_str(), &end, 10);
    if (*end != '\0' || errno == ERANGE || value < INT32_MIN || value > INT32_MAX) return false;
    *id = int(value);
    return std::to_string(*id) == digits;
}

std::vector<int> sim_list_boards(const std::string &root, std::string *error) {
    std::string ignored;
    if (!error) error = &ignored;
    std::vector<int> ids;
    std::error_code ec;
    if (!fs::exists(root, ec)) return ids;
    if (!fs::is_directory(root, ec)) {
        fail(error, root, "not a folder");
        return ids;
    }
    fs::directory_iterator it(root, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        int id;
        std::error_code dir_ec;
        if (board_id_of(it->path().filename().string(), &id) && it->is_directory(dir_ec)) ids.push_back(id);
    }
    if (ec) fail(error, root, ec.message());
    std::sort(ids.begin(), ids.end());
    return ids;
}

bool sim_open_files(const std::string &root, int id, bool with_flash, sim_files *files, std::string *error) {
    *files = sim_files{};
    files->root = root;
    files->id = id;
    if (!sim_board_exists(root, id)) return fail(error, sim_board_dir(root, id), "no such board");
    if (!with_flash) return true;
    const std::string path = sim_flash_path(root, id);
    files->flash = std::fopen(path.c_str(), "r+b");
    if (!files->flash) return fail_errno(error, path);
    // Written a block at a time by the programmer: no buffer of its own.
    std::setvbuf(files->flash, nullptr, _IONBF, 0);
    return true;
}

void sim_close_files(sim_files *files) {
    if (files->flash) std::fclose(files->flash);
    files->flash = nullptr;
}

bool sim_write_flash(const sim_files &files, uint32_t offset, const void *bytes, size_t size,
                     std::string *error) {
    const std::string path = sim_flash_path(files.root, files.id);
    if (!files.flash) return fail(error, path, "not open");
    if (uint64_t(offset) + size > SIM_FLASH_BYTES) return fail(error, path, "write beyond the flash");
    if (std::fseek(files.flash, long(offset), SEEK_SET) != 0 ||
        std::fwrite(bytes, 1, size, files.flash) != size)
        return fail_errno(error, path);
    return true;
}

// Opens a file of the board for reading, when it is a regular file: a FIFO
// would block the open or the read, a folder never reads. Sets missing when
// there is no such file.
static std::FILE *open_regular(const std::string &path, bool *missing, std::string *error) {
    *missing = false;
#ifdef _WIN32
    std::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    if (st.type() == fs::file_type::not_found) *missing = true;
    if (*missing || ec) return fail(error, path, *missing ? "missing" : ec.message()), nullptr;
    if (!fs::is_regular_file(st)) return fail(error, path, "not a regular file"), nullptr;
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) fail_errno(error, path);
    return f;
#else
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *missing = errno == ENOENT;
        return fail(error, path, *missing ? "missing" : std::strerror(errno)), nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return fail(error, path, "not a regular file"), nullptr;
    }
    std::FILE *f = fdopen(fd, "rb");
    if (!f) {
        fail_errno(error, path);
        close(fd);
    }
    return f;
#endif
}

// Reads a whole file of the board, of at most limit bytes.
static bool read_text(const std::string &path, size_t limit, std::string *text, bool *missing,
                      std::string *error) {
    std::FILE *f = open_regular(path, missing, error);
    if (!f) return false;
    text->clear();
    char block[4096];
    size_t n;
    while (text->size() <= limit && (n = std::fread(block, 1, sizeof block, f)) > 0) text->append(block, n);
    const int saved = errno;
    const bool read_error = std::ferror(f) != 0;
    std::fclose(f);
    if (read_error) return fail(error, path, std::string("cannot be read: ") + std::strerror(saved));
    if (text->size() > limit) return fail(error, path, "too large");
    return true;
}

static bool read_state_text(const std::string &path, std::string *text, std::string *error) {
    bool missing;
    return read_text(path, STATE_FILE_LIMIT, text, &missing, error);
}

static bool check_flash_size(const std::string &root, int id, std::string *error) {
    const std::string path = sim_flash_path(root, id);
    std::error_code ec;
    const uintmax_t size = fs::file_size(path, ec);
    if (ec) return fail(error, path, ec == std::errc::no_such_file_or_directory ? "missing" : ec.message());
    if (size != SIM_FLASH_BYTES)
        return fail(error, path,
                    std::to_string(size) + " bytes instead of " + std::to_string(SIM_FLASH_BYTES));
    return true;
}

// Reads and checks the board's state and its flash; text keeps the state
// file as read.
static bool load_locked(const sim_files &files, sim_board *board, std::string *text, std::string *error,
                        bool skip_bad_faults = false) {
    const std::string path = state_path(files.root, files.id);
    board->id = files.id;
    if (!read_state_text(path, text, error)) return false;
    if (!sim_parse_state(*text, board, error, skip_bad_faults)) return fail(error, path, *error);
    return check_flash_size(files.root, files.id, error);
}

// Writes text to a temporary file of this process and renames it over path.
static bool replace_whole(const std::string &path, const std::string &text, std::string *error) {
    const std::string tmp = path + "." + std::to_string(process_id()) + ".tmp";
    if (!write_new_file(tmp, text.data(), text.size(), error)) {
        std::remove(tmp.c_str());
        return false;
    }
    if (!replace_file(tmp, path)) {
        const int saved = errno;
        std::remove(tmp.c_str());
        return fail(error, path, std::strerror(saved));
    }
    return true;
}

static bool read_history(const std::string &root, int id, long long count, std::vector<sim_run> *runs,
                         std::string *error);
static bool write_history(const std::string &root, int id, const std::vector<sim_run> &runs, std::string *error);

// Saves the state, and the runs that finished with it: the history is
// replaced first, then the state that counts its runs, so that a save that
// fails between the two leaves a history with a run more than the state
// counts, which is never shown. One rename makes both true.
static bool save_locked(const sim_files &files, const sim_board &board, std::string *error) {
    sim_board saved = board;
    if (!board.new_runs.empty()) {
        std::vector<sim_run> runs;
        if (!read_history(files.root, files.id, board.history_runs, &runs, error)) return false;
        runs.insert(runs.end(), board.new_runs.begin(), board.new_runs.end());
        if (!write_history(files.root, files.id, runs, error)) return false;
        saved.history_runs = (long long)runs.size();
    }
    return replace_whole(state_path(files.root, files.id), sim_format_state(saved), error);
}

// Rewrites the progress line of the state file as read in text, in place
// and in one write, which a process killed at any point leaves whole.
// Anything but the line as sim_format_state writes it gets a whole save.
static bool save_progress_locked(const sim_files &files, const sim_board &board, const std::string &text,
                                 std::string *error) {
    const std::string line = sim_format_progress(board.programmer.received_bytes, board.programmer.checksum);
    const size_t at = text.find('\n') + 1;
    const bool in_place = text.compare(at, 9, "progress ") == 0 && at + line.size() <= text.size() &&
                          text[at + line.size() - 1] == '\n' && text.find('\n', at) == at + line.size() - 1;
    if (!in_place) return save_locked(files, board, error);
    const std::string path = state_path(files.root, files.id);
    std::FILE *f = std::fopen(path.c_str(), "r+b");
    if (!f) return fail_errno(error, path);
    const bool written = std::fseek(f, long(at), SEEK_SET) == 0 &&
                         std::fwrite(line.data(), 1, line.size(), f) == line.size() && std::fflush(f) == 0;
    const int saved = errno;
    if (std::fclose(f) != 0 || !written) return fail(error, path, std::strerror(written ? errno : saved));
    return true;
}

static bool transact_locked(sim_files *files, sim_board *board,
                            const std::function<sim_change(sim_board &)> &change, std::string *error) {
    std::string text;
    if (!load_locked(*files, board, &text, error)) return false;
    switch (change(*board)) {
    case sim_change::none: return true;
    case sim_change::progress: return save_progress_locked(*files, *board, text, error);
    case sim_change::save: return save_locked(*files, *board, error);
    default: return false;
    }
}

// Runs what under the board's state lock.
static bool with_state_lock(const sim_files &files, std::string *error, const std::function<bool()> &what) {
    const std::string lock_path = state_lock_path(files.root, files.id);
    const char *reason = "";
    const file_lock_t lock = file_lock_open(lock_path.c_str(), &reason);
    if (lock == FILE_LOCK_NONE || take_telling(lock, files.id, &reason) != FILE_LOCK_HELD) {
        file_lock_close(lock);
        return fail(error, lock_path, sim_board_exists(files.root, files.id) ? reason : "the board was removed");
    }
    const bool ok = what();
    file_lock_close(lock);
    return ok;
}

bool sim_transact(sim_files *files, sim_board *board, const std::function<sim_change(sim_board &)> &change,
                  std::string *error) {
    return with_state_lock(*files, error, [&] { return transact_locked(files, board, change, error); });
}

bool sim_read_board(sim_files *files, sim_board *board, std::string *error) {
    return sim_transact(files, board, [](sim_board &) { return sim_change::none; }, error);
}

bool sim_load_board(const std::string &root, int id, sim_board *board, std::string *error,
                    std::vector<sim_run> *runs) {
    std::string ignored;
    if (!error) error = &ignored;
    sim_files files;
    if (!sim_open_files(root, id, false, &files, error)) return false;
    return with_state_lock(files, error, [&] {
        std::string text;
        return load_locked(files, board, &text, error) &&
               (!runs || read_history(root, id, board->history_runs, runs, error));
    });
}

bool sim_update_board(const std::string &root, int id, const std::function<void(sim_board &)> &edit,
                      std::string *error) {
    std::string ignored;
    if (!error) error = &ignored;
    sim_files files;
    if (!sim_open_files(root, id, false, &files, error)) return false;
    sim_board board;
    return sim_transact(&files, &board,
                        [&](sim_board &b) {
                            edit(b);
                            return sim_change::save;
                        },
                        error);
}

bool sim_clear_faults(const std::string &root, int id, std::string *error) {
    sim_files files;
    if (!sim_open_files(root, id, false, &files, error)) return false;
    return with_state_lock(files, error, [&] {
        sim_board board;
        std::string text;
        return load_locked(files, &board, &text, error, true) && save_locked(files, board, error);
    });
}

static std::string format_run(const sim_run &run) {
    char line[160];
    std::snprintf(line, sizeof line, "%s size=%lu received=%lu error=%lu checksum=%016llx\n", run.time.c_str(),
                  (unsigned long)run.announced_size, (unsigned long)run.received_bytes, (unsigned long)run.error,
                  (unsigned long long)run.checksum);
    return line;
}

static bool parse_run(const std::string &line, sim_run *run) {
    char time[64];
    unsigned long size, received, error;
    unsigned long long sum;
    int end = -1;
    if (std::sscanf(line.c_str(), "%63s size=%lu received=%lu error=%lu checksum=%16llx%n", time, &size, &received,
                    &error, &sum, &end) != 5 ||
        size_t(end) != line.size() || size > UINT32_MAX || received > UINT32_MAX || error > 15)
        return false;
    *run = {time, uint32_t(size), uint32_t(received), uint32_t(error), sum};
    return true;
}

// The runs of the history, as many as the state counts: a history replaced
// for a state whose save then failed holds more, which never happened. A
// state from before the runs were counted (count -1) takes every line, but
// not a last one cut short by a writer that died as it appended it.
static bool read_history(const std::string &root, int id, long long count, std::vector<sim_run> *runs,
                         std::string *error) {
    runs->clear();
    const std::string path = history_path(root, id);
    std::string text;
    bool missing;
    if (!read_text(path, SIZE_MAX / 2, &text, &missing, error)) return missing && count <= 0;
    std::istringstream in(text);
    std::string line;
    for (long long number = 1; std::getline(in, line); ++number) {
        const bool whole = !in.eof();
        if (!whole && count < 0) break;
        sim_run run;
        if (!whole || !parse_run(line, &run))
            return fail(error, path, "line " + std::to_string(number) + ": not a programming run");
        if (count < 0 || number <= count) runs->push_back(run);
    }
    if (count >= 0 && (long long)runs->size() < count)
        return fail(error, path,
                    std::to_string(runs->size()) + " runs where the state counts " + std::to_string(count));
    return true;
}

// Replaces the history whole, as the state is.
static bool write_history(const std::string &root, int id, const std::vector<sim_run> &runs, std::string *error) {
    std::string text;
    for (const sim_run &run : runs) text += format_run(run);
    return replace_whole(history_path(root, id), text, error);
}

uint64_t sim_checksum(uint64_t sum, const unsigned char *bytes, size_t byte_count) {
    for (size_t i = 0; i + 4 <= byte_count; i += 4) {
        uint32_t word = uint32_t(bytes[i]) | uint32_t(bytes[i + 1]) << 8 | uint32_t(bytes[i + 2]) << 16 |
                        uint32_t(bytes[i + 3]) << 24;
        sum = (sum ^ word) * 0x100000001b3ull;
    }
    return sum;
}
