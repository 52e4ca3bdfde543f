// The tools in a hostile environment: closed standard descriptors, a reader
// or a terminal that goes away mid-flash, and a second program on the same
// board. None of it may leave a half-written flash, a false success or a
// hang.
#include "sim_fixture.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "file_lock.h"
#include "riffa_sim_session.h"
#include "run_tool_pty.h"

namespace {

class Hostile : public SimBoardTest {
protected:
    // Board 0 in bootloader mode and an 8 MiB image: its 8192 progress
    // lines fill any pipe or terminal, so the tool is still writing when
    // its reader goes away.
    std::string prepare() {
        add_board(0, SIM_MODE_BOOTLOADER);
        image = sample_bytes(8388608, 8);
        return write_file("image.bin", image);
    }
    std::vector<unsigned char> image;
};

TEST_F(Hostile, ClosedStandardDescriptorsNeverBecomeTheToolsFiles) {
    if (std::getenv("ZEDA_TEST_RUNNER")) GTEST_SKIP() << "POSIX descriptors";
    const std::string path = prepare();
    ToolRun closed_all;
    closed_all.args = {path};
    closed_all.closed_fds = {0, 1, 2};
    EXPECT_EQ(run("zeda_pcie_flash_image", closed_all).status, 0);
    expect_flash_holds(image);

    // The query and the question change nothing, whatever they open later.
    ToolRun no_stdout;
    no_stdout.closed_fds = {1};
    EXPECT_EQ(run("zeda_pcie_get_mode", no_stdout).status, 0);
    ToolRun no_stdin;
    no_stdin.closed_fds = {0};
    const ToolResult asked = run("zeda_pcie_mode_change", no_stdin);
    EXPECT_EQ(asked.status, 0);
    EXPECT_NE(asked.out.find("Proceed [y/n]? Mode not changed.\n"), std::string::npos) << asked.out;
    EXPECT_EQ(board().mode, SIM_MODE_BOOTLOADER);
    expect_flash_holds(image);
}

TEST_F(Hostile, ReaderThatGoesAwayDoesNotCutTheFlashShort) {
    ToolRun head;  // as `| head -n 2`
    head.args = {prepare()};
    head.stop_reading_after_lines = 2;
    const ToolResult r = run("zeda_pcie_flash_image", head);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    expect_one_good_run(8388608, image);
    expect_flash_holds(image);
}

TEST_F(Hostile, TerminalThatHangsUpDoesNotCutTheFlashShort) {
    const std::string path = prepare();
    const PtyResult r = run_command_pty(tool_command("zeda_pcie_flash_image", built_tool_path("zeda_pcie_flash_image")),
                                        {path}, {{"Progress", "", true}});
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0);
    expect_one_good_run(8388608, image);
    expect_flash_holds(image);
}

// Holds board 0 as another program would, until the tool's notice has been
// out for a while, and tells whether the tool went on meanwhile.
class BoardHolder {
public:
    explicit BoardHolder(const std::string &lock_path, const std::string &notice, bool notice_on_stderr)
        : notice_(notice), on_stderr_(notice_on_stderr) {
        const char *reason = "";
        lock_ = file_lock_open(lock_path.c_str(), &reason);
        EXPECT_EQ(file_lock_take(lock_, FILE_LOCK_NO_WAIT, &reason), FILE_LOCK_HELD) << reason;
    }
    ~BoardHolder() {
        if (releaser_.joinable()) releaser_.join();
        file_lock_close(lock_);
    }
    // For ToolRun::watch.
    void watch(const ToolResult &so_far) {
        output_ = so_far.out.size() + so_far.err.size();
        if (noticed_ || (on_stderr_ ? so_far.err : so_far.out).find(notice_) == std::string::npos) return;
        noticed_ = true;
        const size_t at_notice = output_;
        releaser_ = std::thread([this, at_notice] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            went_on_while_held_ = output_ != at_notice;
            file_lock_close(lock_);
            lock_ = FILE_LOCK_NONE;
        });
    }
    bool went_on_while_held() {
        if (releaser_.joinable()) releaser_.join();
        return went_on_while_held_;
    }

private:
    std::string notice_;
    bool on_stderr_;
    file_lock_t lock_ = FILE_LOCK_NONE;
    bool noticed_ = false;
    std::atomic<size_t> output_{0};
    bool went_on_while_held_ = false;
    std::thread releaser_;
};

std::string session_lock(int id) {
    char path[4096];
    EXPECT_EQ(riffa_sim_session_lock_path(id, path, sizeof path), 0);
    return path;
}

