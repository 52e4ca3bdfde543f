// The virtual board through the five RIFFA functions, as a tool drives it,
// with its state read back from the store.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>

#include "board_link.h"
#include "file_lock.h"
#include "riffa.h"
#include "riffa_sim_session.h"
#include "sim_bus.h"
#include "sim_fixture.h"
#include "sim_gateware.h"
#include "sim_platform.h"

namespace {

class VirtualBoard : public SimBoardTest {
protected:
    int send(fpga_t *f, uint32_t code, uint32_t value) {
        uint32_t w = value;
        return fpga_send(f, CONTROL_CHANNEL, &w, 1, int(code), 1, CONTROL_TIMEOUT_MS);
    }
    // Sends a query and returns the reply word; 0xDEAD when none arrived.
    uint32_t ask(fpga_t *f, uint32_t code) {
        uint32_t w = QUERY_FILL;
        send(f, code, w);
        w = 0xDEAD;
        fpga_recv(f, CONTROL_CHANNEL, &w, 1, CONTROL_TIMEOUT_MS);
        return w;
    }
    uint32_t mode_of(int id) {
        fpga_t *f = fpga_open(id);
        EXPECT_NE(f, nullptr);
        const uint32_t mode = ask(f, REQ_MODE_QUERY);
        fpga_close(f);
        return mode;
    }
    int send_image(fpga_t *f, const std::vector<unsigned char> &bytes) {
        return fpga_send(f, IMAGE_CHANNEL, const_cast<unsigned char *>(bytes.data()), int(bytes.size() / 4), 0, 1,
                         0);
    }
    // Size request, erase and start, as a flasher prepares the programmer.
    void prepare(fpga_t *f, uint32_t size) {
        send(f, REQ_IMAGE_SIZE, size);
        send(f, REQ_PROGRAMMER_COMMAND, PROGRAMMER_ERASE);
        send(f, REQ_PROGRAMMER_COMMAND, PROGRAMMER_START);
    }
    void expect_unusable(const char *what, const std::function<void()> &make, const std::string &error);
    // The mode switch and its reset, on a handle of its own.
    void reboot(int id) {
        fpga_t *f = fpga_open(id);
        ASSERT_NE(f, nullptr);
        send(f, REQ_MODE_SWITCH, MODE_SWITCH_KEY);
        fpga_reset(f);
        fpga_close(f);
    }
};

TEST_F(VirtualBoard, BoardZeroAppearsOnFirstUseInNormalModeOthersOnceAdded) {
    EXPECT_EQ(fpga_open(1), nullptr);
    EXPECT_EQ(fpga_open(-1), nullptr);
    EXPECT_FALSE(sim_board_exists(root_, 0) || sim_board_exists(root_, 1));
    EXPECT_EQ(mode_of(0), MODE_NORMAL);
    EXPECT_EQ(flash(0), std::vector<unsigned char>(SIM_FLASH_BYTES, 0xFF)) << "flash starts erased";
    add_board(1, SIM_MODE_BOOTLOADER);
    EXPECT_EQ(mode_of(1), MODE_BOOTLOADER);
}

TEST_F(VirtualBoard, OnlyAResetAfterTheKeyRebootsIntoTheOtherModeAndBack) {
    fpga_t *f = fpga_open(0);
    fpga_reset(f);
    send(f, REQ_MODE_SWITCH, MODE_SWITCH_KEY + 1);
    send(f, REQ_MODE_SWITCH, 0);
    fpga_reset(f);
    fpga_close(f);
    EXPECT_EQ(mode_of(0), MODE_NORMAL) << "no key, no reboot";
    EXPECT_FALSE(board(0).reboot_armed);
    for (uint32_t expected : {MODE_BOOTLOADER, MODE_NORMAL}) {
        fpga_t *f = fpga_open(0);
        EXPECT_EQ(send(f, REQ_MODE_SWITCH, MODE_SWITCH_KEY), 1);
        EXPECT_EQ(ask(f, REQ_MODE_QUERY), expected == MODE_BOOTLOADER ? MODE_NORMAL : MODE_BOOTLOADER)
            << "nothing changes before the reset";
        fpga_reset(f);
        fpga_close(f);
        EXPECT_EQ(mode_of(0), expected) << "the new mode persists";
    }
    EXPECT_EQ(board(0).boot, 2u) << "each reboot is a new boot";
}

TEST_F(VirtualBoard, AHandleFromBeforeTheLatestRebootMovesNothingAndGetsNoReply) {
    fpga_t *stale = fpga_open(0);
    reboot(0);
    fpga_t *now = fpga_open(0);
    EXPECT_EQ(send(now, REQ_MODE_SWITCH, MODE_SWITCH_KEY), 1) << "the new boot answers";
    const std::string before = state_text();
    EXPECT_EQ(ask(stale, REQ_MODE_QUERY), 0xDEADu) << "no reply from the new boot";
    EXPECT_EQ(send(stale, REQ_IMAGE_SIZE, 4), 0);
    EXPECT_EQ(send_image(stale, {1, 2, 3, 4}), 0);
    fpga_reset(stale);
    EXPECT_EQ(state_text(), before) << "the armed reboot is still to come";
    fpga_close(stale);
    fpga_close(now);
}

bool listed(int id) {
    fpga_info_list list = {};
    return fpga_list(&list) == 0 && std::count(list.id, list.id + list.num_fpgas, id) == 1;
}

TEST_F(VirtualBoard, WhileItRebootsEachDriverShowsTheBoardAsItsPlatformDoes) {
    struct Case { sim_bus_model bus; bool opens; };
    for (const Case &c : {Case{sim_bus_model::linux_driver, true}, Case{sim_bus_model::windows_driver, false}}) {
        add_board(1, SIM_MODE_NORMAL);
        edit_board(1, [&](sim_board &b) { b.bus = c.bus; b.reboot_time_ms = 60000; });
        reboot(1);
        const std::string before = state_text(1);
        fpga_t *f = fpga_open(1);
        EXPECT_EQ(f != nullptr, c.opens) << sim_bus_model_name(c.bus);
        EXPECT_FALSE(listed(1)) << sim_bus_model_name(c.bus);
        if (f) {
            EXPECT_EQ(ask(f, REQ_MODE_QUERY), 0xDEADu) << "0 at once while it reboots";
            EXPECT_EQ(send(f, REQ_MODE_SWITCH, MODE_SWITCH_KEY), 0);
            fpga_reset(f);
            EXPECT_EQ(state_text(1), before) << "no effect";
            edit_board(1, [](sim_board &b) { b.back_at_ms = 1; });  // its reboot is over
            EXPECT_EQ(ask(f, REQ_MODE_QUERY), MODE_BOOTLOADER) << "opened in this boot: it answers once back";
            fpga_close(f);
        }
        set_faults(1, [](sim_faults &fs) { fs.open_fails = true; });
        EXPECT_EQ(fpga_open(1), nullptr) << "open-fails, " << sim_bus_model_name(c.bus);
        sim_remove_board(root_, 1);
    }
}

// Runs what in a child process and returns its pid; the child exits with
// what returns.
template <typename F>
pid_t in_child(F what) {
    const pid_t pid = fork();
    if (pid == 0) _exit(what());
    return pid;
}

// The child's exit status once it has ended, -1 when it has not by the
// deadline; poke is called meanwhile, every 20 ms.
int exit_within(pid_t pid, std::chrono::milliseconds deadline, const std::function<void()> &poke = [] {}) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > end) return -1;
        poke();
        usleep(20000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void on_signal(int) {}

TEST_F(VirtualBoard, OnTheLinuxDriverATransferToAStaleDeviceEndsOnlyOnASignalOrTheRescan) {
    edit_board(0, [](sim_board &b) {
        b.bus = sim_bus_model::linux_driver;
        b.faults.stays_off_bus = true;
    });
    reboot(0);
    for (const char *end : {"signal", "rescan"}) {
        const pid_t child = in_child([&] {
            struct sigaction sa = {};
            sa.sa_handler = on_signal;  // without SA_RESTART, as the board link's timer
            sigaction(SIGUSR1, &sa, nullptr);
            fpga_t *f = fpga_open(0);
            const int moved = send(f, REQ_MODE_QUERY, QUERY_FILL);
            return f && moved == 0 ? 0 : 1;
        });
        EXPECT_EQ(exit_within(child, std::chrono::milliseconds(300)), -1) << end << ": it blocks";
        // The state lock is free meanwhile: riffa_sim can still change the board.
        set_faults(0, [](sim_faults &fs) { ++fs.busy_polls; });
        const bool rescan = std::string(end) == "rescan";
        if (rescan) edit_board(0, [](sim_board &b) { b.needs_rescan = false; });
        EXPECT_EQ(exit_within(child, std::chrono::seconds(10), [&] { if (!rescan) kill(child, SIGUSR1); }), 0)
            << end << " ends it, with no word moved";
    }
}

// A signal that lands while a wait works (reads the state, tries the lock)
// must still end it, as no signal is lost on the Linux driver's waits.
TEST(VirtualBoardWait, ASignalBetweenItsSleepsEndsTheNextOne) {
    struct sigaction sa = {}, before = {};
    sa.sa_handler = on_signal;
    sigaction(SIGUSR1, &sa, &before);
    const auto start = std::chrono::steady_clock::now();
    {
        const sim_wait_scope wait;
        kill(getpid(), SIGUSR1);
        EXPECT_FALSE(sim_sleep_ms(5000));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    sigaction(SIGUSR1, &before, nullptr);
}

std::string heard_waits;

// A transfer waits while another program holds the board's state; a signal
// ends the wait as it ends the Linux driver's: the transfer moves no word,
// with no line of the library's, and the hook hears the wait and its end.
TEST_F(VirtualBoard, AWaitForTheBoardsStateEndsOnASignalAsAQuietFailure) {
    const std::string err_file = dir_ + "/stderr";
    fpga_close(fpga_open(0));
    const pid_t child = in_child([&] {
        dup2(open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDERR_FILENO);
        riffa_sim_session_on_wait(
            [](int id, int cut) { heard_waits += std::to_string(id) + (cut ? " cut;" : " waiting;"); });
        fpga_t *f = fpga_open(0);
        const char *reason = "";
        const file_lock_t holder = file_lock_open((sim_board_dir(root_, 0) + "/state.lock").c_str(), &reason);
        if (file_lock_take(holder, FILE_LOCK_NO_WAIT, &reason) != FILE_LOCK_HELD) return 2;
        struct sigaction sa = {};
        sa.sa_handler = on_signal;  // without SA_RESTART, as the board link's guard
        sigaction(SIGALRM, &sa, nullptr);
        const itimerval limit = {{1, 0}, {1, 500000}};
        setitimer(ITIMER_REAL, &limit, nullptr);
        return send(f, REQ_MODE_QUERY, QUERY_FILL) == 0 && heard_waits == "0 waiting;0 cut;" ? 0 : 1;
    });
    const int status = exit_within(child, std::chrono::seconds(10));
    EXPECT_EQ(status, 0);
    if (status == -1) kill(child, SIGKILL), waitpid(child, nullptr, 0);
    EXPECT_EQ(read_file(err_file), "");
}

TEST_F(VirtualBoard, TheLockPathHookAnswersForABoardThereNotThereOrUnknown) {
    char path[4096] = "untouched";
    EXPECT_EQ(riffa_sim_session_lock_path(7, path, sizeof path), 1);
    EXPECT_STREQ(path, "untouched");
    EXPECT_EQ(riffa_sim_session_lock_path(0, path, sizeof path), 0) << "board 0 made on first use";
    EXPECT_EQ(path, sim_board_dir(root_, 0) + "/session.lock");
    EXPECT_TRUE(std::filesystem::is_directory(sim_board_dir(root_, 0)));
    EXPECT_EQ(riffa_sim_session_lock_path(0, path, 8), -1) << "a path that does not fit";
}

TEST_F(VirtualBoard, TheOpenErrorHookTellsTheBoardsOwnFailureFromADevicesOne) {
    add_board(1, SIM_MODE_NORMAL);
    write_state("mode 2\n", 1);
    const struct { int id; int error; } cases[] = {{1, 1}, {3, 0}, {1, 1}, {0, 0}};  // invalid, absent, fine
    for (const auto &c : cases) {
        testing::internal::CaptureStderr();
        fpga_close(fpga_open(c.id));
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(riffa_sim_session_open_error(), c.error) << "board " << c.id;
    }
}

TEST(VirtualBoardBus, NoClockChangeKeepsABoardAway) {
    sim_board b;
    b.reboot_time_ms = 1000;
    b.back_at_ms = 50000;
    // Before 49000 the clock went back: the come-back time is further than a reboot.
    const struct { int64_t now; long long wait; } cases[] = {{49000, 1000}, {49999, 1}, {50000, 0}, {48999, 0}};
    for (const auto &c : cases) EXPECT_EQ(sim_bus_wait_ms(b, c.now), c.wait) << c.now;
    b.needs_rescan = true;
    EXPECT_EQ(sim_bus_wait_ms(b, 90000), -1);
}

TEST_F(VirtualBoard, ProgrammerWritesTheImageAndRecordsTheRun) {
    add_board(0, SIM_MODE_BOOTLOADER);
    std::vector<unsigned char> image = sample_bytes(1030);
    fpga_t *f = fpga_open(0);
    fpga_reset(f);
    send(f, REQ_IMAGE_SIZE, 1030);
    EXPECT_EQ(ask(f, REQ_PROGRAMMER_STATUS), 0u) << "busy before the run has begun";
    prepare(f, 1030);
    image.resize(1032, 0);  // the flasher's zero padding of the last word
    EXPECT_EQ(ask(f, REQ_PROGRAMMER_STATUS), 0u) << "busy before any word";
    EXPECT_EQ(send_image(f, {image.begin(), image.begin() + 1024}), 256);
    EXPECT_EQ(ask(f, REQ_PROGRAMMER_STATUS), 0u) << "busy until the last word";
    EXPECT_EQ(send_image(f, {image.begin() + 1024, image.end()}), 2);
    EXPECT_EQ(ask(f, REQ_PROGRAMMER_STATUS), STATUS_DONE);
    EXPECT_EQ(ask(f, REQ_PROGRAMMER_STATUS), STATUS_DONE) << "stays done";
    fpga_close(f);

    expect_flash_holds(image);
    expect_one_good_run(1030, image);
}

TEST_F(VirtualBoard, EraseClearsAnEarlierImage) {
    add_board(0, SIM_MODE_BOOTLOADER);
    fpga_t *f = fpga_open(0);
    prepare(f, 8);
    send_image(f, std::vector<unsigned char>(8, 0x11));
    ask(f, REQ_PROGRAMMER_STATUS);
    prepare(f, 4);
    send_image(f, std::vector<unsigned char>(4, 0x22));
    EXPECT_EQ(ask(f, REQ_PROGRAMMER_STATUS), STATUS_DONE);
    fpga_close(f);
    const std::vector<unsigned char> held = flash();
    EXPECT_EQ(std::vector<unsigned char>(held.begin(), held.begin() + 8),
              (std::vector<unsigned char>{0x22, 0x22, 0x22, 0x22, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(history().size(), 2u);
}

TEST_F(VirtualBoard, ProtocolFaultsEndTheRunWithTheBoardsOwnCodes) {
    add_board(0, SIM_MODE_BOOTLOADER);
    struct Case { const char *what; uint32_t status; std::function<void(fpga_t *)> run; };
    const Case cases[] = {
        {"words before command 1", 0x18,
         [&](fpga_t *f) {
             send(f, REQ_IMAGE_SIZE, 4);
             send_image(f, {1, 2, 3, 4});
         }},
        {"more words than announced", 0x28,
         [&](fpga_t *f) {
             prepare(f, 4);
             send_image(f, std::vector<unsigned char>(8, 1));
         }},
        {"size over 8 MiB", 0x38, [&](fpga_t *f) { prepare(f, 8388609); }},
        {"start without erase", 0x48,
         [&](fpga_t *f) {
             send(f, REQ_IMAGE_SIZE, 4);
             send(f, REQ_PROGRAMMER_COMMAND, PROGRAMMER_START);
         }},
        {"a second start that no erase followed", 0x48,
         [&](fpga_t *f) {
             prepare(f, 4);
             send_image(f, {1, 2, 3, 4});
             ask(f, REQ_PROGRAMMER_STATUS);
             send(f, REQ_PROGRAMMER_COMMAND, PROGRAMMER_START);
         }},
        {"an injected code, after the busy polls", 0x58,
         [&](fpga_t *f) {
             set_faults(0, [](sim_faults &fs) { fs.busy_polls = 3; fs.programmer_error = 5; });
             prepare(f, 0);
             for (int i = 0; i < 3; ++i) EXPECT_EQ(ask(f, REQ_PROGRAMMER_STATUS), 0u) << "poll " << i;
         }},
    };
    for (const Case &c : cases) {
        fpga_t *f = fpga_open(0);
        c.run(f);
        EXPECT_EQ(ask(f, REQ_PROGRAMMER_STATUS), c.status) << c.what;
        fpga_close(f);
    }
    EXPECT_EQ(history().size(), 7u);
}

TEST_F(VirtualBoard, NormalModeHasNoProgrammer) {
    fpga_t *f = fpga_open(0);
    prepare(f, 4);
    EXPECT_EQ(send_image(f, {1, 2, 3, 4}), 1) << "the link takes the words; the gateware drops them";
    EXPECT_EQ(ask(f, REQ_PROGRAMMER_STATUS), 0xDEADu) << "a programmer request gets no reply";
    fpga_close(f);
    EXPECT_EQ(flash()[0], 0xFF);
    EXPECT_TRUE(history().empty());
}

TEST_F(VirtualBoard, ReplyFaultsAndMissingReplies) {
    set_faults(0, [](sim_faults &f) { f.mode_reply_set = true; f.mode_reply = 7; });
    EXPECT_EQ(mode_of(0), 7u);
    set_faults(0, [](sim_faults &f) {
        f = sim_faults{};
        f.recv_counts[REQ_MODE_QUERY] = 0;
        f.send_counts[REQ_MODE_SWITCH] = 0;
    });
    fpga_t *f = fpga_open(0);
    EXPECT_EQ(ask(f, REQ_MODE_QUERY), 0xDEADu) << "lost reply leaves the word untouched";
    uint32_t w = 0xDEAD;
    EXPECT_EQ(fpga_recv(f, CONTROL_CHANNEL, &w, 1, CONTROL_TIMEOUT_MS), 0) << "no request, no reply";
    EXPECT_EQ(w, 0xDEADu);
    EXPECT_EQ(send(f, REQ_MODE_SWITCH, MODE_SWITCH_KEY), 0) << "reported count";
    fpga_reset(f);
    fpga_close(f);
    EXPECT_EQ(board(0).mode, SIM_MODE_BOOTLOADER) << "the request still reached the board";
}

TEST_F(VirtualBoard, ImageSendFaults) {
    add_board(0, SIM_MODE_BOOTLOADER);
    set_faults(0, [](sim_faults &f) { f.image_max_words = 100; f.image_fail_send = 3; f.image_fail_result = -5; });
    const std::vector<unsigned char> image = sample_bytes(1024);
    fpga_t *f = fpga_open(0);
    prepare(f, 1024);
    EXPECT_EQ(send_image(f, image), 100);
    EXPECT_EQ(fpga_send(f, IMAGE_CHANNEL, const_cast<unsigned char *>(image.data()) + 400, 156, 0, 1, 0), 100);
    EXPECT_EQ(fpga_send(f, IMAGE_CHANNEL, const_cast<unsigned char *>(image.data()) + 800, 56, 0, 1, 0), -5);
    EXPECT_EQ(fpga_send(f, IMAGE_CHANNEL, const_cast<unsigned char *>(image.data()) + 800, 56, 0, 1, 0), 56);
    EXPECT_EQ(ask(f, REQ_PROGRAMMER_STATUS), STATUS_DONE);
    fpga_close(f);
    expect_flash_holds(image);
}

// Files may grow to limit bytes until the end of the scope: a write beyond
// fails half done, as on a full disk.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t limit) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        old_handler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit r = saved_;
        r.rlim_cur = limit;
        setrlimit(RLIMIT_FSIZE, &r);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, old_handler_);
    }

private:
    rlimit saved_{};
    void (*old_handler_)(int) = nullptr;
};

// A disk that has filled up, for board id's state: a whole save, through a
// temporary file of this process, fails; the progress line, rewritten in
// place, and the flash, which is never extended, are still written. A
// folder stands where the temporary file goes.
class WholeSavesFail {
public:
    WholeSavesFail(const std::string &root, int id)
        : temp_(sim_state_path(root, id) + "." + std::to_string(getpid()) + ".tmp") {
        std::filesystem::create_directories(temp_ + "/in_it");
    }
    ~WholeSavesFail() { std::filesystem::remove_all(temp_); }

private:
    std::string temp_;
};

TEST_F(VirtualBoard, AFailedSaveReportsNoWordMovedAndLeavesTheLastStateWhole) {
    fpga_t *f = fpga_open(0);
    const std::string before = state_text();
    {
        FileSizeLimit limit(200);  // less than a state, more than the message
        testing::internal::CaptureStderr();
        EXPECT_EQ(send(f, REQ_MODE_SWITCH, MODE_SWITCH_KEY), 0);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err.rfind("riffa_sim: board 0: " + sim_board_dir(root_, 0), 0), 0u) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    }
    EXPECT_EQ(state_text(), before) << "the state half written";
    fpga_reset(f);
    fpga_close(f);
    EXPECT_EQ(board(0).mode, SIM_MODE_NORMAL) << "no reboot was armed";
}

TEST_F(VirtualBoard, ABoardIsCreatedWholeOrNotAtAll) {
    {
        FileSizeLimit limit(4096);  // room for the state, not for the flash
        testing::internal::CaptureStderr();
        EXPECT_EQ(fpga_open(0), nullptr);
        EXPECT_NE(testing::internal::GetCapturedStderr().find("flash.bin"), std::string::npos);
    }
    EXPECT_TRUE(std::filesystem::is_empty(root_)) << "no board and nothing half made";
    EXPECT_EQ(mode_of(0), MODE_NORMAL);
}

// Makes a fresh board 0 and breaks it with make: opening it then fails with
// one line that names the file and what is wrong (error, after "riffa_sim:
// board 0: <its folder>/"), and leaves the board as it was.
void VirtualBoard::expect_unusable(const char *what, const std::function<void()> &make, const std::string &error) {
    const std::string board0 = sim_board_dir(root_, 0);
    add_board(0, SIM_MODE_NORMAL);
    make();
    const std::string state = state_text();
    const uintmax_t flash_bytes = std::filesystem::file_size(board0 + "/flash.bin");
    testing::internal::CaptureStderr();
    EXPECT_EQ(fpga_open(0), nullptr) << what;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "riffa_sim: board 0: " + board0 + "/" + error + "\n");
    EXPECT_EQ(state_text(), state) << what << ": the state was replaced";
    EXPECT_EQ(std::filesystem::file_size(board0 + "/flash.bin"), flash_bytes) << what;
    sim_remove_board(root_, 0);
}

