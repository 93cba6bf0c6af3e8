// VEMETH.cpp - the Ethernet port driver, SNMP identity queries and network
// printer discovery.
#include "VEMETH.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <memory>
#include <new>
#include <thread>

// ---- SNMP requests ----------------------------------------------------------
//
// Hand-built SNMPv1 GetRequests, every length in one byte:
//
//   offset  bytes                         meaning
//    0      30 26                         SEQUENCE, length 38
//    2      02 01 00                      version 0 (SNMPv1)
//    5      04 06 "zelmix"                community
//   13      A0 19                         GetRequest-PDU, length 25
//   15      02 01 03                      request-id 3
//   18      02 01 00 / 02 01 00           error-status, error-index
//   24      30 0E 30 0C                   variable-bindings, one VarBind
//   28      06 08 2B 06 01 02 01 01 0X 00 1.3.6.1.2.1.1.X.0
//   38      05 00                         NULL value
//
// Answers are read at fixed offsets that assume the printer answers in the
// same layout: the value's tag and length at 38, its contents from 40.
#define VEM_SNMP_GET(leaf)                                                                  \
    {0x30, 0x26, 0x02, 0x01, 0x00, 0x04, 0x06, 'z',  'e',  'l',  'm',  'i',  'x',  0xA0,   \
     0x19, 0x02, 0x01, 0x03, 0x02, 0x01, 0x00, 0x02, 0x01, 0x00, 0x30, 0x0E, 0x30, 0x0C,   \
     0x06, 0x08, 0x2B, 0x06, 0x01, 0x02, 0x01, 0x01, (leaf), 0x00, 0x05, 0x00}
const unsigned char g_ObjectId[VEM_SNMP_REQUEST_SIZE] = VEM_SNMP_GET(0x02);
const unsigned char g_SysDescr[VEM_SNMP_REQUEST_SIZE] = VEM_SNMP_GET(0x01);
#undef VEM_SNMP_GET

// ---- Per-slot state (see VEMETH.h) -------------------------------------------
char g_szIP[PORT_SLOT_MAX][VEM_ETH_IP_SIZE];
int g_tcp[PORT_SLOT_MAX];
int g_udp[PORT_SLOT_MAX];
int g_EthTCPHandle[PORT_SLOT_MAX];
int g_EthUDPHandle[PORT_SLOT_MAX];
struct sockaddr_in g_UdpAddr[PORT_SLOT_MAX];
std::time_t g_start_tm[PORT_SLOT_MAX];
std::mutex g_csMutexPort[PORT_SLOT_MAX];
UniqueSem g_pEthSem[PORT_SLOT_MAX];
int g_InitEthSem[PORT_SLOT_MAX];
char g_semEthName[PORT_SLOT_MAX][VEM_SEM_NAME_SIZE];

// ---- Process-wide monitor state ------------------------------------------------
std::atomic<int> g_runTCPMon{0};  // 1 once the monitor was started; never cleared
pthread_t g_thTCPMon;             // the monitor thread
std::atomic<int> g_Exit{0};       // 1 asks the monitor to end; never cleared

namespace {

// Static initialisation gives zeros; the socket handles' reset value is -1.
const bool g_slotsReset = [] {
    for (int i = 0; i < PORT_SLOT_MAX; ++i) g_EthTCPHandle[i] = g_EthUDPHandle[i] = -1;
    return true;
}();

// Time limits.
constexpr int kConnectWaitMs = 2000;  // TCP connection in progress
constexpr int kProbeTimeoutMs = 50;   // SNMP reachability probe
constexpr int kMonitorLockMs = 3000;  // monitor's wait for the port semaphore
// The monitor's pause between passes, in steps after which it looks at
// g_Exit.  Plain sleeps: nothing with a destructor that a process leaving
// without stopping the monitor could pull from under it.
constexpr int kMonitorPauseSteps = 10;
constexpr auto kMonitorPauseStep = std::chrono::milliseconds(100);
constexpr unsigned long kScanTimeoutMs = 30000;  // each discovery query
constexpr int kBroadcastQuietS = 3;              // broadcast answers stop after this
// SNMP answers.
constexpr int kObjectIdAnswerMax = 64;
constexpr int kSysDescrAnswerMax = 128;
constexpr std::size_t kAnswerBufSize = 200;
constexpr int kValueOffset = 40;  // contents of the single VarBind's value
constexpr std::size_t kSysDescrKept = 40;
// Discovery.
constexpr std::size_t kAddrStringSize = 255;
constexpr int kStartAttempts = 5;

const char* text(const char* s) {
    return s != nullptr ? s : "";
}

// True, after logging it, when idx is no slot of this build.
bool bad_slot(unsigned int fn, int idx) {
    if (valid_slot(idx)) return false;
    DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "invalid parameter=%d", idx);
    return true;
}

// A caller's time limit as set_eth_timeout takes it: all bits set (as a
// 32- or 64-bit value) is -1, no limit; larger limits than an int holds are
// cut to the longest one.
int timeout_ms(unsigned long dwTimeout) {
    if (dwTimeout == static_cast<unsigned long>(-1) || dwTimeout == 0xFFFFFFFFUL) return -1;
    return dwTimeout > static_cast<unsigned long>(INT_MAX) ? INT_MAX : static_cast<int>(dwTimeout);
}

bool valid_port(int nPort) {
    return nPort > 0 && nPort <= 65535;
}

