// VEMLibraryIntf.cpp - direct mode (see VEMLibraryIntf.h).
#include "VEMLibraryIntf.h"

#include <pthread.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "VEMCmn.h"
#include "VEMPortOps.h"
#include "wardlink.h"

// ---- Process state ---------------------------------------------------------
// The open port's connection parameters, kept from a successful open until
// the close so that every lock (shared behaviour) or a reconnect can reopen
// the device.  Names are copied into the record, never kept by pointer.
namespace {
PortParams g_params;
}
// Reconnect thread, under cs_mutex: its handle, the stop request, running.
pthread_t g_tid{};
int g_stop = 0;
int g_running = 0;

namespace {

bool single_app() {
    return g_IntfType == SINGLE_APP;
}

// The driver row of the open port, or null when none is open.
const PortOps* open_ops() {
    return g_InterfaceType == INTF_NONE ? nullptr : port_ops(g_InterfaceType);
}

int reopen() {
    const PortOps* ops = open_ops();
    return ops != nullptr ? ops->reconnect(0, g_params) : VEM_NOINIT;
}

// One open operation for every kind: open through the driver, keep the
// parameters, park the device unless the application keeps it.
int open_port(unsigned int fn, InterfaceList kind, const PortParams& p, const char* enter,
              const char* failLine, const char* exitFmt) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn, LOG_START, "%s", enter);
    const PortOps* ops = port_ops(kind);
    int rc = VEM_NOINIT;
    if (ops == nullptr) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "Invalid/Not Supported interface");
    } else if ((rc = ops->open(0, p)) != VEM_SUCCESS) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "%s", failLine);
    } else {
        g_params = p;
        g_InterfaceType = kind;
        if (!single_app()) ops->park(0);
    }
    DbgLogMessage(LOG_LEVEL_TRACE, fn, LOG_END, exitFmt, rc);
    return rc;
}

// Copies a caller's name into p.szName; false when it does not fit.
bool take_name(unsigned int fn, PortParams& p, const char* name) {
    const std::size_t n = name != nullptr ? std::strlen(name) : 0;
    if (n >= sizeof p.szName) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "Name too long (%zu characters)", n);
        return false;
    }
    if (n > 0) std::memcpy(p.szName, name, n + 1);
    return true;
}

// The semaphore, and the lock check shared by the data operations.  0 when
// the caller may go on, else the refusal.
int check_locked(unsigned int fn, sem_t** sem) {
    *sem = getSemByInterface();
    if (*sem == nullptr) return VEM_ILLEGAL;
    if (islock_sem(*sem) != VEM_ALREADY_LOCK) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "didn't lock before use");
        return VEM_NOLOCK;
    }
    return VEM_SUCCESS;
}

void* reconnect_thread(void*) {
    if (!single_app()) return nullptr;
    DbgLogMessage(LOG_LEVEL_DEBUG, fn_reconnect_thread, LOG_DBG, "Enter reconnect thread");
    {
        std::lock_guard lock(cs_mutex);
        g_running = 1;
    }
    for (int attempt = 1;; ++attempt) {
        {
            std::lock_guard lock(cs_mutex);
            if (g_stop == 1) break;
        }
        const PortOps* ops = open_ops();
        if (ops == nullptr) {
            DbgLogMessage(LOG_LEVEL_WARN, fn_reconnect_thread, LOG_WARN,
                          "Interface not support reconnect");
        } else if (ops->reconnect(0, g_params) != VEM_SUCCESS) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        // The number shown is the attempt that succeeded.
        DbgLogMessage(LOG_LEVEL_DEBUG, fn_reconnect_thread, LOG_DBG, "Reconnect(%d) success",
                      attempt);
        break;
    }
    {
        std::lock_guard lock(cs_mutex);
        g_running = 0;
    }
    DbgLogMessage(LOG_LEVEL_DEBUG, fn_reconnect_thread, LOG_DBG, "Exit reconnect thread");
    return nullptr;
}

}  // namespace

// ---- Log settings ----------------------------------------------------------

void init_lib_LogLevel(int nLogLevel) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_init_lib_LogLevel, LOG_START, "Init lib log level enter");
    SetLogLevel(static_cast<unsigned int>(nLogLevel));
    DbgLogMessage(LOG_LEVEL_DEBUG, fn_init_lib_LogLevel, LOG_DBG, "New log level : %d", nLogLevel);
    DbgLogMessage(LOG_LEVEL_TRACE, fn_init_lib_LogLevel, LOG_END, "Init lib log level exit");
}

void init_lib_LogFilename(const char* lpszFilename) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_init_lib_LogFilename, LOG_START,
                  "Init lib log filename enter");
    (void)SetLogFilename(lpszFilename);
    DbgLogMessage(LOG_LEVEL_TRACE, fn_init_lib_LogFilename, LOG_END, "Init lib log filename exit");
}

