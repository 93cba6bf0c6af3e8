// VEMDiscovery.cpp - see VEMDiscovery.h.  The drivers' headers decide what
// is built in.
#include "VEMDiscovery.h"

#if __has_include("VEMUSB.h")
#include "VEMUSB.h"
#define VEM_HAVE_USB 1
#endif
#if __has_include("VEMETH.h")
#include "VEMETH.h"
#define VEM_HAVE_ETH 1
#endif

void stop_network_monitor() {
#ifdef VEM_HAVE_ETH
    stop_TCP_monitoring();
#endif
}

int discover_usb([[maybe_unused]] int nVid, [[maybe_unused]] int* pPidList,
                 [[maybe_unused]] unsigned int nSize, [[maybe_unused]] unsigned int* pnCount) {
#ifdef VEM_HAVE_USB
    return scan_usb(nVid, pPidList, nSize, pnCount);
#else
    return VEM_NO_SUPPORT;
#endif
}

int discover_snmp([[maybe_unused]] const char* lpszIp, [[maybe_unused]] PETH_DEV_INFO pEthDev) {
#ifdef VEM_HAVE_ETH
    return send_rcv_snmp(lpszIp, 161, pEthDev, 30000);
#else
    return VEM_NO_SUPPORT;
#endif
}

int discover_network([[maybe_unused]] PETH_DEV_INFO pEthDev, [[maybe_unused]] unsigned int nSize,
                     [[maybe_unused]] unsigned int* pnCount, [[maybe_unused]] int isBroad,
                     [[maybe_unused]] int nListenPort) {
#ifdef VEM_HAVE_ETH
    return scan_network_printer(pEthDev, nSize, pnCount, isBroad, nListenPort);
#else
    return VEM_NO_SUPPORT;
#endif
}
