// VEMServiceIntf.h - service mode: every call becomes a request on the
// daemon's FIFO pairs under /tmp, answered by wardlinkd, which owns the
// port.  The port lock stays in the client: the port's named semaphore,
// which the daemon's worker tests before every port request.
//
// Records and command codes are those of VEMPipe.h.  One request and one
// reply at a time on a pair; at most 1024 data bytes an exchange (longer
// transfers are split here).
//
// Internal: nothing here is exported.
#ifndef VEM_SERVICE_INTF_H
#define VEM_SERVICE_INTF_H

#include "VEMCmn.h"  // the wire format: VEMPipe.h

// Makes and opens what is missing: main pipe, interface pipe, main
// semaphore.  Failures are logged; callers test what they need.
void init_lib_pipe();
// Closes and forgets both pipes and both semaphore handles.
void close_lib_pipe();
// One exchange of `size` request bytes from the request buffer; the caller
// holds cs_rw.  isMain: the main pipe under the main semaphore (waited for
// at most `timeout` ms).  VEM_SUCCESS, the semaphore's lock result, or
// VEM_ILLEGAL (write failed, reply shorter than its header, daemon gone).
int send_pipe_command(int isMain, int size, int timeout);

void init_svr_LogLevel(int nLogLevel);
void init_svr_LogFilename(const char* lpszFilename);
void init_svr_LogCount(int nCount);
int init_svr_close();
int init_svr_usb(int nVid, int nPid, const char* lpszSerialNo);
int init_svr_serial(const char* lpszPort, int nBaudrate, int nDataBit, int nParity, int nStopBit,
                    int nFlowControl);
int init_svr_parallel(const char* lpszPort);
int init_svr_network(const char* lpszIp, int nTCP, int nUDP);
int init_svr_file(const char* lpszFilename, int nFormat);
int intf_svr_lock(unsigned long nTimeout);
int intf_svr_unlock();
int intf_svr_reconnect();
int intf_svr_send_data(unsigned char* pBySendData, int nSendSize, unsigned long* pdwSize,
                       unsigned long dwTimeout);
int intf_svr_rcv_data(unsigned char* pByReceiveData, int nReceiveSize, unsigned long* pdwRecSize,
                      unsigned long dwTimeout);
int intf_svr_send_rtc(unsigned char* pBySend, int nSend, unsigned char* pByRet, int nReturn,
                      unsigned long* pdwRead, unsigned long dwTimeout);

#endif  // VEM_SERVICE_INTF_H
