// wardlink.h - process state of the port-access library's front, shared by
// its two modes (VEMLibraryIntf: direct, VEMServiceIntf: through the daemon).
// Internal: nothing here is exported.
#ifndef VEM_WARDLINK_H
#define VEM_WARDLINK_H

#include <cstdint>
#include <mutex>

#include "VEMInterface.h"

extern std::uint32_t g_IntfType;       // InterfaceType, set only by init_intf_type
extern std::uint32_t g_InterfaceType;  // InterfaceList of the open port, INTF_NONE when none
extern std::int32_t g_lockSem;         // 1 between a successful intf_lock and intf_unlock
extern const std::uint32_t g_major, g_minor, g_build, g_private;  // V3.0.0.0
extern std::mutex cs_rw;     // serialises the service-mode exchanges of this process
extern std::mutex cs_mutex;  // guards the direct mode's reconnect-thread flags

// True when the mode sends every call to the daemon.
inline bool service_mode() {
    return g_IntfType == SHARE_PORT_SVR;
}

#endif  // VEM_WARDLINK_H
