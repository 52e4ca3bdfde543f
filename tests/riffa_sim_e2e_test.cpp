// The riffa_sim control program, as a person setting up a rehearsal uses it.
#include "sim_fixture.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <cstdlib>
#include <filesystem>

#include "board_link.h"
#include "file_lock.h"
#include "riffa.h"
#include "sim_bus.h"

namespace {

class RiffaSimProgram : public SimBoardTest {
protected:
    ToolResult sim(std::vector<std::string> args) { return run("riffa_sim", std::move(args)); }
    ToolResult sim_run(const ToolRun &how) { return run("riffa_sim", how); }
};

bool ends_with(const std::string &s, const std::string &end) {
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

// Windows programs under Wine: what the test process holds or makes of a
// Unix file is not what they see.
bool under_wine() { return std::getenv("ZEDA_TEST_RUNNER") != nullptr; }

// The bus model riffa_sim gives a new board: its platform's.
std::string new_bus() { return under_wine() ? "windows" : "linux"; }

TEST_F(RiffaSimProgram, AddListShowModeRemove) {
    EXPECT_EQ(sim({"-b", "2", "add", "bootloader"}).status, 0);
    EXPECT_EQ(sim({"-b", "2", "add"}).status, 1) << "exists already";
    EXPECT_EQ(sim({"show"}).status, 0) << "board 0 appears on first use";
    ToolResult r = sim({"list"});
    EXPECT_EQ(r.out, "board 0: normal operation mode (" + new_bus() + " bus)\nboard 2: bootloader mode (" + new_bus() +
                         " bus)\n");
    r = sim({"-b", "2", "mode", "normal"});
    EXPECT_NE(r.out.find("mode: normal operation (3)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("faults: none"), std::string::npos) << r.out;
    EXPECT_EQ(board(2).mode, SIM_MODE_NORMAL);
    EXPECT_EQ(sim({"-b", "2", "remove"}).status, 0);
    EXPECT_FALSE(sim_board_exists(root_, 2));
    EXPECT_EQ(sim({"-b", "2", "show"}).status, 1);
}

TEST_F(RiffaSimProgram, RebootTimeRebootingAndRescan) {
    EXPECT_EQ(sim({"reboot-time", "600000"}).status, 0);
    EXPECT_EQ(sim({"fault", "stays-off-bus"}).status, 0);
    ASSERT_EQ(run("zeda_pcie_mode_change", {}, "y\n").status, 0);
    EXPECT_EQ(sim({"list"}).out, "board 0: bootloader mode, rebooting (" + new_bus() + " bus)\n");
    EXPECT_NE(sim({"show"}).out.find("bus: off, rebooting, back only after riffa_sim rescan\nreboot time: 600000 ms\n"
                                     "bus model: " + new_bus() + "\nreboots: 1\n"),
              std::string::npos);
    EXPECT_NE(sim({"bus", "windows"}).out.find("bus model: windows\n"), std::string::npos);
    EXPECT_NE(sim({"bus", "linux"}).out.find("bus model: linux\n"), std::string::npos);
    EXPECT_NE(sim({"rescan"}).out.find("bus: off, rebooting, back in "), std::string::npos) << "the reboot lasts";
    EXPECT_NE(sim({"reboot-time", "0"}).out.find("bus: on\n"), std::string::npos);
}

TEST_F(RiffaSimProgram, FaultValuesAreCheckedWhenSet) {
    struct Case {
        std::vector<std::string> args;
        std::string shown;  // the fault as show then lists it, or the refusal
    };
    const Case cases[] = {
        {{"busy-polls", "010"}, "  busy-polls 10\n"},
        {{"recv-count", "mode-query", "0"}, "  recv-count 0x2f000001 0\n"},
        {{"send-count", "0x0F000000", "0"}, "  send-count 0x0f000000 0\n"},
        {{"image-fail-send", "3", "-1"}, "  image-fail-send 3 -1\n"},
        {{"programmer-error", "0x5"}, "  programmer-error 0x5\n"},
        {{"busy-polls", "08"}, "  busy-polls 8\n"},
        {{"mode-reply", "0xffffffff"}, "  mode-reply 0xffffffff\n"},
        {{"programmer-error", "16"}, "fault programmer-error: E 16 is not a number from 0 to 15"},
        {{"busy-polls", "3000000000"}, "fault busy-polls: B 3000000000 is not a number from 0 to 2147483647"},
        {{"busy-polls", "2147483648"}, "fault busy-polls: B 2147483648 is not a number from 0 to 2147483647"},
        {{"busy-polls", "1e3"}, "fault busy-polls: B 1e3 is not a number from 0 to 2147483647"},
        {{"image-max-words", "3000000000"}, "fault image-max-words: N 3000000000 is not a number from 0 to 2147483647"},
        {{"image-max-words", "4294967297"}, "fault image-max-words: N 4294967297 is not a number from 0 to 2147483647"},
        {{"image-fail-send", "3000000000"}, "fault image-fail-send: K 3000000000 is not a number from 1 to 2147483647"},
        {{"image-fail-send", "1", "-3000000000"},
         "fault image-fail-send: RESULT -3000000000 is not a number from -2147483648 to 0"},
        {{"mode-reply", "99999999999"}, "fault mode-reply: VALUE 99999999999 is not a number from 0 to 4294967295"},
        {{"send-count", "size", "99999999999999999999"},
         "fault send-count: COUNT 99999999999999999999 is not a number from -2147483648 to 2147483647"},
        {{"recv-count", "sizes", "0"},
         "fault recv-count: REQUEST sizes is not a request name or a number from 0 to 4294967295"},
    };
    for (const Case &c : cases) {
        // Each on a board of no faults: a fault shown after it was cleared fails the next case.
        EXPECT_EQ(sim({"clear-faults"}).status, 0);
        const std::string before = state_text();
        std::vector<std::string> args = {"fault"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ToolResult r = sim(args);
        if (c.shown.rfind("fault ", 0) == 0) {
            EXPECT_EQ(r.err, "riffa_sim: " + c.shown + "\n") << c.args[1];
            EXPECT_EQ(r.status, 1) << c.args[1];
            EXPECT_EQ(state_text(), before) << c.args[1] << ": the board changed";
        } else {
            EXPECT_TRUE(ends_with(r.out, "faults: \n" + c.shown)) << c.args[1] << ": " << r.out << r.err;
            EXPECT_EQ(r.status, 0) << c.args[1];
        }
    }
}

TEST_F(RiffaSimProgram, ClearFaultsMendsFaultsStoredInvalidAndKeepsTheRest) {
    add_board(0, SIM_MODE_BOOTLOADER);
    const std::vector<unsigned char> bytes = sample_bytes(3000);
    ASSERT_EQ(run("zeda_pcie_flash_image", {write_file("image.bin", bytes)}).status, 0);
    // As an older riffa_sim stored busy-polls 3000000000.
    std::string text = state_text();
    const size_t at = text.find("fault_busy_polls 0\n");
    ASSERT_NE(at, std::string::npos);
    write_state(text.replace(at, 18, "fault_busy_polls -1294967296"));
    const std::string refusal =
        "state: line 21: bad value for fault_busy_polls (riffa_sim clear-faults clears the faults)\n";
    const ToolResult show = sim({"show"});
    EXPECT_EQ(show.err.rfind("riffa_sim: board 0: ", 0), 0u) << show.err;
    EXPECT_TRUE(ends_with(show.err, refusal)) << show.err;
    EXPECT_EQ(show.status, 1);
    const ToolResult query = run("zeda_pcie_get_mode", {}, "\n");
    EXPECT_TRUE(ends_with(query.err, refusal)) << query.err;
    EXPECT_NE(query.out.find("Could not get FPGA 0"), std::string::npos) << query.out;

    const ToolResult mended = sim({"clear-faults"});
    EXPECT_EQ(mended.status, 0) << mended.err;
    EXPECT_NE(mended.out.find("mode: bootloader (2)"), std::string::npos) << mended.out;
    EXPECT_TRUE(ends_with(mended.out, "faults: none\n")) << mended.out;
    expect_one_good_run(3000, bytes);
    expect_flash_holds(bytes);
}

// The board's folder on a disk of its own that a filler file fills but for
// one page: room for one small file more.
class FullDisk {
public:
    explicit FullDisk(const std::string &at) : at_(at) {
        mounted_ = mount("tmpfs", at.c_str(), "tmpfs", 0, "size=9m") == 0;
        if (!mounted_) why_ = std::strerror(errno);
    }
    ~FullDisk() {
        if (mounted_) umount2(at_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    const std::string &why() const { return why_; }
    void fill_but_one_page() {
        const std::string path = at_ + "/filler";
        std::FILE *f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::setvbuf(f, nullptr, _IONBF, 0);
        static const char block[4096] = {};
        while (std::fwrite(block, 1, sizeof block, f) == sizeof block) {
        }
        std::fclose(f);
        const uintmax_t pages = (std::filesystem::file_size(path) + 4095) / 4096;
        ASSERT_GT(pages, 0u);
        std::filesystem::resize_file(path, (pages - 1) * 4096);
    }

private:
    std::string at_, why_;
    bool mounted_ = false;
};

TEST_F(RiffaSimProgram, AFullDiskLeavesHistoryStateAndFlasherInAgreement) {
    if (under_wine()) GTEST_SKIP() << "a Linux mount";
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to mount a small tmpfs as a disk that fills up";
    FullDisk disk(root_);
    if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here: " << disk.why();
    add_board(0, SIM_MODE_BOOTLOADER);
    EXPECT_EQ(sim({"show"}).status, 0) << "its lock file made";
    const std::string image = write_file("image.bin", sample_bytes(300001));
    disk.fill_but_one_page();

    const ToolResult r = run("zeda_pcie_flash_image", {image});
    EXPECT_TRUE(ends_with(r.err, "Programming hardware error. Code:    0xf\n")) << r.err;
    EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
    EXPECT_EQ(r.status, 1);
    const ToolResult history = sim({"history"});
    EXPECT_EQ(history.out, "board 0: no programming runs\n") << history.err;
    const ToolResult show = sim({"show"});
    EXPECT_NE(show.out.find("programmer: programming, "), std::string::npos) << show.out << show.err;
    EXPECT_NE(show.out.find("last run: none\n"), std::string::npos) << show.out;
}

TEST_F(RiffaSimProgram, VerifyHoldsOnlyForTheImageThatTheLastRunWroteWithoutError) {
    // Across verify's 64 KiB blocks and the board's 256 KiB writes, its last word padded.
    const std::vector<unsigned char> a = sample_bytes(262147);
    std::vector<unsigned char> big = sample_bytes(SIM_FLASH_BYTES, 3);
    const auto changed = [](std::vector<unsigned char> bytes, size_t at) { bytes[at] ^= 0x5A; return bytes; };
    const auto plus = [](std::vector<unsigned char> bytes, unsigned char byte) { bytes.push_back(byte); return bytes; };
    const std::string doubt = "holds the bytes of IMAGE, but ";
    struct Check {
        std::vector<unsigned char> image;
        std::string says;  // after "flash of board 0 "
    };
    struct Case {
        const char *board;
        std::function<void()> make;
        std::vector<Check> checks;
    };
    const auto flash_a = [&] { ASSERT_EQ(run("zeda_pcie_flash_image", {write_file("a.bin", a)}).status, 0); };
    const Case cases[] = {
        {"fresh",
         [] {},
         {{{}, doubt + "no programming run wrote this image"},
          {std::vector<unsigned char>(SIM_FLASH_BYTES, 0xFF), doubt + "no programming run wrote this image"}}},
        {"flashed with a",
         flash_a,
         {{a, "holds IMAGE (262148 bytes with padding, checksum "},
          {plus(a, 0), doubt + "the last programming run wrote another image"},
          {{a.begin(), a.begin() + 262144}, "differs from IMAGE at byte 262144"},
          {changed(a, 262146), "differs from IMAGE at byte 262146"},
          {plus(a, 0x5A), "differs from IMAGE at byte 262147"},
          {sample_bytes(262147, 2), "differs from IMAGE at byte 0"}}},
        {"a run that ended with code 5",
         [&] {
             ASSERT_EQ(sim({"fault", "programmer-error", "5"}).status, 0);
             ASSERT_EQ(run("zeda_pcie_flash_image", {write_file("a.bin", a)}).status, 1);
         },
         {{a, doubt + "the last programming run ended with code 0x5"}}},
        {"a run that did not finish",
         [&] {
             flash_a();
             edit_board(0, [](sim_board &b) { b.programmer.state = sim_prog_state::programming; });
         },
         {{a, doubt + "the last programming run did not finish"}}},
        {"flashed with 8 MiB",
         [&] { ASSERT_EQ(run("zeda_pcie_flash_image", {write_file("big.bin", big)}).status, 0); },
         {{big, "holds IMAGE (8388608 bytes with padding, checksum "},
          {changed(big, 65535), "differs from IMAGE at byte 65535"},
          {changed(big, SIM_FLASH_BYTES - 1), "differs from IMAGE at byte 8388607"}}},
    };
    for (const Case &c : cases) {
        add_board(0, SIM_MODE_BOOTLOADER);
        c.make();
        for (const Check &check : c.checks) {
            const std::string image = write_file("image.bin", check.image);
            std::string says = check.says;
            says.replace(says.find("IMAGE"), 5, image);
            const ToolResult r = sim({"verify", image});
            EXPECT_EQ(r.out.rfind("flash of board 0 " + says, 0), 0u) << c.board << ": " << r.out << r.err;
            EXPECT_EQ(r.status, says.rfind("holds " + image, 0) == 0 ? 0 : 1) << c.board << ": " << says;
        }
        sim_remove_board(root_, 0);
    }
}

TEST_F(RiffaSimProgram, CommandLine) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out_start, err_start;
    };
    const Case cases[] = {
        {{"-b"}, 2, "", "riffa_sim: -b needs a board id\nUsage: riffa_sim"},
        {{"-b", "1x", "show"}, 2, "", "riffa_sim: bad board id\n"},
        {{"-b", "7", "frobnicate"}, 2, "", "riffa_sim: unknown command\n"},
        {{}, 2, "", "riffa_sim: no command\nUsage: riffa_sim"},
        {{"-h"}, 0, "Usage: riffa_sim", ""},
        {{"--help"}, 0, "Usage: riffa_sim", ""},
        {{"--version"}, 0, "riffa_sim 1.", ""},
    };
    for (const Case &c : cases) {
        const ToolResult r = sim(c.args);
        EXPECT_EQ(r.status, c.status) << c.err_start;
        EXPECT_EQ(r.out.rfind(c.out_start, 0), 0u) << c.err_start << ": " << r.out;
        EXPECT_EQ(r.err.rfind(c.err_start, 0), 0u) << c.err_start << ": " << r.err;
        if (c.err_start.empty()) {
            EXPECT_EQ(r.err, "");
        }
    }
    EXPECT_FALSE(sim_board_exists(root_, 0)) << "none of these touches a board";
}

TEST_F(RiffaSimProgram, ACommandGivenWhatItDoesNotTakeSaysWhatItTakes) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"mode", "sideways"}, "mode takes normal or bootloader"},
        {{"bus", "macos"}, "bus takes linux or windows"},
        {{"fault", "no-such-fault"}, "unknown fault or bad value"},
        {{"reboot-time", "600001"}, "reboot-time takes milliseconds, 0 to 600000"},
        {{"reboot-time", "0x10"}, "reboot-time takes milliseconds, 0 to 600000"},
        {{"reboot-time", "-1"}, "reboot-time takes milliseconds, 0 to 600000"},
        {{"reboot-time", "1e3"}, "reboot-time takes milliseconds, 0 to 600000"},
        {{"reboot-time", ""}, "reboot-time takes milliseconds, 0 to 600000"},
    };
    for (const auto &[args, problem] : cases) {
        const ToolResult r = sim(args);
        EXPECT_EQ(r.err.rfind("riffa_sim: " + problem + "\nUsage: riffa_sim", 0), 0u) << args[1] << ": " << r.err;
        EXPECT_EQ(r.status, 2) << args[1];
    }
}

TEST_F(RiffaSimProgram, BoardIdsBeyondAnIntSaturateAsTheToolsReadThem) {
    EXPECT_EQ(sim({"-b", "4294967296", "add"}).status, 0);
    EXPECT_EQ(sim({"-b", "-9999999999", "add", "bootloader"}).status, 0);
    EXPECT_TRUE(sim_board_exists(root_, INT_MAX));
    EXPECT_TRUE(sim_board_exists(root_, INT_MIN));
    EXPECT_EQ(sim({"-b", "4294967296", "remove"}).status, 0);
    EXPECT_FALSE(sim_board_exists(root_, 0)) << "never wraps round to board 0";
    EXPECT_EQ(sim({"list"}).out, "board -2147483648: bootloader mode (" + new_bus() + " bus)\n");
}

TEST_F(RiffaSimProgram, ListsOnlyFoldersNamedAsABoard) {
    add_board(1, SIM_MODE_NORMAL);
    for (const char *name : {"board01", "board+1", "board", "boardx", ".new-board3-1-1"})
        std::filesystem::create_directory(root_ + "/" + name);
    write_file("sim/board2", {1});
    const ToolResult r = sim({"list"});
    EXPECT_EQ(r.out, std::string("board 1: normal operation mode (") + sim_bus_model_name(board(1).bus) + " bus)\n");
    EXPECT_EQ(r.status, 0);
}

TEST_F(RiffaSimProgram, VerifyRefusesWhatIsNoImageWithoutReadingIt) {
    const std::string big = write_file("big.bin", {});
    std::filesystem::resize_file(big, 4294967296u);  // sparse
    struct Case {
        std::string path, message;
    };
    std::vector<Case> cases = {
        {dir_, dir_ + " is not a regular file"},
        {big, big + " is larger than the flash (4294967296 bytes)"},
    };
    if (!under_wine()) {
        const std::string fifo = dir_ + "/fifo";
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        cases.push_back({fifo, fifo + " is not a regular file"});
        cases.push_back({"/dev/zero", "/dev/zero is not a regular file"});
    }
    for (const Case &c : cases) {
        const ToolResult r = sim({"verify", c.path});
        EXPECT_EQ(r.err, "riffa_sim: " + c.message + "\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, 1);
    }
    const ToolResult r = sim({"verify", dir_ + "/missing.bin"});
    EXPECT_EQ(r.err.rfind("riffa_sim: cannot read " + dir_ + "/missing.bin: ", 0), 0u) << r.err;
    EXPECT_EQ(r.status, 1);
}

TEST_F(RiffaSimProgram, RemoveIsRefusedWhileAProgramHoldsTheBoard) {
    if (under_wine()) GTEST_SKIP() << "a Unix lock is not a Windows one";
    add_board(1, SIM_MODE_NORMAL);
    const char *reason = "";
    const file_lock_t held = file_lock_open(sim_session_lock_path(root_, 1).c_str(), &reason);
    ASSERT_EQ(file_lock_take(held, FILE_LOCK_NO_WAIT, &reason), FILE_LOCK_HELD);
    ToolResult r = sim({"-b", "1", "remove"});
    EXPECT_EQ(r.err, "riffa_sim: cannot remove board 1: it is in use by another program\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(sim({"-b", "1", "fault", "busy-polls", "2"}).status, 0) << "its state can still be changed";
    file_lock_close(held);
    EXPECT_EQ(board(1).faults.busy_polls, 2);
    EXPECT_EQ(sim({"-b", "1", "remove"}).status, 0);
    EXPECT_TRUE(std::filesystem::is_empty(root_)) << "nothing left of it";
}

TEST_F(RiffaSimProgram, AnInvalidStateIsReportedAndLeftAsItIs) {
    add_board(0, SIM_MODE_NORMAL);
    write_state("mode 2\n");
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"show"}, {"list"}, {"fault", "open-fails"}, {"mode", "bootloader"}}) {
        const ToolResult r = sim(args);
        EXPECT_EQ(r.err.rfind("riffa_sim: board 0: ", 0), 0u) << args[0] << ": " << r.err;
        EXPECT_TRUE(ends_with(r.err, "state: not a riffa_sim board state (no version line)\n")) << r.err;
        EXPECT_EQ(r.status, 1) << args[0];
    }
    EXPECT_EQ(state_text(), "mode 2\n");
}

