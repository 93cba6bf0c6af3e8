// VEMCmn.cpp - named-semaphore port locks and the drivers' small helpers.
#include "VEMCmn.h"

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "VEMPortOps.h"

namespace {

// Where glibc keeps named semaphores: /dev/shm/sem.<name without its '/'>.
constexpr char kSemDir[] = "/dev/shm/sem.";

// Every user of the machine must be able to open and use every port lock:
// the daemon and the CUPS backend run as root, applications do not.  A
// semaphore needs read and write access only (it is mapped, never run), so
// the execute bits stay off.
constexpr mode_t kSemMode = 0666;

constexpr long kNsPerSec = 1000000000L;

// Gives the semaphore file that sem_open just opened the mode kSemMode,
// without a shell and without following links.  The file must be a regular
// file owned by our effective user: one planted by somebody else (a link to
// /etc/shadow, a file of another user) is left exactly as it is.  The
// process's file-creation mask is not touched, since it is shared with every
// other thread.  Failures are silent: the semaphore itself is usable.
void open_to_all_users(const char* szName) {
    char path[sizeof kSemDir + VEM_SEM_NAME_SIZE];
    int n = std::snprintf(path, sizeof path, "%s%s", kSemDir, szName + 1);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof path) return;

    // O_NONBLOCK: a FIFO swapped in under our name must not hang us.
    UniqueFd fd(::open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd) return;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return;
    if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) return;
    if ((st.st_mode & 07777) != kSemMode) (void)::fchmod(fd.get(), kSemMode);
}

// True, after logging it, when there is no semaphore handle.
bool no_sem(unsigned int fn, const sem_t* pSem) {
    if (pSem != nullptr) return false;
    DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "Invalid pointer");
    return true;
}

}  // namespace

sem_t* create_semaphore(const char* szName) {
    if (szName == nullptr || szName[0] != '/' || std::strchr(szName + 1, '/') != nullptr ||
        szName[1] == '\0') {
        errno = EINVAL;
        return nullptr;
    }
    if (std::strlen(szName) >= VEM_SEM_NAME_SIZE) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    sem_t* pSem = ::sem_open(szName, O_CREAT, kSemMode, 1U);
    if (pSem == SEM_FAILED) return nullptr;
    int saved = errno;
    open_to_all_users(szName);
    errno = saved;
    return pSem;
}

struct timespec lock_deadline(struct timespec now, int nTimeout) {
    struct timespec deadline {};
    deadline.tv_sec = now.tv_sec + nTimeout / 1000;
    // Both addends are below 1e9, so one carry normalises the sum.
    long ns = static_cast<long>(nTimeout % 1000) * 1000000L + now.tv_nsec;
    if (ns >= kNsPerSec) {
        ns -= kNsPerSec;
        deadline.tv_sec += 1;
    }
    deadline.tv_nsec = ns;
    return deadline;
}