TEST_F(VirtualBoard, AnUnusableBoardIsAnErrorNamingTheFileAndIsNeverMadeAnew) {
    const std::string board0 = sim_board_dir(root_, 0);
    const auto edit = [this](std::function<void(std::string &)> change) {
        return [this, change] {
            std::string text = state_text();
            change(text);
            write_state(text);
        };
    };
    // Replaces each text of the state by the other of its pair.
    const auto swap = [&](std::vector<std::pair<std::string, std::string>> pairs) {
        return edit([pairs](std::string &text) {
            for (const auto &[from, to] : pairs) {
                const size_t at = text.find(from);
                ASSERT_NE(at, std::string::npos) << from;
                text.replace(at, from.size(), to);
            }
        });
    };
    const std::string none = "progress 0000000000 0000000000000000 0000000000";
    expect_unusable("no state", [&] { std::filesystem::remove(board0 + "/state"); }, "state: missing");
    expect_unusable("a flash of the wrong size", [&] { std::filesystem::resize_file(board0 + "/flash.bin", 4096); },
                    "flash.bin: 4096 bytes instead of 8388608");
    expect_unusable("empty", edit([](std::string &t) { t.clear(); }),
                    "state: not a riffa_sim board state (no version line)");
    expect_unusable("random bytes", edit([](std::string &t) { t = "\x8f\x01zz\xff"; }),
                    "state: not a riffa_sim board state (no version line)");
    expect_unusable("a later format", swap({{"state v2", "state v3"}}),
                    "state: state format version 3 is not the version 2 that this riffa_sim reads");
    expect_unusable("cut short", edit([](std::string &t) { t.resize(t.size() - 3); }),
                    "state: the last line is cut short");
    expect_unusable("a line lost", swap({{"erased 0\n", ""}}), "state: no erased line (the file is cut short)");
    expect_unusable("an unknown key", edit([](std::string &t) { t += "colour blue\n"; }),
                    "state: line 24: unknown key colour");
    expect_unusable("a bad number", swap({{"mode 3", "mode 3x"}}), "state: line 5: bad value for mode");
    expect_unusable("a key twice", edit([](std::string &t) { t += "mode 2\n"; }), "state: line 24: mode given twice");
    expect_unusable("an error code over 4 bits", swap({{"\nerror 0", "\nerror 16"}}),
                    "state: line 10: bad value for error");
    expect_unusable("a failing send that returns words",
                    swap({{"fault_image_fail_send 0 0", "fault_image_fail_send 1 5"}}),
                    "state: line 23: bad value for fault_image_fail_send (riffa_sim clear-faults clears the faults)");
    expect_unusable("negative busy polls", swap({{"fault_busy_polls 0", "fault_busy_polls -1294967296"}}),
                    "state: line 21: bad value for fault_busy_polls (riffa_sim clear-faults clears the faults)");
    expect_unusable(
        "CRLF line ends", edit([](std::string &t) {
            for (size_t at = 0; (at = t.find('\n', at)) != std::string::npos; at += 2) t.insert(at, "\r");
        }),
        "state: the line ends are CRLF (carriage return and line feed), not the LF of a riffa_sim board state");
    expect_unusable("a mode that isn't one", swap({{"mode 3", "mode 7"}}), "state: mode 7 is neither 2 nor 3");
    expect_unusable("a reboot time over ten minutes", swap({{"reboot_time_ms 0", "reboot_time_ms 600001"}}),
                    "state: line 15: bad value for reboot_time_ms");
    expect_unusable("a come-back time without a reboot time", swap({{"back_at_ms 0", "back_at_ms 99"}}),
                    "state: a come-back time without a reboot time");
    expect_unusable("received beyond the announced size",
                    swap({{"progress 0000000000", "progress 4294967292"},
                          {"programmer idle", "programmer programming"}, {"announced_size 0", "announced_size 8"}}),
                    "state: received bytes 4294967292 do not fit the announced size 8");
    expect_unusable("an idle programmer with received bytes",
                    swap({{none, "progress 0000000008 0000000000000000 0000000008"},
                          {"announced_size 0", "announced_size 8"}}),
                    "state: an idle programmer with received bytes");
    expect_unusable("a flash write that ends before the received bytes",
                    swap({{none, "progress 0000000008 0000000000000000 0000000004"},
                          {"programmer idle", "programmer programming"}, {"announced_size 0", "announced_size 8"}}),
                    "state: a flash write to 4 from 8");
}

