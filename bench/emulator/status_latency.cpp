// status_latency - how long a running kvrs-emulator takes to answer status
// requests while it is loaded the way a busy shop loads a printer:
//   * one client streams large graphics (576 x 12000-dot receipts of noise,
//     stored in bands of 4000 rows, a cut after each), the worst case for
//     the picture encoder;
//   * N clients send long runs of feeds (ESC J 255), half-close, wait for the
//     emulator's close and start over;
//   * one TCP connection asks 10 04 10 and one UDP socket asks the datagram
//     status every few milliseconds, timing each answer.
// It prints the latency percentiles of both, the amount of load, and the
// emulator's resident memory at its peak and once every client has gone.
//
//   status_latency [--emulator PATH] [--seconds N] [--feeders N] [--graphics 0|1]
//                  [--args "EXTRA EMULATOR OPTIONS"]
// --feeders 0 --graphics 0 measures the idle emulator: the floor that the
// machine itself sets (scheduling), to compare the loaded figures with.
//
// Everything stays on 127.0.0.1; the run is bounded by --seconds.
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "io.h"

extern char** environ;

namespace {

using namespace kvrs::emu;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

std::atomic<bool> g_stop{false};

void put(Bytes& out, std::initializer_list<std::uint8_t> b) {
    out.insert(out.end(), b);
}

// Receipts of 576 x 12000 dots of noise in bands of 4000 rows, each cut.
Bytes graphics_stream(int receipts) {
    Bytes out{0x1B, 0x40};
    std::uint32_t seed = 7;
    const int rb = 72, rows = 4000;
    for (int r = 0; r < receipts; ++r) {
        for (int band = 0; band < 3; ++band) {
            const std::uint32_t p = 10 + static_cast<std::uint32_t>(rb * rows);
            put(out, {0x1D, 0x38, 0x4C, static_cast<std::uint8_t>(p),
                      static_cast<std::uint8_t>(p >> 8), static_cast<std::uint8_t>(p >> 16),
                      static_cast<std::uint8_t>(p >> 24), 0x30, 0x70, 0x30, 0x01, 0x01, 0x31,
                      0x40, 0x02, static_cast<std::uint8_t>(rows & 0xFF),
                      static_cast<std::uint8_t>(rows >> 8)});
            for (int i = 0; i < rb * rows; ++i) {
                seed = seed * 1103515245u + 12345u;
                out.push_back(static_cast<std::uint8_t>(seed >> 16));
            }
            put(out, {0x1D, 0x28, 0x4C, 0x02, 0x00, 0x30, 0x32});
        }
        put(out, {0x1B, 0x4A, 0x40, 0x1B, 0x69});
    }
    return out;
}

UniqueFd connect_to(const std::string& endpoint, int type = SOCK_STREAM) {
    const auto sa = parse_endpoint(endpoint);
    UniqueFd fd(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
    if (!sa || !fd || ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&*sa), sizeof *sa))
        return {};
    return fd;
}

bool read_exact(int fd, std::uint8_t* out, std::size_t n, int ms) {
    for (std::size_t got = 0; got < n;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0) return false;
        const ssize_t r = ::read(fd, out + got, n - got);
        if (r <= 0) return false;
        got += static_cast<std::size_t>(r);
    }
    return true;
}

// Reads until the peer closes (or `ms` pass without a byte).
bool wait_closed(int fd, int ms) {
    std::uint8_t buf[256];
    while (true) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0) return false;
        const ssize_t r = ::read(fd, buf, sizeof buf);
        if (r == 0) return true;
        if (r < 0) return false;
    }
}

long rss_kib(pid_t pid, const char* field = "VmRSS:") {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field)));
    return -1;
}

struct Latencies {
    std::mutex m;
    std::vector<double> ms;
    int lost = 0;
    void add(double v) {
        std::lock_guard lock(m);
        ms.push_back(v);
    }
    void print(const char* what) {
        std::lock_guard lock(m);
        if (ms.empty()) {
            std::printf("%-26s no answers (%d lost)\n", what, lost);
            return;
        }
        std::sort(ms.begin(), ms.end());
        auto pct = [&](double p) {
            return ms[std::min(ms.size() - 1, static_cast<std::size_t>(p * (ms.size() - 1)))];
        };
        std::printf("%-26s n=%zu  p50=%.3f ms  p99=%.3f ms  p99.9=%.3f ms  max=%.3f ms  lost=%d\n",
                    what, ms.size(), pct(0.5), pct(0.99), pct(0.999), ms.back(), lost);
    }
};

// The load stands for clients on other machines: on this one its threads
// yield to the emulator and the probes rather than compete with them.
void background() {
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 10);
}

