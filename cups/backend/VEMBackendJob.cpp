// VEMBackendJob.cpp - copying a job from the filter to the printer, and the
// side-channel thread that answers the filter's status requests.
//
// The job ends when the input has ended and nothing has moved for 40 idle
// steps (about 2 s after the filter's last data or status request), on
// SIGTERM, or on an error.  Delivery never leaves a hole in the command
// stream: a block that cannot be delivered ends the job as failed, since
// the printer would read the rest of a raster band as commands.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include <cups/sidechannel.h>

#include "VEMBackend.h"
#include "VEMCupsCommon.h"
#include "VEMInterface.h"
#include "VEMLogging.h"

std::atomic<int> g_uiConnect{VEM_CONN_NOT_YET};
unsigned int g_uiIdle = kIdleSteps;
pthread_mutex_t g_LockIdle = PTHREAD_MUTEX_INITIALIZER;
volatile sig_atomic_t g_bTerminate = 0;
std::atomic<int> g_stopSC{0};
std::atomic<bool> g_scRunning{false};

namespace {

constexpr unsigned kFnMain = 100;
constexpr unsigned kFnSideChannel = 101;
constexpr unsigned kFnConnect = 102;

constexpr int kDeliveryTries = 20;
constexpr unsigned long kDataLockMs = 3000;
constexpr unsigned long kStatusLockMs = 1000;
constexpr unsigned long kStatusTimeoutMs = 1000;
constexpr int kFailureCountdown = 40;

// Outcome byte of a status answer.
constexpr std::uint8_t kNotConnected = 0;
constexpr std::uint8_t kDone = 1;
constexpr std::uint8_t kNoLock = 2;
constexpr std::uint8_t kFailed = 4;

// Longest command a status request may carry, and longest reply it may ask
// for (the answer holds the outcome byte and at most 49 reply bytes).
constexpr std::size_t kCmdMax = 10;
constexpr std::size_t kSeqHeader = 4;
constexpr int kReplyMax = 49;

void sleepMs(int ms) { ::usleep(static_cast<useconds_t>(ms) * 1000U); }

// Opens the connection, again and again 50 ms apart, until it succeeds or
// SIGTERM arrives.  Returns true when connected.
bool connectUntilDone(int type, const char* uri) {
    if (g_uiConnect == VEM_CONN_BROKEN) init_close();
    g_uiConnect = VEM_CONN_CONNECTING;
    DbgLogMessage(LOG_LEVEL_DEBUG, kFnConnect, LOG_DBG, "Connecting to printer...");
    std::fputs("STATE: +connecting-to-device\n", stderr);
    while (!connectInterface(type, uri)) {
        if (g_bTerminate) return false;
        sleepMs(50);
        if (g_bTerminate) return false;
    }
    g_uiConnect = VEM_CONN_CONNECTED;
    std::fputs("STATE: -connecting-to-device\n", stderr);
    return true;
}

}  // namespace

unsigned int updateIdleFlag(int reset) {
    pthread_mutex_lock(&g_LockIdle);
    if (reset)
        g_uiIdle = kIdleSteps;
    else if (g_uiIdle > 0)
        --g_uiIdle;
    const unsigned int left = g_uiIdle;
    pthread_mutex_unlock(&g_LockIdle);
    return left;
}

bool deliverBlock(std::span<const std::uint8_t> block, std::uint32_t* pTotalSent) {
    std::size_t offset = 0;
    int failures = 0;
    while (offset < block.size()) {
        const std::size_t remaining = block.size() - offset;
        // 10 ms a byte, at least a second: a slow serial printer takes a
        // big block at its own pace.
        const unsigned long timeout = std::max<unsigned long>(1000UL, 10UL * remaining);
        unsigned long sent = 0;
        if (intf_lock(kDataLockMs) == VEM_SUCCESS) {
            if (intf_send_data(const_cast<std::uint8_t*>(block.data() + offset),
                               static_cast<int>(remaining), &sent, timeout) != VEM_SUCCESS)
                intf_reconnect();
            intf_unlock();
        }
        // A library that claims more than it was given cannot be trusted
        // with the offset.
        sent = std::min<unsigned long>(sent, remaining);
        if (sent > 0) {
            *pTotalSent += static_cast<std::uint32_t>(sent);
            offset += sent;
            continue;
        }
        if (++failures >= kDeliveryTries) {
            DbgLogMessage(LOG_LEVEL_ERROR, kFnMain, LOG_ERRNO, "Send block data fail=%d",
                          static_cast<int>(remaining));
            return false;
        }
        if (g_bTerminate) return false;
        sleepMs(100);
    }
    return true;
}

