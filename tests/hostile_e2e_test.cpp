// The tools in a hostile environment: closed standard descriptors, a reader
// or a terminal that goes away mid-flash, and a second program on the same
// board. None of it may leave a half-written flash, a false success or a
// hang.
#include "sim_fixture.h"

#include <cstdlib>

#include "file_lock.h"
#include "riffa_sim_session.h"
#include "run_tool_pty.h"

namespace {

class Hostile : public SimBoardTest {
protected:
    // Board 0 in bootloader mode and an 8 MiB image: its 8192 progress
    // lines fill any pipe or terminal, so the tool is still writing when
    // its reader goes away.
    std::string prepare() {
        add_board(0, SIM_MODE_BOOTLOADER);
        image = sample_bytes(8388608, 8);
        return write_file("image.bin", image);
    }
    std::vector<unsigned char> image;
};

TEST_F(Hostile, ClosedStandardDescriptorsNeverBecomeTheToolsFiles) {
    if (std::getenv("ZEDA_TEST_RUNNER")) GTEST_SKIP() << "POSIX descriptors";
    const std::string path = prepare();
    ToolRun closed_all;
    closed_all.args = {path};
    closed_all.closed_fds = {0, 1, 2};
    EXPECT_EQ(run("zeda_pcie_flash_image", closed_all).status, 0);
    expect_flash_holds(image);

    // The query and the question change nothing, whatever they open later.
    ToolRun no_stdout;
    no_stdout.closed_fds = {1};
    EXPECT_EQ(run("zeda_pcie_get_mode", no_stdout).status, 0);
    ToolRun no_stdin;
    no_stdin.closed_fds = {0};
    const ToolResult asked = run("zeda_pcie_mode_change", no_stdin);
    EXPECT_EQ(asked.status, 0);
    EXPECT_NE(asked.out.find("Proceed [y/n]? Mode not changed.\n"), std::string::npos) << asked.out;
    EXPECT_EQ(board().mode, SIM_MODE_BOOTLOADER);
    expect_flash_holds(image);
}

TEST_F(Hostile, ReaderThatGoesAwayDoesNotCutTheFlashShort) {
    ToolRun head;  // as `| head -n 2`
    head.args = {prepare()};
    head.stop_reading_after_lines = 2;
    const ToolResult r = run("zeda_pcie_flash_image", head);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    expect_one_good_run(8388608, image);
    expect_flash_holds(image);
}

TEST_F(Hostile, TerminalThatHangsUpDoesNotCutTheFlashShort) {
    const std::string path = prepare();
    const PtyResult r = run_command_pty(tool_command("zeda_pcie_flash_image", built_tool_path("zeda_pcie_flash_image")),
                                        {path}, {{"Progress", "", true}});
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0);
    expect_one_good_run(8388608, image);
    expect_flash_holds(image);
}

TEST_F(Hostile, SecondProgramWaitsForTheBoardWithOneNotice) {
    // Here the test holds the board with flock, which Wine's locks do not see.
    if (std::getenv("ZEDA_TEST_RUNNER")) GTEST_SKIP() << "the board is held by a Linux process";
    add_board(0, SIM_MODE_BOOTLOADER);
    const std::string path = write_file("image.bin", sample_bytes(3000));
    const struct {
        const char *tool;
        std::vector<std::string> args;
        bool notice_on_stderr;
        std::string ends_with;
    } cases[] = {
        {"zeda_pcie_get_mode", {}, false, "Board in bootloader mode. \nPress any key to exit...\n"},
        {"zeda_pcie_flash_image", {path}, true, "Programming done\n"},
    };
    const std::string notice = "Board 0 is in use by another program. Waiting...\n";
    for (const auto &c : cases) {
        char lock_path[4096];
        ASSERT_EQ(riffa_sim_session_lock_path(0, lock_path, sizeof lock_path), 0);
        file_lock_t held = file_lock_open(lock_path);
        ASSERT_TRUE(file_lock_take(held, false));
        ToolRun second;
        second.args = c.args;
        // Let go once the notice is out: the tool then runs as usual.
        second.watch = [&](const ToolResult &so_far) {
            if (held != FILE_LOCK_NONE && (c.notice_on_stderr ? so_far.err : so_far.out).find(notice) != std::string::npos) {
                file_lock_close(held);
                held = FILE_LOCK_NONE;
            }
        };
        const ToolResult r = run(c.tool, second);
        file_lock_close(held);
        EXPECT_EQ(r.status, 0) << c.tool;
        const std::string &stream = c.notice_on_stderr ? r.err : r.out;
        EXPECT_EQ(stream.find(notice), stream.rfind(notice)) << c.tool << ": one notice";
        EXPECT_EQ(stream.substr(0, notice.size()), notice) << c.tool;
        ASSERT_GE(r.out.size(), c.ends_with.size());
        EXPECT_EQ(r.out.substr(r.out.size() - c.ends_with.size()), c.ends_with) << c.tool;
    }
}

}  // namespace
