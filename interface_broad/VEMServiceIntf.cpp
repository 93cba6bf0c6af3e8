// VEMServiceIntf.cpp - the client of the port-sharing daemon (see
// VEMServiceIntf.h).
#include "VEMServiceIntf.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include "VEMCmn.h"
#include "VEMPortOps.h"
#include "wardlink.h"

#if __has_include("VEMFILE.h")
#include "VEMFILE.h"
#endif
#if __has_include("VEMUSB.h")
#include "VEMUSB.h"
#define VEM_HAVE_USB 1
#endif
#if __has_include("VEMRS232.h")
#include "VEMRS232.h"
#define VEM_HAVE_SERIAL 1
#endif
#if __has_include("VEMPAR.h")
#include "VEMPAR.h"
#define VEM_HAVE_PARALLEL 1
#endif
#if __has_include("VEMETH.h")
#include "VEMETH.h"
#define VEM_HAVE_ETH 1
#endif

namespace {

constexpr const char* kMainSem = INTF_MAIN_SEM_NAME;
constexpr int kMainWaitMs = 3000;    // main semaphore, every control request but close
constexpr int kCloseWaitMs = 30000;  // main semaphore, close

constexpr std::size_t VEM_CMD_HEADER = INTF_CMD_SIZE;
constexpr std::size_t VEM_RESULT_HEADER = INTF_RESULT_SIZE;
constexpr int VEM_PIPE_CHUNK = static_cast<int>(INTF_DATA_MAX);

// A pipe record of this client: descriptors closed and record freed together.
struct PipeFree {
    void operator()(interface_list* p) const noexcept {
        close_interface_pipe(p, 0);
        free_mem(reinterpret_cast<void**>(&p));
    }
};
using ClientPipe = std::unique_ptr<interface_list, PipeFree>;

}  // namespace

// ---- Process state -----------------------------------------------------------
namespace {
ClientPipe g_mainPipe;                 // main pipe record, made on first use
int g_pipeOpen = 0;                    // 1 once the main pipe is open
ClientPipe g_intfPipe;                 // interface pipe record of the opened port
int g_intfOpen = 0;                    // 1 once the interface pipe is open
std::uint32_t g_IntfIdx = 0;           // the daemon's slot of the opened port
UniqueSem g_pMainSem;                  // "/cmn_share_interface_main_sem_"
int g_InitMainSem = 0;                 // 1 once the main semaphore is open
char g_intfName[200];                  // name of the port semaphore
UniqueSem g_pIntfSem;                  // the port semaphore: the port lock
unsigned char g_write[INTF_BUF_SIZE];  // request buffer
unsigned char g_read[INTF_BUF_SIZE];   // reply buffer
std::size_t g_readLen = 0;             // bytes of the last reply
}  // namespace

namespace {

// ---- Records -----------------------------------------------------------------

void put64(std::size_t off, std::uint64_t v) {
    put_le64(g_write + off, v);
}
void put32(std::size_t off, std::int32_t v) {
    put_le32(g_write + off, static_cast<std::uint32_t>(v));
}
std::uint64_t get64(std::size_t off) {
    return get_le64(g_read + off);
}
// Integers from the API travel sign-extended.
std::uint64_t wide(long v) {
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(v));
}

std::uint64_t reply_process() {
    return get64(0);
}
// The reply's result: its low 32 bits, signed.
int reply_result() {
    return result_value(get64(16));
}
std::uint64_t reply_size() {
    return get64(24);
}

// Starts a request: zeroed buffer, command code, slot.
void begin_request(InterfaceProcess proc, std::uint64_t idx = 0) {
    std::memset(g_write, 0, sizeof g_write);
    put64(0, proc);
    put64(8, idx);
}

// ---- FIFOs -------------------------------------------------------------------

// The record of a pair; null (logged) when the name does not fit its paths.
ClientPipe make_pipe(const char* name) {
    return ClientPipe(create_interface_pipe(name, 0));
}

