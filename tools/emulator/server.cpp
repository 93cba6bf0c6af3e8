// server.cpp - the emulator's event loop: TCP print data, UDP status, the
// SNMP agent, the pseudo-terminal, the control socket, scripted conditions
// and idle time-outs, all in one thread around poll().  Pictures are encoded
// and files written by the core's JobWriter on a thread of its own, so the
// loop answers status requests whatever is being drawn.
#include "server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <functional>
#include <list>
#include <memory>

#include "ctl.h"
#include "io.h"
#include "log.h"
#include "pty.h"

namespace kvrs::emu {

namespace {

using Clock = std::chrono::steady_clock;

// The signal handlers' only links to the loop: a flag and the write end of
// a self-pipe whose read end the loop polls.
volatile sig_atomic_t g_stop_requested = 0;
int g_signal_pipe_write = -1;

void on_stop_signal(int) {
    int saved = errno;
    g_stop_requested = 1;
    if (g_signal_pipe_write >= 0) {
        char c = 1;
        ssize_t ignored = ::write(g_signal_pipe_write, &c, 1);
        (void)ignored;
    }
    errno = saved;
}

// The loop's turn is kept short so that a status request never waits long
// for its turn: a connection is read at most this much per turn (interpreting
// 8 KiB of the densest commands takes under a millisecond), ...
constexpr std::size_t kReadChunk = 8 * 1024;
// ... connections with no more than a request's worth of bytes waiting are
// served first, and the others, in turn, only until the turn has taken this
// long; the rest wait for the next turn, which comes at once.
constexpr std::size_t kSmallRead = 64;
constexpr auto kTurnBudget = std::chrono::microseconds(1000);
constexpr std::size_t kMaxCtlLine = 4096;
// Replies a client does not read pile up no further than this; a printer's
// own buffer is no bigger, and a client that never reads loses the rest.
constexpr std::size_t kMaxPendingReplies = 64 * 1024;
constexpr std::size_t kJobHistory = 1000;  // finished jobs remembered for "jobs"
// Connections that arrive together (a burst of clients, a load test) wait in
// the kernel's queue rather than being refused.
constexpr int kListenBacklog = 4096;
// Descriptors kept free when accepting: the writer needs one for each file
// it writes, the control socket one per request.
constexpr int kSpareFds = 8;
// A listener that ran out of descriptors is tried again after this even if
// none of ours closed (another process may have freed some).
constexpr auto kAcceptRetry = std::chrono::seconds(1);
// How long replies a client does not read may delay our close.
constexpr auto kCloseLinger = std::chrono::seconds(1);

// What `jobs` reports about one job.
struct JobInfo {
    std::string name;
    std::string source;
    std::uint64_t bytes = 0;
    bool open = true;
    std::size_t files = 0;
};

// A connection that carries print data: a TCP client or the pseudo-terminal.
struct DataConn {
    UniqueFd fd;
    bool is_pty = false;
    std::string source;        // "tcp 127.0.0.1:9100 <- 127.0.0.1:40312"
    std::unique_ptr<Job> job;  // created at the first byte
    std::shared_ptr<JobInfo> info;
    std::vector<std::uint8_t> out;  // replies the socket did not take yet
    // Bytes read but held back while the job is busy (too many of its
    // pictures wait to be written); the socket is not read meanwhile.
    std::vector<std::uint8_t> held;
    bool busy_logged = false;
    bool idle_armed = false;  // bytes arrived since the last idle time-out
    Clock::time_point last_data{};
    bool closing = false;    // end of data seen: files, then our close
    bool lingering = false;  // files done, replies still going out
    Clock::time_point close_by{};
    bool dead = false;

    bool paused() const { return !held.empty() || (job && job->busy()); }
};

// A job whose last files are being written; the connection to close once
// they are (none for the pseudo-terminal).
struct Finishing {
    std::unique_ptr<Job> job;
    std::shared_ptr<JobInfo> info;
    std::string source;
    struct DataConn* close_after = nullptr;
};

struct CtlConn {
    UniqueFd fd;
    std::string in;
    std::vector<std::uint8_t> out;
    bool read_closed = false;
    bool dead = false;
};

struct Listener {
    enum class Kind { Tcp, Udp, Snmp, Ctl } kind;
    UniqueFd fd;
    std::string where;  // "127.0.0.1:9100" as bound (port 0 resolved)
    // Out of descriptors: not polled until one of ours closes or retry_at.
    bool paused = false;
    bool starved = false;  // logged; cleared once the waiting queue is drained
    Clock::time_point retry_at{};
};

// Indexed by Listener::Kind: the name used in logs and in the ready file.
constexpr const char* kKindName[] = {"tcp", "udp", "snmp", "control"};

class Server {
  public:
    explicit Server(const ServerConfig& cfg) : cfg_(cfg), conditions_(cfg.conditions) {}
    int run();

  private:
    bool setup();
    bool open_inet(Listener::Kind kind, const sockaddr_in& sa);
    bool write_ready_file();
    void loop();
    void shutdown_all();

