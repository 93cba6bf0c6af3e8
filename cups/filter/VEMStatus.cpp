// Waiting for the printer: asks for its real-time status before the
// document and each page, reports conditions to CUPS, and returns when it
// can print, has failed for good, or the job was cancelled.
//
// Two roads to the printer:
//   own backend (types 5-7)   CUPS side channel, CUPS_SC_CMD_GET_STATE
//   other backends (1, 2, 4)  command in the print data, reply on the back channel
//
// Side-channel request data          Side-channel reply data
//   0   mode (0 real-time, 1 data)     0   outcome (1 = exchange done)
//   1   reply length expected          1.. printer reply (reply length bytes)
//   2.. command bytes
#include <cups/sidechannel.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "VEMLogging.h"
#include "rastertovem_core.h"

namespace {

constexpr unsigned kFnReadWrite = 9;
constexpr unsigned kFnStatus = 10;
constexpr unsigned kFnReadRts = 12;
constexpr int kReplyMax = 6;
constexpr int kOfflineCountdown = 10;
constexpr uint8_t kOutcomeDone = 1;

using Clock = std::chrono::steady_clock;

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// The printer-state reasons the filter reports.  CUPS keeps a reason a
// filter added ("+") after the job has ended, and "paused" among them keeps
// the queue stopped, so the job takes back every reason it still holds
// when it ends (withdrawPrinterStates).
enum Reason : int {
    R_NONE = -1,
    R_SHUTDOWN,
    R_COVER_OPEN,
    R_PAUSED,
    R_CUTTER,
    R_STOPPED,
    R_MEDIA_LOW,
    R_MEDIA_EMPTY,
    R_MEDIA_JAM,
    R_COUNT
};
constexpr const char* kReasonName[R_COUNT] = {
    "shutdown",         "cover-open", "paused",      "die-cutter-motor-failure",
    "printer-stopped",  "media-low",  "media-empty", "media-jam",
};

// Writes "STATE: +reason" or "STATE: -reason" and remembers which are set.
void reportState(Reason r, bool set) {
    vemCupsMessage("STATE: %s%s\n", set ? "+" : "-", kReasonName[r]);
    const uint32_t bit = 1u << r;
    g_uiReasonsSet = set ? (g_uiReasonsSet | bit) : (g_uiReasonsSet & ~bit);
}

// What each status index means to CUPS.  Several indices may share one
// reason ("paused"): it is withdrawn only when none of them is set.
struct StatusMeaning {
    Reason reason;        // R_NONE: not reported
    const char* setMsg;   // logged when set, or null
    const char* clearMsg; // logged when cleared, or null
    bool stops;           // printing waits while set
};
constexpr StatusMeaning kMeaning[12] = {
    {R_NONE, nullptr, nullptr, false},
    {R_COVER_OPEN, "Cover open!", "Cover close", true},
    {R_NONE, nullptr, nullptr, false},
    {R_PAUSED, "Printer other error(%d)!", "No other error(%d)", true},
    {R_CUTTER, "Cutter problem!", "Cutter ok", true},
    {R_STOPPED, "Unrecoverable error!", nullptr, true},
    {R_PAUSED, "Printer other error(%d)!", "No other error(%d)", true},
    {R_MEDIA_LOW, nullptr, "No paper low", false},
    {R_MEDIA_EMPTY, "Paper end!", "No paper end", true},
    {R_PAUSED, "Recoverable error!", "No recoverable error", true},
    {R_NONE, nullptr, nullptr, false},
    {R_MEDIA_JAM, "Paper jam!", "No paper jam", true},
};

enum : int {
    IDX_COVER = 1,
    IDX_CUTTER = 4,
    IDX_UNRECOVERABLE = 5,
    IDX_NEAR_END = 7,
    IDX_PAPER_END = 8,
    IDX_RECOVERABLE = 9,
    IDX_JAM = 11
};

// Waits up to `ms` (-1: no limit) for the back channel to become readable:
// >0 readable (data or end), 0 time out, <0 error.  libcups' own wait
// falls through to a blocking read when its time runs out, so the read is
// only made once this says there is something to read.
int backChannelReady(int ms) {
    pollfd pfd{CUPS_BC_FD, POLLIN, 0};
    int rc = ::poll(&pfd, 1, ms);
    if (rc > 0 && (pfd.revents & POLLNVAL))
        return -1;
    return rc;
}

// Drops whatever answers are still waiting on the back channel (a late
// reply to an earlier request must not be taken for this one).
void drainBackChannel() {
    char junk[256];
    for (int i = 0; i < 64; ++i)
        if (backChannelReady(0) <= 0 || cupsBackChannelRead(junk, sizeof junk, 0.0) <= 0)
            return;
}

// Same for the side channel: an answer that arrived after its request had
// timed out is dropped before the next request goes out.
void drainSideChannel() {
    for (int i = 0; i < 16; ++i) {
        pollfd pfd{CUPS_SC_FD, POLLIN, 0};
        if (::poll(&pfd, 1, 0) <= 0 || !(pfd.revents & POLLIN))
            return;
        cups_sc_command_t command = CUPS_SC_CMD_NONE;
        cups_sc_status_t status = CUPS_SC_STATUS_NONE;
        char junk[64];
        int len = sizeof junk;
        if (cupsSideChannelRead(&command, &status, junk, &len, 0.0) != 0)
            return;
    }
}

}  // namespace

