// riffa_sim: manages the virtual boards that stand in for RIFFA hardware.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "sim_gateware.h"
#include "sim_store.h"

static const char USAGE[] =
    "Usage: riffa_sim [-b board_id] command [arguments]\n"
    "Manages the virtual boards that stand in for RIFFA hardware.\n"
    "State lives under $RIFFA_SIM_DIR, else a per-user state folder.\n"
    "\n"
    "Commands (on board 0 unless -b says otherwise):\n"
    "  list                        list the boards and their modes\n"
    "  add [normal|bootloader]     create the board (normal mode by default)\n"
    "  remove                      delete the board, its flash and history\n"
    "  show                        mode, programmer, faults and last programming run\n"
    "  history                     every finished programming run\n"
    "  mode normal|bootloader      set the mode, as a JTAG load would\n"
    "  verify IMAGE                check that the flash holds IMAGE (zero-padded to a word)\n"
    "  fault NAME [VALUE...]       set a fault (see below)\n"
    "  clear-faults                clear every fault\n"
    "\n"
    "Faults:\n"
    "  open-fails                  fpga_open returns null\n"
    "  mode-reply VALUE            the mode query replies VALUE\n"
    "  send-count REQUEST COUNT    control sends of REQUEST report COUNT words\n"
    "  recv-count REQUEST COUNT    the reply to REQUEST reports COUNT words (0: reply lost)\n"
    "  image-max-words N           image sends take at most N words each\n"
    "  image-fail-send K [RESULT]  the K-th image send moves nothing, returns RESULT (0)\n"
    "  programmer-error E          programming ends with error code E\n"
    "  busy-polls B                B status polls answer busy before done\n"
    "REQUEST: mode-query, status, size, command, mode-switch, or a number.\n"
    "\n"
    "Programmer error codes of the virtual board: 0x1 image words before command 1,\n"
    "0x2 more words than the announced size, 0x3 size over 8 MiB, 0x4 command 1\n"
    "without an erase (command 2) since the size request.\n";

static int usage_error(const char *what) {
    std::fprintf(stderr, "riffa_sim: %s\n%s", what, USAGE);
    return 2;
}

static bool parse_number(const char *text, long long *value) {
    if (!text || !*text) return false;
    char *end = nullptr;
    *value = std::strtoll(text, &end, 0);
    return *end == '\0';
}

static bool parse_request(const char *text, uint32_t *code) {
    static const struct { const char *name; uint32_t code; } names[] = {
        {"mode-query", 0x2F000001}, {"status", 0x20000004}, {"size", 0x00000002},
        {"command", 0x00000003},    {"mode-switch", 0x0F000000}};
    for (const auto &n : names)
        if (text && std::strcmp(text, n.name) == 0) return *code = n.code, true;
    long long v;
    if (!parse_number(text, &v)) return false;
    *code = uint32_t(v);
    return true;
}

static bool parse_mode(const char *text, uint32_t *mode) {
    if (!text) return false;
    if (std::strcmp(text, "normal") == 0) *mode = SIM_MODE_NORMAL;
    else if (std::strcmp(text, "bootloader") == 0) *mode = SIM_MODE_BOOTLOADER;
    else return false;
    return true;
}

static const char *mode_name(uint32_t mode) {
    return mode == SIM_MODE_BOOTLOADER ? "bootloader" : mode == SIM_MODE_NORMAL ? "normal operation" : "invalid";
}

static void print_run(const char *label, const sim_run &r) {
    std::printf("%s%s  size %lu bytes, received %lu bytes, %s (code 0x%lx), checksum %016llx\n", label,
                r.time.c_str(), (unsigned long)r.announced_size, (unsigned long)r.received_bytes,
                r.error ? "FAILED" : "ok", (unsigned long)r.error, (unsigned long long)r.checksum);
}

