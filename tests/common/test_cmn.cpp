// Port locks and helpers of VEMCmn, exercised on real named semaphores in
// /dev/shm and, for the cross-process cases, a forked second process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "VEMCmn.h"
#include "test_support.h"

using namespace vemtest;

namespace {

// Every test gets a fresh semaphore name and unlinks it afterwards.
class SemTest : public ::testing::Test {
  protected:
    void SetUp() override {
        name_ = unique_sem_name("cmn");
        sem_ = UniqueSem(create_semaphore(name_.c_str()));
        ASSERT_NE(sem_, nullptr) << "create_semaphore(" << name_ << ") errno " << errno;
    }
    void TearDown() override {
        sem_.reset();
        ::sem_unlink(name_.c_str());
    }
    sem_t* sem() { return sem_.get(); }

    std::string name_;
    UniqueSem sem_;
};

// One byte over a pipe: the two processes of a fork test take turns.
void put(int fd, char c) {
    ASSERT_EQ(::write(fd, &c, 1), 1);
}
char get(int fd) {
    char c = 0;
    return ::read(fd, &c, 1) == 1 ? c : '\0';
}

double ms_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

// Locking, testing and unlocking within one process; a free semaphore is
// never posted above 1.
TEST_F(SemTest, LockTestUnlockInOneProcess) {
    TempDir dir;
    LogCapture log(dir);

    EXPECT_EQ(sem_value(sem()), 1) << "a new semaphore starts free";
    EXPECT_EQ(islock_sem(sem()), VEM_NOLOCK);

    EXPECT_EQ(lock_sem(sem(), 0), VEM_SUCCESS);
    EXPECT_EQ(sem_value(sem()), 0);
    EXPECT_EQ(islock_sem(sem()), VEM_ALREADY_LOCK);
    EXPECT_EQ(lock_sem(sem(), 0), VEM_LOCK_TIMEOUT) << "time-out 0 only tries";
    EXPECT_EQ(sem_value(sem()), 0);

    EXPECT_EQ(unlock_sem(sem()), VEM_SUCCESS);
    EXPECT_EQ(sem_value(sem()), 1);

    log.clear();
    EXPECT_EQ(unlock_sem(sem()), VEM_ILLEGAL) << "unlock of a free semaphore";
    EXPECT_EQ(sem_value(sem()), 1) << "a free semaphore must not be posted";
    EXPECT_TRUE(log.has("Semaphore it not lock. Unlock fail.")) << log.text();
}

// Refused arguments change nothing and say so in the log.
TEST_F(SemTest, IllegalArguments) {
    TempDir dir;
    LogCapture log(dir);

    char expect[80];
    std::snprintf(expect, sizeof expect, "Lock complete, sem=0x%08X result=-8", ptr_low32(sem()));
    EXPECT_EQ(lock_sem(sem(), -2), VEM_ILLEGAL);
    EXPECT_TRUE(log.has(expect)) << log.text();
    EXPECT_EQ(lock_sem(sem(), INT_MIN), VEM_ILLEGAL);
    EXPECT_EQ(sem_value(sem()), 1) << "an illegal time-out must not take the lock";

    log.clear();
    EXPECT_EQ(lock_sem(nullptr, 0), VEM_ILLEGAL);
    EXPECT_EQ(lock_sem(nullptr, -1), VEM_ILLEGAL);
    EXPECT_EQ(islock_sem(nullptr), VEM_ILLEGAL);
    EXPECT_EQ(unlock_sem(nullptr), VEM_ILLEGAL);
    EXPECT_TRUE(log.has("[C_E001XX] Invalid pointer")) << log.text();
    EXPECT_TRUE(log.has("[C_E003XX] Invalid pointer")) << log.text();
    EXPECT_TRUE(log.has("[C_E002XX] Invalid pointer")) << log.text();
}

// Two processes take turns: time-outs 0 and positive expire while the other
// process holds the lock; positive and -1 succeed once it lets go.
TEST_F(SemTest, LockAcrossProcesses) {
    int toChild[2], toParent[2];
    ASSERT_EQ(::pipe(toChild), 0);
    ASSERT_EQ(::pipe(toParent), 0);

    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // Child: its own handle on the same name, as another program would.
        ::close(toChild[1]);
        ::close(toParent[0]);
        sem_t* s = create_semaphore(name_.c_str());
        int code = 0;
        if (s == nullptr || lock_sem(s, 0) != VEM_SUCCESS) code = 10;
        put(toParent[1], 'L');                  // holding
        if (get(toChild[0]) != 'R') code = 11;  // parent asks to release
        if (code == 0 && unlock_sem(s) != VEM_SUCCESS) code = 12;
        if (get(toChild[0]) != 'W') code = 13;  // parent holds it now
        put(toParent[1], 'w');
        if (code == 0 && lock_sem(s, 10000) != VEM_SUCCESS) code = 14;  // released meanwhile
        _exit(code);
    }
    ::close(toChild[0]);
    ::close(toParent[1]);