int readWriteCmd(const uint8_t* pCmd, int nCmdLen, uint8_t* pReply, int nReplyLen, int nTimeoutMs) {
    if (pReply != nullptr && nReplyLen > 0)
        drainBackChannel();
    if (pCmd != nullptr && nCmdLen > 0 && !sendToPrinter(pCmd, static_cast<size_t>(nCmdLen)))
        return 0;
    if (pReply == nullptr || nReplyLen <= 0)
        return 1;

    // Read until the whole reply is in or the time limit has passed.
    const bool forever = nTimeoutMs == -1;
    const auto deadline = Clock::now() + std::chrono::milliseconds(nTimeoutMs > 0 ? nTimeoutMs : 0);
    int got = 0;
    while (got < nReplyLen) {
        double seconds = -1.0;
        if (!forever) {
            auto left = std::chrono::duration<double>(deadline - Clock::now()).count();
            seconds = left > 0 ? left : 0.0;
        }
        errno = 0;
        const int ready = backChannelReady(seconds < 0 ? -1 : static_cast<int>(seconds * 1000.0));
        if (ready < 0 && errno == EINTR && !g_bTerminate)
            continue;
        if (ready == 0)
            break;  // time limit reached
        const ssize_t n = ready < 0 ? -1
                                    : cupsBackChannelRead(reinterpret_cast<char*>(pReply) + got,
                                                          static_cast<size_t>(nReplyLen - got), 0.0);
        if (n > 0) {
            got += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR && !g_bTerminate)
            continue;
        // The back channel is closed or missing: wait out the time limit
        // all the same, so the status loop never spins.
        if (!forever) {
            auto left = deadline - Clock::now();
            if (left > Clock::duration::zero())
                std::this_thread::sleep_for(left);
        }
        break;
    }
    if (got < nReplyLen)
        return 0;
    DbgByteData(LOG_LEVEL_DUMP, kFnReadWrite, 0, pReply, nReplyLen);
    return 1;
}

int block_read_rts(uint8_t bMode, const uint8_t* pCmd, int nCmdLen, uint8_t* pReply,
                   int nReplyLen, int nTimeoutMs) {
    if (g_uiInterface == VEM_CUPS_IF_OTHER_USB || g_uiInterface == VEM_CUPS_IF_OTHER_SERIAL ||
        g_uiInterface == VEM_CUPS_IF_OTHER_SOCKET)
        return readWriteCmd(pCmd, nCmdLen, pReply, nReplyLen, nTimeoutMs);
    if (g_uiInterface < 5 || g_uiInterface > 7 || nCmdLen < 0 || nCmdLen > 10 || nReplyLen < 0 ||
        nReplyLen > 9)
        return 0;

    drainSideChannel();
    char request[20] = {};
    request[0] = static_cast<char>(bMode);
    request[1] = static_cast<char>(nReplyLen);
    if (nCmdLen > 0)
        std::memcpy(request + 2, pCmd, static_cast<size_t>(nCmdLen));
    if (cupsSideChannelWrite(CUPS_SC_CMD_GET_STATE, CUPS_SC_STATUS_NONE, request, nCmdLen + 2, 1.0) !=
        0) {
        DbgLogMessage(LOG_LEVEL_ERROR, kFnReadRts, LOG_ERRNO, "cupsSideChannelWrite error!");
        return 0;
    }

    char answer[10] = {};
    int len = nReplyLen + 1;
    cups_sc_command_t command = CUPS_SC_CMD_NONE;
    cups_sc_status_t status = CUPS_SC_STATUS_NONE;
    const int rc = cupsSideChannelRead(&command, &status, answer, &len, 1.0);
    // Only an exchange the backend reports as done is a printer's answer.
    if (rc == 0 && command == CUPS_SC_CMD_GET_STATE && len == nReplyLen + 1 &&
        static_cast<uint8_t>(answer[0]) == kOutcomeDone) {
        DbgByteData(LOG_LEVEL_DUMP, kFnReadRts, 0, reinterpret_cast<uint8_t*>(answer), len);
        std::memcpy(pReply, answer + 1, static_cast<size_t>(nReplyLen));
        return 1;
    }
    const uint32_t failure = (static_cast<uint32_t>(status) << 24) +
                             (static_cast<uint32_t>(command) << 16) + static_cast<uint32_t>(len & 0xFFFF);
    if (failure != g_uiPrevData) {
        DbgLogMessage(LOG_LEVEL_DEBUG, kFnReadRts, LOG_DBG,
                      "cupsSideChannelRead fail (rc=%d, status=%d, size=%d)!", static_cast<int>(command),
                      static_cast<int>(status), len);
        g_uiPrevData = failure;
    }
    return 0;
}