TEST_F(RiffaSimProgram, EveryRefusalSaysWhyAndNoneHangs) {
    if (under_wine()) GTEST_SKIP() << "POSIX files and users";
    namespace fs = std::filesystem;
    const std::string board0 = sim_board_dir(root_, 0);
    const std::string run16 = "2026-01-01T00:00:00Z size=8 received=8 error=16 checksum=00000000000000ab\n";
    struct Case {
        const char *what;
        const char *command;
        std::function<void()> make;
        std::string reason;
        bool other_user;  // run as a user who is not the folder's owner
    };
    const Case cases[] = {
        {"a FIFO for the state", "show",
         [&] {
             fs::remove(board0 + "/state");
             mkfifo((board0 + "/state").c_str(), 0644);
         },
         board0 + "/state: not a regular file", false},
        {"a folder for the history", "history", [&] { fs::create_directory(board0 + "/history"); },
         board0 + "/history: not a regular file", false},
        {"garbage for the history", "show",
         [&] {
             write_file("sim/board0/history", {'x', '\n'});
         },
         board0 + "/history: line 1: not a programming run", false},
        {"a run whose error code is over 4 bits", "history",
         [&] { write_file("sim/board0/history", std::vector<unsigned char>(run16.begin(), run16.end())); },
         board0 + "/history: line 1: not a programming run", false},
        {"a history shorter than the state counts", "history",
         [&] { edit_board(0, [](sim_board &b) { b.history_runs = 2; }); },
         board0 + "/history: 0 runs where the state counts 2", false},
        {"a board folder this user may not write", "show", [&] { fs::permissions(board0, fs::perms(0555)); },
         board0 + "/state.lock: Permission denied", true},
        {"a state folder this user may not search", "show", [&] { fs::permissions(root_, fs::perms(0700)); },
         board0 + ": Permission denied", true},
    };
    for (const Case &c : cases) {
        std::string why = "needs root, to run riffa_sim as another user";
        if (c.other_user && (geteuid() != 0 || !can_run_as(65534, &why))) {
            std::printf("skipped \"%s\": %s\n", c.what, why.c_str());
            continue;
        }
        add_board(0, SIM_MODE_NORMAL);
        fs::permissions(dir_, fs::perms(0755));
        c.make();
        ToolRun how;
        how.args = {c.command};
        how.timeout_seconds = 10;
        if (c.other_user) how.uid = 65534;
        const ToolResult r = sim_run(how);
        EXPECT_EQ(r.err, "riffa_sim: board 0: " + c.reason + "\n") << c.what;
        EXPECT_EQ(r.out, "") << c.what;
        EXPECT_EQ(r.status, 1) << c.what;
        fs::permissions(root_, fs::perms(0755));
        fs::permissions(board0, fs::perms(0755));
        fs::remove_all(board0);
    }
}

TEST_F(RiffaSimProgram, AFlasherWhoseBoardRebootedUnderItFails) {
    // A mode switch that died between its request and its reset left the
    // reboot armed: the flasher's own reset reboots the board, and its
    // handle, from the boot before, moves nothing.
    edit_board(0, [](sim_board &b) {
        b.mode = SIM_MODE_BOOTLOADER;
        b.reboot_armed = true;
    });
    const std::string image = write_file("image.bin", sample_bytes(3000));
    const ToolResult r = run("zeda_pcie_flash_image", {image});
    EXPECT_TRUE(ends_with(r.err, "Error writing data. Flashing operation aborted. -1\n")) << r.err;
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(board(0).mode, SIM_MODE_NORMAL);
    EXPECT_TRUE(history().empty());
}

}  // namespace