// Writes a request.  A daemon that has gone makes the write fail with
// EPIPE; the SIGPIPE that comes with it must not end the application, so
// it is blocked in this thread for the write and taken back if the write
// raised it.  Returns the bytes written, errno in *err.
ssize_t write_request(int fd, int size, int* err) {
    sigset_t pipeSet, old, pending;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSet, &old);
    sigpending(&pending);
    const bool wasPending = sigismember(&pending, SIGPIPE) == 1;
    const std::size_t n = vem::write_full(fd, g_write, static_cast<std::size_t>(size), err);
    if (*err == EPIPE && !wasPending) {
        const struct timespec zero {};
        while (sigtimedwait(&pipeSet, nullptr, &zero) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return n == 0 && *err != 0 ? -1 : static_cast<ssize_t>(n);
}

// Reads one reply: waits until data is there or the daemon has gone.
ssize_t read_reply(int fd, int* err) {
    for (;;) {
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, -1) < 0) {
            if (errno == EINTR) continue;
            *err = errno;
            return -1;
        }
        const ssize_t r = ::read(fd, g_read, sizeof g_read - 1);
        if (r < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        *err = r < 0 ? errno : 0;
        return r;
    }
}

// ---- Port semaphore ------------------------------------------------------------

// Opens the port's semaphore under the driver's name scheme into g_intfName.
sem_t* port_semaphore(InterfaceList kind, const PortParams& p) {
    std::memset(g_intfName, 0, sizeof g_intfName);
    switch (kind) {
#ifdef VEM_HAVE_USB
        case INTF_USB:
            return createUsbSemaphore(g_intfName, p.nVid, p.nPid);
#endif
#ifdef VEM_HAVE_SERIAL
        case INTF_RS232:
            return createSerialSemaphore(g_intfName, p.szName);
#endif
#ifdef VEM_HAVE_PARALLEL
        case INTF_PARRALLEL:
            return createParallelSemaphore(g_intfName, p.szName);
#endif
#ifdef VEM_HAVE_ETH
        case INTF_ETH:
            return createNetworkSemaphore(g_intfName, p.szName);
#endif
        case INTF_FILE:
            return createFileSemaphore(g_intfName, p.szName);
        default:
            errno = ENOSYS;
            return nullptr;
    }
}

// The name that derives the interface pipe's paths; room for a USB name
// that is too long, which fifo_paths then refuses.
void pipe_name(InterfaceList kind, const PortParams& p, char (&out)[320]) {
    std::memset(out, 0, sizeof out);
    if (kind == INTF_USB)
        std::snprintf(out, sizeof out, "%04X%04X%s", static_cast<unsigned>(p.nVid),
                      static_cast<unsigned>(p.nPid), p.szName);
    else
        std::snprintf(out, sizeof out, "%s", p.szName);
}

// Fills the open request of `kind`; returns its length.
int fill_open_request(InterfaceList kind, const PortParams& p) {
    const std::size_t n = std::strlen(p.szName);
    std::size_t at = VEM_CMD_HEADER;
    switch (kind) {
        case INTF_USB:
            begin_request(PROC_INIT_USB);
            put32(40, p.nVid), put32(44, p.nPid), at = 48;
            break;
        case INTF_RS232:
            begin_request(PROC_INIT_SERIAL);
            put32(40, p.nBaudrate), put32(44, p.nDataBit), put32(48, p.nParity);
            put32(52, p.nStopBit), put32(56, p.nFlowControl), at = 60;
            break;
        case INTF_PARRALLEL:
            begin_request(PROC_INIT_PARALLEL);
            break;
        case INTF_ETH:
            begin_request(PROC_INIT_NETWORK);
            put32(40, p.nTCP), put32(44, p.nUDP), at = 48;
            break;
        default:
            begin_request(PROC_INIT_FILE);
            put32(40, p.nFormat), at = 44;
            break;
    }
    std::memcpy(g_write + at, p.szName, n);  // the NUL is already there
    return static_cast<int>(at + n + 1);
}