void init_lib_LogCount(int nCount) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_init_lib_LogCount, LOG_START, "Init lib log count enter");
    if (nCount >= 0) {
        SetLogFileCount(static_cast<unsigned int>(nCount));
        DbgLogMessage(LOG_LEVEL_DEBUG, fn_init_lib_LogCount, LOG_DBG, "New log count : %d", nCount);
    }
    DbgLogMessage(LOG_LEVEL_TRACE, fn_init_lib_LogCount, LOG_END, "Init lib log count exit");
}

// ---- Opening and closing ---------------------------------------------------

int init_lib_usb(int nVid, int nPid, const char* lpszSerialNo) {
    PortParams p;
    p.nVid = nVid, p.nPid = nPid;
    if (!take_name(fn_init_lib_usb, p, lpszSerialNo)) return VEM_ILLEGAL;
    return open_port(fn_init_lib_usb, INTF_USB, p, "Open lib USB enter", "init_port_usb fail",
                     "Open lib USB exit=%d");
}

int init_lib_serial(const char* lpszPort, int nBaudrate, int nDataBit, int nParity, int nStopBit,
                    int nFlowControl) {
    PortParams p;
    p.nBaudrate = nBaudrate, p.nDataBit = nDataBit, p.nParity = nParity, p.nStopBit = nStopBit;
    p.nFlowControl = nFlowControl;
    if (!take_name(fn_init_lib_serial, p, lpszPort)) return VEM_ILLEGAL;
    return open_port(fn_init_lib_serial, INTF_RS232, p, "Open lib Serial enter",
                     "init_port_serial fail", "Open lib Serial exit=%d");
}

int init_lib_parallel(const char* lpszPort) {
    PortParams p;
    if (!take_name(fn_init_lib_parallel, p, lpszPort)) return VEM_ILLEGAL;
    return open_port(fn_init_lib_parallel, INTF_PARRALLEL, p, "Open lib PAR enter",
                     "init_port_pra fail", "Open lib PAR exit=%d");
}

int init_lib_network(const char* lpszIp, int nTCP, int nUDP) {
    PortParams p;
    p.nTCP = nTCP, p.nUDP = nUDP;
    if (!take_name(fn_init_lib_network, p, lpszIp)) return VEM_ILLEGAL;
    return open_port(fn_init_lib_network, INTF_ETH, p, "Open lib ETH enter", "init_port_eth fail",
                     "Open lib ETH exit=%d");
}

int init_lib_file(const char* lpszFilename, int nFormat) {
    PortParams p;
    p.nFormat = nFormat;
    if (!take_name(fn_init_lib_file, p, lpszFilename)) return VEM_ILLEGAL;
    return open_port(fn_init_lib_file, INTF_FILE, p, "Open lib file enter", "init_port_file fail",
                     "Open lib file exit=%d");
}

int init_lib_close() {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_init_lib_close, LOG_START, "Close lib interface enter");
    bool ran;
    pthread_t tid;
    {
        std::lock_guard lock(cs_mutex);
        ran = g_running == 1 || g_tid != pthread_t{};
        tid = g_tid;
        g_stop = 1;
        g_tid = pthread_t{};
    }
    if (ran) pthread_join(tid, nullptr);  // never under cs_mutex: the thread takes it
    if (const PortOps* ops = open_ops()) ops->close(0);
    g_params = PortParams{};
    g_InterfaceType = INTF_NONE;
    DbgLogMessage(LOG_LEVEL_TRACE, fn_init_lib_close, LOG_END, "Close lib interface exit");
    return VEM_SUCCESS;
}

// ---- Lock ------------------------------------------------------------------

sem_t* getSemByInterface() {
    const PortOps* ops = open_ops();
    if (ops == nullptr) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_getSemByInterface, LOG_ERRNO,
                      "Invalid/Not Supported interface");
        return nullptr;
    }
    return ops->semaphore(0);
}

int intf_lib_lock(unsigned long nTimeout) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_intf_lib_lock, LOG_START, "Lib Lock() enter");
    sem_t* sem = getSemByInterface();
    if (sem == nullptr) return VEM_ILLEGAL;
    // The low 32 bits as a signed count: an all-ones value is -1, no limit.
    int rc = lock_sem(sem, static_cast<int>(static_cast<std::uint32_t>(nTimeout)));
    if (rc == VEM_SUCCESS && !single_app()) {
        rc = reopen();
        if (rc != VEM_SUCCESS) (void)unlock_sem(sem);  // an error never leaves the lock held
    }
    DbgLogMessage(LOG_LEVEL_TRACE, fn_intf_lib_lock, LOG_END, "Lib Lock() exit=%d", rc);
    return rc;
}

int intf_lib_unlock() {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_intf_lib_unlock, LOG_START, "Lib UnLock() enter");
    sem_t* sem = getSemByInterface();
    if (sem == nullptr) return VEM_ILLEGAL;
    // Park before letting go: closing the device flushes what this process
    // sent, so the next holder's data can never land in the middle of it.
    // Parking without the lock held is harmless (the device must not be
    // open then anyway).
    int parked = VEM_SUCCESS;
    if (!single_app()) {
        const PortOps* ops = open_ops();
        if (ops != nullptr)
            ops->park(0);
        else
            parked = VEM_NOINIT;
    }
    int rc = unlock_sem(sem);
    if (rc == VEM_SUCCESS) rc = parked;
    DbgLogMessage(LOG_LEVEL_TRACE, fn_intf_lib_unlock, LOG_END, "Lib UnLock() exit=%d", rc);
    return rc;
}

