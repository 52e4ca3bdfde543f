// zeda_pcie_flash_image <binary_image> [board_id]: writes a raw gateware
// image into the board's flash through the bootloader's programmer.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "board_link.h"
#include "tool_main.h"
#include "command_line.h"
#include "console.h"
#include "help.h"
#include "image_file.h"
#include "image_stream.h"

// Opens the image and measures it, rewound for streaming; any fault ends
// the run with status 1 before the board is touched.
static int open_image(const char *path, uint32_t *image_bytes) {
    const int file = image_file_open(path);
    if (file < 0) {
        board_print_error("Unable to open binary image\n");
        std::exit(1);
    }
    // Measured in 64 bits so that a file of 4 GiB and more isn't taken for a
    // small one; a failed seek reads as 4294967295, too big as well.
    const int64_t end = image_file_seek_end(file);
    const uint64_t size = end < 0 ? UINT32_MAX : uint64_t(end);
    if (size > MAX_IMAGE_BYTES) {
        board_print_error("Image is too big. It is %llu and the maximum supported size is %lu\n",
                          (unsigned long long)size, (unsigned long)MAX_IMAGE_BYTES);
        std::exit(1);
    }
    // Flashing nothing would erase the board's image and report success; an
    // empty file is what a failed download leaves behind.
    if (size == 0) {
        board_print_error("Image is empty. Nothing to program\n");
        std::exit(1);
    }
    *image_bytes = uint32_t(size);
    std::printf("Preparing to program %lu bytes\n", (unsigned long)*image_bytes);
    if (image_file_rewind(file) < 0) {
        board_print_error("Unable to rewind input file\n");
        std::exit(1);
    }
    return file;
}

// The board in bootloader mode, reset, or the run ends with status 1.
static void expect_bootloader(fpga_t *board, uint32_t *word) {
    if (board_query_mode(board, word) != MODE_BOOTLOADER) {
        board_print_error(" Board not in bootloader mode.\nPlease change the mode and try again.\n");
        board_close(board);
        std::exit(1);
    }
    board_reset(board);
}

// The programmer's final status as the run's message and exit status.
static int report_status(uint32_t status) {
    if (const uint32_t code = status_error_code(status); code != 0) {
        board_print_error("Programming hardware error. Code: %#6x\n", unsigned(code));
        return 1;
    }
    std::printf("Programming done\n");
    return 0;
}

int tool_main(int argc, char **argv) {
    if (command_line_help(argc, argv, HELP)) return 0;
    if (argc < 2) {
        board_print_error("Usage: %s %s\n", argc > 0 && argv[0] ? argv[0] : HELP.name, HELP.arguments);
        std::exit(1);
    }
    const int id = command_line_board_id(argc, argv, 2);
    uint32_t image_bytes = 0;
    const int file = open_image(argv[1], &image_bytes);

    fpga_t *board = board_open(id, stderr);
    if (board == nullptr) return -1;
    uint32_t word = 0;
    expect_bootloader(board, &word);
    std::printf("Board %d open\n", id);

    // The first programmer request starts changing the flash: from here the
    // run ends only when the board has been told everything, or by Ctrl-C.
    console_ignore_hangup();
    board_announce_size(board, &word, image_bytes);
    board_erase(board, &word);
    board_start_programming(board, &word);

    const uint32_t written = stream_image(file, board, (image_bytes + 3) / 4);
    std::printf("\n");  // ends the progress line
    std::printf("%d words (%d bytes) were written. Original file size was %d bytes\n", int32_t(written),
                int32_t(written * 4u), int32_t(image_bytes));
    std::printf("Waiting for programmer to finish\n");
    const int result = report_status(board_wait_programmer(board, &word));
    image_file_close(file);
    board_close(board);
    return result;
}
