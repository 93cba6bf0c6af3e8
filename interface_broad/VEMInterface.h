/*
 * VEMInterface.h - the KVRS port-access library, libwardlink: its result
 * codes, kinds of port, modes, the network device record, and the twenty
 * operations an application calls.
 *
 * The numeric values travel between processes (the service pipes carry
 * results as numbers) and are part of the exported interface: never
 * renumber them.  Plain C: applications written in C include it too.
 */
#ifndef VEM_INTERFACE_H
#define VEM_INTERFACE_H

#if defined(__GNUC__)
#define VEM_LINK_API __attribute__((visibility("default")))
#else
#define VEM_LINK_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result of every library and port-driver operation (signed 32-bit). */
typedef enum InterfaceErrorCode {
    VEM_SUCCESS = 0,
    VEM_INUSED = -1,       /* a port is already open here / slot holds a device */
    VEM_NODEVICE = -2,     /* device not found or cannot be opened again */
    VEM_NOINIT = -3,       /* no port open, or the port kind has no such operation */
    VEM_ALREADY_LOCK = -4, /* the port's semaphore is held */
    VEM_LOCK_TIMEOUT = -5, /* the lock was not obtained in time */
    VEM_NOLOCK = -6,       /* the port's semaphore is not held */
    VEM_NO_SUPPORT = -7,   /* platform facility missing, or request not supported */
    VEM_ILLEGAL = -8       /* invalid argument or internal failure */
} InterfaceErrorCode;

/* Kind of port (unsigned 32-bit).  INTF_PARRALLEL is spelt as it always was. */
typedef enum InterfaceList {
    INTF_NONE = 0,
    INTF_USB = 1,
    INTF_RS232 = 2,
    INTF_PARRALLEL = 3,
    INTF_ETH = 4,
    INTF_FILE = 5
} InterfaceList;

/* How the library reaches a port (unsigned 32-bit).  Only SHARE_PORT_SVR
 * selects service mode; every other value is direct mode. */
typedef enum InterfaceType {
    SHARE_PORT_LIB = 0, /* direct, device open only while the lock is held */
    SHARE_PORT_SVR = 1, /* through the port-sharing daemon */
    SINGLE_APP = 2      /* direct, device open from open to close */
} InterfaceType;

/* A network printer found by SNMP: three NUL-terminated texts. */
typedef struct EthernetDeviceInfo {
    char strSysDescr[64];    /* first 40 characters of sysDescr */
    char strSysObjectId[64]; /* sysObjectID, dotted, beginning with "1.3" */
    char strIpAdEntAddr[64]; /* the address that was queried */
} EthernetDeviceInfo, *PETH_DEV_INFO;

/*
 * Calling order: optionally init_intf_type(); optionally the log settings
 * (at any time); one init_* to open a port; then for each piece of work
 * intf_lock(), any number of intf_send_data / intf_rcv_data / intf_send_rtc
 * / intf_reconnect, and intf_unlock(); finally init_close().  One port at a
 * time per process.  Time-outs are in milliseconds.  Every int result is an
 * InterfaceErrorCode.
 *
 * Results common to every port operation (intf_*): VEM_NOINIT when no port
 * is open; VEM_ILLEGAL for a bad argument.  In direct mode the data
 * operations and reconnect answer VEM_NOLOCK while nobody holds the port's
 * lock.  Failures of the port itself (VEM_NODEVICE, ...) come unchanged
 * from the port driver or, in service mode, from the daemon.
 */

/* Chooses how ports are reached: SHARE_PORT_SVR (1) through the daemon
 * wardlinkd, SINGLE_APP (2) direct with the device kept open, any other
 * value direct with the device open only while the lock is held.
 * VEM_INUSED while a port is open (the mode is then kept). */
VEM_LINK_API int init_intf_type(unsigned long nType);

/* This process's log (and, in service mode, the daemon's): level mask
 * (1 error, 2 warning, 4 debug, 8 byte dump, 16 trace), log file (NULL or ""
 * back to standard output), number of files kept. */
VEM_LINK_API void init_LogLevel(int nLogLevel);
VEM_LINK_API void init_LogFilename(const char* lpszFilename);
VEM_LINK_API void init_LogCount(int nCount);

