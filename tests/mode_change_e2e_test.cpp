// zeda_pcie_mode_change run as a process against the virtual board.
#include "board_link.h"
#include "run_tool_pty.h"
#include "sim_fixture.h"

namespace {

const std::string FROM_NORMAL =
    "Board is in normal operation mode. Preparing to reboot into bootloader mode\n"
    "Check that all operarions are finished and the device is not in use\n\n";
const std::string FROM_BOOTLOADER =
    "Board is in bootloader mode. Preparing to reboot into normal mode\n"
    "Check that all programming operations have finished\n"
    "If, after rebooting, the board persists in bootloader mode then the ZEDA image might be damaged "
    "and will need reflashing over JTAG\n";
const std::string PROMPT = "Proceed [y/n]? ";
const std::string CHANGED = "Mode change complete.\n";
const std::string NOT_CHANGED = "Mode not changed.\n";

const char GET_MODE_NORMAL[] = "Board in normal operation mode. \nPress any key to exit...\n";
const char GET_MODE_BOOTLOADER[] = "Board in bootloader mode. \nPress any key to exit...\n";

const char *mode_name(uint32_t mode) { return mode == SIM_MODE_NORMAL ? "normal" : "bootloader"; }

class ModeChange : public SimBoardTest {
protected:
    ToolResult mode_change(const std::string &input, std::vector<std::string> args = {}) {
        return run("zeda_pcie_mode_change", std::move(args), input);
    }
    std::string get_mode() { return run("zeda_pcie_get_mode", {}, "\n").out; }

