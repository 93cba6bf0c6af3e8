// fakeppdev - a parallel port without hardware, for any program that drives
// one through the Linux ppdev interface.  Preloaded (LD_PRELOAD) or linked
// ahead of the C library, it answers open() of one chosen device path and
// the ppdev ioctl() requests on the descriptor it returns, and hands the
// bytes written to the data register to the emulated KVRS printer.  Usage:
// README.md next to this file.
//
// The emulated port, as the kernel's ppdev would behave (differences noted):
//   - every request but PPCLAIM needs the port claimed (else EINVAL); a
//     second PPCLAIM on one descriptor fails with EINVAL; a claim while
//     another descriptor holds the port fails with EBUSY (ppdev would wait);
//   - PPWDATA in forward direction is a byte to the printer; in reverse
//     direction the printer drives the lines and the byte is lost;
//   - PPRDATA in reverse direction takes the next byte the printer has to
//     send (its status replies and the bytes of "read" lines); with none
//     waiting it fails with EAGAIN (ppdev would return the floating lines).
//     In forward direction it reads back the last byte written;
//   - PPRSTATUS: printer selected, no error, paper present, and not busy
//     unless the steering file says "busy on";
//   - PPSETMODE, PPGETMODE, PPDATADIR, PPRCONTROL, PPNEGOT are accepted; any
//     other request fails with ENOTTY;
//   - closing a claimed descriptor releases the port.
// One print job (for the emulator's output files) runs from claim to release.
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/parport.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "VEMFd.h"
#include "kvrs_emulator.h"

#define FAKEPPDEV_EXPORT __attribute__((visibility("default")))

namespace {

using OpenFn = int (*)(const char*, int, ...);
using OpenatFn = int (*)(int, const char*, int, ...);
using CloseFn = int (*)(int);
using IoctlFn = int (*)(int, unsigned long, ...);

template <typename Fn>
Fn next_fn(const char* name) {
    return reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, name));
}

// ---- Steering: what the test wants to go wrong --------------------------

// A request name as the control file and the trace spell it.
const char* request_name(unsigned long request) {
    switch (request) {
        case PPCLAIM:
            return "PPCLAIM";
        case PPRELEASE:
            return "PPRELEASE";
        case PPWDATA:
            return "PPWDATA";
        case PPRDATA:
            return "PPRDATA";
        case PPSETMODE:
            return "PPSETMODE";
        case PPGETMODE:
            return "PPGETMODE";
        case PPDATADIR:
            return "PPDATADIR";
        case PPWCONTROL:
            return "PPWCONTROL";
        case PPRCONTROL:
            return "PPRCONTROL";
        case PPFCONTROL:
            return "PPFCONTROL";
        case PPRSTATUS:
            return "PPRSTATUS";
        case PPNEGOT:
            return "PPNEGOT";
        default:
            return nullptr;
    }
}

// A failure to inject: `left` more requests fail (-1: all of them).
struct Failure {
    long left = -1;
    int err = EIO;
};

struct Control {
    std::map<std::string, Failure, std::less<>> fail;  // by request name, or "open"
    kvrs::emu::Conditions conditions;
    bool busy = false;  // the printer holds BUSY
};

int default_errno(std::string_view what) {
    if (what == "open") return ENXIO;
    if (what == "PPCLAIM") return EBUSY;
    return EIO;
}

// ---- The port -------------------------------------------------------------

struct Port {
    int claimed_by = -1;  // descriptor holding the claim
    bool reverse = false;
    int mode = IEEE1284_MODE_COMPAT;
    unsigned char data = 0;             // data register as last written
    unsigned char control = 0;          // control register
    std::deque<unsigned char> to_host;  // what the printer has to send
    std::unique_ptr<kvrs::emu::Job> job;
};

struct State;
// False once the state is gone at exit: descriptors closed by destructors
// that run later pass straight through.
std::atomic<bool> g_alive{false};

struct State {
    State() { g_alive = true; }
    std::recursive_mutex mu;
    std::map<int, std::string> fds;  // our descriptors and the path they opened
    Port port;
    Control control;
    struct stat control_seen {};  // identity of the control file last read
    unsigned jobs = 0;
    vem::UniqueFd trace;
    std::string trace_path;