// Blocks SIGPIPE in the calling thread for its lifetime and swallows one
// that a write to a connection the peer closed raised meanwhile: a printer
// that drops its connection must fail the send, not kill the process (the
// daemon serves every other port too).  The process's disposition of
// SIGPIPE is not touched.
class SigpipeBlock {
  public:
    SigpipeBlock() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        sigset_t pending;
        sigemptyset(&pending);
        was_pending_ = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
        blocked_ = pthread_sigmask(SIG_BLOCK, &pipe_, &old_) == 0;
    }
    ~SigpipeBlock() {
        if (!blocked_) return;
        if (!was_pending_) {
            const struct timespec zero {};
            while (sigtimedwait(&pipe_, nullptr, &zero) == -1 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    SigpipeBlock(const SigpipeBlock&) = delete;
    SigpipeBlock& operator=(const SigpipeBlock&) = delete;

  private:
    sigset_t pipe_{};
    sigset_t old_{};
    bool was_pending_ = false;
    bool blocked_ = false;
};

// Drops datagrams still queued on hUDP: late answers to earlier requests
// that timed out must not pass for the answer to the next one.  Bounded,
// so that a stream of datagrams cannot hold the caller here.
void drain_udp(int hUDP) {
    unsigned char scrap[512];
    for (int i = 0; i < 256 && ::recv(hUDP, scrap, sizeof scrap, MSG_DONTWAIT) >= 0; ++i) {
    }
}

long now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

// ---- Ethernet port -------------------------------------------------------------

void init_buf_eth() {
    // The library's load constructor may run before this file's static
    // initialisers (their order within a shared library is not fixed): the
    // handle tables may still hold zeros, which read as descriptor 0.  The
    // first reset closes nothing, or it would take the process's standard
    // input (a CUPS backend's print data); later ones close what we opened.
    static std::atomic<bool> slots_set{false};
    const bool opened = slots_set.exchange(true);
    for (int i = 0; i < PORT_SLOT_MAX; ++i) {
        std::lock_guard<std::mutex> guard(g_csMutexPort[i]);
        if (opened && g_EthTCPHandle[i] >= 0) ::close(g_EthTCPHandle[i]);
        if (opened && g_EthUDPHandle[i] >= 0) ::close(g_EthUDPHandle[i]);
        std::memset(g_szIP[i], 0, VEM_ETH_IP_SIZE);
        g_tcp[i] = g_udp[i] = 0;
        g_EthTCPHandle[i] = g_EthUDPHandle[i] = -1;
        g_pEthSem[i].reset();
        g_InitEthSem[i] = 0;
        std::memset(g_semEthName[i], 0, VEM_SEM_NAME_SIZE);
    }
}

int set_eth_timeout(int hHandle, int nTimeout, int bSend) {
    struct timeval tv {};
    if (nTimeout != -1) {
        tv.tv_sec = nTimeout / 1000;
        tv.tv_usec = (nTimeout % 1000) * 1000;
    }
    if (::setsockopt(hHandle, SOL_SOCKET, bSend != 0 ? SO_SNDTIMEO : SO_RCVTIMEO, &tv,
                     sizeof tv) != 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_set_eth_timeout, LOG_ERRNO, "setsockopt error=%d", errno);
        return 0;
    }
    return 1;
}

int connect_tcp(const char* lpszIp, int nTCP) {
    UniqueFd sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!sock) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_connect_tcp, LOG_ERRNO, "Open TCP(%s) error=%d",
                      text(lpszIp), errno);
        return -1;
    }
    struct sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(nTCP));
    if (lpszIp == nullptr || !valid_port(nTCP) || ::inet_pton(AF_INET, lpszIp, &addr.sin_addr) != 1) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_connect_tcp, LOG_ERRNO,
                      "inet_pton tcp(%s), port=%d, error=%d", text(lpszIp), nTCP, EINVAL);
        return -1;
    }
    DbgLogMessage(LOG_LEVEL_DEBUG, fn_connect_tcp, LOG_DBG, "inet_pton success. ip=%s, tcp=%d",
                  lpszIp, nTCP);

    const int flags = ::fcntl(sock.get(), F_GETFL, 0);
    if (flags < 0 || ::fcntl(sock.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_connect_tcp, LOG_ERRNO,
                      "connect tcp(%s), port=%d, error=%d", lpszIp, nTCP, errno);
        return -1;
    }
    if (::connect(sock.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        if (errno != EINPROGRESS) {
            DbgLogMessage(LOG_LEVEL_ERROR, fn_connect_tcp, LOG_ERRNO,
                          "connect tcp(%s), port=%d, error=%d", lpszIp, nTCP, errno);
            return -1;
        }
        // Wait for the connection to complete, no longer than the limit,
        // and not a moment longer than it takes.
        struct pollfd pfd {sock.get(), POLLOUT, 0};
        const long deadline = now_ms() + kConnectWaitMs;
        int ready;
        for (;;) {
            const long left = deadline - now_ms();
            ready = ::poll(&pfd, 1, left > 0 ? static_cast<int>(left) : 0);
            if (ready >= 0 || errno != EINTR) break;
        }
        if (ready <= 0) {
            DbgLogMessage(LOG_LEVEL_ERROR, fn_connect_tcp, LOG_ERRNO,
                          "select tcp(%s), port=%d, error=%d", lpszIp, nTCP,
                          ready == 0 ? ETIMEDOUT : errno);
            return -1;
        }
        // The outcome of the attempt: a refused or unreachable connection
        // is a failure now, not a surprise at the first send.
        int soError = 0;
        socklen_t len = sizeof soError;
        if (::getsockopt(sock.get(), SOL_SOCKET, SO_ERROR, &soError, &len) != 0) {
            DbgLogMessage(LOG_LEVEL_ERROR, fn_connect_tcp, LOG_ERRNO,
                          "getsockopt tcp(%s), port=%d, error=%d", lpszIp, nTCP, errno);
            return -1;
        }
        if (soError != 0) {
            DbgLogMessage(LOG_LEVEL_ERROR, fn_connect_tcp, LOG_ERRNO,
                          "connect tcp(%s), port=%d, error=%d", lpszIp, nTCP, soError);
            return -1;
        }
    }
    if (::fcntl(sock.get(), F_SETFL, flags) != 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_connect_tcp, LOG_ERRNO,
                      "connect tcp(%s), port=%d, error=%d", lpszIp, nTCP, errno);
        return -1;
    }
    return sock.release();
}

int connect_udp(const char* lpszIp, int nUDP, struct sockaddr_in* pUdpAddr) {
    UniqueFd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sock) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_connect_udp, LOG_ERRNO, "Open UDP(%s) error=%d",
                      text(lpszIp), errno);
        return -1;
    }
    if (pUdpAddr == nullptr || lpszIp == nullptr || !valid_port(nUDP)) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_connect_udp, LOG_ERRNO,
                      "inet_aton UDP(%s), port=%d, error=%d", text(lpszIp), nUDP, EINVAL);
        return -1;
    }
    std::memset(pUdpAddr, 0, sizeof *pUdpAddr);
    pUdpAddr->sin_family = AF_INET;
    pUdpAddr->sin_port = htons(static_cast<std::uint16_t>(nUDP));
    if (::inet_aton(lpszIp, &pUdpAddr->sin_addr) == 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_connect_udp, LOG_ERRNO,
                      "inet_aton UDP(%s), port=%d, error=%d", lpszIp, nUDP, EINVAL);
        return -1;
    }
    return sock.release();
}

