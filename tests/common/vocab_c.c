/* Built as strict C99: the two exported headers must stay plain C, since
 * applications written in C include them.  The values as a C compiler sees
 * them are handed to the C++ test, which compares them with its own view. */
#include <stddef.h>

#include "VEMInterface.h"
#include "VEMLogging.h"

const int vem_c_results[9] = {VEM_SUCCESS, VEM_INUSED,       VEM_NODEVICE,
                              VEM_NOINIT,  VEM_ALREADY_LOCK, VEM_LOCK_TIMEOUT,
                              VEM_NOLOCK,  VEM_NO_SUPPORT,   VEM_ILLEGAL};
const unsigned int vem_c_kinds[6] = {INTF_NONE,      INTF_USB, INTF_RS232,
                                     INTF_PARRALLEL, INTF_ETH, INTF_FILE};
const unsigned int vem_c_modes[3] = {SHARE_PORT_LIB, SHARE_PORT_SVR, SINGLE_APP};
const unsigned int vem_c_tokens[8] = {LOG_START, LOG_END,   LOG_ERRNO,    LOG_WARN,
                                      LOG_DBG,   LOG_TRACE, LOG_EX_START, LOG_EX_END};
const size_t vem_c_sizes[4] = {sizeof(InterfaceErrorCode), sizeof(InterfaceList),
                               sizeof(EthernetDeviceInfo),
                               offsetof(EthernetDeviceInfo, strIpAdEntAddr)};

/* The logging calls are callable from C as declared. */
void vem_c_log_something(void) {
    unsigned char bytes[2] = {0x12, 0x34};
    PETH_DEV_INFO info = NULL;
    (void)info;
    SetLogLevel(0);
    DbgLogMessage(LOG_LEVEL_DEBUG, 0, LOG_DBG, "from C %d", 1);
    DbgByteData(LOG_LEVEL_DUMP, 0, 1, bytes, 2);
}