// The one open operation of every kind.
int open_port(unsigned int fn, InterfaceList kind, const PortParams& p, const char* enter,
              const char* exitFmt) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn, LOG_START, "%s", enter);
    init_lib_pipe();
    if (g_pipeOpen != 1) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "Pipe not init");
        return VEM_NOINIT;
    }
    // Names whose pipe paths would not fit are refused before anything is sent.
    char name[320];
    pipe_name(kind, p, name);
    auto record = make_pipe(name);
    if (record == nullptr) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "Name too long for the pipe paths: %s", name);
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_END, exitFmt, VEM_ILLEGAL);
        return VEM_ILLEGAL;
    }
    g_pIntfSem.reset(port_semaphore(kind, p));
    if (g_pIntfSem == nullptr) return VEM_NOINIT;

    std::unique_lock lock(cs_rw);
    const int len = fill_open_request(kind, p);
    const std::uint64_t proc = get_le64(g_write);
    int rc = send_pipe_command(1, len, kMainWaitMs);
    if (rc == VEM_SUCCESS && reply_process() != proc) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "Init process value not match, process=%d",
                      static_cast<int>(reply_process()));
        rc = VEM_ILLEGAL;
    } else if (rc == VEM_SUCCESS && reply_result() < 0) {
        rc = reply_result();
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "Init process result fail, result=%d", rc);
    } else if (rc == VEM_SUCCESS) {
        g_IntfIdx = static_cast<std::uint32_t>(reply_result());
        DbgLogMessage(LOG_LEVEL_DEBUG, fn, LOG_DBG, "Init success, interface idx : %d",
                      static_cast<int>(g_IntfIdx));
    }
    lock.unlock();
    if (rc != VEM_SUCCESS) {
        g_pIntfSem.reset();
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_END, exitFmt, rc);
        return rc;
    }
    g_intfPipe = std::move(record);
    g_intfOpen = 0;  // opened by the next call
    g_InterfaceType = kind;
    DbgLogMessage(LOG_LEVEL_TRACE, fn, LOG_END, exitFmt, rc);
    return rc;
}

// Exit line at level 16 for success, 1 for a failure.
void exit_line(unsigned int fn, const char* fmt, int rc) {
    DbgLogMessage(rc == VEM_SUCCESS ? LOG_LEVEL_TRACE : LOG_LEVEL_ERROR, fn, LOG_END, fmt, rc);
}
void exit_line(unsigned int fn, const char* fmt, int rc, unsigned long n) {
    DbgLogMessage(rc == VEM_SUCCESS ? LOG_LEVEL_TRACE : LOG_LEVEL_ERROR, fn, LOG_END, fmt, rc,
                  static_cast<int>(n));
}

// Checks shared by reconnect, send, read and the real-time exchange.
int port_request_refused(unsigned int fn) {
    init_lib_pipe();
    if (g_intfOpen != 1) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "Pipe not init");
        return VEM_NOINIT;
    }
    if (islock_sem(g_pIntfSem.get()) != VEM_ALREADY_LOCK) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "didn't lock before use");
        return VEM_NOLOCK;
    }
    return VEM_SUCCESS;
}

bool mismatch(unsigned int fn, InterfaceProcess proc) {
    if (reply_process() == proc) return false;
    DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "command not match, process=%d",
                  static_cast<int>(reply_process()));
    return true;
}

// A reply's data count, checked against what was asked and what arrived:
// a count beyond either would copy past the caller's buffer.  -1 when bad.
long checked_size(unsigned int fn, long asked) {
    const std::uint64_t n = reply_size();
    if (n > static_cast<std::uint64_t>(asked) || n > g_readLen - VEM_RESULT_HEADER) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "reply size not correct, expect=%ld, get=%ld",
                      asked, static_cast<long>(n));
        return -1;
    }
    return static_cast<long>(n);
}

// One control request answered by 1 (log settings, reconnect).
int control_request(unsigned int fn, int len, InterfaceProcess proc) {
    int rc = send_pipe_command(1, len, kMainWaitMs);
    if (rc == VEM_SUCCESS && mismatch(fn, proc))
        rc = VEM_ILLEGAL;
    else if (rc == VEM_SUCCESS && get64(16) != 1)
        rc = VEM_ILLEGAL;
    return rc;
}

// Forwards a log setting to the daemon.
void forward_log_setting(unsigned int fn, const char* enter, const char* exitFmt,
                         InterfaceProcess proc, std::uint64_t value, const char* name) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn, LOG_START, "%s", enter);
    init_lib_pipe();
    if (g_mainPipe == nullptr) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "Pipe not init");
        return;
    }
    const std::size_t n = name != nullptr ? std::strlen(name) : 0;
    if (n > INTF_BUF_SIZE - VEM_CMD_HEADER - 1) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "Invalid parameter");
        exit_line(fn, exitFmt, VEM_ILLEGAL);
        return;
    }
    std::lock_guard lock(cs_rw);
    begin_request(proc, value);
    int len = static_cast<int>(VEM_CMD_HEADER);
    if (proc == PROC_LOGFILE) {
        if (n > 0) std::memcpy(g_write + VEM_CMD_HEADER, name, n);
        len = static_cast<int>(VEM_CMD_HEADER + (n > 0 ? n + 1 : 2));
    }
    exit_line(fn, exitFmt, control_request(fn, len, proc));
}

}  // namespace