    void accept_tcp(Listener& l);
    bool accept_failed(Listener& l, int err);
    void starve(Listener& l, int err);
    void read_turn(const std::vector<std::pair<std::size_t, DataConn*>>& ready);
    void on_data(DataConn& c);
    void feed(DataConn& c, std::span<const std::uint8_t> bytes);
    void resume(DataConn& c);
    void on_written();
    void reply(DataConn& c, std::span<const std::uint8_t> bytes);
    void flush(DataConn& c);
    void finish_job(DataConn& c, DataConn* close_after);
    void reap_finished();
    void close_data(DataConn& c);
    void complete_close(DataConn& c);
    void on_idle(DataConn& c);

    void on_udp_status(Listener& l);
    void on_snmp(Listener& l);

    void accept_ctl(Listener& l);
    void on_ctl_readable(CtlConn& c);
    void on_ctl_writable(CtlConn& c);
    std::string ctl_answer(std::string_view request);

    void advance_script();
    int poll_timeout_ms() const;

    const ServerConfig& cfg_;
    Conditions conditions_;  // what status replies report now
    std::vector<Listener> listeners_;
    std::list<std::unique_ptr<DataConn>> data_;  // TCP clients and the pty
    std::list<std::unique_ptr<CtlConn>> ctl_;
    UniqueFd sig_read_, sig_write_;  // self-pipe of SIGTERM/SIGINT
    UniqueFd pty_slave_keep_;        // keeps the line up between clients
    std::string pty_path_;
    unsigned job_counter_ = 0;             // job-NNNN, across all transports
    std::uint64_t total_bytes_ = 0;        // data bytes received by the process
    std::size_t script_next_ = 0;          // the script step waiting for its trigger
    std::uint64_t script_base_bytes_ = 0;  // total_bytes_ when the previous step fired
    Clock::time_point script_base_time_ = Clock::now();
    std::deque<std::shared_ptr<JobInfo>> jobs_;
    std::vector<std::uint8_t> buf_ = std::vector<std::uint8_t>(kReadChunk);
    std::shared_ptr<JobWriter> writer_;
    std::list<Finishing> finishing_;
    std::size_t turn_ = 0;    // rotates which busy connection is read first
    int fd_limit_ = 1024;     // RLIMIT_NOFILE
    std::size_t base_fds_ = 0;  // open once set up: listeners, pipes, inherited ones
    bool fd_freed_ = false;  // one of our descriptors closed this turn
};

// Descriptors open in this process (inherited ones included).
std::size_t count_open_fds(int limit) {
    std::error_code ec;
    std::size_t n = 0;
    for (std::filesystem::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end;
         it.increment(ec)) {
        ++n;
    }
    if (!ec && n > 0) {
        return n - 1;  // the directory's own descriptor
    }
    n = 0;
    for (int fd = 0; fd < std::min(limit, 65536); ++fd) {
        n += ::fcntl(fd, F_GETFD) >= 0 ? 1 : 0;
    }
    return n;
}

int Server::run() {
    if (!setup()) {
        return 1;
    }
    advance_script();  // steps with "after-ms 0" or "after-bytes 0" apply at once
    loop();
    shutdown_all();
    return 0;
}

bool Server::open_inet(Listener::Kind kind, const sockaddr_in& sa) {
    const bool stream = kind == Listener::Kind::Tcp;
    const char* what = kKindName[static_cast<int>(kind)];
    UniqueFd fd(
        ::socket(AF_INET, (stream ? SOCK_STREAM : SOCK_DGRAM) | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) {
        log_error("%s %s: socket: %s", what, format_endpoint(sa).c_str(), std::strerror(errno));
        return false;
    }
    if (stream) {
        int one = 1;
        ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    }
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        log_error("%s %s: bind: %s", what, format_endpoint(sa).c_str(), std::strerror(errno));
        return false;
    }
    if (stream && ::listen(fd.get(), kListenBacklog) != 0) {
        log_error("%s %s: listen: %s", what, format_endpoint(sa).c_str(), std::strerror(errno));
        return false;
    }
    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &len);
    Listener l{kind, std::move(fd), format_endpoint(bound)};
    log_info("%s listening on %s", what, l.where.c_str());
    listeners_.push_back(std::move(l));
    return true;
}

bool Server::setup() {
    // Receipts and graphics are big, short-lived buffers: mapped straight
    // from the kernel (not taken from a heap that grows and seldom
    // shrinks), they are returned when a job is done with them.
    ::mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    rlimit rl{};
    if (::getrlimit(RLIMIT_NOFILE, &rl) == 0) {
        fd_limit_ = rl.rlim_cur == RLIM_INFINITY || rl.rlim_cur > 1u << 30
                        ? 1 << 30
                        : static_cast<int>(rl.rlim_cur);
    }
    writer_ = std::make_shared<JobWriter>(cfg_.total_limit);

    // Signals: SIGPIPE would kill us on a client that went away; SIGTERM and
    // SIGINT end the loop through the self-pipe.
    ::signal(SIGPIPE, SIG_IGN);
    int p[2];
    if (::pipe2(p, O_NONBLOCK | O_CLOEXEC) != 0) {
        log_error("pipe: %s", std::strerror(errno));
        return false;
    }
    sig_read_.reset(p[0]);
    sig_write_.reset(p[1]);
    g_signal_pipe_write = sig_write_.get();
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);

