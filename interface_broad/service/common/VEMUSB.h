// VEMUSB.h - the USB port: a printer reached through libusb-1.0.
//
// A port is opened by vendor and product ID (and, where given, the device's
// serial-number string).  Print data goes out on the first bulk OUT
// endpoint, answers come in on the first bulk IN endpoint, and real-time
// status requests travel as vendor control transfers.  The interface is
// claimed around every single transfer and released after it, detaching a
// kernel driver that holds it (never re-attached), so that processes can
// take turns on one printer under the port's named semaphore and a port can
// stay parked between turns.
//
// Slot states: Closed --init_port_usb--> Open (handle, endpoints, semaphore)
// --close_usb_handle--> Parked (semaphore and endpoints kept)
// --reconnect_usb--> Open.  close_port_usb returns to Closed from any state.
// Around each transfer an Open slot is briefly Claimed.
//
// libusb: every call uses the default context.  The library build
// (PORT_SLOT_MAX 1) initialises it on open and releases it on close; the
// daemon (PORT_SLOT_MAX 50) initialises it once at start-up, sets
// g_bInitLib, and its close never releases it.  scan_usb always holds a
// reference of its own for the length of the scan.
//
// One slot is used by one thread at a time (the library's caller under the
// port lock, or the daemon's worker of that slot); the driver has no lock of
// its own.  None of the operations throws.
#ifndef VEM_USB_H
#define VEM_USB_H

#include <libusb.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "VEMCmn.h"

// Endpoint indexes of a slot's g_endpoint.
enum ENDPOINT_LIST { EP_BULK_IN = 0, EP_BULK_OUT = 1, EP_HID_IN = 2, EP_MAX = 3 };

// One endpoint the driver found: the index of the interface in
// configuration 0 that holds it (used as the interface number for claim,
// release and kernel-driver calls) and its address (bit 7 set for IN; 0
// means none was found).
struct EndpointList {
    int iFace;
    std::uint8_t byEP;
};
using EPLIST = EndpointList;

// Semaphore name template: vendor and product ID, four lower-case hex digits
// each.  0x1234/0x00ab gives /cmn_share_interface_usb_sem_1234_00ab__.  All
// printers of one model share it: two identical printers take turns.
inline constexpr char VEM_USB_SEM_TEMPLATE[] = "/cmn_share_interface_usb_sem_%04x_%04x__";

// Serial-number buffer of a slot, terminator included.  A USB string
// descriptor holds at most 126 characters; longer serial numbers are refused.
inline constexpr std::size_t VEM_USB_SERIAL_SIZE = 128;

// bmRequestType of a real-time status request: device to host, vendor,
// recipient interface.
inline constexpr std::uint8_t VEM_USB_RTS_REQUEST_TYPE = 0xC1;

// A libusb device handle, closed by its owner.
struct UsbHandleCloser {
    void operator()(libusb_device_handle* h) const noexcept { libusb_close(h); }
};
using UniqueUsbHandle = std::unique_ptr<libusb_device_handle, UsbHandleCloser>;

// ---- Per-slot state; reset values in brackets -----------------------------
extern UniqueUsbHandle g_UsbHandle[PORT_SLOT_MAX];  // open device [null]
extern EPLIST g_endpoint[PORT_SLOT_MAX][EP_MAX];    // endpoints found [addresses cleared on open]
extern UniqueSem g_pUsbSem[PORT_SLOT_MAX];          // the port's semaphore [null]
extern int g_InitUsbSem[PORT_SLOT_MAX];             // 1: g_pUsbSem made by init_port_usb [0]
extern int g_bDetachDriver[PORT_SLOT_MAX];          // 1: kernel driver detached, not released [0]
extern char g_semUsbName[PORT_SLOT_MAX][VEM_SEM_NAME_SIZE];     // semaphore name [zero]
extern char g_szUsbSerial[PORT_SLOT_MAX][VEM_USB_SERIAL_SIZE];  // serial of the device opened
                                                                // ("" if it has none) [zero]

// ---- Process-wide ---------------------------------------------------------
// 1 while this process holds a reference to libusb's default context made
// by the driver (library: from open to close) or by the daemon (its whole
// life).
extern std::atomic<int> g_bInitLib;

// Resets every slot (closing whatever is still open; semaphores are closed,
// never unlinked).
void init_buf_usb();

// Opens a port: the device of vid/pid (16-bit IDs) whose serial-number
// string is lpszSerialNo, or the first such device when lpszSerialNo is null
// or empty; finds its endpoints; opens the port's semaphore.
// Returns VEM_SUCCESS, or:
//   VEM_ILLEGAL    invalid idx; vid or pid outside 0..0xFFFF; serial number
//                  of VEM_USB_SERIAL_SIZE characters or more
//   VEM_INUSED     the slot holds a handle; (daemon) the same device is open
//                  in another slot: same vid/pid and, when a serial number
//                  is given, the same serial number
//   VEM_NO_SUPPORT libusb cannot be initialised
//   VEM_NODEVICE   no such device, its descriptors cannot be read, or the
//                  semaphore cannot be created; the slot is left Closed
int init_port_usb(int idx, int vid, int pid, const char* lpszSerialNo);

