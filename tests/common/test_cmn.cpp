// Port locks and helpers of VEMCmn on real named semaphores in /dev/shm; the
// cross-process cases fork a second process.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <thread>

#include "VEMCmn.h"
#include "test_support.h"

namespace {

using Clock = std::chrono::steady_clock;
double ms_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// A name of the system's semaphore family unique to this process and call, and
// its file in /dev/shm ("/x" -> "/dev/shm/sem.x").
std::string unique_sem_name(const char* what) {
    static std::atomic<int> counter{0};
    return "/cmn_share_interface_test_" + std::string(what) + std::to_string(::getpid()) + "_" +
           std::to_string(counter++) + "__";
}
std::string sem_file(const std::string& name) {
    return "/dev/shm/sem." + name.substr(1);
}
mode_t file_mode(const std::string& path) {
    struct stat st = {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}
int sem_value(sem_t* s) {
    int v = -1;
    return ::sem_getvalue(s, &v), v;
}

// Every test gets a semaphore of its own name, unlinked afterwards.
class SemTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_NE(sem(), nullptr) << name_ << ": errno " << errno; }
    void TearDown() override { sem_.reset(), ::sem_unlink(name_.c_str()); }
    sem_t* sem() { return sem_.get(); }
    std::string name_ = unique_sem_name("cmn");
    UniqueSem sem_{create_semaphore(name_.c_str())};
};

}  // namespace

// Time-out 0 only tries; a free semaphore is never posted above 1; refused
// arguments change nothing and say so in the log.
TEST_F(SemTest, OneProcessAndRefusedArguments) {
    TempDir dir;
    LogCapture log(dir);
    EXPECT_EQ(islock_sem(sem()), VEM_NOLOCK) << "a new semaphore starts free";
    EXPECT_EQ(lock_sem(sem(), 0), VEM_SUCCESS);
    EXPECT_EQ(islock_sem(sem()), VEM_ALREADY_LOCK);
    EXPECT_EQ(lock_sem(sem(), 0), VEM_LOCK_TIMEOUT);
    EXPECT_EQ(unlock_sem(sem()), VEM_SUCCESS);
    EXPECT_EQ(unlock_sem(sem()), VEM_ILLEGAL) << "unlock of a free semaphore";
    EXPECT_EQ(sem_value(sem()), 1) << "a free semaphore must not be posted";
    EXPECT_TRUE(log.has("Semaphore it not lock. Unlock fail.")) << log.text();
    char expect[80];
    std::snprintf(expect, sizeof expect, "Lock complete, sem=0x%08X result=-8", ptr_low32(sem()));
    EXPECT_EQ(lock_sem(sem(), -2), VEM_ILLEGAL);
    EXPECT_TRUE(log.has(expect)) << log.text();
    EXPECT_EQ(lock_sem(sem(), INT_MIN), VEM_ILLEGAL);
    EXPECT_EQ(sem_value(sem()), 1) << "an illegal time-out must not take the lock";
    EXPECT_EQ(lock_sem(nullptr, -1) + islock_sem(nullptr) + unlock_sem(nullptr), 3 * VEM_ILLEGAL);
    for (const char* fn : {"[C_E001XX]", "[C_E003XX]", "[C_E002XX]"})
        EXPECT_TRUE(log.has(std::string(fn) + " Invalid pointer")) << fn << log.text();
}

// Two processes take turns: time-outs 0 and positive expire while the other
// holds the lock; positive and -1 succeed once it lets go.
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
    EXPECT_EQ(islock_sem(sem()), VEM_ALREADY_LOCK);
    EXPECT_EQ(lock_sem(sem(), 0), VEM_LOCK_TIMEOUT);
    const auto t0 = Clock::now();
    EXPECT_EQ(lock_sem(sem(), 150), VEM_LOCK_TIMEOUT);
    EXPECT_GE(ms_since(t0), 140.0) << "the wait ended before its deadline";
    put(sv[0], 'R');
    EXPECT_EQ(lock_sem(sem(), -1), VEM_SUCCESS) << "released by the child";
    put(sv[0], 'W');
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the child waits meanwhile
    EXPECT_EQ(unlock_sem(sem()), VEM_SUCCESS);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child step failed: " << status;
    EXPECT_EQ(unlock_sem(sem()), VEM_SUCCESS) << "the child left holding it";
    ::close(sv[0]), ::close(sv[1]);
}