static void print_faults(const sim_faults &f) {
    std::vector<std::string> lines;
    char text[96];
    if (f.open_fails) lines.push_back("open-fails");
    if (f.mode_reply_set) std::snprintf(text, sizeof text, "mode-reply 0x%lx", (unsigned long)f.mode_reply), lines.push_back(text);
    for (const auto &[code, n] : f.send_counts) std::snprintf(text, sizeof text, "send-count 0x%08lx %d", (unsigned long)code, n), lines.push_back(text);
    for (const auto &[code, n] : f.recv_counts) std::snprintf(text, sizeof text, "recv-count 0x%08lx %d", (unsigned long)code, n), lines.push_back(text);
    if (f.image_max_words) std::snprintf(text, sizeof text, "image-max-words %d", f.image_max_words), lines.push_back(text);
    if (f.image_fail_send) std::snprintf(text, sizeof text, "image-fail-send %d %d", f.image_fail_send, f.image_fail_result), lines.push_back(text);
    if (f.programmer_error) std::snprintf(text, sizeof text, "programmer-error 0x%lx", (unsigned long)f.programmer_error), lines.push_back(text);
    if (f.busy_polls) std::snprintf(text, sizeof text, "busy-polls %d", f.busy_polls), lines.push_back(text);
    std::printf("faults: %s\n", lines.empty() ? "none" : "");
    for (const auto &l : lines) std::printf("  %s\n", l.c_str());
}

static int cmd_show(const std::string &root, const sim_board &b) {
    const sim_programmer &p = b.programmer;
    std::printf("board %d (%s)\n", b.id, sim_board_dir(root, b.id).c_str());
    std::printf("mode: %s (%lu)%s\n", mode_name(b.mode), (unsigned long)b.mode,
                b.reboot_armed ? ", reboot armed" : "");
    if (p.state == sim_prog_state::idle)
        std::printf("programmer: idle%s\n", p.erased ? ", flash erased" : "");
    else if (p.state == sim_prog_state::programming)
        std::printf("programmer: programming, %lu of %lu bytes received\n",
                    (unsigned long)p.received_bytes, (unsigned long)p.announced_size);
    else
        std::printf("programmer: finished, error code 0x%lx\n", (unsigned long)p.error);
    const std::vector<sim_run> runs = sim_load_history(root, b.id);
    if (runs.empty()) std::printf("last run: none\n");
    else print_run("last run: ", runs.back());
    print_faults(b.faults);
    return 0;
}

static int cmd_verify(const std::string &root, int id, const char *image_path) {
    std::ifstream image(image_path, std::ios::binary);
    if (!image) return std::fprintf(stderr, "riffa_sim: cannot read %s\n", image_path), 1;
    std::vector<char> want((std::istreambuf_iterator<char>(image)), std::istreambuf_iterator<char>());
    if (want.size() > SIM_FLASH_BYTES)
        return std::printf("%s is larger than the flash (%zu bytes)\n", image_path, want.size()), 1;
    want.resize((want.size() + 3) / 4 * 4, 0);
    std::ifstream flash(sim_flash_path(root, id), std::ios::binary);
    std::vector<char> have(want.size());
    if (!flash.read(have.data(), std::streamsize(have.size())))
        return std::fprintf(stderr, "riffa_sim: cannot read the flash of board %d\n", id), 1;
    for (size_t i = 0; i < want.size(); ++i)
        if (want[i] != have[i])
            return std::printf("flash of board %d differs from %s at byte %zu\n", id, image_path, i), 1;
    std::printf("flash of board %d holds %s (%zu bytes with padding, checksum %016llx)\n", id,
                image_path, want.size(),
                (unsigned long long)sim_checksum(SIM_CHECKSUM_START,
                                                 reinterpret_cast<const unsigned char *>(want.data()),
                                                 want.size()));
    return 0;
}

