// netlab.cpp - private test networks (see netlab.h).
#include "netlab.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace netlab {

namespace {

std::atomic<int> g_seq{0};

std::vector<char*> c_argv(const std::vector<std::string>& argv) {
    std::vector<char*> out;
    for (const auto& a : argv) out.push_back(const_cast<char*>(a.c_str()));
    out.push_back(nullptr);
    return out;
}

// Forks a child that joins netns (if given), sends its output to `log`
// ("" keeps it), and executes argv.  Only system calls between fork and
// exec: the parent may have threads.
pid_t spawn(const std::vector<std::string>& argv, int netns, const std::string& log) {
    auto args = c_argv(argv);
    const int out = log.empty() ? -1 : ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (netns >= 0 && ::setns(netns, CLONE_NEWNET) != 0) ::_exit(126);
        if (out >= 0) {
            ::dup2(out, 1);
            ::dup2(out, 2);
        }
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    if (out >= 0) ::close(out);
    return pid;
}

void set_up(const char* name) {
    vem::UniqueFd s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    struct ifreq ifr {};
    std::snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", name);
    if (::ioctl(s.get(), SIOCGIFFLAGS, &ifr) == 0) {
        ifr.ifr_flags |= IFF_UP;
        ::ioctl(s.get(), SIOCSIFFLAGS, &ifr);
    }
}

}  // namespace

bool enter_private_net() {
    static const bool done = [] {
        if (::unshare(CLONE_NEWNET) != 0) return false;
        set_up("lo");
        return true;
    }();
    return done;
}

std::vector<std::string> interface_names() {
    std::vector<std::string> out;
    struct if_nameindex* list = ::if_nameindex();
    for (auto* p = list; p != nullptr && p->if_index != 0; ++p) out.emplace_back(p->if_name);
    if (list != nullptr) ::if_freenameindex(list);
    return out;
}

