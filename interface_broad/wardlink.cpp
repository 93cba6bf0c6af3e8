// wardlink.cpp - the exported front of libwardlink: argument checks, entry
// and exit log lines, and the choice between direct mode (VEMLibraryIntf)
// and service mode (VEMServiceIntf).  Also the library's load and unload
// steps.  Only the operations of VEMInterface.h are exported
// (wardlink.map); everything else is local to the library.
#include "wardlink.h"

#include <cstring>

#include "VEMCmn.h"
#include "VEMDiscovery.h"
#include "VEMInterface.h"
#include "VEMLibraryIntf.h"
#include "VEMServiceIntf.h"

// ---- Process state (see wardlink.h) ----------------------------------------
std::uint32_t g_IntfType = SHARE_PORT_LIB;  // the mode
std::uint32_t g_InterfaceType = INTF_NONE;  // the open port
std::int32_t g_lockSem = 0;                 // our intf_lock not yet undone
const std::uint32_t g_major = 3, g_minor = 0, g_build = 0, g_private = 0;
std::mutex cs_rw;
std::mutex cs_mutex;

namespace {

const char* text(const char* s) {
    return s != nullptr ? s : "";
}

bool empty(const char* s) {
    return s == nullptr || *s == '\0';
}

// The refusals shared by the open operations, in their order: a bad name
// first, then a port already open.  0 when the open may go on.
int open_refused(unsigned int fn, bool badName) {
    if (badName) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "Invalid parameter");
        return VEM_ILLEGAL;
    }
    if (g_InterfaceType != INTF_NONE) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "Already initialize(interface=%d)",
                      static_cast<int>(g_InterfaceType));
        return VEM_INUSED;
    }
    return VEM_SUCCESS;
}

// The refusal of every port operation while no port is open.
bool not_open(unsigned int fn) {
    if (g_InterfaceType != INTF_NONE) return false;
    DbgLogMessage(LOG_LEVEL_TRACE, fn, LOG_WARN, "No init");
    return true;
}

// Runs the operation of the mode and writes the exit line.
template <typename Svr, typename Lib>
int dispatch(unsigned int fn, const char* exitFmt, Svr svr, Lib lib) {
    const int rc = service_mode() ? svr() : lib();
    DbgLogMessage(LOG_LEVEL_TRACE, fn, LOG_END, exitFmt, rc);
    return rc;
}

}  // namespace

// ---- Load and unload -------------------------------------------------------

__attribute__((constructor)) static void wardlink_load() {
    // The two process mutexes are ready before any code runs (constant
    // initialisation); only the drivers' slots need their reset.
    init_intf_buf();
}

__attribute__((destructor)) static void wardlink_unload() {
    DbgLogMessage(LOG_LEVEL_ERROR, fn_lib_destructor, LOG_END,
                  "Common Interface Library is exited, = V%d.%d.%d.%d", g_major, g_minor, g_build,
                  g_private);
    if (g_lockSem == 1) (void)intf_unlock();
    stop_network_monitor();
    (void)init_close();
    close_lib_pipe();
}

// ---- Mode and log settings -------------------------------------------------

extern "C" int init_intf_type(unsigned long nType) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_init_intf_type, LOG_START,
                  "Init interface type start, type=%d", static_cast<int>(nType));
    if (g_InterfaceType != INTF_NONE) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_init_intf_type, LOG_ERRNO,
                      "Already initialize(interface=%d), please select type before init interface",
                      static_cast<int>(g_InterfaceType));
        return VEM_INUSED;
    }
    g_IntfType = static_cast<std::uint32_t>(nType);
    return VEM_SUCCESS;
}

extern "C" void init_LogLevel(int nLogLevel) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_init_LogLevel, LOG_START, "Init log level enter=%d",
                  nLogLevel);
    if (service_mode()) {
        SetLogLevel(static_cast<unsigned int>(nLogLevel));
        init_svr_LogLevel(nLogLevel);
    } else {
        init_lib_LogLevel(nLogLevel);
    }
    DbgLogMessage(LOG_LEVEL_DEBUG, fn_init_LogLevel, LOG_END,
                  "Init log level exit, version = V%d.%d.%d.%d", g_major, g_minor, g_build,
                  g_private);
}

