// Test fixture: a fresh virtual-board folder per test (RIFFA_SIM_DIR, which
// the tools started from the test inherit), and helpers to set up boards,
// run the built tools and read back what the board holds.
#ifndef ZEDA_TESTS_SIM_FIXTURE_H
#define ZEDA_TESTS_SIM_FIXTURE_H

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "run_tool.h"
#include "sim_board.h"
#include "sim_boards.h"
#include "sim_paths.h"
#include "sim_state_text.h"
#include "sim_transaction.h"

class SimBoardTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Creates board id in the given mode (SIM_MODE_NORMAL or SIM_MODE_BOOTLOADER).
    void add_board(int id, uint32_t mode);
    sim_board board(int id = 0);
    void edit_board(int id, const std::function<void(sim_board &)> &edit);
    void set_faults(int id, const std::function<void(sim_faults &)> &edit);
    std::vector<unsigned char> flash(int id = 0);
    std::vector<sim_run> history(int id = 0);
    // The flash holds image, zero-padded to a whole word, and is erased past it.
    void expect_flash_holds(const std::vector<unsigned char> &image, int id = 0);
    // The history holds one run, without error, that wrote image announced
    // as announced_size bytes.
    void expect_one_good_run(uint32_t announced_size, const std::vector<unsigned char> &image, int id = 0);
    // Writes a file under the test folder and returns its path.
    std::string write_file(const std::string &name, const std::vector<unsigned char> &bytes);
    // The bytes of board id's state file, and a state written as text.
    std::string state_text(int id = 0);
    void write_state(const std::string &text, int id = 0);

    // Runs a tool by name, e.g. "zeda_pcie_get_mode".
    ToolResult run(const std::string &tool, std::vector<std::string> args, const std::string &input = "",
                   bool merge_stderr = false);
    ToolResult run(const std::string &tool, const ToolRun &how);

    // Whether user uid can run the built tools, staged where every user can
    // reach them (the checkout may be a folder only its owner can enter);
    // why not otherwise. Runs with ToolRun::uid set use the staged copies.
    bool can_run_as(int uid, std::string *why);

    std::string dir_;   // test folder
    std::string root_;  // RIFFA_SIM_DIR inside it
};

// Built path of a tool, recorded by the build.
std::string built_tool_path(const std::string &tool);

// The path user uid (-1: this process's) runs the tool from: for another
// user, a copy staged where every user can reach it.
std::string tool_path_for(const std::string &tool, int uid);

// A file's bytes; empty when it can't be read.
std::string read_file(const std::string &path);

// Deterministic pseudo-random bytes.
std::vector<unsigned char> sample_bytes(size_t n, uint32_t seed = 1);

#endif
