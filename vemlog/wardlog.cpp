// wardlog - the process-wide debug log of the KVRS driver suite.
//
// A line is dropped unless its level shares a bit with the mask.  A kept line
// is stamped with the local time to the millisecond and the kernel thread id
// of the caller, then written to standard output or appended to the log file.
// The log file is opened, written and closed for every line, so it is always
// complete on disk and a file removed by somebody else is simply recreated.
// Before each line the file's size is checked; at 1 MiB it is rotated into
// numbered generations (x.log -> x.log01 -> x.log02 ...).
//
// Threads: the settings are read afresh on every call and no lock is held
// while a line is formatted.  The log file path may be replaced or cancelled
// by one thread while others are writing, so it is guarded by a small mutex
// held only to swap it or to copy it into the writer's own buffer: each line
// goes wholly to the destination that was set when it was written.
//
// Appending to the file is one step: "check the size, rotate if due,
// append" runs under a process-wide mutex, so two threads never rotate at
// once (their renames would interleave and overwrite generations) and no
// line is appended to a file that is being moved away.
//
// Processes sharing one log file take turns the same way through an
// exclusive flock on the live file itself, held from the size check to the
// end of the append.  A writer that waited for the lock checks that the path
// still names the file it locked; if another process rotated it meanwhile,
// it opens the new live file and tries again.  No lock file is created, so
// the directory holds only the live file and its generations, and a process
// that dies holding the lock releases it with its descriptors.  Writers
// that do not take the lock (older builds, an editor) are not excluded.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>
#include <span>
#include <string_view>

#include "VEMFd.h"

#include "VEMLogging.h"

