// VEMPortOps.h - one row per kind of port: the driver operations that the
// daemon's workers and the library's direct mode call, behind uniform
// signatures.  The callers pick the row by the port's kind and never repeat
// their logic per kind; the drivers' own specified names stay the entry
// points that each row points at.
#ifndef VEM_PORT_OPS_H
#define VEM_PORT_OPS_H

#include <semaphore.h>

#include "VEMInterface.h"

// Everything any kind of port is opened with.  Each kind reads only its own
// fields; the rest keep their defaults.
struct PortParams {
    // USB: serial number ("" for the first device); serial and parallel:
    // device path; Ethernet: IPv4 address; file: file name.
    char szName[300] = {};
    int nVid = 0, nPid = 0;                                      // USB
    int nBaudrate = 0, nDataBit = 0, nParity = 0, nStopBit = 0;  // serial
    int nFlowControl = 0;                                        // serial
    int nTCP = 0, nUDP = 0;                                      // Ethernet
    int nFormat = 1;                                             // file: 0 hex, 1 raw
};

using PortSendFn = int (*)(int idx, unsigned char* pBySendData, int nSendSize,
                           unsigned long* pdwSize, unsigned long dwTimeout);
using PortReceiveFn = int (*)(int idx, unsigned char* pByReceiveData, int nReceiveSize,
                              unsigned long* pdwRecSize, unsigned long dwTimeout);
using PortRtsFn = int (*)(int idx, unsigned char* pBySend, int nSend, unsigned char* pByRet,
                          int nReturn, unsigned long* pdwRead, unsigned long dwTimeout);

struct PortOps {
    InterfaceList kind;
    const char* label;                               // "file", "usb", ... for messages
    void (*reset_all)();                             // init_buf_*: every slot to its reset values
    int (*open)(int idx, const PortParams& p);       // init_port_*: a VEM code
    int (*reconnect)(int idx, const PortParams& p);  // reconnect_*: a VEM code
    void (*park)(int idx);                           // close_*_handle: device closed, lock kept
    void (*close)(int idx);                          // close_port_*: everything released
    sem_t* (*semaphore)(int idx);                    // get*Semaphore
    PortSendFn send;                                 // send_data_*
    PortReceiveFn receive;                           // receive_data_*
    PortRtsFn rts;                                   // rts_data_*; null: the kind has none
};

// The row of `kind`, or null when no driver of that kind is built in.
const PortOps* port_ops(unsigned int kind);

#endif  // VEM_PORT_OPS_H