int lock_sem(sem_t* pSem, int nTimeout) {
    const unsigned int p32 = ptr_low32(pSem);
    DbgLogMessage(LOG_LEVEL_TRACE, fn_lock_sem, LOG_START, "Lock Enter sem=0x%08X, timeout : %d",
                  p32, nTimeout);
    if (no_sem(fn_lock_sem, pSem)) return VEM_ILLEGAL;

    int result = VEM_ILLEGAL;
    if (nTimeout == -1) {
        // An interrupted wait is not restarted: a host program may use a
        // signal to get a thread out of an endless wait.  It is a failure,
        // never a held lock.
        if (::sem_wait(pSem) == 0) {
            result = VEM_SUCCESS;
        } else {
            DbgLogMessage(LOG_LEVEL_ERROR, fn_lock_sem, LOG_ERRNO,
                          "sem_wait(sem=0x%08X) errno : %d", p32, errno);
        }
    } else if (nTimeout >= 0) {
        // A deadline needs no signal: the signal dispositions stay exactly
        // as the host program set them (a point-of-sale application may
        // use alarm() for its own purposes).  A signal that interrupts the
        // wait restarts it with the same deadline.
        struct timespec now {};
        if (::clock_gettime(CLOCK_REALTIME, &now) != 0) {
            DbgLogMessage(LOG_LEVEL_ERROR, fn_lock_sem, LOG_ERRNO,
                          "clock_gettime(sem=0x%08X) errno : %d", p32, errno);
        } else {
            const struct timespec deadline = lock_deadline(now, nTimeout);
            int rc;
            do {
                rc = ::sem_timedwait(pSem, &deadline);
            } while (rc != 0 && errno == EINTR);
            if (rc == 0) {
                result = VEM_SUCCESS;
            } else {
                const int err = errno;
                DbgLogMessage(LOG_LEVEL_ERROR, fn_lock_sem, LOG_ERRNO,
                              "sem_timedwait(sem=0x%08X) errno : %d", p32, err);
                result = (err == ETIMEDOUT) ? VEM_LOCK_TIMEOUT : VEM_ILLEGAL;
            }
        }
    }
    // nTimeout below -1 falls through as VEM_ILLEGAL.

    DbgLogMessage(LOG_LEVEL_TRACE, fn_lock_sem, LOG_END, "Lock complete, sem=0x%08X result=%d", p32,
                  result);
    return result;
}

int islock_sem(sem_t* pSem) {
    const unsigned int p32 = ptr_low32(pSem);
    DbgLogMessage(LOG_LEVEL_TRACE, fn_islock_sem, LOG_START, "IsLock sem=0x%08X enter", p32);
    if (no_sem(fn_islock_sem, pSem)) return VEM_ILLEGAL;
    int value = 0;
    if (::sem_getvalue(pSem, &value) != 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_islock_sem, LOG_ERRNO,
                      "sem_getvalue(sem=0x%08X) errno : %d", p32, errno);
        return VEM_ILLEGAL;
    }
    DbgLogMessage(LOG_LEVEL_TRACE, fn_islock_sem, LOG_TRACE, "sem_getvalue(sem=0x%08X) value : %d",
                  p32, value);
    if (value == 0) {
        DbgLogMessage(LOG_LEVEL_TRACE, fn_islock_sem, LOG_END, "IsLock sem=0x%08X already lock",
                      p32);
        return VEM_ALREADY_LOCK;
    }
    DbgLogMessage(LOG_LEVEL_TRACE, fn_islock_sem, LOG_TRACE, "semaphore(sem=0x%08X) is not locked",
                  p32);
    return VEM_NOLOCK;
}

int unlock_sem(sem_t* pSem) {
    const unsigned int p32 = ptr_low32(pSem);
    DbgLogMessage(LOG_LEVEL_TRACE, fn_unlock_sem, LOG_START, "Unlock Enter sem=0x%08X", p32);
    if (no_sem(fn_unlock_sem, pSem)) return VEM_ILLEGAL;
    if (islock_sem(pSem) != VEM_ALREADY_LOCK) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_unlock_sem, LOG_ERRNO,
                      "Semaphore it not lock. Unlock fail.");
        return VEM_ILLEGAL;
    }
    if (::sem_post(pSem) != 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_unlock_sem, LOG_ERRNO, "sem_post(sem=0x%08X) errno : %d",
                      p32, errno);
        return VEM_ILLEGAL;
    }
    DbgLogMessage(LOG_LEVEL_TRACE, fn_unlock_sem, LOG_END, "sem=0x%08X unlock successfully", p32);
    return VEM_SUCCESS;
}

void replace_char(char* pString) {
    if (pString == nullptr) return;
    for (char* p = pString; *p != '\0'; ++p) {
        if (*p == '\\' || (*p == '/' && p != pString)) *p = '_';
    }
}

