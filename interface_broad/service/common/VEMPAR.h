// VEMPAR.h - the parallel port: a printer on a PC parallel port, driven
// through the Linux ppdev interface (/dev/parportN).
//
// The port is claimed (PPCLAIM) for as long as its descriptor is open.  Data
// goes out one byte per PPWDATA request into the data register, each
// latched by the printer at a pulse on nStrobe; bytes come
// back one per PPRDATA request after the port is switched to ECP mode and
// reverse direction, and the direction is set forward again after every
// receive.  State lives in per-slot arrays of PORT_SLOT_MAX slots; every
// operation takes the slot index first.
//
// Slot states: Closed (no descriptor) --init_port_pra--> Open (claimed
// descriptor, semaphore) --close_pra_handle--> Parked (semaphore kept)
// --reconnect_pra--> Open.  close_port_pra returns to Closed from any state;
// the semaphore's name is never unlinked.
//
// One slot is used by one thread at a time; the driver has no lock of its
// own (the claim keeps other ppdev users off the port).
#ifndef VEM_PAR_H
#define VEM_PAR_H

#include "VEMCmn.h"

// Semaphore name template; the device path as given goes in %s, then
// replace_char.  /dev/parport0 gives
// /cmn_share_interface_parallel_sem__dev_parport0__.
inline constexpr char VEM_PAR_SEM_TEMPLATE[] = "/cmn_share_interface_parallel_sem_%s__";
// Longest device path whose semaphore name fits VEM_SEM_NAME_SIZE (63).
inline constexpr std::size_t VEM_PAR_PATH_MAX = port_path_max(sizeof VEM_PAR_SEM_TEMPLATE - 1);

// Per-slot state; reset values in brackets.
extern UniqueFd g_PortHandle[PORT_SLOT_MAX];     // the open, claimed node [-1]
extern UniqueSem g_pParallelSem[PORT_SLOT_MAX];  // the port's semaphore [null]
extern int g_InitParallelSem[PORT_SLOT_MAX];     // 1: g_pParallelSem made by init_port_pra [0]
extern char g_semParallelName[PORT_SLOT_MAX][VEM_SEM_NAME_SIZE];  // semaphore name [zero]

// Resets every slot to the reset values (closing whatever is still open).
void init_buf_par();

// Opens lpszPort into the slot and claims the port.  Returns 1, or 0
// (invalid idx, null path, open or PPCLAIM failed; after a failed claim the
// descriptor stays in the slot for the caller to close).
int connect_parallel(int idx, const char* lpszPort);

// Parks the slot: releases the port and closes its descriptor; the
// semaphore stays.  The descriptor leaves the slot in every case (closing it
// ends a claim in the kernel anyway).  Returns 1 (closed, or nothing to
// close), or 0 (invalid idx, PPRELEASE or close reported an error).
int close_pra_handle(int idx);

// Opens the port.  Returns VEM_SUCCESS, VEM_INUSED (slot holds a
// descriptor), VEM_ILLEGAL (null path or one longer than VEM_PAR_PATH_MAX:
// nothing is opened), VEM_NODEVICE (invalid idx, node cannot be opened or
// claimed, semaphore cannot be created; the slot is left closed).
int init_port_pra(int idx, const char* lpszPort);

// Reopens and reclaims a parked (or open) slot; the semaphore stays.
// Returns VEM_SUCCESS, VEM_NODEVICE (slot left parked), VEM_ILLEGAL
// (invalid idx).
int reconnect_pra(int idx, const char* lpszPort);

// Closes the slot for good: its semaphore handle, its descriptor, its name.
// An invalid idx is ignored.
void close_port_pra(int idx);

// The slot's semaphore handle; null when none or for an invalid idx.
sem_t* getParallelSemaphore(int idx);

// Composes the port's semaphore name into szName (VEM_SEM_NAME_SIZE bytes)
// and opens it with create_semaphore.  Returns the handle, or null (null
// szName; null path or one longer than VEM_PAR_PATH_MAX, errno EINVAL /
// ENAMETOOLONG and szName left empty; create_semaphore failed).
sem_t* createParallelSemaphore(char* szName, const char* lpszPort);

// Writes the bytes in order, each as a Centronics port does: wait (briefly)
// for the printer not to be busy (PPRSTATUS), put the byte on the data
// lines (one PPWDATA), pulse nStrobe (two PPFCONTROL).  A byte that cannot
// be written (a failing request, a printer that stays busy) is tried again,
// after a pause of a millisecond, until dwTimeout milliseconds have passed
// since the send began; successful writes never time out.
// *pdwSize is nSendSize on success, else 0.  Returns VEM_SUCCESS,
// VEM_NOINIT (no descriptor), VEM_ILLEGAL (invalid idx, null pdwSize,
// negative size or null data, time limit).
int send_data_pra(int idx, unsigned char* pBySendData, int nSendSize, unsigned long* pdwSize,
                  unsigned long dwTimeout);

// Reads nReceiveSize bytes from the data lines, one PPRDATA each, in ECP
// mode and reverse direction, retrying a failed read like the send; the
// direction is forward again afterwards, whatever happened.  *pdwRecSize is
// nReceiveSize on success, else 0.  Returns VEM_SUCCESS, VEM_NOINIT (no
// descriptor), VEM_ILLEGAL (invalid idx, null pdwRecSize, negative size or
// null buffer, mode or direction cannot be set, time limit).
int receive_data_pra(int idx, unsigned char* pByReceiveData, int nReceiveSize,
                     unsigned long* pdwRecSize, unsigned long dwTimeout);

#endif  // VEM_PAR_H
