// VEMBackendUri.cpp - reading a vemcupsintf device URI and opening the port
// it names.
//
//   vemcupsintf://usb/VID/PID[/SERIAL]               VID, PID hexadecimal
//   vemcupsintf://eth/ADDRESS/TCP/UDP                ports decimal
//   vemcupsintf://serial/BAUD/DATA/STOP/PARITY/FLOW/DEVICE
//
// The URI is split at every '/', empty pieces skipped; values are read by
// position after the first piece that begins with the connection's keyword.
// A serial device path is not a piece: it is the rest of the URI after the
// flow-control word (so /dev/ttyS0 keeps its slashes).
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "VEMBackend.h"
#include "VEMCupsCommon.h"
#include "VEMInterface.h"
#include "VEMLogging.h"

namespace {

constexpr unsigned kFnConnect = 102;
constexpr std::size_t kMaxPieces = 16;

// A piece of the URI: its text (terminated in the working copy) and where
// it ends in the original URI.
struct Piece {
    const char* text;
    std::size_t end;
};

// Splits the working copy at '/' in place.  Returns the number of pieces.
std::size_t splitPieces(char* work, std::span<Piece, kMaxPieces> pieces) {
    std::size_t n = 0;
    std::size_t i = 0;
    while (work[i] != '\0' && n < pieces.size()) {
        if (work[i] == '/') {
            ++i;
            continue;
        }
        const std::size_t start = i;
        while (work[i] != '\0' && work[i] != '/') ++i;
        const bool last = work[i] == '\0';
        work[i] = '\0';
        pieces[n++] = {work + start, i};
        if (last) break;
        ++i;
    }
    return n;
}

// Number in the given base at the start of the piece; 0 for none or junk
// (0 is never a valid value in a device URI).  Saturates instead of
// overflowing.
int pieceNumber(const char* text, int base) {
    if (text == nullptr) return 0;
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text, &end, base);
    if (end == text || v < 0) return 0;
    if (errno == ERANGE || v > INT_MAX) return INT_MAX;
    return static_cast<int>(v);
}

int wordIndex(const char* word, std::initializer_list<std::string_view> words) {
    if (word == nullptr) return -1;
    int i = 0;
    for (std::string_view w : words) {
        if (w == word) return i;
        ++i;
    }
    return -1;
}

const char* orNull(const char* s) { return s != nullptr ? s : "NULL"; }

}  // namespace