extern "C" void init_LogFilename(const char* lpszFilename) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_init_LogFilename, LOG_START, "Init log filename enter=%s",
                  lpszFilename != nullptr ? lpszFilename : "NULL");
    if (service_mode()) {
        (void)SetLogFilename(lpszFilename);
        init_svr_LogFilename(lpszFilename);
    } else {
        init_lib_LogFilename(lpszFilename);
    }
    DbgLogMessage(LOG_LEVEL_DEBUG, fn_init_LogFilename, LOG_END,
                  "Init log filename exit, version V%d.%d.%d.%d", g_major, g_minor, g_build,
                  g_private);
}

extern "C" void init_LogCount(int nCount) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_init_LogCount, LOG_START,
                  "Init log count enter, log count=%d", nCount);
    if (service_mode()) {
        SetLogFileCount(static_cast<unsigned int>(nCount));
        init_svr_LogCount(nCount);
    } else {
        init_lib_LogCount(nCount);
    }
    DbgLogMessage(LOG_LEVEL_DEBUG, fn_init_LogCount, LOG_END,
                  "Init log count exit, version = V%d.%d.%d.%d", g_major, g_minor, g_build,
                  g_private);
}

// ---- Opening and closing ---------------------------------------------------

extern "C" int init_close(void) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_init_close, LOG_START, "Close interface enter");
    if (g_InterfaceType == INTF_NONE) {
        DbgLogMessage(LOG_LEVEL_TRACE, fn_init_close, LOG_START, "already close");
        return VEM_SUCCESS;
    }
    return dispatch(fn_init_close, "Close interface exit=%d", init_svr_close, init_lib_close);
}

extern "C" int init_usb(int nVid, int nPid, const char* lpszSerialNo) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_init_usb, LOG_START, "Open USB start, vid=%d, pid=%d, sn=%s",
                  nVid, nPid, text(lpszSerialNo));
    if (int refused = open_refused(fn_init_usb, false)) return refused;
    return dispatch(
        fn_init_usb, "Open USB exit=%d", [&] { return init_svr_usb(nVid, nPid, lpszSerialNo); },
        [&] { return init_lib_usb(nVid, nPid, lpszSerialNo); });
}

extern "C" int init_serial(const char* lpszPort, int nBaudrate, int nDataBit, int nParity,
                           int nStopBit, int nFlowControl) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_init_serial, LOG_START,
                  "Open Serial start; port=%s, baud=%d, bit=%d, parity=%d, stop=%d, flow=%d",
                  text(lpszPort), nBaudrate, nDataBit, nParity, nStopBit, nFlowControl);
    if (int refused = open_refused(fn_init_serial, empty(lpszPort))) return refused;
    return dispatch(
        fn_init_serial, "Open Serial exit=%d",
        [&] {
            return init_svr_serial(lpszPort, nBaudrate, nDataBit, nParity, nStopBit, nFlowControl);
        },
        [&] {
            return init_lib_serial(lpszPort, nBaudrate, nDataBit, nParity, nStopBit, nFlowControl);
        });
}

extern "C" int init_parallel(const char* lpszPort) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_init_parallel, LOG_START, "Open PAR start; port=%s",
                  text(lpszPort));
    if (int refused = open_refused(fn_init_parallel, empty(lpszPort))) return refused;
    return dispatch(
        fn_init_parallel, "Open PAR exit=%d", [&] { return init_svr_parallel(lpszPort); },
        [&] { return init_lib_parallel(lpszPort); });
}

extern "C" int init_network(const char* lpszIp, int nTCP, int nUDP) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_init_network, LOG_START,
                  "Open ETH start; ip=%s, tcp=%d, udp=%d", text(lpszIp), nTCP, nUDP);
    if (int refused = open_refused(fn_init_network, empty(lpszIp))) return refused;
    return dispatch(
        fn_init_network, "Open ETH exit=%d", [&] { return init_svr_network(lpszIp, nTCP, nUDP); },
        [&] { return init_lib_network(lpszIp, nTCP, nUDP); });
}

extern "C" int init_file(const char* lpszFilename, int nFormat) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_init_file, LOG_START,
                  "Open file start; filename=%s, format=%d", text(lpszFilename), nFormat);
    if (int refused = open_refused(fn_init_file, empty(lpszFilename))) return refused;
    return dispatch(
        fn_init_file, "Open file exit=%d", [&] { return init_svr_file(lpszFilename, nFormat); },
        [&] { return init_lib_file(lpszFilename, nFormat); });
}

