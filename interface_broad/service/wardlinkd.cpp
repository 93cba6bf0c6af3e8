// wardlinkd - the port-sharing daemon.
//
// Owns printer ports on behalf of client processes.  A client asks on the
// main FIFO pair (/tmp/cmn_intf_to_svr, /tmp/cmn_svr_to_intf) to open a
// port; the daemon opens it with the port driver in one of 50 slots, makes
// an interface FIFO pair for it and starts one worker thread that serves
// the port's data requests (VEMWorker.cpp).  Clients of the same port share
// the slot; the worker stops when the last one closes.  The main pipe also
// carries the daemon's log settings and reconnect requests.  SIGTERM stops
// every worker, removes every FIFO file and exits with status 0.
//
// No arguments.  Exit status 0 after the orderly stop (and in the parents
// of the daemonising forks), 1 when a fork fails or the main pair cannot be
// made.
#include <fcntl.h>
#include <libusb.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "VEMETH.h"
#include "VEMService.h"

namespace {

constexpr int kSlots = PORT_SLOT_MAX;
constexpr char kName[] = "wardlinkd";

struct ListFree {
    void operator()(interface_list* p) const noexcept { free_mem(reinterpret_cast<void**>(&p)); }
};
using ListPtr = std::unique_ptr<interface_list, ListFree>;

// ---- Process state ----
// Slot table (a slot is in use while it has a pipe record).  Written only by
// the main thread; a worker reads its own slot through the accessors.
ListPtr g_lsInterface[kSlots];     // the slot's interface pipe record
int g_countOpen[kSlots];           // clients that opened the slot's port, under g_csMutex
int g_needReconnect[kSlots];       // reconnect asked, not yet done, under g_csConnMutex
std::mutex g_csMutex[kSlots];      // guards g_countOpen[i]
std::mutex g_csConnMutex[kSlots];  // guards g_needReconnect[i]
pthread_t g_ThreadIntf[kSlots];    // the slot's worker

ListPtr g_MainPipe;                                // server record of the main pipe
int g_bOpen = 0;                                   // 1 once the main pipe is open
alignas(8) unsigned char g_Read[INTF_BUF_SIZE];    // request on the main pipe
alignas(8) unsigned char g_Write[INTF_BUF_SIZE];   // reply on the main pipe
int g_bInitLib = 0;                                // 1 once libusb is initialised

}  // namespace

std::atomic<int> g_bStop{0};  // set by SIGTERM; read by every loop

