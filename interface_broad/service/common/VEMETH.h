// VEMETH.h - the Ethernet port, and SNMP identity queries and discovery of
// network printers.
//
// A network printer is an IPv4 address with two ports: TCP carries print
// data both ways, UDP carries real-time status requests and their answers.
// Before a port is opened the printer must answer an SNMP request on UDP
// port 161.  State lives in per-slot arrays of PORT_SLOT_MAX slots; every
// port operation takes the slot index first.
//
// Slot states: Closed --init_port_eth--> Open (TCP and/or UDP socket,
// semaphore, stored address and ports) --close_eth_handle--> Parked
// (sockets closed, semaphore kept) --reconnect_eth--> Open.  close_port_eth
// returns to Closed from any state.
//
// Threads: the slot's user (the library's caller, or the daemon's worker of
// that slot) and one idle monitor per process.  The monitor reopens a slot
// whose TCP connection has carried no complete transfer for more than 30 s,
// but only while it holds the port's named semaphore, so it never disturbs a
// client that holds the port in any process.  It takes the semaphore before
// the slot's mutex, as client paths do (they lock the port, then call the
// driver, which takes the mutex).
//
// Discovery asks every IPv4 interface whose name has no "lo" in it, either
// by one broadcast and then each host that answered, or by querying every
// address of the interface's network (/24 or smaller) in parallel.
#ifndef VEM_ETH_H
#define VEM_ETH_H

#include <netinet/in.h>
#include <pthread.h>

#include <ctime>
#include <mutex>

#include "VEMCmn.h"

// Semaphore name template; the address as given goes in %s, then
// replace_char.  192.168.10.20 gives /cmn_share_interface_ethernet_sem_192.168.10.20__.
inline constexpr char VEM_ETH_SEM_TEMPLATE[] = "/cmn_share_interface_ethernet_sem_%s__";
// Longest address whose semaphore name fits VEM_SEM_NAME_SIZE (63).
inline constexpr std::size_t VEM_ETH_ADDR_MAX =
    VEM_SEM_NAME_SIZE - 1 - (sizeof VEM_ETH_SEM_TEMPLATE - 1 - 2);
// Size of the stored address (at most 299 characters).
inline constexpr std::size_t VEM_ETH_IP_SIZE = 300;

// The SNMP port every printer is asked on, and the port whose answers a
// broadcast scan listens on when the caller gives a negative one.
inline constexpr int VEM_SNMP_PORT = 161;
inline constexpr int VEM_BROADCAST_LISTEN_PORT = 5000;
// Seconds without a complete TCP transfer after which the monitor reopens.
inline constexpr int VEM_ETH_IDLE_LIMIT_S = 30;
// Entries of a discovery thread table; entry 0 is never used.
inline constexpr int VEM_SCAN_TABLE_SIZE = 255;

// The two SNMPv1 GetRequests (community "zelmix", request-id 3), 40 bytes
// each: sysObjectID.0 and sysDescr.0.
inline constexpr int VEM_SNMP_REQUEST_SIZE = 40;
extern const unsigned char g_ObjectId[VEM_SNMP_REQUEST_SIZE];
extern const unsigned char g_SysDescr[VEM_SNMP_REQUEST_SIZE];

// ---- Per-slot state; reset values (init_buf_eth) in brackets --------------
extern char g_szIP[PORT_SLOT_MAX][VEM_ETH_IP_SIZE];  // address for reconnection [zero]
extern int g_tcp[PORT_SLOT_MAX];                     // TCP port; <= 0: none [0]
extern int g_udp[PORT_SLOT_MAX];                     // UDP port; <= 0: none [0]
extern int g_EthTCPHandle[PORT_SLOT_MAX];            // connected TCP socket [-1]
extern int g_EthUDPHandle[PORT_SLOT_MAX];            // UDP socket [-1]
extern struct sockaddr_in g_UdpAddr[PORT_SLOT_MAX];  // status requests go here
extern std::time_t g_start_tm[PORT_SLOT_MAX];        // last connect or complete transfer
extern std::mutex g_csMutexPort[PORT_SLOT_MAX];      // guards everything above
extern UniqueSem g_pEthSem[PORT_SLOT_MAX];           // the port's semaphore [null]
extern int g_InitEthSem[PORT_SLOT_MAX];              // 1 while fully open [0]
extern char g_semEthName[PORT_SLOT_MAX][VEM_SEM_NAME_SIZE];  // semaphore name [zero]