    std::error_code ec;
    std::filesystem::create_directories(cfg_.out_dir, ec);
    if (ec) {
        log_error("%s: %s", cfg_.out_dir.c_str(), ec.message().c_str());
        return false;
    }

    for (const auto& sa_tcp : cfg_.tcp) {
        if (!open_inet(Listener::Kind::Tcp, sa_tcp)) {
            return false;
        }
    }
    for (const auto& sa_udp : cfg_.udp) {
        if (!open_inet(Listener::Kind::Udp, sa_udp)) {
            return false;
        }
    }
    for (const auto& sa_snmp : cfg_.snmp) {
        if (!open_inet(Listener::Kind::Snmp, sa_snmp)) {
            return false;
        }
    }
    if (!cfg_.ctl_path.empty()) {
        std::string err;
        UniqueFd fd = listen_control(cfg_.ctl_path, &err);
        if (!fd) {
            log_error("control socket %s", err.c_str());
            return false;
        }
        listeners_.push_back({Listener::Kind::Ctl, std::move(fd), cfg_.ctl_path});
        log_info("control socket %s", cfg_.ctl_path.c_str());
    }
    if (cfg_.pty) {
        std::string err;
        auto pty = open_pty(&err);
        if (!pty) {
            log_error("pseudo-terminal: %s", err.c_str());
            return false;
        }
        pty_path_ = pty->path;
        pty_slave_keep_ = std::move(pty->slave_keep);
        auto c = std::make_unique<DataConn>();
        c->fd = std::move(pty->master);
        c->is_pty = true;
        c->source = "pty " + pty_path_;
        data_.push_back(std::move(c));
        if (!cfg_.pty_link.empty() && !make_symlink(pty_path_, cfg_.pty_link, &err)) {
            log_error("pty link %s", err.c_str());
            return false;
        }
        // The path goes to stdout, where a user or a script looks for it.
        std::string line = "pty: " + pty_path_ + "\n";
        write_all(STDOUT_FILENO, line);
        if (!cfg_.pty_link.empty()) {
            log_info("pty %s (link %s)", pty_path_.c_str(), cfg_.pty_link.c_str());
        }
    }
    base_fds_ = count_open_fds(fd_limit_);
    return write_ready_file();
}

bool Server::write_ready_file() {
    if (cfg_.ready_file.empty()) {
        return true;
    }
    std::string text;
    for (const auto& l : listeners_) {
        if (l.kind != Listener::Kind::Ctl) {
            text += kKindName[static_cast<int>(l.kind)] + (" " + l.where) + "\n";
        }
    }
    if (!pty_path_.empty()) {
        text += "pty " + pty_path_ + "\n";
    }
    std::string err;
    if (!write_file_atomic(
            cfg_.ready_file,
            std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), &err)) {
        log_error("ready file %s", err.c_str());
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- the loop

int Server::poll_timeout_ms() const {
    std::optional<Clock::time_point> next;
    auto consider = [&next](Clock::time_point t) {
        if (!next || t < *next) {
            next = t;
        }
    };
    for (const auto& c : data_) {
        if (c->idle_armed && !c->paused() && !c->closing) {
            consider(c->last_data + std::chrono::milliseconds(cfg_.idle_ms));
        }
        if (c->lingering) {
            consider(c->close_by);
        }
    }
    for (const auto& l : listeners_) {
        if (l.paused) {
            consider(l.retry_at);
        }
    }
    if (script_next_ < cfg_.script.size() &&
        cfg_.script[script_next_].trigger == ScriptStep::Trigger::Ms) {
        consider(script_base_time_ + std::chrono::milliseconds(cfg_.script[script_next_].amount));
    }
    if (!next) {
        return -1;
    }
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now()).count();
    return ms < 0 ? 0 : ms > 60000 ? 60000 : static_cast<int>(ms);
}