int send_recv_udp(int hUDP, struct sockaddr_in* pUdpAddr, unsigned char* pBySend, int nSend,
                  unsigned char* pByRet, int nReturn, unsigned long* pdwRead,
                  unsigned long dwTimeout) {
    if (hUDP < 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_send_recv_udp, LOG_ERRNO, "Invalid port handle");
        return VEM_NOINIT;
    }
    if (pUdpAddr == nullptr || (nSend > 0 && pBySend == nullptr)) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_send_recv_udp, LOG_ERRNO,
                      "Invalid send buffer(0x%08X, size=%d)", ptr_low32(pBySend), nSend);
        return VEM_ILLEGAL;
    }
    const int limit = timeout_ms(dwTimeout);
    if (set_eth_timeout(hUDP, limit, 1) == 0 || set_eth_timeout(hUDP, limit, 0) == 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_send_recv_udp, LOG_ERRNO, "set_eth_timeout fail");
        return VEM_ILLEGAL;
    }
    drain_udp(hUDP);

    if (nSend > 0) {
        DbgByteData(LOG_LEVEL_DUMP, fn_send_recv_udp, 1, pBySend, nSend);
        const ssize_t sent = ::sendto(hUDP, pBySend, static_cast<std::size_t>(nSend), 0,
                                      reinterpret_cast<const sockaddr*>(pUdpAddr), sizeof *pUdpAddr);
        if (sent < 0) {
            DbgLogMessage(LOG_LEVEL_ERROR, fn_send_recv_udp, LOG_ERRNO,
                          "write fail; ret=%d, error=%d", static_cast<int>(sent), errno);
            return VEM_ILLEGAL;
        }
        if (sent < nSend) {
            DbgLogMessage(LOG_LEVEL_ERROR, fn_send_recv_udp, LOG_ERRNO,
                          "write error size : %d (expect:%d)", static_cast<int>(sent), nSend);
            return VEM_ILLEGAL;
        }
        DbgLogMessage(LOG_LEVEL_DEBUG, fn_send_recv_udp, LOG_DBG, "send success=%d", nSend);
    }
    if (pByRet == nullptr || nReturn < 1 || pdwRead == nullptr) return VEM_SUCCESS;

    // One answer from the host that was asked.  A datagram from anybody else
    // is no answer: it is dropped and the wait goes on for what is left of
    // the time limit.
    const long deadline = limit > 0 ? now_ms() + limit : 0;
    for (;;) {
        struct sockaddr_in from {};
        socklen_t fromLen = sizeof from;
        const ssize_t got = ::recvfrom(hUDP, pByRet, static_cast<std::size_t>(nReturn), 0,
                                       reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (got < 0 && errno != EINTR) {
            DbgLogMessage(LOG_LEVEL_TRACE, fn_send_recv_udp, LOG_ERRNO,
                          "read fail; ret=%d, error=%d", static_cast<int>(got), errno);
            return VEM_ILLEGAL;
        }
        if (got >= 0 && from.sin_addr.s_addr == pUdpAddr->sin_addr.s_addr) {
            *pUdpAddr = from;
            if (got > 0) {
                *pdwRead = static_cast<unsigned long>(got);
                DbgByteData(LOG_LEVEL_DUMP, fn_send_recv_udp, 0, pByRet, static_cast<int>(got));
            }
            if (got == nReturn) return VEM_SUCCESS;
            DbgLogMessage(LOG_LEVEL_WARN, fn_send_recv_udp, LOG_WARN,
                          "read error size : %d (expect:%d)", static_cast<int>(got), nReturn);
            return VEM_ILLEGAL;
        }
        if (got >= 0) {
            char who[INET_ADDRSTRLEN] = "";
            ::inet_ntop(AF_INET, &from.sin_addr, who, sizeof who);
            DbgLogMessage(LOG_LEVEL_WARN, fn_send_recv_udp, LOG_WARN,
                          "Datagram from %s dropped: not the host asked", who);
        }
        if (limit > 0) {
            const long left = deadline - now_ms();
            if (left <= 0) {
                DbgLogMessage(LOG_LEVEL_TRACE, fn_send_recv_udp, LOG_ERRNO,
                              "read fail; ret=%d, error=%d", -1, EAGAIN);
                return VEM_ILLEGAL;
            }
            if (set_eth_timeout(hUDP, static_cast<int>(left), 0) == 0) return VEM_ILLEGAL;
        }
    }
}

int isDeviceOnline(const char* lpszIp) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_check_online, LOG_START, "Check device online enter:%s",
                  text(lpszIp));
    struct sockaddr_in addr {};
    UniqueFd sock(connect_udp(lpszIp, VEM_SNMP_PORT, &addr));
    if (!sock) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_check_online, LOG_ERRNO, "Open UDP(%s) error=%d",
                      text(lpszIp), errno);
        return 0;
    }
    unsigned char answer[kAnswerBufSize] = {};
    unsigned long got = 0;
    unsigned char request[VEM_SNMP_REQUEST_SIZE];
    std::memcpy(request, g_ObjectId, sizeof request);
    const int rc = send_recv_udp(sock.get(), &addr, request, VEM_SNMP_REQUEST_SIZE, answer,
                                 kObjectIdAnswerMax, &got, kProbeTimeoutMs);
    int online = 1;
    if (rc != VEM_SUCCESS && got == 0) {
        DbgLogMessage(LOG_LEVEL_DEBUG, fn_check_online, LOG_DBG,
                      "sysObjectId send_recv_udp(%s) fail", lpszIp);
        online = 0;
    }
    DbgLogMessage(LOG_LEVEL_DEBUG, fn_check_online, LOG_END, "Check device online enter:%s",
                  lpszIp);
    return online;
}

int connect_network(int idx, const char* lpszIp, int nTCP, int nUDP) {
    if (bad_slot(fn_connect_network, idx)) return 0;
    if (isDeviceOnline(lpszIp) == 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_connect_network, LOG_ERRNO,
                      "Connect netowrk(%s) check device offline", text(lpszIp));
        return 0;
    }
    if (nTCP > 0) {
        g_EthTCPHandle[idx] = connect_tcp(lpszIp, nTCP);
        if (g_EthTCPHandle[idx] < 0) {
            DbgLogMessage(LOG_LEVEL_ERROR, fn_connect_network, LOG_ERRNO, "connect_tcp fail");
            return 0;
        }
        g_start_tm[idx] = std::time(nullptr);
        DbgLogMessage(LOG_LEVEL_DEBUG, fn_connect_network, LOG_DBG, "connect_tcp success. tcp=%d",
                      nTCP);
    }
    if (nUDP > 0) {
        g_EthUDPHandle[idx] = connect_udp(lpszIp, nUDP, &g_UdpAddr[idx]);
        if (g_EthUDPHandle[idx] < 0) {
            DbgLogMessage(LOG_LEVEL_ERROR, fn_connect_network, LOG_ERRNO, "connect_udp fail");
            return 0;
        }
        DbgLogMessage(LOG_LEVEL_DEBUG, fn_connect_network, LOG_DBG, "connect_udp success. udp=%d",
                      nUDP);
    }
    return 1;
}