namespace {

// Self-pipe: the signal handler writes the signal's number; the main thread
// wakes from its poll and does the work.
int g_wakeFd[2] = {-1, -1};
static_assert(std::atomic<int>::is_always_lock_free);

// How long the stop waits, for all workers together, for those still busy
// in a port operation before it gives up on them (the process ends anyway).
constexpr int kStopJoinSeconds = 3;
struct timespec g_stopDeadline {};  // set when the stop begins
bool g_bAbandoned = false;          // a worker outlived the grace period

void notice(const char* text) {
    syslog(LOG_NOTICE, "%s", text);
    DbgLogMessage(LOG_LEVEL_WARN, fn_main, LOG_WARN, "%s", text);
}

bool valid_idx(int idx, unsigned int fn) {
    if (idx >= 0 && idx < kSlots) return true;
    DbgLogMessage(LOG_LEVEL_WARN, fn, LOG_WARN, "Invalid(0-%d) idx=%d", kSlots, idx);
    return false;
}

// Index of a 64-bit request field as the log lines print it.
int idx_of(std::uint64_t v) { return static_cast<int>(static_cast<std::uint32_t>(v)); }

// ---- Signals ----

void signal_handler(int sig) {
    const int saved = errno;
    if (sig == SIGTERM) g_bStop = 1;
    const unsigned char b = static_cast<unsigned char>(sig);
    if (g_wakeFd[1] >= 0) (void)!::write(g_wakeFd[1], &b, 1);
    errno = saved;
}

// The work of the signals that arrived, on the main thread.
void take_signals() {
    unsigned char sigs[16];
    ssize_t n;
    while ((n = ::read(g_wakeFd[0], sigs, sizeof sigs)) > 0) {
        for (ssize_t i = 0; i < n; ++i) {
            DbgLogMessage(LOG_LEVEL_TRACE, fn_signal_handler, LOG_START,
                          "Receive service handler signal=%d", sigs[i]);
            if (sigs[i] == SIGHUP) {
                DbgLogMessage(LOG_LEVEL_WARN, fn_signal_handler, LOG_WARN, "Hangup signal catched");
            } else if (sigs[i] == SIGTERM) {
                DbgLogMessage(LOG_LEVEL_WARN, fn_signal_handler, LOG_WARN,
                              "Terminate signal catched");
                g_bStop = 1;
            }
        }
    }
}

void install_signals() {
    if (::pipe2(g_wakeFd, O_CLOEXEC | O_NONBLOCK) != 0) g_wakeFd[0] = g_wakeFd[1] = -1;
    for (int sig : {SIGCHLD, SIGTSTP, SIGTTOU, SIGTTIN}) std::signal(sig, SIG_IGN);
    // A client that goes away must never kill the daemon through a write.
    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction sa {};
    sa.sa_handler = signal_handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGHUP, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
}

// ---- Start-up ----

void create_daemon() {
    // Under systemd, in a container, or as the first process of a PID
    // namespace there is nothing to detach from (and a namespace's first
    // process must not exit): no forks, but the same handlers and identity.
    if (::getppid() <= 1 || ::getpid() == 1) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_create_daemon, LOG_ERRNO, "already daemon");
        install_signals();
    } else {
        std::fflush(nullptr);
        pid_t pid = ::fork();
        if (pid < 0) {
            DbgLogMessage(LOG_LEVEL_ERROR, fn_create_daemon, LOG_ERRNO,
                          "fork error (pid=%d, errno=%d)", pid, errno);
            std::exit(1);
        }
        if (pid > 0) {
            DbgLogMessage(LOG_LEVEL_ERROR, fn_create_daemon, LOG_ERRNO, "parent exist (pid=%d)",
                          pid);
            std::exit(0);
        }
        if (::setsid() < 0) {
            DbgLogMessage(LOG_LEVEL_ERROR, fn_create_daemon, LOG_ERRNO,
                          "setsid error (pid=%d, errno=%d)", ::getpid(), errno);
        }
        std::fflush(nullptr);
        pid = ::fork();
        if (pid < 0) std::exit(1);
        if (pid > 0) std::exit(0);
        ::umask(0);
        (void)!::chdir("/");
        // Every inherited descriptor goes.  The standard ones are reopened
        // on /dev/null: otherwise the first FIFO or port opened later would
        // take number 1 and receive whatever is written to standard output.
        ::close_range(0, ~0U, 0);
        const int null = ::open("/dev/null", O_RDWR);
        if (null >= 0) {
            for (int fd = 0; fd <= 2; ++fd) {
                if (fd != null) ::dup2(null, fd);
            }
            if (null > 2) ::close(null);
        }
        install_signals();
    }
    DbgLogMessage(LOG_LEVEL_WARN, fn_create_daemon, LOG_WARN, "Run service %s, pid=%d", kName,
                  ::getpid());
    openlog(kName, LOG_PID, LOG_DAEMON);
}

void init_service() {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_init_service, LOG_START, "Init interface service Start");
    g_MainPipe.reset(create_interface_pipe(nullptr, 1));
    if (!g_MainPipe) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_init_service, LOG_ERRNO, "Create main FIFO fail");
        std::exit(1);
    }
    DbgLogMessage(LOG_LEVEL_TRACE, fn_init_service, LOG_END, "Init interface service Exit success");
}

// ---- Slots ----

void close_pipe(int idx) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_close_pipe, LOG_START, "Close svr PIPE Start=%d", idx);
    close_interface_pipe(g_lsInterface[idx].get(), 1);
    g_lsInterface[idx].reset();
    DbgLogMessage(LOG_LEVEL_TRACE, fn_close_pipe, LOG_END, "Close svr PIPE exit");
}