int isPrinterOK() {
    DbgLogMessage(LOG_LEVEL_TRACE, kFnStatus, LOG_START, "Start check printer status");
    reportState(R_SHUTDOWN, false);

    int countdown = kOfflineCountdown;
    bool offline = false;
    const VemPrinterCap& cap = *g_pHWCap;
    const int replyLen = cap.nStatusReplyLen > 0 && cap.nStatusReplyLen <= kReplyMax
                             ? cap.nStatusReplyLen
                             : kReplyMax;

    // A printer whose data stream has no reader any more never gets ready.
    while (!g_bTerminate && !g_bPrinterGone) {
        uint8_t reply[kReplyMax] = {};
        if (!block_read_rts(cap.bStatusMode, cap.abStatusCmd, cap.nStatusCmdLen, reply, replyLen,
                            1000)) {
            if (countdown > 0) {
                --countdown;
            } else if (!offline) {
                vemCupsMessage("INFO: Waiting printer online\n");
                reportState(R_SHUTDOWN, true);
                DbgLogMessage(LOG_LEVEL_ERROR, kFnStatus, LOG_ERRNO, "printer is offline");
                offline = true;
            }
            if (g_uiInterface > 4)
                sleepMs(100);
            continue;
        }
        if (offline) {
            vemCupsMessage("INFO: \n");
            reportState(R_SHUTDOWN, false);
            countdown = kOfflineCountdown;
            offline = false;
        }

        // Bits of index i in a reply.
        auto masked = [&](const uint8_t* r, int i) {
            const VemStatusBit& sb = cap.aStatusBits[i];
            return r[sb.nByte >= 0 && sb.nByte < replyLen ? sb.nByte : 0] & sb.nMask;
        };
        // A reason is held while any index reporting through it is set.
        bool held[R_COUNT] = {};
        for (int i = 0; i < 12; ++i)
            if (kMeaning[i].reason != R_NONE && masked(reply, i) != 0)
                held[kMeaning[i].reason] = true;

        bool ready = true, changed = false, paperLow = false;
        bool reportedSet[12] = {};
        for (int i = 0; i < 12; ++i) {
            const int now = masked(reply, i);
            const int before = masked(g_RTSPrev, i);
            const bool set = now != 0;
            bool report = g_isFirst != 0;
            if (now != before) {
                report = true;
                changed = true;
            }
            const StatusMeaning& m = kMeaning[i];
            // A newly reported near end gets its line after the loop, and
            // only if no paper end came with it.
            const bool deferred = set && i == IDX_NEAR_END;
            if (report && m.reason != R_NONE && !deferred) {
                if (set || !held[m.reason])
                    reportState(m.reason, set);
                const char* msg = set ? m.setMsg : m.clearMsg;
                if (msg != nullptr)
                    DbgLogMessage(i == IDX_UNRECOVERABLE ? LOG_LEVEL_ERROR
                                  : set                  ? LOG_LEVEL_DEBUG
                                                         : LOG_LEVEL_TRACE,
                                  kFnStatus, i == IDX_UNRECOVERABLE ? LOG_ERRNO : LOG_DBG, msg, i);
                if (set)
                    reportedSet[i] = true;
            }
            if (set && m.stops)
                ready = false;
            if (set && i == IDX_UNRECOVERABLE) {
                vemCupsMessage("ERROR: Printer Unrecoverable error\n");
                return 0;
            }
            if (set && report && i == IDX_NEAR_END)
                paperLow = true;
            if (set && report && i == IDX_PAPER_END)
                paperLow = false;
        }
        if (paperLow) {
            reportState(R_MEDIA_LOW, true);
            DbgLogMessage(LOG_LEVEL_DEBUG, kFnStatus, LOG_DBG, "Paper low!");
        }
        std::memcpy(g_RTSPrev, reply, static_cast<size_t>(replyLen));
        g_isFirst = 0;

        if (ready) {
            vemCupsMessage("INFO: \n");
            DbgLogMessage(LOG_LEVEL_TRACE, kFnStatus, LOG_END, "Printer can perform printing...");
            return 1;
        }
        if (changed) {
            if (reportedSet[IDX_CUTTER])
                vemCupsMessage("INFO: Cutter problem\n");
            else if (reportedSet[IDX_JAM])
                vemCupsMessage("INFO: Paper jam\n");
            else if (reportedSet[IDX_COVER])
                vemCupsMessage("INFO: Cover open\n");
            else if (reportedSet[IDX_PAPER_END])
                vemCupsMessage("INFO: Paper empty\n");
            else if (reportedSet[IDX_RECOVERABLE])
                vemCupsMessage("INFO: Recoverable error\n");
            else
                vemCupsMessage("INFO: Printer in error\n");
        }
        sleepMs(100);
    }
    DbgLogMessage(LOG_LEVEL_ERROR, kFnStatus, LOG_ERRNO, "Printing status stop...");
    return 0;
}

void withdrawPrinterStates() {
    for (int r = 0; r < R_COUNT; ++r) {
        if (g_uiReasonsSet & (1u << r)) {
            DbgLogMessage(LOG_LEVEL_TRACE, kFnStatus, LOG_DBG, "Withdraw state %s", kReasonName[r]);
            reportState(static_cast<Reason>(r), false);
        }
    }
}