namespace {

// ---- Process-wide state ---------------------------------------------------

// Level mask: a line is written only if its level shares a bit with it.
std::atomic<std::uint32_t> g_DebugLevel{0};
// Owned copy of the log file path; null means "none", lines go to standard
// output.  Guarded by g_FileLock (see the note at the top).  lib_close
// empties it before the library's static objects are destroyed.
constinit std::unique_ptr<char[]> g_File;
// Files kept: the live file plus generations 01 .. count-1; 0 writes nothing.
std::atomic<std::uint32_t> g_maxLogFile{0};
// Rotation threshold in bytes.
constexpr std::uint32_t g_maxFileSize = 1048576;
// Library version, printed as V2.0.0.0.
constexpr std::uint32_t g_major = 2;
constexpr std::uint32_t g_minor = 0;
constexpr std::uint32_t g_build = 0;
constexpr std::uint32_t g_private = 0;
// Held only while g_File is replaced or copied, never during I/O.
constinit std::mutex g_FileLock;
// Held for the whole of one append: size check, rotation and write.
constinit std::mutex g_AppendLock;

// ---- Fixed sizes ------------------------------------------------------------

constexpr std::uint32_t kMaxLogFiles = 1000;
constexpr std::size_t kMessageSize = 500;  // formatted message text
constexpr std::size_t kLineSize = 500;     // whole line with newline and NUL
constexpr std::size_t kNameSize = 400;     // log file and generation names
// A generation name adds up to three digits ("999") and the terminator.
constexpr std::size_t kMaxPathLength = kNameSize - 4;
constexpr int kDumpBytesPerLine = 20;

// Level-code table, indexed as chosen by LevelCode(); index 1 is never chosen.
constexpr const char* LOG_LVL_CODE[] = {"C_E", "G_E", "WAR", "TRC", "INF", "DBG", "VBS"};
// Token texts, indexed by LOG_TOKEN_ID.
constexpr const char* LOG_TOKEN[] = {"->", "<-", "XX", "xx", "  ", "  ", ">>", "<<"};
// Printed for a token outside LOG_TOKEN_ID, so a caller's mistake shows.
constexpr const char* kUnknownToken = "??";

constexpr std::uint32_t kLevelError = 1;
constexpr std::uint32_t kLevelWarn = 2;
constexpr std::uint32_t kLevelDebug = 4;
constexpr std::uint32_t kLevelDump = 8;
constexpr std::uint32_t kLevelTrace = 16;

// ---- Helpers ----------------------------------------------------------------

// Copies the current log file path into `out` (a NUL-terminated string,
// empty when no file is set).  SetLogFilename never stores a path longer
// than kMaxPathLength, so the copy always fits.
void SnapshotLogFile(std::span<char, kNameSize> out) {
    std::lock_guard lock(g_FileLock);
    const char* path = g_File ? g_File.get() : "";
    const std::size_t n = ::strnlen(path, out.size() - 1);
    std::memcpy(out.data(), path, n);
    out[n] = '\0';
}

const char* LevelCode(std::uint32_t level, unsigned int token) {
    if (level & kLevelError) return LOG_LVL_CODE[0];
    if (level & kLevelWarn) return LOG_LVL_CODE[2];
    if (token == LOG_START || token == LOG_END || token == LOG_EX_START || token == LOG_EX_END)
        return LOG_LVL_CODE[4];
    if (level & kLevelDebug) return LOG_LVL_CODE[5];
    if (level & kLevelDump) return LOG_LVL_CODE[6];
    if (level & kLevelTrace) return LOG_LVL_CODE[3];
    return LOG_LVL_CODE[4];
}

const char* TokenText(unsigned int token) {
    return token < std::size(LOG_TOKEN) ? LOG_TOKEN[token] : kUnknownToken;
}

// Name of generation k of `path`: the path directly followed by k with at
// least two digits (x.log01).  False if the name would not fit.
bool GenerationName(std::span<char, kNameSize> out, const char* path, std::uint32_t k) {
    const int n = std::snprintf(out.data(), out.size(), "%s%02" PRIu32, path, k);
    return n > 0 && static_cast<std::size_t>(n) < out.size();
}

// Shifts the generations of `path` by one and retires the live file.  Failed
// deletions and moves are ignored: missing generations are normal.
void RotateLogFile(const char* path, std::uint32_t count) {
    if (count <= 1) {
        ::unlink(path);
        return;
    }
    char from[kNameSize];
    char to[kNameSize];
    if (GenerationName(to, path, count - 1)) ::unlink(to);
    for (std::uint32_t k = count - 2; k >= 1; --k) {
        if (GenerationName(from, path, k) && GenerationName(to, path, k + 1)) ::rename(from, to);
    }
    if (GenerationName(to, path, 1)) ::rename(path, to);
}

// Takes the exclusive flock on `fd`, waiting through signals.  False if
// the file system cannot lock; the append then goes ahead unlocked.
bool LockFile(int fd) {
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

// Appends one finished line to the log file `path` (the caller's snapshot of
// g_File), rotating the file first when it has reached the threshold.
// Returns 1 if the line was written, 0 if not.
int TryLogToFile(const char* path, std::uint32_t count, const char* msg) {
    if (path[0] == '\0' || count == 0) return 0;

    std::lock_guard append(g_AppendLock);
    // Each pass opens the live file and locks it.  Another process may have
    // rotated the file while this one waited for the lock, and a rotation by
    // this process retires the file it holds: either way the next pass opens
    // the file that now bears the name.  Rotations are at least 1 MiB of
    // lines apart, so a few passes always suffice; the last one appends
    // whatever happens.
    constexpr int kPasses = 8;
    for (int pass = 1;; ++pass) {
        vem::UniqueFd fd(::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
        if (!fd) return 0;
        const bool locked = LockFile(fd.get());
        struct stat held {}, named {};
        const bool sameFile = ::fstat(fd.get(), &held) == 0 && ::stat(path, &named) == 0 &&
                              held.st_dev == named.st_dev && held.st_ino == named.st_ino;
        if (pass < kPasses && locked && !sameFile) continue;
        if (pass < kPasses && sameFile && held.st_size >= static_cast<off_t>(g_maxFileSize)) {
            RotateLogFile(path, count);
            continue;
        }
        return vem::write_all(fd.get(), std::string_view(msg)) ? 1 : 0;
    }
}

// Formats and writes one line; the level has already passed the mask.
void WriteLine(std::uint32_t level, unsigned int funcNo, unsigned int token, const char* format,
               va_list args) {
    // One clock reading serves both the date and the milliseconds, so the
    // two always belong to the same second.
    char dateTime[50] = "";
    int millis = 0;
    struct timeval tv {};
    time_t now;
    if (::gettimeofday(&tv, nullptr) == 0) {
        now = tv.tv_sec;
        millis = static_cast<int>(tv.tv_usec / 1000);
    } else {
        now = std::time(nullptr);
    }
    struct tm local {};
    if (::localtime_r(&now, &local) != nullptr)
        std::strftime(dateTime, sizeof dateTime, "%Y/%m/%d %H:%M:%S", &local);

    // vsnprintf cuts an overlong message at the buffer's end.
    char message[kMessageSize];
    if (std::vsnprintf(message, sizeof message, format, args) < 0) message[0] = '\0';

    const int tid = static_cast<int>(::syscall(SYS_gettid));

    // The line is cut so that its newline and terminator always fit.
    char line[kLineSize];
    const int n = std::snprintf(line, sizeof line - 1, "%s.%03d [PID:%05d][%s%03d%s] %s", dateTime,
                                millis, tid, LevelCode(level, token), static_cast<int>(funcNo),
                                TokenText(token), message);
    std::size_t len = n < 0 ? 0 : std::min(static_cast<std::size_t>(n), sizeof line - 2);
    line[len++] = '\n';
    line[len] = '\0';

    // The destination is read once per line: a line goes wholly to the file
    // that was set when it was written, or wholly to standard output.
    char path[kNameSize];
    SnapshotLogFile(path);
    if (path[0] == '\0') {
        std::fputs(line, stdout);  // text, never a format; flushed by stdio
        return;
    }
    // With a file set and a count of 0 the line is discarded; a failed
    // append loses it (no fall-back to standard output).
    TryLogToFile(path, g_maxLogFile.load(std::memory_order_relaxed), line);
}

// Runs when the library is loaded.  The mask is still 0 here, so the line
// is filtered out; it exists for builds that preset the mask.
__attribute__((constructor)) void lib_init() {
    DbgLogMessage(kLevelDebug, 0, LOG_START,
                  "Common Logging Library is initialized, Version = V%d.%d.%d.%d",
                  static_cast<int>(g_major), static_cast<int>(g_minor), static_cast<int>(g_build),
                  static_cast<int>(g_private));
}

// Runs when the library is unloaded (or the process exits).
__attribute__((destructor)) void lib_close() {
    DbgLogMessage(kLevelDebug, 0, LOG_END,
                  "Common Logging Library is exited, Version = V%d.%d.%d.%d",
                  static_cast<int>(g_major), static_cast<int>(g_minor), static_cast<int>(g_build),
                  static_cast<int>(g_private));
    CancelLogFile();
}

}  // namespace

// ---- Exported operations ----------------------------------------------------

extern "C" {

int SetLogLevel(unsigned int nLevel) {
    g_DebugLevel.store(nLevel, std::memory_order_relaxed);
    return 1;
}

void SetLogFileCount(unsigned int nCount) {
    g_maxLogFile.store(std::min<std::uint32_t>(nCount, kMaxLogFiles), std::memory_order_relaxed);
}

void CancelLogFile(void) {
    std::unique_ptr<char[]> old;
    {
        std::lock_guard lock(g_FileLock);
        old.swap(g_File);
    }
    // `old` is freed here, outside the lock.
}

int SetLogFilename(const char* lpszFilename) {
    if (lpszFilename == nullptr || lpszFilename[0] == '\0') {
        DbgLogMessage(kLevelDebug, 0, LOG_DBG, "[SetLogFilename]Cancel log file");
        CancelLogFile();
        return 1;
    }

    // A path whose generation names would not fit is refused like a path
    // that cannot be opened; nothing is created and the old setting stays.
    const std::size_t length = std::strlen(lpszFilename);
    if (length > kMaxPathLength ||
        !vem::UniqueFd(::open(lpszFilename, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666))) {
        DbgLogMessage(kLevelError, 0, LOG_ERRNO, "[SetLogFilename]Open file(%s) fail",
                      lpszFilename);
        return 0;
    }

    std::unique_ptr<char[]> copy;
    try {
        copy = std::make_unique_for_overwrite<char[]>(length + 1);
    } catch (const std::bad_alloc&) {
        // Without a copy there is no log file any more: standard output.
        CancelLogFile();
        return 0;
    }
    std::memcpy(copy.get(), lpszFilename, length + 1);
    {
        std::lock_guard lock(g_FileLock);
        copy.swap(g_File);
    }
    // `copy` now holds the previous path and is freed outside the lock.
    return 1;
}

void DbgLogMessage(unsigned int nLogLevel, unsigned int nFuncNo, unsigned int nToken,
                   const char* lpszFormat, ...) {
    if ((nLogLevel & g_DebugLevel.load(std::memory_order_relaxed)) == 0) return;
    va_list args;
    va_start(args, lpszFormat);
    WriteLine(nLogLevel, nFuncNo, nToken, lpszFormat != nullptr ? lpszFormat : "", args);
    va_end(args);
}

void DbgByteData(unsigned int nLogLevel, unsigned int nFuncNo, int bSend, unsigned char* pBuffer,
                 int nSize) {
    if ((nLogLevel & g_DebugLevel.load(std::memory_order_relaxed)) == 0) return;

    DbgLogMessage(nLogLevel, nFuncNo, LOG_TRACE, bSend ? "Send Trace Data" : "Receive Trace Data");
    DbgLogMessage(nLogLevel, nFuncNo, LOG_TRACE, "Buffer = 0x%08X, Size = %d",
                  static_cast<unsigned int>(reinterpret_cast<std::uintptr_t>(pBuffer)), nSize);
    if (pBuffer == nullptr || nSize < 1) return;

    const std::span<const unsigned char> bytes(pBuffer, static_cast<std::size_t>(nSize));
    for (std::size_t pos = 0; pos < bytes.size(); pos += kDumpBytesPerLine) {
        const auto chunk =
            bytes.subspan(pos, std::min<std::size_t>(kDumpBytesPerLine, bytes.size() - pos));
        // Eleven blanks, then "XX " per byte: 11 + 20 * 3 characters at most.
        char text[11 + kDumpBytesPerLine * 3 + 1];
        std::size_t len = 11;
        std::memset(text, ' ', len);
        for (const unsigned char b : chunk) {
            std::snprintf(text + len, sizeof text - len, "%02X ", b);
            len += 3;
        }
        text[len] = '\0';
        DbgLogMessage(nLogLevel, nFuncNo, LOG_TRACE, "%s", text);
    }
}

}  // extern "C"
