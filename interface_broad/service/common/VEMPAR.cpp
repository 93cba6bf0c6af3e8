// VEMPAR.cpp - the parallel port driver (Linux ppdev).
#include "VEMPAR.h"

#include <linux/parport.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

// ---- Per-slot state (see VEMPAR.h) ---------------------------------------
UniqueFd g_PortHandle[PORT_SLOT_MAX];                      // claimed node, or -1
UniqueSem g_pParallelSem[PORT_SLOT_MAX];                   // port semaphore, or null
int g_InitParallelSem[PORT_SLOT_MAX];                      // 1: close it in close_port_pra
char g_semParallelName[PORT_SLOT_MAX][VEM_SEM_NAME_SIZE];  // the semaphore's name

namespace {

constexpr int kReverse = 0xFF;  // PPDATADIR: data lines driven by the printer
constexpr int kForward = 0;     // PPDATADIR: data lines driven by us

const char* text(const char* s) {
    return s != nullptr ? s : "";
}

// True, after logging it, when idx is no slot of this build.
bool bad_slot(unsigned int fn, int idx) {
    if (valid_slot(idx)) return false;
    DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "invalid parameter=%d", idx);
    return true;
}

// Whether more than dwTimeout ms have passed since start.  Compared as
// unsigned: a clock set back counts as exceeded.
bool limit_passed(const struct timeval& start, unsigned long dwTimeout) {
    struct timeval now {};
    ::gettimeofday(&now, nullptr);
    return static_cast<unsigned long>(static_cast<long>(time_diff_ms(start, now))) > dwTimeout;
}

// Between two tries of a failing request: a port that refuses a byte does
// not take it a microsecond later either, and a retry loop without a pause
// would burn a CPU and flood the log with one error line per try.
void pause_before_retry() {
    struct timespec ts {
        0, 1000000L
    };
    ::nanosleep(&ts, nullptr);
}

// Status reads spent on a busy printer before a try counts as failed: a
// printer acknowledges a byte within microseconds, so a short spin keeps
// the pace of the port while a longer busy spell (paper feed, a full
// buffer) pauses like any other failure.
constexpr int kBusySpins = 64;

// Waits briefly for the printer to be ready: the BUSY status bit set means
// not busy (the line is inverted).  Returns 0, or the errno of the failed
// status read, or EBUSY.
int wait_not_busy(int fd) {
    for (int i = 0; i < kBusySpins; ++i) {
        unsigned char status = 0;
        if (::ioctl(fd, PPRSTATUS, &status) != 0) return errno;
        if ((status & PARPORT_STATUS_BUSY) != 0) return 0;
    }
    return EBUSY;
}

// One byte to the printer as a Centronics port takes it: the printer ready,
// the byte on the data lines, then a pulse on nStrobe, at which the printer
// latches it.  The data register alone is never seen by the printer.
// Returns 0 or an errno.
int write_byte(int fd, unsigned char* byte) {
    static const ppdev_frob_struct kStrobeOn{PARPORT_CONTROL_STROBE, PARPORT_CONTROL_STROBE};
    static const ppdev_frob_struct kStrobeOff{PARPORT_CONTROL_STROBE, 0};
    if (const int err = wait_not_busy(fd); err != 0) return err;
    if (::ioctl(fd, PPWDATA, byte) != 0) return errno;
    if (::ioctl(fd, PPFCONTROL, &kStrobeOn) != 0) return errno;
    if (::ioctl(fd, PPFCONTROL, &kStrobeOff) != 0) return errno;
    return 0;
}

int read_byte(int fd, unsigned char* byte) {
    return ::ioctl(fd, PPRDATA, byte) == 0 ? 0 : errno;
}

// One byte per request, each failing one retried until the limit; returns
// how many bytes were transferred.  `request` is PPWDATA or PPRDATA.
std::size_t transfer_bytes(int fd, unsigned long request, unsigned char* data, std::size_t n,
                           unsigned long dwTimeout) {
    const bool out = request == PPWDATA;
    const unsigned int fn = out ? fn_send_data_pra : fn_receive_data_pra;
    const char* name = out ? "PPWDATA" : "PPRDATA";
    struct timeval start {};
    ::gettimeofday(&start, nullptr);
    std::size_t done = 0;
    while (done < n) {
        const int err = out ? write_byte(fd, data + done) : read_byte(fd, data + done);
        if (err == 0) {
            ++done;
            continue;
        }
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "%s fail; error=%d", name, err);
        if (limit_passed(start, dwTimeout)) {
            DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "%s timeout", name);
            break;
        }
        pause_before_retry();
    }
    return done;
}

}  // namespace