TEST_F(VirtualBoard, AVersion1StateIsShownOnAFullDiskAndSavedAsVersion2ByItsFirstUse) {
    // As riffa_sim wrote it before reboot times and counted runs: its runs
    // are the whole lines of its history.
    add_board(0, SIM_MODE_NORMAL);
    const std::string v1 =
        "# riffa_sim board state v1\nprogress 0000000008 00000000000000ab\nmode 2\nreboot_armed 0\n"
        "programmer finished\nannounced_size 8\nerased 0\nerror 0\nbusy_polls_seen 0\nfault_open_fails 0\n"
        "fault_image_max_words 0\nfault_image_fail_send 0 0\nfault_programmer_error 0\nfault_busy_polls 3\n";
    write_state(v1);
    const std::string run = "2026-01-01T00:00:00Z size=8 received=8 error=0 checksum=00000000000000ab\n";
    std::ofstream(sim_board_dir(root_, 0) + "/history", std::ios::binary) << run + run + "2026-01-01T00";
    sim_board b;
    {
        const WholeSavesFail full(root_, 0);
        b = board(0);
    }
    EXPECT_EQ(b.mode, SIM_MODE_BOOTLOADER);
    EXPECT_EQ(b.programmer.received_bytes, 8u);
    EXPECT_EQ(b.programmer.checksum, 0xabu);
    EXPECT_EQ(b.faults.busy_polls, 3);
    EXPECT_EQ(b.bus, sim_default_bus());
    EXPECT_EQ(history().size(), 2u);
    EXPECT_EQ(state_text(), v1) << "a look saves nothing";
    fpga_close(fpga_open(0));
    EXPECT_EQ(state_text(), sim_format_state(b)) << "saved as version 2";
}