int reopen_eth_port(int idx, const char* lpszIp, int nTCP, int nUDP) {
    if (bad_slot(fn_reconnect_eth, idx)) return VEM_ILLEGAL;
    close_eth_handle(idx);
    if (connect_network(idx, lpszIp, nTCP, nUDP) == 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_reconnect_eth, LOG_ERRNO, "connect_network(%s) fail",
                      text(lpszIp));
        close_eth_handle(idx);
        return VEM_NODEVICE;
    }
    return VEM_SUCCESS;
}

int reconnect_eth(int idx, const char* lpszIp, int nTCP, int nUDP) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_reconnect_eth, LOG_START, "Reconnect network Enter=%d", idx);
    // No slot is no success (0 would read as VEM_SUCCESS).
    if (bad_slot(fn_reconnect_eth, idx)) return VEM_ILLEGAL;
    int result;
    {
        std::lock_guard<std::mutex> guard(g_csMutexPort[idx]);
        result = reopen_eth_port(idx, lpszIp, nTCP, nUDP);
    }
    DbgLogMessage(LOG_LEVEL_TRACE, fn_reconnect_eth, LOG_END, "Reconnect network Exit=%d", result);
    return result;
}

int close_eth_handle(int idx) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_close_eth_handle, LOG_START, "Close network Enter (%d)", idx);
    if (bad_slot(fn_close_eth_handle, idx)) return 0;
    if (g_EthTCPHandle[idx] >= 0 && ::close(g_EthTCPHandle[idx]) != 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_close_eth_handle, LOG_ERRNO, "Close(tcp) errno=%d",
                      errno);
    }
    if (g_EthUDPHandle[idx] >= 0 && ::close(g_EthUDPHandle[idx]) != 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_close_eth_handle, LOG_ERRNO, "Close(udp) errno=%d",
                      errno);
    }
    g_EthTCPHandle[idx] = g_EthUDPHandle[idx] = -1;
    DbgLogMessage(LOG_LEVEL_TRACE, fn_close_eth_handle, LOG_END, "Close network Exit(idx:%d)=%d",
                  idx, 1);
    return 1;
}

void close_port_eth(int idx) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_close_port_eth, LOG_START, "Close network port Enter");
    if (bad_slot(fn_close_port_eth, idx)) return;
    std::lock_guard<std::mutex> guard(g_csMutexPort[idx]);
    close_eth_handle(idx);
    release_port_semaphore(g_pEthSem[idx], g_InitEthSem[idx], g_semEthName[idx]);
    g_tcp[idx] = g_udp[idx] = 0;
    std::memset(g_szIP[idx], 0, VEM_ETH_IP_SIZE);
    DbgLogMessage(LOG_LEVEL_TRACE, fn_close_port_eth, LOG_END, "Close network port Exit");
}

sem_t* getNetworkSemaphore(int idx) {
    if (bad_slot(fn_unknown, idx)) return nullptr;
    return g_pEthSem[idx].get();
}

sem_t* createNetworkSemaphore(char* szName, const char* lpszIp) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_createNetworkSemaphore, LOG_START,
                  "Create network semaphore enter:%s", text(lpszIp));
    if (szName == nullptr) return nullptr;
    errno = 0;
    return open_composed_semaphore(szName, compose_port_sem_name(szName, VEM_ETH_SEM_TEMPLATE, lpszIp),
                                   fn_createNetworkSemaphore, LOG_LEVEL_TRACE, "network");
}

int init_port_eth(int idx, const char* lpszIp, int nTCP, int nUDP) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_init_port_eth, LOG_START, "Init network port enter");
    if (bad_slot(fn_init_port_eth, idx)) return VEM_NODEVICE;

    std::unique_lock<std::mutex> guard(g_csMutexPort[idx]);
    if (g_EthTCPHandle[idx] >= 0 || g_EthUDPHandle[idx] >= 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_init_port_eth, LOG_ERRNO,
                      "Network port already open(%d, TCP:0x%08X, UDP:0x%08X)", idx,
                      static_cast<unsigned int>(g_EthTCPHandle[idx]),
                      static_cast<unsigned int>(g_EthUDPHandle[idx]));
        DbgLogMessage(LOG_LEVEL_TRACE, fn_init_port_eth, LOG_END, "Init network port Exit=%d",
                      VEM_INUSED);
        return VEM_INUSED;
    }
    // An address the port could never be locked under is refused before a
    // single packet goes out.
    char probe[VEM_SEM_NAME_SIZE];
    if (!compose_port_sem_name(probe, VEM_ETH_SEM_TEMPLATE, lpszIp)) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_init_port_eth, LOG_ERRNO,
                      "Invalid address(%s), at most %d characters", text(lpszIp),
                      static_cast<int>(VEM_ETH_ADDR_MAX));
        DbgLogMessage(LOG_LEVEL_TRACE, fn_init_port_eth, LOG_END, "Init network port Exit=%d",
                      VEM_ILLEGAL);
        return VEM_ILLEGAL;
    }

    int result = VEM_SUCCESS;
    sem_t* pSem = nullptr;
    if (connect_network(idx, lpszIp, nTCP, nUDP) == 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_init_port_eth, LOG_ERRNO, "connect_network(%s) fail",
                      lpszIp);
        result = VEM_NODEVICE;
    } else if (g_runTCPMon.load() == 0 && g_Exit.load() == 0) {
        if (pthread_create(&g_thTCPMon, nullptr, thread_network_mon, nullptr) != 0) {
            DbgLogMessage(LOG_LEVEL_ERROR, fn_init_port_eth, LOG_ERRNO,
                          "start network monitor fail");
            result = VEM_NODEVICE;
        } else {
            g_runTCPMon.store(1);
        }
    }
    if (result == VEM_SUCCESS) {
        pSem = createNetworkSemaphore(g_semEthName[idx], lpszIp);
        if (pSem == nullptr) {
            DbgLogMessage(LOG_LEVEL_ERROR, fn_init_port_eth, LOG_ERRNO, "Create semaphore failed");
            result = VEM_NODEVICE;
        }
    }
    if (result == VEM_SUCCESS) {
        g_pEthSem[idx].reset(pSem);
        g_InitEthSem[idx] = 1;
        std::snprintf(g_szIP[idx], VEM_ETH_IP_SIZE, "%s", lpszIp);
        g_tcp[idx] = nTCP;
        g_udp[idx] = nUDP;
    } else {
        guard.unlock();
        close_port_eth(idx);
    }
    DbgLogMessage(LOG_LEVEL_TRACE, fn_init_port_eth, LOG_END, "Init network port Exit=%d", result);
    return result;
}