// Resets every slot (closing whatever is still open).  Not while the monitor
// may be looking at the slots' sockets: called at start-up.
void init_buf_eth();

// Sets SO_SNDTIMEO (bSend non-zero) or SO_RCVTIMEO on hHandle to nTimeout
// milliseconds; 0 and -1 mean no limit.  Returns 1, or 0 (setsockopt failed,
// also for other negative values).
int set_eth_timeout(int hHandle, int nTimeout, int bSend);

// Connects a TCP socket to lpszIp:nTCP.  Waits at most about 2 s for a
// connection in progress and returns as soon as it completes.  Returns the
// connected (blocking) socket, or -1: bad address or port (1..65535), the
// connection refused or not complete in time.
int connect_tcp(const char* lpszIp, int nTCP);

// Makes an unbound, unconnected UDP socket and fills *pUdpAddr with
// lpszIp:nUDP.  Returns the socket, or -1 (bad address or port, null
// pUdpAddr, no socket).
int connect_udp(const char* lpszIp, int nUDP, struct sockaddr_in* pUdpAddr);

// One request to *pUdpAddr and at most one answer from that host.  Answers
// still queued from earlier requests, and datagrams from other hosts, are
// dropped.  The answering address is written back to *pUdpAddr.
// *pdwRead is written only when bytes arrived (callers set it to 0 first).
// Returns VEM_SUCCESS (sent, and nReturn bytes came back or no answer was
// asked for), VEM_NOINIT (hUDP -1), VEM_ILLEGAL (bad arguments, socket
// option, send failed, no answer within dwTimeout, or a short answer).
int send_recv_udp(int hUDP, struct sockaddr_in* pUdpAddr, unsigned char* pBySend, int nSend,
                  unsigned char* pByRet, int nReturn, unsigned long* pdwRead,
                  unsigned long dwTimeout);

// The reachability probe: an SNMP sysObjectID request to lpszIp:161 with a
// 50 ms limit.  Returns 1 when any answer came back, else 0.
int isDeviceOnline(const char* lpszIp);

// Probes the printer, then opens the TCP socket (nTCP > 0) and the UDP
// socket (nUDP > 0) into the slot.  Returns 1, or 0; on failure the sockets
// already opened stay in the slot for the caller to close.
int connect_network(int idx, const char* lpszIp, int nTCP, int nUDP);

// close_eth_handle, then connect_network.  Returns VEM_SUCCESS, or
// VEM_NODEVICE (slot left without sockets).  The caller holds the slot's mutex.
int reopen_eth_port(int idx, const char* lpszIp, int nTCP, int nUDP);

// reopen_eth_port under the slot's mutex.  Returns its result, or
// VEM_ILLEGAL for an invalid idx.
int reconnect_eth(int idx, const char* lpszIp, int nTCP, int nUDP);

// Parks the slot: closes its sockets (semaphore kept).  Returns 1, or 0 for
// an invalid idx.  The caller holds the slot's mutex or is its only user.
int close_eth_handle(int idx);

// Closes the slot for good: sockets, semaphore handle (never unlinked),
// stored address and ports.  Invalid idx: logged, nothing done.
void close_port_eth(int idx);

// Opens the port: probe, sockets, semaphore; starts the process's monitor on
// the first success.  Returns VEM_SUCCESS, VEM_INUSED (the slot has a socket
// open; it is left as it is), VEM_ILLEGAL (null address or one longer than
// VEM_ETH_ADDR_MAX: nothing is sent), VEM_NODEVICE (invalid idx, printer
// silent, connection failed, no monitor, no semaphore; the slot is left closed).
int init_port_eth(int idx, const char* lpszIp, int nTCP, int nUDP);

// The slot's semaphore handle; null when none or for an invalid idx.
sem_t* getNetworkSemaphore(int idx);

// Composes the port's semaphore name into szName (VEM_SEM_NAME_SIZE bytes)
// and opens it.  Returns the handle, or null (null szName; null address or
// one longer than VEM_ETH_ADDR_MAX, szName left empty; create_semaphore failed).
sem_t* createNetworkSemaphore(char* szName, const char* lpszIp);

