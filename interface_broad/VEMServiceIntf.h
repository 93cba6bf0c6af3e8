// VEMServiceIntf.h - service mode: every call becomes a request on the
// daemon's FIFO pairs under /tmp, answered by wardlinkd, which owns the
// port.  The port lock stays in the client: the port's named semaphore,
// which the daemon's worker tests before every port request.
//
// Wire format (every field an unsigned 64-bit little-endian integer):
//   request  0 dwProcess  8 dwIdx  16 dwSend  24 dwRead  32 dwTimeout  40 payload
//   reply    0 dwProcess  8 dwIdx  16 dwResult 24 dwSize  32 data
// One request and one reply at a time on a pair; at most 1024 data bytes
// an exchange (longer transfers are split here).  dwResult carries a signed
// 32-bit code sign-extended.
//
// Internal: nothing here is exported.
#ifndef VEM_SERVICE_INTF_H
#define VEM_SERVICE_INTF_H

#include <cstddef>
#include <cstdint>

// Command codes of the requests.
enum InterfaceProcess : std::uint64_t {
    PROC_INIT_USB = 0,
    PROC_INIT_SERIAL = 1,
    PROC_INIT_PARALLEL = 2,
    PROC_INIT_NETWORK = 3,
    PROC_INIT_FILE = 4,
    PROC_LOCK = 5,
    PROC_UNLOCK = 6,
    PROC_LOGLVL = 7,
    PROC_LOGFILE = 8,
    PROC_SEND = 9,
    PROC_READ = 10,
    PROC_RW_RTS = 11,
    PROC_CLOSE = 12,
    PROC_LOGCOUNT = 13,
    PROC_RECONNECT = 14,
};

inline constexpr std::size_t VEM_PIPE_BUF_SIZE = 1124;  // request and reply buffers
inline constexpr std::size_t VEM_CMD_HEADER = 40;       // request header
inline constexpr std::size_t VEM_RESULT_HEADER = 32;    // reply header
inline constexpr int VEM_PIPE_CHUNK = 1024;             // data bytes an exchange

// How long an application waits for the daemon to open a pipe before the
// call fails with VEM_NOINIT ("Pipe not init"): FIFO files left by a daemon
// that is gone must not hang it.
inline constexpr int VEM_PIPE_OPEN_WAIT_MS = 3000;

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

// Paths of a FIFO pair for the port `name` (null or "" for the main pipe):
// every slash and backslash of the name becomes an underscore.  False when
// the path does not fit its 300-byte field.
bool fifo_paths(const char* name, char (&csPath)[300], char (&scPath)[300]);

#endif  // VEM_SERVICE_INTF_H
