// Port locks and helpers of VEMCmn on real named semaphores in /dev/shm (the
// cross-process case forks), and the shared numbers as C++ and strict C see them.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <filesystem>
#include <thread>

#include "VEMCmn.h"

extern "C" const long vem_pins[][2];  // vocab_c.c: {value, pinned value}
extern "C" const int vem_pin_count;

namespace {

unsigned file_mode(const std::string& path) {
    return static_cast<unsigned>(std::filesystem::status(path).permissions());
}

// Every test (a process of its own) gets a semaphore of its own, unlinked afterwards.
class SemTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_NE(sem(), nullptr) << name_ << ": errno " << errno; }
    void TearDown() override { sem_.reset(), ::sem_unlink(name_.c_str()); }
    sem_t* sem() { return sem_.get(); }
    static std::string sem_file(const std::string& n) { return "/dev/shm/sem." + n.substr(1); }
    static int sem_value(sem_t* s) {
        int v = -1;
        return ::sem_getvalue(s, &v), v;
    }
    std::string name_ = "/cmn_share_interface_test_" + std::to_string(::getpid()) + "__";
    UniqueSem sem_{create_semaphore(name_.c_str())};
};

}  // namespace

// Two processes take turns: time-outs 0 and positive expire while the other holds the
// lock; positive and -1 succeed once it lets go.  Refusals change nothing.
TEST_F(SemTest, LockAcrossProcesses) {
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    const auto put = [](int fd, char c) { return ::write(fd, &c, 1) == 1; };
    const auto get = [](int fd, char c = 0) { return ::read(fd, &c, 1) == 1 ? c : '\0'; };
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {  // its own handle on the name, as another program would have
        sem_t* s = create_semaphore(name_.c_str());
        int code = s == nullptr || lock_sem(s, 0) != VEM_SUCCESS || !put(sv[1], 'L') ? 10 : 0;
        if (get(sv[1]) != 'R' || unlock_sem(s) != VEM_SUCCESS) code = 11;       // told to release
        if (get(sv[1]) != 'W' || lock_sem(s, 10000) != VEM_SUCCESS) code = 12;  // parent holds it
        _exit(code);
    }
    ASSERT_EQ(get(sv[0]), 'L');
    EXPECT_EQ(lock_sem(sem(), 0), VEM_LOCK_TIMEOUT);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(lock_sem(sem(), 150), VEM_LOCK_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(140));
    put(sv[0], 'R');
    EXPECT_EQ(lock_sem(sem(), -1), VEM_SUCCESS) << "released by the child";
    put(sv[0], 'W');
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the child waits meanwhile
    EXPECT_EQ(unlock_sem(sem()), VEM_SUCCESS);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child step failed: " << status;
    EXPECT_EQ(unlock_sem(sem()), VEM_SUCCESS) << "the child left holding it";
    EXPECT_EQ(unlock_sem(sem()), VEM_ILLEGAL) << "unlock of a free semaphore";
    EXPECT_EQ(
        lock_sem(sem(), -2) + lock_sem(nullptr, -1) + islock_sem(nullptr) + unlock_sem(nullptr),
        4 * VEM_ILLEGAL);
    EXPECT_EQ(sem_value(sem()), 1);
    ::close(sv[0]), ::close(sv[1]);
}

// An endless wait cut short by a signal is a failure, never a held lock.
TEST_F(SemTest, InterruptedWaitIsNotHeld) {
    ASSERT_EQ(lock_sem(sem(), 0), VEM_SUCCESS);
    struct sigaction sa = {};
    sa.sa_handler = [](int) {};  // no SA_RESTART
    ASSERT_EQ(::sigaction(SIGUSR1, &sa, nullptr), 0);
    std::atomic<int> result{1};
    std::thread waiter([&] { result = lock_sem(sem(), -1); });
    for (int i = 0; i < 500 && result == 1; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ::pthread_kill(waiter.native_handle(), SIGUSR1);
    }
    if (result == 1) unlock_sem(sem());  // never hang the suite; the check fails
    waiter.join();
    EXPECT_EQ(result, VEM_ILLEGAL);
    EXPECT_EQ(sem_value(sem()), 0) << "the interrupted waiter must not have taken it";
}

TEST(LockDeadline, CarriesNanosecondsIntoSeconds) {
    // clang-format off
    const struct { time_t sec; long nsec; int ms; time_t wantSec; long wantNsec; } cases[] = {
        {1000, 600000000, 1500, 1002, 100000000}, {1000, 999999999, 0, 1000, 999999999},
        {1700000000, 500000000, INT_MAX, 1700000000 + 2147484, 147000000}};
    // clang-format on
    for (const auto& c : cases) {
        const struct timespec d = lock_deadline({c.sec, c.nsec}, c.ms);
        EXPECT_TRUE(d.tv_sec == c.wantSec && d.tv_nsec == c.wantNsec) << c.ms << "ms";
    }
}

// A name that does not fit is refused, creating nothing.  The file is usable by
// every user whatever our umask.
TEST_F(SemTest, CreateNameLengthModeAndPlantedLink) {
    // A planted link is never followed, whichever name is created: its target keeps its mode.
    char target[] = "/tmp/vemcmn-secretXXXXXX";
    UniqueFd fd(::mkstemp(target));
    ASSERT_TRUE(fd && ::fchmod(fd.get(), 0600) == 0 && ::ftruncate(fd.get(), 64) == 0);
    const std::string link = "/cmn_share_interface_link_" + std::to_string(::getpid()) + "__";
    ASSERT_EQ(::symlink(target, sem_file(link).c_str()), 0);
    EXPECT_EQ(UniqueSem(create_semaphore(link.c_str())), nullptr) << "used a planted link";
    const std::string longest = "/cmn_share_interface_" + std::string(99 - 21, 'x');
    EXPECT_EQ(create_semaphore((longest + "y").c_str()), nullptr);
    EXPECT_NE(::access(sem_file(longest + "y").c_str(), F_OK), 0) << "nothing may be created";
    const mode_t oldMask = ::umask(077);
    UniqueSem sem(create_semaphore(longest.c_str()));
    ::umask(oldMask);
    EXPECT_EQ(file_mode(target), 0600u) << "the link's target was changed";
    ::unlink(sem_file(link).c_str()), ::unlink(target);
    ASSERT_NE(sem, nullptr) << "99 characters fit";
    EXPECT_EQ(file_mode(sem_file(longest)), 0666u);
    ::sem_unlink(longest.c_str());
}

// Whole and truncated milliseconds, either way, across the 2^31 and 2^32
// microsecond wraps, with no signed overflow (the sanitizer tree checks that).
TEST(TimeDiffMs, ExactAcrossWraparound) {
    // clang-format off
    const struct { long s0, us0, s1, us1; int ms; } cases[] = {
        {10, 999999, 11, 0, 0}, {11, 500000, 10, 0, -1500}, {2147, 0, 2148, 500000, 1500},
        {4294, 900000, 4295, 100000, 200}, {2147, 483648, 0, 0, -2147483}};
    // clang-format on
    for (const auto& c : cases)
        EXPECT_EQ(time_diff_ms({c.s0, c.us0}, {c.s1, c.us1}), c.ms) << c.s0 << "." << c.us0;
}

TEST(Vocabulary, PinnedAsCSeesIt) {
    for (int i = 0; i < vem_pin_count; ++i)
        EXPECT_EQ(vem_pins[i][0], vem_pins[i][1]) << "pin " << i;
}
