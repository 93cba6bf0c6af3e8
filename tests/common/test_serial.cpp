// The serial port on pseudo-terminals owned by the test, against the daemon's
// build of the drivers (50 slots).  The line settings are read back from the
// device with tcgetattr; the printer end is the pty's master.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "VEMPortOps.h"
#include "VEMRS232.h"

// The drivers' clock in this binary: the real time plus a skew a test can
// move forward, so that a time limit can pass at a chosen moment.
namespace {
std::atomic<long> g_skew_ms{0};
}
extern "C" int gettimeofday(struct timeval* tv, void*) noexcept {
    struct timespec ts {};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    const long long us = ts.tv_sec * 1000000LL + ts.tv_nsec / 1000 + g_skew_ms * 1000LL;
    tv->tv_sec = static_cast<time_t>(us / 1000000);
    tv->tv_usec = static_cast<suseconds_t>(us % 1000000);
    return 0;
}

// What the driver last asked of a line.  A pty always keeps eight data bits
// without parity whatever it is told, so those settings are checked here;
// everything else is read back from the device.
namespace {
struct termios g_requested {};
}  // namespace
extern "C" int tcsetattr(int fd, int action, const struct termios* t) noexcept {
    using Fn = int (*)(int, int, const struct termios*);
    static const Fn real = reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, "tcsetattr"));
    g_requested = *t;
    return real(fd, action, t);
}

namespace {

using Clock = std::chrono::steady_clock;
long ms_since(Clock::time_point t0) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

constexpr unsigned char XON = 0x11, XOFF = 0x13;

// One pseudo-terminal per test: the driver opens the slave by its path (or a
// link to it); the test plays the printer on the master and keeps a slave
// descriptor of its own to read the line settings.
class SerialPort : public ::testing::Test {
  protected:
    void SetUp() override {
        master_.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
        ASSERT_TRUE(master_ && ::grantpt(master_.get()) == 0 && ::unlockpt(master_.get()) == 0);
        path_ = ::ptsname(master_.get());
        slave_.reset(::open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
        ASSERT_TRUE(slave_);
        g_skew_ms = 0;
    }
    void TearDown() override {
        init_buf_serial();  // closes every slot
        for (const char* p : {path_.c_str(), link_.c_str()}) {
            char name[VEM_SEM_NAME_SIZE];
            if (*p && compose_port_sem_name(name, VEM_SERIAL_SEM_TEMPLATE, p)) ::sem_unlink(name);
        }
        if (!link_.empty()) ::unlink(link_.c_str());
        g_skew_ms = 0;
    }
    int open_port(int idx, int baud = 9600, int data = 8, int parity = 0, int stop = 1,
                  int flow = 0) {
        return init_port_serial(idx, path_.c_str(), baud, data, parity, stop, flow);
    }
    struct termios settings() const {
        struct termios t {};
        EXPECT_EQ(::tcgetattr(slave_.get(), &t), 0);
        return t;
    }
    // Everything the master can read within ms milliseconds.
    std::string drain(int ms = 200) const {
        std::string got;
        char buf[4096];
        pollfd p{master_.get(), POLLIN, 0};
        while (::poll(&p, 1, ms) > 0) {
            const ssize_t n = ::read(master_.get(), buf, sizeof buf);
            if (n <= 0) break;
            got.append(buf, static_cast<std::size_t>(n));
        }
        return got;
    }
    void printer_sends(std::string_view bytes) const {
        ASSERT_TRUE(vem::write_all(master_.get(), bytes));
    }
    static int send(int idx, std::string data, unsigned long limit, unsigned long* sent) {
        *sent = 99;
        return send_data_serial(idx, reinterpret_cast<unsigned char*>(data.data()),
                                static_cast<int>(data.size()), sent, limit);
    }

    UniqueFd master_, slave_;
    std::string path_, link_;
};

}  // namespace

// Every line parameter as the device sees it afterwards: speed (values off
// the table give 115200), data bits (only 8 gives eight), parity (only 1 and
// 2 set it), stop bits, flow control; and always raw mode with VMIN 0,
// VTIME 5, and a blocking descriptor.
TEST_F(SerialPort, LineSettingsReadBack) {
    struct Row {
        int baud, data, parity, stop, flow;
        speed_t speed;
        tcflag_t csize;
        bool parenb, parodd, cstopb, rtscts, xonxoff;
    };
    const Row rows[] = {
        {9600, 8, 0, 1, 0, B9600, CS8, false, false, false, false, false},
        {19200, 7, 1, 2, 1, B19200, CS7, true, true, true, true, false},
        {230400, 5, 2, 1, 2, B230400, CS7, true, false, false, false, true},
        {14400, 8, 3, 3, 3, B115200, CS8, false, false, false, false, false},
        {50, 9, -1, 0, -1, B50, CS7, false, false, false, false, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.baud);
        // Dirty the line first: the driver must clear what it does not set.
        struct termios dirty = settings();
        ::cfmakeraw(&dirty);
        dirty.c_iflag |= ICRNL | IXON | IXOFF | ISTRIP;
        dirty.c_oflag |= OPOST | ONLCR;
        dirty.c_lflag |= ICANON | ECHO | ISIG;
        dirty.c_cflag |= CRTSCTS | CSTOPB | PARENB | PARODD;
        ASSERT_EQ(::tcsetattr(slave_.get(), TCSANOW, &dirty), 0);

        ASSERT_EQ(open_port(49, r.baud, r.data, r.parity, r.stop, r.flow), VEM_SUCCESS);
        const struct termios t = settings();
        EXPECT_EQ(::cfgetospeed(&t), r.speed);
        EXPECT_EQ(::cfgetispeed(&t), r.speed);
        EXPECT_EQ(g_requested.c_cflag & CSIZE, r.csize);
        EXPECT_EQ((g_requested.c_cflag & PARENB) != 0, r.parenb);
        EXPECT_EQ((g_requested.c_cflag & PARODD) != 0, r.parodd);
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, r.cstopb);
        EXPECT_EQ((t.c_cflag & CRTSCTS) != 0, r.rtscts);
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY), r.xonxoff ? IXON | IXOFF | IXANY : 0U);
        EXPECT_EQ(t.c_iflag & (ICRNL | ISTRIP | INLCR | BRKINT | PARMRK | INPCK), 0U);
        EXPECT_EQ(t.c_oflag, 0U);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), 0U);
        EXPECT_EQ(t.c_cc[VMIN], 0);
        EXPECT_EQ(t.c_cc[VTIME], 5);
        EXPECT_EQ(::fcntl(g_ComHandle[49].get(), F_GETFL) & O_NONBLOCK, 0);
        close_port_serial(49);
    }
}

