// VEMRS232.h - the serial port: a printer on an RS-232 device node.
//
// The line is programmed through termios for raw 7- or 8-bit transfer with
// the requested speed, parity, stop bits and flow control; blocks are sent
// and received under an overall time limit in milliseconds.  State lives in
// per-slot arrays of PORT_SLOT_MAX slots; every operation takes the slot
// index first.
//
// Slot states: Closed (no descriptor) --init_port_serial--> Open
// (descriptor, programmed line, semaphore) --close_serial_handle--> Parked
// (semaphore kept) --reconnect_serial--> Open.  close_port_serial returns to
// Closed from any state; the semaphore's name is never unlinked.
//
// One slot is used by one thread at a time (the library's caller under the
// port lock, or the daemon's worker of that slot); the driver has no lock of
// its own.
#ifndef VEM_RS232_H
#define VEM_RS232_H

#include <termios.h>

#include "VEMCmn.h"

// Line parameters as callers pass them.  Values outside these give eight
// data bits only for 8, no parity, one stop bit, no flow control.
inline constexpr int VEM_SERIAL_DATA8 = 8;       // nDataBit; anything else: 7
inline constexpr int VEM_SERIAL_PARITY_ODD = 1;  // nParity; 0 and others: none
inline constexpr int VEM_SERIAL_PARITY_EVEN = 2;
inline constexpr int VEM_SERIAL_STOP2 = 2;         // nStopBit; anything else: 1
inline constexpr int VEM_SERIAL_FLOW_RTSCTS = 1;   // nFlowControl: ready/busy
inline constexpr int VEM_SERIAL_FLOW_XONXOFF = 2;  // nFlowControl; 0 and others: none

// Semaphore name template; the device path as given goes in %s, then
// replace_char.  /dev/ttyS0 gives /cmn_share_interface_rs232_sem__dev_ttyS0__.
inline constexpr char VEM_SERIAL_SEM_TEMPLATE[] = "/cmn_share_interface_rs232_sem_%s__";
// Longest device path whose semaphore name fits VEM_SEM_NAME_SIZE (66).
inline constexpr std::size_t VEM_SERIAL_PATH_MAX =
    port_path_max(sizeof VEM_SERIAL_SEM_TEMPLATE - 1);

// Per-slot state; reset values in brackets.
extern UniqueFd g_ComHandle[PORT_SLOT_MAX];    // the open device [-1]
extern UniqueSem g_pSerialSem[PORT_SLOT_MAX];  // the port's semaphore [null]
extern int g_InitSerialSem[PORT_SLOT_MAX];     // 1: g_pSerialSem made by init_port_serial [0]
extern char g_semSerialName[PORT_SLOT_MAX][VEM_SEM_NAME_SIZE];  // semaphore name [zero]

// Resets every slot to the reset values (closing whatever is still open).
void init_buf_serial();

// The termios speed constant of nBaudrate bit/s: 0, 50, 75, 110, 134, 150,
// 200, 300, 600, 1200, 1800, 2400, 4800, 9600, 19200, 38400, 57600, 115200,
// 230400; any other value gives B115200.
speed_t getBaudRate(int nBaudrate);

// Programs the slot's open line: raw mode (no echo, no line editing, no
// translation, no output processing), VMIN 0 and VTIME 5 (a read returns
// after at most half a second without data), the data bits, parity, stop
// bits, flow control and speed; CREAD and CLOCAL keep the device's values.
// Then drops whatever is pending in both directions.
// Returns 1, or 0 (invalid idx, no descriptor, a termios call failed).
int set_serial_attribs(int idx, int nBaudrate, int nDataBit, int nParity, int nStopBit,
                       int nFlowControl);

// Opens lpszPort into the slot (without becoming its controlling terminal
// and without waiting for a carrier), makes it blocking and programs the
// line.  Returns 1, or 0 (invalid idx, null path, open, fcntl or
// set_serial_attribs failed; when the open itself succeeded the descriptor
// stays in the slot for the caller to close).
int connect_serial(int idx, const char* lpszPort, int nBaudrate, int nDataBit, int nParity,
                   int nStopBit, int nFlowControl);

// Parks the slot: turns hardware flow control off on the device (so the
// line is not left in ready/busy mode), then closes the descriptor; the
// semaphore stays.  The slot is closed afterwards whatever close reports.
// Returns 1, or 0 for an invalid idx.
int close_serial_handle(int idx);

// Opens the port.  Returns VEM_SUCCESS, VEM_INUSED (slot holds a
// descriptor), VEM_ILLEGAL (null path or one longer than
// VEM_SERIAL_PATH_MAX: nothing is opened), VEM_NODEVICE (invalid idx,
// device cannot be opened or programmed, semaphore cannot be created; the
// slot is left closed).
int init_port_serial(int idx, const char* lpszPort, int nBaudrate, int nDataBit, int nParity,
                     int nStopBit, int nFlowControl);

// Reopens and reprograms a parked (or open) slot; the semaphore stays.
// Returns VEM_SUCCESS, VEM_NODEVICE (cannot be opened or programmed: slot
// left parked), VEM_ILLEGAL (invalid idx).
int reconnect_serial(int idx, const char* lpszPort, int nBaudrate, int nDataBit, int nParity,
                     int nStopBit, int nFlowControl);

// Closes the slot for good: its semaphore handle, its descriptor, its name.
// Invalid idx: logged, nothing done.
void close_port_serial(int idx);

// The slot's semaphore handle; null when none or for an invalid idx.
sem_t* getSerialSemaphore(int idx);

// Composes the port's semaphore name into szName (VEM_SEM_NAME_SIZE bytes)
// and opens it with create_semaphore.  Returns the handle, or null (null
// szName; null path or one longer than VEM_SERIAL_PATH_MAX, errno EINVAL /
// ENAMETOOLONG and szName left empty; create_semaphore failed).
sem_t* createSerialSemaphore(char* szName, const char* lpszPort);

// Sends nSendSize bytes within dwTimeout milliseconds.  The limit holds
// also while the printer stops the line (CTS low, XOFF): the driver never
// sleeps in a write, it waits for room at most until the limit.  A send
// whose last bytes go out as the limit passes has succeeded.
// *pdwSize is nSendSize on success, else 0 (bytes already handed to the
// device are not taken back).  Returns VEM_SUCCESS, VEM_NOINIT (no
// descriptor), VEM_ILLEGAL (invalid idx, null pdwSize, negative size or
// null data, a write error, the time limit).
int send_data_serial(int idx, unsigned char* pBySendData, int nSendSize, unsigned long* pdwSize,
                     unsigned long dwTimeout);

// Reads until nReceiveSize bytes have arrived or dwTimeout milliseconds
// have passed (checked at least every half second, so the receive may end
// up to that much after the limit).  *pdwRecSize is the number of bytes
// read, also on failure.  Returns VEM_SUCCESS (all arrived), VEM_NOINIT (no
// descriptor), VEM_ILLEGAL (invalid idx, null pdwRecSize, negative size or
// null buffer, a read error, fewer bytes than asked for).
int receive_data_serial(int idx, unsigned char* pByReceiveData, int nReceiveSize,
                        unsigned long* pdwRecSize, unsigned long dwTimeout);

#endif  // VEM_RS232_H