TEST_F(VirtualBoard, NoPlaceForBoardsIsAnErrorOfOpenAndOfTheLockPathHook) {
    const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
    const std::string file = write_file("not_a_folder", {1});
    const std::string none = "no folder for the virtual boards: set RIFFA_SIM_DIR (or HOME)";
    // A file where the folder should be, then no folder named at all.
    for (const std::string &error : {file + ": not a folder", none}) {
        if (error == none) {
            unsetenv("RIFFA_SIM_DIR");
            unsetenv("XDG_STATE_HOME");
            unsetenv("HOME");
        } else {
            setenv("RIFFA_SIM_DIR", file.c_str(), 1);
        }
        char path[4096];
        testing::internal::CaptureStderr();
        EXPECT_EQ(fpga_open(0), nullptr);
        EXPECT_EQ(riffa_sim_session_lock_path(0, path, sizeof path), -1);
        const std::string line = "riffa_sim: board 0: " + error + "\n";
        EXPECT_EQ(testing::internal::GetCapturedStderr(), line + line);
    }
    setenv("HOME", home.c_str(), 1);
}

TEST_F(VirtualBoard, ChangesMadeByOthersDuringARunTakeEffectAndStay) {
    add_board(0, SIM_MODE_BOOTLOADER);
    const std::vector<unsigned char> image = sample_bytes(8192);
    fpga_t *f = fpga_open(0);
    prepare(f, 8192);
    send_image(f, {image.begin(), image.begin() + 4096});
    // As riffa_sim would, while the flasher runs; in force from its next request.
    set_faults(0, [](sim_faults &fs) { fs.busy_polls = 1; fs.image_max_words = 100; });
    EXPECT_EQ(ask(f, REQ_PROGRAMMER_STATUS), 0u);
    for (size_t at = 4096; at < image.size();) {
        const int words = fpga_send(f, IMAGE_CHANNEL, const_cast<unsigned char *>(image.data()) + at,
                                    int(image.size() - at) / 4, 0, 1, 0);
        ASSERT_EQ(words, std::min(100, int(image.size() - at) / 4));
        at += size_t(words) * 4;
    }
    EXPECT_EQ(ask(f, REQ_PROGRAMMER_STATUS), 0u) << "the busy poll the fault asked for";
    EXPECT_EQ(ask(f, REQ_PROGRAMMER_STATUS), STATUS_DONE);
    fpga_close(f);
    EXPECT_EQ(board(0).faults.busy_polls, 1) << "the session did not save its older copy over it";
    expect_flash_holds(image);
}