int run(const std::vector<std::string>& argv, int netns) {
    const pid_t pid = spawn(argv, netns, "");
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void must(const std::vector<std::string>& argv, int netns) {
    std::string line;
    for (const auto& a : argv) line += a + " ";
    EXPECT_EQ(run(argv, netns), 0) << line;
}

Process::Process(const std::vector<std::string>& argv, int netns, const std::string& log)
    : pid_(spawn(argv, netns, log)) {}
Process::Process(Process&& o) noexcept : pid_(std::exchange(o.pid_, -1)) {}
Process& Process::operator=(Process&& o) noexcept {
    if (this != &o) {
        stop();
        pid_ = std::exchange(o.pid_, -1);
    }
    return *this;
}
void Process::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    // A process that ignores SIGTERM for 5 s is killed.
    for (int i = 0; i < 500 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (::waitpid(pid_, &status, WNOHANG) == 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
}

Bridge::Bridge(std::string name, const std::string& cidr) : name_(std::move(name)) {
    must({"ip", "link", "add", name_, "type", "bridge", "forward_delay", "0"});
    must({"ip", "addr", "add", cidr, "dev", name_});
    must({"ip", "link", "set", name_, "up"});
}

Host::Host(const std::vector<std::string>& cidrs, const std::string& bridge,
           const std::string& peer_cidr) {
    address_ = cidrs.at(0).substr(0, cidrs.at(0).find('/'));
    // The holder: a child in a new namespace that waits for its end.
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) return;
    holder_ = ::fork();
    if (holder_ == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        const char ok = ::unshare(CLONE_NEWNET) == 0 ? 'y' : 'n';
        (void)::write(ready[1], &ok, 1);
        for (;;) ::pause();
    }
    ::close(ready[1]);
    char ok = 'n';
    (void)::read(ready[0], &ok, 1);
    ::close(ready[0]);
    EXPECT_EQ(ok, 'y') << "no namespace for host " << address_;
    ns_.reset(::open(("/proc/" + std::to_string(holder_) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC));
    EXPECT_TRUE(ns_) << "namespace of host " << address_;

    const int n = ++g_seq;
    const std::string mine = "vt" + std::to_string(::getpid() % 10000) + "x" + std::to_string(n);
    const std::string theirs = "vh" + std::to_string(n);
    must({"ip", "link", "add", mine, "type", "veth", "peer", "name", theirs});
    must({"ip", "link", "set", theirs, "netns", std::to_string(holder_)});
    must({"ip", "link", "set", theirs, "name", "eth0"}, netns());
    // Many addresses go in one batch, not one command each.
    const std::string batch = "/tmp/vemeth-batch-" + std::to_string(::getpid()) + "-" + theirs;
    {
        std::ofstream b(batch);
        for (const auto& c : cidrs) b << "addr add " << c << " dev eth0\n";
    }
    must({"ip", "-batch", batch}, netns());
    std::filesystem::remove(batch);
    must({"ip", "link", "set", "eth0", "up"}, netns());
    must({"ip", "link", "set", "lo", "up"}, netns());
    if (!bridge.empty()) must({"ip", "link", "set", mine, "master", bridge});
    if (!peer_cidr.empty()) must({"ip", "addr", "add", peer_cidr, "dev", mine});
    must({"ip", "link", "set", mine, "up"});
}

Host::~Host() {
    ns_.reset();
    if (holder_ > 0) {
        ::kill(holder_, SIGKILL);
        ::waitpid(holder_, nullptr, 0);
    }
}

vem::UniqueFd Host::socket(int type, int port) const {
    vem::UniqueFd out;
    // setns changes the calling thread only: a short-lived thread makes the
    // socket, which stays in the namespace it was made in.
    std::thread([&] {
        if (::setns(ns_.get(), CLONE_NEWNET) != 0) return;
        vem::UniqueFd s(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
        if (!s) return;
        if (port >= 0) {
            const int on = 1;
            ::setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
            struct sockaddr_in a {};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<std::uint16_t>(port));
            if (::bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return;
            if (type == SOCK_STREAM && ::listen(s.get(), 16) != 0) return;
        }
        out = std::move(s);
    }).join();
    return out;
}

Emulator::Emulator(int netns, std::vector<std::string> args) {
    char tmpl[] = "/tmp/vemethXXXXXX";
    dir_ = ::mkdtemp(tmpl) ? tmpl : "/tmp";
    const std::string ready = dir_ + "/ready";
    args.insert(args.begin(), KVRS_EMULATOR_BIN);
    for (const char* a : {"--quiet", "--out"}) args.emplace_back(a);
    args.push_back(dir_ + "/out");
    args.emplace_back("--ready-file");
    args.push_back(ready);
    proc_ = Process(args, netns, dir_ + "/log");
    for (int i = 0; i < 500 && !std::filesystem::exists(ready); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::ifstream in(ready);
    std::string kind, where;
    while (in >> kind >> where) ready_[kind] = where;
    EXPECT_FALSE(ready_.empty()) << "emulator did not start; log in " << dir_;
}

std::string Emulator::endpoint(const std::string& kind) const {
    const auto it = ready_.find(kind);
    return it == ready_.end() ? "" : it->second;
}

int Emulator::port(const std::string& kind) const {
    const std::string e = endpoint(kind);
    return e.empty() ? -1 : std::atoi(e.substr(e.rfind(':') + 1).c_str());
}

Responder::Responder(vem::UniqueFd sock, Reply reply, std::function<int(bool)> times)
    : sock_(std::move(sock)), reply_(std::move(reply)), times_(std::move(times)) {
    const int on = 1;
    ::setsockopt(sock_.get(), IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    // One socket may stand for a whole network of hosts: room for a request
    // from every one of them at once.
    const int room = 8 << 20;
    ::setsockopt(sock_.get(), SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room);
    thread_ = std::thread([this] { loop(); });
}

Responder::~Responder() {
    stop_ = true;
    thread_.join();
}

void Responder::loop() {
    while (!stop_) {
        pollfd p{sock_.get(), POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        Bytes in(512);
        sockaddr_in from{};
        alignas(cmsghdr) char control[128];
        iovec iov{in.data(), in.size()};
        msghdr msg{};
        msg.msg_name = &from;
        msg.msg_namelen = sizeof from;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(sock_.get(), &msg, 0);
        if (n <= 0) continue;
        in.resize(static_cast<std::size_t>(n));
        // Where the request was sent: a broadcast address ends in .255.
        in_pktinfo info{};
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO)
                std::memcpy(&info, CMSG_DATA(c), sizeof info);
        }
        const bool broadcast = (ntohl(info.ipi_addr.s_addr) & 0xFF) == 0xFF;
        ++requests_;
        const Bytes out = reply_(in, broadcast);
        const int times = times_ ? times_(broadcast) : 1;
        for (int i = 0; i < times && !out.empty(); ++i)
            send_from(out, from, info.ipi_addr, broadcast);
    }
}

// Answers from the address that was asked, as agents on hosts with several
// addresses do (a broadcast is answered from the host's own address).
void Responder::send_from(const Bytes& out, sockaddr_in to, in_addr asked, bool broadcast) {
    iovec iov{const_cast<std::uint8_t*>(out.data()), out.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    msghdr msg{};
    msg.msg_name = &to;
    msg.msg_namelen = sizeof to;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    if (!broadcast) {
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = IPPROTO_IP;
        c->cmsg_type = IP_PKTINFO;
        c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo from{};
        from.ipi_spec_dst = asked;
        std::memcpy(CMSG_DATA(c), &from, sizeof from);
    }
    ::sendmsg(sock_.get(), &msg, 0);
}

int open_fds() {
    int n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

}  // namespace netlab