    ASSERT_EQ(get(toParent[0]), 'L');
    EXPECT_EQ(islock_sem(sem()), VEM_ALREADY_LOCK);

    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(lock_sem(sem(), 0), VEM_LOCK_TIMEOUT);
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(lock_sem(sem(), 150), VEM_LOCK_TIMEOUT);
    EXPECT_GE(ms_since(t0), 140.0) << "the wait ended before its deadline";
    EXPECT_EQ(islock_sem(sem()), VEM_ALREADY_LOCK);

    put(toChild[1], 'R');
    EXPECT_EQ(lock_sem(sem(), -1), VEM_SUCCESS) << "released by the child";

    put(toChild[1], 'W');
    ASSERT_EQ(get(toParent[0]), 'w');
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(unlock_sem(sem()), VEM_SUCCESS);

    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "child step failed";
    EXPECT_EQ(islock_sem(sem()), VEM_ALREADY_LOCK) << "the child left holding it";
    EXPECT_EQ(unlock_sem(sem()), VEM_SUCCESS);
    ::close(toChild[1]);
    ::close(toParent[0]);
}

namespace {
void on_usr1(int) {}
}  // namespace

// An endless wait cut short by a signal is a failure, never a held lock.
TEST_F(SemTest, InterruptedUntimedWaitIsNotAHeldLock) {
    ASSERT_EQ(lock_sem(sem(), 0), VEM_SUCCESS);  // we hold it: the waiter blocks

    struct sigaction sa {};
    struct sigaction old {};
    sa.sa_handler = on_usr1;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART
    ASSERT_EQ(::sigaction(SIGUSR1, &sa, &old), 0);

    std::atomic<int> result{1};
    std::thread waiter([&] { result = lock_sem(sem(), -1); });
    // The signal may arrive before the thread blocks; repeat until it leaves.
    for (int i = 0; i < 500 && result == 1; ++i) {
        ::pthread_kill(waiter.native_handle(), SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (result == 1) {
        unlock_sem(sem());  // do not hang the suite; the check below fails
    }
    waiter.join();
    ::sigaction(SIGUSR1, &old, nullptr);

    EXPECT_EQ(result, VEM_ILLEGAL);
    EXPECT_EQ(sem_value(sem()), 0) << "the interrupted waiter must not have taken it";
    EXPECT_EQ(unlock_sem(sem()), VEM_SUCCESS);
}

// SIGALRM during a timed wait neither kills the process nor ends the wait early.
TEST_F(SemTest, SigalrmDuringTimedWait) {
    ASSERT_EQ(lock_sem(sem(), 0), VEM_SUCCESS);  // also installs the SIGALRM action

    std::atomic<int> result{1};
    auto t0 = std::chrono::steady_clock::now();
    std::thread waiter([&] { result = lock_sem(sem(), 300); });
    for (int i = 0; i < 10; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ::pthread_kill(waiter.native_handle(), SIGALRM);
    }
    waiter.join();
    EXPECT_EQ(result, VEM_LOCK_TIMEOUT);
    EXPECT_GE(ms_since(t0), 290.0);
    EXPECT_EQ(unlock_sem(sem()), VEM_SUCCESS);
}

TEST(LockDeadline, CarriesNanosecondsIntoSeconds) {
    auto at = [](time_t s, long ns) {
        struct timespec t {};
        t.tv_sec = s;
        t.tv_nsec = ns;
        return t;
    };
    struct timespec d = lock_deadline(at(1000, 600000000), 1500);
    EXPECT_EQ(d.tv_sec, 1002);
    EXPECT_EQ(d.tv_nsec, 100000000);

    d = lock_deadline(at(1000, 600000000), 400);
    EXPECT_EQ(d.tv_sec, 1001);
    EXPECT_EQ(d.tv_nsec, 0) << "exactly one second must carry, leaving 0 ns";

    d = lock_deadline(at(1000, 999999999), 0);
    EXPECT_EQ(d.tv_sec, 1000);
    EXPECT_EQ(d.tv_nsec, 999999999);

    d = lock_deadline(at(1000, 999999999), 999);
    EXPECT_EQ(d.tv_sec, 1001);
    EXPECT_EQ(d.tv_nsec, 998999999);

    d = lock_deadline(at(1700000000, 500000000), INT_MAX);  // 2147483.647 s
    EXPECT_EQ(d.tv_sec, 1700000000 + 2147484);
    EXPECT_EQ(d.tv_nsec, 147000000);
}

// The semaphore file is usable by every user whatever our umask, and an
// existing semaphore is opened without a change to its value.
TEST_F(SemTest, CreatedFileOpenToAllUsers) {
    sem_.reset();
    ::sem_unlink(name_.c_str());

    mode_t oldMask = ::umask(077);
    sem_ = UniqueSem(create_semaphore(name_.c_str()));
    ::umask(oldMask);
    ASSERT_NE(sem_, nullptr);
    EXPECT_EQ(file_mode(sem_file(name_)), 0666u);

    ASSERT_EQ(lock_sem(sem(), 0), VEM_SUCCESS);
    UniqueSem again(create_semaphore(name_.c_str()));
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(islock_sem(again.get()), VEM_ALREADY_LOCK) << "reopening must not reset the value";
    EXPECT_EQ(unlock_sem(again.get()), VEM_SUCCESS);
}

TEST(CreateSemaphore, RefusesNamesThatDoNotFit) {
    errno = 0;
    EXPECT_EQ(create_semaphore(nullptr), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(create_semaphore("cmn_share_interface_noslash__"), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(create_semaphore("/cmn_share_interface_a/b__"), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(create_semaphore("/"), nullptr);

    std::string longest = "/cmn_share_interface_" + std::string(99 - 21, 'x');  // 99 chars
    std::string tooLong = longest + "y";                                        // 100 chars
    errno = 0;
    EXPECT_EQ(create_semaphore(tooLong.c_str()), nullptr);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_NE(::access(sem_file(tooLong).c_str(), F_OK), 0) << "nothing may be created";

    UniqueSem s(create_semaphore(longest.c_str()));
    EXPECT_NE(s, nullptr) << "99 characters fit; errno " << errno;
    s.reset();
    ::sem_unlink(longest.c_str());
}

// A link planted in /dev/shm under a semaphore's name is never followed:
// its target keeps its mode.
TEST(CreateSemaphore, PlantedSymlinkIsLeftAlone) {
    TempDir dir;
    const std::string target = dir.file("secret");
    write_file(target, std::string(64, '\0'));
    ASSERT_EQ(::chmod(target.c_str(), 0600), 0);

    const std::string name = unique_sem_name("link");
    const std::string planted = sem_file(name);
    ASSERT_EQ(::symlink(target.c_str(), planted.c_str()), 0);

    UniqueSem s(create_semaphore(name.c_str()));
    EXPECT_EQ(file_mode(target), 0600u) << "the link's target was changed";
    struct stat st {};
    ASSERT_EQ(::lstat(planted.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the planted link was replaced";
    EXPECT_EQ(s, nullptr) << "a semaphore behind a planted link must not be used";

    s.reset();
    ::unlink(planted.c_str());
}

// A semaphore file owned by another user is used but its mode is not ours
// to change (meaningful only when we could change it: as root).
TEST(CreateSemaphore, ForeignFileKeepsItsMode) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to plant a file of another user";
    const std::string name = unique_sem_name("foreign");
    const std::string path = sem_file(name);
    {
        UniqueFd fd(::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600));
        ASSERT_TRUE(fd);
        sem_t init;
        ASSERT_EQ(::sem_init(&init, 1, 1), 0);
        ASSERT_EQ(::write(fd.get(), &init, sizeof init), static_cast<ssize_t>(sizeof init));
        ASSERT_EQ(::fchown(fd.get(), 65534, 65534), 0);
    }
    UniqueSem s(create_semaphore(name.c_str()));
    EXPECT_NE(s, nullptr);
    EXPECT_EQ(file_mode(path), 0600u);
    s.reset();
    ::unlink(path.c_str());
}

TEST(ReplaceChar, MakesLegalSemaphoreNames) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"/cmn_share_interface_rs232_sem_/dev/ttyS0__",
         "/cmn_share_interface_rs232_sem__dev_ttyS0__"},
        {"\\\\server\\share\\file", "__server_share_file"},
        {"a/b", "a_b"},
        {"/", "/"},
        {"//", "/_"},
        {"", ""},
        {"/mixed\\and/slash", "/mixed_and_slash"},
    };
    for (const Case& c : cases) {
        std::string s = c.in;
        replace_char(s.data());
        EXPECT_EQ(s, c.out) << "input " << c.in;
    }
    replace_char(nullptr);  // nothing happens
}

// Whole and truncated milliseconds, either direction.  The microsecond
// counts wrap around 32 bits; intervals below 2^31 us stay exact (and the
// sanitizer tree checks that no signed overflow happens on the way).
TEST(TimeDiffMs, ExactAcrossWraparound) {
    auto tv = [](long s, long us) {
        struct timeval t {};
        t.tv_sec = s;
        t.tv_usec = us;
        return t;
    };
    EXPECT_EQ(time_diff_ms(tv(10, 999999), tv(11, 0)), 0);
    EXPECT_EQ(time_diff_ms(tv(10, 0), tv(11, 500000)), 1500);
    EXPECT_EQ(time_diff_ms(tv(11, 500000), tv(10, 0)), -1500) << "earlier end is negative";
    EXPECT_EQ(time_diff_ms(tv(11, 0), tv(10, 999001)), 0) << "truncated toward zero";
    EXPECT_EQ(time_diff_ms(tv(1700000000, 0), tv(1700000001, 250000)), 1250);
    // Past INT32_MAX microseconds (2147.483647 s) and past 2^32 (4294.967296 s).
    EXPECT_EQ(time_diff_ms(tv(2147, 0), tv(2148, 500000)), 1500);
    EXPECT_EQ(time_diff_ms(tv(4294, 900000), tv(4295, 100000)), 200);
    EXPECT_EQ(time_diff_ms(tv(4295, 100000), tv(4294, 900000)), -200);
    // Longest exact interval in each direction.
    EXPECT_EQ(time_diff_ms(tv(0, 0), tv(2147, 483647)), 2147483);
    EXPECT_EQ(time_diff_ms(tv(2147, 483648), tv(0, 0)), -2147483);
}

TEST(FreeMem, FreesAndClears) {
    void* p = std::malloc(16);
    ASSERT_NE(p, nullptr);
    free_mem(&p);
    EXPECT_EQ(p, nullptr);
    free_mem(&p);  // already none: nothing happens
    EXPECT_EQ(p, nullptr);
    free_mem(nullptr);
}