TEST_F(VirtualBoard, ConcurrentChangesAreNeverLost) {
    // Processes that all find a fresh folder, create board 0 at once and
    // count up one field of its state.
    constexpr int processes = 4, increments = 25;
    std::vector<pid_t> children;
    for (int i = 0; i < processes; ++i) {
        children.push_back(in_child([&] {
            fpga_t *f = fpga_open(0);
            std::string error;
            bool ok = f != nullptr;
            fpga_close(f);
            for (int n = 0; n < increments; ++n)
                ok = sim_update_board(root_, 0, [](sim_board &b) { ++b.faults.busy_polls; }, &error) && ok;
            return ok ? 0 : 1;
        }));
    }
    for (pid_t pid : children) EXPECT_EQ(exit_within(pid, std::chrono::seconds(60)), 0);
    EXPECT_EQ(board(0).faults.busy_polls, processes * increments);
    std::string error;
    EXPECT_EQ(sim_list_boards(root_, &error), std::vector<int>{0});
}

// Every flash change is recorded before it is made: an erase whose record
// could not be saved must leave neither an erased flash nor a done status.
TEST_F(VirtualBoard, AChangeWhoseRecordCannotBeSavedIsNotMadeAndNeverReportsDone) {
    const std::vector<unsigned char> image = sample_bytes(3000);
    for (bool size_saved : {false, true}) {
        add_board(0, SIM_MODE_BOOTLOADER);
        fpga_t *f = fpga_open(0);
        prepare(f, 3000);
        send_image(f, image);
        EXPECT_EQ(ask(f, REQ_PROGRAMMER_STATUS), STATUS_DONE);
        if (size_saved) {
            EXPECT_EQ(send(f, REQ_IMAGE_SIZE, 8), 1);
        }
        const std::string before = state_text();
        std::optional<WholeSavesFail> full(std::in_place, root_, 0);
        testing::internal::CaptureStderr();
        if (!size_saved) {
            EXPECT_EQ(send(f, REQ_IMAGE_SIZE, 8), 0);
        }
        EXPECT_EQ(send(f, REQ_PROGRAMMER_COMMAND, PROGRAMMER_ERASE), 0) << size_saved;
        EXPECT_EQ(send(f, REQ_PROGRAMMER_COMMAND, PROGRAMMER_START), 0) << size_saved;
        EXPECT_EQ(send_image(f, std::vector<unsigned char>(8, 0x22)), 0) << size_saved;
        const uint32_t status = ask(f, REQ_PROGRAMMER_STATUS);
        EXPECT_TRUE(status == 0xDEAD || !(status & STATUS_DONE)) << size_saved << ": no reply or not done";
        testing::internal::GetCapturedStderr();
        fpga_close(f);
        full.reset();
        EXPECT_EQ(state_text(), before) << size_saved;
        expect_flash_holds(image);
        sim_remove_board(root_, 0);
    }
}