    // The board is in `mode` and holds no armed reboot: no switch request
    // reached it, or the reset that followed one has been carried out.
    void expect_board_in(uint32_t mode, int id = 0) {
        const sim_board b = board(id);
        EXPECT_EQ(b.mode, mode) << "board " << id;
        EXPECT_FALSE(b.reboot_armed) << "board " << id << " has a switch request pending";
    }
};

TEST_F(ModeChange, LowerCaseYRebootsIntoTheOtherModeAndBack) {
    ToolResult r = mode_change("y\n");
    EXPECT_EQ(r.out, FROM_NORMAL + PROMPT + CHANGED);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    expect_board_in(SIM_MODE_BOOTLOADER);
    EXPECT_EQ(get_mode(), GET_MODE_BOOTLOADER);

    r = mode_change("y\n");
    EXPECT_EQ(r.out, FROM_BOOTLOADER + PROMPT + CHANGED);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    expect_board_in(SIM_MODE_NORMAL);
    EXPECT_EQ(get_mode(), GET_MODE_NORMAL);
}

TEST_F(ModeChange, AnyOtherAnswerLeavesTheModeAlone) {
    const struct { const char *name; std::string input; } answers[] = {
        {"upper-case Y", "Y\n"},
        {"yes", "yes\n"},
        {"n", "n\n"},
        {"y and a space", "y \n"},
        {"y without a line feed", "y"},
        {"empty line", "\n"},
        {"end of input", ""},
        {"150 characters", std::string(150, 'y') + "\n"},
    };
    for (uint32_t mode : {SIM_MODE_NORMAL, SIM_MODE_BOOTLOADER}) {
        edit_board(0, [&](sim_board &b) { b.mode = mode; });
        const std::string text = mode == SIM_MODE_NORMAL ? FROM_NORMAL : FROM_BOOTLOADER;
        for (const auto &a : answers) {
            SCOPED_TRACE(std::string(a.name) + ", " + mode_name(mode) + " mode");
            const ToolResult r = mode_change(a.input);
            EXPECT_EQ(r.out, text + PROMPT + NOT_CHANGED);
            EXPECT_EQ(r.err, "");
            EXPECT_EQ(r.status, 0);
            expect_board_in(mode);
        }
    }
}

TEST_F(ModeChange, InvalidModeValueEndsBeforeThePrompt) {
    for (uint32_t value : {0u, 1u, 4u, 0x80000000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE("mode reply " + std::to_string(value));
        set_faults(0, [&](sim_faults &f) { f.mode_reply_set = true, f.mode_reply = value; });
        const ToolResult r = mode_change("y\n");
        EXPECT_EQ(r.out, "Incorrect mode value: " + std::to_string(int32_t(value)) + "\n");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 255);
        expect_board_in(SIM_MODE_NORMAL);
    }
}

TEST_F(ModeChange, LostModeReplyReadsAsMinusOneBeforeThePrompt) {
    add_board(0, SIM_MODE_BOOTLOADER);
    set_faults(0, [](sim_faults &f) { f.recv_counts[REQ_MODE_QUERY] = 0; });
    const ToolResult r = mode_change("y\n");
    EXPECT_EQ(r.out, "WARNING: Sent 0 wordsIncorrect mode value: -1\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 255);
    expect_board_in(SIM_MODE_BOOTLOADER);
}

TEST_F(ModeChange, SwitchRequestReportingNoWordsStillReboots) {
    set_faults(0, [](sim_faults &f) { f.send_counts[REQ_MODE_SWITCH] = 0; });
    const ToolResult r = mode_change("y\n");
    EXPECT_EQ(r.out, FROM_NORMAL + PROMPT + "WARNING: Sent 0 words" + CHANGED);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    expect_board_in(SIM_MODE_BOOTLOADER);
}

TEST_F(ModeChange, BoardThatCannotBeOpened) {
    ToolResult r = mode_change("y\n", {"5"});
    EXPECT_EQ(r.out, "Could not get FPGA 5\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 255);

    set_faults(0, [](sim_faults &f) { f.open_fails = true; });
    r = mode_change("y\n");
    EXPECT_EQ(r.out, "Could not get FPGA 0\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 255);
    expect_board_in(SIM_MODE_NORMAL);
}

TEST_F(ModeChange, SwitchesOnlyTheBoardNamedByTheFirstArgument) {
    add_board(0, SIM_MODE_NORMAL);
    add_board(3, SIM_MODE_BOOTLOADER);
    const ToolResult r = mode_change("y\n", {"3", "0"});
    EXPECT_EQ(r.out, FROM_BOOTLOADER + PROMPT + CHANGED);
    EXPECT_EQ(r.status, 0);
    expect_board_in(SIM_MODE_NORMAL, 3);
    expect_board_in(SIM_MODE_NORMAL, 0);
}

// What a person at a terminal sees: the prompt is on screen before the tool
// waits for the answer, and the typed y and Enter are echoed after it. Also
// with the output piped on (as into tee for a log), where stdout is not the
// terminal and the C library no longer flushes it before reading.
TEST_F(ModeChange, PromptAnsweredOnATerminal) {
    auto on_screen = [](const std::string &text) {
        std::string s;
        for (char c : text) s += c == '\n' ? std::string("\r\n") : std::string(1, c);
        return s;
    };
    const std::vector<std::string> tool =
        tool_command("zeda_pcie_mode_change", built_tool_path("zeda_pcie_mode_change"));
    std::vector<std::string> piped = {"/bin/sh", "-c", "\"$@\" | cat", "sh"};
    piped.insert(piped.end(), tool.begin(), tool.end());

    const struct { const char *name; std::vector<std::string> command; uint32_t from, to; } runs[] = {
        {"output on the terminal", tool, SIM_MODE_NORMAL, SIM_MODE_BOOTLOADER},
        {"output piped on", piped, SIM_MODE_BOOTLOADER, SIM_MODE_NORMAL},
    };
    add_board(0, SIM_MODE_NORMAL);
    for (const auto &run : runs) {
        SCOPED_TRACE(run.name);
        expect_board_in(run.from);
        const PtyResult r = run_command_pty(run.command, {}, {{PROMPT, "y\r"}}, 20);
        EXPECT_FALSE(r.timed_out) << "the prompt never appeared; the screen shows:\n" << r.screen;
        EXPECT_EQ(r.steps_done, 1u);
        const std::string text = run.from == SIM_MODE_NORMAL ? FROM_NORMAL : FROM_BOOTLOADER;
        EXPECT_EQ(r.screen, on_screen(text + PROMPT + "y\n" + CHANGED));
        EXPECT_EQ(r.status, 0);
        expect_board_in(run.to);
    }
}

}  // namespace