// Stops a slot's worker and frees the slot.  Returns 1, or 0 when the slot
// stays in use.
int release_pipe_interface(int idx) {
    if (!valid_idx(idx, fn_release_pipe_interface) || !g_lsInterface[idx]) return 0;
    LPINTF_LIST p = g_lsInterface[idx].get();
    // The exit byte goes through the daemon's own write end of the FIFO:
    // no name is opened, and it works even before any client came.
    const unsigned char zero = 0;
    const ssize_t w = ::write(p->hKeepAlive, &zero, 1);
    DbgLogMessage(LOG_LEVEL_DEBUG, fn_release_pipe_interface, LOG_DBG,
                  "Send exit signal, name=%s, id=%d, size=%d, errno=%d", p->szCSName, idx,
                  static_cast<int>(w), w < 0 ? errno : 0);
    void* ret = nullptr;
    int err;
    if (g_bStop != 0) {
        // Stopping: a worker stuck in a long port operation must not hold
        // the daemon up for ever.
        err = ::pthread_timedjoin_np(g_ThreadIntf[idx], &ret, &g_stopDeadline);
    } else {
        err = ::pthread_join(g_ThreadIntf[idx], &ret);
    }
    if (err != 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_release_pipe_interface, LOG_ERRNO,
                      "pthread_join fail, errno=%d", err);
        // The worker still uses its records: only the FIFO files go.
        g_bAbandoned = true;
        ::unlink(p->szSCName);
        ::unlink(p->szCSName);
        (void)g_lsInterface[idx].release();
        return 0;
    }
    DbgLogMessage(LOG_LEVEL_DEBUG, fn_release_pipe_interface, LOG_DBG, "Thread(%d) end", idx);
    std::unique_ptr<WorkerArg> done(static_cast<WorkerArg*>(ret));
    close_pipe(idx);
    return 1;
}

// How each open request is laid out and served.
struct OpenKind {
    std::uint64_t code;
    unsigned int kind;
    std::size_t strOff;  // where the name begins
    bool emptyOk;        // an empty name is allowed (USB: no serial number)
    const char* allocFail;
};
constexpr OpenKind kOpenKinds[] = {
    {PROC_INIT_USB, INTF_USB, INTF_USB_STR_OFF, true, "arg(usb) alloc out of memory"},
    {PROC_INIT_SERIAL, INTF_RS232, INTF_SERIAL_STR_OFF, false, "arg(serial) alloc out of memory"},
    {PROC_INIT_PARALLEL, INTF_PARRALLEL, INTF_PAR_STR_OFF, false,
     "arg(parallel) alloc out of memory"},
    {PROC_INIT_NETWORK, INTF_ETH, INTF_ETH_STR_OFF, false, "arg(eth) alloc out of memory"},
    {PROC_INIT_FILE, INTF_FILE, INTF_FILE_STR_OFF, false, "arg(file) alloc out of memory"},
};

// Reads the open request in g_Read (n bytes) into p and the pipe suffix.
// The name must end within the bytes read and fit the 300-byte fields.
int parse_open(const OpenKind& k, long n, PortParams& p, char (&suffix)[INTF_PATH_SIZE]) {
    const unsigned char* b = g_Read;
    if (n <= static_cast<long>(k.strOff)) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_init_interface_thread, LOG_ERRNO,
                      "Open request too short, size=%ld", n);
        return VEM_ILLEGAL;
    }
    const auto* name = reinterpret_cast<const char*>(b + k.strOff);
    const std::size_t room = static_cast<std::size_t>(n) - k.strOff;
    const std::size_t len = ::strnlen(name, room);
    if (len == room) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_init_interface_thread, LOG_ERRNO,
                      "Open request name not terminated, size=%ld", n);
        return VEM_ILLEGAL;
    }
    if (len == 0 && !k.emptyOk) return VEM_ILLEGAL;
    const unsigned char* parm = b + INTF_CMD_SIZE;
    auto u32 = [parm](int i) { return static_cast<int>(get_le32(parm + 4 * i)); };
    int s = 0;
    switch (k.kind) {
        case INTF_USB:
            p.nVid = u32(0), p.nPid = u32(1);
            s = std::snprintf(suffix, sizeof suffix, "%04X%04X%s", static_cast<unsigned>(p.nVid),
                              static_cast<unsigned>(p.nPid), name);
            break;
        case INTF_RS232:
            p.nBaudrate = u32(0), p.nDataBit = u32(1), p.nParity = u32(2), p.nStopBit = u32(3);
            p.nFlowControl = u32(4);
            break;
        case INTF_ETH: p.nTCP = u32(0), p.nUDP = u32(1); break;
        case INTF_FILE: p.nFormat = u32(0); break;
        default: break;
    }
    if (k.kind != INTF_USB) s = std::snprintf(suffix, sizeof suffix, "%s", name);
    if (len >= sizeof p.szName || s < 0 || static_cast<std::size_t>(s) > INTF_SUFFIX_MAX) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_init_interface_thread, LOG_ERRNO,
                      "Port name too long (%zu)", len);
        return VEM_ILLEGAL;
    }
    std::memcpy(p.szName, name, len + 1);
    return VEM_SUCCESS;
}