const char NOTICE[] = "Board 0 is in use by another program. Waiting...\n";

// Runs the tool while the test holds board 0: it must say so once, first,
// send nothing until the test lets go, then end as usual.
void expect_waits_for_the_board(const std::string &tool, ToolRun how, bool notice_on_stderr,
                                const std::string &ends_with, const std::string &lock = session_lock(0)) {
    BoardHolder holder(lock, NOTICE, notice_on_stderr);
    how.watch = [&](const ToolResult &so_far) { holder.watch(so_far); };
    const ToolResult r = run_command(tool_command(tool, tool_path_for(tool, how.uid)), how);
    EXPECT_FALSE(holder.went_on_while_held()) << tool << " went on while the board was held";
    EXPECT_EQ(r.status, 0) << tool << ": " << r.out << r.err;
    const std::string &stream = notice_on_stderr ? r.err : r.out;
    EXPECT_EQ(stream.find(NOTICE), stream.rfind(NOTICE)) << tool << ": one notice";
    EXPECT_EQ(stream.substr(0, sizeof NOTICE - 1), NOTICE) << tool;
    ASSERT_GE(r.out.size(), ends_with.size()) << tool;
    EXPECT_EQ(r.out.substr(r.out.size() - ends_with.size()), ends_with) << tool;
}

// The lock is a Linux process's and the cases are POSIX files.
#define SKIP_UNDER_WINE() \
    if (std::getenv("ZEDA_TEST_RUNNER")) GTEST_SKIP() << "the board is held by a Linux process"

TEST_F(Hostile, SecondProgramWaitsForTheBoardWithOneNotice) {
    SKIP_UNDER_WINE();
    add_board(0, SIM_MODE_BOOTLOADER);
    ToolRun flash;
    flash.args = {write_file("image.bin", sample_bytes(3000))};
    expect_waits_for_the_board("zeda_pcie_get_mode", {}, false,
                               "Board in bootloader mode. \nPress any key to exit...\n");
    expect_waits_for_the_board("zeda_pcie_flash_image", flash, true, "Programming done\n");
    expect_waits_for_the_board("zeda_pcie_wait_board", {}, false, "Board in bootloader mode. \n");
}

TEST_F(Hostile, AWaitForTheBoardsStateSaysSoOnTheToolsMessageStream) {
    SKIP_UNDER_WINE();
    // As a program stopped (Ctrl-Z) within a change of the board's state.
    add_board(0, SIM_MODE_BOOTLOADER);
    const std::string state_lock = sim_board_dir(root_, 0) + "/state.lock";
    ToolRun show, list, query, flash, wait;
    show.args = {"show"};
    list.args = {"list"};
    flash.args = {write_file("image.bin", sample_bytes(3000))};
    for (ToolRun *how : {&show, &list, &query, &flash, &wait}) how->timeout_seconds = 10;  // a silent wait never ends
    expect_waits_for_the_board("riffa_sim", show, true, "faults: none\n", state_lock);
    expect_waits_for_the_board("riffa_sim", list, true, "board 0: bootloader mode (linux bus)\n", state_lock);
    expect_waits_for_the_board("zeda_pcie_get_mode", query, false,
                               "Board in bootloader mode. \nPress any key to exit...\n", state_lock);
    expect_waits_for_the_board("zeda_pcie_flash_image", flash, true, "Programming done\n", state_lock);
    expect_waits_for_the_board("zeda_pcie_wait_board", wait, false, "Board in bootloader mode. \n", state_lock);
}

// Other users of the PC, for the cases that need them: the test runs as
// root in CI; elsewhere they skip.
constexpr int FIRST_USER = 65534, SECOND_USER = 65533;

#define REQUIRE_ROOT()                                                                             \
    SKIP_UNDER_WINE();                                                                             \
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to run the tools as other users";             \
    for (int uid : {FIRST_USER, SECOND_USER})                                                      \
        if (std::string why; !can_run_as(uid, &why)) GTEST_SKIP() << why

// Lets every user reach the test folder and the board's files.
void share_with_all(const std::string &dir, const std::string &board_dir) {
    namespace fs = std::filesystem;
    for (const std::string &d : {dir, dir + "/sim"}) fs::permissions(d, fs::perms(0755));
    fs::permissions(board_dir, fs::perms(0777));
    for (const auto &entry : fs::directory_iterator(board_dir)) fs::permissions(entry.path(), fs::perms(0666));
}

