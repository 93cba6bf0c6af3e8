// VEMWorker.cpp - the per-port worker of wardlinkd.
//
// One worker thread per open port serves the requests of every client of
// that port on the port's interface pipe: it reads one request, checks that
// somebody holds the port lock, calls the driver under the slot's index and
// writes one reply.  It reopens the port when a client asked for a
// reconnect or when the driver reports the device gone (VEM_NODEVICE).
// The five kinds of port differ only in their row of port_ops() and in the
// function numbers their log lines carry (kWorkers below).
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "VEMService.h"

namespace {

// What tells the workers of the kinds apart besides their driver row.
struct WorkerKind {
    unsigned int kind;
    const char* label;  // in "reconnect_%s fail=%d"
    unsigned int fnWorker, fnRts, fnSend, fnRead;
    bool bExitCount;  // the exit-signal line also gives the open count
    int (*send)(WorkerArg*, LPINTF_CMD);
    int (*read)(WorkerArg*, LPINTF_CMD);
    int (*rts)(WorkerArg*, LPINTF_CMD);
};
constexpr WorkerKind kWorkers[] = {
    {INTF_USB, "usb", fn_thread_usb, fn_usb_rts, fn_usb_send, fn_usb_read, false, usb_send,
     usb_read, usb_rts},
    {INTF_RS232, "serial", fn_thread_rs232, fn_rs232_rts, fn_rs232_send, fn_rs232_read, false,
     rs232_send, rs232_read, rs232_rts},
    {INTF_PARRALLEL, "pra", fn_thread_parallel, fn_par_rts, fn_par_send, fn_par_read, true,
     par_send, par_read, par_rts},
    {INTF_ETH, "eth", fn_thread_network, fn_eth_rts, fn_eth_send, fn_eth_read, true, eth_send,
     eth_read, eth_rts},
    {INTF_FILE, "file", fn_thread_file, fn_file_rts, fn_file_send, fn_file_read, true, file_send,
     file_read, file_rts},
};

const WorkerKind* worker_kind(unsigned int kind) {
    for (const WorkerKind& w : kWorkers) {
        if (w.kind == kind) return &w;
    }
    return nullptr;
}

// The tests every data request passes before the driver sees it.  fn is
// the handler's function number.  Returns VEM_SUCCESS or the refusal.
int admit(const WorkerArg* a, const PortOps& ops, const interface_command& c, unsigned int fn,
          bool bSend, bool bRead) {
    if (islock_sem(ops.semaphore(a->nIdx)) != VEM_ALREADY_LOCK) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "didn't lock before use");
        return VEM_NOLOCK;
    }
    const bool sendTooBig = bSend && c.dwSend > INTF_DATA_MAX;
    const bool readTooBig = bRead && c.dwRead > INTF_DATA_MAX;
    if (sendTooBig || readTooBig) {
        const char* what = bSend && bRead ? "send/read" : bSend ? "send" : "read";
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "%s size not more than %d", what, 1024);
        return VEM_ILLEGAL;
    }
    // The data must have arrived: a request that promises more bytes than
    // it carries is refused rather than padded with bytes nobody sent.
    const long have = a->nRead - static_cast<long>(INTF_CMD_SIZE);
    if (bSend && static_cast<long>(c.dwSend) > have) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "short request: %ld of %ld data bytes",
                      have, static_cast<long>(c.dwSend));
        return VEM_ILLEGAL;
    }
    return VEM_SUCCESS;
}

// One PROC_SEND, PROC_READ or PROC_RW_RTS for the worker of `kind`.
enum class Op { Send, Read, Rts };

int handle(unsigned int kind, Op op, WorkerArg* a, LPINTF_CMD pCmd) {
    const WorkerKind* w = worker_kind(kind);
    const PortOps* ops = port_ops(kind);
    if (a == nullptr || pCmd == nullptr || w == nullptr || ops == nullptr) return VEM_ILLEGAL;
    const interface_command& c = *pCmd;
    const unsigned int fn = op == Op::Send ? w->fnSend : op == Op::Read ? w->fnRead : w->fnRts;
    int r = admit(a, *ops, c, fn, op != Op::Read, op != Op::Send);
    if (r != VEM_SUCCESS) return r;

    unsigned char* payload = a->byRequest + INTF_CMD_SIZE;
    unsigned char* data = a->byReply + INTF_RESULT_SIZE;
    const int nSend = static_cast<int>(c.dwSend), nRead = static_cast<int>(c.dwRead);
    const auto tmo = static_cast<unsigned long>(c.dwTimeout);
    switch (op) {
        case Op::Send: return ops->send(a->nIdx, payload, nSend, &a->dwSize, tmo);
        case Op::Read: return ops->receive(a->nIdx, data, nRead, &a->dwSize, tmo);
        case Op::Rts: break;
    }
    if (ops->rts != nullptr) return ops->rts(a->nIdx, payload, nSend, data, nRead, &a->dwSize, tmo);
    // No native exchange: send, then read what the printer answers.
    unsigned long sent = 0;
    r = VEM_SUCCESS;
    if (nSend != 0) r = ops->send(a->nIdx, payload, nSend, &sent, tmo);
    if (r == VEM_SUCCESS && sent == static_cast<unsigned long>(nSend) && nRead != 0) {
        r = ops->receive(a->nIdx, data, nRead, &a->dwSize, tmo);
    }
    return r;
}

