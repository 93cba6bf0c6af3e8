/*
 * VEMInterface.h - the shared vocabulary of the KVRS port-access library:
 * result codes, kinds of port, modes, and the network device record.
 *
 * The numeric values travel between processes (the service pipes carry
 * results as numbers) and are part of the exported interface: never
 * renumber them.  Plain C: applications written in C include it too.
 */
#ifndef VEM_INTERFACE_H
#define VEM_INTERFACE_H

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

/* The operations of libwardlink (time-outs in milliseconds). */
int init_intf_type(unsigned long nType);
void init_LogLevel(int nLogLevel);
void init_LogFilename(const char* lpszFilename);
void init_LogCount(int nCount);
int init_close(void);
int init_usb(int nVid, int nPid, const char* lpszSerialNo);
int init_serial(const char* lpszPort, int nBaudrate, int nDataBit, int nParity, int nStopBit,
                int nFlowControl);
int init_parallel(const char* lpszPort);
int init_network(const char* lpszIp, int nTCP, int nUDP);
int init_file(const char* lpszFilename, int nFormat);
int intf_reconnect(void);
int intf_lock(unsigned long nTimeout);
int intf_unlock(void);
int intf_send_data(unsigned char* pBySendData, int nSendSize, unsigned long* pdwSize,
                   unsigned long dwTimeout);
int intf_rcv_data(unsigned char* pByReceiveData, int nReceiveSize, unsigned long* pdwRecSize,
                  unsigned long dwTimeout);
int intf_send_rtc(unsigned char* pBySend, int nSend, unsigned char* pByRet, int nReturn,
                  unsigned long* pdwRead, unsigned long dwTimeout);
int scan_usb_printer(int nVid, int* pPidList, unsigned int nSize, unsigned int* pnCount);
int scan_eth_snmp(const char* lpszIp, PETH_DEV_INFO pEthDev);
int scan_eth_printer(PETH_DEV_INFO pEthDev, unsigned int nSize, unsigned int* pnCount);
int brdcst_eth_printer(PETH_DEV_INFO pEthDev, unsigned int nSize, unsigned int* pnCount,
                       int nPort);

#ifdef __cplusplus
}
#endif

#endif /* VEM_INTERFACE_H */