// An endless wait cut short by a signal is a failure, never a held lock;
// SIGALRM during a timed wait neither kills the process nor ends it early.
TEST_F(SemTest, SignalsDuringWaits) {
    ASSERT_EQ(lock_sem(sem(), 0), VEM_SUCCESS);             // held: waiters block
    const auto waitSignalled = [&](int timeout, int sig) {  // sent `sig` every 10 ms
        std::atomic<int> result{1};
        std::thread waiter([&] { result = lock_sem(sem(), timeout); });
        for (int i = 0; i < 500 && result == 1; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            ::pthread_kill(waiter.native_handle(), sig);
        }
        if (result == 1) unlock_sem(sem());  // never hang the suite; the check fails
        waiter.join();
        return result.load();
    };
    struct sigaction sa = {}, old = {};
    sa.sa_handler = [](int) {};  // no SA_RESTART
    ASSERT_EQ(::sigaction(SIGUSR1, &sa, &old), 0);
    EXPECT_EQ(waitSignalled(-1, SIGUSR1), VEM_ILLEGAL);
    ::sigaction(SIGUSR1, &old, nullptr);
    EXPECT_EQ(sem_value(sem()), 0) << "the interrupted waiter must not have taken it";
    const auto t0 = Clock::now();
    EXPECT_EQ(waitSignalled(300, SIGALRM), VEM_LOCK_TIMEOUT);
    EXPECT_GE(ms_since(t0), 290.0);
    EXPECT_EQ(unlock_sem(sem()), VEM_SUCCESS);
}

TEST(LockDeadline, CarriesNanosecondsIntoSeconds) {
    // clang-format off
    const struct { time_t sec; long nsec; int ms; time_t wantSec; long wantNsec; } cases[] = {
        {1000, 600000000, 1500, 1002, 100000000}, {1000, 600000000, 400, 1001, 0},
        {1000, 999999999, 0, 1000, 999999999},    {1000, 999999999, 999, 1001, 998999999},
        {1700000000, 500000000, INT_MAX, 1700000000 + 2147484, 147000000}};
    // clang-format on
    for (const auto& c : cases) {
        const struct timespec d = lock_deadline({c.sec, c.nsec}, c.ms);
        EXPECT_TRUE(d.tv_sec == c.wantSec && d.tv_nsec == c.wantNsec)
            << c.sec << "." << c.nsec << "+" << c.ms << "ms gave " << d.tv_sec << "." << d.tv_nsec;
    }
}

// Names that do not fit are refused, creating nothing.  The file is usable by
// every user whatever our umask; reopening keeps the semaphore's value.
TEST(CreateSemaphore, NamesModeAndReopen) {
    const std::string longest = "/cmn_share_interface_" + std::string(99 - 21, 'x');
    const std::string tooLong = longest + "y";  // 100 characters: no room for the terminator
    // clang-format off
    const struct { const char* name; int err; } cases[] = {
        {nullptr, EINVAL}, {"cmn_share_interface_noslash__", EINVAL},
        {"/cmn_share_interface_a/b__", EINVAL}, {"/", EINVAL}, {tooLong.c_str(), ENAMETOOLONG}};
    // clang-format on
    for (const auto& c : cases) {
        errno = 0;
        EXPECT_EQ(create_semaphore(c.name), nullptr) << (c.name ? c.name : "null");
        EXPECT_EQ(errno, c.err) << (c.name ? c.name : "null");
    }
    EXPECT_NE(::access(sem_file(tooLong).c_str(), F_OK), 0) << "nothing may be created";
    const mode_t oldMask = ::umask(077);
    UniqueSem sem(create_semaphore(longest.c_str()));
    ::umask(oldMask);
    ASSERT_NE(sem, nullptr) << "99 characters fit";
    EXPECT_EQ(file_mode(sem_file(longest)), 0666u);
    EXPECT_EQ(lock_sem(sem.get(), 0), VEM_SUCCESS);
    EXPECT_EQ(unlock_sem(UniqueSem(create_semaphore(longest.c_str())).get()), VEM_SUCCESS)
        << "reopening must not reset the value";
    ::sem_unlink(longest.c_str());
}

