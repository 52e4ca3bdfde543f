// The board list against the recording fake RIFFA: what the library reports
// becomes one line per board, never read past its arrays, and no board is
// opened.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "board_link.h"
#include "fake_riffa.h"

#include "tool_main.h"

namespace {

// A list of count boards (ids 10, 11, ...) of which the library reports
// num_fpgas.
fpga_info_list boards(int count, int num_fpgas) {
    fpga_info_list list = {};
    list.num_fpgas = num_fpgas;
    for (int i = 0; i < count; ++i) {
        list.id[i] = 10 + i;
        list.num_chnls[i] = 2 + i;
        std::memcpy(list.name[i], "ZEDA-board-name-16", 16);  // no terminating zero
        list.vendor_id[i] = 0x10ee;
        list.device_id[i] = 0x7020 + i;
    }
    return list;
}

std::string line(int i) {
    return "Board " + std::to_string(10 + i) + ": ZEDA-board-name- (vendor 0x10ee, device 0x702" + std::to_string(i) +
           ", " + std::to_string(2 + i) + " channels)\n";
}

TEST(ListBoards, OneLinePerBoardClampedToTheLibrarysArrays) {
    const struct {
        const char *what;
        fpga_info_list list;
        int result;
        std::string out;
        int status;
    } cases[] = {
        {"none", boards(0, 0), 0, "No FPGA boards found\n", 1},
        {"one", boards(1, 1), 0, line(0), 0},
        {"five", boards(5, 5), 0, line(0) + line(1) + line(2) + line(3) + line(4), 0},
        {"a count beyond the arrays", boards(5, 9), 0, line(0) + line(1) + line(2) + line(3) + line(4), 0},
        {"a negative count", boards(1, -3), 0, "No FPGA boards found\n", 1},
        {"a failing call", boards(1, 1), -1, "Could not list FPGAs\n", -1},
        {"a failing call on Windows", boards(1, 1), 1, "Could not list FPGAs\n", -1},
    };
    for (const auto &c : cases) {
        fake_riffa_reset();
        fake_riffa().list = c.list;
        fake_riffa().list_result = c.result;
        std::string name = "zeda_pcie_list_boards";
        char *argv[] = {name.data(), nullptr};
        testing::internal::CaptureStdout();
        const int status = tool_main(1, argv);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out) << c.what;
        EXPECT_EQ(status, c.status) << c.what;
        ASSERT_EQ(fake_riffa().calls.size(), 1u) << c.what << ": only the list, no board opened";
        EXPECT_EQ(fake_riffa().calls[0].fn, "list");
    }
}

}  // namespace