void* thread_network_mon(void* pArg) {
    DbgLogMessage(LOG_LEVEL_WARN, fn_network_mon, LOG_WARN, "Start thread");
    while (g_Exit.load() == 0) {
        for (int idx = 0; idx < PORT_SLOT_MAX && g_Exit.load() == 0; ++idx) {
            // A look first: only a fully open slot whose connection is
            // idle is worth taking the port's lock for, so clients trying
            // the lock are not turned away every second.  A slot whose mutex
            // is busy is in use (a receive may wait there without limit):
            // it is not idle, and the other slots must not wait for it.
            char name[VEM_SEM_NAME_SIZE];
            {
                std::unique_lock<std::mutex> guard(g_csMutexPort[idx], std::try_to_lock);
                if (!guard.owns_lock() || g_InitEthSem[idx] != 1 || g_EthTCPHandle[idx] < 0 ||
                    std::difftime(std::time(nullptr), g_start_tm[idx]) <= VEM_ETH_IDLE_LIMIT_S) {
                    continue;
                }
                std::memcpy(name, g_semEthName[idx], sizeof name);
            }
            // The monitor's own handle on the port's semaphore: the slot's
            // may be closed by its user while the monitor waits on it.
            UniqueSem sem(create_semaphore(name));
            if (!sem || lock_sem(sem.get(), kMonitorLockMs) != VEM_SUCCESS) continue;
            {
                std::lock_guard<std::mutex> guard(g_csMutexPort[idx]);
                const int idle =
                    static_cast<int>(std::difftime(std::time(nullptr), g_start_tm[idx]));
                if (g_InitEthSem[idx] == 1 && g_EthTCPHandle[idx] >= 0 &&
                    std::strcmp(name, g_semEthName[idx]) == 0 && idle > VEM_ETH_IDLE_LIMIT_S) {
                    DbgLogMessage(LOG_LEVEL_DEBUG, fn_network_mon, LOG_DBG,
                                  "Found interface(%d) idle > %d sec", idx, idle);
                    if (reopen_eth_port(idx, g_szIP[idx], g_tcp[idx], g_udp[idx]) == VEM_SUCCESS) {
                        DbgLogMessage(LOG_LEVEL_TRACE, fn_network_mon, LOG_DBG,
                                      "Reconnect(%d) success", idx);
                    } else {
                        DbgLogMessage(LOG_LEVEL_WARN, fn_network_mon, LOG_WARN,
                                      "Reconnect(%d) failed", idx);
                    }
                }
            }
            unlock_sem(sem.get());
        }
        for (int i = 0; i < kMonitorPauseSteps && g_Exit.load() == 0; ++i)
            std::this_thread::sleep_for(kMonitorPauseStep);
    }
    DbgLogMessage(LOG_LEVEL_WARN, fn_network_mon, LOG_WARN, "Monitoring thread exit");
    return pArg;
}

void stop_TCP_monitoring() {
    g_Exit.store(1);
    // Join once: the flag makes a second stop (or a start after it) a no-op.
    if (g_runTCPMon.exchange(0) == 1) {
        const int rc = pthread_join(g_thTCPMon, nullptr);
        if (rc != 0) {
            DbgLogMessage(LOG_LEVEL_ERROR, fn_network_mon, LOG_ERRNO, "pthread_join fail, errno=%d",
                          rc);
        } else {
            DbgLogMessage(LOG_LEVEL_DEBUG, fn_network_mon, LOG_DBG, "TCP Monitoring Thread end");
        }
    }
}

int send_data_eth(int idx, unsigned char* pBySendData, int nSendSize, unsigned long* pdwSize,
                  unsigned long dwTimeout) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_send_data_eth, LOG_START, "Send network data Enter");
    if (bad_slot(fn_send_data_eth, idx)) return VEM_ILLEGAL;

    int result = VEM_ILLEGAL;
    {
        std::lock_guard<std::mutex> guard(g_csMutexPort[idx]);
        const int sock = g_EthTCPHandle[idx];
        if (sock < 0) {
            DbgLogMessage(LOG_LEVEL_ERROR, fn_send_data_eth, LOG_ERRNO, "Invalid port handle");
            result = VEM_NOINIT;
        } else if (pdwSize == nullptr || nSendSize < 0 ||
                   (pBySendData == nullptr && nSendSize > 0)) {
            DbgLogMessage(LOG_LEVEL_ERROR, fn_send_data_eth, LOG_ERRNO,
                          "Invalid send buffer(0x%08X, size=%d)", ptr_low32(pBySendData),
                          nSendSize);
        } else if (set_eth_timeout(sock, timeout_ms(dwTimeout), 1) == 0) {
            DbgLogMessage(LOG_LEVEL_ERROR, fn_send_data_eth, LOG_ERRNO, "set_eth_timeout fail");
        } else {
            *pdwSize = 0;
            DbgByteData(LOG_LEVEL_DUMP, fn_send_data_eth, 1, pBySendData, nSendSize);
            int err = 0;
            std::size_t sent;
            {
                SigpipeBlock noSigpipe;
                sent = vem::write_full(sock, pBySendData, static_cast<std::size_t>(nSendSize),
                                       &err);
            }
            *pdwSize = sent;
            if (sent == static_cast<std::size_t>(nSendSize)) {
                DbgLogMessage(LOG_LEVEL_DEBUG, fn_send_data_eth, LOG_DBG, "send success=%d",
                              nSendSize);
                g_start_tm[idx] = std::time(nullptr);
                result = VEM_SUCCESS;
            } else if (sent == 0) {
                DbgLogMessage(LOG_LEVEL_TRACE, fn_send_data_eth, LOG_ERRNO,
                              "write fail; ret=%d, error=%d", -1, err);
            } else {
                DbgLogMessage(LOG_LEVEL_WARN, fn_send_data_eth, LOG_WARN,
                              "write error size : %d (expect:%d)", static_cast<int>(sent),
                              nSendSize);
            }
        }
    }
    DbgLogMessage(LOG_LEVEL_TRACE, fn_send_data_eth, LOG_END, "Send network data Exit=%d", result);
    return result;
}

