// VEMCmn.h - the cross-process port locks and the small helpers that every
// port driver shares.
//
// Each printer port is guarded by one POSIX named semaphore used as a binary
// lock (value 1 free, 0 held).  The names all begin with
// "/cmn_share_interface_" and live as files /dev/shm/sem.<name>; they
// outlive the processes that made them.
//
// This module is compiled into the port-access library and into the service
// daemon (see CMakeLists.txt: PORT_SLOT_MAX is 1 there and 50 here).  The
// operations use C++ linkage: they never cross an exported boundary, only
// the library's own front and the daemon call them.  None of them throws.
#ifndef VEM_CMN_H
#define VEM_CMN_H

#include <fcntl.h>
#include <semaphore.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "VEMFd.h"
#include "VEMFuncNo.h"
#include "VEMInterface.h"
#include "VEMLogging.h"
#include "VEMPipe.h"

#ifndef PORT_SLOT_MAX
#error "PORT_SLOT_MAX must be defined by the build (1 for the library, 50 for the daemon)"
#endif

// Size of every semaphore-name buffer of the port drivers, terminator
// included.  Longer names are refused, never cut: two ports whose names
// shared a cut prefix would share one lock.
inline constexpr std::size_t VEM_SEM_NAME_SIZE = 100;

// Prefix of every semaphore this system creates.
inline constexpr char VEM_SEM_PREFIX[] = "/cmn_share_interface_";

// A slot index handed to a driver operation is valid in [0, PORT_SLOT_MAX).
constexpr bool valid_slot(int idx) {
    return idx >= 0 && idx < PORT_SLOT_MAX;
}

// The low 32 bits of an address, as the log lines print pointers ("0x%08X").
inline unsigned int ptr_low32(const void* p) {
    return static_cast<unsigned int>(reinterpret_cast<std::uintptr_t>(p));
}

// Opens the named semaphore szName, creating it with value 1 if it does not
// exist (an existing one keeps its value).  A semaphore file this process's
// user owns is then made readable and writable by every user, so that a
// port opened first by root (daemon, CUPS backend) stays usable by
// applications of other users.  Logs nothing.
// Returns the handle, or nullptr with errno set:
//   EINVAL        szName is null, does not begin with '/', or holds another '/'
//   ENAMETOOLONG  szName does not fit VEM_SEM_NAME_SIZE bytes
//   ELOOP         /dev/shm holds a symbolic link under that name (never followed)
//   anything sem_open(3) reports
sem_t* create_semaphore(const char* szName);

// Takes the lock.  nTimeout in milliseconds: >= 0 waits at most that long
// (0 only tries), -1 waits without limit.
// Returns VEM_SUCCESS (now held by the caller), VEM_LOCK_TIMEOUT (deadline
// passed), or VEM_ILLEGAL (no handle, nTimeout < -1, a failing system call,
// or a wait that ended for any other reason: an interrupted untimed wait,
// an invalid semaphore).  Only VEM_SUCCESS means the caller holds the lock.
// Leaves the process's signal actions alone; a signal handled by the host
// program during a timed wait restarts the wait with the same deadline.
int lock_sem(sem_t* pSem, int nTimeout);

// Tests the lock without changing it; the answer may be stale at once.
// Returns VEM_ALREADY_LOCK (held), VEM_NOLOCK (free), VEM_ILLEGAL (no handle,
// or sem_getvalue failed).
int islock_sem(sem_t* pSem);

// Releases the lock.  Posts only when the semaphore is held, so its value
// never exceeds 1.  Returns VEM_SUCCESS, or VEM_ILLEGAL (no handle, not held,
// sem_post failed).
int unlock_sem(sem_t* pSem);

// Makes a composed semaphore name legal in place: every backslash, and every
// slash but one at the very first position, becomes an underscore.  A null
// or empty string is left alone.
void replace_char(char* pString);

// Milliseconds from start to end, truncated toward zero.  Time stamps are
// taken modulo 2^32 microseconds, so the result is exact for intervals
// shorter than about 35.8 minutes in either direction.
int time_diff_ms(struct timeval start, struct timeval end);

// free()s *ppMem and sets it to null; does nothing for a null ppMem or *ppMem.
void free_mem(void** ppMem);

// Absolute CLOCK_REALTIME deadline nTimeout (>= 0) milliseconds after now,
// normalised so that tv_nsec < 1e9.  lock_sem waits until it.
struct timespec lock_deadline(struct timespec now, int nTimeout);

