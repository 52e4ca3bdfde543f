// riffa_sim: manages the virtual boards that stand in for RIFFA hardware.
#include <cstdarg>
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

// Prints "riffa_sim: " and the message to standard error; returns status 1.
static int fail(const char *format, ...) {
    std::fflush(stdout);
    std::fputs("riffa_sim: ", stderr);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
    return 1;
}

static bool parse_number(const char *text, long long *value) {
    if (!text || !*text) return false;
    char *end = nullptr;
    *value = std::strtoll(text, &end, 0);
    return *end == '\0';
}

static bool parse_request(const char *text, uint32_t *code) {
    static const struct {
        const char *name;
        uint32_t code;
    } names[] = {
        {"mode-query", SIM_REQ_MODE_QUERY},    {"status", SIM_REQ_PROGRAMMER_STATUS},
        {"size", SIM_REQ_IMAGE_SIZE},          {"command", SIM_REQ_PROGRAMMER_COMMAND},
        {"mode-switch", SIM_REQ_MODE_SWITCH},
    };
    for (const auto &n : names) {
        if (text && std::strcmp(text, n.name) == 0) {
            *code = n.code;
            return true;
        }
    }
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
    if (mode == SIM_MODE_BOOTLOADER) return "bootloader";
    if (mode == SIM_MODE_NORMAL) return "normal operation";
    return "invalid";
}

static void print_run(const char *label, const sim_run &r) {
    std::printf("%s%s  size %lu bytes, received %lu bytes, %s (code 0x%lx), checksum %016llx\n", label,
                r.time.c_str(), (unsigned long)r.announced_size, (unsigned long)r.received_bytes,
                r.error ? "FAILED" : "ok", (unsigned long)r.error, (unsigned long long)r.checksum);
}

// The faults that are set, one per line, named as riffa_sim fault sets them.
static std::vector<std::string> fault_lines(const sim_faults &f) {
    std::vector<std::string> lines;
    char text[96];
    if (f.open_fails) lines.push_back("open-fails");
    if (f.mode_reply_set) {
        std::snprintf(text, sizeof text, "mode-reply 0x%lx", (unsigned long)f.mode_reply);
        lines.push_back(text);
    }
    for (const auto &[code, n] : f.send_counts) {
        std::snprintf(text, sizeof text, "send-count 0x%08lx %d", (unsigned long)code, n);
        lines.push_back(text);
    }
    for (const auto &[code, n] : f.recv_counts) {
        std::snprintf(text, sizeof text, "recv-count 0x%08lx %d", (unsigned long)code, n);
        lines.push_back(text);
    }
    if (f.image_max_words) {
        std::snprintf(text, sizeof text, "image-max-words %d", f.image_max_words);
        lines.push_back(text);
    }
    if (f.image_fail_send) {
        std::snprintf(text, sizeof text, "image-fail-send %d %d", f.image_fail_send, f.image_fail_result);
        lines.push_back(text);
    }
    if (f.programmer_error) {
        std::snprintf(text, sizeof text, "programmer-error 0x%lx", (unsigned long)f.programmer_error);
        lines.push_back(text);
    }
    if (f.busy_polls) {
        std::snprintf(text, sizeof text, "busy-polls %d", f.busy_polls);
        lines.push_back(text);
    }
    return lines;
}

static void print_programmer(const sim_programmer &p) {
    if (p.state == sim_prog_state::idle)
        std::printf("programmer: idle%s\n", p.erased ? ", flash erased" : "");
    else if (p.state == sim_prog_state::programming)
        std::printf("programmer: programming, %lu of %lu bytes received\n", (unsigned long)p.received_bytes,
                    (unsigned long)p.announced_size);
    else
        std::printf("programmer: finished, error code 0x%lx\n", (unsigned long)p.error);
}

static int cmd_show(const std::string &root, const sim_board &b) {
    std::printf("board %d (%s)\n", b.id, sim_board_dir(root, b.id).c_str());
    std::printf("mode: %s (%lu)%s\n", mode_name(b.mode), (unsigned long)b.mode,
                b.reboot_armed ? ", reboot armed" : "");
    print_programmer(b.programmer);
    const std::vector<sim_run> runs = sim_load_history(root, b.id);
    if (runs.empty()) std::printf("last run: none\n");
    else print_run("last run: ", runs.back());
    const std::vector<std::string> faults = fault_lines(b.faults);
    std::printf("faults: %s\n", faults.empty() ? "none" : "");
    for (const std::string &line : faults) std::printf("  %s\n", line.c_str());
    return 0;
}

static int cmd_list(const std::string &root) {
    const std::vector<int> ids = sim_list_boards(root);
    if (ids.empty()) std::printf("no boards under %s (board 0 appears on first use)\n", root.c_str());
    for (int id : ids) {
        sim_board board;
        if (sim_load_board(root, id, &board)) std::printf("board %d: %s mode\n", id, mode_name(board.mode));
    }
    return 0;
}

static int cmd_add(const std::string &root, int id, int argc, char **argv) {
    uint32_t mode = SIM_MODE_NORMAL;
    if (argc > 1 || (argc == 1 && !parse_mode(argv[0], &mode)))
        return usage_error("add takes normal or bootloader");
    if (sim_board_exists(root, id)) return fail("board %d exists", id);
    if (!sim_create_board(root, id, mode)) return fail("cannot create board %d under %s", id, root.c_str());
    std::printf("board %d added in %s mode\n", id, mode_name(mode));
    return 0;
}

static int cmd_remove(const std::string &root, int id) {
    if (!sim_remove_board(root, id)) return fail("cannot remove board %d", id);
    std::printf("board %d removed\n", id);
    return 0;
}