int receive_data_eth(int idx, unsigned char* pByReceiveData, int nReceiveSize,
                     unsigned long* pdwRecSize, unsigned long dwTimeout) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_receive_data_eth, LOG_START, "Receive network data enter");
    if (bad_slot(fn_receive_data_eth, idx)) return VEM_ILLEGAL;

    int result = VEM_ILLEGAL;
    {
        std::lock_guard<std::mutex> guard(g_csMutexPort[idx]);
        const int sock = g_EthTCPHandle[idx];
        if (sock < 0) {
            DbgLogMessage(LOG_LEVEL_ERROR, fn_receive_data_eth, LOG_ERRNO, "Invalid port handle");
            result = VEM_NOINIT;
        } else if (pdwRecSize == nullptr || nReceiveSize < 0 ||
                   (pByReceiveData == nullptr && nReceiveSize > 0)) {
            DbgLogMessage(LOG_LEVEL_ERROR, fn_receive_data_eth, LOG_ERRNO,
                          "Invalid receive buffer(0x%08X, size=%d)", ptr_low32(pByReceiveData),
                          nReceiveSize);
        } else if (set_eth_timeout(sock, timeout_ms(dwTimeout), 0) == 0) {
            DbgLogMessage(LOG_LEVEL_ERROR, fn_receive_data_eth, LOG_ERRNO, "set_eth_timeout fail");
        } else {
            *pdwRecSize = 0;
            ssize_t got;
            do {
                got = ::read(sock, pByReceiveData, static_cast<std::size_t>(nReceiveSize));
            } while (got < 0 && errno == EINTR);
            if (got < 0) {
                DbgLogMessage(LOG_LEVEL_TRACE, fn_receive_data_eth, LOG_ERRNO,
                              "read fail; ret=%d, error=%d", static_cast<int>(got), errno);
            } else {
                *pdwRecSize = static_cast<unsigned long>(got);
                DbgByteData(LOG_LEVEL_DUMP, fn_receive_data_eth, 0, pByReceiveData,
                            static_cast<int>(got));
                if (got == nReceiveSize) {
                    g_start_tm[idx] = std::time(nullptr);
                    result = VEM_SUCCESS;
                } else {
                    DbgLogMessage(LOG_LEVEL_WARN, fn_receive_data_eth, LOG_WARN,
                                  "read error size : %d (expect:%d)", static_cast<int>(got),
                                  nReceiveSize);
                }
            }
        }
    }
    DbgLogMessage(LOG_LEVEL_TRACE, fn_receive_data_eth, LOG_END, "Receive network data Exit=%d",
                  result);
    return result;
}

int rts_data_eth(int idx, unsigned char* pBySend, int nSend, unsigned char* pByRet, int nReturn,
                 unsigned long* pdwRead, unsigned long dwTimeout) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_rts_data_eth, LOG_START, "Receive network RTS data enter");
    if (bad_slot(fn_rts_data_eth, idx)) return VEM_ILLEGAL;
    int result;
    {
        std::lock_guard<std::mutex> guard(g_csMutexPort[idx]);
        result = send_recv_udp(g_EthUDPHandle[idx], &g_UdpAddr[idx], pBySend, nSend, pByRet,
                               nReturn, pdwRead, dwTimeout);
    }
    DbgLogMessage(LOG_LEVEL_TRACE, fn_rts_data_eth, LOG_END, "Receive network RTS data Exit=%d",
                  result);
    return result;
}

// ---- SNMP identity and discovery ----------------------------------------------

namespace {

// Appends the sub-identifiers of a BER OBJECT IDENTIFIER body to the dotted
// text in out (size bytes, already holding "1.3").  Each value is base-128,
// high bit set on every byte but its last; a value cut off at the end of
// the data is dropped, and a value whose text does not fit whole ends the
// text there.
void append_oid(char* out, std::size_t size, const unsigned char* data, std::size_t n) {
    std::size_t len = std::strlen(out);
    unsigned long value = 0;
    for (std::size_t i = 0; i < n; ++i) {
        value = value * 128 + (data[i] & 0x7FU);
        if ((data[i] & 0x80U) != 0) continue;
        char part[24];
        const int w = std::snprintf(part, sizeof part, ".%lu", value);
        if (w < 0 || len + static_cast<std::size_t>(w) >= size) return;
        std::memcpy(out + len, part, static_cast<std::size_t>(w) + 1);
        len += static_cast<std::size_t>(w);
        value = 0;
    }
}

}  // namespace

int send_rcv_snmp(const char* lpszIp, int nUDP, PETH_DEV_INFO pDevInfo, unsigned long dwTimeout) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_send_rcv_snmp, LOG_START, "Receive SNMP enter:%s",
                  text(lpszIp));
    if (pDevInfo == nullptr) return VEM_ILLEGAL;
    std::memset(pDevInfo, 0, sizeof *pDevInfo);

    struct sockaddr_in addr {};
    UniqueFd sock(connect_udp(lpszIp, nUDP, &addr));
    if (!sock) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_send_rcv_snmp, LOG_ERRNO, "Open UDP(%s) error=%d",
                      text(lpszIp), errno);
        return VEM_ILLEGAL;
    }

    int result = VEM_SUCCESS;
    unsigned char answer[kAnswerBufSize] = {};
    unsigned char request[VEM_SNMP_REQUEST_SIZE];
    unsigned long got = 0;
    std::memcpy(request, g_ObjectId, sizeof request);
    int rc = send_recv_udp(sock.get(), &addr, request, VEM_SNMP_REQUEST_SIZE, answer,
                           kObjectIdAnswerMax, &got, dwTimeout);
    if (rc != VEM_SUCCESS && got == 0) {
        DbgLogMessage(LOG_LEVEL_DEBUG, fn_send_rcv_snmp, LOG_DBG,
                      "sysObjectId send_recv_udp(%s) fail", lpszIp);
        result = rc;
    } else {
        std::snprintf(pDevInfo->strSysObjectId, sizeof pDevInfo->strSysObjectId, "1.3");
        if (got > kValueOffset + 1) {
            append_oid(pDevInfo->strSysObjectId, sizeof pDevInfo->strSysObjectId,
                       answer + kValueOffset + 1, got - (kValueOffset + 1));
        }
        got = 0;
        std::memset(answer, 0, sizeof answer);
        std::memcpy(request, g_SysDescr, sizeof request);
        rc = send_recv_udp(sock.get(), &addr, request, VEM_SNMP_REQUEST_SIZE, answer,
                           kSysDescrAnswerMax, &got, dwTimeout);
        if (rc != VEM_SUCCESS && got == 0) {
            DbgLogMessage(LOG_LEVEL_DEBUG, fn_send_rcv_snmp, LOG_DBG, "sysDescr send_recv_udp fail");
            result = rc;
        } else {
            // The buffer was zeroed: a shorter description ends at its first
            // zero byte, and the record's own zeros end a full one.
            std::memcpy(pDevInfo->strSysDescr, answer + kValueOffset, kSysDescrKept);
            std::snprintf(pDevInfo->strIpAdEntAddr, sizeof pDevInfo->strIpAdEntAddr, "%s", lpszIp);
        }
    }
    sock.reset();
    DbgLogMessage(LOG_LEVEL_TRACE, fn_send_rcv_snmp, LOG_END, "Receive SNMP Exit(%s)=%d",
                  text(lpszIp), result);
    return result;
}

