// VEMPipe.h - the wire format of the service pipes between the port-access
// library (client) and the port-sharing daemon (server).
//
// Every conversation uses a pair of FIFOs under /tmp: requests go client ->
// server on "/tmp/cmn_intf_to_svr<suffix>", replies server -> client on
// "/tmp/cmn_svr_to_intf<suffix>".  The main pair (empty suffix) carries the
// control requests; one interface pair per open port carries its data.
//
// Request (interface_command), every field unsigned 64-bit little-endian:
//
//   offset  field      meaning
//   0       dwProcess  command code (InterfaceProcess)
//   8       dwIdx      slot index, or log level / log-file count
//   16      dwSend     payload bytes to send to the printer (<= 1024)
//   24      dwRead     bytes to read from the printer (<= 1024)
//   32      dwTimeout  port operation time-out, milliseconds
//   40      payload    parameter record + NUL-terminated string, or data
//
// Reply (interface_result), same encoding:
//
//   0       dwProcess  the request's code, echoed
//   8       dwIdx      always 0
//   16      dwResult   signed 32-bit result, stored sign-extended
//   24      dwSize     bytes sent, or bytes of data that follow
//   32      data       dwSize bytes (PROC_READ and PROC_RW_RTS only)
//
// Parameter records of the open requests (at byte 40, unsigned 32-bit
// little-endian fields, the string right behind them):
//
//   code                record            fields                           string at
//   PROC_INIT_USB       interface_usb     nVid nPid                        48 serial no.
//   PROC_INIT_SERIAL    interface_serial  nBaudrate nDataBit nParity       60 port name
//                                         nStopBit nFlowControl
//   PROC_INIT_PARALLEL  (none)                                             40 port name
//   PROC_INIT_NETWORK   interface_eth     nTCP nUDP                        48 IP address
//   PROC_INIT_FILE      interface_file    nFormat                          44 file name
//
// Both ends keep 1124-byte buffers, so a request carries at most 1084
// payload bytes; data is limited to 1024 bytes per exchange.  Every record
// is far below PIPE_BUF, so one write is one message, never interleaved.
#ifndef VEM_PIPE_H
#define VEM_PIPE_H

#include <cstddef>
#include <cstdint>

// Command codes.  The numbers travel between processes: never renumber.
enum InterfaceProcess : std::uint32_t {
    PROC_INIT_USB = 0,       // main: open a USB port -> slot index or code
    PROC_INIT_SERIAL = 1,    // main: open a serial port
    PROC_INIT_PARALLEL = 2,  // main: open a parallel port
    PROC_INIT_NETWORK = 3,   // main: open an Ethernet port
    PROC_INIT_FILE = 4,      // main: open a file port
    PROC_LOCK = 5,           // interface: lock_sem on the port semaphore
    PROC_UNLOCK = 6,         // interface: unlock_sem on the port semaphore
    PROC_LOGLVL = 7,         // main: dwIdx = log level mask -> 1
    PROC_LOGFILE = 8,        // main: file name at 40, "" cancels -> 1 or 0
    PROC_SEND = 9,           // interface: dwSend bytes at 40
    PROC_READ = 10,          // interface: dwRead bytes wanted
    PROC_RW_RTS = 11,        // interface: send dwSend, then read dwRead
    PROC_CLOSE = 12,         // main: dwIdx = slot -> 0 or VEM_NOINIT
    PROC_LOGCOUNT = 13,      // main: dwIdx = number of log files -> 1
    PROC_RECONNECT = 14,     // main: dwIdx = slot -> 1
};

struct interface_command {
    std::uint64_t dwProcess;
    std::uint64_t dwIdx;
    std::uint64_t dwSend;
    std::uint64_t dwRead;
    std::uint64_t dwTimeout;
};
using LPINTF_CMD = interface_command*;

struct interface_result {
    std::uint64_t dwProcess;
    std::uint64_t dwIdx;
    std::uint64_t dwResult;
    std::uint64_t dwSize;
};
using LPINTF_RESULT = interface_result*;

struct interface_usb {
    std::uint32_t nVid, nPid;
};
struct interface_serial {
    std::uint32_t nBaudrate, nDataBit, nParity, nStopBit, nFlowControl;
};
struct interface_eth {
    std::uint32_t nTCP, nUDP;
};
struct interface_file {
    std::uint32_t nFormat;
};
using PARM_USB = interface_usb;
using PARM_RS232 = interface_serial;
using PARM_ETH = interface_eth;
using PARM_FILE = interface_file;

