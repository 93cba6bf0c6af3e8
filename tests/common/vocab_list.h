/* The shared vocabulary's numbers travel in log files and, as plain numbers,
 * over the service pipes between processes: they are an interface.  Each
 * PIN(expression, value) is expanded by test_vocab.cpp and by the plain-C
 * vocab_c.c, so both languages are held to the same numbers and layout.
 * Function numbers: first and last of each range, and those looked for in logs. */
/* clang-format off */
PIN(VEM_SUCCESS, 0) PIN(VEM_INUSED, -1) PIN(VEM_NODEVICE, -2) PIN(VEM_NOINIT, -3)
PIN(VEM_ALREADY_LOCK, -4) PIN(VEM_LOCK_TIMEOUT, -5) PIN(VEM_NOLOCK, -6)
PIN(VEM_NO_SUPPORT, -7) PIN(VEM_ILLEGAL, -8)
PIN(INTF_NONE, 0) PIN(INTF_USB, 1) PIN(INTF_RS232, 2) PIN(INTF_PARRALLEL, 3) PIN(INTF_ETH, 4)
PIN(INTF_FILE, 5) PIN(SHARE_PORT_LIB, 0) PIN(SHARE_PORT_SVR, 1) PIN(SINGLE_APP, 2)
PIN(LOG_START, 0) PIN(LOG_END, 1) PIN(LOG_ERRNO, 2) PIN(LOG_WARN, 3) PIN(LOG_DBG, 4)
PIN(LOG_TRACE, 5) PIN(LOG_EX_START, 6) PIN(LOG_EX_END, 7)
PIN(LOG_LEVEL_ERROR, 1) PIN(LOG_LEVEL_WARN, 2) PIN(LOG_LEVEL_DEBUG, 4) PIN(LOG_LEVEL_DUMP, 8)
PIN(LOG_LEVEL_TRACE, 16)
PIN(sizeof(InterfaceErrorCode), 4) PIN(sizeof(InterfaceList), 4)
PIN(sizeof(EthernetDeviceInfo), 192) PIN(offsetof(EthernetDeviceInfo, strSysObjectId), 64)
PIN(offsetof(EthernetDeviceInfo, strIpAdEntAddr), 128)
PIN(fn_unknown, 0) PIN(fn_lock_sem, 1) PIN(fn_unlock_sem, 2) PIN(fn_islock_sem, 3)
PIN(fn_connect_file, 16) PIN(fn_receive_data_file, 23) PIN(fn_check_online, 63)
PIN(fn_eth_rts, 100) PIN(fn_clear_reconnect, 132) PIN(fn_lib_constructor, 200)
PIN(fn_intf_lock, 211) PIN(fn_scan_prt_broad, 227) PIN(fn_init_lib_LogLevel, 300)
PIN(fn_init_lib_usb, 303) PIN(fn_intf_lib_lock, 308) PIN(fn_intf_lib_reconnect, 314)
PIN(fn_init_lib_pipe, 400) PIN(fn_init_svr_reconnect, 417)