int time_diff_ms(struct timeval start, struct timeval end) {
    // Modulo-2^32 microseconds; the difference reinterpreted as signed is
    // the true interval whenever that is shorter than 2^31 microseconds.
    auto us = [](const struct timeval& tv) {
        return static_cast<std::uint32_t>(tv.tv_sec) * 1000000U +
               static_cast<std::uint32_t>(tv.tv_usec);
    };
    const auto diff = static_cast<std::int32_t>(us(end) - us(start));
    return diff / 1000;
}

void free_mem(void** ppMem) {
    if (ppMem == nullptr || *ppMem == nullptr) return;
    std::free(*ppMem);
    *ppMem = nullptr;
}

sem_t* open_composed_semaphore(char* szName, bool composed, unsigned int fn, unsigned int level,
                               const char* kind) {
    sem_t* pSem = nullptr;
    if (composed) {
        pSem = create_semaphore(szName);
    } else {
        std::memset(szName, 0, VEM_SEM_NAME_SIZE);
        if (errno == 0) errno = ENAMETOOLONG;
    }
    if (pSem == nullptr) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn, LOG_ERRNO, "Create semaphore failed, errno:%d", errno);
        return nullptr;
    }
    DbgLogMessage(level, fn, LOG_END, "Create %s semaphore successfully. name=%s, sem=0x%08X", kind,
                  szName, ptr_low32(pSem));
    return pSem;
}

bool compose_port_sem_name(char* szName, const char* szTemplate, const char* lpszPath) {
    if (szName == nullptr || szTemplate == nullptr || lpszPath == nullptr) {
        if (szName != nullptr) szName[0] = '\0';
        errno = EINVAL;
        return false;
    }
    const int n = std::snprintf(szName, VEM_SEM_NAME_SIZE, szTemplate, lpszPath);
    if (n < 0 || static_cast<std::size_t>(n) >= VEM_SEM_NAME_SIZE) {
        std::memset(szName, 0, VEM_SEM_NAME_SIZE);
        errno = ENAMETOOLONG;
        return false;
    }
    replace_char(szName);
    return true;
}

// ---- Service pipes ----

namespace {

// Mode of every FIFO file: clients of every user must reach the daemon.
constexpr mode_t kFifoMode = 0777;

// True when fd is a FIFO that the caller may trust: the server's must be
// its own; a client's the daemon's (root) or its own.
bool acceptable_fifo(int fd, int isServer) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    if (!S_ISFIFO(st.st_mode)) return (errno = EINVAL), false;
    const uid_t me = ::geteuid();
    if (st.st_uid != me && (isServer || st.st_uid != 0)) return (errno = EPERM), false;
    return true;
}

// Opens path without following a link and checks what it opened.
UniqueFd open_fifo(const char* path, int flags, int isServer) {
    UniqueFd fd(::open(path, flags | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY));
    if (fd && !acceptable_fifo(fd.get(), isServer)) fd.reset();
    return fd;
}

// Makes path a FIFO of ours with mode kFifoMode.  An existing FIFO of ours
// is kept; anything else there is removed (unlink removes a link, never
// its target; a directory cannot be removed and fails) and replaced.
// Returns 0 or the errno of the failure.
int make_fifo(const char* path) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (::mkfifo(path, 0) != 0) {
            if (errno != EEXIST) return errno;
            struct stat st {};
            if (::lstat(path, &st) != 0) continue;  // gone meanwhile: try again
            if (!S_ISFIFO(st.st_mode) || st.st_uid != ::geteuid()) {
                DbgLogMessage(LOG_LEVEL_WARN, fn_create_interface_pipe, LOG_WARN,
                              "Replace foreign file %s (mode=0%o, uid=%u)", path,
                              static_cast<unsigned>(st.st_mode),
                              static_cast<unsigned>(st.st_uid));
                if (::unlink(path) != 0) return errno;
                continue;
            }
        }
        // The mode goes on the FIFO itself, through a descriptor: the file
        // creation mask does not matter and no name is resolved twice.  A
        // non-blocking read open of a FIFO returns at once.
        UniqueFd fd = open_fifo(path, O_RDONLY | O_NONBLOCK, 1);
        if (!fd) return errno;
        if (::fchmod(fd.get(), kFifoMode) != 0) return errno;
        return 0;
    }
    return EEXIST;
}