// Sleeps about ms milliseconds, less when the worker is told to end.
void pause_unless_ending(int idx, int ms) {
    for (int waited = 0; waited < ms && g_bStop == 0 && get_open_count(idx) >= 1; waited += 100) {
        ::usleep(100 * 1000);
    }
}

// Serves the request in a->byRequest (n bytes, err the read's errno) and
// writes its reply.
void serve(const WorkerKind& w, const PortOps& ops, WorkerArg* a, long n, int err) {
    DbgByteData(LOG_LEVEL_DUMP, w.fnWorker, 0, a->byRequest, static_cast<int>(n > 0 ? n : 0));
    const std::uint64_t dwProcess = get_le64(a->byRequest);
    a->nRead = n;
    a->dwSize = 0;
    int result = VEM_ILLEGAL;
    if (n < static_cast<long>(INTF_CMD_SIZE)) {
        DbgLogMessage(LOG_LEVEL_WARN, w.fnWorker, LOG_WARN, "Read failure, size=%ld, errno=%d", n,
                      n < 0 ? err : 0);
    } else {
        interface_command c = load_command(a->byRequest);
        switch (c.dwProcess) {
            case PROC_LOCK:
                result = lock_sem(ops.semaphore(a->nIdx),
                                  static_cast<int>(static_cast<std::uint32_t>(c.dwTimeout)));
                break;
            case PROC_UNLOCK: result = unlock_sem(ops.semaphore(a->nIdx)); break;
            case PROC_SEND: result = w.send(a, &c); break;
            case PROC_READ: result = w.read(a, &c); break;
            case PROC_RW_RTS: result = w.rts(a, &c); break;
            default: break;
        }
    }
    if (result == VEM_NODEVICE) {
        ops.park(a->nIdx);
        a->bConnected = 0;
    }
    // Data follows the header only for reads, and never more than was asked
    // for or fits the buffer, whatever a driver reports.
    long len = static_cast<long>(INTF_RESULT_SIZE);
    if (dwProcess == PROC_READ || dwProcess == PROC_RW_RTS) {
        if (a->dwSize > INTF_DATA_MAX) a->dwSize = INTF_DATA_MAX;
        len += static_cast<long>(a->dwSize);
    }
    store_result(a->byReply, {dwProcess, 0, result_field(result), a->dwSize});
    DbgByteData(LOG_LEVEL_DUMP, w.fnWorker, 1, a->byReply, static_cast<int>(len));
    const long wrote = write_reply(a->pPipe->hSvrClient, a->byReply, len, w.fnWorker);
    DbgLogMessage(LOG_LEVEL_TRACE, w.fnWorker, LOG_TRACE, "interface cmd write size=%ld", wrote);
}

void* run_worker(unsigned int kind, void* pArg) {
    const WorkerKind* w = worker_kind(kind);
    const PortOps* ops = port_ops(kind);
    const unsigned int fn = w != nullptr ? w->fnWorker : static_cast<unsigned int>(fn_unknown);
    DbgLogMessage(LOG_LEVEL_WARN, fn, LOG_WARN, "Start thread");
    auto* a = static_cast<WorkerArg*>(pArg);
    if (a == nullptr || w == nullptr || ops == nullptr || a->pPipe == nullptr) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "Null argument");
        return pArg;
    }
    const int idx = a->nIdx;
    LPINTF_LIST pipe = a->pPipe;
    bool bOpen = pipe->hClientSvr >= 0 && pipe->hSvrClient >= 0;

    while (g_bStop == 0 && get_open_count(idx) >= 1) {
        if (!bOpen) {
            DbgLogMessage(LOG_LEVEL_WARN, fn, LOG_WARN, "Start open pipe");
            bOpen = open_interface_pipe(pipe, 1) == 1;
            DbgLogMessage(LOG_LEVEL_WARN, fn, LOG_WARN, "End open pipe=%d", bOpen ? 1 : 0);
            if (!bOpen) {
                pause_unless_ending(idx, 1000);
                continue;
            }
        }
        if (get_reconnect_flag(idx) == 1) {
            a->bConnected = 0;
            set_reconnect_flag(idx, 0);
        }
        if (a->bConnected == 0) {
            const int r = ops->reconnect(idx, a->params);
            if (r != VEM_SUCCESS) {
                DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "reconnect_%s fail=%d", w->label, r);
                pause_unless_ending(idx, 1000);
                continue;
            }
            a->bConnected = 1;
        }

        const ssize_t n = ::read(pipe->hClientSvr, a->byRequest, INTF_BUF_SIZE);
        const int err = errno;
        if (n < 0 && err == EINTR) continue;
        if (n == 1 && a->byRequest[0] == 0) {
            if (w->bExitCount) {
                DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "Receive exit signal=%d, count=%d",
                              idx, get_open_count(idx));
            } else {
                DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "Receive exit signal=%d", idx);
            }
            continue;
        }
        if (n == 0) continue;
        serve(*w, *ops, a, static_cast<long>(n), err);
        std::memset(a->byRequest, 0, sizeof a->byRequest);
        std::memset(a->byReply, 0, sizeof a->byReply);
        if (n < 0) pause_unless_ending(idx, 100);  // a failing pipe must not spin
    }
    ops->close(idx);
    return a;
}

}  // namespace

