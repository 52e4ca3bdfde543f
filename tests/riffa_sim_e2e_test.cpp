// The riffa_sim control program, as a person setting up a rehearsal uses it.
#include "sim_fixture.h"

#include "riffa.h"

namespace {

class RiffaSimProgram : public SimBoardTest {
protected:
    ToolResult sim(std::vector<std::string> args) { return run("riffa_sim", std::move(args)); }
};

TEST_F(RiffaSimProgram, AddListShowRemove) {
    EXPECT_EQ(sim({"-b", "2", "add", "bootloader"}).status, 0);
    EXPECT_EQ(sim({"-b", "2", "add"}).status, 1) << "exists already";
    EXPECT_EQ(sim({"show"}).status, 0) << "board 0 appears on first use";
    ToolResult r = sim({"list"});
    EXPECT_EQ(r.out, "board 0: normal operation mode\nboard 2: bootloader mode\n");
    r = sim({"-b", "2", "show"});
    EXPECT_NE(r.out.find("mode: bootloader (2)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("faults: none"), std::string::npos) << r.out;
    EXPECT_EQ(sim({"-b", "2", "remove"}).status, 0);
    EXPECT_FALSE(sim_board_exists(root_, 2));
    EXPECT_EQ(sim({"-b", "2", "show"}).status, 1);
}

TEST_F(RiffaSimProgram, SetsAndClearsFaults) {
    EXPECT_EQ(sim({"fault", "recv-count", "mode-query", "0"}).status, 0);
    EXPECT_EQ(sim({"fault", "image-fail-send", "3", "-1"}).status, 0);
    EXPECT_EQ(sim({"fault", "programmer-error", "0x5"}).status, 0);
    EXPECT_EQ(sim({"fault", "send-count", "0x0F000000", "0"}).status, 0);
    sim_faults f = board(0).faults;
    EXPECT_EQ(f.recv_counts.at(0x2F000001), 0);
    EXPECT_EQ(f.send_counts.at(0x0F000000), 0);
    EXPECT_EQ(f.image_fail_send, 3);
    EXPECT_EQ(f.image_fail_result, -1);
    EXPECT_EQ(f.programmer_error, 5u);
    EXPECT_EQ(sim({"fault", "programmer-error", "16"}).status, 2) << "codes are 4 bits";
    EXPECT_EQ(sim({"fault", "no-such-fault"}).status, 2);
    EXPECT_EQ(sim({"clear-faults"}).status, 0);
    f = board(0).faults;
    EXPECT_TRUE(f.recv_counts.empty() && f.send_counts.empty());
    EXPECT_EQ(f.image_fail_send, 0);
}

TEST_F(RiffaSimProgram, VerifyTellsWhetherTheFlashHoldsAnImage) {
    const std::vector<unsigned char> bytes = sample_bytes(6);
    const std::string image = write_file("image.bin", bytes);
    add_board(0, SIM_MODE_BOOTLOADER);
    fpga_t *f = fpga_open(0);
    uint32_t w = 6;
    fpga_send(f, 0, &w, 1, 2, 1, 0);
    w = 2;
    fpga_send(f, 0, &w, 1, 3, 1, 0);
    w = 1;
    fpga_send(f, 0, &w, 1, 3, 1, 0);
    std::vector<unsigned char> padded = bytes;
    padded.resize(8, 0);
    fpga_send(f, 1, padded.data(), 2, 0, 1, 0);
    fpga_close(f);

    ToolResult r = sim({"verify", image});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("holds"), std::string::npos);
    const std::string other = write_file("other.bin", sample_bytes(6, 2));
    r = sim({"verify", other});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("differs"), std::string::npos);
    EXPECT_EQ(sim({"verify", dir_ + "/missing.bin"}).status, 1);
}

TEST_F(RiffaSimProgram, ModeCommandSetsTheModeDirectly) {
    EXPECT_EQ(sim({"mode", "bootloader"}).status, 0);
    EXPECT_EQ(board(0).mode, SIM_MODE_BOOTLOADER);
    EXPECT_EQ(sim({"mode", "sideways"}).status, 2);
    EXPECT_EQ(sim({}).status, 2);
}

}  // namespace
