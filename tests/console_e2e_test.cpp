// What a person sees: help that never touches the board, the board list,
// and, on a real terminal, a readable bar, messages on lines of their own
// and a single key that ends the wait.
#include "sim_fixture.h"

#include <cstdlib>
#include <filesystem>

#include "run_tool_pty.h"

namespace {

class Console : public SimBoardTest {
protected:
    PtyResult on_terminal(const std::string &tool, const std::vector<std::string> &args,
                          const std::vector<PtyStep> &steps) {
        PtyResult r = run_command_pty(tool_command(tool, built_tool_path(tool)), args, steps);
        EXPECT_FALSE(r.timed_out) << tool;
        return r;
    }
    // The screen line that starts with prefix, after the last one.
    static std::string line_after(const std::vector<std::string> &lines, const std::string &prefix) {
        for (size_t i = 0; i + 1 < lines.size(); ++i)
            if (lines[i].rfind(prefix, 0) == 0) return lines[i + 1];
        return "(no line " + prefix + ")";
    }
};

TEST_F(Console, HelpAndVersionNeverTouchTheBoard) {
    add_board(0, SIM_MODE_NORMAL);
    set_faults(0, [](sim_faults &f) { f.open_fails = true; });  // an open would fail the run
    for (const char *tool : {"zeda_pcie_get_mode", "zeda_pcie_mode_change", "zeda_pcie_flash_image",
                             "zeda_pcie_list_boards", "zeda_pcie_wait_board"}) {
        for (const char *arg : {"-h", "--help", "--version"}) {
            const ToolResult r = run(tool, {arg, "0"}, "y\n");
            const std::string starts = std::string(arg) == "--version" ? std::string(tool) + " 1.0.0 ("
                                                                       : "Usage: " + std::string(tool);
            EXPECT_EQ(r.out.substr(0, starts.size()), starts) << tool << " " << arg;
            EXPECT_EQ(r.err, "") << tool << " " << arg;
            EXPECT_EQ(r.status, 0) << tool << " " << arg;
        }
    }
    EXPECT_EQ(board().mode, SIM_MODE_NORMAL) << "a y on standard input must not reach the switch";
    EXPECT_TRUE(history().empty());

    // Every other argument keeps its meaning: a file named --help is ./--help.
    edit_board(0, [](sim_board &b) { b.mode = SIM_MODE_BOOTLOADER, b.faults = sim_faults{}; });
    write_file("--help", sample_bytes(100));
    ToolRun named_help;
    named_help.args = {"./--help"};
    const std::string cwd = std::filesystem::current_path().string();
    std::filesystem::current_path(dir_);
    const ToolResult r = run("zeda_pcie_flash_image", named_help);
    std::filesystem::current_path(cwd);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(history().size(), 1u);
}

TEST_F(Console, ListsTheBoardsInOrder) {
    add_board(3, SIM_MODE_BOOTLOADER);
    add_board(0, SIM_MODE_NORMAL);
    const ToolResult r = run("zeda_pcie_list_boards", std::vector<std::string>{});
    EXPECT_EQ(r.out, "Board 0: riffa_sim (vendor 0xffff, device 0x0000, 2 channels)\n"
                     "Board 3: riffa_sim (vendor 0xffff, device 0x0000, 2 channels)\n");
    EXPECT_EQ(r.status, 0);
}

TEST_F(Console, BarOnATerminalIsDrawnInItsCharacterSet) {
    add_board(0, SIM_MODE_BOOTLOADER);
    const std::string image = write_file("image.bin", sample_bytes(8388608));
    const struct { const char *locale; std::string cell; } cases[] = {
        {"C.UTF-8", "\xE2\x96\x88"},  // U+2588 FULL BLOCK
        {"C", "\xDB"},                // the same block in code page 437
    };
    for (const auto &c : cases) {
        setenv("LC_ALL", c.locale, 1);
        const PtyResult r = on_terminal("zeda_pcie_flash_image", {image}, {});
        unsetenv("LC_ALL");
        EXPECT_EQ(r.status, 0) << c.locale;
        std::string bar = "Progress:  |";
        for (int i = 0; i < 61; ++i) bar += c.cell;
        // The bar's last state, whole, with nothing left of earlier draws.
        EXPECT_EQ(line_after(screen_lines(r.screen), "Board 0 open"), bar + " |  99%") << c.locale;
    }
}

TEST_F(Console, MessageAfterTheBarOnATerminalStartsOnItsOwnLine) {
    add_board(0, SIM_MODE_BOOTLOADER);
    set_faults(0, [](sim_faults &f) { f.image_fail_send = 2; });
    const std::string image = write_file("image.bin", sample_bytes(4096));
    setenv("LC_ALL", "C", 1);
    const PtyResult r = on_terminal("zeda_pcie_flash_image", {image}, {});
    unsetenv("LC_ALL");
    EXPECT_EQ(r.status, 1);
    const std::vector<std::string> lines = screen_lines(r.screen);
    EXPECT_EQ(line_after(lines, "Board 0 open"),
              "Progress:  |" + std::string(15, '\xDB') + std::string(47, ' ') + "|  25%");
    EXPECT_EQ(line_after(lines, "Progress:"), "Error writing data. Flashing operation aborted. -1");
}

TEST_F(Console, OneKeyEndsTheWaitOnATerminal) {
    add_board(0, SIM_MODE_NORMAL);
    // A key without Enter ends it; Ctrl-C ends the tool. Either way the
    // terminal echoes and edits lines again afterwards.
    const struct { const char *key; int status; } cases[] = {{"x", 0}, {"\x03", -1}};
    for (const auto &c : cases) {
        const PtyResult r = on_terminal("zeda_pcie_get_mode", {}, {{"Press any key to exit...", c.key}});
        EXPECT_EQ(r.status, c.status) << int(c.key[0]);
        EXPECT_TRUE(r.line_mode_after) << int(c.key[0]);
        const std::string after = r.screen.substr(r.screen.find("exit...") + 7);
        EXPECT_EQ(after.find(c.key), std::string::npos) << "the key is not echoed: " << after;
    }
}

}  // namespace
