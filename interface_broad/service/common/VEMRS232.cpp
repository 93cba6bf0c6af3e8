// VEMRS232.cpp - the serial port driver.
#include "VEMRS232.h"

#include <poll.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

// ---- Per-slot state (see VEMRS232.h) -------------------------------------
UniqueFd g_ComHandle[PORT_SLOT_MAX];                     // open device, or -1
UniqueSem g_pSerialSem[PORT_SLOT_MAX];                   // port semaphore, or null
int g_InitSerialSem[PORT_SLOT_MAX];                      // 1: close it in close_port_serial
char g_semSerialName[PORT_SLOT_MAX][VEM_SEM_NAME_SIZE];  // the semaphore's name

namespace {

const char* text(const char* s) {
    return s != nullptr ? s : "";
}

// True, after logging it, when idx is no slot of this build.
bool bad_slot(unsigned int fn, int idx) {
    if (valid_slot(idx)) return false;
    DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "invalid parameter=%d", idx);
    return true;
}

unsigned int fd32(int fd) {
    return static_cast<unsigned int>(fd);
}

// Milliseconds since start, and whether they exceed the limit.  The
// difference is compared as unsigned: a clock set back (a negative
// difference) counts as exceeded, so a send or receive never waits on a
// clock that went backwards.
struct Elapsed {
    int ms;
    bool over;
};
Elapsed elapsed_since(const struct timeval& start, unsigned long dwTimeout) {
    struct timeval now {};
    ::gettimeofday(&now, nullptr);
    const int ms = time_diff_ms(start, now);
    return {ms, static_cast<unsigned long>(static_cast<long>(ms)) > dwTimeout};
}

// The poll() time-out for what is left of the limit, one millisecond past
// it so that the next check finds the limit exceeded.
int remaining_ms(unsigned long dwTimeout, int elapsed) {
    const unsigned long left = dwTimeout - static_cast<unsigned long>(elapsed) + 1;
    return left > static_cast<unsigned long>(INT_MAX) ? INT_MAX : static_cast<int>(left);
}

// Sets O_NONBLOCK on a descriptor for the lifetime of the guard and puts
// the old file status flags back afterwards: reads keep blocking (they rely
// on VTIME), only the send must never sleep inside write().
class NonBlocking {
  public:
    explicit NonBlocking(int fd) : fd_(fd), flags_(::fcntl(fd, F_GETFL)) {
        ok_ = flags_ >= 0 && ::fcntl(fd_, F_SETFL, flags_ | O_NONBLOCK) == 0;
    }
    ~NonBlocking() {
        if (ok_) (void)::fcntl(fd_, F_SETFL, flags_);
    }
    NonBlocking(const NonBlocking&) = delete;
    NonBlocking& operator=(const NonBlocking&) = delete;
    bool ok() const { return ok_; }

  private:
    int fd_;
    int flags_;
    bool ok_ = false;
};

// Writes n bytes within dwTimeout ms; returns how many went out.  A printer
// that stops the line (CTS low, XOFF) would hold a blocking write forever,
// so the descriptor is non-blocking while this runs and the waits for room
// are poll()s bounded by what is left of the limit.
std::size_t write_within(int fd, const unsigned char* data, std::size_t n,
                         unsigned long dwTimeout) {
    struct timeval start {};
    ::gettimeofday(&start, nullptr);
    NonBlocking nb(fd);
    if (!nb.ok()) {
        DbgLogMessage(LOG_LEVEL_TRACE, fn_send_data_serial, LOG_TRACE,
                      "write fail; ret=%d, error=%d", -1, errno);
        return 0;
    }
    std::size_t done = 0;
    while (done < n) {
        int err = 0;
        done += vem::write_full(fd, data + done, n - done, &err, vem::OnFull::Stop);
        if (done == n) break;  // complete, even if the limit passed meanwhile
        if (err != EAGAIN && err != EWOULDBLOCK) {
            DbgLogMessage(LOG_LEVEL_TRACE, fn_send_data_serial, LOG_TRACE,
                          "write fail; ret=%d, error=%d", -1, err);
            break;
        }
        const Elapsed e = elapsed_since(start, dwTimeout);
        if (e.over) {
            DbgLogMessage(LOG_LEVEL_ERROR, fn_send_data_serial, LOG_ERRNO, "write timeout");
            break;
        }
        // Readiness or hang-up both end the wait; the next write tells which.
        pollfd pfd{fd, POLLOUT, 0};
        if (::poll(&pfd, 1, remaining_ms(dwTimeout, e.ms)) < 0 && errno != EINTR) {
            DbgLogMessage(LOG_LEVEL_TRACE, fn_send_data_serial, LOG_TRACE,
                          "write fail; ret=%d, error=%d", -1, errno);
            break;
        }
    }
    return done;
}

}  // namespace