// ---- Pipes -------------------------------------------------------------------

void init_lib_pipe() {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_init_lib_pipe, LOG_START, "Init FIFO pipe enter");
    if (g_mainPipe == nullptr) {
        g_mainPipe = make_pipe(nullptr);
        if (g_mainPipe != nullptr)
            DbgLogMessage(LOG_LEVEL_TRACE, fn_init_lib_pipe, LOG_DBG, "Create main pipe=0x%08X",
                          ptr_low32(g_mainPipe.get()));
    }
    if (g_mainPipe == nullptr) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_init_lib_pipe, LOG_ERRNO, "Open main FIFO fail");
    } else if (g_pipeOpen != 1) {
        g_pipeOpen = open_interface_pipe(g_mainPipe.get(), 0);
    }
    if (g_intfPipe != nullptr && g_intfOpen != 1)
        g_intfOpen = open_interface_pipe(g_intfPipe.get(), 0);
    if (g_InitMainSem != 1) {
        g_pMainSem.reset(create_semaphore(kMainSem));
        if (g_pMainSem != nullptr) {
            DbgLogMessage(LOG_LEVEL_DEBUG, fn_init_lib_pipe, LOG_DBG,
                          "Init semaphore successfully. name=%s, sem=0x%08X", kMainSem,
                          ptr_low32(g_pMainSem.get()));
            g_InitMainSem = 1;
        } else {
            DbgLogMessage(LOG_LEVEL_ERROR, fn_init_lib_pipe, LOG_ERRNO,
                          "Create main semaphore failed, errno:%d", errno);
        }
    }
    DbgLogMessage(LOG_LEVEL_TRACE, fn_init_lib_pipe, LOG_END, "Init FIFO pipe exit");
}

void close_lib_pipe() {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_close_lib_pipe, LOG_START, "Close FIFO pipe enter");
    g_intfPipe.reset(), g_intfOpen = 0;
    g_mainPipe.reset(), g_pipeOpen = 0;
    g_pMainSem.reset(), g_InitMainSem = 0;
    if (g_pIntfSem != nullptr) {
        g_pIntfSem.reset();
        std::memset(g_intfName, 0, sizeof g_intfName);
    }
    DbgLogMessage(LOG_LEVEL_TRACE, fn_close_lib_pipe, LOG_END, "Close FIFO pipe exit");
}

int send_pipe_command(int isMain, int size, int timeout) {
    interface_list* pipe = isMain != 0 ? g_mainPipe.get() : g_intfPipe.get();
    if (isMain != 0) {
        const int rc = lock_sem(g_pMainSem.get(), timeout);
        if (rc != VEM_SUCCESS) return rc;
    }
    int rc = VEM_ILLEGAL;
    int err = EBADF;
    ssize_t n = -1;
    DbgByteData(LOG_LEVEL_DUMP, fn_send_pipe_command, 1, g_write, size);
    if (pipe != nullptr && pipe->hClientSvr >= 0) n = write_request(pipe->hClientSvr, size, &err);
    if (n != size) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_send_pipe_command, LOG_ERRNO,
                      "write FIFO fail, size=%d, errno=%d", static_cast<int>(n), n < 0 ? err : 0);
    } else {
        std::memset(g_read, 0, sizeof g_read);
        g_readLen = 0;
        n = read_reply(pipe->hSvrClient, &err);
        if (n > 0)
            DbgByteData(LOG_LEVEL_DUMP, fn_send_pipe_command, 0, g_read, static_cast<int>(n));
        if (n >= static_cast<ssize_t>(VEM_RESULT_HEADER)) {
            g_readLen = static_cast<std::size_t>(n);
            rc = VEM_SUCCESS;
        } else {
            DbgLogMessage(LOG_LEVEL_ERROR, fn_send_pipe_command, LOG_ERRNO,
                          "read FIFO fail, size=%d, errno=%d", static_cast<int>(n),
                          n < 0 ? err : 0);
        }
    }
    if (isMain != 0) (void)unlock_sem(g_pMainSem.get());
    return rc;
}

