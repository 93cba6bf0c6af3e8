// Port locks and helpers of VEMCmn, exercised on real named semaphores in
// /dev/shm and, for the cross-process cases, a forked second process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <thread>

#include "VEMCmn.h"
#include "test_support.h"

using namespace vemtest;

namespace {

// Every test gets a fresh semaphore name and unlinks it afterwards.
class SemTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sem_.reset(create_semaphore(name_.c_str()));
        ASSERT_NE(sem_, nullptr) << "create_semaphore(" << name_ << ") errno " << errno;
    }
    void TearDown() override {
        sem_.reset();
        ::sem_unlink(name_.c_str());
    }
    sem_t* sem() { return sem_.get(); }

    // Starts lock_sem(sem(), timeout) on a thread that is sent `sig` every
    // `everyMs` until it returns; gives the result and the time it took.
    std::pair<int, double> WaitWhileSignalled(int timeout, int sig, int everyMs) {
        std::atomic<int> result{1};
        const auto t0 = std::chrono::steady_clock::now();
        std::thread waiter([&] { result = lock_sem(sem(), timeout); });
        for (int i = 0; i < 500 && result == 1; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(everyMs));
            ::pthread_kill(waiter.native_handle(), sig);
        }
        if (result == 1) unlock_sem(sem());  // never hang the suite; the caller's check fails
        waiter.join();
        return {result, ms_since(t0)};
    }
    static double ms_since(std::chrono::steady_clock::time_point t0) {
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
            .count();
    }

    std::string name_ = unique_sem_name("cmn");
    UniqueSem sem_;
};

void on_usr1(int) {}

}  // namespace

// Within one process: time-out 0 only tries; a free semaphore is never posted
// above 1; refused arguments change nothing and say so in the log.
TEST_F(SemTest, OneProcessAndRefusedArguments) {
    TempDir dir;
    LogCapture log(dir);
    EXPECT_EQ(islock_sem(sem()), VEM_NOLOCK) << "a new semaphore starts free";
    EXPECT_EQ(lock_sem(sem(), 0), VEM_SUCCESS);
    EXPECT_EQ(islock_sem(sem()), VEM_ALREADY_LOCK);
    EXPECT_EQ(lock_sem(sem(), 0), VEM_LOCK_TIMEOUT);
    EXPECT_EQ(unlock_sem(sem()), VEM_SUCCESS);
    EXPECT_EQ(sem_value(sem()), 1);
    EXPECT_EQ(unlock_sem(sem()), VEM_ILLEGAL) << "unlock of a free semaphore";
    EXPECT_EQ(sem_value(sem()), 1) << "a free semaphore must not be posted";
    EXPECT_TRUE(log.has("Semaphore it not lock. Unlock fail.")) << log.text();

    char expect[80];
    std::snprintf(expect, sizeof expect, "Lock complete, sem=0x%08X result=-8", ptr_low32(sem()));
    EXPECT_EQ(lock_sem(sem(), -2), VEM_ILLEGAL);
    EXPECT_TRUE(log.has(expect)) << log.text();
    EXPECT_EQ(lock_sem(sem(), INT_MIN), VEM_ILLEGAL);
    EXPECT_EQ(sem_value(sem()), 1) << "an illegal time-out must not take the lock";
    EXPECT_EQ(lock_sem(nullptr, -1), VEM_ILLEGAL);
    EXPECT_EQ(islock_sem(nullptr), VEM_ILLEGAL);
    EXPECT_EQ(unlock_sem(nullptr), VEM_ILLEGAL);
    for (const char* fn : {"[C_E001XX]", "[C_E003XX]", "[C_E002XX]"})
        EXPECT_TRUE(log.has(std::string(fn) + " Invalid pointer")) << fn << log.text();
}