int parseBackendUri(int type, const char* uri, std::span<char, kUriMax> work, BackendUri* out) {
    *out = BackendUri{};
    out->type = type;
    if (uri == nullptr) return 0;
    const std::size_t length = std::strlen(uri);
    if (length >= kUriMax) {
        DbgLogMessage(LOG_LEVEL_ERROR, kFnConnect, LOG_ERRNO, "Buffer size too small (%d)",
                      static_cast<int>(length));
        return 0;
    }
    std::memcpy(work.data(), uri, length + 1);
    DbgLogMessage(LOG_LEVEL_TRACE, kFnConnect, LOG_START, "URI=%s", uri);

    const char* keyword = type == VEM_CUPS_IF_OWN_USB      ? "usb"
                          : type == VEM_CUPS_IF_OWN_ETH    ? "eth"
                          : type == VEM_CUPS_IF_OWN_SERIAL ? "serial"
                                                           : nullptr;
    if (keyword == nullptr) return 0;
    Piece pieces[kMaxPieces];
    const std::size_t n = splitPieces(work.data(), pieces);
    std::size_t k = 0;
    while (k < n && std::strncmp(pieces[k].text, keyword, std::strlen(keyword)) != 0) ++k;
    if (k == n) return 0;
    // The value pieces after the keyword; null where the URI has none.
    auto at = [&](std::size_t i) -> const char* { return k + i < n ? pieces[k + i].text : nullptr; };

    if (type == VEM_CUPS_IF_OWN_USB) {
        out->nVid = pieceNumber(at(1), 16);
        out->nPid = pieceNumber(at(2), 16);
        out->lpszSerialNo = at(3);
        DbgLogMessage(LOG_LEVEL_DEBUG, kFnConnect, LOG_DBG,
                      "USB interface vid=0x%04X, pid=0x%04X, serial=%s", out->nVid, out->nPid,
                      orNull(out->lpszSerialNo));
        if (out->nVid == 0 || out->nPid == 0) {
            DbgLogMessage(LOG_LEVEL_ERROR, kFnConnect, LOG_ERRNO, "USB backend url invalid!");
            return 0;
        }
        return 1;
    }

    if (type == VEM_CUPS_IF_OWN_ETH) {
        out->lpszIp = at(1);
        out->nTCP = pieceNumber(at(2), 10);
        out->nUDP = pieceNumber(at(3), 10);
        DbgLogMessage(LOG_LEVEL_DEBUG, kFnConnect, LOG_DBG,
                      "Ethernet interface ip=%s, tcp=0x%04X, upd=0x%04X", orNull(out->lpszIp),
                      out->nTCP, out->nUDP);
        if (out->lpszIp == nullptr || out->nTCP == 0 || out->nUDP == 0 || out->nTCP > 65535 ||
            out->nUDP > 65535) {
            DbgLogMessage(LOG_LEVEL_ERROR, kFnConnect, LOG_ERRNO, "Network backend url invalid!");
            return 0;
        }
        return 1;
    }

    // Serial.
    out->nBaudrate = pieceNumber(at(1), 10);
    out->nDataBit = pieceNumber(at(2), 10);
    out->nStopBitValue = pieceNumber(at(3), 10);
    out->lpszParity = at(4);
    out->lpszFlow = at(5);
    out->nParity = wordIndex(out->lpszParity, {"none", "odd", "even"});
    if (out->nParity < 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, kFnConnect, LOG_ERRNO, "Serial backend parity setting invalid!");
        return 0;
    }
    out->nFlowControl = wordIndex(out->lpszFlow, {"none", "dtrdsr", "xonxoff"});
    if (out->nFlowControl < 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, kFnConnect, LOG_ERRNO,
                      "Serial backend handshaking setting invalid!");
        return 0;
    }
    if (out->nStopBitValue != 1 && out->nStopBitValue != 2) {
        DbgLogMessage(LOG_LEVEL_ERROR, kFnConnect, LOG_ERRNO, "Serial backend stop bit(%d) invalid!",
                      out->nStopBitValue);
        return 0;
    }
    out->nStopBit = out->nStopBitValue == 1 ? 0 : 2;
    // The device path is the rest of the original URI after the flow word.
    // Taking it by the flow word's position (rather than searching for the
    // word's text) finds the right one even when parity and flow are both
    // "none".
    const std::size_t flowEnd = pieces[k + 5].end;
    if (flowEnd < length) out->lpszPort = uri + flowEnd;
    DbgLogMessage(LOG_LEVEL_DEBUG, kFnConnect, LOG_DBG,
                  "Serial interface port=%s, baud=%d, databit=%d, stop=%d(%d), parity=%s(%d), "
                  "flow=%s(%d)",
                  orNull(out->lpszPort), out->nBaudrate, out->nDataBit, out->nStopBitValue,
                  out->nStopBit, orNull(out->lpszParity), out->nParity, orNull(out->lpszFlow),
                  out->nFlowControl);
    if (out->lpszPort == nullptr || out->nBaudrate == 0 || out->nDataBit == 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, kFnConnect, LOG_ERRNO, "Serial backend url invalid!");
        return 0;
    }
    return 1;
}

int connectInterface(int type, const char* uri) {
    char work[kUriMax];
    BackendUri u;
    if (!parseBackendUri(type, uri, work, &u)) return 0;

    const char* kind = "USB";
    int rc = VEM_ILLEGAL;
    switch (type) {
        case VEM_CUPS_IF_OWN_USB:
            rc = init_usb(u.nVid, u.nPid, u.lpszSerialNo);
            break;
        case VEM_CUPS_IF_OWN_ETH:
            kind = "network";
            rc = init_network(u.lpszIp, u.nTCP, u.nUDP);
            break;
        default:
            kind = "serial";
            rc = init_serial(u.lpszPort, u.nBaudrate, u.nDataBit, u.nParity, u.nStopBit,
                             u.nFlowControl);
            break;
    }
    if (rc == VEM_SUCCESS) {
        DbgLogMessage(LOG_LEVEL_DEBUG, kFnConnect, LOG_DBG, "Connect %s success!", kind);
        return 1;
    }
    DbgLogMessage(LOG_LEVEL_DEBUG, kFnConnect, LOG_DBG, "Connect %s fail (%d)!", kind, rc);
    return 0;
}
