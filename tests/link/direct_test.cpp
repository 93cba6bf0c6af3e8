// libwardlink through its exported C interface in direct mode, on the file
// port: the front's refusals, shared and single-application behaviour,
// processes taking turns, the lock given back at unload, and an
// application's own SIGALRM handler left in place by timed locks.
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>

#include "VEMFd.h"
#include "link_test.h"

using namespace linktest;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

namespace {

unsigned char kData[] = {0x1B, 0x40, 'O', 'K', 0x0A};

class Direct : public FilePort {};

}  // namespace

// The front refuses in its order: no port beats bad arguments, a bad name beats
// an open port; the mode is fixed while a port is open.
TEST_F(Direct, FrontRefusals) {
    unsigned long n = 0;
    unsigned char b[4] = {};
    EXPECT_EQ(init_close(), VEM_SUCCESS) << "nothing open";
    EXPECT_EQ(intf_send_data(nullptr, 0, nullptr, 0), VEM_NOINIT);
    EXPECT_EQ(intf_rcv_data(b, 4, &n, 0) + intf_lock(0) + intf_unlock() + intf_reconnect(),
              4 * VEM_NOINIT);
    EXPECT_EQ(init_file("", 1), VEM_ILLEGAL);
    ASSERT_EQ(init_file(path_.c_str(), 1), VEM_SUCCESS);
    EXPECT_EQ(init_file(path_.c_str(), 1), VEM_INUSED);
    EXPECT_EQ(init_serial("", 9600, 8, 0, 1, 0), VEM_ILLEGAL) << "bad name before open port";
    EXPECT_EQ(init_parallel(nullptr) + init_network(nullptr, 9100, 9101), 2 * VEM_ILLEGAL);
    EXPECT_EQ(init_usb(0x1234, 1, nullptr), VEM_INUSED);
    EXPECT_EQ(init_intf_type(SHARE_PORT_SVR), VEM_INUSED);
    EXPECT_EQ(intf_send_data(kData, 0, &n, 0) + intf_send_data(nullptr, 1, &n, 0) +
                  intf_send_data(kData, 1, nullptr, 0) + intf_rcv_data(b, 0, &n, 0) +
                  intf_send_rtc(kData, 0, nullptr, 0, nullptr, 0) +
                  intf_send_rtc(kData, 1, nullptr, 6, &n, 0),
              6 * VEM_ILLEGAL);
    EXPECT_EQ(init_close(), VEM_SUCCESS);
    EXPECT_EQ(init_intf_type(7), VEM_SUCCESS) << "any value but 1 is direct mode";
    EXPECT_EQ(init_file(std::string(68, 'x').c_str(), 1), VEM_ILLEGAL) << "lock name too long";
}

// Shared behaviour: nothing moves without the lock; data reach the file by the
// unlock at the latest; a device that cannot be reopened gives the lock back.
TEST_F(Direct, SharedTurnsAndFailedReopen) {
    unsigned long n = 0;
    unsigned char reply[6] = {};
    ASSERT_EQ(init_file(path_.c_str(), 1), VEM_SUCCESS);
    EXPECT_EQ(intf_send_data(kData, sizeof kData, &n, 0), VEM_NOLOCK);
    EXPECT_EQ(intf_rcv_data(reply, 6, &n, 0) + intf_reconnect() +
                  intf_send_rtc(kData, 3, reply, 6, &n, 0),
              3 * VEM_NOLOCK);
    EXPECT_EQ(intf_unlock(), VEM_ILLEGAL) << "not held";
    ASSERT_EQ(intf_lock(0), VEM_SUCCESS);
    EXPECT_EQ(sem_value(file_sem_name(path_)), 0);
    EXPECT_EQ(intf_send_data(kData, sizeof kData, &n, 0), VEM_SUCCESS);
    EXPECT_EQ(n, sizeof kData);
    n = 99;
    EXPECT_EQ(intf_send_rtc(kData, 3, nullptr, 0, nullptr, 0), VEM_SUCCESS) << "nothing to read";
    EXPECT_EQ(intf_reconnect(), VEM_SUCCESS);
    EXPECT_EQ(intf_unlock(), VEM_SUCCESS);
    EXPECT_EQ(read_file(path_), std::string(kData, kData + 5) + std::string(kData, kData + 3));

    // The file's directory is gone: the reopen at lock fails, the lock stays free.
    ASSERT_EQ(init_close(), VEM_SUCCESS);
    const std::string dir = "/tmp/wl-dir-" + std::to_string(::getpid());
    const std::string inDir = dir + "/p.bin";
    std::filesystem::create_directory(dir);
    ASSERT_EQ(init_file(inDir.c_str(), 0), VEM_SUCCESS);
    std::filesystem::remove_all(dir);
    EXPECT_EQ(intf_lock(0), VEM_NODEVICE);
    EXPECT_EQ(sem_value(file_sem_name(inDir)), 1) << "a failed lock must not hold the semaphore";
    init_close();
    ::sem_unlink(file_sem_name(inDir).c_str());
}