// Two processes take turns: time-outs 0 and positive expire while the other
// process holds the lock; positive and -1 succeed once it lets go.
TEST_F(SemTest, LockAcrossProcesses) {
    int toChild[2], toParent[2];
    ASSERT_EQ(::pipe(toChild), 0);
    ASSERT_EQ(::pipe(toParent), 0);
    const auto put = [](int fd, char c) { return ::write(fd, &c, 1) == 1; };
    const auto get = [](int fd) {
        char c = 0;
        return ::read(fd, &c, 1) == 1 ? c : '\0';
    };
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {  // its own handle on the same name, as another program would
        sem_t* s = create_semaphore(name_.c_str());
        int code = s == nullptr || lock_sem(s, 0) != VEM_SUCCESS ? 10 : 0;
        put(toParent[1], 'L');                  // holding
        if (get(toChild[0]) != 'R') code = 11;  // parent asks to release
        if (code == 0 && unlock_sem(s) != VEM_SUCCESS) code = 12;
        if (get(toChild[0]) != 'W') code = 13;  // parent holds it now
        put(toParent[1], 'w');
        if (code == 0 && lock_sem(s, 10000) != VEM_SUCCESS) code = 14;  // released meanwhile
        _exit(code);
    }
    ASSERT_EQ(get(toParent[0]), 'L');
    EXPECT_EQ(islock_sem(sem()), VEM_ALREADY_LOCK);
    EXPECT_EQ(lock_sem(sem(), 0), VEM_LOCK_TIMEOUT);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(lock_sem(sem(), 150), VEM_LOCK_TIMEOUT);
    EXPECT_GE(ms_since(t0), 140.0) << "the wait ended before its deadline";

    put(toChild[1], 'R');
    EXPECT_EQ(lock_sem(sem(), -1), VEM_SUCCESS) << "released by the child";
    put(toChild[1], 'W');
    ASSERT_EQ(get(toParent[0]), 'w');
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(unlock_sem(sem()), VEM_SUCCESS);

    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child step failed: " << status;
    EXPECT_EQ(islock_sem(sem()), VEM_ALREADY_LOCK) << "the child left holding it";
    EXPECT_EQ(unlock_sem(sem()), VEM_SUCCESS);
    for (int fd : {toChild[0], toChild[1], toParent[0], toParent[1]}) ::close(fd);
}

// An endless wait cut short by a signal is a failure, never a held lock;
// SIGALRM during a timed wait neither kills the process nor ends it early.
TEST_F(SemTest, SignalsDuringWaits) {
    ASSERT_EQ(lock_sem(sem(), 0), VEM_SUCCESS);  // we hold it: waiters block

    struct sigaction sa {
    }, old{};
    sa.sa_handler = on_usr1;  // no SA_RESTART
    ASSERT_EQ(::sigaction(SIGUSR1, &sa, &old), 0);
    EXPECT_EQ(WaitWhileSignalled(-1, SIGUSR1, 10).first, VEM_ILLEGAL);
    ::sigaction(SIGUSR1, &old, nullptr);
    EXPECT_EQ(sem_value(sem()), 0) << "the interrupted waiter must not have taken it";

    const auto [result, ms] = WaitWhileSignalled(300, SIGALRM, 20);
    EXPECT_EQ(result, VEM_LOCK_TIMEOUT);
    EXPECT_GE(ms, 290.0);
    EXPECT_EQ(unlock_sem(sem()), VEM_SUCCESS);
}

TEST(LockDeadline, CarriesNanosecondsIntoSeconds) {
    const struct {
        time_t sec;
        long nsec;
        int ms;
        time_t wantSec;
        long wantNsec;
    } cases[] = {
        {1000, 600000000, 1500, 1002, 100000000},
        {1000, 600000000, 400, 1001, 0},
        {1000, 999999999, 0, 1000, 999999999},
        {1000, 999999999, 999, 1001, 998999999},
        {1700000000, 500000000, INT_MAX, 1700000000 + 2147484, 147000000},
    };
    for (const auto& c : cases) {
        const struct timespec d = lock_deadline({c.sec, c.nsec}, c.ms);
        EXPECT_EQ(d.tv_sec, c.wantSec) << c.sec << "." << c.nsec << " + " << c.ms << " ms";
        EXPECT_EQ(d.tv_nsec, c.wantNsec) << c.sec << "." << c.nsec << " + " << c.ms << " ms";
    }
}