void init_buf_par() {
    for (int i = 0; i < PORT_SLOT_MAX; ++i) {
        g_PortHandle[i].reset();
        g_pParallelSem[i].reset();
        g_InitParallelSem[i] = 0;
        std::memset(g_semParallelName[i], 0, VEM_SEM_NAME_SIZE);
    }
}

int connect_parallel(int idx, const char* lpszPort) {
    constexpr unsigned int fn = fn_connect_parallel;
    if (bad_slot(fn, idx)) return 0;
    const int fd =
        lpszPort != nullptr ? ::open(lpszPort, O_RDWR | O_CLOEXEC) : (errno = EINVAL, -1);
    if (fd < 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "Open(%s) error=%d", text(lpszPort), errno);
        return 0;
    }
    g_PortHandle[idx].reset(fd);
    if (::ioctl(fd, PPCLAIM) != 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "PPCLAIM(%s) error=%d", lpszPort, errno);
        return 0;
    }
    return 1;
}

int close_pra_handle(int idx) {
    constexpr unsigned int fn = fn_close_pra_handle;
    DbgLogMessage(LOG_LEVEL_TRACE, fn, LOG_START, "Close PAR port enter");
    if (bad_slot(fn, idx)) return 0;
    int result = 1;
    // The descriptor leaves the slot whatever happens: a descriptor kept
    // after a failed release (a claim that never succeeded, say) would mark
    // the slot open for ever, and one kept after a failed close() would be a
    // number that may already belong to somebody else's file.
    if (const int fd = g_PortHandle[idx].release(); fd >= 0) {
        if (::ioctl(fd, PPRELEASE) != 0) {
            DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "PPRELEASE errno=%d", errno);
            result = 0;
        }
        if (::close(fd) != 0) {
            DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "close PAR(all) errno=%d", errno);
            result = 0;
        }
    }
    DbgLogMessage(LOG_LEVEL_TRACE, fn, LOG_END, "Close PAR port Exit=%d", result);
    return result;
}

int init_port_pra(int idx, const char* lpszPort) {
    constexpr unsigned int fn = fn_init_port_pra;
    DbgLogMessage(LOG_LEVEL_TRACE, fn, LOG_START, "Init PAR port enter");
    if (bad_slot(fn, idx)) return VEM_NODEVICE;

    int result = VEM_SUCCESS;
    char probe[VEM_SEM_NAME_SIZE];
    sem_t* pSem = nullptr;
    if (g_PortHandle[idx]) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "Parallel port already open");
        result = VEM_INUSED;
    } else if (!compose_port_sem_name(probe, VEM_PAR_SEM_TEMPLATE, lpszPort)) {
        // Refuse a path the port could never lock before touching the device.
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO,
                      "Invalid parallel port(%s), at most %d characters", text(lpszPort),
                      static_cast<int>(VEM_PAR_PATH_MAX));
        close_port_pra(idx);
        result = VEM_ILLEGAL;
    } else if (connect_parallel(idx, lpszPort) == 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "connect_parallel(%s) fail", lpszPort);
        close_port_pra(idx);
        result = VEM_NODEVICE;
    } else if ((pSem = createParallelSemaphore(g_semParallelName[idx], lpszPort)) == nullptr) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "Create semaphore failed");
        close_port_pra(idx);
        result = VEM_NODEVICE;
    } else {
        g_pParallelSem[idx].reset(pSem);
        g_InitParallelSem[idx] = 1;
    }
    DbgLogMessage(LOG_LEVEL_TRACE, fn, LOG_END, "Init PAR port Exit=%d", result);
    return result;
}

int reconnect_pra(int idx, const char* lpszPort) {
    constexpr unsigned int fn = fn_reconnect_pra;
    DbgLogMessage(LOG_LEVEL_TRACE, fn, LOG_START, "Reconnect PAR enter");
    if (bad_slot(fn, idx)) return VEM_ILLEGAL;
    int result = VEM_SUCCESS;
    close_pra_handle(idx);
    if (connect_parallel(idx, lpszPort) == 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "connect_parallel(%s) fail", text(lpszPort));
        close_pra_handle(idx);
        result = VEM_NODEVICE;
    }
    DbgLogMessage(LOG_LEVEL_TRACE, fn, LOG_END, "Reconnect PAR Exit=%d", result);
    return result;
}