// The disk fills after the first image send and is freed before the last:
// the words kept pending meanwhile can't be written. The request that was
// to write them fails, and the run ends with the board's own code instead
// of going on with later words where the lost ones belong.
TEST_F(VirtualBoard, ImageWordsThatCouldNotBeWrittenEndTheRunAndNoLaterWordTakesTheirPlace) {
    add_board(0, SIM_MODE_BOOTLOADER);
    const std::vector<unsigned char> image = sample_bytes(600 * 1024);
    fpga_t *f = fpga_open(0);
    prepare(f, uint32_t(image.size()));
    const auto send_chunk = [&](size_t at) { return send_image(f, {image.begin() + at, image.begin() + at + 1024}); };
    EXPECT_EQ(send_chunk(0), 256);
    size_t at = 1024;
    std::optional<WholeSavesFail> full(std::in_place, root_, 0);
    testing::internal::CaptureStderr();
    while (at < image.size() && send_chunk(at) == 256) at += 1024;
    const std::string err = testing::internal::GetCapturedStderr();
    full.reset();
    EXPECT_LT(at, image.size()) << "every send reported its words as taken";
    EXPECT_EQ(err.rfind("riffa_sim: board 0: " + sim_state_path(root_, 0), 0), 0u) << err;
    for (at += 1024; at < image.size(); at += 1024) send_chunk(at);  // a program that goes on regardless
    EXPECT_EQ(ask(f, REQ_PROGRAMMER_STATUS), SIM_STATUS_DONE | SIM_ERR_WORDS_LOST << 4);
    fpga_close(f);
    expect_flash_holds({});
    ASSERT_EQ(history().size(), 1u);
    EXPECT_EQ(history()[0].error, SIM_ERR_WORDS_LOST);
}