/* Closes the open port; VEM_SUCCESS also when none is open.  Does not
 * release a lock: unlock first. */
VEM_LINK_API int init_close(void);

/* Opening a port.  VEM_INUSED when a port is already open in this process;
 * VEM_ILLEGAL for a null or empty name (or one too long for the port's lock
 * and pipe names); VEM_NODEVICE when the device cannot be opened; in
 * service mode VEM_NOINIT when the daemon cannot be reached.
 *   init_usb:      vendor and product ID, serial number (NULL or "": any)
 *   init_serial:   device path and line settings
 *   init_parallel: device path (a ppdev node)
 *   init_network:  IPv4 address, TCP print port, UDP status port
 *   init_file:     file to append to; nFormat 0 hexadecimal text, 1 raw */
VEM_LINK_API int init_usb(int nVid, int nPid, const char* lpszSerialNo);
VEM_LINK_API int init_serial(const char* lpszPort, int nBaudrate, int nDataBit, int nParity,
                             int nStopBit, int nFlowControl);
VEM_LINK_API int init_parallel(const char* lpszPort);
VEM_LINK_API int init_network(const char* lpszIp, int nTCP, int nUDP);
VEM_LINK_API int init_file(const char* lpszFilename, int nFormat);

/* Reopens the device (with the lock held). */
VEM_LINK_API int intf_reconnect(void);

/* Takes the port's lock, shared by every process and by the daemon:
 * nTimeout ms at most, 0 only tries, (unsigned long)-1 waits without limit.
 * VEM_LOCK_TIMEOUT when not obtained; in shared direct mode the device is
 * opened too, and a device that cannot be opened gives its code with the
 * lock left free.  Signal handlers of the application are left alone. */
VEM_LINK_API int intf_lock(unsigned long nTimeout);

/* Releases the lock; VEM_ILLEGAL when it is not held. */
VEM_LINK_API int intf_unlock(void);

/* Sends nSendSize bytes; *pdwSize receives the count sent.  VEM_SUCCESS
 * only when all were sent. */
VEM_LINK_API int intf_send_data(unsigned char* pBySendData, int nSendSize, unsigned long* pdwSize,
                                unsigned long dwTimeout);

/* Reads up to nReceiveSize bytes; *pdwRecSize receives the count read.  In
 * service mode VEM_ILLEGAL (with the bytes read kept) when fewer arrived. */
VEM_LINK_API int intf_rcv_data(unsigned char* pByReceiveData, int nReceiveSize,
                               unsigned long* pdwRecSize, unsigned long dwTimeout);

/* Real-time exchange: sends nSend command bytes and reads up to nReturn
 * reply bytes into pByRet, *pdwRead receiving their count.  With nReturn 0,
 * pByRet and pdwRead may be NULL. */
VEM_LINK_API int intf_send_rtc(unsigned char* pBySend, int nSend, unsigned char* pByRet,
                               int nReturn, unsigned long* pdwRead, unsigned long dwTimeout);

/* Discovery; needs no open port and runs in the calling process in either
 * mode.  VEM_ILLEGAL for null outputs or a zero size.
 *   scan_usb_printer:   product IDs of the attached printers of vendor nVid
 *                       (up to nSize stored, *pnCount found); VEM_NO_SUPPORT
 *                       when USB cannot be used
 *   scan_eth_snmp:      identity of the printer at lpszIp (SNMP)
 *   scan_eth_printer:   printers on the local /24 networks
 *   brdcst_eth_printer: printers answering a broadcast, replies on nPort */
VEM_LINK_API int scan_usb_printer(int nVid, int* pPidList, unsigned int nSize,
                                  unsigned int* pnCount);
VEM_LINK_API int scan_eth_snmp(const char* lpszIp, PETH_DEV_INFO pEthDev);
VEM_LINK_API int scan_eth_printer(PETH_DEV_INFO pEthDev, unsigned int nSize,
                                  unsigned int* pnCount);
VEM_LINK_API int brdcst_eth_printer(PETH_DEV_INFO pEthDev, unsigned int nSize,
                                    unsigned int* pnCount, int nPort);

#ifdef __cplusplus
}
#endif

#endif /* VEM_INTERFACE_H */
