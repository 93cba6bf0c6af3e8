// VEMDiscovery.h - the library's calls into driver code that is not a row of
// the port table: printer discovery and the Ethernet idle monitor.  A
// driver that is not built in answers VEM_NO_SUPPORT (discovery) or has
// nothing to do (monitor).
// Internal: nothing here is exported.
#ifndef VEM_DISCOVERY_H
#define VEM_DISCOVERY_H

#include "VEMInterface.h"

// Stops the Ethernet idle monitor thread if one runs (library unload).
void stop_network_monitor();

int discover_usb(int nVid, int* pPidList, unsigned int nSize, unsigned int* pnCount);
int discover_snmp(const char* lpszIp, PETH_DEV_INFO pEthDev);
int discover_network(PETH_DEV_INFO pEthDev, unsigned int nSize, unsigned int* pnCount, int isBroad,
                     int nListenPort);

#endif  // VEM_DISCOVERY_H