// Open request (codes 0-4) in g_Read, n bytes: the slot index or a code.
int init_interface_thread(long n) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_init_interface_thread, LOG_START,
                  "Init interface thread Start");
    const std::uint64_t code = get_le64(g_Read);
    const OpenKind* k = nullptr;
    for (const OpenKind& o : kOpenKinds) {
        if (o.code == code) k = &o;
    }
    if (k == nullptr) return VEM_ILLEGAL;

    PortParams params;
    char suffix[INTF_PATH_SIZE] = {};
    if (int r = parse_open(*k, n, params, suffix); r != VEM_SUCCESS) return r;

    // A port already served in another slot is shared, never opened twice:
    // the same pipe paths mean the same port.
    ListPtr names(create_interface_pipe(suffix, 0));
    if (!names) return VEM_ILLEGAL;
    for (int i = 0; i < kSlots; ++i) {
        const interface_list* other = g_lsInterface[i].get();
        if (other != nullptr && std::strcmp(other->szSCName, names->szSCName) == 0 &&
            std::strcmp(other->szCSName, names->szCSName) == 0) {
            DbgLogMessage(LOG_LEVEL_DEBUG, fn_init_interface_thread, LOG_DBG,
                          "Interface open before, use opened=%d", i);
            std::lock_guard lock(g_csMutex[i]);
            ++g_countOpen[i];
            return i;
        }
    }

    // Sharing a port needs no slot of its own.
    int idx = 0;
    while (idx < kSlots && g_lsInterface[idx]) ++idx;
    if (idx == kSlots) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_init_interface_thread, LOG_ERRNO,
                      "Interface buffer full");
        return VEM_ILLEGAL;
    }

    const PortOps* ops = port_ops(k->kind);
    if (ops == nullptr) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_init_interface_thread, LOG_ERRNO,
                      "No driver for port type %u", k->kind);
        return VEM_NO_SUPPORT;
    }
    const int opened = ops->open(idx, params);
    if (opened != VEM_SUCCESS) return opened;

    // From here on every failure closes the port again for the next open.
    auto give_up = [&](int result) {
        if (g_lsInterface[idx]) close_pipe(idx);
        ops->close(idx);
        return result;
    };
    std::unique_ptr<WorkerArg> arg;
    try {
        arg = std::make_unique<WorkerArg>();
    } catch (const std::bad_alloc&) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_init_interface_thread, LOG_ERRNO, "%s", k->allocFail);
        return give_up(VEM_ILLEGAL);
    }
    arg->nIdx = idx;
    arg->kind = k->kind;
    arg->params = params;
    arg->bConnected = 1;

    // The daemon holds the pair open from the start, so a client's opens
    // complete at once and a stop never waits for a client that never came.
    g_lsInterface[idx].reset(create_interface_pipe(suffix, 1));
    if (!g_lsInterface[idx] || open_interface_pipe(g_lsInterface[idx].get(), 1) != 1) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_init_interface_thread, LOG_ERRNO,
                      "Open Interface FIFO fail");
        return give_up(VEM_ILLEGAL);
    }
    arg->pPipe = g_lsInterface[idx].get();

    g_countOpen[idx] = 1;
    g_needReconnect[idx] = 0;
    // Workers leave the stop signals to the main thread.
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGHUP);
    ::pthread_sigmask(SIG_BLOCK, &block, &old);
    const int err = ::pthread_create(&g_ThreadIntf[idx], nullptr, worker_thread_of(k->kind),
                                     arg.get());
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (err != 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_init_interface_thread, LOG_ERRNO,
                      "pthread_create fail, errno=%d", err);
        g_countOpen[idx] = 0;
        return give_up(VEM_ILLEGAL);
    }
    (void)arg.release();  // the worker's now; it comes back from the join
    DbgLogMessage(LOG_LEVEL_DEBUG, fn_init_interface_thread, LOG_END,
                  "Init interface Thread(%d) success", idx);
    return idx;
}