// Bytes pass unchanged both ways (no CR/LF translation, no echo); a receive
// that gets 4 of 10 bytes fails after its time limit (checked at least every
// half second) and still reports the 4.
TEST_F(SerialPort, SendAndReceive) {
    ASSERT_EQ(open_port(0), VEM_SUCCESS);
    const std::string data("\x1B@line\r\n\x00\xFF\x11\x13", 12);
    unsigned long n = 0;
    ASSERT_EQ(send(0, data, 1000, &n), VEM_SUCCESS);
    EXPECT_EQ(n, data.size());
    EXPECT_EQ(drain(), data);

    unsigned char buf[10] = {};
    printer_sends(std::string_view("\x12\x00\x00\x0F", 4));
    unsigned long got = 99;
    auto t0 = Clock::now();
    EXPECT_EQ(receive_data_serial(0, buf, 10, &got, 300), VEM_ILLEGAL);
    const long took = ms_since(t0);
    EXPECT_EQ(got, 4U);
    EXPECT_EQ(std::memcmp(buf, "\x12\x00\x00\x0F", 4), 0);
    EXPECT_GE(took, 300);
    EXPECT_LT(took, 1500);

    printer_sends("abc");
    t0 = Clock::now();
    EXPECT_EQ(receive_data_serial(0, buf, 3, &got, 5000), VEM_SUCCESS);
    EXPECT_TRUE(got == 3 && std::memcmp(buf, "abc", 3) == 0);
    EXPECT_LT(ms_since(t0), 1000) << "a complete answer must not wait for the limit";
    EXPECT_TRUE(drain(50).empty()) << "nothing echoed";
}

