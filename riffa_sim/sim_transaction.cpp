#include "sim_transaction.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "file_lock.h"
#include "sim_boards.h"
#include "sim_file.h"
#include "sim_history.h"
#include "sim_lock.h"
#include "sim_paths.h"
#include "sim_state_text.h"

constexpr size_t STATE_FILE_LIMIT = 64 * 1024;  // far more than any board's state

// Reads and checks the board's state and its flash; text keeps the state
// file as read.
static bool load_locked(const sim_files &files, sim_board *board, std::string *text, std::string *error,
                        bool skip_bad_faults = false) {
    const std::string path = sim_state_path(files.root, files.id);
    board->id = files.id;
    bool missing;
    if (!sim_read_text(path, STATE_FILE_LIMIT, text, &missing, error)) return false;
    if (!sim_parse_state(*text, board, error, skip_bad_faults)) return sim_fail(error, path, *error);
    return sim_check_flash_size(files.root, files.id, error);
}

// Saves the state, and the runs that finished with it: the history is
// replaced first, then the state that counts its runs, so that a save that
// fails between the two leaves a history with a run more than the state
// counts, which is never shown. One rename makes both true.
static bool save_locked(const sim_files &files, const sim_board &board, std::string *error) {
    sim_board saved = board;
    if (!board.new_runs.empty()) {
        std::vector<sim_run> runs;
        if (!sim_read_history(files.root, files.id, board.history_runs, &runs, error)) return false;
        runs.insert(runs.end(), board.new_runs.begin(), board.new_runs.end());
        if (!sim_write_history(files.root, files.id, runs, error)) return false;
        saved.history_runs = (long long)runs.size();
    }
    return sim_replace_whole(sim_state_path(files.root, files.id), sim_format_state(saved), error);
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
    const std::string path = sim_state_path(files.root, files.id);
    std::FILE *f = std::fopen(path.c_str(), "r+b");
    if (!f) return sim_fail_errno(error, path);
    const bool written = std::fseek(f, long(at), SEEK_SET) == 0 &&
                         std::fwrite(line.data(), 1, line.size(), f) == line.size() && std::fflush(f) == 0;
    const int saved = errno;
    if (std::fclose(f) != 0 || !written) return sim_fail(error, path, std::strerror(written ? errno : saved));
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
    const std::string lock_path = sim_state_lock_path(files.root, files.id);
    const char *reason = "";
    const file_lock_t lock = file_lock_open(lock_path.c_str(), &reason);
    if (lock == FILE_LOCK_NONE || sim_take_lock(lock, files.id, &reason) != FILE_LOCK_HELD) {
        file_lock_close(lock);
        return sim_fail(error, lock_path,
                        sim_board_exists(files.root, files.id) ? reason : "the board was removed");
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
               (!runs || sim_read_history(root, id, board->history_runs, runs, error));
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