// Single application: the device stays open across unlock; a reconnect reopens it
// (switching nothing), and the data are there at close.
TEST_F(Direct, SingleApplicationKeepsTheDevice) {
    unsigned long n = 0;
    ASSERT_EQ(init_intf_type(SINGLE_APP), VEM_SUCCESS);
    ASSERT_EQ(init_file(path_.c_str(), 0), VEM_SUCCESS);
    ASSERT_EQ(intf_lock(100), VEM_SUCCESS);
    EXPECT_EQ(intf_send_data(kData, 2, &n, 0), VEM_SUCCESS);
    EXPECT_EQ(intf_unlock(), VEM_SUCCESS);
    ASSERT_EQ(intf_lock(100), VEM_SUCCESS);
    EXPECT_EQ(intf_reconnect(), VEM_SUCCESS) << "reopens the file, flushing what was sent";
    EXPECT_EQ(read_file(path_), "1B40");
    EXPECT_EQ(intf_send_data(kData + 2, 1, &n, 0), VEM_SUCCESS);
    EXPECT_EQ(intf_unlock(), VEM_SUCCESS);
    EXPECT_EQ(init_close(), VEM_SUCCESS);
    EXPECT_EQ(read_file(path_), "1B404F") << "the format survives the reconnect";
}

// Two processes in shared mode take turns on one file port; each block must land
// whole, even blocks larger than any stream buffer.
TEST_F(Direct, TwoProcessesBlocksLandWhole) {
    constexpr int kRounds = 25, kBlock = 20000;
    auto worker = [&](char letter) {
        return [&, letter] {
            std::string block(kBlock, letter);
            auto* data = reinterpret_cast<unsigned char*>(block.data());
            unsigned long n = 0;
            if (init_file(path_.c_str(), 1) != VEM_SUCCESS) return 1;
            for (int i = 0; i < kRounds; ++i) {
                if (intf_lock(10000) != VEM_SUCCESS) return 2;
                if (intf_send_data(data, kBlock, &n, 0) != VEM_SUCCESS || n != kBlock) return 3;
                if (intf_unlock() != VEM_SUCCESS) return 4;
            }
            return init_close() == VEM_SUCCESS ? 0 : 5;
        };
    };
    const pid_t a = spawn(worker('a')), b = spawn(worker('b'));
    EXPECT_EQ(reap(a), 0);
    EXPECT_EQ(reap(b), 0);
    const std::string all = read_file(path_);
    ASSERT_EQ(all.size(), 2u * kRounds * kBlock);
    for (std::size_t at = 0; at < all.size(); at += kBlock)
        ASSERT_GE(all.find_first_not_of(all[at], at), at + kBlock) << "block split at " << at;
}

