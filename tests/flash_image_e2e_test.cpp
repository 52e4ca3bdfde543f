// zeda_pcie_flash_image run as a process against the virtual board.
#include "sim_fixture.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "board_link.h"
#include "flash_test_support.h"

namespace {

const char NOT_BOOTLOADER[] = " Board not in bootloader mode.\nPlease change the mode and try again.\n";
const char WAITING[] = "Waiting for programmer to finish\n";

std::string as_text(const std::vector<unsigned char> &bytes) { return std::string(bytes.begin(), bytes.end()); }

// Standard output of a run that streams the whole image, up to the wait.
std::string streamed(uint32_t size, int id = 0) {
    const uint32_t words = (size + 3) / 4;
    return "Preparing to program " + std::to_string(size) + " bytes\nBoard " + std::to_string(id) + " open\n" +
           reference_progress(size) + "\n" + std::to_string(words) + " words (" + std::to_string(words * 4) +
           " bytes) were written. Original file size was " + std::to_string(size) + " bytes\n" + WAITING;
}

class FlashImage : public SimBoardTest {
protected:
    ToolResult flash_image(std::vector<std::string> args, bool merge_stderr = false) {
        return run("zeda_pcie_flash_image", std::move(args), "", merge_stderr);
    }
    // A bootloader-mode board 0 and an image file of the given size.
    std::string prepare(size_t size) {
        add_board(0, SIM_MODE_BOOTLOADER);
        const std::vector<unsigned char> bytes = sample_bytes(size, uint32_t(size));
        image = as_text(bytes);
        return write_file("image.bin", bytes);
    }
    // The flash holds the image, its zero padding, and erased bytes after it.
    void expect_flash_holds(const std::string &bytes, int id = 0) {
        SimBoardTest::expect_flash_holds({bytes.begin(), bytes.end()}, id);
    }
    // Nothing reached the programmer.
    void expect_programmer_untouched(int id = 0) {
        EXPECT_EQ(board(id).programmer.state, sim_prog_state::idle);
        EXPECT_EQ(board(id).programmer.announced_size, 0u);
        EXPECT_TRUE(history(id).empty());
        EXPECT_TRUE(as_text(flash(id)) == std::string(SIM_FLASH_BYTES, '\xFF'));
    }
    std::string image;
};

TEST_F(FlashImage, FlashesImagesOfEverySizeUpToTheLimit) {
    for (uint32_t size : {1u, 1024u, 1026u, 8388608u}) {
        const std::string path = prepare(size);
        ToolResult r = flash_image({path});
        EXPECT_TRUE(r.out == streamed(size) + "Programming done\n") << size << ":\n" << r.out.substr(0, 400);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
        expect_flash_holds(image);
        expect_one_good_run(size, {image.begin(), image.end()});
        sim_remove_board(root_, 0);
    }
}

TEST_F(FlashImage, ImagesBeyondTheLimitAreRefusedWithTheirRealSize) {
    const std::string path = prepare(8388609);
    ToolResult r = flash_image({path});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Image is too big. It is 8388609 and the maximum supported size is 8388608\n");
    EXPECT_EQ(r.status, 1);

    // 4 GiB + 100 bytes: a 32-bit size would take it for 100 bytes.
    std::filesystem::resize_file(path, (1ull << 32) + 100);
    r = flash_image({path});
    EXPECT_EQ(r.err, "Image is too big. It is 4294967396 and the maximum supported size is 8388608\n");
    EXPECT_EQ(r.status, 1);
    expect_programmer_untouched();
}

TEST_F(FlashImage, FilesThatCannotBeFlashedAreRefusedBeforeTheBoardIsOpened) {
    add_board(0, SIM_MODE_BOOTLOADER);
    set_faults(0, [](sim_faults &f) { f.open_fails = true; });  // any open would show
    const std::vector<std::string> tool =
        tool_command("zeda_pcie_flash_image", built_tool_path("zeda_pcie_flash_image"));
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{}, "Usage: " + invoked_path(tool) + " <binary_image> [board_id]\n"},
        {{dir_ + "/missing.bin"}, "Unable to open binary image\n"},
        {{dir_}, "Unable to open binary image\n"},  // a directory, not an empty image
        // Flashing nothing would erase the board's image and report success.
        {{write_file("empty.bin", {})}, "Image is empty. Nothing to program\n"},
    };
    for (const auto &c : cases) {
        ToolResult r = flash_image(c.args);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, 1);
    }
    if (!std::getenv("ZEDA_TEST_RUNNER")) {
        // A file that can't seek (a pipe, or a FIFO that no one writes to,
        // which must not block the open) measures as 4294967295 bytes; a
        // device that measures 0 is empty, however much it would yield.
        const std::string fifo = dir_ + "/fifo";
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        const std::string too_big = "Image is too big. It is 4294967295 and the maximum supported size is 8388608\n";
        const std::string empty = "Image is empty. Nothing to program\n";
        for (const auto &[path, err] : {std::pair{std::string("/dev/stdin"), too_big}, {fifo, too_big},
                                        {"/dev/null", empty}, {"/dev/zero", empty}}) {
            ToolResult r = flash_image({path});
            EXPECT_EQ(r.err, err) << path;
            EXPECT_EQ(r.status, 1) << path;
        }
    }
    expect_programmer_untouched();
}