// The record's pipe suffix: slashes and backslashes become underscores.
void pipe_suffix(char (&out)[INTF_PATH_SIZE], const char* pszName) {
    std::memset(out, 0, sizeof out);
    if (pszName == nullptr) return;
    std::memcpy(out, pszName, std::strlen(pszName));
    replace_char(out);
    if (out[0] == '/') out[0] = '_';
}

void close_fd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

LPINTF_LIST create_interface_pipe(const char* pszName, int isServer) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_create_interface_pipe, LOG_START,
                  "Create interface pipe Enter");
    if (pszName != nullptr && std::strlen(pszName) > INTF_SUFFIX_MAX) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_create_interface_pipe, LOG_ERRNO,
                      "Pipe name too long (%zu, at most %zu)", std::strlen(pszName),
                      INTF_SUFFIX_MAX);
        return nullptr;
    }
    auto* pIntf = static_cast<LPINTF_LIST>(std::calloc(1, sizeof(interface_list)));
    if (pIntf == nullptr) {
        DbgLogMessage(LOG_LEVEL_ERROR, fn_create_interface_pipe, LOG_ERRNO, "Out of memory!!");
        return nullptr;
    }
    pIntf->hSvrClient = pIntf->hClientSvr = pIntf->hKeepAlive = -1;
    char suffix[INTF_PATH_SIZE];
    pipe_suffix(suffix, pszName);
    std::snprintf(pIntf->szSCName, sizeof pIntf->szSCName, "%s%s", INTF_SC_PREFIX, suffix);
    std::snprintf(pIntf->szCSName, sizeof pIntf->szCSName, "%s%s", INTF_CS_PREFIX, suffix);

    if (isServer) {
        for (const char* path : {pIntf->szSCName, pIntf->szCSName}) {
            DbgLogMessage(LOG_LEVEL_DEBUG, fn_create_interface_pipe, LOG_DBG,
                          "Start make fifo for %s", path);
            const int err = make_fifo(path);
            DbgLogMessage(LOG_LEVEL_DEBUG, fn_create_interface_pipe, LOG_DBG,
                     "Make fifo for %s result=%d", path, err == 0 ? 0 : -1);
            if (err != 0) {
                DbgLogMessage(LOG_LEVEL_ERROR, fn_create_interface_pipe, LOG_ERRNO,
                         "mkfifo (%s) fail, errno=%d", path, err);
                close_interface_pipe(pIntf, 1);
                free_mem(reinterpret_cast<void**>(&pIntf));
                DbgLogMessage(LOG_LEVEL_TRACE, fn_create_interface_pipe, LOG_END,
                              "Create interface pipe Exit %s", "Fail");
                return nullptr;
            }
        }
    }
    DbgLogMessage(LOG_LEVEL_TRACE, fn_create_interface_pipe, LOG_END,
                  "Create interface pipe Exit %s", "Succss");
    return pIntf;
}