// ---- Port operations -------------------------------------------------------

extern "C" int intf_reconnect(void) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_intf_reconnect, LOG_START, "Reconnect start");
    if (not_open(fn_intf_reconnect)) return VEM_NOINIT;
    return dispatch(fn_intf_reconnect, "Reconnect exit=%d", intf_svr_reconnect, intf_lib_reconnect);
}

extern "C" int intf_lock(unsigned long nTimeout) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_intf_lock, LOG_START, "Lock() start, timeout=%d",
                  static_cast<int>(nTimeout));
    if (not_open(fn_intf_lock)) return VEM_NOINIT;
    const int rc = dispatch(
        fn_intf_lock, "Lock() exit=%d", [&] { return intf_svr_lock(nTimeout); },
        [&] { return intf_lib_lock(nTimeout); });
    if (rc == VEM_SUCCESS) g_lockSem = 1;
    return rc;
}

extern "C" int intf_unlock(void) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_intf_unlock, LOG_START, "UnLock() start");
    if (not_open(fn_intf_unlock)) return VEM_NOINIT;
    const int rc = dispatch(fn_intf_unlock, "UnLock() exit=%d", intf_svr_unlock, intf_lib_unlock);
    if (rc == VEM_SUCCESS) g_lockSem = 0;
    return rc;
}

extern "C" int intf_send_data(unsigned char* pBySendData, int nSendSize, unsigned long* pdwSize,
                              unsigned long dwTimeout) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_intf_send_data, LOG_START, "Send size:%d, timeout:%d",
                  nSendSize, static_cast<int>(dwTimeout));
    if (not_open(fn_intf_send_data)) return VEM_NOINIT;
    if (pdwSize == nullptr || pBySendData == nullptr || nSendSize < 1) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_intf_send_data, LOG_ERRNO,
                      "Invalid parameter (SendSize:0x%08X, Data:0x%08X, size:%d",
                      ptr_low32(pdwSize), ptr_low32(pBySendData), nSendSize);
        return VEM_ILLEGAL;
    }
    const int rc = service_mode() ? intf_svr_send_data(pBySendData, nSendSize, pdwSize, dwTimeout)
                                  : intf_lib_send_data(pBySendData, nSendSize, pdwSize, dwTimeout);
    DbgLogMessage(LOG_LEVEL_TRACE, fn_intf_send_data, LOG_END, "Send result:%d, size:%d", rc,
                  static_cast<int>(*pdwSize));
    return rc;
}

extern "C" int intf_rcv_data(unsigned char* pByReceiveData, int nReceiveSize,
                             unsigned long* pdwRecSize, unsigned long dwTimeout) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_intf_receive_data, LOG_START, "Receive size:%d, timeout:%d",
                  nReceiveSize, static_cast<int>(dwTimeout));
    if (not_open(fn_intf_receive_data)) return VEM_NOINIT;
    if (pdwRecSize == nullptr || pByReceiveData == nullptr || nReceiveSize < 1) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_intf_receive_data, LOG_ERRNO,
                      "Invalid parameter (RcvSize:0x%08X, Data:0x%08X, size:%d",
                      ptr_low32(pdwRecSize), ptr_low32(pByReceiveData), nReceiveSize);
        return VEM_ILLEGAL;
    }
    const int rc = service_mode()
                       ? intf_svr_rcv_data(pByReceiveData, nReceiveSize, pdwRecSize, dwTimeout)
                       : intf_lib_rcv_data(pByReceiveData, nReceiveSize, pdwRecSize, dwTimeout);
    DbgLogMessage(LOG_LEVEL_TRACE, fn_intf_receive_data, LOG_END, "Received result:%d, size:%d", rc,
                  static_cast<int>(*pdwRecSize));
    return rc;
}