int runJob(int type, const char* uri, int input, std::uint32_t* pReceived) {
    std::vector<std::uint8_t> buffer(kBlockSize);
    std::uint32_t sent = 0;
    int result = 1;
    bool lastReadData = false;
    *pReceived = 0;

    while (g_scRunning && !g_bTerminate) {
        // (Re)connect when the connection is not up.
        if (g_uiConnect != VEM_CONN_CONNECTED && !connectUntilDone(type, uri)) break;

        // Wait up to 100 ms for the filter.
        pollfd pfd{input, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, 100);
        if (ready < 0 && errno != EINTR) {
            DbgLogMessage(LOG_LEVEL_ERROR, kFnMain, LOG_ERRNO, "select(p) problem:%d", errno);
            break;
        }
        if (ready > 0) {
            const ssize_t n = ::read(input, buffer.data(), buffer.size());
            if (n < 0 && errno != EAGAIN && errno != EINTR) {
                DbgLogMessage(LOG_LEVEL_ERROR, kFnMain, LOG_ERRNO, "Read from filter error:%d",
                              errno);
                break;
            }
            lastReadData = n > 0;
            if (n > 0) {
                DbgLogMessage(LOG_LEVEL_TRACE, kFnMain, LOG_TRACE, "Backend get from filter=%d",
                              static_cast<int>(n));
                updateIdleFlag(1);
                *pReceived += static_cast<std::uint32_t>(n);
                if (!deliverBlock(std::span(buffer.data(), static_cast<std::size_t>(n)), &sent))
                    break;  // never send what follows a hole
            }
        }
        if (lastReadData) continue;

        // Idle step.
        const unsigned int left = updateIdleFlag(0);
        sleepMs(50);
        if (left > 0) continue;
        if (*pReceived != sent) {
            // Data the printer never got: the job did not print.
            DbgLogMessage(LOG_LEVEL_ERROR, kFnMain, LOG_ERRNO,
                          "Total receive and send not match (receive=%d, send=%d)",
                          static_cast<int>(*pReceived), static_cast<int>(sent));
            break;
        }
        result = 0;
        DbgLogMessage(LOG_LEVEL_DEBUG, kFnMain, LOG_DBG, "Break due idle!");
        break;
    }
    if (g_bTerminate) DbgLogMessage(LOG_LEVEL_ERROR, kFnConnect, LOG_ERRNO, "Terminate signal!");
    return result;
}

