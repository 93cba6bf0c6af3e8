// Device-URI classification and the Ethernet status frame.
#include <cstring>

#include "VEMCupsCommon.h"
#include "VEMLogging.h"

namespace {
constexpr unsigned kFnIfType = 203;
constexpr unsigned kFnEthSeq = 204;
constexpr unsigned kFnRemoveSeq = 205;
constexpr int32_t kSeqWrapAbove = 0xFFFFFF;
}  // namespace

int getCUPSInterfaceType(const char* lpszUri) {
    if (lpszUri == nullptr || *lpszUri == '\0') {
        DbgLogMessage(LOG_LEVEL_ERROR, kFnIfType, LOG_ERRNO, "NULL URI path");
        return VEM_CUPS_IF_NONE;
    }
    auto has = [lpszUri](const char* word) { return std::strstr(lpszUri, word) != nullptr; };
    int type = VEM_CUPS_IF_NONE;
    if (has("vemcupsintf")) {
        if (has("usb"))
            type = VEM_CUPS_IF_OWN_USB;
        else if (has("eth"))
            type = VEM_CUPS_IF_OWN_ETH;
        else if (has("serial"))
            type = VEM_CUPS_IF_OWN_SERIAL;
    } else if (has("usb")) {
        type = VEM_CUPS_IF_OTHER_USB;
    } else if (has("serial")) {
        type = VEM_CUPS_IF_OTHER_SERIAL;
    } else if (has("socket")) {
        type = VEM_CUPS_IF_OTHER_SOCKET;
    }
    DbgLogMessage(LOG_LEVEL_DEBUG, kFnIfType, LOG_DBG, "Found interface type:%d (%s)", type,
                  lpszUri);
    return type;
}

int configureEthSeqNum(uint8_t* pDest, unsigned int nSize, const uint8_t* pCmd,
                       unsigned int nCmdLen, unsigned int* pnHeaderLen) {
    // Computed wide so a huge command length cannot wrap around.
    unsigned long long needed = static_cast<unsigned long long>(nCmdLen) + 4;
    if (pDest == nullptr || nSize < needed || (nCmdLen > 0 && pCmd == nullptr)) {
        DbgLogMessage(LOG_LEVEL_ERROR, kFnEthSeq, LOG_ERRNO, "Buffer size no enough (cmd:%d, buf:%d)",
                      static_cast<int>(needed), static_cast<int>(nSize));
        return -1;
    }
    const int32_t seq = g_SeqNumber;
    const uint32_t useq = static_cast<uint32_t>(seq);
    pDest[0] = static_cast<uint8_t>(useq);
    pDest[1] = static_cast<uint8_t>(useq >> 8);
    pDest[2] = static_cast<uint8_t>(useq >> 16);
    pDest[3] = static_cast<uint8_t>(useq >> 24);
    if (nCmdLen > 0)
        std::memcpy(pDest + 4, pCmd, nCmdLen);
    g_SeqNumber = seq > kSeqWrapAbove ? 1 : seq + 1;
    if (pnHeaderLen != nullptr)
        *pnHeaderLen = 4;
    return seq;
}

void removeEthSeq(uint8_t* pReply, unsigned int nLen, unsigned int nSent) {
    if (pReply == nullptr || nLen <= 3) {
        DbgLogMessage(LOG_LEVEL_WARN, kFnRemoveSeq, LOG_WARN, "Invalid seq size=%d",
                      static_cast<int>(nLen));
        return;
    }
    uint32_t got = static_cast<uint32_t>(pReply[0]) | static_cast<uint32_t>(pReply[1]) << 8 |
                   static_cast<uint32_t>(pReply[2]) << 16 | static_cast<uint32_t>(pReply[3]) << 24;
    if (got != nSent)
        DbgLogMessage(LOG_LEVEL_WARN, kFnRemoveSeq, LOG_WARN,
                      "Unmatch sequence number, receive=0x%08X, send=0x%08X", got, nSent);
    std::memmove(pReply, pReply + 4, nLen - 4);
}
