// riffa_sim: manages the virtual boards that stand in for RIFFA hardware.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "help.h"
#include "sim_boards.h"
#include "sim_bus.h"
#include "sim_gateware.h"
#include "sim_paths.h"
#include "sim_platform.h"
#include "sim_text.h"
#include "sim_transaction.h"

// What a command needs before it runs: nothing (it finds boards itself), or
// a board that exists, where board 0 appears on first use unless the
// command is one that must not create it.
enum class board_use { itself, existing, existing_only };

struct command {
    const char *name;
    const char *usage;  // its line of the help
    board_use board;
    int (*run)(const std::string &root, int id, int argc, char **argv);
};

static void print_help(std::FILE *stream);

static int usage_error(const char *what) {
    std::fprintf(stderr, "riffa_sim: %s\n", what);
    print_help(stderr);
    return 2;
}

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

static const sim_name<uint32_t> MODES[] = {{"normal", SIM_MODE_NORMAL}, {"bootloader", SIM_MODE_BOOTLOADER}};

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

// The faults that are set, one line each, named as riffa_sim fault sets them.
static std::string fault_lines(const sim_faults &f) {
    std::string lines;
    if (f.open_fails) lines += "  open-fails\n";
    if (f.mode_reply_set) lines += sim_format("  mode-reply 0x%lx\n", (unsigned long)f.mode_reply);
    for (const auto &[code, n] : f.send_counts) lines += sim_format("  send-count 0x%08x %d\n", unsigned(code), n);
    for (const auto &[code, n] : f.recv_counts) lines += sim_format("  recv-count 0x%08x %d\n", unsigned(code), n);
    if (f.image_max_words) lines += sim_format("  image-max-words %d\n", f.image_max_words);
    if (f.image_fail_send) lines += sim_format("  image-fail-send %d %d\n", f.image_fail_send, f.image_fail_result);
    if (f.programmer_error) lines += sim_format("  programmer-error 0x%lx\n", (unsigned long)f.programmer_error);
    if (f.busy_polls) lines += sim_format("  busy-polls %d\n", f.busy_polls);
    if (f.stays_off_bus) lines += "  stays-off-bus\n";
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

// Whether the PC finds the board, and for how long a reboot takes it away.
static void print_bus(const sim_board &b) {
    const long long wait = sim_bus_wait_ms(b, sim_now_ms());
    if (wait < 0) std::printf("bus: off, rebooting, back only after riffa_sim rescan\n");
    else if (wait > 0) std::printf("bus: off, rebooting, back in %lld ms\n", wait);
    else std::printf("bus: on\n");
    std::printf("reboot time: %d ms\n", b.reboot_time_ms);
    std::printf("bus model: %s\n", sim_bus_model_name(b.bus));
    std::printf("reboots: %lu\n", (unsigned long)b.boot);
}

static int cmd_show(const std::string &root, int id, int, char **) {
    sim_board b;
    std::vector<sim_run> runs;
    std::string error;
    if (!sim_read_board(root, id, &b, &error, &runs)) return fail("board %d: %s", id, error.c_str());
    std::printf("board %d (%s)\n", b.id, sim_board_dir(root, b.id).c_str());
    std::printf("mode: %s (%lu)%s\n", mode_name(b.mode), (unsigned long)b.mode,
                b.reboot_armed ? ", reboot armed" : "");
    print_bus(b);
    print_programmer(b.programmer);
    if (runs.empty()) std::printf("last run: none\n");
    else print_run("last run: ", runs.back());
    const std::string faults = fault_lines(b.faults);
    std::printf("faults: %s\n%s", faults.empty() ? "none" : "", faults.c_str());
    return 0;
}

static int cmd_list(const std::string &root, int, int, char **) {
    std::string error;
    const std::vector<int> ids = sim_list_boards(root, &error);
    if (!error.empty()) return fail("%s", error.c_str());
    if (ids.empty()) std::printf("no boards under %s (board 0 appears on first use)\n", root.c_str());
    int status = 0;
    for (int id : ids) {
        sim_board board;
        if (sim_read_board(root, id, &board, &error))
            std::printf("board %d: %s mode%s (%s bus)\n", id, mode_name(board.mode),
                        sim_off_bus(board, sim_now_ms()) ? ", rebooting" : "", sim_bus_model_name(board.bus));
        else
            status = fail("board %d: %s", id, error.c_str());
    }
    return status;
}

static int cmd_add(const std::string &root, int id, int argc, char **argv) {
    uint32_t mode = SIM_MODE_NORMAL;
    if (argc > 1 || (argc == 1 && !sim_parse_name(argv[0], MODES, &mode)))
        return usage_error("add takes normal or bootloader");
    if (sim_board_exists(root, id)) return fail("board %d exists", id);
    std::string error;
    if (!sim_create_board(root, id, mode, &error))
        return fail("cannot create board %d: %s", id, error.c_str());
    std::printf("board %d added in %s mode\n", id, mode_name(mode));
    return 0;
}

static int cmd_remove(const std::string &root, int id, int, char **) {
    std::string error;
    if (!sim_remove_board(root, id, &error)) return fail("cannot remove board %d: %s", id, error.c_str());
    std::printf("board %d removed\n", id);
    return 0;
}

static int cmd_history(const std::string &root, int id, int, char **) {
    sim_board board;
    std::vector<sim_run> runs;
    std::string error;
    if (!sim_read_board(root, id, &board, &error, &runs)) return fail("board %d: %s", id, error.c_str());
    if (runs.empty()) std::printf("board %d: no programming runs\n", id);
    for (const sim_run &r : runs) print_run("", r);
    return 0;
}

// Compares the flash with what a good run of the image leaves there: its
// bytes, the last word zero-padded as the flasher sends it, then erased
// flash. Returns 1 when they agree (offset is then the padded size), 0 when
// they differ at offset, -1 when a file can't be read.
static int compare_with_flash(std::ifstream &image, std::ifstream &flash, size_t *offset, uint64_t *checksum) {
    std::vector<char> want(SIM_FLASH_BYTES, char(0xFF)), have(SIM_FLASH_BYTES);
    image.read(want.data(), std::streamsize(want.size()));
    size_t padded = size_t(image.gcount());
    if (image.bad() || !flash.read(have.data(), std::streamsize(have.size()))) return -1;
    while (padded % 4 != 0) want[padded++] = 0;
    *checksum = sim_checksum(SIM_CHECKSUM_START, reinterpret_cast<const unsigned char *>(want.data()), padded);
    *offset = size_t(std::mismatch(want.begin(), want.end(), have.begin()).first - want.begin());
    if (*offset < want.size()) return 0;
    *offset = padded;
    return 1;
}

// Why a flash that holds an image's bytes does not hold that image as a
// programming run left it; empty when the last run wrote exactly this image
// (its size and checksum) and finished without error.
static std::string run_doubt(const sim_board &b, const std::vector<sim_run> &runs, uintmax_t size,
                             uint64_t checksum) {
    if (b.programmer.state == sim_prog_state::programming) return "the last programming run did not finish";
    if (runs.empty()) return "no programming run wrote this image";
    const sim_run &last = runs.back();
    if (last.error) return sim_format("the last programming run ended with code 0x%lx", (unsigned long)last.error);
    if (last.announced_size != size || last.checksum != checksum) return "the last programming run wrote another image";
    return "";
}

static int cmd_verify(const std::string &root, int id, int argc, char **argv) {
    if (argc != 1) return usage_error("verify takes an image file");
    const char *image_path = argv[0];
    std::error_code ec;
    const std::filesystem::file_status st = std::filesystem::status(sim_fs_path(image_path), ec);
    if (ec) return fail("cannot read %s: %s", image_path, ec.message().c_str());
    // Checked before opening: a FIFO would block, a device never end.
    if (!std::filesystem::is_regular_file(st)) return fail("%s is not a regular file", image_path);
    const uintmax_t size = std::filesystem::file_size(sim_fs_path(image_path), ec);
    if (ec) return fail("cannot read %s: %s", image_path, ec.message().c_str());
    if (size > SIM_FLASH_BYTES) return fail("%s is larger than the flash (%ju bytes)", image_path, size);
    std::ifstream image(image_path, std::ios::binary);
    if (!image) return fail("cannot read %s: %s", image_path, std::strerror(errno));
    const std::string flash_path = sim_flash_path(root, id);
    int status = 1;
    std::string error;
    // Under the state lock: the flash and its record as one moment has them.
    const bool looked = sim_look_at_board(root, id, [&](const sim_board &b, const std::vector<sim_run> &runs) {
        std::ifstream flash(flash_path, std::ios::binary);
        if (!flash) {
            status = fail("cannot read the flash of board %d: %s: %s", id, flash_path.c_str(), std::strerror(errno));
            return true;
        }
        size_t offset;
        uint64_t checksum;
        const int holds = compare_with_flash(image, flash, &offset, &checksum);
        if (holds < 0) status = fail("cannot read %s or the flash of board %d", image_path, id);
        else if (!holds) std::printf("flash of board %d differs from %s at byte %zu\n", id, image_path, offset);
        else if (const std::string doubt = run_doubt(b, runs, size, checksum); !doubt.empty())
            std::printf("flash of board %d holds the bytes of %s, but %s\n", id, image_path, doubt.c_str());
        else {
            std::printf("flash of board %d holds %s (%zu bytes with padding, checksum %016llx)\n", id, image_path,
                        offset, (unsigned long long)checksum);
            status = 0;
        }
        return true;
    }, &error);
    return looked ? status : fail("board %d: %s", id, error.c_str());
}

// The requests a fault can name, as the tools send them.
static const sim_name<long long> REQUESTS[] = {
    {"mode-query", SIM_REQ_MODE_QUERY}, {"status", SIM_REQ_PROGRAMMER_STATUS}, {"size", SIM_REQ_IMAGE_SIZE},
    {"command", SIM_REQ_PROGRAMMER_COMMAND}, {"mode-switch", SIM_REQ_MODE_SWITCH}};

// One value of a fault: a number within [low, high], or for a request also
// its name.
struct fault_value {
    const char *name;  // as the help calls it
    long long low, high;
    bool request;
};

// A fault as riffa_sim sets it: its name, its line of the help, its values
// (those after the required ones may be left out and are then 0), and how it
// is set.
struct fault_kind {
    const char *name;
    const char *usage;
    size_t required;
    std::vector<fault_value> values;
    void (*set)(sim_faults *f, const long long *v);
};

// Every fault, in the order of the help.
static const fault_kind FAULT_KINDS[] = {
    {"open-fails", "  open-fails                  fpga_open returns null\n", 0, {},
     [](sim_faults *f, const long long *) { f->open_fails = true; }},
    {"mode-reply", "  mode-reply VALUE            the mode query replies VALUE\n", 1,
     {{"VALUE", 0, UINT32_MAX, false}},
     [](sim_faults *f, const long long *v) { f->mode_reply = uint32_t(v[0]); f->mode_reply_set = true; }},
    {"send-count", "  send-count REQUEST COUNT    control sends of REQUEST report COUNT words\n", 2,
     {{"REQUEST", 0, UINT32_MAX, true}, {"COUNT", INT_MIN, INT_MAX, false}},
     [](sim_faults *f, const long long *v) { f->send_counts[uint32_t(v[0])] = int(v[1]); }},
    {"recv-count", "  recv-count REQUEST COUNT    the reply to REQUEST reports COUNT words (0: reply lost)\n", 2,
     {{"REQUEST", 0, UINT32_MAX, true}, {"COUNT", INT_MIN, INT_MAX, false}},
     [](sim_faults *f, const long long *v) { f->recv_counts[uint32_t(v[0])] = int(v[1]); }},
    {"image-max-words", "  image-max-words N           image sends take at most N words each\n", 1,
     {{"N", 0, INT_MAX, false}}, [](sim_faults *f, const long long *v) { f->image_max_words = int(v[0]); }},
    {"image-fail-send", "  image-fail-send K [RESULT]  the K-th image send moves nothing, returns RESULT (0)\n", 1,
     {{"K", 1, INT_MAX, false}, {"RESULT", INT_MIN, 0, false}},
     [](sim_faults *f, const long long *v) { f->image_fail_send = int(v[0]); f->image_fail_result = int(v[1]); }},
    {"programmer-error", "  programmer-error E          programming ends with error code E\n", 1,
     {{"E", 0, 15, false}}, [](sim_faults *f, const long long *v) { f->programmer_error = uint32_t(v[0]); }},
    {"busy-polls", "  busy-polls B                B status polls answer busy before done\n", 1,
     {{"B", 0, INT_MAX, false}}, [](sim_faults *f, const long long *v) { f->busy_polls = int(v[0]); }},
    {"stays-off-bus", "  stays-off-bus               after a reboot, off the bus until a rescan\n", 0, {},
     [](sim_faults *f, const long long *) { f->stays_off_bus = true; }},
};

// A reboot time in milliseconds: decimal digits alone, 0 to 600000.
static bool parse_reboot_time(const char *text, int *ms) {
    const size_t digits = std::strspn(text, "0123456789");
    if (digits == 0 || digits > 6 || text[digits] != '\0') return false;
    const long value = std::strtol(text, nullptr, 10);
    if (value > SIM_REBOOT_TIME_MAX_MS) return false;
    *ms = int(value);
    return true;
}

// Applies edit under the board's state lock, so that it takes effect also
// while a program is using the board, then shows the board.
static int change_board(const std::string &root, int id, const std::function<void(sim_board &)> &edit,
                        bool mend_faults = false) {
    std::string error;
    if (!sim_update_board(root, id, edit, &error, mend_faults)) return fail("board %d: %s", id, error.c_str());
    return cmd_show(root, id, 0, nullptr);
}

static int cmd_mode(const std::string &root, int id, int argc, char **argv) {
    uint32_t mode = SIM_MODE_NORMAL;
    if (argc != 1 || !sim_parse_name(argv[0], MODES, &mode)) return usage_error("mode takes normal or bootloader");
    return change_board(root, id, [&](sim_board &b) {
        b.mode = mode;
        b.reboot_armed = false;
        b.programmer = sim_programmer{};
    });
}

// "NAME VALUE...": every value is checked before the board is changed.
static int cmd_fault(const std::string &root, int id, int argc, char **argv) {
    if (argc == 0) return usage_error("fault needs a name");
    const fault_kind *kind = nullptr;
    for (const fault_kind &k : FAULT_KINDS)
        if (std::strcmp(argv[0], k.name) == 0) kind = &k;
    const size_t given = size_t(argc - 1);
    if (!kind || given < kind->required || given > kind->values.size())
        return usage_error("unknown fault or bad value");
    long long values[2] = {0, 0};
    for (size_t i = 0; i < given; ++i) {
        const fault_value &v = kind->values[i];
        const char *text = argv[i + 1];
        if (!(v.request && sim_parse_name(text, REQUESTS, &values[i])) &&
            !sim_parse_number(text, v.low, v.high, &values[i]))
            return fail("fault %s: %s %s is not %sa number from %lld to %lld", kind->name, v.name, text,
                        v.request ? "a request name or " : "", v.low, v.high);
    }
    return change_board(root, id, [&](sim_board &b) { kind->set(&b.faults, values); });
}

// Clearing the faults also mends faults stored invalid.
static int cmd_clear_faults(const std::string &root, int id, int, char **) {
    return change_board(root, id, [](sim_board &b) { b.faults = sim_faults{}; }, true);
}

static int cmd_reboot_time(const std::string &root, int id, int argc, char **argv) {
    int ms = 0;
    if (argc != 1 || !parse_reboot_time(argv[0], &ms))
        return usage_error("reboot-time takes milliseconds, 0 to 600000");
    return change_board(root, id, [&](sim_board &b) { sim_set_reboot_time(&b, ms); });
}

static int cmd_bus(const std::string &root, int id, int argc, char **argv) {
    sim_bus_model bus;
    if (argc != 1 || !sim_parse_bus_model(argv[0], &bus)) return usage_error("bus takes linux or windows");
    return change_board(root, id, [&](sim_board &b) { b.bus = bus; });
}

static int cmd_rescan(const std::string &root, int id, int argc, char **) {
    if (argc != 0) return usage_error("rescan takes no arguments");
    return change_board(root, id, [](sim_board &b) { b.needs_rescan = false; });
}

// Every command, in the order of the help.
static const command COMMANDS[] = {
    {"list", "  list                        list the boards and their modes\n", board_use::itself, cmd_list},
    {"add", "  add [normal|bootloader]     create the board (normal mode by default)\n", board_use::itself, cmd_add},
    {"remove", "  remove                      delete the board, its flash and history\n", board_use::existing_only,
     cmd_remove},
    {"show", "  show                        mode, programmer, faults and last programming run\n",
     board_use::existing, cmd_show},
    {"history", "  history                     every finished programming run\n", board_use::existing, cmd_history},
    {"mode", "  mode normal|bootloader      set the mode, as a JTAG load would\n", board_use::existing, cmd_mode},
    {"verify", "  verify IMAGE                check that the flash holds exactly IMAGE, erased after it\n",
     board_use::existing, cmd_verify},
    {"fault", "  fault NAME [VALUE...]       set a fault (see below)\n", board_use::existing, cmd_fault},
    {"clear-faults", "  clear-faults                clear every fault\n", board_use::existing, cmd_clear_faults},
    {"reboot-time", "  reboot-time MS              off the bus for MS ms after a reboot (0 to 600000)\n",
     board_use::existing, cmd_reboot_time},
    {"rescan", "  rescan                      bring the board back on the bus, as a PCI rescan\n",
     board_use::existing, cmd_rescan},
    {"bus", "  bus linux|windows           show the reboot as that platform's RIFFA driver does\n",
     board_use::existing, cmd_bus},
};

static void print_help(std::FILE *stream) {
    std::fputs(HELP_HEAD, stream);
    for (const command &c : COMMANDS) std::fputs(c.usage, stream);
    std::fputs(HELP_FAULTS, stream);
    for (const fault_kind &f : FAULT_KINDS) std::fputs(f.usage, stream);
    std::fputs(HELP_TAIL, stream);
}

// A whole decimal number with an optional sign, saturated to the range of
// int as the tools read a board id; false for anything else.
static bool parse_saturated_decimal(const char *text, int *id) {
    const char *digits = text + (*text == '-' || *text == '+');
    if (*digits == '\0' || std::strspn(digits, "0123456789") != std::strlen(digits)) return false;
    errno = 0;
    const long long value = std::strtoll(text, nullptr, 10);
    if (errno == ERANGE || value > INT_MAX || value < INT_MIN) *id = *text == '-' ? INT_MIN : INT_MAX;
    else *id = int(value);
    return true;
}

// Makes sure the board exists: board 0 appears on first use, as it does for
// the tools, unless create_zero is false.
static int find_board(const std::string &root, int id, bool create_zero) {
    std::string error;
    const sim_found found = sim_find_board(root, id, false, &error);
    if (found == sim_found::unknown) return fail("board %d: %s", id, error.c_str());
    if (found == sim_found::yes) return 0;
    if (id != 0 || !create_zero) return fail("no board %d under %s", id, root.c_str());
    if (sim_find_board(root, 0, true, &error) != sim_found::yes)
        return fail("cannot create board %d: %s", id, error.c_str());
    return 0;
}

int main(int argc, char **argv) {
    int arg = 1;
    int id = 0;
    if (arg < argc && std::strcmp(argv[arg], "-b") == 0) {
        if (arg + 1 >= argc) return usage_error("-b needs a board id");
        if (!parse_saturated_decimal(argv[arg + 1], &id)) return usage_error("bad board id");
        arg += 2;
    }
    if (arg >= argc) return usage_error("no command");
    const std::string name = argv[arg++];
    if (name == "help" || name == "--help" || name == "-h") {
        print_help(stdout);
        return 0;
    }
    if (name == "--version") {
        std::printf("riffa_sim %s\n", ZEDA_VERSION);
        return 0;
    }
    const command *cmd = nullptr;
    for (const command &c : COMMANDS)
        if (name == c.name) cmd = &c;
    if (!cmd) return usage_error("unknown command");
    std::string error;
    const std::string root = sim_root(&error);
    if (root.empty()) return fail("%s", error.c_str());
    if (cmd->board != board_use::itself)
        if (int status = find_board(root, id, cmd->board == board_use::existing)) return status;
    return cmd->run(root, id, argc - arg, argv + arg);
}