// The lock is given back only after the data have left for the device: on a
// device that takes no more (a full FIFO standing in for the file), the
// unlock waits with the lock held until the device drains.
TEST_F(Direct, UnlockAfterTheDataLeft) {
    ASSERT_EQ(::mkfifo(path_.c_str(), 0600), 0);
    vem::UniqueFd drain(::open(path_.c_str(), O_RDONLY | O_NONBLOCK));
    ASSERT_TRUE(drain);
    ASSERT_EQ(::fcntl(drain.get(), F_SETPIPE_SZ, 4096), 4096);
    const pid_t pid = spawn([&] {
        std::string block(6000, 'x');
        unsigned long n = 0;
        if (init_file(path_.c_str(), 1) != VEM_SUCCESS || intf_lock(1000) != VEM_SUCCESS) return 1;
        if (intf_send_data(reinterpret_cast<unsigned char*>(block.data()), 6000, &n, 0) != 0)
            return 2;
        return intf_unlock() == VEM_SUCCESS && init_close() == VEM_SUCCESS ? 0 : 3;
    });
    int queued = 0;
    for (int i = 0; i < 500 && queued < 4096; ++i) {
        std::this_thread::sleep_for(milliseconds(10));
        ::ioctl(drain.get(), FIONREAD, &queued);
    }
    ASSERT_EQ(queued, 4096) << "the device never filled";
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_EQ(sem_value(file_sem_name(path_)), 0) << "lock released before the data left";
    std::size_t got = 0;
    char buf[8192];
    for (int i = 0; i < 500 && got < 6000; ++i) {
        const ssize_t r = ::read(drain.get(), buf, sizeof buf);
        if (r > 0)
            got += static_cast<std::size_t>(r);
        else
            std::this_thread::sleep_for(milliseconds(10));
    }
    EXPECT_EQ(got, 6000u);
    EXPECT_EQ(reap(pid), 0);
    EXPECT_EQ(sem_value(file_sem_name(path_)), 1);
}

// A process that exits while holding the lock gives it back as the library
// unloads, after its data reached the port.
TEST_F(Direct, ExitHoldingTheLockReleasesIt) {
    const pid_t pid = spawn([&] {
        unsigned long n = 0;
        if (init_file(path_.c_str(), 1) != VEM_SUCCESS || intf_lock(0) != VEM_SUCCESS) return 1;
        return intf_send_data(kData, sizeof kData, &n, 0) == VEM_SUCCESS ? 0 : 2;
    });
    ASSERT_EQ(reap(pid), 0);
    EXPECT_EQ(sem_value(file_sem_name(path_)), 1);
    EXPECT_EQ(read_file(path_).size(), sizeof kData);
}

// A point-of-sale application's SIGALRM handler stays installed and keeps being
// called through timed lock waits, and the waits keep their time limit.
TEST_F(Direct, ApplicationAlarmHandlerSurvivesTimedLocks) {
    static std::atomic<int> alarms{0};
    struct sigaction sa = {};
    sa.sa_handler = [](int) { ++alarms; };  // no SA_RESTART: waits see EINTR
    ASSERT_EQ(::sigaction(SIGALRM, &sa, nullptr), 0);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = spawn([&] {  // holds the port's lock for a while
        if (init_file(path_.c_str(), 1) != VEM_SUCCESS || intf_lock(0) != VEM_SUCCESS) return 1;
        char c = 'L';
        if (::write(ready[1], &c, 1) != 1) return 2;
        ::usleep(900 * 1000);
        return intf_unlock() == VEM_SUCCESS ? 0 : 3;
    });
    ::close(ready[1]);
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ASSERT_EQ(init_file(path_.c_str(), 1), VEM_SUCCESS);
    const itimerval every50ms{{0, 50000}, {0, 50000}};
    ASSERT_EQ(::setitimer(ITIMER_REAL, &every50ms, nullptr), 0);
    const auto t0 = Clock::now();
    EXPECT_EQ(intf_lock(300), VEM_LOCK_TIMEOUT);
    EXPECT_GE(Clock::now() - t0, milliseconds(290)) << "interruptions must not end the wait";
    EXPECT_LT(Clock::now() - t0, milliseconds(800)) << "nor lengthen it";
    EXPECT_EQ(intf_lock(5000), VEM_SUCCESS) << "after the holder lets go";
    const itimerval off{};
    ::setitimer(ITIMER_REAL, &off, nullptr);
    EXPECT_EQ(intf_unlock(), VEM_SUCCESS);
    EXPECT_EQ(reap(holder), 0);

    struct sigaction now = {};
    ASSERT_EQ(::sigaction(SIGALRM, nullptr, &now), 0);
    EXPECT_EQ(now.sa_handler, sa.sa_handler) << "the library replaced the application's handler";
    EXPECT_GE(alarms.load(), 10) << "the application's handler was not called";
    ::close(ready[0]);
}