double since_ms(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
    std::string emulator = KVRS_EMULATOR_BIN;
    int seconds = 10, feeders = 20, graphics_clients = 1;
    std::string extra;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--emulator")
            emulator = argv[i + 1];
        else if (a == "--seconds")
            seconds = std::max(1, std::atoi(argv[i + 1]));
        else if (a == "--feeders")
            feeders = std::max(0, std::atoi(argv[i + 1]));
        else if (a == "--graphics")
            graphics_clients = std::atoi(argv[i + 1]) ? 1 : 0;
        else if (a == "--args")
            extra = argv[i + 1];
        else {
            std::fprintf(stderr, "usage: %s [--emulator PATH] [--seconds N] [--feeders N] "
                                 "[--graphics 0|1] [--args \"EXTRA EMULATOR OPTIONS\"]\n",
                         argv[0]);
            return 2;
        }
    }
    ::signal(SIGPIPE, SIG_IGN);

    char tmpl[] = "/tmp/kvrs-latency-XXXXXX";
    const fs::path dir = ::mkdtemp(tmpl);
    std::vector<std::string> args = {emulator,     "--quiet", "--out", (dir / "out").string(),
                                     "--tcp",      "127.0.0.1:0", "--udp", "127.0.0.1:0",
                                     "--ready-file", (dir / "ready").string()};
    std::istringstream ex(extra);
    for (std::string w; ex >> w;) args.push_back(w);
    std::vector<char*> argvv;
    for (auto& a : args) argvv.push_back(a.data());
    argvv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawn(&pid, argvv[0], nullptr, nullptr, argvv.data(), environ) != 0) {
        std::fprintf(stderr, "cannot start %s\n", emulator.c_str());
        return 1;
    }
    std::string tcp, udp;
    for (int i = 0; i < 500 && (tcp.empty() || udp.empty()); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::ifstream in(dir / "ready");
        for (std::string k, w; in >> k >> w;) (k == "tcp" ? tcp : k == "udp" ? udp : k) = w;
    }
    if (tcp.empty() || udp.empty()) {
        std::fprintf(stderr, "emulator did not start\n");
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        return 1;
    }
    const long rss_idle = rss_kib(pid);

    const Bytes graphics = graphics_stream(4);  // 2.6 MB per pass, 4 receipts
    std::atomic<std::uint64_t> graphics_bytes{0}, feed_jobs{0}, half_closes{0};
    std::vector<std::thread> load;
    if (graphics_clients) load.emplace_back([&] {
        background();
        while (!g_stop) {
            UniqueFd c = connect_to(tcp);
            if (!c) return;
            for (int pass = 0; pass < 8 && !g_stop; ++pass) {
                if (!write_all(c.get(), graphics)) return;
                graphics_bytes += graphics.size();
            }
            ::shutdown(c.get(), SHUT_WR);
            wait_closed(c.get(), 60000);
        }
    });
    Bytes feeds{0x1B, 0x40};
    for (int i = 0; i < 100000; ++i) put(feeds, {0x1B, 0x4A, 0xFF});
    for (int f = 0; f < feeders; ++f)
        load.emplace_back([&] {
            background();
            while (!g_stop) {
                UniqueFd c = connect_to(tcp);
                if (!c || !write_all(c.get(), feeds)) return;
                ::shutdown(c.get(), SHUT_WR);
                ++half_closes;
                if (wait_closed(c.get(), 60000)) ++feed_jobs;
            }
        });

    Latencies tcp_lat, udp_lat;
    std::thread tcp_probe([&] {
        UniqueFd c = connect_to(tcp);
        const std::uint8_t req[] = {0x10, 0x04, 0x10};
        std::uint8_t ans[6];
        while (c && !g_stop) {
            const auto t0 = Clock::now();
            if (!write_all(c.get(), std::span<const std::uint8_t>(req))) break;
            if (read_exact(c.get(), ans, 6, 10000))
                tcp_lat.add(since_ms(t0));
            else
                ++tcp_lat.lost;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    std::thread udp_probe([&] {
        UniqueFd c = connect_to(udp, SOCK_DGRAM);
        std::uint32_t seq = 0;
        while (c && !g_stop) {
            ++seq;
            std::uint8_t req[7] = {static_cast<std::uint8_t>(seq), static_cast<std::uint8_t>(seq >> 8),
                                   static_cast<std::uint8_t>(seq >> 16),
                                   static_cast<std::uint8_t>(seq >> 24), 0x10, 0x04, 0x10};
            std::uint8_t ans[64];
            const auto t0 = Clock::now();
            ::send(c.get(), req, sizeof req, 0);
            bool ok = false;
            while (!ok) {  // skip late answers to earlier requests
                pollfd p{c.get(), POLLIN, 0};
                if (::poll(&p, 1, 2000) <= 0) break;
                const ssize_t n = ::recv(c.get(), ans, sizeof ans, 0);
                ok = n == 10 && std::memcmp(ans, req, 4) == 0;
            }
            if (ok)
                udp_lat.add(since_ms(t0));
            else
                ++udp_lat.lost;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });

    long rss_peak = 0;
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < end) {
        rss_peak = std::max(rss_peak, rss_kib(pid));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    g_stop = true;
    tcp_probe.join();
    udp_probe.join();
    for (auto& t : load) t.join();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const long rss_after = rss_kib(pid);
    const long hwm = rss_kib(pid, "VmHWM:");
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    std::size_t pictures = 0;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir / "out", ec))
        pictures += e.path().extension() == ".png" ? 1 : 0;
    fs::remove_all(dir, ec);

    std::printf("load for %d s: %d client streaming graphics (%.1f MB sent, %zu pictures written), "
                "%d feed clients (%llu jobs, %llu half-closes)\n",
                seconds, graphics_clients, static_cast<double>(graphics_bytes) / 1e6, pictures, feeders,
                static_cast<unsigned long long>(feed_jobs.load()),
                static_cast<unsigned long long>(half_closes.load()));
    tcp_lat.print("status over TCP (10 04 10)");
    udp_lat.print("status over UDP");
    std::printf("emulator RSS: idle %.1f MiB, peak %.1f MiB (high-water %.1f MiB), "
                "2 s after the load %.1f MiB\n",
                rss_idle / 1024.0, rss_peak / 1024.0, hwm / 1024.0, rss_after / 1024.0);
    return 0;
}