// A printer that stops the line (XOFF; CTS low behaves alike) must not hold a
// send past its limit: the send fails in time, reports nothing sent, and the
// port works again once the printer lets go.
TEST_F(SerialPort, StoppedLineKeepsTheSendLimit) {
    ASSERT_EQ(open_port(0, 9600, 8, 0, 1, VEM_SERIAL_FLOW_XONXOFF), VEM_SUCCESS);
    printer_sends(std::string(1, static_cast<char>(XOFF)));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    unsigned long n = 0;
    std::atomic<bool> finished{false};
    std::thread send_thread([&] {
        const auto t0 = Clock::now();
        EXPECT_EQ(send(0, std::string(64, 'x'), 300, &n), VEM_ILLEGAL);
        const long took = ms_since(t0);
        EXPECT_GE(took, 300);
        EXPECT_LT(took, 2000);
        finished = true;
    });
    for (int i = 0; i < 100 && !finished; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (!finished) printer_sends(std::string(1, static_cast<char>(XON)));  // free the hung send
    send_thread.join();
    ASSERT_TRUE(finished) << "the send hung on the stopped line";
    EXPECT_EQ(n, 0U);

    printer_sends(std::string(1, static_cast<char>(XON)));
    drain(100);
    ASSERT_EQ(send(0, "after", 1000, &n), VEM_SUCCESS);
    EXPECT_EQ(drain(), "after");
    EXPECT_EQ(::fcntl(g_ComHandle[0].get(), F_GETFL) & O_NONBLOCK, 0)
        << "descriptor left non-blocking";
}

// The limit passes while the send waits on a stopped line, and the printer
// takes the rest right then: all bytes went out, so the send has succeeded.
TEST_F(SerialPort, SendCompletingAsTheLimitPassesSucceeds) {
    ASSERT_EQ(open_port(0, 9600, 8, 0, 1, VEM_SERIAL_FLOW_XONXOFF), VEM_SUCCESS);
    printer_sends(std::string(1, static_cast<char>(XOFF)));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::thread printer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        g_skew_ms = 60000;                                      // the limit is long past ...
        printer_sends(std::string(1, static_cast<char>(XON)));  // ... as the line frees
    });
    unsigned long n = 0;
    EXPECT_EQ(send(0, "receipt", 10000, &n), VEM_SUCCESS);
    printer.join();
    EXPECT_EQ(n, 7U);
    EXPECT_EQ(drain(), "receipt");
}

// Closing a port opened with ready/busy flow control turns CRTSCTS off on the
// device first; parking keeps the semaphore, reconnect reprograms the line.
// All through the port table's row, which must hand every PortParams field
// to the driver in its place.
TEST_F(SerialPort, CloseParkAndReconnect) {
    const PortOps* ops = port_ops(INTF_RS232);
    ASSERT_TRUE(ops != nullptr && ops->kind == INTF_RS232 && ops->rts == nullptr);
    PortParams p;
    std::snprintf(p.szName, sizeof p.szName, "%s", path_.c_str());
    p.nBaudrate = 9600, p.nDataBit = 8, p.nFlowControl = VEM_SERIAL_FLOW_RTSCTS;
    ASSERT_EQ(ops->open(3, p), VEM_SUCCESS);
    sem_t* sem = ops->semaphore(3);
    char expect[VEM_SEM_NAME_SIZE];
    ASSERT_TRUE(compose_port_sem_name(expect, VEM_SERIAL_SEM_TEMPLATE, path_.c_str()));
    EXPECT_STREQ(g_semSerialName[3], expect);
    EXPECT_NE(settings().c_cflag & CRTSCTS, 0U);
    ops->park(3);
    EXPECT_EQ(settings().c_cflag & CRTSCTS, 0U);
    EXPECT_EQ(close_serial_handle(3), 1) << "nothing to close";
    unsigned long n = 0;
    EXPECT_EQ(send(3, "x", 100, &n), VEM_NOINIT);

    EXPECT_EQ(reconnect_serial(3, "/dev/no-such-tty", 9600, 8, 0, 1, 1), VEM_NODEVICE);
    EXPECT_TRUE(!g_ComHandle[3] && getSerialSemaphore(3) == sem) << "parking keeps the lock";
    p.nBaudrate = 4800, p.nDataBit = 7, p.nParity = 1, p.nStopBit = 2, p.nFlowControl = 2;
    ASSERT_EQ(ops->reconnect(3, p), VEM_SUCCESS);
    const struct termios t = settings();
    EXPECT_EQ(::cfgetospeed(&t), B4800);
    EXPECT_EQ(g_requested.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS),
              CS7 | PARENB | PARODD | CSTOPB);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), IXON | IXOFF);
    ops->close(3);
    EXPECT_TRUE(!getSerialSemaphore(3) && g_semSerialName[3][0] == '\0' && !g_ComHandle[3]);
}