static int cmd_fault(sim_faults *f, int argc, char **argv) {
    const char *name = argc > 0 ? argv[0] : nullptr;
    long long a = 0, b = 0;
    uint32_t code;
    if (!name) return usage_error("fault needs a name");
    const std::string n = name;
    if (n == "open-fails" && argc == 1) f->open_fails = true;
    else if (n == "mode-reply" && argc == 2 && parse_number(argv[1], &a)) f->mode_reply = uint32_t(a), f->mode_reply_set = true;
    else if (n == "send-count" && argc == 3 && parse_request(argv[1], &code) && parse_number(argv[2], &b)) f->send_counts[code] = int(b);
    else if (n == "recv-count" && argc == 3 && parse_request(argv[1], &code) && parse_number(argv[2], &b)) f->recv_counts[code] = int(b);
    else if (n == "image-max-words" && argc == 2 && parse_number(argv[1], &a) && a >= 0) f->image_max_words = int(a);
    else if (n == "image-fail-send" && (argc == 2 || argc == 3) && parse_number(argv[1], &a) && a >= 1 &&
             (argc == 2 || (parse_number(argv[2], &b) && b <= 0)))
        f->image_fail_send = int(a), f->image_fail_result = int(b);
    else if (n == "programmer-error" && argc == 2 && parse_number(argv[1], &a) && a >= 0 && a <= 15) f->programmer_error = uint32_t(a);
    else if (n == "busy-polls" && argc == 2 && parse_number(argv[1], &a) && a >= 0) f->busy_polls = int(a);
    else return usage_error("unknown fault or bad value");
    return 0;
}

int main(int argc, char **argv) {
    int arg = 1;
    int id = 0;
    if (arg + 1 < argc && std::strcmp(argv[arg], "-b") == 0) {
        long long v;
        if (!parse_number(argv[arg + 1], &v)) return usage_error("bad board id");
        id = int(v), arg += 2;
    }
    if (arg >= argc) return usage_error("no command");
    const std::string cmd = argv[arg++];
    const std::string root = sim_root();
    const int rest = argc - arg;
    if (cmd == "help" || cmd == "--help") return std::fputs(USAGE, stdout), 0;
    if (cmd == "list") {
        std::vector<int> ids = sim_list_boards(root);
        if (ids.empty()) std::printf("no boards under %s (board 0 appears on first use)\n", root.c_str());
        for (int b : ids) {
            sim_board board;
            if (sim_load_board(root, b, &board))
                std::printf("board %d: %s mode\n", b, mode_name(board.mode));
        }
        return 0;
    }
    if (cmd == "add") {
        uint32_t mode = SIM_MODE_NORMAL;
        if (rest > 1 || (rest == 1 && !parse_mode(argv[arg], &mode))) return usage_error("add takes normal or bootloader");
        if (sim_board_exists(root, id)) return std::fprintf(stderr, "riffa_sim: board %d exists\n", id), 1;
        if (!sim_create_board(root, id, mode)) return std::fprintf(stderr, "riffa_sim: cannot create board %d under %s\n", id, root.c_str()), 1;
        std::printf("board %d added in %s mode\n", id, mode_name(mode));
        return 0;
    }
    // Board 0 exists once anything has used it; create it here too.
    if (!sim_board_exists(root, id) && !(id == 0 && sim_create_board(root, 0, SIM_MODE_NORMAL)))
        return std::fprintf(stderr, "riffa_sim: no board %d under %s\n", id, root.c_str()), 1;
    if (cmd == "remove") {
        if (!sim_remove_board(root, id)) return std::fprintf(stderr, "riffa_sim: cannot remove board %d\n", id), 1;
        std::printf("board %d removed\n", id);
        return 0;
    }
    sim_board board;
    if (!sim_load_board(root, id, &board)) return std::fprintf(stderr, "riffa_sim: cannot read board %d\n", id), 1;
    if (cmd == "show") return cmd_show(root, board);
    if (cmd == "history") {
        const std::vector<sim_run> runs = sim_load_history(root, id);
        if (runs.empty()) std::printf("board %d: no programming runs\n", id);
        for (const sim_run &r : runs) print_run("", r);
        return 0;
    }
    if (cmd == "verify") {
        if (rest != 1) return usage_error("verify takes an image file");
        return cmd_verify(root, id, argv[arg]);
    }
    if (cmd == "mode") {
        if (rest != 1 || !parse_mode(argv[arg], &board.mode)) return usage_error("mode takes normal or bootloader");
        board.reboot_armed = false;
        board.programmer = sim_programmer{};
    } else if (cmd == "fault") {
        if (int rc = cmd_fault(&board.faults, rest, argv + arg)) return rc;
    } else if (cmd == "clear-faults") {
        board.faults = sim_faults{};
    } else {
        return usage_error("unknown command");
    }
    if (!sim_save_board(root, board)) return std::fprintf(stderr, "riffa_sim: cannot save board %d\n", id), 1;
    return cmd_show(root, board);
}