// A link planted in /dev/shm under a semaphore's name is never followed: its
// target keeps its mode.  A file of another user is used but its mode is not
// ours to change (meaningful only when we could change it: as root).
TEST(CreateSemaphore, PlantedLinkAndForeignFileKeepTheirModes) {
    TempDir dir;
    const std::string target = dir.file("secret"), link = unique_sem_name("link");
    std::ofstream(target) << std::string(64, '\0');
    ASSERT_EQ(::chmod(target.c_str(), 0600), 0);
    ASSERT_EQ(::symlink(target.c_str(), sem_file(link).c_str()), 0);
    EXPECT_EQ(UniqueSem(create_semaphore(link.c_str())), nullptr) << "used a planted link";
    EXPECT_EQ(file_mode(target), 0600u) << "the link's target was changed";
    struct stat st = {};
    EXPECT_TRUE(::lstat(sem_file(link).c_str(), &st) == 0 && S_ISLNK(st.st_mode));
    ::unlink(sem_file(link).c_str());
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to plant a file of another user";
    const std::string foreign = unique_sem_name("foreign");
    sem_t init;
    ASSERT_EQ(::sem_init(&init, 1, 1), 0);
    UniqueFd fd(::open(sem_file(foreign).c_str(), O_CREAT | O_EXCL | O_WRONLY, 0600));
    ASSERT_EQ(::write(fd.get(), &init, sizeof init), static_cast<ssize_t>(sizeof init));
    ASSERT_EQ(::fchown(fd.get(), 65534, 65534), 0);
    EXPECT_NE(UniqueSem(create_semaphore(foreign.c_str())), nullptr);
    EXPECT_EQ(file_mode(sem_file(foreign)), 0600u);
    ::unlink(sem_file(foreign).c_str());
}

TEST(Helpers, ReplaceCharAndFreeMem) {
    // clang-format off
    const struct { const char* in; const char* out; } cases[] = {
        {"/cmn_share_interface_rs232_sem_/dev/ttyS0__", "/cmn_share_interface_rs232_sem__dev_ttyS0__"},
        {"\\\\server\\share\\file", "__server_share_file"}, {"a/b", "a_b"}, {"/", "/"}, {"//", "/_"},
        {"", ""}};
    // clang-format on
    for (const auto& c : cases) {
        std::string s = c.in;
        replace_char(s.data());
        EXPECT_EQ(s, c.out) << "input " << c.in;
    }
    replace_char(nullptr);
    void* p = std::malloc(16);
    free_mem(&p);
    EXPECT_EQ(p, nullptr);
    free_mem(&p), free_mem(nullptr);  // nothing to free: nothing happens
}

// Whole and truncated milliseconds, either direction.  The microsecond counts
// wrap around 32 bits; intervals below 2^31 us stay exact, with no signed
// overflow on the way (the sanitizer tree checks that).
TEST(TimeDiffMs, ExactAcrossWraparound) {
    // clang-format off
    const struct { long s0, us0, s1, us1; int ms; } cases[] = {
        {10, 999999, 11, 0, 0}, {10, 0, 11, 500000, 1500}, {1700000000, 0, 1700000001, 250000, 1250},
        {11, 500000, 10, 0, -1500}, {11, 0, 10, 999001, 0},  // earlier end negative, truncated to 0
        {2147, 0, 2148, 500000, 1500},                        // past INT32_MAX microseconds
        {4294, 900000, 4295, 100000, 200}, {4295, 100000, 4294, 900000, -200},  // past 2^32 us
        {0, 0, 2147, 483647, 2147483}, {2147, 483648, 0, 0, -2147483}};  // longest exact, both ways
    // clang-format on
    for (const auto& c : cases)
        EXPECT_EQ(time_diff_ms({c.s0, c.us0}, {c.s1, c.us1}), c.ms)
            << c.s0 << "." << c.us0 << " -> " << c.s1 << "." << c.us1;
}