TEST_F(FlashImage, BoardIdIsTheSecondArgument) {
    const std::string path = prepare(3000);
    add_board(3, SIM_MODE_BOOTLOADER);
    ToolResult r = flash_image({path, "3", "ignored"});
    EXPECT_EQ(r.out, streamed(3000, 3) + "Programming done\n");
    EXPECT_EQ(r.status, 0);
    expect_flash_holds(image, 3);
    expect_programmer_untouched(0);

    r = flash_image({path, "letters"});
    EXPECT_EQ(r.out, streamed(3000, 0) + "Programming done\n");
    expect_flash_holds(image, 0);
}

TEST_F(FlashImage, BoardThatCannotBeOpened) {
    const std::string path = prepare(3000);
    ToolResult r = flash_image({path, "5"});
    EXPECT_EQ(r.out, "Preparing to program 3000 bytes\n");
    EXPECT_EQ(r.err, "Could not get FPGA 5\n");
    EXPECT_EQ(r.status, 255);
}

TEST_F(FlashImage, BoardNotInBootloaderModeGetsNothingForItsProgrammer) {
    const std::string path = prepare(3000);
    edit_board(0, [](sim_board &b) { b.mode = SIM_MODE_NORMAL; });
    ToolResult r = flash_image({path});
    EXPECT_EQ(r.out, "Preparing to program 3000 bytes\n");
    EXPECT_EQ(r.err, NOT_BOOTLOADER);
    EXPECT_EQ(r.status, 1);
    expect_programmer_untouched();

    // A lost mode reply reads as 0xFFFFFFFF: not bootloader mode either.
    edit_board(0, [](sim_board &b) { b.mode = SIM_MODE_BOOTLOADER; });
    set_faults(0, [](sim_faults &f) { f.recv_counts[REQ_MODE_QUERY] = 0; });
    r = flash_image({path}, true);
    EXPECT_EQ(r.out, std::string("Preparing to program 3000 bytes\nWARNING: Sent 0 words") + NOT_BOOTLOADER);
    EXPECT_EQ(r.status, 1);
    expect_programmer_untouched();
}

TEST_F(FlashImage, ImageSendThatFailsHalfWayAbortsAndClosesTheBoard) {
    for (int result : {0, -7}) {
        const std::string path = prepare(8192);
        set_faults(0, [&](sim_faults &f) { f.image_fail_send = 5, f.image_fail_result = result; });
        ToolResult r = flash_image({path}, true);  // stdout and stderr as on one terminal
        std::string want = "Preparing to program 8192 bytes\nBoard 0 open\n";
        for (uint32_t done = 0; done <= 4 * 256; done += 256) want += reference_progress_line(done, 2048);
        EXPECT_EQ(r.out, want + "Error writing data. Flashing operation aborted. -1\n") << result;
        EXPECT_EQ(r.status, 1);
        // What the board took before the failure is on record: it was closed.
        EXPECT_EQ(board().programmer.received_bytes, 4096u);
        expect_flash_holds(image.substr(0, 4096));
        sim_remove_board(root_, 0);
    }
}

TEST_F(FlashImage, PartialImageSendsStillDeliverEveryWord) {
    const std::string path = prepare(5000);
    set_faults(0, [](sim_faults &f) { f.image_max_words = 100; });
    ToolResult r = flash_image({path});
    EXPECT_EQ(r.out, streamed(5000) + "Programming done\n");
    EXPECT_EQ(r.status, 0);
    expect_flash_holds(image);
}

TEST_F(FlashImage, ProgrammerResults) {
    const std::string path = prepare(3000);
    // Busy polls are waited out without a word on the console.
    set_faults(0, [](sim_faults &f) { f.busy_polls = 3; });
    ToolResult r = flash_image({path});
    EXPECT_EQ(r.out, streamed(3000) + "Programming done\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(board().programmer.busy_polls_seen, 3);

    set_faults(0, [](sim_faults &f) { f.busy_polls = 0, f.programmer_error = 5; });
    r = flash_image({path}, true);
    EXPECT_EQ(r.out, streamed(3000) + "Programming hardware error. Code:    0x5\n");
    EXPECT_EQ(r.status, 1);

    // A lost status reply leaves 0xFFFFFFFF: done, with code 0xf, at once.
    set_faults(0, [](sim_faults &f) { f.programmer_error = 0, f.recv_counts[REQ_PROGRAMMER_STATUS] = 0; });
    r = flash_image({path});
    EXPECT_EQ(r.out, streamed(3000) + "WARNING: Sent 0 words");
    EXPECT_EQ(r.err, "Programming hardware error. Code:    0xf\n");
    EXPECT_EQ(r.status, 1);
    expect_flash_holds(image);
}

TEST_F(FlashImage, CountWarningsOnTheProgrammerRequestsDoNotStopTheRun) {
    const std::string path = prepare(3000);
    set_faults(0, [](sim_faults &f) {
        f.send_counts[REQ_IMAGE_SIZE] = 0;
        f.send_counts[REQ_PROGRAMMER_COMMAND] = 2;
    });
    ToolResult r = flash_image({path});
    std::string want = streamed(3000);
    want.insert(want.find("Progress"), "WARNING: Sent 0 wordsWARNING: Sent 2 wordsWARNING: Sent 2 words");
    EXPECT_EQ(r.out, want + "Programming done\n");
    EXPECT_EQ(r.status, 0);
    expect_flash_holds(image);
}

}  // namespace