void Server::loop() {
    std::vector<pollfd> fds;
    std::vector<std::function<void(short)>> handlers;
    std::vector<DataConn*> conn_of;  // per pollfd: the data connection, if it is one
    std::vector<std::pair<std::size_t, DataConn*>> to_read;
    while (!g_stop_requested) {
        fds.clear();
        handlers.clear();
        conn_of.clear();
        auto add = [&](int fd, short events, std::function<void(short)> h) {
            fds.push_back({fd, events, 0});
            handlers.push_back(std::move(h));
            conn_of.push_back(nullptr);
        };
        add(sig_read_.get(), POLLIN, [this](short) {
            char drain[64];
            while (::read(sig_read_.get(), drain, sizeof drain) > 0) {
            }
        });
        add(writer_->notify_fd(), POLLIN, [this](short) {
            writer_->clear_notify();
            on_written();
        });
        // Indexed by Listener::Kind, like kKindName.
        static constexpr void (Server::*kOnReadable[])(Listener&) = {
            &Server::accept_tcp, &Server::on_udp_status, &Server::on_snmp, &Server::accept_ctl};
        for (auto& l : listeners_) {
            if (l.paused) {
                continue;
            }
            Listener* lp = &l;
            add(l.fd.get(), POLLIN,
                [this, lp](short) { (this->*kOnReadable[static_cast<int>(lp->kind)])(*lp); });
        }
        for (auto& c : data_) {
            // A connection is read unless it is closing or its job is busy;
            // replies go out whenever the socket takes them.  One with
            // nothing to wait for is left out (POLLHUP would wake us for
            // nothing).
            const bool reading = !c->closing && !c->paused();
            const bool writing = !c->out.empty() && (!c->closing || c->lingering);
            if (!reading && !writing) {
                continue;
            }
            DataConn* cp = c.get();
            add(c->fd.get(), static_cast<short>((reading ? POLLIN : 0) | (writing ? POLLOUT : 0)),
                [this, cp](short ev) {
                    if (ev & (POLLOUT | POLLERR | POLLHUP)) {
                        flush(*cp);
                        if (cp->lingering && cp->out.empty()) {
                            complete_close(*cp);
                        }
                    }
                });
            if (reading) {
                conn_of.back() = cp;
            }
        }
        for (auto& c : ctl_) {
            CtlConn* cp = c.get();
            short events =
                static_cast<short>((c->read_closed ? 0 : POLLIN) | (c->out.empty() ? 0 : POLLOUT));
            add(c->fd.get(), events, [this, cp](short ev) {
                if (ev & POLLOUT) {
                    on_ctl_writable(*cp);
                }
                if (!cp->read_closed && (ev & (POLLIN | POLLHUP | POLLERR))) {
                    on_ctl_readable(*cp);
                }
            });
        }

        int r = ::poll(fds.data(), fds.size(), poll_timeout_ms());
        if (r < 0) {
            if (errno == EINTR) {
                continue;
            }
            log_error("poll: %s", std::strerror(errno));
            break;
        }
        // Everything but the reading of print data first: it is quick.
        to_read.clear();
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            try {
                handlers[i](fds[i].revents);
            } catch (const std::exception& e) {
                // One bad connection must not take the printer down.
                log_error("internal error: %s", e.what());
            }
            if (conn_of[i] && (fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
                int pending = 0;
                if (::ioctl(fds[i].fd, FIONREAD, &pending) != 0) {
                    pending = 0;
                }
                to_read.emplace_back(static_cast<std::size_t>(pending), conn_of[i]);
            }
        }
        read_turn(to_read);

        // Time-outs: idle connections, replies nobody reads, then timed
        // script steps.  A paused connection is not idle (its data may be
        // waiting for us): its idle time counts from when it is read again.
        const auto now = Clock::now();
        for (auto& c : data_) {
            if (c->paused()) {
                c->last_data = now;
            } else if (c->idle_armed && !c->closing &&
                       now - c->last_data >= std::chrono::milliseconds(cfg_.idle_ms)) {
                on_idle(*c);
            }
            if (c->lingering && now >= c->close_by) {
                c->out.clear();
                complete_close(*c);
            }
        }
        advance_script();
        reap_finished();

        data_.remove_if([](const auto& c) { return c->dead; });
        const std::size_t ctl_before = ctl_.size();
        ctl_.remove_if([](const auto& c) { return c->dead; });
        fd_freed_ = fd_freed_ || ctl_.size() != ctl_before;
        // Listeners that ran out of descriptors try again once one of ours
        // closed, or after a while.
        for (auto& l : listeners_) {
            if (l.paused && (fd_freed_ || now >= l.retry_at)) {
                l.paused = false;
            }
        }
        fd_freed_ = false;
    }
    log_info("stopping");
}

