// zeda_pcie_get_mode run as a process against the virtual board.
#include "sim_fixture.h"

#include "board_link.h"

namespace {

const char NORMAL[] = "Board in normal operation mode. \nPress any key to exit...\n";
const char BOOTLOADER[] = "Board in bootloader mode. \nPress any key to exit...\n";

class GetMode : public SimBoardTest {
protected:
    ToolResult get_mode(std::vector<std::string> args = {}, const std::string &input = "\n") {
        return run("zeda_pcie_get_mode", std::move(args), input);
    }
};

TEST_F(GetMode, FreshMachineReportsBoardZeroInNormalMode) {
    ToolResult r = get_mode();
    EXPECT_EQ(r.out, NORMAL);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(board(0).mode, SIM_MODE_NORMAL);
}

TEST_F(GetMode, ReportsBootloaderMode) {
    add_board(0, SIM_MODE_BOOTLOADER);
    ToolResult r = get_mode();
    EXPECT_EQ(r.out, BOOTLOADER);
    EXPECT_EQ(r.status, 0);
}

TEST_F(GetMode, EndOfInputEndsTheWait) {
    add_board(0, SIM_MODE_BOOTLOADER);
    ToolResult r = get_mode({}, "");
    EXPECT_EQ(r.out, BOOTLOADER);
    EXPECT_EQ(r.status, 0);
}

TEST_F(GetMode, QueryingChangesNothingOnTheBoard) {
    add_board(0, SIM_MODE_BOOTLOADER);
    const std::vector<unsigned char> before = flash();
    get_mode();
    get_mode();
    EXPECT_EQ(board(0).mode, SIM_MODE_BOOTLOADER);
    EXPECT_EQ(flash(), before);
    EXPECT_TRUE(history().empty());
}

TEST_F(GetMode, BoardThatCannotBeOpened) {
    ToolResult r = get_mode({"5"});
    EXPECT_EQ(r.out, "Could not get FPGA 5\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 255);

    set_faults(0, [](sim_faults &f) { f.open_fails = true; });
    r = get_mode();
    EXPECT_EQ(r.out, "Could not get FPGA 0\n");
    EXPECT_EQ(r.status, 255);
}

TEST_F(GetMode, InvalidModeValuesEndWithoutThePrompt) {
    for (uint32_t value : {0u, 1u, 4u, 0x80000000u, 0xFFFFFFFFu}) {
        set_faults(0, [&](sim_faults &f) { f.mode_reply_set = true, f.mode_reply = value; });
        ToolResult r = get_mode();
        EXPECT_EQ(r.out, "Incorrect mode value: " + std::to_string(int32_t(value)) + "\n") << value;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 255);
    }
}

TEST_F(GetMode, LostModeReplyReadsAsMinusOneAfterTheWarning) {
    set_faults(0, [](sim_faults &f) { f.recv_counts[REQ_MODE_QUERY] = 0; });
    ToolResult r = get_mode();
    EXPECT_EQ(r.out, "WARNING: Sent 0 wordsIncorrect mode value: -1\n");
    EXPECT_EQ(r.status, 255);
}

TEST_F(GetMode, CountWarningsDoNotChangeTheFlow) {
    set_faults(0, [](sim_faults &f) { f.send_counts[REQ_MODE_QUERY] = 0; f.recv_counts[REQ_MODE_QUERY] = 2; });
    ToolResult r = get_mode();
    EXPECT_EQ(r.out, std::string("WARNING: Sent 0 wordsWARNING: Sent 2 words") + NORMAL);
    EXPECT_EQ(r.status, 0);
}

TEST_F(GetMode, BoardIdForms) {
    add_board(-1, SIM_MODE_BOOTLOADER);
    add_board(3, SIM_MODE_BOOTLOADER);
    add_board(7, SIM_MODE_BOOTLOADER);
    add_board(2, SIM_MODE_BOOTLOADER);
    const struct { const char *arg; const char *out; } cases[] = {
        {"letters", NORMAL},
        {"-1", BOOTLOADER},
        {"3xyz", BOOTLOADER},
        {"  7", BOOTLOADER},
        {"+2", BOOTLOADER},
        {"12", "Could not get FPGA 12\n"},
        {"99999999999", "Could not get FPGA 2147483647\n"},
        {"-99999999999", "Could not get FPGA -2147483648\n"},
        {"4294967298", "Could not get FPGA 2147483647\n"},
    };
    for (const auto &c : cases) {
        ToolResult r = get_mode({c.arg});
        EXPECT_EQ(r.out, c.out) << "board id argument '" << c.arg << "'";
    }
}

TEST_F(GetMode, ArgumentsAfterTheBoardIdAreIgnored) {
    add_board(3, SIM_MODE_BOOTLOADER);
    ToolResult r = get_mode({"3", "0", "extra"});
    EXPECT_EQ(r.out, BOOTLOADER);
    EXPECT_EQ(r.status, 0);
}

}  // namespace