// PROC_CLOSE: 0, or VEM_NOINIT for a slot not in use (or no slot at all).
int close_interface_thread(std::uint64_t dwIdx) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_close_interface_thread, LOG_START,
                  "Close interface thread Start");
    if (dwIdx >= static_cast<std::uint64_t>(kSlots) || !g_lsInterface[dwIdx]) {
        DbgLogMessage(LOG_LEVEL_TRACE, fn_close_interface_thread, LOG_END, "idx=%d not init",
                      idx_of(dwIdx));
        return VEM_NOINIT;
    }
    const int idx = static_cast<int>(dwIdx);
    int count;
    {
        std::lock_guard lock(g_csMutex[idx]);
        count = --g_countOpen[idx];
    }
    DbgLogMessage(LOG_LEVEL_DEBUG, fn_close_interface_thread, LOG_DBG, "count=%d", count);
    if (count < 1) release_pipe_interface(idx);
    DbgLogMessage(LOG_LEVEL_TRACE, fn_close_interface_thread, LOG_END,
                  "Close interface thread exit=%d", 0);
    return 0;
}

// One request on the main pipe, n >= 40 bytes in g_Read: its reply's dwResult.
int handle_control(long n) {
    const interface_command c = load_command(g_Read);
    char line[INTF_BUF_SIZE + 64];
    switch (c.dwProcess) {
        case PROC_INIT_USB:
        case PROC_INIT_SERIAL:
        case PROC_INIT_PARALLEL:
        case PROC_INIT_NETWORK:
        case PROC_INIT_FILE:
            DbgLogMessage(LOG_LEVEL_DEBUG, fn_main, LOG_DBG, "Init Command=%d",
                          idx_of(c.dwProcess));
            return init_interface_thread(n);
        case PROC_CLOSE:
            DbgLogMessage(LOG_LEVEL_DEBUG, fn_main, LOG_DBG, "Close Command for idx=%d",
                          idx_of(c.dwIdx));
            return close_interface_thread(c.dwIdx);
        case PROC_LOGLVL: {
            const int r = SetLogLevel(static_cast<std::uint32_t>(c.dwIdx));
            DbgLogMessage(LOG_LEVEL_DEBUG, fn_main, LOG_DBG, "SetLogLevel=%d", idx_of(c.dwIdx));
            syslog(LOG_NOTICE, "Common Interface Service log level=%d", idx_of(c.dwIdx));
            return r;
        }
        case PROC_LOGFILE: {
            // The name ends within the bytes that arrived; absent means empty.
            const auto* name = reinterpret_cast<const char*>(g_Read + INTF_CMD_SIZE);
            const std::size_t room = static_cast<std::size_t>(n) - INTF_CMD_SIZE;
            if (room > 0 && ::strnlen(name, room) == room) {
                DbgLogMessage(LOG_LEVEL_ERROR, fn_main, LOG_ERRNO,
                              "Log file name not terminated, size=%ld", n);
                return 0;
            }
            if (room == 0 || name[0] == '\0') {
                CancelLogFile();
                DbgLogMessage(LOG_LEVEL_DEBUG, fn_main, LOG_DBG, "SetLogFilename : cancel log file");
                syslog(LOG_NOTICE, "Common Interface Service cancel log file");
                return 1;
            }
            const int r = SetLogFilename(name);
            DbgLogMessage(LOG_LEVEL_DEBUG, fn_main, LOG_DBG, "SetLogFilename=%s", name);
            std::snprintf(line, sizeof line, "Common Interface Service log filename=%s", name);
            syslog(LOG_NOTICE, "%s", line);
            return r;
        }
        case PROC_LOGCOUNT:
            SetLogFileCount(static_cast<std::uint32_t>(c.dwIdx));
            DbgLogMessage(LOG_LEVEL_DEBUG, fn_main, LOG_DBG, "SetLogFileCount=%d",
                          idx_of(c.dwIdx));
            syslog(LOG_NOTICE, "Common Interface Service log count=%d", idx_of(c.dwIdx));
            return 1;
        case PROC_RECONNECT:
            set_reconnect_flag(c.dwIdx <= 0x7FFFFFFF ? static_cast<int>(c.dwIdx) : -1, 1);
            DbgLogMessage(LOG_LEVEL_DEBUG, fn_main, LOG_DBG, "Set reconnect=%d", idx_of(c.dwIdx));
            return 1;
        default:
            DbgLogMessage(LOG_LEVEL_WARN, fn_main, LOG_WARN,
                          "Only accept initialize/close/log command, command=%d",
                          idx_of(c.dwProcess));
            return VEM_ILLEGAL;
    }
}