void close_port_pra(int idx) {
    constexpr unsigned int fn = fn_close_port_pra;
    DbgLogMessage(LOG_LEVEL_TRACE, fn, LOG_START, "Close PAR Enter");
    if (!valid_slot(idx)) return;
    release_port_semaphore(g_pParallelSem[idx], g_InitParallelSem[idx], g_semParallelName[idx]);
    close_pra_handle(idx);
    DbgLogMessage(LOG_LEVEL_TRACE, fn, LOG_END, "Close PAR Exit");
}

sem_t* getParallelSemaphore(int idx) {
    if (bad_slot(fn_unknown, idx)) return nullptr;
    return g_pParallelSem[idx].get();
}

sem_t* createParallelSemaphore(char* szName, const char* lpszPort) {
    constexpr unsigned int fn = fn_createParallelSemaphore;
    DbgLogMessage(LOG_LEVEL_DEBUG, fn, LOG_START, "Create PAR semaphore Enter:%s", text(lpszPort));
    if (szName == nullptr) return nullptr;
    errno = 0;
    return open_composed_semaphore(
        szName, compose_port_sem_name(szName, VEM_PAR_SEM_TEMPLATE, lpszPort), fn, LOG_LEVEL_DEBUG,
        "PAR");
}

int send_data_pra(int idx, unsigned char* pBySendData, int nSendSize, unsigned long* pdwSize,
                  unsigned long dwTimeout) {
    constexpr unsigned int fn = fn_send_data_pra;
    DbgLogMessage(LOG_LEVEL_TRACE, fn, LOG_START, "Send PAR data Enter");
    if (bad_slot(fn, idx)) return VEM_ILLEGAL;

    const int fd = g_PortHandle[idx].get();
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
        const auto n = static_cast<std::size_t>(nSendSize);
        const std::size_t written = transfer_bytes(fd, PPWDATA, pBySendData, n, dwTimeout);
        if (written == n) {
            *pdwSize = n;
            DbgLogMessage(LOG_LEVEL_DEBUG, fn, LOG_DBG, "send success=%d", nSendSize);
            result = VEM_SUCCESS;
        } else {
            DbgLogMessage(LOG_LEVEL_WARN, fn, LOG_WARN, "write error size : %d (expect:%d)",
                          static_cast<int>(written), nSendSize);
        }
    }
    DbgLogMessage(LOG_LEVEL_TRACE, fn, LOG_END, "Send PAR data Exit=%d", result);
    return result;
}

int receive_data_pra(int idx, unsigned char* pByReceiveData, int nReceiveSize,
                     unsigned long* pdwRecSize, unsigned long dwTimeout) {
    constexpr unsigned int fn = fn_receive_data_pra;
    DbgLogMessage(LOG_LEVEL_TRACE, fn, LOG_START, "Receive PAR data enter");
    if (bad_slot(fn, idx)) return VEM_ILLEGAL;

    const int fd = g_PortHandle[idx].get();
    int result = VEM_ILLEGAL;
    int mode = IEEE1284_MODE_ECP;
    int reverse = kReverse;
    if (fd < 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "Invalid port handle");
        result = VEM_NOINIT;
    } else if (pdwRecSize == nullptr || nReceiveSize < 0 ||
               (pByReceiveData == nullptr && nReceiveSize > 0)) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "Invalid receive buffer(0x%08X, size=%d)",
                      ptr_low32(pByReceiveData), nReceiveSize);
    } else if (::ioctl(fd, PPSETMODE, &mode) != 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "PPSETMODE fail; error=%d", errno);
    } else if (::ioctl(fd, PPDATADIR, &reverse) != 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "PPDATADIR fail; error=%d", errno);
    } else {
        *pdwRecSize = 0;
        const auto n = static_cast<std::size_t>(nReceiveSize);
        const std::size_t got = transfer_bytes(fd, PPRDATA, pByReceiveData, n, dwTimeout);
        // Forward again in every case: the next send must drive the lines.
        int forward = kForward;
        if (::ioctl(fd, PPDATADIR, &forward) != 0)
            DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "PPDATADIR fail; error=%d", errno);
        if (got == n) {
            *pdwRecSize = n;
            DbgByteData(LOG_LEVEL_DUMP, fn, 0, pByReceiveData, nReceiveSize);
            result = VEM_SUCCESS;
        } else {
            DbgLogMessage(LOG_LEVEL_WARN, fn, LOG_WARN, "read error size : %d (expect:%d)",
                          static_cast<int>(got), nReceiveSize);
        }
    }
    DbgLogMessage(LOG_LEVEL_TRACE, fn, LOG_END, "Receive PAR data Exit=%d", result);
    return result;
}
