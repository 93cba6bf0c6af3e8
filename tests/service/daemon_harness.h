// Harness for the daemon tests: a private world for one test process (its
// own /tmp, /dev/shm and a /dev/log socket it reads), the real wardlinkd
// binary started and stopped in it, and a small client that writes the
// pipe records byte for byte, with its own encoding, so that the wire format
// is pinned independently of any library.
#ifndef VEM_DAEMON_HARNESS_H
#define VEM_DAEMON_HARNESS_H

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <semaphore.h>
#include <signal.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace harness {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;
using namespace std::chrono_literals;

// ---- A world of our own ----

inline bool must(bool ok, const char* what) {
    if (!ok) std::fprintf(stderr, "harness: %s failed: %s\n", what, std::strerror(errno));
    return ok;
}

inline bool bind_node(const fs::path& from, const fs::path& to) {
    std::ofstream{to};
    return ::mount(from.c_str(), to.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0;
}

// Gives this process a mount namespace of its own with fresh /tmp and
// /dev/shm, and a /dev of its own (the machine's devices bound in) whose
// /dev/log is a datagram socket returned here.  Returns -1 on failure.
inline int isolate() {
    if (!must(::unshare(CLONE_NEWNS) == 0, "unshare") ||
        !must(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0, "private /")) {
        return -1;
    }
    if (!must(::mount("t", "/tmp", "tmpfs", 0, "mode=1777") == 0, "tmpfs /tmp")) return -1;
    const fs::path old = "/tmp/.dev";
    fs::create_directories(old);
    if (!must(::mount("/dev", old.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0, "bind /dev") ||
        !must(::mount("d", "/dev", "tmpfs", 0, "mode=0755") == 0, "tmpfs /dev")) {
        return -1;
    }
    for (const char* n : {"null", "zero", "full", "random", "urandom", "tty"}) {
        if (fs::exists(old / n) && !bind_node(old / n, fs::path("/dev") / n)) return -1;
    }
    // Pseudo-terminals of our own, as a container has them.
    fs::create_directories("/dev/pts");
    fs::create_symlink("pts/ptmx", "/dev/ptmx");
    if (!must(::mount("p", "/dev/pts", "devpts", 0, "newinstance,ptmxmode=0666,mode=0620") == 0,
              "devpts") ||
        !fs::create_directories("/dev/shm") ||
        !must(::mount("s", "/dev/shm", "tmpfs", 0, "mode=1777") == 0, "tmpfs /dev/shm")) {
        return -1;
    }
    const int s = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::strcpy(sa.sun_path, "/dev/log");
    if (!must(::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0, "bind /dev/log")) {
        return -1;
    }
    return s;
}

// ---- Wire format, written out by hand ----

inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
inline Bytes& operator+=(Bytes& a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline void le(Bytes& b, std::uint64_t v, int n) {
    for (int i = 0; i < n; ++i, v >>= 8) b.push_back(static_cast<unsigned char>(v));
}
inline std::uint64_t le_at(const Bytes& b, std::size_t off) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | b.at(off + i);
    return v;
}

// Request header: code, idx, send, read, timeout (8 bytes each), then payload.
inline Bytes request(std::uint64_t code, std::uint64_t idx = 0, std::uint64_t send = 0,
                     std::uint64_t read = 0, std::uint64_t timeout = 0, const Bytes& payload = {}) {
    Bytes b;
    for (std::uint64_t v : {code, idx, send, read, timeout}) le(b, v, 8);
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}
// An open request: 32-bit parameters, then the name and its NUL.
inline Bytes open_request(std::uint64_t code, std::vector<std::uint32_t> params,
                          const std::string& name) {
    Bytes p;
    for (std::uint32_t v : params) le(p, v, 4);
    p.insert(p.end(), name.begin(), name.end());
    p.push_back(0);
    return request(code, 0, 0, 0, 0, p);
}
inline Bytes open_file(const std::string& name, std::uint32_t format = 1) {
    return open_request(4, {format}, name);
}
inline Bytes send_request(const Bytes& data, std::uint64_t timeout = 1000) {
    return request(9, 0, data.size(), 0, timeout, data);
}

struct Reply {
    std::uint64_t code = ~0ULL;
    std::int32_t result = 0x7FFFFFFF;
    std::uint64_t size = 0;
    Bytes data;
    long length = -1;  // bytes that arrived
};

// One FIFO pair as a client sees it.
struct Client {
    int w = -1, r = -1;
    Client() = default;
    explicit Client(const std::string& suffix) { open(suffix); }
    Client(Client&& o) noexcept : w(std::exchange(o.w, -1)), r(std::exchange(o.r, -1)) {}
    ~Client() { close(); }
    bool open(const std::string& suffix) {
        w = ::open(("/tmp/cmn_intf_to_svr" + suffix).c_str(), O_WRONLY | O_CLOEXEC);
        r = ::open(("/tmp/cmn_svr_to_intf" + suffix).c_str(), O_RDONLY | O_CLOEXEC);
        return w >= 0 && r >= 0;
    }
    void close() {
        if (w >= 0) ::close(w);
        if (r >= 0) ::close(r);
        w = r = -1;
    }
    bool put(const Bytes& req) const {
        return ::write(w, req.data(), req.size()) == static_cast<ssize_t>(req.size());
    }
    // The next reply, or nothing within the time limit.
    std::optional<Reply> get(int ms = 5000) const {
        pollfd p{r, POLLIN, 0};
        if (::poll(&p, 1, ms) != 1) return std::nullopt;
        Bytes b(1123);
        const ssize_t n = ::read(r, b.data(), b.size());
        Reply rep;
        rep.length = n;
        if (n < 32) return rep;
        rep.code = le_at(b, 0);
        rep.result = static_cast<std::int32_t>(static_cast<std::uint32_t>(le_at(b, 16)));
        rep.size = le_at(b, 24);
        rep.data.assign(b.begin() + 32, b.begin() + n);
        return rep;
    }
    Reply ask(const Bytes& req, int ms = 5000) const {
        if (!put(req)) return {};
        return get(ms).value_or(Reply{});
    }
};

// ---- Names the daemon's drivers use ----

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

// A port lock held as a client holds it: the named semaphore.
struct PortLock {
    sem_t* s;
    explicit PortLock(const std::string& name) : s(::sem_open(name.c_str(), O_CREAT, 0666, 1)) {
        if (s != SEM_FAILED) ::sem_wait(s);
    }
    ~PortLock() {
        if (s != SEM_FAILED) ::sem_post(s), ::sem_close(s);
    }
};

// A pseudo-terminal standing in for a serial printer: the daemon opens the
// slave by its path, the test plays the printer on the master.
struct Pty {
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    std::string slave;
    Pty() {
        if (master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0) {
            slave = ::ptsname(master);
        }
    }
    ~Pty() {
        if (master >= 0) ::close(master);
    }
    // Exactly n bytes from the master, or fewer once ms pass without data.
    Bytes take(std::size_t n, int ms = 3000) const {
        Bytes b;
        while (b.size() < n) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, ms) != 1) break;
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
inline std::string serial_sem(const std::string& port) {
    return underscored("/cmn_share_interface_rs232_sem_" + port + "__", true);
}
inline Bytes open_serial(const std::string& port) {
    return open_request(1, {9600, 8, 0, 1, 0}, port);
}

// ---- The daemon ----

// The system-log lines the daemon sent, read from our /dev/log.
struct SysLog {
    int fd = -1;
    std::vector<std::string> lines;
    // Waits for a line containing text; true once seen (also earlier ones).
    bool wait_for(const std::string& text, int ms = 5000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            for (const auto& l : lines) {
                if (l.find(text) != std::string::npos) return true;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            pollfd p{fd, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) != 1) {
                return false;
            }
            char buf[1024];
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n > 0) lines.emplace_back(buf, static_cast<std::size_t>(n));
        }
    }
};