void init_buf_serial() {
    for (int i = 0; i < PORT_SLOT_MAX; ++i) {
        g_ComHandle[i].reset();
        g_pSerialSem[i].reset();
        g_InitSerialSem[i] = 0;
        std::memset(g_semSerialName[i], 0, VEM_SEM_NAME_SIZE);
    }
}

speed_t getBaudRate(int nBaudrate) {
    static constexpr std::pair<int, speed_t> kSpeeds[] = {
        {0, B0},         {50, B50},       {75, B75},         {110, B110},       {134, B134},
        {150, B150},     {200, B200},     {300, B300},       {600, B600},       {1200, B1200},
        {1800, B1800},   {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},
        {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400},
    };
    for (const auto& [bps, speed] : kSpeeds)
        if (bps == nBaudrate) return speed;
    return B115200;
}

int set_serial_attribs(int idx, int nBaudrate, int nDataBit, int nParity, int nStopBit,
                       int nFlowControl) {
    constexpr unsigned int fn = fn_set_serial_attribs;
    DbgLogMessage(LOG_LEVEL_TRACE, fn, LOG_START, "Set serial attr enter");
    if (bad_slot(fn, idx)) return 0;

    const int fd = g_ComHandle[idx].get();
    int result = 0;
    struct termios tty {};
    if (fd < 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "Invalid serial port handle=%d", fd);
    } else if (::tcgetattr(fd, &tty) != 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "tcgetattr errno=%d", errno);
    } else {
        // Raw transfer: bytes pass unchanged both ways.
        tty.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | INPCK | ISTRIP | INLCR |
                                              ICRNL | IXON | IXANY | IXOFF);
        tty.c_oflag = 0;
        tty.c_lflag &= ~static_cast<tcflag_t>(ISIG | ICANON | ECHO | ECHONL | IEXTEN);
        tty.c_cc[VMIN] = 0;   // a read returns what there is ...
        tty.c_cc[VTIME] = 5;  // ... after at most half a second without data
        tty.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | CSIZE | CSTOPB | PARENB | PARODD);
        tty.c_cflag |= nDataBit == VEM_SERIAL_DATA8 ? CS8 : CS7;

        if (nFlowControl == VEM_SERIAL_FLOW_RTSCTS) {
            tty.c_cflag |= CRTSCTS;
            DbgLogMessage(LOG_LEVEL_TRACE, fn, LOG_TRACE, "Set ready/busy");
        } else if (nFlowControl == VEM_SERIAL_FLOW_XONXOFF) {
            tty.c_iflag |= IXON | IXANY | IXOFF;
            DbgLogMessage(LOG_LEVEL_TRACE, fn, LOG_TRACE, "Set xon/xoff");
        } else {
            DbgLogMessage(LOG_LEVEL_TRACE, fn, LOG_TRACE, "Set flow control none");
        }
        if (nParity == VEM_SERIAL_PARITY_ODD) {
            tty.c_cflag |= PARENB | PARODD;
            DbgLogMessage(LOG_LEVEL_TRACE, fn, LOG_TRACE, "Set parity odd");
        } else if (nParity == VEM_SERIAL_PARITY_EVEN) {
            tty.c_cflag |= PARENB;
            DbgLogMessage(LOG_LEVEL_TRACE, fn, LOG_TRACE, "Set parity even");
        } else {
            DbgLogMessage(LOG_LEVEL_TRACE, fn, LOG_TRACE, "Set parity none");
        }
        if (nStopBit == VEM_SERIAL_STOP2) {
            tty.c_cflag |= CSTOPB;
            DbgLogMessage(LOG_LEVEL_TRACE, fn, LOG_TRACE, "Set 2 stop bit");
        } else {
            DbgLogMessage(LOG_LEVEL_TRACE, fn, LOG_TRACE, "Set 1 stop bit");
        }
        const speed_t speed = getBaudRate(nBaudrate);
        DbgLogMessage(LOG_LEVEL_TRACE, fn, LOG_TRACE, "Set baudrate=%d", static_cast<int>(speed));

        if (::cfsetospeed(&tty, speed) != 0) {
            DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "cfsetospeed errno=%d", errno);
        } else if (::cfsetispeed(&tty, speed) != 0) {
            DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "cfsetispeed errno=%d", errno);
        } else if (::tcsetattr(fd, TCSANOW, &tty) != 0) {
            DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "tcsetattr(all) errno=%d", errno);
        } else {
            (void)::tcflush(fd, TCIOFLUSH);  // nothing stale in either direction
            result = 1;
        }
    }
    DbgLogMessage(LOG_LEVEL_TRACE, fn, LOG_END, "Set serial attr Exit=%d", result);
    return result;
}