void Server::shutdown_all() {
    // Open jobs are finished so that nothing received is lost: bytes held
    // back are taken now (memory no longer matters), then every job's files
    // are written before the connections close.
    for (auto& c : data_) {
        if (c->dead || c->closing) {
            continue;
        }
        if (c->job && !c->held.empty()) {
            c->job->feed(c->held);
            total_bytes_ += c->held.size();
            c->held.clear();
        }
        if (c->is_pty) {
            if (c->job) {
                finish_job(*c, nullptr);
            }
        } else {
            close_data(*c);
        }
    }
    writer_->wait_idle();
    reap_finished();
    for (auto& c : data_) {
        if (c->fd && !c->out.empty()) {
            set_nonblocking(c->fd.get(), false);
            timeval tv{1, 0};
            ::setsockopt(c->fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
            write_all(c->fd.get(), c->out);
        }
    }
    data_.clear();
    ctl_.clear();
    listeners_.clear();
    writer_.reset();
    if (!cfg_.ctl_path.empty()) {
        ::unlink(cfg_.ctl_path.c_str());
    }
    if (!cfg_.pty_link.empty()) {
        char target[256] = {};
        ssize_t n = ::readlink(cfg_.pty_link.c_str(), target, sizeof target - 1);
        if (n > 0 && pty_path_ == std::string_view(target, static_cast<std::size_t>(n))) {
            ::unlink(cfg_.pty_link.c_str());
        }
    }
    g_signal_pipe_write = -1;
}

// ------------------------------------------------------- data connections

void Server::starve(Listener& l, int err) {
    l.paused = true;
    l.retry_at = Clock::now() + kAcceptRetry;
    if (!l.starved) {
        l.starved = true;
        log_error("%s %s: out of descriptors (%s): new connections wait until one closes",
                  kKindName[static_cast<int>(l.kind)], l.where.c_str(), std::strerror(err));
    }
}

// An accept that failed: true when the listener has nothing more to give
// this turn.  Running out of descriptors pauses the listener instead of
// letting poll() report the same waiting connection again and again.
bool Server::accept_failed(Listener& l, int err) {
    switch (err) {
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
            starve(l, err);
            return true;
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
            if (l.starved) {
                l.starved = false;
                log_info("%s %s: every waiting connection taken", kKindName[static_cast<int>(l.kind)],
                         l.where.c_str());
            }
            return true;
        case EINTR:
        case ECONNABORTED:
            return false;  // that one is gone; the next may be there
        default:
            log_error("%s %s: accept: %s", kKindName[static_cast<int>(l.kind)], l.where.c_str(),
                      std::strerror(err));
            return true;
    }
}

void Server::accept_tcp(Listener& l) {
    for (int i = 0; i < 64; ++i) {
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        int fd = ::accept4(l.fd.get(), reinterpret_cast<sockaddr*>(&peer), &len,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (accept_failed(l, errno)) {
                return;
            }
            continue;
        }
        // Status replies are tiny: send each at once, never held back.
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto c = std::make_unique<DataConn>();
        c->fd.reset(fd);
        c->source = "tcp " + l.where + " <- " + format_endpoint(peer);
        log_debug("%s: connected", c->source.c_str());
        data_.push_back(std::move(c));
        // The last few descriptors stay for the files of the jobs.
        if (base_fds_ + data_.size() + ctl_.size() + kSpareFds >=
            static_cast<std::size_t>(fd_limit_)) {
            starve(l, EMFILE);
            return;
        }
    }
}

// One turn of reading print data from the connections that have some:
// those with only a few bytes waiting (a status request, an end of data)
// first, then the others in rotating order until the turn's time is used.
void Server::read_turn(const std::vector<std::pair<std::size_t, DataConn*>>& ready) {
    auto serve = [this](DataConn& c) {
        try {
            on_data(c);
        } catch (const std::exception& e) {
            log_error("internal error: %s", e.what());
        }
    };
    const auto start = Clock::now();
    std::size_t bulk = 0;
    for (const auto& [pending, c] : ready) {
        if (pending <= kSmallRead) {
            serve(*c);
        } else {
            ++bulk;
        }
    }
    if (bulk == 0) {
        return;
    }
    const std::size_t first = turn_++ % bulk;
    std::vector<DataConn*> order;
    order.reserve(bulk);
    for (const auto& [pending, c] : ready) {
        if (pending > kSmallRead) {
            order.push_back(c);
        }
    }
    for (std::size_t k = 0; k < order.size(); ++k) {
        if (k > 0 && Clock::now() - start >= kTurnBudget) {
            break;  // still readable: poll() brings them back at once
        }
        serve(*order[(first + k) % order.size()]);
    }
}

void Server::on_data(DataConn& c) {
    if (c.dead || c.closing) {
        return;
    }
    ssize_t n = ::read(c.fd.get(), buf_.data(), buf_.size());
    if (n > 0) {
        c.last_data = Clock::now();
        c.idle_armed = true;
        feed(c, std::span(buf_.data(), static_cast<std::size_t>(n)));
        return;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
        return;
    }
    if (c.is_pty) {
        // We hold the client's end open ourselves, so the line never hangs
        // up; a read error here is unexpected but not fatal.
        if (n < 0) {
            log_error("%s: read: %s", c.source.c_str(), std::strerror(errno));
        }
        return;
    }
    // End of data (half-close or close) or a reset: the job is complete.
    if (n < 0) {
        log_debug("%s: read: %s", c.source.c_str(), std::strerror(errno));
    }
    close_data(c);
}

void Server::feed(DataConn& c, std::span<const std::uint8_t> bytes) {
    if (!c.job) {
        char name[32];
        std::snprintf(name, sizeof name, "job-%04u", ++job_counter_);
        Job::Config jc;
        jc.paper = cfg_.paper;
        jc.out_dir = cfg_.out_dir;
        jc.name = name;
        DataConn* cp = &c;
        jc.reply = [this, cp](std::span<const std::uint8_t> b) { reply(*cp, b); };
        jc.conditions = [this] { return conditions_; };
        if (g_verbosity == Verbosity::Verbose) {
            std::string job_name = name;
            jc.on_event = [job_name](const Event& e) {
                log_debug("%s: %s", job_name.c_str(), e.json().c_str());
            };
        }
        c.job = std::make_unique<Job>(std::move(jc));
        c.job->set_writer(writer_, cfg_.job_limit);
        c.info = std::make_shared<JobInfo>();
        c.info->name = name;
        c.info->source = c.source;
        c.busy_logged = false;
        jobs_.push_back(c.info);
        while (jobs_.size() > kJobHistory && !jobs_.front()->open) {
            jobs_.pop_front();
        }
        log_debug("%s: %s started", c.source.c_str(), name);
    }
    // A script step counted in bytes takes effect exactly between the byte
    // that reaches its count and the next one, so split the chunk there.
    while (!bytes.empty()) {
        advance_script();
        std::size_t n = bytes.size();
        if (script_next_ < cfg_.script.size() &&
            cfg_.script[script_next_].trigger == ScriptStep::Trigger::Bytes) {
            std::uint64_t due = script_base_bytes_ + cfg_.script[script_next_].amount;
            if (due > total_bytes_ && due - total_bytes_ < n) {
                n = static_cast<std::size_t>(due - total_bytes_);
            }
        }
        const std::size_t used = c.job->feed_some(bytes.first(n));
        total_bytes_ += used;
        bytes = bytes.subspan(used);
        if (used < n) {
            // The job is busy: the rest waits, and so does the socket.
            c.held.assign(bytes.begin(), bytes.end());
            break;
        }
    }
    advance_script();
    c.info->bytes = c.job->bytes();
    if (c.job->busy() && !c.busy_logged) {
        c.busy_logged = true;
        log_info("%s: input paused until pictures are written (%zu MiB waiting, at most %zu MiB "
                 "for one job and %zu MiB for all)",
                 c.info->name.c_str(), writer_->queued_bytes() >> 20, cfg_.job_limit >> 20,
                 cfg_.total_limit >> 20);
    }
}

void Server::resume(DataConn& c) {
    if (!c.job || c.closing || c.held.empty() || c.job->busy()) {
        return;
    }
    std::vector<std::uint8_t> bytes;
    bytes.swap(c.held);
    feed(c, bytes);
}

void Server::on_written() {
    for (auto& c : data_) {
        try {
            resume(*c);
        } catch (const std::exception& e) {
            log_error("internal error: %s", e.what());
        }
    }
    reap_finished();
}

void Server::reply(DataConn& c, std::span<const std::uint8_t> bytes) {
    if (conditions_.offline || c.dead) {
        return;  // an offline printer never answers, not even late
    }
    log_debug("%s: reply of %zu bytes", c.source.c_str(), bytes.size());
    if (!c.out.empty()) {
        if (c.out.size() + bytes.size() > kMaxPendingReplies) {
            log_debug("%s: client reads no replies, one dropped", c.source.c_str());
            return;
        }
        c.out.insert(c.out.end(), bytes.begin(), bytes.end());
        return;
    }
    int err = 0;
    std::size_t done = write_some(c.fd.get(), bytes, &err);
    if (done < bytes.size()) {
        if (err == EAGAIN || err == EWOULDBLOCK) {
            c.out.insert(c.out.end(), bytes.begin() + static_cast<std::ptrdiff_t>(done),
                         bytes.end());
        } else {
            log_debug("%s: reply lost: %s", c.source.c_str(), std::strerror(err));
        }
    }
}

void Server::flush(DataConn& c) {
    if (c.out.empty()) {
        return;
    }
    int err = 0;
    std::size_t done = write_some(c.fd.get(), c.out, &err);
    if (done < c.out.size() && err != EAGAIN && err != EWOULDBLOCK) {
        log_debug("%s: replies lost: %s", c.source.c_str(), std::strerror(err));
        c.out.clear();
        return;
    }
    c.out.erase(c.out.begin(), c.out.begin() + static_cast<std::ptrdiff_t>(done));
}

void Server::finish_job(DataConn& c, DataConn* close_after) {
    // The job's last files are written by the writer; the job is reported,
    // and the connection closed, once they are.
    c.job->finish_later();
    finishing_.push_back({std::move(c.job), std::move(c.info), c.source, close_after});
    c.idle_armed = false;
    c.busy_logged = false;
    reap_finished();
}

void Server::reap_finished() {
    bool reaped = false;
    for (auto it = finishing_.begin(); it != finishing_.end();) {
        if (!it->job->done()) {
            ++it;
            continue;
        }
        Finishing f = std::move(*it);
        it = finishing_.erase(it);
        reaped = true;
        const auto files = f.job->files();
        for (const auto& e : f.job->errors()) {
            log_error("%s: %s", f.info->name.c_str(), e.c_str());
        }
        std::size_t pictures = 0;
        for (const auto& p : files) {
            pictures += p.extension() == ".png" ? 1 : 0;
        }
        f.info->bytes = f.job->bytes();
        f.info->files = files.size();
        f.info->open = false;
        log_info("%s: %" PRIu64 " bytes from %s, %zu receipt(s) in %s", f.info->name.c_str(),
                 f.info->bytes, f.source.c_str(), pictures, cfg_.out_dir.c_str());
        f.job.reset();
        if (f.close_after) {
            complete_close(*f.close_after);
        }
    }
    if (reaped) {
        // What the job's buffers left in the heap goes back to the system.
        ::malloc_trim(0);
    }
}

void Server::close_data(DataConn& c) {
    // Files first, then our side of the connection: a client that waits for
    // our close (CUPS's socket backend does) finds the pictures in place.
    c.closing = true;
    if (c.job) {
        finish_job(c, &c);
    } else {
        complete_close(c);
    }
}

void Server::complete_close(DataConn& c) {
    if (!c.out.empty()) {
        flush(c);
    }
    if (!c.out.empty() && !c.lingering) {
        // Replies the client has not read yet get a moment to go out.
        c.lingering = true;
        c.close_by = Clock::now() + kCloseLinger;
        return;
    }
    log_debug("%s: closed", c.source.c_str());
    c.fd.reset();
    c.out.clear();
    c.lingering = false;
    c.dead = true;
    fd_freed_ = true;
}

void Server::on_idle(DataConn& c) {
    c.idle_armed = false;
    if (!c.job) {
        return;
    }
    if (c.is_pty) {
        // The line has no connections to end a job: a quiet line ends it.
        finish_job(c, nullptr);
    } else {
        c.job->idle();
    }
}

// --------------------------------------------------- UDP status and SNMP

// Reads the datagrams waiting on `l` (at most 64 a turn, so other
// connections get their turn) into a buffer of `capacity` bytes and sends
// back whatever `answer_for` makes of each; it logs why it answers nothing.
void serve_datagrams(const Listener& l, const char* kind, std::size_t capacity, const char* sent,
                     const std::function<std::optional<std::vector<std::uint8_t>>(
                         std::span<const std::uint8_t>, const std::string& peer)>& answer_for) {
    std::vector<std::uint8_t> in(capacity);
    for (int i = 0; i < 64; ++i) {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = ::recvfrom(l.fd.get(), in.data(), in.size(), 0,
                               reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) {
            return;
        }
        const std::string peer = format_endpoint(from);
        const auto out = answer_for(std::span(in).first(static_cast<std::size_t>(n)), peer);
        if (!out) {
            continue;
        }
        if (::sendto(l.fd.get(), out->data(), out->size(), 0, reinterpret_cast<sockaddr*>(&from),
                     len) < 0) {
            log_debug("%s %s: sendto %s: %s", kind, l.where.c_str(), peer.c_str(),
                      std::strerror(errno));
        } else {
            log_debug("%s %s: %s %s", kind, l.where.c_str(), sent, peer.c_str());
        }
    }
}

void Server::on_udp_status(Listener& l) {
    serve_datagrams(l, "udp", 2048, "status to",
                    [&](std::span<const std::uint8_t> in,
                        const std::string& peer) -> std::optional<std::vector<std::uint8_t>> {
                        if (in.size() < 4) {
                            log_debug("udp %s: %zu-byte datagram from %s has no sequence number",
                                      l.where.c_str(), in.size(), peer.c_str());
                            return std::nullopt;
                        }
                        if (conditions_.offline) {
                            log_debug("udp %s: offline, request from %s dropped", l.where.c_str(),
                                      peer.c_str());
                            return std::nullopt;
                        }
                        // The command after the 4-byte sequence number goes through an
                        // interpreter of its own, so a status request is recognised
                        // exactly as on a data connection; its answers follow the same
                        // 4 bytes.
                        std::vector<std::uint8_t> answer(in.begin(), in.begin() + 4);
                        Interpreter::Callbacks cb;
                        cb.reply = [&answer](std::span<const std::uint8_t> b) {
                            answer.insert(answer.end(), b.begin(), b.end());
                        };
                        cb.conditions = [this] { return conditions_; };
                        cb.event = [](const Event&) {};
                        cb.receipt = [](Receipt&&) {};
                        {
                            Interpreter interp(cfg_.paper, std::move(cb));
                            interp.feed(in.subspan(4));
                        }
                        if (answer.size() == 4) {
                            log_debug("udp %s: nothing to answer to %s", l.where.c_str(),
                                      peer.c_str());
                            return std::nullopt;
                        }
                        return answer;
                    });
}

void Server::on_snmp(Listener& l) {
    serve_datagrams(l, "snmp", 1500, "answered",
                    [&](std::span<const std::uint8_t> in,
                        const std::string& peer) -> std::optional<std::vector<std::uint8_t>> {
                        if (conditions_.offline) {
                            log_debug("snmp %s: offline, request from %s dropped", l.where.c_str(),
                                      peer.c_str());
                            return std::nullopt;
                        }
                        auto out = snmp::answer(in, cfg_.agent);
                        if (!out) {
                            log_debug(
                                "snmp %s: %zu bytes from %s are no request this agent answers",
                                l.where.c_str(), in.size(), peer.c_str());
                        }
                        return out;
                    });
}

// ------------------------------------------------------ control socket

void Server::accept_ctl(Listener& l) {
    for (int i = 0; i < 16; ++i) {
        int fd = ::accept4(l.fd.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (accept_failed(l, errno)) {
                return;
            }
            continue;
        }
        auto c = std::make_unique<CtlConn>();
        c->fd.reset(fd);
        ctl_.push_back(std::move(c));
    }
}

void Server::on_ctl_readable(CtlConn& c) {
    char tmp[1024];
    ssize_t n = ::read(c.fd.get(), tmp, sizeof tmp);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
        return;
    }
    if (n > 0) {
        c.in.append(tmp, static_cast<std::size_t>(n));
    } else {
        c.read_closed = true;
        if (!c.in.empty()) {
            c.in += '\n';  // a last request without its newline still counts
        }
    }
    std::size_t nl;
    while ((nl = c.in.find('\n')) != std::string::npos) {
        std::string line = c.in.substr(0, nl);
        c.in.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        std::string answer = ctl_answer(line);
        c.out.insert(c.out.end(), answer.begin(), answer.end());
    }
    if (c.in.size() > kMaxCtlLine) {
        std::string answer = "error: request too long\n";
        c.out.insert(c.out.end(), answer.begin(), answer.end());
        c.in.clear();
        c.read_closed = true;
    }
    on_ctl_writable(c);
}