void* threadScanPrinter(void* pArg) {
    if (pArg == nullptr) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_thread_scan, LOG_ERRNO, "Null argument");
        return nullptr;
    }
    const std::unique_ptr<char[]> ip(static_cast<char*>(pArg));
    DbgLogMessage(LOG_LEVEL_TRACE, fn_thread_scan, LOG_TRACE, "Start scan IP:%s", ip.get());
    std::unique_ptr<EthernetDeviceInfo> dev(new (std::nothrow) EthernetDeviceInfo{});
    if (!dev) return nullptr;
    if (send_rcv_snmp(ip.get(), VEM_SNMP_PORT, dev.get(), kScanTimeoutMs) != VEM_SUCCESS) {
        return nullptr;
    }
    DbgLogMessage(LOG_LEVEL_DEBUG, fn_thread_scan, LOG_TRACE, "Found device:%s", ip.get());
    return dev.release();
}

void convertIPtoValue(long nBinary, unsigned int* nBuffer) {
    if (nBuffer == nullptr) return;
    const std::uint32_t host = ntohl(static_cast<std::uint32_t>(nBinary));
    for (int i = 0; i < 4; ++i) nBuffer[i] = (host >> (24 - 8 * i)) & 0xFFU;
}

namespace {

// Starts threadScanPrinter on the address text in table entry n.  EAGAIN
// is retried, a second apart, up to kStartAttempts attempts in all.
// Returns 0 on success, else the last error (the string is freed then).
int start_scan_thread(ScanThreadTable& table, int n, std::unique_ptr<char[]> ip, unsigned int fn) {
    int rc = 0;
    for (int attempt = 1; attempt <= kStartAttempts; ++attempt) {
        rc = pthread_create(&table.th[n], nullptr, threadScanPrinter, ip.get());
        if (rc == 0) {
            (void)ip.release();  // the thread owns it now
            table.started[n] = true;
            return 0;
        }
        if (rc != EAGAIN) return rc;
        if (attempt < kStartAttempts) ::sleep(1);
    }
    DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "pthread_create fail:%d", rc);
    return rc;
}

std::unique_ptr<char[]> address_string() {
    std::unique_ptr<char[]> s(new (std::nothrow) char[kAddrStringSize]);
    if (s) s[0] = '\0';
    return s;
}

}  // namespace

int getPrinterByBroadcast(struct in_addr ip, struct in_addr mask, int nPort,
                          ScanThreadTable& table, int* pnLast) {
    if (pnLast == nullptr) return VEM_ILLEGAL;
    struct in_addr broad {};
    broad.s_addr = ip.s_addr | ~mask.s_addr;
    unsigned int oct[4];
    convertIPtoValue(static_cast<long>(broad.s_addr), oct);
    char ipText[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &ip, ipText, sizeof ipText);
    DbgLogMessage(LOG_LEVEL_DEBUG, fn_scan_prt_broad, LOG_TRACE,
                  "Ip:%s, Mask:0x%08X, Broadcast IP:%03d.%03d.%03d.%03d", ipText,
                  static_cast<unsigned int>(mask.s_addr), oct[0], oct[1], oct[2], oct[3]);

    UniqueFd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sock) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_scan_prt_broad, LOG_ERRNO, "Open UDP listener error=%d",
                      errno);
        return VEM_ILLEGAL;
    }
    struct timeval quiet {kBroadcastQuietS, 0};
    if (::setsockopt(sock.get(), SOL_SOCKET, SO_RCVTIMEO, &quiet, sizeof quiet) != 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_scan_prt_broad, LOG_ERRNO, "setsockopt(listen) error=%d",
                      errno);
        return VEM_ILLEGAL;
    }
    const int on = 1;
    if (::setsockopt(sock.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_scan_prt_broad, LOG_ERRNO, "setsockopt(broad) error=%d",
                      errno);
        return VEM_ILLEGAL;
    }
    struct sockaddr_in local {};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(static_cast<std::uint16_t>(nPort));
    // Port 0 lets the system pick one: the answers come back to it all the same.
    const bool portOk = nPort == 0 || valid_port(nPort);
    if (!portOk ||
        ::bind(sock.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_scan_prt_broad, LOG_ERRNO, "bind(listen) error=%d",
                      portOk ? errno : EINVAL);
        return VEM_ILLEGAL;
    }
    char broadText[INET_ADDRSTRLEN];
    std::snprintf(broadText, sizeof broadText, "%d.%d.%d.%d", oct[0], oct[1], oct[2], oct[3]);
    struct sockaddr_in dest {};
    dest.sin_family = AF_INET;
    dest.sin_port = htons(VEM_SNMP_PORT);
    ::inet_pton(AF_INET, broadText, &dest.sin_addr);
    if (::sendto(sock.get(), g_SysDescr, VEM_SNMP_REQUEST_SIZE, 0,
                 reinterpret_cast<const sockaddr*>(&dest), sizeof dest) != VEM_SNMP_REQUEST_SIZE) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_scan_prt_broad, LOG_ERRNO, "sendto(broad) error=%d",
                      errno);
        return VEM_ILLEGAL;
    }

    // Every datagram that comes back is a host worth asking; the answer's
    // contents are not examined here.
    int next = 1;
    for (;;) {
        unsigned char datagram[kAnswerBufSize];
        struct sockaddr_in from {};
        socklen_t fromLen = sizeof from;
        const ssize_t got = ::recvfrom(sock.get(), datagram, sizeof datagram, 0,
                                       reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (got < 0) {
            if (errno == EINTR) continue;
            DbgLogMessage(LOG_LEVEL_TRACE, fn_scan_prt_broad, LOG_TRACE,
                          "Stop listen client due timeout");
            return VEM_SUCCESS;
        }
        if (next >= VEM_SCAN_TABLE_SIZE) {
            DbgLogMessage(LOG_LEVEL_WARN, fn_scan_prt_broad, LOG_WARN,
                          "Thread table full (%d), stop listening", VEM_SCAN_TABLE_SIZE - 1);
            return VEM_SUCCESS;
        }
        std::unique_ptr<char[]> host = address_string();
        if (!host) {
            DbgLogMessage(LOG_LEVEL_ERROR, fn_scan_prt_broad, LOG_ERRNO, "Out of memory");
            return VEM_ILLEGAL;
        }
        ::inet_ntop(AF_INET, &from.sin_addr, host.get(), kAddrStringSize);
        DbgLogMessage(LOG_LEVEL_DEBUG, fn_scan_prt_broad, LOG_DBG, "Client IP address: %s",
                      host.get());
        if (start_scan_thread(table, next, std::move(host), fn_scan_prt_broad) == 0) {
            *pnLast = next;
            ++next;
        }
    }
}