// ---- Log settings --------------------------------------------------------------

void init_svr_LogLevel(int nLogLevel) {
    forward_log_setting(fn_init_svr_LogLevel, "Init svr log level enter",
                        "Init svr log level exit=%d", PROC_LOGLVL, wide(nLogLevel), nullptr);
}

void init_svr_LogFilename(const char* lpszFilename) {
    forward_log_setting(fn_init_svr_LogFilename, "Init svr log filename enter",
                        "Init svr log filename exit=%d", PROC_LOGFILE, 0, lpszFilename);
}

void init_svr_LogCount(int nCount) {
    forward_log_setting(fn_init_svr_LogCount, "Init svr log count enter",
                        "Init svr log count exit=%d", PROC_LOGCOUNT, wide(nCount), nullptr);
}

// ---- Opening and closing ---------------------------------------------------------

int init_svr_usb(int nVid, int nPid, const char* lpszSerialNo) {
    PortParams p;
    p.nVid = nVid, p.nPid = nPid;
    if (lpszSerialNo != nullptr) std::snprintf(p.szName, sizeof p.szName, "%s", lpszSerialNo);
    return open_port(fn_init_svr_usb, INTF_USB, p, "Open svr USB start", "Open svr USB exit=%d");
}

int init_svr_serial(const char* lpszPort, int nBaudrate, int nDataBit, int nParity, int nStopBit,
                    int nFlowControl) {
    PortParams p;
    p.nBaudrate = nBaudrate, p.nDataBit = nDataBit, p.nParity = nParity, p.nStopBit = nStopBit;
    p.nFlowControl = nFlowControl;
    std::snprintf(p.szName, sizeof p.szName, "%s", lpszPort);
    return open_port(fn_init_svr_serial, INTF_RS232, p, "Open svr serial start",
                     "Open svr serial exit=%d");
}

int init_svr_parallel(const char* lpszPort) {
    PortParams p;
    std::snprintf(p.szName, sizeof p.szName, "%s", lpszPort);
    return open_port(fn_init_svr_parallel, INTF_PARRALLEL, p, "Open svr PAR start",
                     "Open svr PAR exit=%d");
}

int init_svr_network(const char* lpszIp, int nTCP, int nUDP) {
    PortParams p;
    p.nTCP = nTCP, p.nUDP = nUDP;
    std::snprintf(p.szName, sizeof p.szName, "%s", lpszIp);
    return open_port(fn_init_svr_network, INTF_ETH, p, "Open svr ETH start",
                     "Open svr ETH exit=%d");
}

int init_svr_file(const char* lpszFilename, int nFormat) {
    PortParams p;
    p.nFormat = nFormat;
    std::snprintf(p.szName, sizeof p.szName, "%s", lpszFilename);
    return open_port(fn_init_svr_file, INTF_FILE, p, "Open svr file start",
                     "Open svr file exit=%d");
}

int init_svr_close() {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_init_svr_close, LOG_START, "Close svr interface enter");
    init_lib_pipe();
    // Only the main pipe carries the close: a port whose interface pipe
    // could not be opened must still be given back to the daemon.
    if (g_pipeOpen != 1) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_init_svr_close, LOG_ERRNO, "Pipe not init");
        return VEM_NOINIT;
    }
    std::unique_lock lock(cs_rw);
    begin_request(PROC_CLOSE, g_IntfIdx);
    int rc = send_pipe_command(1, static_cast<int>(VEM_CMD_HEADER), kCloseWaitMs);
    if (rc == VEM_SUCCESS)
        rc = mismatch(fn_init_svr_close, PROC_CLOSE) ? VEM_ILLEGAL : reply_result();
    if (rc == VEM_SUCCESS) {
        g_InterfaceType = INTF_NONE;
        close_lib_pipe();
    }
    lock.unlock();
    exit_line(fn_init_svr_close, "Close svr interface exit=%d", rc);
    return rc;
}

// ---- Lock --------------------------------------------------------------------------

int intf_svr_lock(unsigned long nTimeout) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_intf_svr_lock, LOG_START, "Svr Lock() start");
    const int rc =
        lock_sem(g_pIntfSem.get(), static_cast<int>(static_cast<std::uint32_t>(nTimeout)));
    exit_line(fn_intf_svr_lock, "Svr Lock() exit=%d", rc);
    return rc;
}

