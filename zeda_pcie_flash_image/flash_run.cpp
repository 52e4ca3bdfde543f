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

int tool_main(int argc, char **argv) {
    console_keep_std_descriptors();
    if (command_line_help(argc, argv, HELP)) return 0;
    if (argc < 2) {
        board_print_error("Usage: %s %s\n",
                          argc > 0 && argv[0] ? argv[0] : HELP.name, HELP.arguments);
        std::exit(1);
    }
    const int id = command_line_board_id(argc, argv, 2);

    const int file = image_file_open(argv[1]);
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
    const uint32_t image_bytes = uint32_t(size);
    const uint32_t expected_words = (image_bytes + 3) / 4;
    std::printf("Preparing to program %lu bytes\n", (unsigned long)image_bytes);
    if (image_file_rewind(file) < 0) {
        board_print_error("Unable to rewind input file\n");
        std::exit(1);
    }

    fpga_t *board = board_open(id, stderr);
    if (board == nullptr) return -1;
    uint32_t word = 0;
    if (board_query_mode(board, &word) != MODE_BOOTLOADER) {
        board_print_error(" Board not in bootloader mode.\nPlease change the mode and try again.\n");
        board_close(board);
        std::exit(1);
    }
    fpga_reset(board);
    std::printf("Board %d open\n", id);

    // The first programmer request starts changing the flash: from here the
    // run ends only when the board has been told everything, or by Ctrl-C.
    console_ignore_hangup();
    board_send_request(board, &word, REQ_IMAGE_SIZE, image_bytes);
    board_send_request(board, &word, REQ_PROGRAMMER_COMMAND, PROGRAMMER_ERASE);
    board_send_request(board, &word, REQ_PROGRAMMER_COMMAND, PROGRAMMER_START);

    const uint32_t written = stream_image(file, board, expected_words);
    std::printf("\n");  // ends the progress line
    std::printf("%d words (%d bytes) were written. Original file size was %d bytes\n",
                int32_t(written), int32_t(written * 4u), int32_t(image_bytes));
    std::printf("Waiting for programmer to finish\n");

    // No pause and no limit: only the transfers' own timeouts bound a poll.
    uint32_t status;
    do {
        board_send_request(board, &word, REQ_PROGRAMMER_STATUS, QUERY_FILL);
        board_read_reply(board, &word);
        status = word;
    } while (!status_is_done(status));

    int result = 0;
    if (const uint32_t code = status_error_code(status); code != 0) {
        board_print_error("Programming hardware error. Code: %#6x\n", unsigned(code));
        result = 1;
    } else {
        std::printf("Programming done\n");
    }
    image_file_close(file);
    board_close(board);
    return result;
}
