// Harness for the daemon tests: a world of the test's own (private /tmp,
// /dev/shm, ptys and a /dev/log socket it reads), the real wardlinkd binary
// started and stopped in it, and a client that writes the pipe records byte
// for byte with its own encoding, pinning the wire format independently of
// any library.
#ifndef VEM_DAEMON_HARNESS_H
#define VEM_DAEMON_HARNESS_H

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <semaphore.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "../common/testkit.h"

namespace harness {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;
using namespace std::chrono_literals;

using testkit::read_file;
using testkit::wait_until;

// This process gets a mount namespace of its own: fresh /tmp and /dev/shm,
// and a /dev of its own (the machine's plain devices bound in, a new ptys
// instance) whose /dev/log is the datagram socket returned.  -1 on failure.
inline int isolate() {
    const fs::path old = "/tmp/.dev";
    // A checkout under /tmp (the test program, the daemon next to it) stays
    // where it is: its top directory is bound back into the fresh /tmp.
    fs::path keep;
    const fs::path exe = fs::read_symlink("/proc/self/exe");
    if (auto it = exe.begin(); exe.is_absolute() && std::distance(it, exe.end()) > 2 &&
                               *std::next(it) == "tmp")
        keep = fs::path("/tmp") / *std::next(it, 2);
    bool ok = ::unshare(CLONE_NEWNS) == 0 &&
              ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    // Opened in the new namespace: a bind mount's source must belong to it.
    const int keepFd =
        !ok || keep.empty() ? -1 : ::open(keep.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ok = ok && ::mount("t", "/tmp", "tmpfs", 0, "mode=1777") == 0;
    if (ok && keepFd >= 0) {
        const std::string from = "/proc/self/fd/" + std::to_string(keepFd);
        ok = fs::create_directory(keep) &&
             ::mount(from.c_str(), keep.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0;
    }
    if (keepFd >= 0) ::close(keepFd);
    ok = ok && fs::create_directory(old) &&
              ::mount("/dev", old.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0 &&
              ::mount("d", "/dev", "tmpfs", 0, "mode=0755") == 0;
    for (const char* n : {"null", "zero", "urandom", "random", "tty"}) {
        std::ofstream{fs::path("/dev") / n};
        ok = ok && ::mount((old / n).c_str(), (fs::path("/dev") / n).c_str(), nullptr, MS_BIND,
                           nullptr) == 0;
    }
    ok = ok && fs::create_directory("/dev/pts") && fs::create_directory("/dev/shm") &&
         ::mount("p", "/dev/pts", "devpts", 0, "newinstance,ptmxmode=0666,mode=0620") == 0 &&
         ::mount("s", "/dev/shm", "tmpfs", 0, "mode=1777") == 0;
    fs::create_symlink("pts/ptmx", "/dev/ptmx");
    const int s = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::strcpy(sa.sun_path, "/dev/log");
    ok = ok && ::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    if (!ok) std::perror("harness: isolate");
    return ok ? s : -1;
}

// ---- Wire format, written out by hand ----

inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
inline Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }
inline void le(Bytes& b, std::uint64_t v, int n) {
    for (int i = 0; i < n; ++i, v >>= 8) b.push_back(static_cast<unsigned char>(v));
}
inline std::uint64_t le_at(const Bytes& b, std::size_t off) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | b.at(off + i);
    return v;
}
// Header: code, idx, send, read, timeout, 8 bytes each; then the payload.
inline Bytes request(std::uint64_t code, std::uint64_t idx = 0, std::uint64_t send = 0,
                     std::uint64_t read = 0, std::uint64_t timeout = 0, const Bytes& payload = {}) {
    Bytes b;
    for (std::uint64_t v : {code, idx, send, read, timeout}) le(b, v, 8);
    return b + payload;
}
// Open: 32-bit parameters, then the name and its NUL.
inline Bytes open_request(std::uint64_t code, std::vector<std::uint32_t> params,
                          const std::string& name) {
    Bytes p;
    for (std::uint32_t v : params) le(p, v, 4);
    return request(code, 0, 0, 0, 0, p + text(name) + Bytes{0});
}
inline Bytes open_file(const std::string& name) { return open_request(4, {1}, name); }
inline Bytes open_serial(const std::string& port) {
    return open_request(1, {9600, 8, 0, 1, 0}, port);
}
inline Bytes send_request(const Bytes& data, std::uint64_t timeout = 1000) {
    return request(9, 0, data.size(), 0, timeout, data);
}
inline Bytes log_file(const std::string& name) { return request(8, 0, 0, 0, 0, text(name) + Bytes{0}); }

struct Reply {
    std::uint64_t code = ~0ULL;
    std::int32_t result = 0x7FFFFFFF;  // no reply
    std::uint64_t size = 0;
    Bytes data;
    long length = -1;
};

// One FIFO pair as a client sees it.
struct Client {
    int w = -1, r = -1;
    Client() = default;
    explicit Client(const std::string& suffix) { open(suffix); }
    ~Client() { close(); }
    bool open(const std::string& suffix) {
        w = ::open(("/tmp/cmn_intf_to_svr" + suffix).c_str(), O_WRONLY | O_CLOEXEC);
        r = ::open(("/tmp/cmn_svr_to_intf" + suffix).c_str(), O_RDONLY | O_CLOEXEC);
        return w >= 0 && r >= 0;
    }
    void close() {
        for (int fd : {w, r}) {
            if (fd >= 0) ::close(fd);
        }
        w = r = -1;
    }
    bool put(const Bytes& req) const {
        return ::write(w, req.data(), req.size()) == static_cast<ssize_t>(req.size());
    }
    // The next reply, or nothing within ms.
    std::optional<Reply> get(int ms = 5000) const {
        pollfd p{r, POLLIN, 0};
        if (::poll(&p, 1, ms) != 1) return std::nullopt;
        Bytes b(1123);
        Reply rep;
        rep.length = ::read(r, b.data(), b.size());
        if (rep.length < 32) return rep;
        rep.code = le_at(b, 0);
        rep.result = static_cast<std::int32_t>(static_cast<std::uint32_t>(le_at(b, 16)));
        rep.size = le_at(b, 24);
        rep.data.assign(b.begin() + 32, b.begin() + rep.length);
        return rep;
    }
    Reply ask(const Bytes& req, int ms = 5000) const {
        return put(req) ? get(ms).value_or(Reply{}) : Reply{};
    }
};

// ---- Names, locks, printers ----

inline std::string underscored(std::string s, bool keepLeadingSlash) {
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' || (s[i] == '/' && (i > 0 || !keepLeadingSlash))) s[i] = '_';
    }
    return s;
}
inline std::string pipe_suffix(const std::string& name) { return underscored(name, false); }
inline std::string file_sem(const std::string& name) {
    return underscored("/cmn_share_interface_file_sem_" + name + "__", true);
}
inline std::string serial_sem(const std::string& port) {
    return underscored("/cmn_share_interface_rs232_sem_" + port + "__", true);
}

// A port lock held as a client holds it.
struct PortLock {
    sem_t* s;
    explicit PortLock(const std::string& name) : s(::sem_open(name.c_str(), O_CREAT, 0666, 1)) {
        if (s != SEM_FAILED) ::sem_wait(s);
    }
    ~PortLock() {
        if (s != SEM_FAILED) ::sem_post(s), ::sem_close(s);
    }
};

// A serial printer played by the test on a pty's master; the daemon opens
// the slave by its path.
struct Pty {
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    std::string slave;
    Pty() {
        if (master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0) {
            slave = ::ptsname(master);
        }
    }
    ~Pty() { ::close(master); }
    // n bytes, or fewer once ms pass without data.
    Bytes take(std::size_t n, int ms = 3000) const {
        Bytes b;
        for (pollfd p{master, POLLIN, 0}; b.size() < n && ::poll(&p, 1, ms) == 1;) {
            unsigned char c[256];
            const ssize_t k = ::read(master, c, std::min(sizeof c, n - b.size()));
            if (k <= 0) break;
            b.insert(b.end(), c, c + k);
        }
        return b;
    }
    bool give(const Bytes& b) const {
        return ::write(master, b.data(), b.size()) == static_cast<ssize_t>(b.size());
    }
};

// ---- The daemon ----

// System-log lines received on our /dev/log.
struct SysLog {
    int fd = -1;
    std::vector<std::string> lines;
    // True once a line containing text arrived (now or earlier).
    bool wait_for(const std::string& text, int ms = 5000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            for (const auto& l : lines) {
                if (l.find(text) != std::string::npos) return true;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  end - std::chrono::steady_clock::now()).count();
            pollfd p{fd, POLLIN, 0};
            char buf[1024];
            if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) != 1) return false;
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n > 0) lines.emplace_back(buf, static_cast<std::size_t>(n));
        }
    }
};

