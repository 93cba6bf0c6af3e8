/* Built as strict C99: applications written in C include the exported headers.
 * Pins some shared numbers, which travel in logs and over the service pipes. */
#include <stddef.h>

#include "VEMFuncNo.h"
#include "VEMInterface.h"
#include "VEMLogging.h"

/* clang-format off */
const long vem_pins[][2] = {
    {VEM_SUCCESS, 0}, {VEM_INUSED, -1}, {VEM_NODEVICE, -2}, {VEM_NOINIT, -3}, {VEM_ALREADY_LOCK, -4},
    {VEM_LOCK_TIMEOUT, -5}, {VEM_NOLOCK, -6}, {VEM_ILLEGAL, -8}, {INTF_USB, 1}, {INTF_ETH, 4},
    {INTF_FILE, 5}, {SHARE_PORT_SVR, 1}, {SINGLE_APP, 2}, {LOG_EX_END, 7}, {LOG_LEVEL_TRACE, 16},
    {sizeof(EthernetDeviceInfo), 192}, {offsetof(EthernetDeviceInfo, strIpAdEntAddr), 128},
    {fn_lock_sem, 1}, {fn_receive_data_file, 23}, {fn_check_online, 63}, {fn_eth_rts, 100},
    {fn_lib_constructor, 200}, {fn_init_lib_LogLevel, 300}, {fn_init_svr_reconnect, 417}};
/* clang-format on */
const int vem_pin_count = sizeof vem_pins / sizeof vem_pins[0];