int intf_svr_unlock() {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_intf_svr_unlock, LOG_START, "Svr UnLock() start");
    const int rc = unlock_sem(g_pIntfSem.get());
    exit_line(fn_intf_svr_unlock, "Svr UnLock() exit=%d", rc);
    return rc;
}

// ---- Port requests -------------------------------------------------------------------

int intf_svr_reconnect() {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_init_svr_reconnect, LOG_START, "Svr reconnect start");
    if (int refused = port_request_refused(fn_init_svr_reconnect)) return refused;
    std::lock_guard lock(cs_rw);
    begin_request(PROC_RECONNECT, g_IntfIdx);
    const int rc =
        control_request(fn_init_svr_reconnect, static_cast<int>(VEM_CMD_HEADER), PROC_RECONNECT);
    exit_line(fn_init_svr_reconnect, "Svr reconnect exit=%d", rc);
    return rc;
}

int intf_svr_send_data(unsigned char* pBySendData, int nSendSize, unsigned long* pdwSize,
                       unsigned long dwTimeout) {
    constexpr unsigned int fn = fn_intf_svr_send_data;
    DbgLogMessage(LOG_LEVEL_TRACE, fn, LOG_START, "Svr send size:%d, timeout:%d", nSendSize,
                  static_cast<int>(dwTimeout));
    if (int refused = port_request_refused(fn)) return refused;
    std::lock_guard lock(cs_rw);
    if (nSendSize < 1) {
        exit_line(fn, "Svr send result:%d, size:%d", VEM_ILLEGAL, 0);
        return VEM_ILLEGAL;
    }
    long total = 0;
    int rc = VEM_SUCCESS;
    for (;;) {
        const long chunk = std::min<long>(nSendSize - total, VEM_PIPE_CHUNK);
        begin_request(PROC_SEND);
        put64(16, static_cast<std::uint64_t>(chunk));
        put64(32, dwTimeout);
        std::memcpy(g_write + VEM_CMD_HEADER, pBySendData + total, static_cast<std::size_t>(chunk));
        rc = send_pipe_command(0, static_cast<int>(chunk + VEM_CMD_HEADER),
                               static_cast<int>(dwTimeout));
        if (rc == VEM_SUCCESS && mismatch(fn, PROC_SEND)) rc = VEM_ILLEGAL;
        if (rc == VEM_SUCCESS && reply_result() != 0) {
            rc = reply_result();
            DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "result fail, result=%d", rc);
        }
        if (rc == VEM_SUCCESS && reply_size() > static_cast<std::uint64_t>(chunk)) {
            DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO,
                          "send size not correct, expect=%d, get=%d", static_cast<int>(chunk),
                          static_cast<int>(reply_size()));
            rc = VEM_ILLEGAL;
        }
        if (rc != VEM_SUCCESS) {
            exit_line(fn, "Svr send result:%d, size:%d", rc, 0);
            return rc;  // *pdwSize untouched
        }
        const long sent = static_cast<long>(reply_size());
        total += sent;
        if (sent != chunk || total >= nSendSize) break;
    }
    *pdwSize = static_cast<unsigned long>(total);
    if (total != nSendSize) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "send size not correct, expect=%d, get=%d",
                      nSendSize, static_cast<int>(total));
        rc = VEM_ILLEGAL;
    }
    exit_line(fn, "Svr send result:%d, size:%d", rc, *pdwSize);
    return rc;
}