    ~State() {
        g_alive = false;
        // A program that ends without releasing the port still gets its
        // printout written.
        std::lock_guard lock(mu);
        if (port.job) port.job->finish();
    }
};

State& state() {
    static State s;
    return s;
}

const char* env(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? v : nullptr;
}

bool is_fake_path(const char* path) {
    const char* dev = env("FAKEPPDEV_DEVICE");
    return dev != nullptr && path != nullptr && std::strcmp(dev, path) == 0;
}

// One line per request to FAKEPPDEV_TRACE, appended in one write so that
// several processes can share the file.
void trace(State& s, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void trace(State& s, const char* fmt, ...) {
    const char* path = env("FAKEPPDEV_TRACE");
    if (path == nullptr) return;
    if (!s.trace || s.trace_path != path) {
        static const OpenFn real_open = next_fn<OpenFn>("open");
        s.trace.reset(real_open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
        s.trace_path = path;
    }
    char line[256];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(line, sizeof line - 1, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    n = std::min(n, static_cast<int>(sizeof line - 2));
    line[n] = '\n';
    vem::write_full(s.trace.get(), line, static_cast<std::size_t>(n) + 1);
}

// Re-reads FAKEPPDEV_CONTROL when it changed since the last look.
void refresh_control(State& s) {
    const char* path = env("FAKEPPDEV_CONTROL");
    struct stat st {};
    if (path == nullptr || ::stat(path, &st) != 0) {
        if (s.control_seen.st_ino != 0) s.control = Control{}, s.control_seen = {};
        return;
    }
    if (st.st_ino == s.control_seen.st_ino && st.st_size == s.control_seen.st_size &&
        st.st_mtim.tv_sec == s.control_seen.st_mtim.tv_sec &&
        st.st_mtim.tv_nsec == s.control_seen.st_mtim.tv_nsec)
        return;
    s.control_seen = st;
    s.control = Control{};
    std::FILE* f = std::fopen(path, "re");
    if (f == nullptr) return;
    char line[1024];
    while (std::fgets(line, sizeof line, f) != nullptr) {
        char word[64] = {}, what[64] = {};
        int used = 0;
        if (std::sscanf(line, "%63s %63s %n", word, what, &used) < 2) continue;
        if (std::strcmp(word, "fail") == 0) {
            Failure fl;
            fl.err = default_errno(what);
            long count = 0;
            if (std::sscanf(line + used, "%ld", &count) == 1 && count >= 0) fl.left = count;
            s.control.fail[what] = fl;
        } else if (std::strcmp(word, "busy") == 0) {
            s.control.busy = std::strcmp(what, "on") == 0;
        } else if (std::strcmp(word, "condition") == 0) {
            kvrs::emu::set_condition(s.control.conditions, what, true);
        } else if (std::strcmp(word, "read") == 0) {
            // "read" and the hex bytes after it: queued for PPRDATA.
            const char* p = line + std::strlen(word);
            unsigned int byte = 0;
            int n = 0;
            while (std::sscanf(p, " %2x%n", &byte, &n) == 1) {
                s.port.to_host.push_back(static_cast<unsigned char>(byte));
                p += n;
            }
        }
    }
    std::fclose(f);
}

// Whether the control file makes this request fail now; sets errno if so.
bool injected_failure(State& s, std::string_view what) {
    refresh_control(s);
    auto it = s.control.fail.find(what);
    if (it == s.control.fail.end() || it->second.left == 0) return false;
    if (it->second.left > 0) --it->second.left;
    errno = it->second.err;
    return true;
}

void start_job(State& s) {
    kvrs::emu::Job::Config cfg;
    const char* out = env("FAKEPPDEV_OUT");
    cfg.out_dir = out != nullptr ? out : "";
    char name[64];
    std::snprintf(name, sizeof name, "ppdev-%ld-%04u", static_cast<long>(::getpid()), ++s.jobs);
    cfg.name = name;
    cfg.reply = [&s](std::span<const std::uint8_t> bytes) {
        s.port.to_host.insert(s.port.to_host.end(), bytes.begin(), bytes.end());
    };
    cfg.conditions = [&s] { return s.control.conditions; };
    s.port.job = std::make_unique<kvrs::emu::Job>(std::move(cfg));
}

void end_job(State& s) {
    if (!s.port.job) return;
    if (env("FAKEPPDEV_OUT") != nullptr) s.port.job->finish();
    s.port.job.reset();
}

void release(State& s) {
    s.port.claimed_by = -1;
    s.port.reverse = false;
    s.port.mode = IEEE1284_MODE_COMPAT;
    s.port.control = 0;
    end_job(s);
}

// A new control register; asserting nStrobe hands the data lines to the
// printer.
void set_control(State& s, unsigned char control, const char* how) {
    Port& p = s.port;
    const bool strobe =
        (control & PARPORT_CONTROL_STROBE) != 0 && (p.control & PARPORT_CONTROL_STROBE) == 0;
    p.control = control;
    if (!strobe) {
        trace(s, "%s", how);
    } else if (p.reverse) {
        trace(s, "%s strobe, %02X lost", how, p.data);
    } else {
        trace(s, "%s strobe", how);
        p.job->feed(std::span<const std::uint8_t>(&p.data, 1));
    }
}

int fail(int err) {
    errno = err;
    return -1;
}

// Answers one ppdev request on our descriptor fd.
int fake_ioctl(State& s, int fd, unsigned long request, void* arg) {
    const char* name = request_name(request);
    if (name == nullptr) {
        trace(s, "ioctl 0x%lX = ENOTTY", request);
        return fail(ENOTTY);
    }
    Port& p = s.port;
    const bool claimed = p.claimed_by == fd;
    if (injected_failure(s, name)) {
        trace(s, "%s = %s", name, strerrorname_np(errno));
        return -1;
    }
    auto* byte = static_cast<unsigned char*>(arg);
    auto* num = static_cast<int*>(arg);
    if (request == PPCLAIM) {
        if (claimed) return trace(s, "PPCLAIM = EINVAL"), fail(EINVAL);
        if (p.claimed_by >= 0) return trace(s, "PPCLAIM = EBUSY"), fail(EBUSY);
        p.claimed_by = fd;
        start_job(s);
        trace(s, "PPCLAIM");
        return 0;
    }
    if (!claimed) return trace(s, "%s = EINVAL", name), fail(EINVAL);
    if (arg == nullptr && request != PPRELEASE) return trace(s, "%s = EFAULT", name), fail(EFAULT);
    char how[32];
    switch (request) {
        case PPRELEASE:
            release(s);
            trace(s, "PPRELEASE");
            return 0;
        case PPWDATA:
            p.data = *byte;
            trace(s, "PPWDATA %02X", *byte);
            return 0;
        case PPRDATA:
            if (!p.reverse) {
                *byte = p.data;
            } else if (p.to_host.empty()) {
                trace(s, "PPRDATA = EAGAIN");
                return fail(EAGAIN);
            } else {
                *byte = p.to_host.front();
                p.to_host.pop_front();
            }
            trace(s, "PPRDATA %02X", *byte);
            return 0;
        case PPWCONTROL:
            std::snprintf(how, sizeof how, "PPWCONTROL %02X", *byte);
            set_control(s, *byte, how);
            return 0;
        case PPFCONTROL: {
            const auto* frob = static_cast<const ppdev_frob_struct*>(arg);
            std::snprintf(how, sizeof how, "PPFCONTROL %02X/%02X", frob->mask, frob->val);
            set_control(
                s, static_cast<unsigned char>((p.control & ~frob->mask) | (frob->val & frob->mask)),
                how);
            return 0;
        }
        case PPRCONTROL:
            *byte = p.control;
            trace(s, "PPRCONTROL %02X", *byte);
            return 0;
        case PPRSTATUS:
            *byte = static_cast<unsigned char>(PARPORT_STATUS_SELECT | PARPORT_STATUS_ERROR |
                                               (s.control.busy ? 0 : PARPORT_STATUS_BUSY));
            trace(s, "PPRSTATUS %02X", *byte);
            return 0;
        case PPSETMODE:
            p.mode = *num;
            break;
        case PPNEGOT:
            p.mode = *num;
            break;
        case PPGETMODE:
            *num = p.mode;
            break;
        case PPDATADIR:
            p.reverse = *num != 0;
            break;
        default:
            break;
    }
    trace(s, "%s %d", name, *num);
    return 0;
}

int open_fake(const char* path, int flags) {
    State& s = state();
    std::lock_guard lock(s.mu);
    if (injected_failure(s, "open")) {
        trace(s, "open %s = %s", path, strerrorname_np(errno));
        return -1;
    }
    const int fd = ::memfd_create("fakeppdev", (flags & O_CLOEXEC) != 0 ? MFD_CLOEXEC : 0U);
    if (fd < 0) return -1;
    // The number may have been ours before, closed behind our back.
    if (s.port.claimed_by == fd) release(s);
    s.fds[fd] = path;
    trace(s, "open %s", path);
    return fd;
}

// Forgets fd if it is ours; a claim it held ends.
void forget(int fd) {
    if (!g_alive) return;
    State& s = state();
    std::lock_guard lock(s.mu);
    auto it = s.fds.find(fd);
    if (it == s.fds.end()) return;
    s.fds.erase(it);
    if (s.port.claimed_by == fd) release(s);
    trace(s, "close");
}

int mode_arg(int flags, va_list ap) {
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(ap, int) : 0;
}

}  // namespace

// ---- The interposed calls ---------------------------------------------------

extern "C" {

FAKEPPDEV_EXPORT int open(const char* path, int flags, ...) {
    if (is_fake_path(path)) return open_fake(path, flags);
    va_list ap;
    va_start(ap, flags);
    const int mode = mode_arg(flags, ap);
    va_end(ap);
    static const OpenFn real = next_fn<OpenFn>("open");
    return real(path, flags, mode);
}

FAKEPPDEV_EXPORT int open64(const char* path, int flags, ...) {
    if (is_fake_path(path)) return open_fake(path, flags);
    va_list ap;
    va_start(ap, flags);
    const int mode = mode_arg(flags, ap);
    va_end(ap);
    static const OpenFn real = next_fn<OpenFn>("open64");
    return real(path, flags, mode);
}

FAKEPPDEV_EXPORT int openat(int dirfd, const char* path, int flags, ...) {
    if (is_fake_path(path)) return open_fake(path, flags);
    va_list ap;
    va_start(ap, flags);
    const int mode = mode_arg(flags, ap);
    va_end(ap);
    static const OpenatFn real = next_fn<OpenatFn>("openat");
    return real(dirfd, path, flags, mode);
}

FAKEPPDEV_EXPORT int openat64(int dirfd, const char* path, int flags, ...) {
    if (is_fake_path(path)) return open_fake(path, flags);
    va_list ap;
    va_start(ap, flags);
    const int mode = mode_arg(flags, ap);
    va_end(ap);
    static const OpenatFn real = next_fn<OpenatFn>("openat64");
    return real(dirfd, path, flags, mode);
}

// The fortified entry points a program built with _FORTIFY_SOURCE calls.
FAKEPPDEV_EXPORT int __open_2(const char* path, int flags) {
    return open(path, flags);
}
FAKEPPDEV_EXPORT int __open64_2(const char* path, int flags) {
    return open64(path, flags);
}

FAKEPPDEV_EXPORT int close(int fd) {
    forget(fd);
    static const CloseFn real = next_fn<CloseFn>("close");
    return real(fd);
}

FAKEPPDEV_EXPORT int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (g_alive) {
        State& s = state();
        std::lock_guard lock(s.mu);
        if (s.fds.count(fd) != 0) return fake_ioctl(s, fd, request, arg);
    }
    static const IoctlFn real = next_fn<IoctlFn>("ioctl");
    return real(fd, request, arg);
}

}  // extern "C"