void Server::on_ctl_writable(CtlConn& c) {
    if (!c.out.empty()) {
        int err = 0;
        std::size_t done = write_some(c.fd.get(), c.out, &err);
        if (done < c.out.size() && err != EAGAIN && err != EWOULDBLOCK) {
            c.dead = true;
            return;
        }
        c.out.erase(c.out.begin(), c.out.begin() + static_cast<std::ptrdiff_t>(done));
    }
    if (c.read_closed && c.out.empty()) {
        c.dead = true;
    }
}

std::string Server::ctl_answer(std::string_view request) {
    while (!request.empty() && request.front() == ' ') {
        request.remove_prefix(1);
    }
    while (!request.empty() && request.back() == ' ') {
        request.remove_suffix(1);
    }
    auto space = request.find(' ');
    std::string_view verb = request.substr(0, space);
    std::string_view arg =
        space == std::string_view::npos ? std::string_view() : request.substr(space + 1);
    while (!arg.empty() && arg.front() == ' ') {
        arg.remove_prefix(1);
    }
    if (verb == "set" || verb == "clear") {
        if (!set_condition(conditions_, arg, verb == "set")) {
            std::string known;
            for (auto n : condition_names()) {
                known += known.empty() ? "" : ", ";
                known += n;
            }
            return "error: unknown condition \"" + std::string(arg) + "\" (known: " + known + ")\n";
        }
        log_info("control: %s %.*s -> %s", std::string(verb).c_str(), static_cast<int>(arg.size()),
                 arg.data(), describe(conditions_).c_str());
        return "ok: " + describe(conditions_) + "\n";
    }
    if (verb == "status" && arg.empty()) {
        auto r = status_reply(conditions_);
        char hex[32];
        std::snprintf(hex, sizeof hex, "%02X %02X %02X %02X %02X %02X", r[0], r[1], r[2], r[3],
                      r[4], r[5]);
        return "conditions: " + describe(conditions_) + "\nreply: " + hex +
               "\nbytes: " + std::to_string(total_bytes_) +
               "\njobs: " + std::to_string(job_counter_) + "\n";
    }
    if (verb == "jobs" && arg.empty()) {
        if (jobs_.empty()) {
            return "no jobs\n";
        }
        std::string out;
        for (const auto& j : jobs_) {
            out += j->name + " " + (j->open ? "open" : "done") + " " + std::to_string(j->bytes) +
                   " bytes";
            if (!j->open) {
                out += ", " + std::to_string(j->files) + " files";
            }
            out += " (" + j->source + ")\n";
        }
        return out;
    }
    if (verb == "help" || verb.empty()) {
        return "requests: set COND, clear COND, status, jobs\n";
    }
    return "error: unknown request \"" + std::string(request) +
           "\" (set COND, clear COND, status, jobs)\n";
}

// ------------------------------------------------------------- scripts

void Server::advance_script() {
    const auto now = Clock::now();
    while (script_next_ < cfg_.script.size()) {
        const ScriptStep& s = cfg_.script[script_next_];
        bool due = s.trigger == ScriptStep::Trigger::Bytes
                       ? total_bytes_ - script_base_bytes_ >= s.amount
                       : now - script_base_time_ >= std::chrono::milliseconds(s.amount);
        if (!due) {
            return;
        }
        set_condition(conditions_, s.condition, s.set);
        log_info("script: %s %s after %" PRIu64 " %s -> %s", s.set ? "set" : "clear",
                 s.condition.c_str(), s.amount,
                 s.trigger == ScriptStep::Trigger::Bytes ? "bytes" : "ms",
                 describe(conditions_).c_str());
        script_base_bytes_ = total_bytes_;
        script_base_time_ = now;
        ++script_next_;
    }
}

}  // namespace

int run_server(const ServerConfig& config) {
    Server s(config);
    return s.run();
}

}  // namespace kvrs::emu