// The idle monitor's thread body; returns its argument.
void* thread_network_mon(void* pArg);

// Asks the monitor to end and waits for it.  Once stopped, it is never
// started again in this process.
void stop_TCP_monitoring();

// Sends the whole block on the slot's TCP socket within dwTimeout ms (0 and
// -1: no limit).  *pdwSize = bytes written.  Returns VEM_SUCCESS,
// VEM_NOINIT (no TCP socket), VEM_ILLEGAL (invalid idx or arguments, socket
// option, write error, short write).  A connection the printer closed gives
// VEM_ILLEGAL, never SIGPIPE.
int send_data_eth(int idx, unsigned char* pBySendData, int nSendSize, unsigned long* pdwSize,
                  unsigned long dwTimeout);

// One read of up to nReceiveSize bytes within dwTimeout ms (0 and -1: no
// limit).  *pdwRecSize = bytes read.  Returns VEM_SUCCESS (exactly
// nReceiveSize), VEM_NOINIT (no TCP socket), VEM_ILLEGAL (invalid idx or
// arguments, socket option, read error or time limit, fewer bytes).
int receive_data_eth(int idx, unsigned char* pByReceiveData, int nReceiveSize,
                     unsigned long* pdwRecSize, unsigned long dwTimeout);

// A status exchange on the slot's UDP socket (send_recv_udp).  Returns its
// result, VEM_NOINIT without a UDP socket, VEM_ILLEGAL for an invalid idx.
int rts_data_eth(int idx, unsigned char* pBySend, int nSend, unsigned char* pByRet, int nReturn,
                 unsigned long* pdwRead, unsigned long dwTimeout);

// ---- SNMP identity and discovery ------------------------------------------

// The threads one interface's scan started; the collector joins them.
struct ScanThreadTable {
    pthread_t th[VEM_SCAN_TABLE_SIZE];
    bool started[VEM_SCAN_TABLE_SIZE];
};

// Asks lpszIp:nUDP for sysObjectID and sysDescr and fills *pDevInfo (zeroed
// first).  Returns VEM_SUCCESS, VEM_ILLEGAL (bad arguments, no socket), or
// the failed exchange's code when no byte of an answer came back.
int send_rcv_snmp(const char* lpszIp, int nUDP, PETH_DEV_INFO pDevInfo, unsigned long dwTimeout);

// Thread body: pArg is an address string allocated with new char[] (owned by
// the thread).  Returns a record allocated with new, or null.
void* threadScanPrinter(void* pArg);

// One broadcast from the interface (ip, mask) and a thread per answer, in
// entries 1.. of table; *pnLast = entries used.  Stops starting threads when
// the table is full.  Returns VEM_SUCCESS or VEM_ILLEGAL.
int getPrinterByBroadcast(struct in_addr ip, struct in_addr mask, int nPort,
                          ScanThreadTable& table, int* pnLast);

// A thread per address of the interface's network but the network address,
// the own address (its entry in *pnSkip) and the broadcast address.
// Returns VEM_SUCCESS, VEM_NO_SUPPORT (network wider than /24), VEM_ILLEGAL.
int getPrinterByManualScan(struct in_addr ip, struct in_addr mask, ScanThreadTable& table,
                           int* pnSkip, int* pnLast);

// 1 when one of the first uiListItem records of pList has pDev's address
// and description, else 0.
int isDuplicatePrinter(PETH_DEV_INFO pList, unsigned int uiListItem, PETH_DEV_INFO pDev);

// Finds printers on every IPv4 interface without "lo" in its name, by
// broadcast (isBroad 1; answers on nListenPort: negative 5000, 0 a free
// port) or address scan (any other isBroad).  At most nSize records go to
// pEthDev; *pnCount = records written.  Returns VEM_SUCCESS, or VEM_ILLEGAL (null pnCount, null
// pEthDev with nSize > 0, no interface list).
int scan_network_printer(PETH_DEV_INFO pEthDev, unsigned int nSize, unsigned int* pnCount,
                         int isBroad, int nListenPort);

// The four octets of an IPv4 address in network byte order, in dotted order.
void convertIPtoValue(long nBinary, unsigned int* nBuffer);

#endif  // VEM_ETH_H