inline pid_t child_named(const char* comm) {
    DIR* d = ::opendir("/proc");
    pid_t found = -1;
    while (dirent* e = d != nullptr ? ::readdir(d) : nullptr) {
        const pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
        if (pid <= 0) continue;
        std::ifstream st("/proc/" + std::string(e->d_name) + "/stat");
        std::string line;
        std::getline(st, line);
        const auto close = line.rfind(')');
        if (close == std::string::npos || line.find(std::string("(") + comm + ")") ==
                                               std::string::npos) {
            continue;
        }
        std::istringstream rest(line.substr(close + 2));
        char state;
        pid_t ppid;
        rest >> state >> ppid;
        if (ppid == ::getpid() && state != 'Z') found = pid;
    }
    if (d != nullptr) ::closedir(d);
    return found;
}

inline bool wait_until(const auto& cond, int ms = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// Starts wardlinkd as a user would: it daemonises, and as our sub-reaper we
// inherit the detached daemon, so we can signal and reap it.
struct Daemon {
    pid_t pid = -1;
    bool start() {
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
        const pid_t first = ::fork();
        if (first == 0) {
            ::execl(WARDLINKD_PATH, "wardlinkd", static_cast<char*>(nullptr));
            _exit(127);
        }
        if (first < 0) return false;
        if (::getpid() == 1) {
            pid = first;  // its parent is process 1: it does not fork
        } else {
            // The middle process of the double fork comes to us too, and ends.
            int st = 0;
            if (::waitpid(first, &st, 0) != first || !WIFEXITED(st) || WEXITSTATUS(st) != 0 ||
                !wait_until([] { return fs::exists("/tmp/cmn_intf_to_svr"); })) {
                return false;
            }
            return wait_until([&] {
                while (::waitpid(-1, nullptr, WNOHANG) > 0) {
                }
                // The daemon is the second child: not the session's leader.
                return (pid = child_named("wardlinkd")) > 0 && ::getsid(pid) != pid;
            });
        }
        return wait_until([] { return fs::exists("/tmp/cmn_intf_to_svr"); });
    }
    // SIGTERM; the exit status (or -1), waiting at most ms.
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

// Every FIFO file of the service under /tmp.
inline std::vector<std::string> service_fifos() {
    std::vector<std::string> v;
    for (const auto& e : fs::directory_iterator("/tmp")) {
        const std::string n = e.path().filename();
        if (n.rfind("cmn_intf_to_svr", 0) == 0 || n.rfind("cmn_svr_to_intf", 0) == 0) {
            v.push_back(n);
        }
    }
    return v;
}

}  // namespace harness

#endif  // VEM_DAEMON_HARNESS_H