int connect_serial(int idx, const char* lpszPort, int nBaudrate, int nDataBit, int nParity,
                   int nStopBit, int nFlowControl) {
    constexpr unsigned int fn = fn_connect_serial;
    if (bad_slot(fn, idx)) return 0;
    // O_NONBLOCK: the open must not wait for a carrier the printer may never
    // raise.  The descriptor is made blocking right after.
    const int fd = lpszPort != nullptr
                       ? ::open(lpszPort, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)
                       : (errno = EINVAL, -1);
    if (fd < 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "Open(%s) error=%d", text(lpszPort), errno);
        return 0;
    }
    g_ComHandle[idx].reset(fd);
    DbgLogMessage(LOG_LEVEL_DEBUG, fn, LOG_DBG, "Open(%s, %d) success=0x%08X", lpszPort, idx,
                  fd32(fd));
    if (::fcntl(fd, F_SETFL, 0) != 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "fcntl(%s) error=%d", lpszPort, errno);
        return 0;
    }
    if (set_serial_attribs(idx, nBaudrate, nDataBit, nParity, nStopBit, nFlowControl) == 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "set_serial_attribs fail");
        return 0;
    }
    return 1;
}

int close_serial_handle(int idx) {
    constexpr unsigned int fn = fn_close_serial_handle;
    DbgLogMessage(LOG_LEVEL_TRACE, fn, LOG_START, "Close serial port enter");
    if (bad_slot(fn, idx)) return 0;
    if (const int fd = g_ComHandle[idx].release(); fd >= 0) {
        // A line left in ready/busy mode would hold the next user of the
        // device (and a close waiting to drain) hostage to CTS.
        struct termios tty {};
        if (::tcgetattr(fd, &tty) != 0) {
            DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "tcgetattr errno=%d", errno);
        } else if ((tty.c_cflag & CRTSCTS) != 0) {
            tty.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
            if (::tcsetattr(fd, TCSANOW, &tty) != 0)
                DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "tcsetattr errno=%d", errno);
        }
        // The descriptor is gone after close() whatever it reports: the slot
        // must not keep its number, which may already belong to another file.
        if (::close(fd) != 0) {
            DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "close serial (%d, 0x%08X) errno=%d", idx,
                          fd32(fd), errno);
        } else {
            DbgLogMessage(LOG_LEVEL_DEBUG, fn, LOG_DBG, "close serial (idx:%d) = 0x%08X", idx,
                          fd32(fd));
        }
    }
    DbgLogMessage(LOG_LEVEL_TRACE, fn, LOG_END, "Close serial port Exit=%d", 1);
    return 1;
}