extern "C" int intf_send_rtc(unsigned char* pBySend, int nSend, unsigned char* pByRet, int nReturn,
                             unsigned long* pdwRead, unsigned long dwTimeout) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_intf_send_rtc, LOG_START,
                  "Send RTS size:%d, Receive size:%d, timeout:%d", nSend, nReturn,
                  static_cast<int>(dwTimeout));
    if (not_open(fn_intf_send_rtc)) return VEM_NOINIT;
    if (nSend < 1 || pBySend == nullptr ||
        (nReturn > 0 && (pByRet == nullptr || pdwRead == nullptr))) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_intf_send_rtc, LOG_ERRNO,
                      "Invalid parameter (SendBuf:0x%08X, SendSize:%d, RcvBuf:0x%08X, RcvSize:%d, "
                      "RcvSz:0x%08X",
                      ptr_low32(pBySend), nSend, ptr_low32(pByRet), nReturn, ptr_low32(pdwRead));
        return VEM_ILLEGAL;
    }
    const int rc = service_mode()
                       ? intf_svr_send_rtc(pBySend, nSend, pByRet, nReturn, pdwRead, dwTimeout)
                       : intf_lib_send_rtc(pBySend, nSend, pByRet, nReturn, pdwRead, dwTimeout);
    DbgLogMessage(LOG_LEVEL_TRACE, fn_intf_send_rtc, LOG_END, "RTS received result:%d, size:%d", rc,
                  pdwRead != nullptr ? static_cast<int>(*pdwRead) : 0);
    return rc;
}

// ---- Discovery -------------------------------------------------------------

extern "C" int scan_usb_printer(int nVid, int* pPidList, unsigned int nSize,
                                unsigned int* pnCount) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_scan_usb_printer, LOG_START,
                  "Enter scan USB. vid=0x%04X, request size=%d", static_cast<unsigned>(nVid),
                  static_cast<int>(nSize));
    if (pPidList == nullptr || nSize == 0 || pnCount == nullptr) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_scan_usb_printer, LOG_ERRNO, "Invalid parameter");
        return VEM_ILLEGAL;
    }
    *pnCount = 0;
    const int rc = discover_usb(nVid, pPidList, nSize, pnCount);
    DbgLogMessage(LOG_LEVEL_TRACE, fn_scan_usb_printer, LOG_END, "scan USB result:%d, count=%d", rc,
                  static_cast<int>(*pnCount));
    return rc;
}

extern "C" int scan_eth_snmp(const char* lpszIp, PETH_DEV_INFO pEthDev) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_scan_eth_snmp, LOG_START, "Scan SNMP Enter. ip=%s",
                  text(lpszIp));
    if (empty(lpszIp) || pEthDev == nullptr) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_scan_eth_snmp, LOG_ERRNO, "Invalid parameter");
        return VEM_ILLEGAL;
    }
    const int rc = discover_snmp(lpszIp, pEthDev);
    DbgLogMessage(LOG_LEVEL_TRACE, fn_scan_eth_snmp, LOG_END, "Scan SNMP result:%d", rc);
    return rc;
}

extern "C" int scan_eth_printer(PETH_DEV_INFO pEthDev, unsigned int nSize, unsigned int* pnCount) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_scan_eth_prt, LOG_START, "Scan printer enter");
    if (pEthDev == nullptr || nSize == 0 || pnCount == nullptr) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_scan_eth_prt, LOG_ERRNO, "Invalid parameter");
        return VEM_ILLEGAL;
    }
    *pnCount = 0;
    const int rc = discover_network(pEthDev, nSize, pnCount, 0, -1);
    DbgLogMessage(LOG_LEVEL_TRACE, fn_scan_eth_prt, LOG_END,
                  "Scan printer exit with result:%d. Printer found:%d", rc,
                  static_cast<int>(*pnCount));
    return rc;
}

extern "C" int brdcst_eth_printer(PETH_DEV_INFO pEthDev, unsigned int nSize, unsigned int* pnCount,
                                  int nPort) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_broad_eth_prt, LOG_START, "Broadcast printer enter");
    if (pEthDev == nullptr || nSize == 0 || pnCount == nullptr) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_broad_eth_prt, LOG_ERRNO, "Invalid parameter");
        return VEM_ILLEGAL;
    }
    *pnCount = 0;
    const int rc = discover_network(pEthDev, nSize, pnCount, 1, nPort);
    DbgLogMessage(LOG_LEVEL_TRACE, fn_broad_eth_prt, LOG_END,
                  "Broadcast printer exit with result:%d. Printer found:%d", rc,
                  static_cast<int>(*pnCount));
    return rc;
}