int getPrinterByManualScan(struct in_addr ip, struct in_addr mask, ScanThreadTable& table,
                           int* pnSkip, int* pnLast) {
    if (pnSkip == nullptr || pnLast == nullptr) return VEM_ILLEGAL;
    unsigned int a[4];
    unsigned int m[4];
    convertIPtoValue(static_cast<long>(ip.s_addr), a);
    convertIPtoValue(static_cast<long>(mask.s_addr), m);
    char ipText[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &ip, ipText, sizeof ipText);
    DbgLogMessage(LOG_LEVEL_TRACE, fn_scan_prt_manual, LOG_TRACE,
                  "Ip:%03d.%03d.%03d.%03d(%s), Mask:%03d.%03d.%03d.%03d", a[0], a[1], a[2], a[3],
                  ipText, m[0], m[1], m[2], m[3]);
    if (m[0] != 255 || m[1] != 255 || m[2] != 255) {
        DbgLogMessage(LOG_LEVEL_WARN, fn_scan_prt_manual, LOG_WARN,
                      "Netmask more than CIDR /24, please using broadcast");
        return VEM_NO_SUPPORT;
    }
    const unsigned int first = a[3] & m[3];
    const unsigned int total = 255 - m[3];
    DbgLogMessage(LOG_LEVEL_DEBUG, fn_scan_prt_manual, LOG_DBG, "Possible IP:%d, start IP:%d.%d.%d.%d",
                  256 - m[3], a[0], a[1], a[2], first);

    // Entry n holds candidate first + n; n = 0 is the network address, and
    // the broadcast address (first + total) is never reached.
    for (unsigned int n = 1; n < total && n < VEM_SCAN_TABLE_SIZE; ++n) {
        const unsigned int host = first + n;
        if (host == a[3]) {
            *pnSkip = static_cast<int>(n);
            continue;
        }
        std::unique_ptr<char[]> text = address_string();
        if (!text) {
            DbgLogMessage(LOG_LEVEL_ERROR, fn_scan_prt_manual, LOG_ERRNO, "Out of memory");
            return VEM_ILLEGAL;
        }
        std::snprintf(text.get(), kAddrStringSize, "%u.%u.%u.%u", a[0], a[1], a[2], host);
        const int rc = start_scan_thread(table, static_cast<int>(n), std::move(text),
                                         fn_scan_prt_manual);
        if (rc == 0) {
            *pnLast = static_cast<int>(n);
        } else if (rc == EAGAIN) {
            return VEM_ILLEGAL;
        }
    }
    return VEM_SUCCESS;
}

int isDuplicatePrinter(PETH_DEV_INFO pList, unsigned int uiListItem, PETH_DEV_INFO pDev) {
    if (pList == nullptr || pDev == nullptr || uiListItem == 0) return 0;
    for (unsigned int i = 0; i < uiListItem; ++i) {
        if (std::strncmp(pList[i].strIpAdEntAddr, pDev->strIpAdEntAddr,
                         sizeof pDev->strIpAdEntAddr) == 0 &&
            std::strncmp(pList[i].strSysDescr, pDev->strSysDescr, sizeof pDev->strSysDescr) == 0) {
            return 1;
        }
    }
    return 0;
}

int scan_network_printer(PETH_DEV_INFO pEthDev, unsigned int nSize, unsigned int* pnCount,
                         int isBroad, int nListenPort) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_scan_ethernet, LOG_START, "Scan network printer enter");
    if (pnCount == nullptr || (pEthDev == nullptr && nSize > 0)) return VEM_ILLEGAL;
    *pnCount = 0;
    if (nListenPort < 0) nListenPort = VEM_BROADCAST_LISTEN_PORT;

    struct ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_scan_ethernet, LOG_ERRNO, "getifaddrs errno=%d", errno);
        return VEM_ILLEGAL;
    }
    const std::unique_ptr<struct ifaddrs, void (*)(struct ifaddrs*)> owner(list, ::freeifaddrs);

    unsigned int found = 0;
    // Reused for every interface; too big for a thread's stack to spare twice.
    const auto table = std::make_unique<ScanThreadTable>();
    for (struct ifaddrs* ifa = list; ifa != nullptr; ifa = ifa->ifa_next) {
        if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET ||
            ifa->ifa_netmask == nullptr || ifa->ifa_name == nullptr ||
            std::strstr(ifa->ifa_name, "lo") != nullptr) {
            continue;
        }
        DbgLogMessage(LOG_LEVEL_TRACE, fn_scan_ethernet, LOG_TRACE, "Interface Name:%s",
                      ifa->ifa_name);
        std::memset(table.get(), 0, sizeof *table);
        int skip = 0;
        int last = 0;
        const struct in_addr ip = reinterpret_cast<struct sockaddr_in*>(ifa->ifa_addr)->sin_addr;
        const struct in_addr mask =
            reinterpret_cast<struct sockaddr_in*>(ifa->ifa_netmask)->sin_addr;
        const int rc = isBroad == 1
                           ? getPrinterByBroadcast(ip, mask, nListenPort, *table, &last)
                           : getPrinterByManualScan(ip, mask, *table, &skip, &last);
        DbgLogMessage(LOG_LEVEL_DEBUG, fn_scan_ethernet, LOG_DBG,
                      "Prepare thread check, ret=%d, skip=%d, last=%d", rc, skip, last);
        if (rc == VEM_NO_SUPPORT) continue;

        // Every thread started is joined, whatever the scan's outcome.
        for (int n = 1; n <= last && n < VEM_SCAN_TABLE_SIZE; ++n) {
            if (!table->started[n] || n == skip) continue;
            void* ret = nullptr;
            if (pthread_join(table->th[n], &ret) != 0) continue;
            const std::unique_ptr<EthernetDeviceInfo> dev(static_cast<EthernetDeviceInfo*>(ret));
            if (dev && rc == VEM_SUCCESS && found < nSize &&
                isDuplicatePrinter(pEthDev, found, dev.get()) == 0) {
                pEthDev[found++] = *dev;
            }
        }
        if (rc != VEM_SUCCESS) {
            DbgLogMessage(LOG_LEVEL_DEBUG, fn_scan_ethernet, LOG_DBG,
                          "Current adapter fail scan printer: %s", ifa->ifa_name);
        }
    }
    *pnCount = found;
    DbgLogMessage(LOG_LEVEL_TRACE, fn_scan_ethernet, LOG_END, "Scan network printer Exit=%d, count=%u",
                  VEM_SUCCESS, found);
    return VEM_SUCCESS;
}