// Starts wardlinkd as a user would.  It daemonises; as our sub-reaper we
// inherit the detached daemon (the child that is not its session's
// leader), so we can signal and reap it.  Started by process 1 (a test run
// directly in the sandbox) it does not fork.
struct Daemon {
    pid_t pid = -1;
    bool start() {
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
        const pid_t first = ::fork();
        if (first == 0) {
            ::execl(WARDLINKD_PATH, "wardlinkd", static_cast<char*>(nullptr));
            _exit(127);
        }
        const auto up = [] { return fs::is_fifo(fs::symlink_status("/tmp/cmn_intf_to_svr")); };
        if (::getpid() == 1) return (pid = first) > 0 && wait_until(up);
        int st = 0;
        if (first < 0 || ::waitpid(first, &st, 0) != first || st != 0 || !wait_until(up)) {
            return false;
        }
        return wait_until([&] {
            while (::waitpid(-1, nullptr, WNOHANG) > 0) {
            }
            for (const auto& e : fs::directory_iterator("/proc")) {
                pid = std::atoi(e.path().filename().c_str());
                std::ifstream stat(e.path() / "stat");
                std::string s;
                std::getline(stat, s);
                const auto k = s.find("(wardlinkd) ");
                char state = 'Z';
                int ppid = 0;
                if (pid > 0 && k != std::string::npos &&
                    std::sscanf(s.c_str() + k + 12, "%c %d", &state, &ppid) == 2 &&
                    state != 'Z' && ppid == ::getpid() && ::getsid(pid) != pid) {
                    return true;
                }
            }
            return false;
        });
    }
    // SIGTERM; the exit status, or -1 when it did not end within ms.
    int stop(int ms = 8000) {
        if (pid <= 0) return -1;
        ::kill(pid, SIGTERM);
        int st = 0;
        const bool gone = wait_until([&] { return ::waitpid(pid, &st, WNOHANG) == pid; }, ms);
        if (!gone) ::kill(pid, SIGKILL), ::waitpid(pid, &st, 0);
        pid = -1;
        return gone && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    ~Daemon() { stop(); }
};

// The service's FIFO files under /tmp.
inline std::size_t service_fifos() {
    return static_cast<std::size_t>(
        std::count_if(fs::directory_iterator("/tmp"), {}, [](const fs::directory_entry& e) {
            const std::string n = e.path().filename();
            return n.rfind("cmn_intf_to_svr", 0) == 0 || n.rfind("cmn_svr_to_intf", 0) == 0;
        }));
}

}  // namespace harness

#endif  // VEM_DAEMON_HARNESS_H