// ---- Data ------------------------------------------------------------------

int intf_lib_reconnect() {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_intf_lib_reconnect, LOG_START, "Lib reconnect enter");
    sem_t* sem;
    if (int refused = check_locked(fn_intf_lib_reconnect, &sem)) return refused;
    // Shared behaviour reopens the device at every lock anyway.
    const int rc = single_app() ? reopen() : VEM_SUCCESS;
    DbgLogMessage(LOG_LEVEL_TRACE, fn_intf_lib_reconnect, LOG_END, "Lib reconnect exit=%d", rc);
    return rc;
}

int intf_lib_send_data(unsigned char* pBySendData, int nSendSize, unsigned long* pdwSize,
                       unsigned long dwTimeout) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_intf_lib_send_data, LOG_START, "Lib send enter");
    sem_t* sem;
    if (int refused = check_locked(fn_intf_lib_send_data, &sem)) return refused;
    const PortOps* ops = open_ops();
    const int rc =
        ops != nullptr ? ops->send(0, pBySendData, nSendSize, pdwSize, dwTimeout) : VEM_NOINIT;
    DbgLogMessage(LOG_LEVEL_TRACE, fn_intf_lib_send_data, LOG_END, "Lib send exit=%d", rc);
    return rc;
}

int intf_lib_rcv_data(unsigned char* pByReceiveData, int nReceiveSize, unsigned long* pdwRecSize,
                      unsigned long dwTimeout) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_intf_lib_rcv_data, LOG_START, "Lib receive enter");
    sem_t* sem;
    if (int refused = check_locked(fn_intf_lib_rcv_data, &sem)) return refused;
    const PortOps* ops = open_ops();
    const int rc = ops != nullptr
                       ? ops->receive(0, pByReceiveData, nReceiveSize, pdwRecSize, dwTimeout)
                       : VEM_NOINIT;
    DbgLogMessage(LOG_LEVEL_TRACE, fn_intf_lib_rcv_data, LOG_END, "Lib receive exit=%d", rc);
    return rc;
}

int intf_lib_send_rtc(unsigned char* pBySend, int nSend, unsigned char* pByRet, int nReturn,
                      unsigned long* pdwRead, unsigned long dwTimeout) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_intf_lib_send_rtc, LOG_START, "Lib receive RTS enter");
    sem_t* sem;
    if (int refused = check_locked(fn_intf_lib_send_rtc, &sem)) return refused;
    const PortOps* ops = open_ops();
    int rc = VEM_NOINIT;
    if (ops != nullptr && ops->rts != nullptr) {
        rc = ops->rts(0, pBySend, nSend, pByRet, nReturn, pdwRead, dwTimeout);
    } else if (ops != nullptr) {
        // No native exchange: send the command, then read the answer.
        rc = VEM_SUCCESS;
        if (nSend > 0) {
            unsigned long sent = 0;
            rc = ops->send(0, pBySend, nSend, &sent, dwTimeout);
            if (rc == VEM_SUCCESS && sent < static_cast<unsigned long>(nSend)) {
                // The command did not go out whole: there is no answer to
                // read, and success would hand back a reply count never set.
                DbgLogMessage(LOG_LEVEL_ERROR, fn_intf_lib_send_rtc, LOG_ERRNO,
                              "send size not correct, expect=%d, get=%lu", nSend, sent);
                rc = VEM_ILLEGAL;
            }
            if (rc != VEM_SUCCESS && pdwRead != nullptr) *pdwRead = 0;
        }
        if (rc == VEM_SUCCESS && nReturn > 0)
            rc = ops->receive(0, pByRet, nReturn, pdwRead, dwTimeout);
    }
    DbgLogMessage(LOG_LEVEL_TRACE, fn_intf_lib_send_rtc, LOG_END, "Lib receive RTS exit=%d", rc);
    return rc;
}

// ---- Background reconnection -----------------------------------------------

void reconnect_device() {
    if (!single_app()) return;
    std::lock_guard lock(cs_mutex);
    if (g_running == 1 || g_tid != pthread_t{}) {
        // A thread that already ended is joined before a new one starts.
        if (g_running == 1) return;
        pthread_join(g_tid, nullptr);
        g_tid = pthread_t{};
    }
    g_stop = 0;
    const int rc = pthread_create(&g_tid, nullptr, reconnect_thread, nullptr);
    if (rc != 0) g_tid = pthread_t{};
    DbgLogMessage(LOG_LEVEL_WARN, fn_reconnect_device, LOG_WARN,
                  "Start reconnect device thread (%d)", rc);
}

bool reconnect_running() {
    std::lock_guard lock(cs_mutex);
    return g_running == 1;
}
