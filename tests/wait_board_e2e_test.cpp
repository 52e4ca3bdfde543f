// zeda_pcie_wait_board run as a process against the virtual board, after a
// mode switch that takes the board off the bus, under each bus model: it
// answers at once, once the reboot is over, or not at all, and ends on time
// whatever holds it up; and a program that waited behind a mode switch
// never talks to the board from before its reboot.
#include "sim_fixture.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "file_lock.h"
#include "riffa_sim_session.h"

namespace {

// Where the advice sends the reader: the man page, or for the Windows
// programs the text manual they are installed beside.
std::string advice() {
    const char *suffix = std::getenv("ZEDA_TEST_TOOL_SUFFIX");
    const bool windows = suffix != nullptr && std::strcmp(suffix, ".exe") == 0;
    return std::string("Rescan the PCI bus (see ") +
           (windows ? "zeda_pcie_wait_board.txt beside the program" : "man zeda_pcie_wait_board") +
           ") or restart the PC.\n";
}
const std::string ADVICE = advice();
const char NOTICE[] = "Board 0 is in use by another program. Waiting...\n";

using Clock = std::chrono::steady_clock;

#define SKIP_UNDER_WINE() \
    if (std::getenv("ZEDA_TEST_RUNNER")) GTEST_SKIP() << "the board is held by a Linux process"

class WaitBoard : public SimBoardTest {
protected:
    void switch_mode() { ASSERT_EQ(run("zeda_pcie_mode_change", {}, "y\n").status, 0); }
    void use_bus(const char *model) { ASSERT_EQ(run("riffa_sim", {"bus", model}).status, 0) << model; }
    bool rebooting() { return run("riffa_sim", {"list"}).out.find("rebooting") != std::string::npos; }
    std::string session_lock() {
        char path[4096];
        EXPECT_EQ(riffa_sim_session_lock_path(0, path, sizeof path), 0);
        return path;
    }
};

TEST_F(WaitBoard, ABoardOnTheBusAnswersAtOnce) {
    const ToolResult r = run("zeda_pcie_wait_board", {"0", "0"});
    EXPECT_EQ(r.out, "Board in normal operation mode. \n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

// Holds a lock file as another program would, from a descriptor of the test's.
file_lock_t hold(const std::string &path) {
    const char *reason = "";
    const file_lock_t lock = file_lock_open(path.c_str(), &reason);
    EXPECT_EQ(file_lock_take(lock, FILE_LOCK_NO_WAIT, &reason), FILE_LOCK_HELD) << path << ": " << reason;
    return lock;
}

TEST_F(WaitBoard, EndsOnTimeWhateverHoldsItUp) {
    SKIP_UNDER_WINE();
    const std::string too_late = std::string("Board 0 did not come back within 2 s. ") + ADVICE;
    const std::string still_held = std::string(NOTICE) + "Board 0 was still in use by another program after 2 s.\n";
    const int NEVER = -1;
    const struct {
        const char *name, *bus;
        int session_held_ms;  // how long the test holds the board as a tool would
        bool state_held;      // the board's state, as riffa_sim stopped within a change
        bool stays_off_bus;
        int reboot_ms;
        std::string out;
        int status;
    } cases[] = {
        {"a holder that never lets go", "linux", NEVER, false, false, 0, still_held, 1},
        {"the board's state held", "linux", 0, true, false, 0, still_held, 1},
        {"a holder that lets go while the state is held", "linux", 500, true, false, 0, still_held, 1},
        {"a stale board, Linux", "linux", 0, false, true, 0, too_late, 1},
        {"a board off the bus, Windows", "windows", 0, false, true, 0, too_late, 1},
        {"back after 1.5 s, Linux", "linux", 0, false, false, 1500, "Board in bootloader mode. \n", 0},
        {"back after 1.5 s, Windows", "windows", 0, false, false, 1500, "Board in bootloader mode. \n", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(sim_board_dir(root_, 0));
        add_board(0, SIM_MODE_NORMAL);
        use_bus(c.bus);
        edit_board(0, [&](sim_board &b) { b.reboot_time_ms = c.reboot_ms, b.faults.stays_off_bus = c.stays_off_bus; });
        switch_mode();
        const bool away = rebooting() || c.stays_off_bus;
        const file_lock_t session = c.session_held_ms != 0 ? hold(session_lock()) : FILE_LOCK_NONE;
        const file_lock_t state = c.state_held ? hold(sim_board_dir(root_, 0) + "/state.lock") : FILE_LOCK_NONE;
        std::thread lets_go([&] {
            if (c.session_held_ms <= 0) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(c.session_held_ms));
            file_lock_close(session);
        });
        const int limit = c.reboot_ms ? 20 : 2;
        const Clock::time_point start = Clock::now();
        const ToolResult r = run("zeda_pcie_wait_board", {"0", std::to_string(limit)});
        const double took = std::chrono::duration<double>(Clock::now() - start).count();
        lets_go.join();
        if (c.session_held_ms == NEVER) file_lock_close(session);
        file_lock_close(state);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, c.status);
        EXPECT_LT(took, c.reboot_ms ? 10.0 : limit + 1.0);
        EXPECT_TRUE(c.session_held_ms || c.state_held || away) << "the board was never off the bus";
    }
}

TEST_F(WaitBoard, ABoardThatStaysOffTheBusIsFoundOnlyAfterARescan) {
    set_faults(0, [](sim_faults &f) { f.stays_off_bus = true; });
    switch_mode();
    ASSERT_EQ(run("zeda_pcie_wait_board", {"0", "0"}).status, 1);
    ASSERT_EQ(run("riffa_sim", {"rescan"}).status, 0);
    const ToolResult r = run("zeda_pcie_wait_board", {"0", "5"});
    EXPECT_EQ(r.out, "Board in bootloader mode. \n");
    EXPECT_EQ(r.status, 0);
}

// A mode switch holds the board at its question while another program
// waits for it; once answered, the board reboots for 3 s. The waiter must
// not report the board, nor flash it, before it is back.
TEST_F(WaitBoard, AProgramThatWaitedBehindAModeSwitchNeverUsesTheBoardBeforeItsReboot) {
    SKIP_UNDER_WINE();
    const std::string image = write_file("image.bin", sample_bytes(3000));
    const struct { const char *bus, *tool; std::vector<std::string> args; } cases[] = {
        {"linux", "zeda_pcie_wait_board", {"0", "30"}},
        {"windows", "zeda_pcie_flash_image", {image}},
        {"linux", "zeda_pcie_flash_image", {image}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.tool) + " on " + c.bus);
        std::filesystem::remove_all(sim_board_dir(root_, 0));
        add_board(0, SIM_MODE_NORMAL);
        use_bus(c.bus);
        edit_board(0, [](sim_board &b) { b.reboot_time_ms = 3000; });
        const std::string go = dir_ + "/go";
        std::filesystem::remove(go);
        std::atomic<bool> asking{false};
        ToolRun holder_run;
        holder_run.args = {"-c", "(until [ -e \"$1\" ]; do sleep 0.02; done; echo y) | \"$2\"", "sh", go,
                           built_tool_path("zeda_pcie_mode_change")};
        holder_run.watch = [&](const ToolResult &so_far) { asking = so_far.out.find("Proceed") != std::string::npos; };
        std::thread holder([&] { EXPECT_EQ(run_command({"sh"}, holder_run).status, 0); });
        for (const Clock::time_point until = Clock::now() + std::chrono::seconds(20); !asking && Clock::now() < until;)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ToolRun waiter;
        waiter.args = c.args;
        waiter.watch = [&](const ToolResult &so_far) {
            if ((so_far.out + so_far.err).find(NOTICE) != std::string::npos) std::ofstream(go).put('y');
        };
        const ToolResult r = run(c.tool, waiter);
        const bool back = !rebooting();
        holder.join();
        if (std::string(c.tool) == "zeda_pcie_wait_board") {
            EXPECT_EQ(r.out, std::string(NOTICE) + "Board in bootloader mode. \n");
            EXPECT_TRUE(back) << "reported a board that was still rebooting";
        } else {
            EXPECT_NE(r.status, 0) << r.out << r.err;
            EXPECT_EQ(r.out.find("Programming done"), std::string::npos);
            EXPECT_TRUE(history().empty()) << "the programmer of a rebooting board was reached";
        }
    }
}

}  // namespace
