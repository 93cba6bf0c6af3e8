// VEMLibraryIntf.h - direct mode: the port is opened in the calling process
// through the port drivers (always slot 0, through port_ops(kind)), and
// processes take turns with the port's named semaphore.
//
// Shared behaviour (every mode but SINGLE_APP): the device is open only
// while this process holds the lock; opening checks the device and parks it
// (device closed, semaphore kept), every lock reopens it, every unlock
// parks it again, after its data has reached the device.
// SINGLE_APP: the device stays open from open to close.
//
// The front (wardlink.cpp) has checked the arguments and that a port is
// open before calling.  Internal: nothing here is exported.
#ifndef VEM_LIBRARY_INTF_H
#define VEM_LIBRARY_INTF_H

#include <semaphore.h>

void init_lib_LogLevel(int nLogLevel);
void init_lib_LogFilename(const char* lpszFilename);
void init_lib_LogCount(int nCount);  // a negative count changes nothing

// Open: the driver's code on failure (nothing kept open), VEM_ILLEGAL for a
// name that does not fit the stored parameters.
int init_lib_usb(int nVid, int nPid, const char* lpszSerialNo);
int init_lib_serial(const char* lpszPort, int nBaudrate, int nDataBit, int nParity, int nStopBit,
                    int nFlowControl);
int init_lib_parallel(const char* lpszPort);
int init_lib_network(const char* lpszIp, int nTCP, int nUDP);
int init_lib_file(const char* lpszFilename, int nFormat);

// Stops the reconnect thread (waiting for it) and closes the port.  Always
// VEM_SUCCESS.  A held lock is not released.
int init_lib_close();

// VEM_ILLEGAL when the port has no semaphore; lock: lock_sem's results, or
// the reopen's code with the lock released again.
int intf_lib_lock(unsigned long nTimeout);
int intf_lib_unlock();

// Refused with VEM_NOLOCK while nobody holds the port's semaphore.
int intf_lib_reconnect();
int intf_lib_send_data(unsigned char* pBySendData, int nSendSize, unsigned long* pdwSize,
                       unsigned long dwTimeout);
int intf_lib_rcv_data(unsigned char* pByReceiveData, int nReceiveSize, unsigned long* pdwRecSize,
                      unsigned long dwTimeout);
int intf_lib_send_rtc(unsigned char* pBySend, int nSend, unsigned char* pByRet, int nReturn,
                      unsigned long* pdwRead, unsigned long dwTimeout);

// The open port's semaphore, or null (logged) when none is open.
sem_t* getSemByInterface();

// SINGLE_APP only: starts a background thread that reopens the device
// every 100 ms until it succeeds or init_lib_close stops it.  No exported
// operation starts it: a reopen behind the application's back would race
// with the application's own transfers on the same driver slot.
void reconnect_device();

// True while the reconnect thread runs.
bool reconnect_running();

#endif  // VEM_LIBRARY_INTF_H