ScAnswer answerSideChannel(int type, int command, std::span<const std::uint8_t> request,
                           int* failures) {
    ScAnswer a;
    if (command == CUPS_SC_CMD_NONE) return a;
    if (command >= CUPS_SC_CMD_SOFT_RESET && command <= CUPS_SC_CMD_GET_DEVICE_ID) {
        DbgLogMessage(LOG_LEVEL_DEBUG, kFnSideChannel, LOG_DBG, "Command (%d) not implement",
                      command);
        a.send = true;
        a.status = CUPS_SC_STATUS_NOT_IMPLEMENTED;
        return a;
    }
    if (command != CUPS_SC_CMD_GET_STATE) return a;

    a.send = true;
    a.length = 1;
    if (g_uiConnect != VEM_CONN_CONNECTED) {
        a.status = CUPS_SC_STATUS_TIMEOUT;
        a.data[0] = kNotConnected;
        return a;
    }

    a.status = CUPS_SC_STATUS_IO_ERROR;
    a.data[0] = kDone;
    // A request the filter never sends is refused before anything reaches
    // the printer: no mode and length, a command that does not fit the send
    // buffer, or more reply bytes than an answer holds.
    const bool realtime = request.size() >= 2 && request[0] == 0;
    const bool framed = realtime && type == VEM_CUPS_IF_OWN_ETH;
    const std::size_t cmdMax = framed ? kCmdMax - kSeqHeader : kCmdMax;
    if (request.size() < 2 || request.size() - 2 > cmdMax || request[1] > kReplyMax) {
        DbgLogMessage(LOG_LEVEL_ERROR, kFnSideChannel, LOG_ERRNO,
                      "Invalid status request (size:%d)", static_cast<int>(request.size()));
        a.data[0] = kFailed;
        return a;
    }
    const int expected = request[1];
    const auto cmd = request.subspan(2);

    std::uint8_t send[kCmdMax] = {};
    unsigned int sendLen = static_cast<unsigned int>(cmd.size());
    unsigned int header = 0;
    int seq = 0;
    if (framed) {
        seq = configureEthSeqNum(send, sizeof send, cmd.data(), sendLen, &header);
        sendLen += header;
    } else if (!cmd.empty()) {
        std::memcpy(send, cmd.data(), cmd.size());
    }

    std::uint8_t reply[kReplyMax + kSeqHeader] = {};
    unsigned long got = 0;
    bool ok = false;
    if (intf_lock(kStatusLockMs) != VEM_SUCCESS) {
        a.data[0] = kNoLock;
    } else {
        if (realtime) {
            ok = intf_send_rtc(send, static_cast<int>(sendLen), reply,
                               expected + static_cast<int>(header), &got,
                               kStatusTimeoutMs) == VEM_SUCCESS;
            got = std::min<unsigned long>(got, static_cast<unsigned long>(expected) + header);
            if (ok && header > 0 && got > header) {
                removeEthSeq(reply, static_cast<unsigned int>(got), static_cast<unsigned int>(seq));
                got -= header;
            }
        } else {
            unsigned long out = 0;
            ok = intf_send_data(send, static_cast<int>(sendLen), &out, kStatusTimeoutMs) ==
                     VEM_SUCCESS &&
                 out == sendLen;
            if (ok)
                ok = intf_rcv_data(reply, expected, &got, kStatusTimeoutMs) == VEM_SUCCESS;
            got = std::min<unsigned long>(got, static_cast<unsigned long>(expected));
        }
        if (ok) {
            a.status = CUPS_SC_STATUS_OK;
            std::memcpy(a.data + 1, reply, got);
            a.length = 1 + static_cast<int>(got);
            *failures = kFailureCountdown;
        } else {
            a.data[0] = kFailed;
        }
        intf_unlock();
    }
    if (a.status != CUPS_SC_STATUS_OK && *failures > 0 && --*failures == 0)
        g_uiConnect = VEM_CONN_BROKEN;  // the main loop reopens the connection
    return a;
}

void* sidechannel_thread(void* arg) {
    DbgLogMessage(LOG_LEVEL_TRACE, kFnSideChannel, LOG_START,
                  "Start side channel thread, interface=%d", arg ? *static_cast<int*>(arg) : 0);
    if (arg == nullptr) {
        DbgLogMessage(LOG_LEVEL_ERROR, kFnSideChannel, LOG_ERRNO, "Invalid parameter");
        g_scRunning = false;
        return nullptr;
    }
    const int type = *static_cast<int*>(arg);
    int failures = kFailureCountdown;
    while (!g_stopSC && !g_bTerminate) {
        char request[2048] = {};
        int len = sizeof request;
        cups_sc_command_t command = CUPS_SC_CMD_NONE;
        cups_sc_status_t status = CUPS_SC_STATUS_NONE;
        if (cupsSideChannelRead(&command, &status, request, &len, 1.0) != 0) {
            sleepMs(100);
            continue;
        }
        if (status == CUPS_SC_STATUS_TIMEOUT) {
            DbgLogMessage(LOG_LEVEL_DEBUG, kFnSideChannel, LOG_DBG, "cupsSideChannelRead status:%d",
                          static_cast<int>(status));
            continue;
        }
        DbgLogMessage(LOG_LEVEL_DEBUG, kFnSideChannel, LOG_DBG,
                      "Side channel get command:%d (size:%d)", static_cast<int>(command), len);
        updateIdleFlag(1);
        const auto data = std::span(reinterpret_cast<const std::uint8_t*>(request),
                                    static_cast<std::size_t>(std::clamp(len, 0, 2048)));
        const ScAnswer a = answerSideChannel(type, command, data, &failures);
        if (a.send)
            cupsSideChannelWrite(command, static_cast<cups_sc_status_t>(a.status),
                                 reinterpret_cast<const char*>(a.data), a.length, 1.0);
    }
    DbgLogMessage(LOG_LEVEL_TRACE, kFnSideChannel, LOG_END, "End side channel thread");
    g_scRunning = false;
    return nullptr;
}
