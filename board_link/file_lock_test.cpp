// The file lock as two programs meet at it: a wait that signals can't cut
// short, and a file that every user can lock.
#include "file_lock.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <thread>

namespace {

std::string scratch_path(const char *name) {
    return (std::filesystem::temp_directory_path() / (std::string(name) + std::to_string(getpid()))).string();
}

TEST(FileLock, WaitGoesOnThroughSignalsUntilTheHolderLetsGo) {
    const std::string path = scratch_path("file_lock_wait");
    const char *reason = "";
    const file_lock_t holder = file_lock_open(path.c_str(), &reason);
    ASSERT_EQ(file_lock_take(holder, FILE_LOCK_NO_WAIT, &reason), FILE_LOCK_HELD);
    const file_lock_t waiter = file_lock_open(path.c_str(), &reason);
    ASSERT_NE(waiter, FILE_LOCK_NONE) << reason;

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
        file_lock_close(holder);
    });
    EXPECT_EQ(file_lock_take(waiter, FILE_LOCK_WAIT_FOREVER, &reason), FILE_LOCK_HELD) << reason;
    EXPECT_TRUE(let_go) << "the wait ended before the holder let go";
    const itimerval off = {};
    setitimer(ITIMER_REAL, &off, nullptr);
    other.join();
    file_lock_close(waiter);
    std::remove(path.c_str());
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

}  // namespace
