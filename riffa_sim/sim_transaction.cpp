#include "sim_transaction.h"

#include "sim_file.h"
#include "sim_history.h"
#include "sim_lock.h"
#include "sim_paths.h"
#include "sim_state_text.h"

constexpr size_t STATE_FILE_LIMIT = 64 * 1024;  // far more than any board's state

bool sim_save_progress(const sim_files &files, const sim_programmer &p, std::string *error) {
    const std::string line = sim_format_progress(p);
    return sim_write_file(sim_state_path(files.root, files.id), "r+b", long(SIM_PROGRESS_LINE_AT), line.data(),
                          line.size(), error);
}

// The history is replaced first, then the state that counts its runs, so
// that a save that fails between the two leaves a history with a run more
// than the state counts, which is never shown. One rename makes both true.
static bool save_whole(const sim_files &files, sim_board *board, std::string *error) {
    sim_board saved = *board;
    if (!board->new_runs.empty()) {
        std::vector<sim_run> runs;
        if (!sim_read_history(files.root, files.id, board->history_runs, &runs, error)) return false;
        runs.insert(runs.end(), board->new_runs.begin(), board->new_runs.end());
        if (!sim_write_history(files.root, files.id, runs, error)) return false;
        saved.history_runs = uint32_t(runs.size());
    }
    if (!sim_replace_whole(sim_state_path(files.root, files.id), sim_format_state(saved), error)) return false;
    board->history_runs = saved.history_runs;
    board->new_runs.clear();
    return true;
}

bool sim_save_board(const sim_files &files, sim_board *board, sim_change change, std::string *error) {
    if (change == sim_change::progress) return sim_save_progress(files, board->programmer, error);
    return change != sim_change::save || save_whole(files, board, error);
}

// A program that died, or whose flash write failed, between recording a
// write and settling it left [received, writing_to) as it may have half
// written it: erased again, the flash holds what the state counts.
static bool undo_unsettled_write(const sim_files &files, sim_board *board, std::string *error) {
    sim_programmer &p = board->programmer;
    sim_files own = files;
    if (!own.flash && !sim_open_files(files.root, files.id, true, &own, error)) return false;
    const bool erased = sim_erase_flash(own, p.received_bytes, p.writing_to, error);
    if (!files.flash) sim_close_files(&own);
    p.writing_to = p.received_bytes;
    return erased && sim_save_progress(files, p, error);
}

// Reads and checks the board's state and its flash. A version 1 state is
// read as version 2; for a change (save_upgrade) it is saved so at once,
// before anything rewrites the version 2 progress line in place. A look
// only reads it, so that a full or read-only disk still shows the board.
static bool load_locked(const sim_files &files, sim_board *board, std::string *error, bool save_upgrade,
                        bool skip_bad_faults = false) {
    const std::string path = sim_state_path(files.root, files.id);
    board->id = files.id;
    std::string text;
    bool missing;
    if (!sim_read_text(path, STATE_FILE_LIMIT, &text, &missing, error)) return false;
    const bool v1 = sim_is_v1(text);
    if (v1) text = sim_upgrade_v1(text, sim_history_lines(files.root, files.id));
    if (!sim_parse_state(text, board, error, skip_bad_faults)) return sim_fail(error, path, *error);
    if (!sim_check_flash_size(files.root, files.id, error)) return false;
    if (v1 && save_upgrade && !save_whole(files, board, error)) return false;
    return board->programmer.writing_to == board->programmer.received_bytes ||
           undo_unsettled_write(files, board, error);
}

bool sim_transact(sim_files *files, sim_board *board, const std::function<sim_change(sim_board &)> &change,
                  std::string *error) {
    return sim_with_state_lock(files->root, files->id, error, [&] {
        if (!load_locked(*files, board, error, true)) return false;
        const sim_change made = change(*board);
        return made != sim_change::failed && sim_save_board(*files, board, made, error);
    });
}

bool sim_look_at_board(const std::string &root, int id,
                       const std::function<bool(const sim_board &, const std::vector<sim_run> &)> &look,
                       std::string *error) {
    sim_files files;
    if (!sim_open_files(root, id, false, &files, error)) return false;
    return sim_with_state_lock(root, id, error, [&] {
        sim_board board;
        std::vector<sim_run> runs;
        return load_locked(files, &board, error, false) &&
               sim_read_history(root, id, board.history_runs, &runs, error) && look(board, runs);
    });
}

bool sim_read_board(const std::string &root, int id, sim_board *board, std::string *error,
                    std::vector<sim_run> *runs) {
    return sim_look_at_board(root, id,
                             [&](const sim_board &b, const std::vector<sim_run> &r) {
                                 *board = b;
                                 if (runs) *runs = r;
                                 return true;
                             },
                             error);
}

bool sim_update_board(const std::string &root, int id, const std::function<void(sim_board &)> &edit,
                      std::string *error, bool mend_faults) {
    sim_files files;
    if (!sim_open_files(root, id, false, &files, error)) return false;
    return sim_with_state_lock(root, id, error, [&] {
        sim_board board;
        if (!load_locked(files, &board, error, true, mend_faults)) return false;
        edit(board);
        return save_whole(files, &board, error);
    });
}
