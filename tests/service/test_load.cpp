// wardlinkd under load: 50 ports (files and pseudo-terminals), several
// client processes on each, every client checking every reply against the
// request it sent, and every port's output checked to hold each client's
// data whole, once, in order.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <sstream>

#include "VEMFd.h"
#include "daemon_harness.h"

using namespace harness;

namespace {

constexpr int kPorts = 50;
constexpr int kClientsPerPort = 4;
constexpr int kRounds = 100;  // each: one send and one send-then-read exchange
constexpr int kFirstPty = 40;  // ports from here on are serial (ptys)

std::string port_file(int port) { return "/tmp/load/p" + std::to_string(port) + ".bin"; }

// The serial printers: the test plays each one on its pty's master.  It
// keeps what arrives and answers every exchange record ('R') with the
// record itself, so that a client can tell its own answer from any other.
struct Printers {
    std::vector<std::unique_ptr<Pty>> ptys;
    std::vector<std::string> got;
    std::atomic<bool> done{false};
    std::thread loop;
    Printers() {
        for (int p = kFirstPty; p < kPorts; ++p) ptys.push_back(std::make_unique<Pty>());
        got.resize(ptys.size());
    }
    // After the clients are forked: a fork while another thread may hold an
    // allocator lock (the sanitizers' are not fork-safe) could hang a child.
    void start() {
        loop = std::thread([this] { run(); });
    }
    ~Printers() { stop(); }
    void stop() {
        done = true;
        if (loop.joinable()) loop.join();
    }
    const std::string& slave(int port) const { return ptys[port - kFirstPty]->slave; }
    void run() {
        std::vector<std::string> partial(ptys.size());
        while (!done) {
            std::vector<pollfd> fds;
            for (const auto& t : ptys) fds.push_back({t->master, POLLIN, 0});
            if (::poll(fds.data(), fds.size(), 50) <= 0) continue;
            for (std::size_t i = 0; i < fds.size(); ++i) {
                char buf[4096];
                const ssize_t n = (fds[i].revents & POLLIN) ? ::read(fds[i].fd, buf, sizeof buf) : 0;
                if (n <= 0) continue;
                partial[i].append(buf, static_cast<std::size_t>(n));
                for (std::size_t nl; (nl = partial[i].find('\n')) != std::string::npos;) {
                    const std::string line = partial[i].substr(0, nl + 1);
                    partial[i].erase(0, nl + 1);
                    got[i] += line;
                    if (line.find(":R:") != std::string::npos) {
                        vem::write_full(fds[i].fd, line.data(), line.size(), nullptr,
                                        vem::OnFull::Wait);
                    }
                }
            }
        }
    }
};

// Record written by client c of port p in round r, kind 'S' (send) or 'R'
// (the send half of an exchange); lengths vary so that a reply meant for
// another client is told apart by its size.
std::string record(int p, int c, int r, char kind) {
    const std::string head = std::to_string(p) + ":" + std::to_string(c) + ":" +
                             std::to_string(r) + ":" + kind + ":";
    const std::size_t pad = static_cast<std::size_t>((p * 7 + c * 131 + r * 31) % 700);
    return head + std::string(pad, static_cast<char>('a' + (c + r) % 26)) + "\n";
}

// One exchange on the main pipe, under the main semaphore as every client
// holds it.
Reply main_exchange(sem_t* mainSem, const Bytes& req) {
    Client main("");
    ::sem_wait(mainSem);
    Reply rep = main.ask(req);
    ::sem_post(mainSem);
    return rep;
}

// A client process of port p (a file, or the serial port at `tty`): 0 when
// every reply matched, else the step that failed.
int client(int p, int c, const std::string& tty) {
    const bool serial = !tty.empty();
    const std::string name = serial ? tty : port_file(p);
    sem_t* mainSem = ::sem_open("/cmn_share_interface_main_sem_", O_CREAT, 0666, 1);
    const Reply opened = main_exchange(mainSem, serial ? open_serial(name) : open_file(name));
    if (opened.length != 32 || opened.code != (serial ? 1U : 4U) || opened.result < 0 ||
        opened.result > 49) {
        return 2;
    }
    Client port(pipe_suffix(name));
    sem_t* lock = ::sem_open((serial ? serial_sem(name) : file_sem(name)).c_str(), O_CREAT, 0666, 1);
    for (int r = 0; r < kRounds; ++r) {
        ::sem_wait(lock);
        const std::string s = record(p, c, r, 'S'), x = record(p, c, r, 'R');
        // A file answers with as many (zero) bytes as asked for; a printer
        // with the record just sent.
        const std::uint64_t want =
            serial ? x.size() : 1 + static_cast<std::uint64_t>((c * 97 + r * 13 + p) % 1024);
        const Reply a = port.ask(send_request(Bytes(s.begin(), s.end())));
        const Reply b = port.ask(request(11, 0, x.size(), want, 1000, Bytes(x.begin(), x.end())));
        ::sem_post(lock);
        if (a.length != 32 || a.code != 9 || a.result != 0 || a.size != s.size()) return 3;
        if (b.length != static_cast<long>(32 + want) || b.code != 11 || b.result != 0 ||
            b.size != want || (serial && b.data != Bytes(x.begin(), x.end()))) {
            return 4;
        }
    }
    const Reply closed = main_exchange(mainSem, request(12, opened.result));
    return closed.code == 12 && closed.result == 0 ? 0 : 5;
}

}  // namespace