// The semaphore file is usable by every user whatever our umask, and an
// existing semaphore is opened without a change to its value.
TEST_F(SemTest, CreatedFileOpenToAllUsers) {
    sem_.reset();
    ::sem_unlink(name_.c_str());
    const mode_t oldMask = ::umask(077);
    sem_.reset(create_semaphore(name_.c_str()));
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
    const std::string longest = "/cmn_share_interface_" + std::string(99 - 21, 'x');
    const std::string tooLong = longest + "y";  // 100 characters: no room for the terminator
    const struct {
        const char* name;
        int err;
    } cases[] = {{nullptr, EINVAL},
                 {"cmn_share_interface_noslash__", EINVAL},
                 {"/cmn_share_interface_a/b__", EINVAL},
                 {tooLong.c_str(), ENAMETOOLONG}};
    for (const auto& c : cases) {
        errno = 0;
        EXPECT_EQ(create_semaphore(c.name), nullptr) << (c.name ? c.name : "null");
        EXPECT_EQ(errno, c.err) << (c.name ? c.name : "null");
    }
    EXPECT_EQ(create_semaphore("/"), nullptr);
    EXPECT_NE(::access(sem_file(tooLong).c_str(), F_OK), 0) << "nothing may be created";
    UniqueSem s(create_semaphore(longest.c_str()));
    EXPECT_NE(s, nullptr) << "99 characters fit; errno " << errno;
    ::sem_unlink(longest.c_str());
}

// A link planted in /dev/shm under a semaphore's name is never followed: its
// target keeps its mode.  A file of another user is used but its mode is not
// ours to change (meaningful only when we could change it: as root).
TEST(CreateSemaphore, PlantedLinkAndForeignFileKeepTheirModes) {
    TempDir dir;
    const std::string target = dir.file("secret");
    std::ofstream(target) << std::string(64, '\0');
    ASSERT_EQ(::chmod(target.c_str(), 0600), 0);
    const std::string link = unique_sem_name("link");
    ASSERT_EQ(::symlink(target.c_str(), sem_file(link).c_str()), 0);
    UniqueSem s(create_semaphore(link.c_str()));
    EXPECT_EQ(s, nullptr) << "a semaphore behind a planted link must not be used";
    EXPECT_EQ(file_mode(target), 0600u) << "the link's target was changed";
    struct stat st {};
    EXPECT_TRUE(::lstat(sem_file(link).c_str(), &st) == 0 && S_ISLNK(st.st_mode));
    ::unlink(sem_file(link).c_str());

    if (::geteuid() != 0) GTEST_SKIP() << "needs root to plant a file of another user";
    const std::string foreign = unique_sem_name("foreign");
    {
        UniqueFd fd(::open(sem_file(foreign).c_str(), O_CREAT | O_EXCL | O_WRONLY, 0600));
        sem_t init;
        ASSERT_EQ(::sem_init(&init, 1, 1), 0);
        ASSERT_EQ(::write(fd.get(), &init, sizeof init), static_cast<ssize_t>(sizeof init));
        ASSERT_EQ(::fchown(fd.get(), 65534, 65534), 0);
    }
    s.reset(create_semaphore(foreign.c_str()));
    EXPECT_NE(s, nullptr);
    EXPECT_EQ(file_mode(sem_file(foreign)), 0600u);
    ::unlink(sem_file(foreign).c_str());
}

TEST(Helpers, ReplaceCharAndFreeMem) {
    const struct {
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
    };
    for (const auto& c : cases) {
        std::string s = c.in;
        replace_char(s.data());
        EXPECT_EQ(s, c.out) << "input " << c.in;
    }
    replace_char(nullptr);

    void* p = std::malloc(16);
    free_mem(&p);
    EXPECT_EQ(p, nullptr);
    free_mem(&p);  // already none: nothing happens
    free_mem(nullptr);
}

// Whole and truncated milliseconds, either direction.  The microsecond counts
// wrap around 32 bits; intervals below 2^31 us stay exact (and the sanitizer
// tree checks that no signed overflow happens on the way).
TEST(TimeDiffMs, ExactAcrossWraparound) {
    const struct {
        long s0, us0, s1, us1;
        int ms;
    } cases[] = {
        {10, 999999, 11, 0, 0},
        {10, 0, 11, 500000, 1500},
        {11, 500000, 10, 0, -1500},  // an earlier end is negative
        {11, 0, 10, 999001, 0},      // truncated toward zero
        {1700000000, 0, 1700000001, 250000, 1250},
        {2147, 0, 2148, 500000, 1500},      // past INT32_MAX microseconds
        {4294, 900000, 4295, 100000, 200},  // past 2^32 microseconds
        {4295, 100000, 4294, 900000, -200},
        {0, 0, 2147, 483647, 2147483},  // longest exact interval, either way
        {2147, 483648, 0, 0, -2147483},
    };
    for (const auto& c : cases)
        EXPECT_EQ(time_diff_ms({c.s0, c.us0}, {c.s1, c.us1}), c.ms)
            << c.s0 << "." << c.us0 << " -> " << c.s1 << "." << c.us1;
}