// Longest port path whose semaphore name, composed from a template with
// one "%s", fits VEM_SEM_NAME_SIZE bytes with its terminator.
constexpr std::size_t port_path_max(std::size_t nTemplateLen) {
    return VEM_SEM_NAME_SIZE - 1 - (nTemplateLen - 2);
}

// Composes a port's semaphore name into szName (VEM_SEM_NAME_SIZE bytes):
// szTemplate (one "%s") with lpszPath as given, then replace_char.  A path
// too long for the buffer is refused, never cut: two long paths with a
// common prefix must not end up sharing one lock.  Returns false with errno
// EINVAL (null argument) or ENAMETOOLONG, szName then empty.
bool compose_port_sem_name(char* szName, const char* szTemplate, const char* lpszPath);

// The second half of every driver's create*Semaphore: `composed` says
// whether szName (VEM_SEM_NAME_SIZE bytes) holds the port's semaphore name;
// opens it with create_semaphore and logs the outcome under fn, the success
// line "Create <kind> semaphore successfully. ..." at `level`.  A name that
// could not be composed is emptied.  Returns the handle or null.
sem_t* open_composed_semaphore(char* szName, bool composed, unsigned int fn, unsigned int level,
                               const char* kind);

// RAII owners for callers of these primitives.
struct SemCloser {
    void operator()(sem_t* p) const noexcept {
        if (p != nullptr && p != SEM_FAILED) sem_close(p);
    }
};
using UniqueSem = std::unique_ptr<sem_t, SemCloser>;

// The semaphore half of every driver's close_port_*: the handle is closed
// when this port made it (`made` 1), never unlinked (another process may
// hold the lock right now, and a fresh semaphore of the same name would let
// the next opener take a second lock on the same printer), and the name is
// forgotten.
inline void release_port_semaphore(UniqueSem& sem, int& made, char* szName) {
    if (made == 1) {
        sem.reset();
        made = 0;
    }
    if (szName != nullptr) std::memset(szName, 0, VEM_SEM_NAME_SIZE);
}

struct StreamCloser {
    void operator()(std::FILE* f) const noexcept {
        if (f != nullptr) std::fclose(f);
    }
};
using UniqueStream = std::unique_ptr<std::FILE, StreamCloser>;

// Owns a file descriptor; -1 means none.
using vem::UniqueFd;

// ---- Service pipes (wire format and record in VEMPipe.h) ----
//
// The daemon alone creates and removes the FIFO files; they stay owned by
// root with mode 0777, so that clients of every user reach the daemon while
// nobody but root can replace them in the sticky /tmp.  No operation runs a
// shell, and none follows a symbolic link.

// Builds the record of a pair: paths "/tmp/cmn_svr_to_intf" and
// "/tmp/cmn_intf_to_svr" followed by pszName with every '/' and '\' turned
// into '_' (null or "" gives the main pair).  A server (isServer 1) also
// makes both FIFO files, mode 0777 set on the FIFO itself: an existing FIFO
// of its own is reused; any other file under the name (a planted link, a
// regular file, a FIFO of another user) is removed and replaced, never
// followed or changed.
// Returns the new record (descriptors -1), or null: pszName longer than
// INTF_SUFFIX_MAX, out of memory, or (server) a FIFO that cannot be made;
// a server then removes what it made of the pair.
LPINTF_LIST create_interface_pipe(const char* pszName, int isServer);

// How long a client waits in open_interface_pipe for the daemon to hold the
// pair open; afterwards the open fails (ENXIO).
inline constexpr int INTF_OPEN_WAIT_MS = 3000;

// Opens both FIFOs, C->S first.  A client opens C->S for writing and S->C
// for reading, waiting at most INTF_OPEN_WAIT_MS for the daemon to have the
// pair open.  A server
// never blocks: it opens C->S for reading plus its own write end
// (hKeepAlive), and S->C for reading and writing, so that clients' opens
// complete at once and a read waits for the next request.  Each FIFO must
// be a FIFO (a server's also its own; a client's owned by root or by the
// caller) and is opened without following links.
// Returns 1, or 0 (null record, or a FIFO cannot be opened or is not
// acceptable; a descriptor already opened stays in the record).
int open_interface_pipe(LPINTF_LIST pIntf, int isServer);

// Closes the open descriptors and sets them to -1; a server also removes
// both FIFO files.  Does not free the record; nothing happens for null.
void close_interface_pipe(LPINTF_LIST pIntf, int isServer);

// Resets the slot state of every port driver built in (each row of
// port_ops).
void init_intf_buf(void);

#endif  // VEM_CMN_H