TEST(WardlinkdLoad, FiftyPortsManyClients) {
    ::signal(SIGPIPE, SIG_IGN);
    SysLog log;
    log.fd = isolate();
    ASSERT_GE(log.fd, 0);
    fs::create_directory("/tmp/load");
    Daemon daemon;
    ASSERT_TRUE(daemon.start());
    Printers printers;

    const auto t0 = std::chrono::steady_clock::now();
    std::map<pid_t, std::pair<int, int>> kids;
    for (int p = 0; p < kPorts; ++p) {
        for (int c = 0; c < kClientsPerPort; ++c) {
            const pid_t pid = ::fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) _exit(client(p, c, p >= kFirstPty ? printers.slave(p) : ""));
            kids[pid] = {p, c};
        }
    }
    printers.start();
    int failed = 0;
    for (const auto& [pid, who] : kids) {
        int st = 0;
        ::waitpid(pid, &st, 0);
        if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) {
            ADD_FAILURE() << "client " << who.second << " of port " << who.first << " status "
                          << st;
            ++failed;
        }
    }
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const int exchanges = kPorts * kClientsPerPort * (2 * kRounds + 2);
    std::printf("load: %d ports (%d files, %d ptys), %d client processes, %d exchanges in %.2f s "
                "(%.0f per second)\n",
                kPorts, kFirstPty, kPorts - kFirstPty, kPorts * kClientsPerPort, exchanges, secs,
                exchanges / secs);
    ASSERT_EQ(failed, 0);

    // Every port closed by its last client: only the main pair is left.
    EXPECT_EQ(service_fifos(), 2U);
    EXPECT_EQ(daemon.stop(), 0);
    printers.stop();
    for (int p = 0; p < kPorts; ++p) {
        std::ifstream file(port_file(p));
        std::istringstream tty(p >= kFirstPty ? printers.got[p - kFirstPty] : "");
        std::istream& in = p >= kFirstPty ? static_cast<std::istream&>(tty) : file;
        std::map<int, int> next;  // client -> records seen, in order S0 R0 S1 R1 ...
        std::string line;
        while (std::getline(in, line)) {
            int pp = -1, c = -1, r = -1;
            char kind = 0;
            ASSERT_EQ(std::sscanf(line.c_str(), "%d:%d:%d:%c:", &pp, &c, &r, &kind), 4) << line;
            ASSERT_EQ(pp, p);
            const int n = next[c]++;
            ASSERT_EQ(r, n / 2) << "port " << p << " client " << c;
            ASSERT_EQ(line + "\n", record(p, c, r, n % 2 == 0 ? 'S' : 'R'));
        }
        for (int c = 0; c < kClientsPerPort; ++c) EXPECT_EQ(next[c], 2 * kRounds) << "port " << p;
    }
}