// A size request whose transaction failed began no run: the requests after
// it reach none, neither the run before it nor one that another program
// begins meanwhile, whatever stopped it (its state away for a moment, or a
// save that failed after the change).
TEST_F(VirtualBoard, RequestsAfterASizeRequestThatWasNeverSavedReachNoRun) {
    const std::vector<unsigned char> old_image = sample_bytes(3000), new_image = sample_bytes(3000, 2);
    const std::string state = sim_board_dir(root_, 0) + "/state";
    std::optional<WholeSavesFail> full;
    const struct {
        const char *how;
        std::function<void()> lose, restore;
    } cases[] = {
        {"state away", [&] { std::filesystem::rename(state, state + ".away"); },
         [&] { std::filesystem::rename(state + ".away", state); }},
        {"save failed", [&] { full.emplace(root_, 0); }, [&] { full.reset(); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.how);
        add_board(0, SIM_MODE_BOOTLOADER);
        fpga_t *f = fpga_open(0);
        prepare(f, 3000);
        send_image(f, old_image);
        EXPECT_EQ(ask(f, REQ_PROGRAMMER_STATUS), STATUS_DONE);
        c.lose();
        testing::internal::CaptureStderr();
        EXPECT_EQ(send(f, REQ_IMAGE_SIZE, 3000), 0);
        testing::internal::GetCapturedStderr();
        c.restore();
        fpga_t *other = fpga_open(0);
        EXPECT_EQ(send(other, REQ_IMAGE_SIZE, 3000), 1);
        fpga_close(other);
        EXPECT_EQ(send(f, REQ_PROGRAMMER_COMMAND, PROGRAMMER_ERASE), 0);
        EXPECT_EQ(send(f, REQ_PROGRAMMER_COMMAND, PROGRAMMER_START), 0);
        EXPECT_EQ(send_image(f, new_image), 0);
        EXPECT_EQ(ask(f, REQ_PROGRAMMER_STATUS), 0xDEADu) << "no reply";
        fpga_close(f);
        expect_flash_holds(old_image);
        EXPECT_EQ(history().size(), 1u);
        sim_remove_board(root_, 0);
    }
}

TEST_F(VirtualBoard, AFlashWriteLeftUnsettledIsErasedWhenTheBoardIsNextRead) {
    add_board(0, SIM_MODE_BOOTLOADER);
    // As a flasher killed within its write: 8 bytes counted, 4096 begun.
    edit_board(0, [](sim_board &b) {
        b.programmer.state = sim_prog_state::programming;
        b.programmer.announced_size = 8192;
        b.programmer.received_bytes = 8;
        b.programmer.writing_to = 4096;
    });
    std::vector<unsigned char> held = sample_bytes(SIM_FLASH_BYTES);
    std::fill(held.begin() + 4096, held.end(), 0xFF);
    write_file("sim/board0/flash.bin", held);
    EXPECT_EQ(board(0).programmer.writing_to, 8u);
    expect_flash_holds({held.begin(), held.begin() + 8});
}

TEST_F(VirtualBoard, AKillAtAnyMomentLeavesTheFlashHoldingWhatTheStateCounts) {
    const std::vector<unsigned char> image = sample_bytes(2 * 1024 * 1024);
    for (int kill_after = 0; kill_after < 24 && !HasFailure(); ++kill_after) {
        add_board(0, SIM_MODE_BOOTLOADER);
        const pid_t child = in_child([&] {
            fpga_t *f = fpga_open(0);
            prepare(f, uint32_t(image.size()));
            for (size_t at = 0; at < image.size(); at += 1024)
                send_image(f, {image.begin() + at, image.begin() + at + 1024});
            return 0;
        });
        // Killed once the state counts a first block, a little later each time.
        const auto started = std::chrono::steady_clock::now();
        const size_t received_at = SIM_PROGRESS_LINE_AT + SIM_PROGRESS_RECEIVED_AT;
        while (state_text().compare(received_at, SIM_PROGRESS_NUMBER_WIDTH, "0000000000") == 0 &&
               std::chrono::steady_clock::now() - started < std::chrono::seconds(10)) {}
        for (int spin = 0; spin < kill_after * 2000; ++spin) getppid();
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        const uint32_t counted = board(0).programmer.received_bytes;
        expect_flash_holds({image.begin(), image.begin() + counted});
        sim_remove_board(root_, 0);
    }
}

TEST_F(VirtualBoard, TheProgressLineRewrittenInPlaceReadsAsAWholeSave) {
    add_board(0, SIM_MODE_BOOTLOADER);
    set_faults(0, [](sim_faults &f) { f.send_counts[REQ_IMAGE_SIZE] = 2; f.mode_reply_set = true; });
    sim_board b = board(0);
    b.programmer.received_bytes = 4294967292u;
    b.programmer.checksum = 0xfedcba9876543210u;
    b.programmer.writing_to = 4294967295u;
    sim_files files;
    std::string error;
    ASSERT_TRUE(sim_open_files(root_, 0, false, &files, &error)) << error;
    ASSERT_TRUE(sim_save_progress(files, b.programmer, &error)) << error;
    EXPECT_EQ(state_text(), sim_format_state(b));
}

// Image sends as the library takes them, its fast path first, beside the
// same sends taken one at a time under the lock (sim_image_words alone).
TEST_F(VirtualBoard, ImageWordsKeptPendingEndAsTheSameFlashAndStateAsWordsWrittenAtOnce) {
    const std::vector<unsigned char> image = sample_bytes(300 * 1024 + 4);
    std::vector<int> moved[2];
    sim_session slow;
    std::string error;
    for (int id : {0, 1}) {
        add_board(id, SIM_MODE_BOOTLOADER);
        set_faults(id, [](sim_faults &f) { f.image_max_words = 300; f.image_fail_send = 5; f.image_fail_result = -2; });
        fpga_t *f = fpga_open(id);
        prepare(f, uint32_t(image.size() - 4));  // the last word runs over
        if (id == 1) {
            ASSERT_TRUE(sim_open_files(root_, 1, true, &slow.files, &error)) << error;
            slow.run = board(1).programmer.run;  // the run the size request of the handle began
        }
        const auto send_slow = [&](const unsigned char *bytes, int words, int number) {
            int n = 0;
            EXPECT_TRUE(sim_transact(&slow.files, &slow.board, [&](sim_board &) {
                slow.change = sim_change::none;
                n = sim_image_words(&slow, bytes, words, number);
                return slow.change;
            }, &error)) << error;
            return n;
        };
        int number = 0;
        for (size_t at = 0; at < image.size();) {
            const int words = int(std::min<size_t>(256, (image.size() - at) / 4));
            unsigned char *bytes = const_cast<unsigned char *>(image.data()) + at;
            const int n =
                id == 0 ? fpga_send(f, IMAGE_CHANNEL, bytes, words, 0, 1, 0) : send_slow(bytes, words, ++number);
            moved[id].push_back(n);
            at += size_t(std::max(n, 0)) * 4;
        }
        fpga_close(f);
        sim_close_files(&slow.files);
    }
    EXPECT_EQ(moved[0], moved[1]);
    EXPECT_EQ(state_text(0), state_text(1));
    EXPECT_TRUE(flash(0) == flash(1));
}

}  // namespace