TEST_F(Hostile, LockFileOfAUserWithUmask077WorksForTheNext) {
    REQUIRE_ROOT();
    add_board(0, SIM_MODE_NORMAL);
    share_with_all(dir_, sim_board_dir(root_, 0));
    ToolRun first;
    first.uid = FIRST_USER;
    first.umask = 077;
    const ToolResult made = run("zeda_pcie_get_mode", first);
    ASSERT_EQ(made.status, 0) << made.out << made.err;
    ToolRun second;
    second.uid = SECOND_USER;
    expect_waits_for_the_board("zeda_pcie_get_mode", second, false, "Press any key to exit...\n");
}

TEST_F(Hostile, BoardThatCantBeLockedIsNotUsed) {
    SKIP_UNDER_WINE();
    add_board(0, SIM_MODE_BOOTLOADER);
    const std::string image = write_file("image.bin", sample_bytes(3000));
    const std::string lock = session_lock(0);
    const std::string target = dir_ + "/elsewhere";
    const struct {
        const char *planted;
        std::function<void()> plant;
        const char *reason;
    } cases[] = {
        {"link", [&] { ASSERT_EQ(symlink(target.c_str(), lock.c_str()), 0); }, "Is a symbolic link"},
        {"folder", [&] { std::filesystem::create_directory(lock); }, "Is a directory"},
        {"FIFO", [&] { ASSERT_EQ(mkfifo(lock.c_str(), 0666), 0); }, "Is a FIFO"},
        {"socket",
         [&] {
             const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
             sockaddr_un at = {};
             at.sun_family = AF_UNIX;
             std::snprintf(at.sun_path, sizeof at.sun_path, "%s", lock.c_str());
             ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&at), sizeof at), 0);
             close(fd);
         },
         "Is a socket"},
    };
    const std::string refusal_start = "Board 0 can't be locked: " + lock + ": ";
    for (const auto &c : cases) {
        std::filesystem::remove_all(lock);
        c.plant();
        const ToolResult query = run("zeda_pcie_get_mode", {}, "\n");
        EXPECT_EQ(query.out, refusal_start + c.reason + "\n") << c.planted;
        EXPECT_EQ(query.status, 255) << c.planted;
        const ToolResult flash = run("zeda_pcie_flash_image", {image});
        EXPECT_EQ(flash.err, refusal_start + c.reason + "\n") << c.planted;
        EXPECT_EQ(flash.status, 255) << c.planted;
        const ToolResult wait = run("zeda_pcie_wait_board", {"0", "0"});
        EXPECT_EQ(wait.out, refusal_start + c.reason + "\n") << c.planted;
        EXPECT_EQ(wait.status, 255) << c.planted;
        EXPECT_FALSE(std::filesystem::exists(target)) << c.planted << ": followed";
    }
    EXPECT_TRUE(history().empty()) << "the programmer was reached";
}

TEST_F(Hostile, FolderThatAUserCantWriteIsRefusedWithTheReason) {
    REQUIRE_ROOT();
    add_board(0, SIM_MODE_NORMAL);
    ASSERT_EQ(run("zeda_pcie_get_mode", {}, "\n").status, 0);  // makes the state lock
    const std::string board_dir = sim_board_dir(root_, 0);
    std::filesystem::remove(session_lock(0));
    share_with_all(dir_, board_dir);
    std::filesystem::permissions(board_dir, std::filesystem::perms(0755));
    ToolRun user;
    user.uid = FIRST_USER;
    const ToolResult r = run("zeda_pcie_get_mode", user);
    EXPECT_EQ(r.out, "Board 0 can't be locked: " + session_lock(0) + ": Permission denied\n");
    EXPECT_EQ(r.status, 255);
}

TEST_F(Hostile, GetModeLetsGoOfTheBoardAtItsKeyPrompt) {
    SKIP_UNDER_WINE();
    add_board(0, SIM_MODE_NORMAL);
    ToolRun person;  // has not pressed a key yet
    file_lock_status taken = FILE_LOCK_FAILED;
    person.end_input = [&](const ToolResult &so_far) {
        if (so_far.out.find("Press any key") == std::string::npos) return false;
        const char *reason = "";
        const file_lock_t lock = file_lock_open(session_lock(0).c_str(), &reason);
        taken = file_lock_take(lock, FILE_LOCK_NO_WAIT, &reason);
        file_lock_close(lock);
        return true;
    };
    EXPECT_EQ(run("zeda_pcie_get_mode", person).status, 0);
    EXPECT_EQ(taken, FILE_LOCK_HELD) << "another program could not have the board";
}

}  // namespace