// Opens the device into the slot and records its endpoints (the first bulk
// IN, bulk OUT and interrupt IN met in interface, alternate-setting and
// endpoint order) and its serial number.  With a non-empty lpszSerialNo only
// the device whose serial-number string matches is taken.  Returns
// VEM_SUCCESS (also when no endpoint was found: the transfers then refuse
// the port) or VEM_NODEVICE (invalid idx, no device, descriptors
// unreadable: the handle, if any, stays in the slot for the caller to close).
int connect_usb(int idx, int vid, int pid, const char* lpszSerialNo = nullptr);

// Reopens a parked or open slot's device; semaphore and name stay.  Returns
// VEM_SUCCESS, or VEM_NODEVICE (invalid idx, bad IDs or serial number, device
// not there: the slot is left Parked).
int reconnect_usb(int idx, int vid, int pid, const char* lpszSerialNo);

// Parks the slot: closes the device handle; semaphore and endpoints stay.
void close_usb_handle(int idx);

// Closes the slot for good: semaphore handle (the name stays in the system:
// other processes may hold it), device handle, name; the library build then
// releases its libusb reference.  Invalid idx: logged, nothing done.
void close_port_usb(int idx);

// The slot's semaphore handle; null when none or for an invalid idx.
sem_t* getUsbSemaphore(int idx);

// Composes the port's semaphore name into szName (VEM_SEM_NAME_SIZE bytes)
// and opens it with create_semaphore.  Returns the handle, or null (null
// szName, create_semaphore failed: errno tells).
sem_t* createUsbSemaphore(char* szName, int vid, int pid);

// 1 when szName begins with the semaphore name of vid/pid, else 0 (also for
// a null szName).
int check_sem_name(char* szName, int vid, int pid);

// Before a transfer on endpoint ep: detaches a kernel driver that holds the
// endpoint's interface (g_bDetachDriver = 1) and claims the interface.
// Returns VEM_SUCCESS, VEM_NODEVICE (device gone while detaching), or
// VEM_ILLEGAL (invalid idx or ep, no handle, detach failed, claim failed:
// the interface is released again).
int check_b4_usb_driver(int idx, int ep);

// After a transfer: releases ep's interface; the kernel driver is never
// re-attached.  Invalid idx or ep: logged, nothing done.
void check_after_usb_driver(int idx, int ep);

// Logs every device of a null-terminated list and, with pPidList given,
// counts those of vendor nVid, storing the product IDs of the first nSize
// of them in list order.  *pnCount (if given) ends as the number of
// matching devices, which may exceed nSize.
void print_devs(libusb_device** devs, int nVid, int* pPidList, unsigned nSize, unsigned* pnCount);

// Sends nSendSize bytes in one bulk OUT transfer (no chunks, no retry).
// *pdwSize is the number of bytes the device took, also when the transfer
// ended with an error after taking some (0 before anything went out).
// Returns VEM_SUCCESS (whatever the transfer did: *pdwSize tells),
// VEM_NOINIT (no handle or no bulk OUT endpoint), VEM_NODEVICE (device
// gone), VEM_ILLEGAL (invalid idx, null pdwSize, negative size or null
// data, kernel driver or claim refused).
int send_data_usb(int idx, unsigned char* pBySendData, int nSendSize, unsigned long* pdwSize,
                  unsigned long dwTimeout);

// Reads up to nReceiveSize bytes in one bulk IN transfer.  *pdwRecSize is
// the number of bytes received: 0 on a time-out without data, on a closed
// port, without a bulk IN endpoint, or when the interface cannot be claimed.
// Returns VEM_SUCCESS for every valid idx (a caller learns from the size),
// VEM_ILLEGAL (invalid idx, null pdwRecSize, negative size or null buffer).
int receive_data_usb(int idx, unsigned char* pByReceiveData, int nReceiveSize,
                     unsigned long* pdwRecSize, unsigned long dwTimeout);

// Exchanges a real-time status request as one vendor control transfer
// (VEM_USB_RTS_REQUEST_TYPE) built from the command bytes: bRequest = byte 0
// (nSend >= 1), wValue = bytes 1, 2 big-endian (nSend >= 3), wIndex = bytes
// 3, 4 big-endian (nSend >= 5), each else 0; bytes beyond the fifth are
// ignored.  wLength = nReturn (at most 0xFFFF) with a reply buffer, else 0
// and no data stage.  *pdwRead is the number of reply bytes the device sent
// (0 on any failure, on a closed port, or without a data stage).  Returns
// VEM_SUCCESS for every valid idx, VEM_ILLEGAL (invalid idx, null pdwRead,
// negative sizes, null command bytes with nSend > 0).
int rts_data_usb(int idx, unsigned char* pBySend, int nSend, unsigned char* pByRet, int nReturn,
                 unsigned long* pdwRead, unsigned long dwTimeout);

// Lists the product IDs of the attached devices of vendor nVid (see
// print_devs).  *nCount (if given) is 0 when the device list cannot be had.
// Returns VEM_SUCCESS, or VEM_NO_SUPPORT (libusb cannot be initialised).
int scan_usb(int nVid, int* pPidList, unsigned nSize, unsigned* nCount);

#endif  // VEM_USB_H