int init_port_serial(int idx, const char* lpszPort, int nBaudrate, int nDataBit, int nParity,
                     int nStopBit, int nFlowControl) {
    constexpr unsigned int fn = fn_init_port_serial;
    DbgLogMessage(LOG_LEVEL_TRACE, fn, LOG_START, "Init serial port Enter");
    if (bad_slot(fn, idx)) return VEM_NODEVICE;

    int result = VEM_SUCCESS;
    char probe[VEM_SEM_NAME_SIZE];
    sem_t* pSem = nullptr;
    if (g_ComHandle[idx]) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "Serial port already open");
        result = VEM_INUSED;
    } else if (!compose_port_sem_name(probe, VEM_SERIAL_SEM_TEMPLATE, lpszPort)) {
        // Refuse a path the port could never lock before touching the device.
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO,
                      "Invalid serial port(%s), at most %d characters", text(lpszPort),
                      static_cast<int>(VEM_SERIAL_PATH_MAX));
        close_port_serial(idx);
        result = VEM_ILLEGAL;
    } else if (connect_serial(idx, lpszPort, nBaudrate, nDataBit, nParity, nStopBit,
                              nFlowControl) == 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "connect_serial(%s) fail", lpszPort);
        close_port_serial(idx);
        result = VEM_NODEVICE;
    } else if ((pSem = createSerialSemaphore(g_semSerialName[idx], lpszPort)) == nullptr) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "Create semaphore failed");
        close_port_serial(idx);
        result = VEM_NODEVICE;
    } else {
        g_pSerialSem[idx].reset(pSem);
        g_InitSerialSem[idx] = 1;
    }
    DbgLogMessage(LOG_LEVEL_TRACE, fn, LOG_END, "Init serial port Exit=%d", result);
    return result;
}

int reconnect_serial(int idx, const char* lpszPort, int nBaudrate, int nDataBit, int nParity,
                     int nStopBit, int nFlowControl) {
    constexpr unsigned int fn = fn_reconnect_serial;
    DbgLogMessage(LOG_LEVEL_TRACE, fn, LOG_START, "Reconnect serial Enter");
    if (bad_slot(fn, idx)) return VEM_ILLEGAL;
    int result = VEM_SUCCESS;
    close_serial_handle(idx);
    if (connect_serial(idx, lpszPort, nBaudrate, nDataBit, nParity, nStopBit, nFlowControl) == 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "connect_serial(%s) fail", text(lpszPort));
        close_serial_handle(idx);
        result = VEM_NODEVICE;
    }
    DbgLogMessage(LOG_LEVEL_TRACE, fn, LOG_END, "Reconnect serial Exit=%d", result);
    return result;
}

void close_port_serial(int idx) {
    constexpr unsigned int fn = fn_close_port_serial;
    DbgLogMessage(LOG_LEVEL_TRACE, fn, LOG_START, "Close serial enter");
    if (bad_slot(fn, idx)) return;
    release_port_semaphore(g_pSerialSem[idx], g_InitSerialSem[idx], g_semSerialName[idx]);
    close_serial_handle(idx);
    DbgLogMessage(LOG_LEVEL_TRACE, fn, LOG_END, "Close serial Exit");
}

sem_t* getSerialSemaphore(int idx) {
    if (bad_slot(fn_unknown, idx)) return nullptr;
    return g_pSerialSem[idx].get();
}

sem_t* createSerialSemaphore(char* szName, const char* lpszPort) {
    constexpr unsigned int fn = fn_createSerialSemaphore;
    DbgLogMessage(LOG_LEVEL_DEBUG, fn, LOG_START, "Create serial semaphore Enter:%s",
                  text(lpszPort));
    if (szName == nullptr) return nullptr;
    errno = 0;
    return open_composed_semaphore(
        szName, compose_port_sem_name(szName, VEM_SERIAL_SEM_TEMPLATE, lpszPort), fn,
        LOG_LEVEL_DEBUG, "serial");
}

