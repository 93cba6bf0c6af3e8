// VEMFILE.h - the file port: a file treated as a printer.
//
// Every block sent is appended to the named file, as raw bytes or as
// hexadecimal text (two upper-case digits per byte, nothing between); every
// receive succeeds at once without data.  State lives in per-slot arrays of
// PORT_SLOT_MAX slots; every operation takes the slot index first.
//
// Slot states: Closed (no stream, no semaphore) --init_port_file--> Open
// (stream and semaphore) --close_file_handle--> Parked (semaphore kept)
// --reconnect_file--> Open.  close_port_file returns to Closed from any state.
//
// One slot is used by one thread at a time (the library's caller under the
// port lock, or the daemon's worker of that slot); the driver has no lock of
// its own.
#ifndef VEM_FILE_H
#define VEM_FILE_H

#include "VEMCmn.h"

// Output forms (nFormat).  Any value but VEM_FILE_HEX writes raw bytes.
inline constexpr int VEM_FILE_HEX = 0;
inline constexpr int VEM_FILE_RAW = 1;

// Semaphore name template; the file name as given goes in %s, then
// replace_char.  /tmp/out.bin gives /cmn_share_interface_file_sem__tmp_out.bin__.
inline constexpr char VEM_FILE_SEM_TEMPLATE[] = "/cmn_share_interface_file_sem_%s__";
// Longest file name whose semaphore name fits VEM_SEM_NAME_SIZE (67).
inline constexpr std::size_t VEM_FILE_NAME_MAX =
    VEM_SEM_NAME_SIZE - 1 - (sizeof VEM_FILE_SEM_TEMPLATE - 1 - 2);

// Per-slot state; reset values in brackets.
extern UniqueStream g_FileHandle[PORT_SLOT_MAX];  // open file, null when closed [null]
extern int g_Format[PORT_SLOT_MAX];               // 0 hexadecimal text, else raw [1]
extern UniqueSem g_pFileSem[PORT_SLOT_MAX];       // the port's semaphore [null]
extern int g_InitFileSem[PORT_SLOT_MAX];          // 1: g_pFileSem made by init_port_file [0]
extern char g_semFileName[PORT_SLOT_MAX][VEM_SEM_NAME_SIZE];  // semaphore name [zero]

// Resets every slot to the reset values (closing whatever is still open).
void init_buf_file();

// Opens lpszFilename for appending ("ab+", created if missing) into the
// slot.  Returns 1, or 0 (invalid idx, null name, fopen failed).
int connect_file(int idx, const char* lpszFilename);

// Parks the slot: closes its stream, format back to raw; the semaphore
// stays.  Returns 1 (closed, or nothing to close), or 0 (invalid idx, or
// fclose reported an error: buffered data may be lost; the stream is gone
// either way and the slot no longer holds it).
int close_file_handle(int idx);

// Reopens a parked (or open) slot's file with format nFormat (0 hex, any
// other raw); the semaphore stays.  Returns VEM_SUCCESS, VEM_NODEVICE (file
// cannot be opened; slot left parked), VEM_ILLEGAL (invalid idx).
int reconnect_file(int idx, const char* lpszFilename, int nFormat);

// Closes the slot for good: its semaphore handle (never unlinked), its
// stream, its name.  Invalid idx: logged, nothing done.
void close_port_file(int idx);

// The slot's semaphore handle; null when none or for an invalid idx.
sem_t* getFileSemaphore(int idx);

// Composes the port's semaphore name into szName (VEM_SEM_NAME_SIZE bytes)
// and opens it with create_semaphore.  Returns the handle, or null (null
// szName; null name or one longer than VEM_FILE_NAME_MAX, errno EINVAL /
// ENAMETOOLONG and szName left empty; create_semaphore failed).
sem_t* createFileSemaphore(char* szName, const char* lpszFilename);

// Opens the port.  nFormat other than 0 and 1 is logged and taken as 1.
// Returns VEM_SUCCESS, VEM_INUSED (slot holds a stream), VEM_ILLEGAL (null
// file name or one longer than VEM_FILE_NAME_MAX: nothing is created),
// VEM_NODEVICE (invalid idx, file cannot be opened, semaphore cannot be
// created; the slot is left closed).
int init_port_file(int idx, const char* lpszFilename, int nFormat);

// Appends nSendSize bytes (raw, or as 2 * nSendSize hex characters).  The
// stream is not flushed.  *pdwSize is nSendSize on success, else 0.
// Returns VEM_SUCCESS, VEM_NOINIT (no stream), VEM_ILLEGAL (invalid idx,
// null pdwSize, negative size or null data, zero bytes, out of memory,
// write error).  dwTimeout is ignored.
int send_data_file(int idx, unsigned char* pBySendData, int nSendSize, unsigned long* pdwSize,
                   unsigned long dwTimeout);

// Succeeds at once without data: *pdwRecSize = nReceiveSize, the buffer is
// not touched.  Returns VEM_SUCCESS, VEM_NOINIT (no stream), VEM_ILLEGAL
// (invalid idx, null pdwRecSize, negative size).  dwTimeout is ignored.
int receive_data_file(int idx, unsigned char* pByReceiveData, int nReceiveSize,
                      unsigned long* pdwRecSize, unsigned long dwTimeout);

#endif  // VEM_FILE_H
