// The file lock as two programs meet at it: a wait that signals can't cut
// short, and a file that every user can lock.
#include "file_lock.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string scratch_path(const char *name) {
    return (std::filesystem::temp_directory_path() / (std::string(name) + std::to_string(getpid()))).string();
}

// Two programs at one lock file: the holder has taken it, the waiter not yet.
struct HolderAndWaiter {
    explicit HolderAndWaiter(const char *name) : path(scratch_path(name)) {
        holder = file_lock_open(path.c_str(), &reason);
        EXPECT_EQ(file_lock_take(holder, FILE_LOCK_NO_WAIT, &reason), FILE_LOCK_HELD) << reason;
        waiter = file_lock_open(path.c_str(), &reason);
        EXPECT_NE(waiter, FILE_LOCK_NONE) << reason;
    }
    ~HolderAndWaiter() {
        file_lock_close(waiter);
        std::remove(path.c_str());
    }
    std::string path;
    const char *reason = "";
    file_lock_t holder, waiter;
};

TEST(FileLock, WaitGoesOnThroughSignalsUntilTheHolderLetsGo) {
    HolderAndWaiter two("file_lock_wait");
    const char *reason = "";

    // A handler without SA_RESTART makes a blocked flock return EINTR.
    struct sigaction tick = {};
    tick.sa_handler = [](int) {};
    sigaction(SIGALRM, &tick, nullptr);
    const itimerval every_50ms = {{0, 50000}, {0, 50000}};
    setitimer(ITIMER_REAL, &every_50ms, nullptr);
    std::atomic<bool> let_go{false};
    std::thread other([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        let_go = true;
        file_lock_close(two.holder);
    });
    EXPECT_EQ(file_lock_take(two.waiter, FILE_LOCK_WAIT_FOREVER, &reason), FILE_LOCK_HELD) << reason;
    EXPECT_TRUE(let_go) << "the wait ended before the holder let go";
    const itimerval off = {};
    setitimer(ITIMER_REAL, &off, nullptr);
    other.join();
}

TEST(FileLock, FileIsMadeReadableByAllWhateverTheUmask) {
    const std::string path = scratch_path("file_lock_umask");
    const mode_t before = umask(077);
    const char *reason = "";
    const file_lock_t lock = file_lock_open(path.c_str(), &reason);
    umask(before);
    ASSERT_NE(lock, FILE_LOCK_NONE) << reason;
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    file_lock_close(lock);
    std::remove(path.c_str());
}

TEST(FileLock, BoundedTakeWaitsForTheHolderButNoLonger) {
    HolderAndWaiter two("file_lock_bounded");
    const char *reason = "";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(file_lock_take(two.waiter, 200, &reason), FILE_LOCK_BUSY);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
    std::thread other([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        file_lock_close(two.holder);
    });
    EXPECT_EQ(file_lock_take(two.waiter, 30000, &reason), FILE_LOCK_HELD);
    other.join();
}

TEST(FileLock, RacingCreatorsAllGetTheOneFileAndLeaveNothingElse) {
    const std::filesystem::path dir = scratch_path("file_lock_race");
    std::filesystem::create_directory(dir);
    const std::string path = (dir / "board.lock").string();
    int start[2];
    ASSERT_EQ(pipe(start), 0);
    std::vector<pid_t> racers;
    for (int i = 0; i < 40; ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            close(start[1]);
            char go;
            (void)!read(start[0], &go, 1);  // all start at once, when the pipe closes
            const char *reason = "";
            _exit(file_lock_open(path.c_str(), &reason) == FILE_LOCK_NONE ? 1 : 0);
        }
        racers.push_back(pid);
    }
    close(start[0]);
    close(start[1]);
    int failed = 0;
    for (pid_t pid : racers) {
        int status = 0;
        waitpid(pid, &status, 0);
        failed += !WIFEXITED(status) || WEXITSTATUS(status) != 0;
    }
    EXPECT_EQ(failed, 0) << "losing the race to create it is no reason to refuse it";
    std::vector<std::string> left;
    for (const auto &entry : std::filesystem::directory_iterator(dir)) left.push_back(entry.path().filename());
    EXPECT_EQ(left, std::vector<std::string>{"board.lock"});
    std::filesystem::remove_all(dir);
}

}  // namespace