// A path too long for the semaphore name is refused before the device is
// touched (the longest one that fits works); a second open of a slot, a
// missing device and slots outside [0, PORT_SLOT_MAX) are refused too.
TEST_F(SerialPort, Refusals) {
    const auto link_of_length = [&](std::size_t len) {
        std::string p = "/tmp/";
        p += std::string(len - p.size(), 's');
        return p;
    };
    link_ = link_of_length(VEM_SERIAL_PATH_MAX);
    ASSERT_EQ(::symlink(path_.c_str(), link_.c_str()), 0);
    const std::string too_long = link_of_length(VEM_SERIAL_PATH_MAX + 1);
    ASSERT_EQ(::symlink(path_.c_str(), too_long.c_str()), 0);
    EXPECT_EQ(init_port_serial(0, too_long.c_str(), 9600, 8, 0, 1, 0), VEM_ILLEGAL);
    ::unlink(too_long.c_str());
    EXPECT_TRUE(!g_ComHandle[0] && !getSerialSemaphore(0));
    EXPECT_EQ(init_port_serial(0, nullptr, 9600, 8, 0, 1, 0), VEM_ILLEGAL);
    EXPECT_EQ(init_port_serial(0, "/dev/no-such-tty", 9600, 8, 0, 1, 0), VEM_NODEVICE);
    EXPECT_TRUE(!g_ComHandle[0] && !getSerialSemaphore(0));

    ASSERT_EQ(init_port_serial(0, link_.c_str(), 9600, 8, 0, 1, 0), VEM_SUCCESS);
    EXPECT_EQ(std::strlen(g_semSerialName[0]), VEM_SEM_NAME_SIZE - 1);
    const int fd = g_ComHandle[0].get();
    EXPECT_EQ(open_port(0), VEM_INUSED);
    EXPECT_EQ(g_ComHandle[0].get(), fd) << "the open port changed";

    unsigned char b = 0;
    unsigned long n = 0;
    EXPECT_EQ(send_data_serial(0, &b, -1, &n, 100), VEM_ILLEGAL);
    EXPECT_EQ(receive_data_serial(0, nullptr, 4, &n, 100), VEM_ILLEGAL);
    for (int idx : {-1, PORT_SLOT_MAX}) {
        EXPECT_EQ(open_port(idx), VEM_NODEVICE);
        EXPECT_EQ(reconnect_serial(idx, path_.c_str(), 9600, 8, 0, 1, 0), VEM_ILLEGAL);
        EXPECT_EQ(connect_serial(idx, path_.c_str(), 9600, 8, 0, 1, 0) +
                      set_serial_attribs(idx, 9600, 8, 0, 1, 0) + close_serial_handle(idx),
                  0);
        EXPECT_EQ(send_data_serial(idx, &b, 1, &n, 0) + receive_data_serial(idx, &b, 1, &n, 0),
                  2 * VEM_ILLEGAL);
        EXPECT_EQ(getSerialSemaphore(idx), nullptr), close_port_serial(idx);
    }
}
