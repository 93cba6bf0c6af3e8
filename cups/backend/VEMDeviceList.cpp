// VEMDeviceList.cpp - what the backend reports when CUPS asks for devices:
// the attached USB printers of our vendor, the network printers that answer
// the broadcast discovery and call themselves KVRS, and the first serial
// port when the machine has one.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include <cups/backend.h>

#include "VEMBackend.h"
#include "VEMInterface.h"
#include "VEMLogging.h"
#include "VEMModels.h"

namespace {

constexpr unsigned kFnList = 103;
constexpr char kScheme[] = "vemcupsintf";
constexpr char kInfo[] = "ZOLVANT POS Printer";
constexpr char kSerialPath[] = "/dev/ttyS0";
constexpr char kSerialUri[] = "vemcupsintf://serial/19200/8/1/none/dtrdsr/dev/ttyS0";
constexpr unsigned kMaxUsb = 20;
constexpr unsigned kMaxEth = 255;
constexpr std::size_t kTextSize = 100;

// Network printers are recognised by these words in their sysDescr.
constexpr char g_ethPrtDesc[][10] = {"KVRS", "Kvrs", "kvrs"};
constexpr int g_TotalEthPrt = 3;

// snprintf that reports whether anything was formatted; longer texts are
// cut to the buffer, as the listing has always done.
template <typename... Args>
int formatText(char* buf, std::size_t size, const char* fmt, Args... args) {
    if (buf == nullptr || size == 0) return 0;
    return std::snprintf(buf, size, fmt, args...) > 0 ? 1 : 0;
}

void report(const char* uri, const char* makeModel, bool debugLine, const char* debugName) {
    if (debugLine) std::fprintf(stderr, "DEBUG: Printer ID: %s, URI: %s\n", debugName, uri);
    cupsBackendReport("direct", uri, makeModel, kInfo, nullptr, nullptr);
}

}  // namespace

int getUSBDeviceName(char* buf, std::size_t size, int nVid, int nPid) {
    for (const VemPrinterModel& m : g_PrinterName)
        if (m.nVendorId == nVid && m.nProductId == nPid)
            return formatText(buf, size, "%s", m.szDisplayName);
    return formatText(buf, size, "ZOLVANT USB VID:0x%04X PID:0x%04X", nVid, nPid);
}

int getUSBDeviceUri(char* buf, std::size_t size, int nVid, int nPid) {
    return formatText(buf, size, "%s://%s/%04x/%04x", kScheme, "usb", nVid, nPid);
}

int getETHDeviceUri(char* buf, std::size_t size, const char* lpszIp) {
    if (lpszIp == nullptr) return 0;
    return formatText(buf, size, "%s://%s/%s/9100/3000", kScheme, "eth", lpszIp);
}

void list_vem_printer() {
    char name[kTextSize];
    char uri[kTextSize];

    // USB: one scan per vendor (both models share one).
    int lastVid = 0;
    for (const VemPrinterModel& m : g_PrinterName) {
        if (m.nVendorId == lastVid) continue;
        lastVid = m.nVendorId;
        int pids[kMaxUsb] = {};
        unsigned int count = 0;
        if (scan_usb_printer(m.nVendorId, pids, kMaxUsb, &count) != VEM_SUCCESS) continue;
        for (unsigned int i = 0; i < count && i < kMaxUsb; ++i) {
            if (!getUSBDeviceName(name, sizeof name, m.nVendorId, pids[i]) ||
                !getUSBDeviceUri(uri, sizeof uri, m.nVendorId, pids[i]))
                continue;
            report(uri, name, true, name);
        }
    }

    // Network: every keyword is tried on every printer that answered.
    static EthernetDeviceInfo devices[kMaxEth];
    std::memset(devices, 0, sizeof devices);
    unsigned int found = 0;
    if (brdcst_eth_printer(devices, kMaxEth, &found, -1) == VEM_SUCCESS) {
        for (unsigned int d = 0; d < found && d < kMaxEth; ++d) {
            EthernetDeviceInfo& dev = devices[d];
            dev.strSysDescr[sizeof dev.strSysDescr - 1] = '\0';
            dev.strIpAdEntAddr[sizeof dev.strIpAdEntAddr - 1] = '\0';
            for (int k = 0; k < g_TotalEthPrt; ++k) {
                if (std::strstr(dev.strSysDescr, g_ethPrtDesc[k]) == nullptr) {
                    DbgLogMessage(LOG_LEVEL_TRACE, kFnList, LOG_TRACE,
                                  "Scan printer keyword not match(%d:%d):%s", g_TotalEthPrt, k,
                                  dev.strSysDescr);
                    continue;
                }
                DbgLogMessage(LOG_LEVEL_TRACE, kFnList, LOG_TRACE,
                              "Network printer keyword match(%d:%d):%s", g_TotalEthPrt, k,
                              g_ethPrtDesc[k]);
                if (!formatText(name, sizeof name, "%s: %s", dev.strSysDescr, dev.strIpAdEntAddr) ||
                    !getETHDeviceUri(uri, sizeof uri, dev.strIpAdEntAddr))
                    continue;
                report(uri, name, true, dev.strSysDescr);
            }
        }
    }

    // Serial: the first port, whether or not a printer hangs on it.
    struct stat st {};
    if (::stat(kSerialPath, &st) == 0 && formatText(name, sizeof name, "KVRS-M#A: %s", kSerialPath))
        report(kSerialUri, name, false, nullptr);
}
