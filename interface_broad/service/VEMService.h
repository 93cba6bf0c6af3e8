// VEMService.h - what the daemon's control loop (wardlinkd.cpp) and its
// per-port workers (VEMWorker.cpp) share.
//
// The control loop owns the slot table; a worker sees only its own slot:
// the argument record handed to it, its pipe record (read only), its open
// count and reconnect flag through the accessors, and the stop flag.
#ifndef VEM_SERVICE_H
#define VEM_SERVICE_H

#include <atomic>

#include "VEMCmn.h"
#include "VEMPortOps.h"

static_assert(PORT_SLOT_MAX == 50, "the daemon is built with 50 port slots");

// The worker's argument record: allocated by the control loop when it opens
// the slot, owned by the worker while it runs, returned as the worker's exit
// value and freed by the thread that joins it.
struct WorkerArg {
    int nIdx = -1;                  // slot in the daemon's table and in the driver
    unsigned int kind = INTF_NONE;  // InterfaceList
    PortParams params;              // the port's parameters and name (szName)
    LPINTF_LIST pPipe = nullptr;    // the slot's interface pipe, opened by the control loop
    int bConnected = 0;             // 1 while the port is open in the driver
    long nRead = 0;                 // bytes of the request just read
    unsigned long dwSize = 0;       // the reply's dwSize: bytes sent or read
    alignas(8) unsigned char byRequest[INTF_BUF_SIZE] = {};
    alignas(8) unsigned char byReply[INTF_BUF_SIZE] = {};
};

// Set once, by the SIGTERM path; the control loop and every worker end when
// they see it at the top of a pass.
extern std::atomic<int> g_bStop;

// Slot accessors (each under its slot's own mutex).  An index outside 0-49
// logs "Invalid(0-50) idx=..." and gives 0 / does nothing.
int get_open_count(int idx);
int get_reconnect_flag(int idx);
void set_reconnect_flag(int idx, int flag);

// Worker thread functions, one per kind of port; each takes its WorkerArg
// and ends with it as its result.  All five run the same loop, driven by
// the kind's row of port_ops().
void* thread_usb(void* pArg);
void* thread_rs232(void* pArg);
void* thread_parallel(void* pArg);
void* thread_network(void* pArg);
void* thread_file(void* pArg);

// The thread function of a kind of port, or null for INTF_NONE / unknown.
using WorkerThreadFn = void* (*)(void*);
WorkerThreadFn worker_thread_of(unsigned int kind);

// Request handlers: one PROC_SEND, PROC_READ or PROC_RW_RTS request of the
// record's port; the result is the reply's dwResult (a VEM code).  Refused
// in this order: VEM_NOLOCK when nobody holds the port lock, VEM_ILLEGAL
// when a size exceeds 1024 or the request holds fewer data bytes than
// dwSend promises.
int usb_send(WorkerArg* pArg, LPINTF_CMD pCmd);
int usb_read(WorkerArg* pArg, LPINTF_CMD pCmd);
int usb_rts(WorkerArg* pArg, LPINTF_CMD pCmd);
int rs232_send(WorkerArg* pArg, LPINTF_CMD pCmd);
int rs232_read(WorkerArg* pArg, LPINTF_CMD pCmd);
int rs232_rts(WorkerArg* pArg, LPINTF_CMD pCmd);
int par_send(WorkerArg* pArg, LPINTF_CMD pCmd);
int par_read(WorkerArg* pArg, LPINTF_CMD pCmd);
int par_rts(WorkerArg* pArg, LPINTF_CMD pCmd);
int eth_send(WorkerArg* pArg, LPINTF_CMD pCmd);
int eth_read(WorkerArg* pArg, LPINTF_CMD pCmd);
int eth_rts(WorkerArg* pArg, LPINTF_CMD pCmd);
int file_send(WorkerArg* pArg, LPINTF_CMD pCmd);
int file_read(WorkerArg* pArg, LPINTF_CMD pCmd);
int file_rts(WorkerArg* pArg, LPINTF_CMD pCmd);

// Writes one reply of len bytes to a server's S->C descriptor.  Bytes still
// waiting there are replies nobody read (the next request comes only after
// the previous reply was read, or abandoned): they are dropped first, so
// that abandoned replies cannot fill the FIFO and stall the daemon.  Up to
// 10 attempts; stops early once the stop flag is set.  Logs "write problem,
// size=%d, errno=%d" under fn for each short attempt.  Returns the bytes
// written.
long write_reply(int fd, const unsigned char* pReply, long len, unsigned int fn);

#endif  // VEM_SERVICE_H