int open_interface_pipe(LPINTF_LIST pIntf, int isServer) {
    DbgLogMessage(LOG_LEVEL_TRACE, fn_open_interface_pipe, LOG_START, "Open interface pipe Enter");
    if (pIntf == nullptr) return 0;
    struct Step {
        const char* path;
        int* fd;
        int flags;
    };
    // Client: opens that meet the daemon's, but wait for it only so long
    // (FIFO files left by a daemon that is gone must not hang the
    // application); O_NONBLOCK is cleared below.  Server: nothing that
    // waits for a client (the read end's O_NONBLOCK is cleared below).
    const Step client[] = {{pIntf->szCSName, &pIntf->hClientSvr, O_WRONLY | O_NONBLOCK},
                           {pIntf->szSCName, &pIntf->hSvrClient, O_RDONLY | O_NONBLOCK}};
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(INTF_OPEN_WAIT_MS);
    const Step server[] = {{pIntf->szCSName, &pIntf->hClientSvr, O_RDONLY | O_NONBLOCK},
                           {pIntf->szSCName, &pIntf->hSvrClient, O_RDWR | O_NONBLOCK}};
    for (const Step& s : isServer ? server : client) {
        if (*s.fd >= 0) continue;
        DbgLogMessage(LOG_LEVEL_DEBUG, fn_open_interface_pipe, LOG_DBG, "Prepare open fifo for %s",
                      s.path);
        UniqueFd fd = open_fifo(s.path, s.flags, isServer);
        // A client's write end finds no reader (ENXIO) until the daemon
        // holds the pair open.
        while (!fd && !isServer && errno == ENXIO && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            fd = open_fifo(s.path, s.flags, isServer);
        }
        const int err = errno;
        if (fd && !isServer) {
            const int flags = ::fcntl(fd.get(), F_GETFL);
            if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) fd.reset();
        }
        DbgLogMessage(LOG_LEVEL_DEBUG, fn_open_interface_pipe, LOG_DBG, "Open fifo for %s result=%d",
                 s.path, fd.get());
        if (fd && isServer && s.fd == &pIntf->hClientSvr) {
            // Our own writer, opened through the descriptor (the same FIFO
            // whatever happens to the name), keeps reads blocking.
            char self[40];
            std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd.get());
            UniqueFd keep(::open(self, O_WRONLY | O_NONBLOCK | O_CLOEXEC));
            const int flags = ::fcntl(fd.get(), F_GETFL);
            if (!keep || flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
                fd.reset();
            } else {
                close_fd(pIntf->hKeepAlive);
                pIntf->hKeepAlive = keep.release();
            }
        }
        if (!fd) {
            DbgLogMessage(LOG_LEVEL_ERROR, fn_open_interface_pipe, LOG_ERRNO, "Open (%s) fail, errno=%d",
                     s.path, err != 0 ? err : errno);
            DbgLogMessage(LOG_LEVEL_TRACE, fn_open_interface_pipe, LOG_END,
                          "Open interface pipe Exit %s", "Fail");
            return 0;
        }
        *s.fd = fd.release();
    }
    DbgLogMessage(LOG_LEVEL_TRACE, fn_open_interface_pipe, LOG_END, "Open interface pipe Exit %s",
                  "Succss");
    return 1;
}

void close_interface_pipe(LPINTF_LIST pIntf, int isServer) {
    if (pIntf == nullptr) return;
    if (pIntf->hSvrClient >= 0) {
        DbgLogMessage(LOG_LEVEL_DEBUG, fn_close_interface_pipe, LOG_DBG, "Close FIFO S->C pipe (%d)",
                      pIntf->hSvrClient);
        close_fd(pIntf->hSvrClient);
    }
    if (pIntf->hClientSvr >= 0) {
        DbgLogMessage(LOG_LEVEL_DEBUG, fn_close_interface_pipe, LOG_DBG, "Close FIFO C->S pipe (%d)",
                      pIntf->hClientSvr);
        close_fd(pIntf->hClientSvr);
    }
    close_fd(pIntf->hKeepAlive);
    if (isServer) {
        for (const char* path : {pIntf->szSCName, pIntf->szCSName}) {
            if (path[0] == '\0') continue;
            ::unlink(path);
            DbgLogMessage(LOG_LEVEL_DEBUG, fn_close_interface_pipe, LOG_DBG, "Unlink(%s)", path);
        }
    }
}

void init_intf_buf(void) {
    // Every driver built in, in a fixed order.
    for (unsigned int kind : {INTF_ETH, INTF_USB, INTF_FILE, INTF_PARRALLEL, INTF_RS232}) {
        if (const PortOps* ops = port_ops(kind); ops != nullptr && ops->reset_all != nullptr) {
            ops->reset_all();
        }
    }
}
