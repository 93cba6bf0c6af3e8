// VEMBackend.h - the CUPS backend vemcupsintf: device URIs, job delivery
// through the port-access library, the side-channel status service and the
// device listing.
//
// The program's main() (vemcupsintf.cpp) is a short sequence of steps over
// this core, which is a static library of its own so that the tests drive
// the very code the program runs (against a small stand-in of the
// port-access library; the backend is the code under test there).
//
// Threads: the main thread connects and copies the job; the side-channel
// thread answers the filter's status requests.  Both bracket every use of
// the printer with intf_lock/intf_unlock.
#pragma once

#include <atomic>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <span>

#include <pthread.h>

// Connection states (g_uiConnect).
enum VemConnectState : int {
    VEM_CONN_CONNECTING = 0,
    VEM_CONN_CONNECTED = 1,
    VEM_CONN_NOT_YET = 2,
    VEM_CONN_BROKEN = 3,  // must be closed and opened again
};

// ---- Process state --------------------------------------------------------
extern std::atomic<int> g_uiConnect;      // VemConnectState, starts at 2
extern unsigned int g_uiIdle;             // idle countdown, guarded by g_LockIdle
extern pthread_mutex_t g_LockIdle;        // guards g_uiIdle
extern volatile sig_atomic_t g_bTerminate;  // set by the SIGTERM handler
extern std::atomic<int> g_stopSC;         // main thread asks the side-channel thread to end

inline constexpr unsigned int kIdleSteps = 40;           // idle countdown start
inline constexpr std::size_t kUriMax = 500;              // working copy of a device URI
inline constexpr std::size_t kBlockSize = 65536;         // one read from the filter
inline constexpr char kBackendLogPath[] = "/var/log/cups/vemcups/vemcupsbe.log";

// ---- Device URIs ----------------------------------------------------------
// A device URI split into what the port-access library is opened with.
// Which fields are meaningful depends on `type` (5 USB, 6 serial, 7 Ethernet).
struct BackendUri {
    int type = 0;
    // USB
    int nVid = 0, nPid = 0;
    const char* lpszSerialNo = nullptr;  // null: none given
    // Ethernet
    const char* lpszIp = nullptr;
    int nTCP = 0, nUDP = 0;
    // serial
    int nBaudrate = 0, nDataBit = 0, nStopBitValue = 0;
    int nStopBit = 0, nParity = 0, nFlowControl = 0;
    const char* lpszParity = nullptr;
    const char* lpszFlow = nullptr;
    const char* lpszPort = nullptr;  // the device path: the rest of the URI
};

// Parses `uri` of interface type `type` into `out`, whose strings point into
// `work` (at least kUriMax bytes).  Writes the backend's log lines for a
// URI it refuses.  Returns 1 when the URI names a port that can be opened,
// 0 otherwise (too long, no keyword piece, invalid values).
int parseBackendUri(int type, const char* uri, std::span<char, kUriMax> work, BackendUri* out);

// Opens the port named by `uri` through the port-access library.  Returns
// 1 when connected, 0 otherwise.
int connectInterface(int type, const char* uri);

// ---- Job ------------------------------------------------------------------
// 1: the idle countdown back to its start; 0: one step down (not below 0).
// Returns the countdown after the change.
unsigned int updateIdleFlag(int reset);

// Delivers one block to the printer under the port lock, retrying and
// reconnecting as needed.  Adds the bytes sent to *pTotalSent.  Returns true
// when every byte went out, false when the block had to be given up.
bool deliverBlock(std::span<const std::uint8_t> block, std::uint32_t* pTotalSent);

// Copies the job from `input` to the printer until the idle rule, SIGTERM
// or an error ends it; `uri` is reopened whenever the connection is lost.
// Returns the exit status (0 only when the job ended by the idle rule with
// every byte delivered).  *pReceived gets the bytes read from the filter.
int runJob(int type, const char* uri, int input, std::uint32_t* pReceived);

// ---- Side channel ---------------------------------------------------------
// One answer on the side channel.
struct ScAnswer {
    bool send = false;          // false: the request gets no answer at all
    int status = 0;             // cups_sc_status_t
    std::uint8_t data[50] = {}; // outcome byte, then the printer's reply
    int length = 0;
};

// Answers one side-channel request (command and data as read) for a port of
// interface type `type`.  Status requests (command 5) are exchanged with the
// printer under the port lock.  `failures` is the thread's failure
// countdown; when it reaches 0 the connection is marked broken.
ScAnswer answerSideChannel(int type, int command, std::span<const std::uint8_t> request,
                           int* failures);

// The side-channel thread; `arg` points to the interface type.
void* sidechannel_thread(void* arg);

// Set while the side-channel thread runs; the main loop runs only then.
extern std::atomic<bool> g_scRunning;

// ---- Device listing -------------------------------------------------------
void list_vem_printer();
int getUSBDeviceName(char* buf, std::size_t size, int nVid, int nPid);
int getUSBDeviceUri(char* buf, std::size_t size, int nVid, int nPid);
int getETHDeviceUri(char* buf, std::size_t size, const char* lpszIp);