static int cmd_history(const std::string &root, int id) {
    const std::vector<sim_run> runs = sim_load_history(root, id);
    if (runs.empty()) std::printf("board %d: no programming runs\n", id);
    for (const sim_run &r : runs) print_run("", r);
    return 0;
}

static int cmd_verify(const std::string &root, int id, int argc, char **argv) {
    if (argc != 1) return usage_error("verify takes an image file");
    const char *image_path = argv[0];
    std::ifstream image(image_path, std::ios::binary);
    if (!image) return fail("cannot read %s", image_path);
    std::vector<char> want((std::istreambuf_iterator<char>(image)), std::istreambuf_iterator<char>());
    if (want.size() > SIM_FLASH_BYTES)
        return fail("%s is larger than the flash (%zu bytes)", image_path, want.size());
    want.resize((want.size() + 3) / 4 * 4, 0);
    std::ifstream flash(sim_flash_path(root, id), std::ios::binary);
    std::vector<char> have(want.size());
    if (!flash.read(have.data(), std::streamsize(have.size())))
        return fail("cannot read the flash of board %d", id);
    for (size_t i = 0; i < want.size(); ++i) {
        if (want[i] != have[i]) {
            std::printf("flash of board %d differs from %s at byte %zu\n", id, image_path, i);
            return 1;
        }
    }
    const auto *bytes = reinterpret_cast<const unsigned char *>(want.data());
    std::printf("flash of board %d holds %s (%zu bytes with padding, checksum %016llx)\n", id, image_path,
                want.size(), (unsigned long long)sim_checksum(SIM_CHECKSUM_START, bytes, want.size()));
    return 0;
}

// Sets one fault; false when the name or its values are not understood.
static bool set_fault(sim_faults *f, int argc, char **argv) {
    const std::string name = argv[0];
    long long a = 0, b = 0;
    uint32_t code;
    if (name == "open-fails" && argc == 1) {
        f->open_fails = true;
    } else if (name == "mode-reply" && argc == 2 && parse_number(argv[1], &a)) {
        f->mode_reply = uint32_t(a);
        f->mode_reply_set = true;
    } else if (name == "send-count" && argc == 3 && parse_request(argv[1], &code) &&
               parse_number(argv[2], &b)) {
        f->send_counts[code] = int(b);
    } else if (name == "recv-count" && argc == 3 && parse_request(argv[1], &code) &&
               parse_number(argv[2], &b)) {
        f->recv_counts[code] = int(b);
    } else if (name == "image-max-words" && argc == 2 && parse_number(argv[1], &a) && a >= 0) {
        f->image_max_words = int(a);
    } else if (name == "image-fail-send" && (argc == 2 || argc == 3) && parse_number(argv[1], &a) &&
               a >= 1) {
        if (argc == 3 && (!parse_number(argv[2], &b) || b > 0)) return false;
        f->image_fail_send = int(a);
        f->image_fail_result = int(b);
    } else if (name == "programmer-error" && argc == 2 && parse_number(argv[1], &a) && a >= 0 &&
               a <= 15) {
        f->programmer_error = uint32_t(a);
    } else if (name == "busy-polls" && argc == 2 && parse_number(argv[1], &a) && a >= 0) {
        f->busy_polls = int(a);
    } else {
        return false;
    }
    return true;
}

// The commands that change a board: mode, fault and clear-faults.
static int cmd_change(const std::string &root, sim_board *board, const std::string &cmd, int argc,
                      char **argv) {
    if (cmd == "mode") {
        if (argc != 1 || !parse_mode(argv[0], &board->mode))
            return usage_error("mode takes normal or bootloader");
        board->reboot_armed = false;
        board->programmer = sim_programmer{};
    } else if (cmd == "fault") {
        if (argc == 0) return usage_error("fault needs a name");
        if (!set_fault(&board->faults, argc, argv)) return usage_error("unknown fault or bad value");
    } else if (cmd == "clear-faults") {
        board->faults = sim_faults{};
    } else {
        return usage_error("unknown command");
    }
    if (!sim_save_board(root, *board)) return fail("cannot save board %d", board->id);
    return cmd_show(root, *board);
}

// The commands on a board that exists.
static int run_on_board(const std::string &root, int id, const std::string &cmd, int argc, char **argv) {
    if (cmd == "remove") return cmd_remove(root, id);
    if (cmd == "history") return cmd_history(root, id);
    if (cmd == "verify") return cmd_verify(root, id, argc, argv);
    sim_board board;
    if (!sim_load_board(root, id, &board)) return fail("cannot read board %d", id);
    if (cmd == "show") return cmd_show(root, board);
    return cmd_change(root, &board, cmd, argc, argv);
}

int main(int argc, char **argv) {
    int arg = 1;
    int id = 0;
    if (arg + 1 < argc && std::strcmp(argv[arg], "-b") == 0) {
        long long v;
        if (!parse_number(argv[arg + 1], &v)) return usage_error("bad board id");
        id = int(v);
        arg += 2;
    }
    if (arg >= argc) return usage_error("no command");
    const std::string cmd = argv[arg++];
    const std::string root = sim_root();
    if (cmd == "help" || cmd == "--help") {
        std::fputs(USAGE, stdout);
        return 0;
    }
    if (cmd == "list") return cmd_list(root);
    if (cmd == "add") return cmd_add(root, id, argc - arg, argv + arg);
    // Board 0 exists once anything has used it; create it here too.
    if (!sim_board_exists(root, id) && !(id == 0 && sim_create_board(root, 0, SIM_MODE_NORMAL)))
        return fail("no board %d under %s", id, root.c_str());
    return run_on_board(root, id, cmd, argc - arg, argv + arg);
}
