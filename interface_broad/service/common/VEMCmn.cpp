// VEMCmn.cpp - named-semaphore port locks and the drivers' small helpers.
#include "VEMCmn.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