long write_reply(int fd, const unsigned char* pReply, long len, unsigned int fn) {
    // The daemon's S->C descriptor is non-blocking and also a reader.
    unsigned char stale[INTF_BUF_SIZE];
    while (::read(fd, stale, sizeof stale) > 0) {
    }
    long done = 0;
    for (int attempt = 0; attempt < 10 && done < len; ++attempt) {
        int err = 0;
        done += static_cast<long>(vem::write_full(fd, pReply + done,
                                                  static_cast<std::size_t>(len - done), &err));
        if (done < len) {
            DbgLogMessage(LOG_LEVEL_WARN, fn, LOG_WARN, "write problem, size=%ld, errno=%d", done,
                          err);
            if (g_bStop != 0) break;
            pollfd pfd{fd, POLLOUT, 0};
            ::poll(&pfd, 1, 100);
        }
    }
    return done;
}

void* thread_usb(void* pArg) { return run_worker(INTF_USB, pArg); }
void* thread_rs232(void* pArg) { return run_worker(INTF_RS232, pArg); }
void* thread_parallel(void* pArg) { return run_worker(INTF_PARRALLEL, pArg); }
void* thread_network(void* pArg) { return run_worker(INTF_ETH, pArg); }
void* thread_file(void* pArg) { return run_worker(INTF_FILE, pArg); }

WorkerThreadFn worker_thread_of(unsigned int kind) {
    switch (kind) {
        case INTF_USB: return thread_usb;
        case INTF_RS232: return thread_rs232;
        case INTF_PARRALLEL: return thread_parallel;
        case INTF_ETH: return thread_network;
        case INTF_FILE: return thread_file;
        default: return nullptr;
    }
}

int usb_send(WorkerArg* a, LPINTF_CMD c) { return handle(INTF_USB, Op::Send, a, c); }
int usb_read(WorkerArg* a, LPINTF_CMD c) { return handle(INTF_USB, Op::Read, a, c); }
int usb_rts(WorkerArg* a, LPINTF_CMD c) { return handle(INTF_USB, Op::Rts, a, c); }
int rs232_send(WorkerArg* a, LPINTF_CMD c) { return handle(INTF_RS232, Op::Send, a, c); }
int rs232_read(WorkerArg* a, LPINTF_CMD c) { return handle(INTF_RS232, Op::Read, a, c); }
int rs232_rts(WorkerArg* a, LPINTF_CMD c) { return handle(INTF_RS232, Op::Rts, a, c); }
int par_send(WorkerArg* a, LPINTF_CMD c) { return handle(INTF_PARRALLEL, Op::Send, a, c); }
int par_read(WorkerArg* a, LPINTF_CMD c) { return handle(INTF_PARRALLEL, Op::Read, a, c); }
int par_rts(WorkerArg* a, LPINTF_CMD c) { return handle(INTF_PARRALLEL, Op::Rts, a, c); }
int eth_send(WorkerArg* a, LPINTF_CMD c) { return handle(INTF_ETH, Op::Send, a, c); }
int eth_read(WorkerArg* a, LPINTF_CMD c) { return handle(INTF_ETH, Op::Read, a, c); }
int eth_rts(WorkerArg* a, LPINTF_CMD c) { return handle(INTF_ETH, Op::Rts, a, c); }
int file_send(WorkerArg* a, LPINTF_CMD c) { return handle(INTF_FILE, Op::Send, a, c); }
int file_read(WorkerArg* a, LPINTF_CMD c) { return handle(INTF_FILE, Op::Read, a, c); }
int file_rts(WorkerArg* a, LPINTF_CMD c) { return handle(INTF_FILE, Op::Rts, a, c); }