int send_data_serial(int idx, unsigned char* pBySendData, int nSendSize, unsigned long* pdwSize,
                     unsigned long dwTimeout) {
    constexpr unsigned int fn = fn_send_data_serial;
    DbgLogMessage(LOG_LEVEL_TRACE, fn, LOG_START, "Send serial data enter");
    if (bad_slot(fn, idx)) return VEM_ILLEGAL;

    const int fd = g_ComHandle[idx].get();
    int result = VEM_ILLEGAL;
    if (fd < 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "Invalid port handle");
        result = VEM_NOINIT;
    } else if (pdwSize == nullptr || nSendSize < 0 || (pBySendData == nullptr && nSendSize > 0)) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "Invalid send buffer(0x%08X, size=%d)",
                      ptr_low32(pBySendData), nSendSize);
    } else {
        DbgByteData(LOG_LEVEL_DUMP, fn, 1, pBySendData, nSendSize);
        *pdwSize = 0;
        const std::size_t n = static_cast<std::size_t>(nSendSize);
        const std::size_t written = write_within(fd, pBySendData, n, dwTimeout);
        if (written == n) {
            *pdwSize = n;
            DbgLogMessage(LOG_LEVEL_DEBUG, fn, LOG_DBG, "send success=%d", nSendSize);
            result = VEM_SUCCESS;
        } else {
            DbgLogMessage(LOG_LEVEL_WARN, fn, LOG_WARN, "write error size : %d (expect:%d)",
                          static_cast<int>(written), nSendSize);
        }
    }
    DbgLogMessage(LOG_LEVEL_TRACE, fn, LOG_END, "Send serial data(%d, 0x%08X) Exit=%d", idx,
                  fd32(fd), result);
    return result;
}

int receive_data_serial(int idx, unsigned char* pByReceiveData, int nReceiveSize,
                        unsigned long* pdwRecSize, unsigned long dwTimeout) {
    constexpr unsigned int fn = fn_receive_data_serial;
    DbgLogMessage(LOG_LEVEL_TRACE, fn, LOG_START, "Receive serial data enter");
    if (bad_slot(fn, idx)) return VEM_ILLEGAL;

    const int fd = g_ComHandle[idx].get();
    int result = VEM_ILLEGAL;
    if (fd < 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "Invalid port handle");
        result = VEM_NOINIT;
    } else if (pdwRecSize == nullptr || nReceiveSize < 0 ||
               (pByReceiveData == nullptr && nReceiveSize > 0)) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "Invalid receive buffer(0x%08X, size=%d)",
                      ptr_low32(pByReceiveData), nReceiveSize);
    } else {
        *pdwRecSize = 0;
        struct timeval start {};
        ::gettimeofday(&start, nullptr);
        const std::size_t n = static_cast<std::size_t>(nReceiveSize);
        std::size_t got = 0;
        while (got < n) {
            // Each read returns after at most VTIME (half a second), possibly
            // with nothing.
            const ssize_t r = ::read(fd, pByReceiveData + got, n - got);
            if (r < 0) {
                if (errno == EINTR) continue;
                DbgLogMessage(LOG_LEVEL_TRACE, fn, LOG_TRACE, "read(0x%08X) fail; ret=%d, error=%d",
                              fd32(fd), static_cast<int>(r), errno);
                break;
            }
            got += static_cast<std::size_t>(r);
            if (got < n && elapsed_since(start, dwTimeout).over) {
                DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "read timeout");
                break;
            }
        }
        *pdwRecSize = got;
        if (got == n) {
            DbgByteData(LOG_LEVEL_DUMP, fn, 0, pByReceiveData, nReceiveSize);
            result = VEM_SUCCESS;
        } else {
            DbgLogMessage(LOG_LEVEL_WARN, fn, LOG_WARN, "read error size : %d (expect:%d)",
                          static_cast<int>(got), nReceiveSize);
        }
    }
    DbgLogMessage(LOG_LEVEL_TRACE, fn, LOG_END, "Receive(0x%08X) serial data Exit=%d", fd32(fd),
                  result);
    return result;
}
