// zeda_pcie_wait_board run as a process against the virtual board, after a
// mode switch that takes the board off the bus: it answers at once, after
// the reboot, or not at all, with the advice to rescan.
#include <cstdlib>
#include <cstring>

#include "sim_fixture.h"

namespace {

// Where the advice sends the reader: the man page, or for the Windows
// programs the text manual they are installed beside.
std::string advice() {
    const char *suffix = std::getenv("ZEDA_TEST_TOOL_SUFFIX");
    const bool windows = suffix != nullptr && std::strcmp(suffix, ".exe") == 0;
    return std::string("Rescan the PCI bus (see ") +
           (windows ? "zeda_pcie_wait_board.txt beside the program" : "man zeda_pcie_wait_board") +
           ") or restart the PC.\n";
}

class WaitBoard : public SimBoardTest {
protected:
    void switch_mode() { ASSERT_EQ(run("zeda_pcie_mode_change", {}, "y\n").status, 0); }
};

TEST_F(WaitBoard, ABoardOnTheBusAnswersAtOnce) {
    const ToolResult r = run("zeda_pcie_wait_board", {"0", "0"});
    EXPECT_EQ(r.out, "Board in normal operation mode. \n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

TEST_F(WaitBoard, ABoardAnswersOnceItsRebootIsOver) {
    edit_board(0, [](sim_board &b) { b.reboot_time_ms = 300; });
    switch_mode();
    const ToolResult r = run("zeda_pcie_wait_board", {"0", "20"});
    EXPECT_EQ(r.out, "Board in bootloader mode. \n");
    EXPECT_EQ(r.status, 0);
}

TEST_F(WaitBoard, ABoardThatStaysOffTheBusIsNeverFound) {
    set_faults(0, [](sim_faults &f) { f.stays_off_bus = true; });
    switch_mode();
    ToolResult r = run("zeda_pcie_wait_board", {"0", "1"});
    EXPECT_EQ(r.out, "Board 0 did not come back within 1 s. " + advice());
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 1);

    ASSERT_EQ(run("riffa_sim", {"rescan"}).status, 0);
    r = run("zeda_pcie_wait_board", {"0", "5"});
    EXPECT_EQ(r.out, "Board in bootloader mode. \n");
    EXPECT_EQ(r.status, 0);
}

}  // namespace