int intf_svr_rcv_data(unsigned char* pByReceiveData, int nReceiveSize, unsigned long* pdwRecSize,
                      unsigned long dwTimeout) {
    constexpr unsigned int fn = fn_intf_svr_rcv_data;
    DbgLogMessage(LOG_LEVEL_TRACE, fn, LOG_START, "Svr Receive size:%d, timeout:%d", nReceiveSize,
                  static_cast<int>(dwTimeout));
    if (int refused = port_request_refused(fn)) return refused;
    std::lock_guard lock(cs_rw);
    long total = 0;
    int rc = nReceiveSize < 1 ? VEM_ILLEGAL : VEM_SUCCESS;
    while (rc == VEM_SUCCESS) {
        const long chunk = std::min<long>(nReceiveSize - total, VEM_PIPE_CHUNK);
        begin_request(PROC_READ);
        put64(24, static_cast<std::uint64_t>(chunk));
        put64(32, dwTimeout);
        rc = send_pipe_command(0, static_cast<int>(VEM_CMD_HEADER), static_cast<int>(dwTimeout));
        if (rc != VEM_SUCCESS) break;
        if (mismatch(fn, PROC_READ)) {
            rc = VEM_ILLEGAL;
            break;
        }
        const long got = checked_size(fn, chunk);
        if (got < 0) {
            rc = VEM_ILLEGAL;
            break;
        }
        std::memcpy(pByReceiveData + total, g_read + VEM_RESULT_HEADER,
                    static_cast<std::size_t>(got));
        total += got;
        if (reply_result() != 0) {
            rc = reply_result();
            DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "result fail, result=%d", rc);
            break;
        }
        if (got != chunk || total >= nReceiveSize) break;
    }
    *pdwRecSize = static_cast<unsigned long>(total);
    if (total != nReceiveSize) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "read size not correct, expect=%d, get=%d",
                      nReceiveSize, static_cast<int>(total));
        rc = VEM_ILLEGAL;
    }
    exit_line(fn, "Svr received result:%d, size:%d", rc, *pdwRecSize);
    return rc;
}

int intf_svr_send_rtc(unsigned char* pBySend, int nSend, unsigned char* pByRet, int nReturn,
                      unsigned long* pdwRead, unsigned long dwTimeout) {
    constexpr unsigned int fn = fn_intf_svr_send_rtc;
    DbgLogMessage(LOG_LEVEL_TRACE, fn, LOG_START,
                  "Svr Send RTS size:%d, Receive size:%d, timeout:%d", nSend, nReturn,
                  static_cast<int>(dwTimeout));
    if (int refused = port_request_refused(fn)) return refused;
    std::lock_guard lock(cs_rw);
    const auto finish = [&](int rc, long total) {
        if (pdwRead != nullptr) *pdwRead = static_cast<unsigned long>(total);
        exit_line(fn, "Svr RTS received result:%d, size:%d", rc, static_cast<unsigned long>(total));
        return rc;
    };
    // The command goes in one request; it must fit the daemon's limit.
    if (nSend < 0 || nSend > VEM_PIPE_CHUNK) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "Invalid parameter (SendSize:%d)", nSend);
        return finish(VEM_ILLEGAL, 0);
    }
    const auto short_read = [&](int rc, long total) {
        if (total == nReturn || nReturn <= 0) return finish(rc, total);
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "read size not correct, expect=%d, get=%d",
                      nReturn, static_cast<int>(total));
        return finish(VEM_ILLEGAL, total);
    };
    long total = 0;
    long asked = std::min<long>(std::max(nReturn, 0), VEM_PIPE_CHUNK);
    begin_request(PROC_RW_RTS);
    put64(16, static_cast<std::uint64_t>(nSend));
    put64(24, static_cast<std::uint64_t>(asked));
    put64(32, dwTimeout);
    std::memcpy(g_write + VEM_CMD_HEADER, pBySend, static_cast<std::size_t>(nSend));
    int len = static_cast<int>(VEM_CMD_HEADER) + nSend;
    for (;;) {
        int rc = send_pipe_command(0, len, static_cast<int>(dwTimeout));
        if (rc == VEM_SUCCESS && mismatch(fn, PROC_RW_RTS)) rc = VEM_ILLEGAL;
        if (rc != VEM_SUCCESS) return short_read(rc, total);
        if (nReturn <= 0) return finish(reply_result(), 0);
        const long got = checked_size(fn, asked);
        if (got < 0) return short_read(VEM_ILLEGAL, total);
        std::memcpy(pByRet + total, g_read + VEM_RESULT_HEADER, static_cast<std::size_t>(got));
        total += got;
        if (got != asked) return short_read(VEM_SUCCESS, total);
        if (reply_result() != 0) {
            DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "result fail, result=%d", reply_result());
            return short_read(reply_result(), total);
        }
        if (total >= nReturn) return finish(VEM_SUCCESS, total);
        asked = std::min<long>(nReturn - total, VEM_PIPE_CHUNK);
        begin_request(PROC_RW_RTS);
        put64(24, static_cast<std::uint64_t>(asked));
        put64(32, dwTimeout);
        len = static_cast<int>(VEM_CMD_HEADER);
    }
}