inline constexpr std::size_t INTF_BUF_SIZE = 1124;    // request and reply buffers
inline constexpr std::size_t INTF_CMD_SIZE = 40;      // request header
inline constexpr std::size_t INTF_RESULT_SIZE = 32;   // reply header
inline constexpr std::size_t INTF_DATA_MAX = 1024;    // data bytes per exchange
inline constexpr std::size_t INTF_PATH_SIZE = 300;    // FIFO path field, terminator included
inline constexpr char INTF_CS_PREFIX[] = "/tmp/cmn_intf_to_svr";  // client -> server
inline constexpr char INTF_SC_PREFIX[] = "/tmp/cmn_svr_to_intf";  // server -> client
// Longest suffix whose path fits INTF_PATH_SIZE (279).
inline constexpr std::size_t INTF_SUFFIX_MAX = INTF_PATH_SIZE - 1 - (sizeof INTF_CS_PREFIX - 1);
// The main semaphore: a client holds it for one whole exchange on the main pipe.
inline constexpr char INTF_MAIN_SEM_NAME[] = "/cmn_share_interface_main_sem_";

// Where the string of each open request begins.
inline constexpr std::size_t INTF_USB_STR_OFF = INTF_CMD_SIZE + sizeof(interface_usb);        // 48
inline constexpr std::size_t INTF_SERIAL_STR_OFF = INTF_CMD_SIZE + sizeof(interface_serial);  // 60
inline constexpr std::size_t INTF_PAR_STR_OFF = INTF_CMD_SIZE;                                // 40
inline constexpr std::size_t INTF_ETH_STR_OFF = INTF_CMD_SIZE + sizeof(interface_eth);        // 48
inline constexpr std::size_t INTF_FILE_STR_OFF = INTF_CMD_SIZE + sizeof(interface_file);      // 44

static_assert(sizeof(interface_command) == INTF_CMD_SIZE);
static_assert(offsetof(interface_command, dwTimeout) == 32);
static_assert(sizeof(interface_result) == INTF_RESULT_SIZE);
static_assert(offsetof(interface_result, dwSize) == 24);
static_assert(INTF_USB_STR_OFF == 48 && INTF_SERIAL_STR_OFF == 60 && INTF_ETH_STR_OFF == 48 &&
              INTF_FILE_STR_OFF == 44);
static_assert(INTF_SUFFIX_MAX == 279);
static_assert(INTF_CMD_SIZE + INTF_DATA_MAX <= INTF_BUF_SIZE);

// Little-endian field access on byte buffers, whatever the host's order and
// the buffer's alignment.
inline std::uint64_t get_le64(const unsigned char* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}
inline void put_le64(unsigned char* p, std::uint64_t v) {
    for (int i = 0; i < 8; ++i, v >>= 8) p[i] = static_cast<unsigned char>(v);
}
inline std::uint32_t get_le32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
inline void put_le32(unsigned char* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i, v >>= 8) p[i] = static_cast<unsigned char>(v);
}

// Header of a request or reply read from / written into a buffer of at
// least INTF_CMD_SIZE / INTF_RESULT_SIZE bytes.
inline interface_command load_command(const unsigned char* p) {
    return {get_le64(p), get_le64(p + 8), get_le64(p + 16), get_le64(p + 24), get_le64(p + 32)};
}
inline void store_command(unsigned char* p, const interface_command& c) {
    put_le64(p, c.dwProcess), put_le64(p + 8, c.dwIdx), put_le64(p + 16, c.dwSend);
    put_le64(p + 24, c.dwRead), put_le64(p + 32, c.dwTimeout);
}
inline interface_result load_result(const unsigned char* p) {
    return {get_le64(p), get_le64(p + 8), get_le64(p + 16), get_le64(p + 24)};
}
inline void store_result(unsigned char* p, const interface_result& r) {
    put_le64(p, r.dwProcess), put_le64(p + 8, r.dwIdx), put_le64(p + 16, r.dwResult);
    put_le64(p + 24, r.dwSize);
}
// A signed result as dwResult carries it (sign-extended), and back (low 32 bits).
inline std::uint64_t result_field(int nResult) {
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(nResult));
}
inline int result_value(std::uint64_t dwResult) {
    return static_cast<int>(static_cast<std::uint32_t>(dwResult));
}

// The in-memory record of one FIFO pair, owned by whoever created it
// (create_interface_pipe allocates it with calloc; free it with free_mem).
struct interface_list {
    int hSvrClient;          // S->C descriptor; -1 while not open
    int hClientSvr;          // C->S descriptor; -1 while not open
    char szSCName[INTF_PATH_SIZE];  // path of the S->C FIFO
    char szCSName[INTF_PATH_SIZE];  // path of the C->S FIFO
    // Server only: the daemon's own write end of C->S.  While it is open a
    // read on hClientSvr waits for data instead of returning end of file
    // when no client has the FIFO open, and the daemon writes its workers'
    // exit byte through it.  -1 on a client.
    int hKeepAlive;
};
using LPINTF_LIST = interface_list*;

#endif  // VEM_PIPE_H
