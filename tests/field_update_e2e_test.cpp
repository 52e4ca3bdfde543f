// A whole field update on a fresh virtual board, as a person runs it:
// query, switch to bootloader mode, flash, switch back, query.
#include "sim_fixture.h"

namespace {

const char NORMAL_QUERY[] = "Board in normal operation mode. \nPress any key to exit...\n";
const char TO_BOOTLOADER[] =
    "Board is in normal operation mode. Preparing to reboot into bootloader mode\n"
    "Check that all operarions are finished and the device is not in use\n\n"
    "Proceed [y/n]? Mode change complete.\n";
const char TO_NORMAL[] =
    "Board is in bootloader mode. Preparing to reboot into normal mode\n"
    "Check that all programming operations have finished\n"
    "If, after rebooting, the board persists in bootloader mode then the ZEDA image might be "
    "damaged and will need reflashing over JTAG\n"
    "Proceed [y/n]? Mode change complete.\n";

bool starts_with(const std::string &s, const std::string &prefix) { return s.rfind(prefix, 0) == 0; }
bool ends_with(const std::string &s, const std::string &suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

class FieldUpdate : public SimBoardTest {};

TEST_F(FieldUpdate, QuerySwitchFlashSwitchBackQuery) {
    const std::vector<unsigned char> image = sample_bytes(65539, 7);
    const std::string path = write_file("gateware.bin", image);

    ToolResult r = run("zeda_pcie_get_mode", {}, "\n");
    EXPECT_EQ(r.out, NORMAL_QUERY);
    EXPECT_EQ(r.status, 0);

    r = run("zeda_pcie_mode_change", {}, "y\n");
    EXPECT_EQ(r.out, TO_BOOTLOADER);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(board().mode, SIM_MODE_BOOTLOADER);

    r = run("zeda_pcie_flash_image", {path}, "", true);
    EXPECT_TRUE(starts_with(r.out, "Preparing to program 65539 bytes\nBoard 0 open\nProgress:  |")) << r.out;
    EXPECT_TRUE(ends_with(r.out, "\n16385 words (65540 bytes) were written. Original file size was 65539 bytes\n"
                                 "Waiting for programmer to finish\nProgramming done\n"))
        << r.out.substr(r.out.size() > 200 ? r.out.size() - 200 : 0);
    EXPECT_EQ(r.status, 0);

    r = run("zeda_pcie_mode_change", {}, "y\n");
    EXPECT_EQ(r.out, TO_NORMAL);
    EXPECT_EQ(r.status, 0);

    r = run("zeda_pcie_get_mode", {}, "\n");
    EXPECT_EQ(r.out, NORMAL_QUERY);
    EXPECT_EQ(r.status, 0);

    expect_flash_holds(image);
    expect_one_good_run(65539, image);

    r = run("riffa_sim", {"verify", path});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
}

TEST_F(FieldUpdate, FlashingRefusedUntilTheBoardIsInBootloaderMode) {
    const std::string path = write_file("gateware.bin", sample_bytes(4096));
    ToolResult r = run("zeda_pcie_flash_image", {path});
    EXPECT_EQ(r.err, " Board not in bootloader mode.\nPlease change the mode and try again.\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(history().empty());
    EXPECT_EQ(flash()[0], 0xFF) << "nothing reached the flash";

    r = run("zeda_pcie_mode_change", {}, "n\n");
    EXPECT_EQ(r.status, 0);
    r = run("zeda_pcie_flash_image", {path});
    EXPECT_EQ(r.status, 1) << "a no leaves the board in normal mode";

    run("zeda_pcie_mode_change", {}, "y\n");
    r = run("zeda_pcie_flash_image", {path});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(run("riffa_sim", {"verify", path}).status, 0);
}

}  // namespace