// Waits for a request or a signal; reads and answers one request.
void control_pass() {
    if (g_bOpen == 0) {
        g_bOpen = open_interface_pipe(g_MainPipe.get(), 1);
        DbgLogMessage(LOG_LEVEL_DEBUG, fn_main, LOG_DBG, "client connected");
    }
    pollfd pfd[2] = {{g_wakeFd[0], POLLIN, 0}, {g_bOpen ? g_MainPipe->hClientSvr : -1, POLLIN, 0}};
    // A main pipe that could not be opened is tried again a second later.
    if (::poll(pfd, 2, g_bOpen ? -1 : 1000) <= 0) return;
    if (pfd[0].revents != 0) take_signals();
    if (g_bStop != 0 || pfd[1].revents == 0) return;

    const ssize_t n = ::read(g_MainPipe->hClientSvr, g_Read, sizeof g_Read);
    const int err = errno;
    if (n == 0 || (n < 0 && err == EINTR)) return;
    if (n < static_cast<ssize_t>(INTF_CMD_SIZE)) {
        DbgLogMessage(LOG_LEVEL_WARN, fn_main, LOG_WARN, "Read failure, size=%d, errno=%d",
                      static_cast<int>(n), n < 0 ? err : 0);
        std::memset(g_Read, 0, sizeof g_Read);
        if (n < 0) ::usleep(100 * 1000);  // a failing pipe must not spin
        return;
    }
    DbgByteData(LOG_LEVEL_DUMP, fn_main, 0, g_Read, static_cast<int>(n));
    const std::uint64_t code = get_le64(g_Read);
    const int result = handle_control(static_cast<long>(n));
    DbgLogMessage(LOG_LEVEL_DEBUG, fn_main, LOG_DBG, "Command(%d) complete, result=%d",
                  idx_of(code), result);
    store_result(g_Write, {code, 0, result_field(result), 0});
    write_reply(g_MainPipe->hSvrClient, g_Write, static_cast<long>(INTF_RESULT_SIZE), fn_main);
    std::memset(g_Read, 0, sizeof g_Read);
    std::memset(g_Write, 0, sizeof g_Write);
}

void close_interface() {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_close_interface, LOG_START, "Close interface Start");
    ::clock_gettime(CLOCK_REALTIME, &g_stopDeadline);
    g_stopDeadline.tv_sec += kStopJoinSeconds;
    for (int i = 0; i < kSlots; ++i) {
        if (g_lsInterface[i]) release_pipe_interface(i);
    }
    close_interface_pipe(g_MainPipe.get(), 1);
    g_MainPipe.reset();
    DbgLogMessage(LOG_LEVEL_TRACE, fn_close_interface, LOG_END, "Close interface Exit success");
}

void exit_service() {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_exit_service, LOG_START, "Exit service Start");
    stop_TCP_monitoring();
    close_interface();
    notice("Common Interface Service stop");
    closelog();
}

}  // namespace

// ---- Slot accessors ----

int get_open_count(int idx) {
    if (!valid_idx(idx, fn_get_open_count)) return 0;
    std::lock_guard lock(g_csMutex[idx]);
    return g_countOpen[idx];
}

int get_reconnect_flag(int idx) {
    if (!valid_idx(idx, fn_reconnect_intf)) return 0;
    std::lock_guard lock(g_csConnMutex[idx]);
    return g_needReconnect[idx];
}

void set_reconnect_flag(int idx, int flag) {
    if (!valid_idx(idx, fn_clear_reconnect)) return;
    std::lock_guard lock(g_csConnMutex[idx]);
    g_needReconnect[idx] = flag;
}

int main() {
    // Detach (unless already a service's child) and take the signals.
    create_daemon();
    notice("Common Interface Service start");

    // The main FIFO pair; without it no client can reach us.
    init_service();

    // Every driver slot starts empty; USB needs its library.
    init_intf_buf();
    if (const int r = libusb_init(nullptr); r < 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_main, LOG_ERRNO,
                      "libusb_init error:%d. Make sure libusb library installed", r);
    } else {
        g_bInitLib = 1;
    }

    // Serve the main pipe until SIGTERM.
    while (g_bStop == 0 && g_MainPipe) control_pass();

    // Stop every worker, remove every FIFO file.
    exit_service();
    if (g_bAbandoned) {
        // A worker is still inside a driver call: the drivers' state and
        // libusb must not be torn down under it.
        std::fflush(nullptr);
        _exit(0);
    }
    if (g_bInitLib != 0) libusb_exit(nullptr);
    return 0;
}
