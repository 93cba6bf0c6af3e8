// The kvrs-emulator program end to end: the real binary on loopback, talked
// to the way the drivers, CUPS and a terminal program talk to a printer.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "io.h"
#include "kvrs_emulator.h"

extern char** environ;

namespace kvrs::emu {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

std::string hex(const Bytes& b) {
    std::string s;
    char x[4];
    for (auto v : b) {
        std::snprintf(x, sizeof x, "%02X ", v);
        s += x;
    }
    return s;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

const Bytes kStatusRequest = {0x10, 0x04, 0x10};
const Bytes kInit = {0x1B, 0x40};
const Bytes kCut = {0x1B, 0x69};

// One band of 16 x 8 dots (a checkerboard), stored and printed.
Bytes graphics_band() {
    Bytes b = {0x1D, 0x38, 0x4C, 26, 0, 0, 0, 0x30, 0x70, 0x30, 0x01, 0x01, 0x31, 16, 0, 8, 0};
    for (int row = 0; row < 8; ++row) {
        b.push_back(row % 2 ? 0x55 : 0xAA);
        b.push_back(row % 2 ? 0xAA : 0x55);
    }
    Bytes print = {0x1D, 0x28, 0x4C, 0x02, 0x00, 0x30, 0x32};
    b.insert(b.end(), print.begin(), print.end());
    return b;
}

Bytes text(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

Bytes reply_for(std::function<void(Conditions&)> change) {
    Conditions c;
    change(c);
    auto r = status_reply(c);
    return Bytes(r.begin(), r.end());
}

bool wait_for(const std::function<bool()>& pred, std::chrono::milliseconds limit = 10s) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) {
            return true;
        }
        std::this_thread::sleep_for(20ms);
    }
    return pred();
}

// Reads exactly n bytes or gives up after `ms`.
std::optional<Bytes> read_exact(int fd, std::size_t n, int ms = 5000) {
    Bytes out;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (out.size() < n) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return std::nullopt;
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        std::uint8_t buf[256];
        ssize_t r = ::read(fd, buf, std::min(sizeof buf, n - out.size()));
        if (r <= 0) {
            return std::nullopt;
        }
        out.insert(out.end(), buf, buf + r);
    }
    return out;
}

// True when nothing at all arrives within `ms`.
bool silent_for(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) == 0;
}

// Waits for the peer to close: read gives 0 (all data read before).
bool wait_closed(int fd, int ms = 10000) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) {
        return false;
    }
    std::uint8_t b;
    return ::read(fd, &b, 1) == 0;
}

UniqueFd tcp_connect(const std::string& endpoint) {
    auto sa = parse_endpoint(endpoint);
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!sa || !fd ||
        ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&*sa), sizeof *sa) != 0) {
        return {};
    }
    return fd;
}

// One datagram to `endpoint`, the answer if one comes within `ms`.
std::optional<Bytes> udp_exchange(const std::string& endpoint, const Bytes& request,
                                  int ms = 3000) {
    auto sa = parse_endpoint(endpoint);
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sa || !fd) {
        return std::nullopt;
    }
    if (::sendto(fd.get(), request.data(), request.size(), 0,
                 reinterpret_cast<const sockaddr*>(&*sa),
                 sizeof *sa) != static_cast<ssize_t>(request.size())) {
        return std::nullopt;
    }
    pollfd p{fd.get(), POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) {
        return std::nullopt;
    }
    std::uint8_t buf[512];
    ssize_t n = ::recv(fd.get(), buf, sizeof buf, 0);
    if (n < 0) {
        return std::nullopt;
    }
    return Bytes(buf, buf + n);
}

std::string read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// A PNG is complete when it begins with the signature and ends with IEND.
bool complete_png(const fs::path& p) {
    std::string s = read_file(p);
    static const std::string sig("\x89PNG\r\n\x1a\n", 8);
    static const std::string iend("IEND\xAE\x42\x60\x82", 8);
    return s.size() > 16 && s.starts_with(sig) && s.ends_with(iend);
}

// Every line one JSON object, the file ending with a newline.
bool complete_events(const fs::path& p, std::string* contents = nullptr) {
    std::string s = read_file(p);
    if (contents) {
        *contents = s;
    }
    if (s.empty() || s.back() != '\n') {
        return false;
    }
    std::istringstream in(s);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line.front() != '{' || line.back() != '}') {
            return false;
        }
    }
    return true;
}

// Runs a command through the shell; its exit status and stdout.
std::pair<int, std::string> run(const std::string& cmd) {
    std::string out;
    FILE* f = ::popen(cmd.c_str(), "r");
    if (!f) {
        return {-1, out};
    }
    char buf[512];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
        out.append(buf, n);
    }
    int st = ::pclose(f);
    return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, out};
}

// One kvrs-emulator process with its own output directory, ready file and
// control socket in a private temporary directory.  Stopped by PID.
class Emulator {
  public:
    explicit Emulator(std::vector<std::string> args) {
        char tmpl[] = "/tmp/kvrs-emu-test-XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        out_ = dir_ / "out";
        args.insert(args.begin(), {KVRS_EMULATOR_BIN, "--out", out_.string(), "--ready-file",
                                   (dir_ / "ready").string(), "--ctl", ctl().string()});
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, (dir_ / "stdout").c_str(),
                                         O_WRONLY | O_CREAT, 0644);
        if (::posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&fa);
        wait_for([this] { return fs::exists(dir_ / "ready") || !running(); });
        std::istringstream in(read_file(dir_ / "ready"));
        std::string kind, where;
        while (in >> kind >> where) {
            ready_[kind].push_back(where);
        }
    }
    ~Emulator() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    Emulator(const Emulator&) = delete;
    Emulator& operator=(const Emulator&) = delete;

    bool running() {
        if (pid_ <= 0) {
            return false;
        }
        int st;
        if (::waitpid(pid_, &st, WNOHANG) == pid_) {
            pid_ = -1;
            exit_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            return false;
        }
        return true;
    }
    // SIGTERM and the exit status.
    int stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int st;
            ::waitpid(pid_, &st, 0);
            pid_ = -1;
            exit_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        }
        return exit_;
    }
    std::string endpoint(const std::string& kind, std::size_t i = 0) {
        auto it = ready_.find(kind);
        return it != ready_.end() && i < it->second.size() ? it->second[i] : std::string();
    }
    fs::path out() const { return out_; }
    fs::path dir() const { return dir_; }
    fs::path ctl() const { return dir_ / "ctl"; }
    std::pair<int, std::string> ctl_request(const std::string& request) {
        return run(std::string(KVRS_EMULATOR_BIN) + " ctl " + ctl().string() + " " + request);
    }

  private:
    fs::path dir_, out_;
    pid_t pid_ = -1;
    int exit_ = -1;
    std::map<std::string, std::vector<std::string>> ready_;
};

// --------------------------------------------------------------------- TCP

TEST(EmulatorTcp, JobWithStatusInTheMiddleIsWrittenBeforeWeClose) {
    Emulator emu({"--tcp", "127.0.0.1:0"});
    ASSERT_FALSE(emu.endpoint("tcp").empty());
    UniqueFd c = tcp_connect(emu.endpoint("tcp"));
    ASSERT_TRUE(c);
    ASSERT_TRUE(write_all(c.get(), cat({kInit, text("Hello\n"), kStatusRequest})));
    auto r = read_exact(c.get(), 6);
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, reply_for([](Conditions&) {})) << hex(*r);
    ASSERT_TRUE(write_all(c.get(), cat({graphics_band(), {0x1B, 0x4A, 0x20}, kCut})));
    // Half-close like CUPS's socket backend, then wait for the printer to
    // close: by then the files must be complete.
    ::shutdown(c.get(), SHUT_WR);
    ASSERT_TRUE(wait_closed(c.get()));
    std::string events;
    EXPECT_TRUE(complete_events(emu.out() / "job-0001.events.jsonl", &events)) << events;
    EXPECT_TRUE(complete_png(emu.out() / "job-0001-r01.png"));
    EXPECT_NE(events.find("status-request"), std::string::npos) << events;
    EXPECT_EQ(emu.stop(), 0);
}

TEST(EmulatorTcp, ConcurrentAndSuccessiveJobsAndSilentConnections) {
    Emulator emu({"--tcp", "127.0.0.1:0", "--tcp", "127.0.0.2:0"});
    ASSERT_FALSE(emu.endpoint("tcp", 1).empty());
    // A probe that sends nothing leaves no job behind.
    {
        UniqueFd probe = tcp_connect(emu.endpoint("tcp"));
        ASSERT_TRUE(probe);
    }
    UniqueFd a = tcp_connect(emu.endpoint("tcp", 0));
    UniqueFd b = tcp_connect(emu.endpoint("tcp", 1));
    ASSERT_TRUE(a && b);
    ASSERT_TRUE(write_all(a.get(), cat({kInit, text("first\n")})));
    ASSERT_TRUE(wait_for(
        [&] { return emu.ctl_request("jobs").second.find("job-0001 open") != std::string::npos; }));
    ASSERT_TRUE(write_all(b.get(), cat({kInit, text("second\n"), kStatusRequest})));
    ASSERT_TRUE(read_exact(b.get(), 6));
    ASSERT_TRUE(write_all(a.get(), kStatusRequest));
    ASSERT_TRUE(read_exact(a.get(), 6));
    ::shutdown(b.get(), SHUT_WR);
    ASSERT_TRUE(wait_closed(b.get()));
    EXPECT_TRUE(complete_events(emu.out() / "job-0002.events.jsonl"));
    EXPECT_FALSE(fs::exists(emu.out() / "job-0001.events.jsonl"));  // still open
    a.reset();                                                      // a plain close ends a job too
    ASSERT_TRUE(wait_for([&] { return fs::exists(emu.out() / "job-0001.events.jsonl"); }));
    UniqueFd c = tcp_connect(emu.endpoint("tcp", 1));
    ASSERT_TRUE(write_all(c.get(), cat({kInit, graphics_band()})));
    ::shutdown(c.get(), SHUT_WR);
    ASSERT_TRUE(wait_closed(c.get()));
    EXPECT_TRUE(complete_png(emu.out() / "job-0003-r01.png"));
    auto jobs = emu.ctl_request("jobs");
    EXPECT_EQ(jobs.first, 0);
    EXPECT_NE(jobs.second.find("job-0003 done"), std::string::npos) << jobs.second;
    EXPECT_EQ(jobs.second.find("job-0004"), std::string::npos) << jobs.second;
}

// A full-width band of 1000 rows (576 dots, 72 bytes a row) of stripes.
Bytes wide_band() {
    const std::uint32_t k = 72 * 1000;
    Bytes b = {0x1D,
               0x38,
               0x4C,
               static_cast<std::uint8_t>((k + 10) & 0xFF),
               static_cast<std::uint8_t>((k + 10) >> 8),
               static_cast<std::uint8_t>((k + 10) >> 16),
               0,
               0x30,
               0x70,
               0x30,
               0x01,
               0x01,
               0x31,
               0x40,
               0x02,
               0xE8,
               0x03};
    for (std::uint32_t i = 0; i < k; ++i) {
        b.push_back((i / 72) % 16 < 8 ? 0xF0 : 0x00);
    }
    Bytes print = {0x1D, 0x28, 0x4C, 0x02, 0x00, 0x30, 0x32};
    b.insert(b.end(), print.begin(), print.end());
    return b;
}

TEST(EmulatorTcp, StatusIsAnsweredWhileAnotherJobStreams) {
    Emulator emu({"--tcp", "127.0.0.1:0"});
    UniqueFd a = tcp_connect(emu.endpoint("tcp"));
    ASSERT_TRUE(a);
    const Bytes band = wide_band();
    ASSERT_TRUE(write_all(a.get(), cat({kInit, band})));
    std::thread streamer([&] {
        // About 2 MB more; the writes block while the printer works.
        for (int i = 0; i < 30; ++i) {
            if (!write_all(a.get(), band)) {
                return;
            }
        }
        write_all(a.get(), kStatusRequest);
    });
    ASSERT_TRUE(wait_for(
        [&] { return emu.ctl_request("jobs").second.find("job-0001 open") != std::string::npos; }));
    UniqueFd b = tcp_connect(emu.endpoint("tcp"));
    ASSERT_TRUE(write_all(b.get(), kStatusRequest));
    auto r = read_exact(b.get(), 6);
    streamer.join();
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, reply_for([](Conditions&) {}));
    auto ra = read_exact(a.get(), 6);  // the streaming job's own request
    ASSERT_TRUE(ra);
    ::shutdown(a.get(), SHUT_WR);
    ASSERT_TRUE(wait_closed(a.get(), 30000));
    EXPECT_TRUE(complete_png(emu.out() / "job-0001-r01.png"));
}

TEST(EmulatorTcp, SigtermFinishesOpenJobs) {
    Emulator emu({"--tcp", "127.0.0.1:0"});
    UniqueFd c = tcp_connect(emu.endpoint("tcp"));
    ASSERT_TRUE(write_all(c.get(), cat({kInit, graphics_band(), kStatusRequest})));
    ASSERT_TRUE(read_exact(c.get(), 6));
    EXPECT_EQ(emu.stop(), 0);
    EXPECT_TRUE(complete_events(emu.out() / "job-0001.events.jsonl"));
    EXPECT_TRUE(complete_png(emu.out() / "job-0001-r01.png"));
    EXPECT_FALSE(fs::exists(emu.ctl()));  // the control socket is removed
}

// ------------------------------------------------------------ UDP and SNMP

TEST(EmulatorUdp, StatusEchoesTheSequenceNumber) {
    Emulator emu({"--udp", "127.0.0.1:0"});
    ASSERT_FALSE(emu.endpoint("udp").empty());
    for (Bytes seq : {Bytes{0x01, 0x00, 0x00, 0x00}, Bytes{0x78, 0x56, 0x34, 0x12}}) {
        auto a = udp_exchange(emu.endpoint("udp"), cat({seq, kStatusRequest}));
        ASSERT_TRUE(a);
        EXPECT_EQ(*a, cat({seq, reply_for([](Conditions&) {})})) << hex(*a);
    }
    ASSERT_EQ(emu.ctl_request("set paper-end").first, 0);
    auto a = udp_exchange(emu.endpoint("udp"), cat({{9, 8, 7, 6}, kStatusRequest}));
    ASSERT_TRUE(a);
    EXPECT_EQ(*a, cat({{9, 8, 7, 6}, reply_for([](Conditions& c) { c.paper_end = true; })}))
        << hex(*a);
    // Datagrams without a sequence number or without a request: no answer.
    EXPECT_FALSE(udp_exchange(emu.endpoint("udp"), {0x10, 0x04}, 300));
    EXPECT_FALSE(udp_exchange(emu.endpoint("udp"), {1, 2, 3, 4, 0x1B, 0x40}, 300));
}

const Bytes kDriverSysObjectId = {0x30, 0x26, 0x02, 0x01, 0x00, 0x04, 0x06, 'z',  'e',  'l',
                                  'm',  'i',  'x',  0xA0, 0x19, 0x02, 0x01, 0x03, 0x02, 0x01,
                                  0x00, 0x02, 0x01, 0x00, 0x30, 0x0E, 0x30, 0x0C, 0x06, 0x08,
                                  0x2B, 0x06, 0x01, 0x02, 0x01, 0x01, 0x02, 0x00, 0x05, 0x00};

Bytes driver_sysdescr() {
    Bytes b = kDriverSysObjectId;
    b[36] = 0x01;
    return b;
}

TEST(EmulatorSnmp, DriverRequestsGetTheFixedLayout) {
    Emulator emu({"--snmp", "127.0.0.1:0", "--model", "M1A"});
    ASSERT_FALSE(emu.endpoint("snmp").empty());
    auto o = udp_exchange(emu.endpoint("snmp"), kDriverSysObjectId);
    ASSERT_TRUE(o);
    ASSERT_GT(o->size(), 41u) << hex(*o);
    EXPECT_EQ((*o)[38], 0x06) << hex(*o);
    EXPECT_EQ((*o)[40], 0x2B) << hex(*o);
    // Community and request-id echoed, around the response PDU's tag.
    EXPECT_EQ(Bytes(o->begin() + 5, o->begin() + 13),
              Bytes(kDriverSysObjectId.begin() + 5, kDriverSysObjectId.begin() + 13));
    EXPECT_EQ((*o)[13], 0xA2);
    EXPECT_EQ(Bytes(o->begin() + 15, o->begin() + 18),
              Bytes(kDriverSysObjectId.begin() + 15, kDriverSysObjectId.begin() + 18));
    auto d = udp_exchange(emu.endpoint("snmp"), driver_sysdescr());
    ASSERT_TRUE(d);
    ASSERT_GT(d->size(), 48u);
    EXPECT_EQ((*d)[38], 0x04) << hex(*d);
    // The drivers keep 40 characters from offset 40; the model is in them.
    std::string descr(d->begin() + 40, d->begin() + std::min<std::size_t>(d->size(), 80));
    EXPECT_EQ(descr.rfind("KVRS-M1A", 0), 0u) << descr;
}

TEST(EmulatorSnmp, SnmpgetReadsBothValues) {
    if (!fs::exists("/usr/bin/snmpget")) {
        GTEST_SKIP() << "snmpget (Debian package snmp) is not installed";
    }
    // A wildcard agent (what broadcasts need), reached on another loopback
    // address, with its own values.
    Emulator emu({"--snmp", "*:0", "--sysdescr", "KVRS-M2A Test Desk", "--sysobjectid",
                  "1.3.6.1.4.1.64101.7"});
    std::string where = emu.endpoint("snmp");
    ASSERT_FALSE(where.empty());
    std::string port = where.substr(where.rfind(':') + 1);
    auto [status, out] = run("snmpget -v1 -c public -On -t 2 -r 1 127.0.0.3:" + port +
                             " 1.3.6.1.2.1.1.1.0 1.3.6.1.2.1.1.2.0 2>&1");
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find(".1.3.6.1.2.1.1.1.0 = STRING: \"KVRS-M2A Test Desk\""), std::string::npos)
        << out;
    EXPECT_NE(out.find(".1.3.6.1.2.1.1.2.0 = OID: .1.3.6.1.4.1.64101.7"), std::string::npos) << out;
    // An object it does not have is reported by the client as such.
    auto [st2, out2] =
        run("snmpget -v1 -c public -On -t 2 -r 1 127.0.0.3:" + port + " 1.3.6.1.2.1.1.3.0 2>&1");
    EXPECT_NE(st2, 0);
    EXPECT_NE(out2.find("noSuchName"), std::string::npos) << out2;
}

// -------------------------------------------------------------------- pty

UniqueFd open_raw_tty(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (fd) {
        termios t{};
        ::tcgetattr(fd.get(), &t);
        ::cfmakeraw(&t);
        ::tcsetattr(fd.get(), TCSANOW, &t);
    }
    return fd;
}

TEST(EmulatorPty, StatusAcrossOpensAndReceiptsAfterIdle) {
    Emulator emu({"--pty", "--idle-ms", "300"});
    std::string pts = emu.endpoint("pty");
    ASSERT_EQ(pts.rfind("/dev/pts/", 0), 0u) << pts;
    EXPECT_NE(read_file(emu.dir() / "stdout").find("pty: " + pts), std::string::npos);
    for (int round = 0; round < 2; ++round) {
        // A client opens, prints with a status request, and closes again.
        UniqueFd t = open_raw_tty(pts);
        ASSERT_TRUE(t);
        // Feeds whose counts a cooked line would mangle: CR, ^C, ^D, XOFF.
        ASSERT_TRUE(write_all(
            t.get(), cat({kInit,
                          graphics_band(),
                          {0x1B, 0x4A, 0x0D, 0x1B, 0x4A, 0x03, 0x1B, 0x4A, 0x04, 0x1B, 0x4A, 0x13},
                          kStatusRequest})));
        auto r = read_exact(t.get(), 6);
        ASSERT_TRUE(r) << "round " << round;
        EXPECT_EQ(*r, reply_for([](Conditions&) {})) << hex(*r);
        EXPECT_TRUE(silent_for(t.get(), 100));  // nothing but the reply
    }
    // After 300 ms without data the line's job ends and its files appear.
    ASSERT_TRUE(wait_for([&] { return fs::exists(emu.out() / "job-0001.events.jsonl"); }));
    EXPECT_TRUE(complete_png(emu.out() / "job-0001-r01.png"));
    UniqueFd t = open_raw_tty(pts);
    ASSERT_TRUE(write_all(t.get(), cat({kInit, text("again\n")})));
    ASSERT_TRUE(wait_for([&] { return fs::exists(emu.out() / "job-0002.events.jsonl"); }));
}

TEST(EmulatorPty, LinkPointsAtTheLineAndGoesAway) {
    char tmpl[] = "/tmp/kvrs-emu-link-XXXXXX";
    fs::path d = ::mkdtemp(tmpl);
    {
        Emulator linked({"--pty", (d / "ttyKVRS").string()});
        std::string pts = linked.endpoint("pty");
        ASSERT_FALSE(pts.empty());
        EXPECT_EQ(fs::read_symlink(d / "ttyKVRS"), pts);
        UniqueFd t = open_raw_tty((d / "ttyKVRS").string());
        ASSERT_TRUE(write_all(t.get(), kStatusRequest));
        EXPECT_TRUE(read_exact(t.get(), 6));
        EXPECT_EQ(linked.stop(), 0);
        EXPECT_FALSE(fs::exists(fs::symlink_status(d / "ttyKVRS")));
    }
    fs::remove_all(d);
}

// ----------------------------------------------------- conditions at work

TEST(EmulatorConditions, CtlChangesTheReplyWhileAJobRuns) {
    Emulator emu({"--tcp", "127.0.0.1:0"});
    UniqueFd c = tcp_connect(emu.endpoint("tcp"));
    ASSERT_TRUE(write_all(c.get(), cat({kInit, graphics_band(), kStatusRequest})));
    auto before = read_exact(c.get(), 6);
    ASSERT_TRUE(before);
    auto set = emu.ctl_request("set cover-open");
    EXPECT_EQ(set.first, 0);
    EXPECT_EQ(set.second, "ok: cover-open\n");
    ASSERT_TRUE(write_all(c.get(), cat({graphics_band(), kStatusRequest})));
    auto after = read_exact(c.get(), 6);
    ASSERT_TRUE(after);
    EXPECT_NE(*before, *after);
    EXPECT_EQ(*after, reply_for([](Conditions& k) { k.cover_open = true; })) << hex(*after);
    EXPECT_TRUE((*after)[1] & 0x04);

    auto status = emu.ctl_request("status");
    EXPECT_NE(status.second.find("conditions: cover-open"), std::string::npos) << status.second;
    auto bad = emu.ctl_request("set lid-open");
    EXPECT_EQ(bad.first, 1);
    EXPECT_EQ(bad.second.rfind("error:", 0), 0u) << bad.second;
    EXPECT_EQ(emu.ctl_request("dance").first, 1);
    EXPECT_EQ(emu.ctl_request("clear cover-open").second, "ok: ready\n");
    EXPECT_EQ(run(std::string(KVRS_EMULATOR_BIN) + " ctl " + (emu.dir() / "nothing").string() +
                  " status 2>/dev/null")
                  .first,
              2);
}

TEST(EmulatorConditions, ScriptAppliesExactlyAtTheByteCount) {
    // Bytes 1-2 ESC @, 3-5 the first request: the condition is set after
    // byte 5, so the first reply is clear and the second, in the same write,
    // reports paper end.  300 ms later it clears again.
    Emulator emu({"--tcp", "127.0.0.1:0", "--script",
                  "after-bytes 5 set paper-end; after-ms 300 clear paper-end"});
    UniqueFd c = tcp_connect(emu.endpoint("tcp"));
    ASSERT_TRUE(
        write_all(c.get(), cat({kInit, kStatusRequest, {0x1B, 0x4A, 0x00}, kStatusRequest})));
    auto r = read_exact(c.get(), 12);
    ASSERT_TRUE(r);
    EXPECT_EQ(Bytes(r->begin(), r->begin() + 6), reply_for([](Conditions&) {})) << hex(*r);
    EXPECT_EQ(Bytes(r->begin() + 6, r->end()), reply_for([](Conditions& k) { k.paper_end = true; }))
        << hex(*r);
    ASSERT_TRUE(wait_for([&] {
        return emu.ctl_request("status").second.find("conditions: ready") != std::string::npos;
    }));
    ASSERT_TRUE(write_all(c.get(), kStatusRequest));
    auto later = read_exact(c.get(), 6);
    ASSERT_TRUE(later);
    EXPECT_EQ(*later, reply_for([](Conditions&) {}));
}

TEST(EmulatorConditions, OfflineAnswersNothingAnywhere) {
    Emulator emu({"--tcp", "127.0.0.1:0", "--udp", "127.0.0.1:0", "--snmp", "127.0.0.1:0", "--set",
                  "offline"});
    UniqueFd c = tcp_connect(emu.endpoint("tcp"));
    ASSERT_TRUE(write_all(c.get(), cat({kInit, kStatusRequest, graphics_band()})));
    EXPECT_TRUE(silent_for(c.get(), 300));
    EXPECT_FALSE(udp_exchange(emu.endpoint("udp"), cat({{1, 0, 0, 0}, kStatusRequest}), 300));
    EXPECT_FALSE(udp_exchange(emu.endpoint("snmp"), kDriverSysObjectId, 300));
    // Back online: a new request is answered, the old one never.
    ASSERT_EQ(emu.ctl_request("clear offline").first, 0);
    ASSERT_TRUE(write_all(c.get(), kStatusRequest));
    auto r = read_exact(c.get(), 6);
    ASSERT_TRUE(r);
    EXPECT_TRUE(silent_for(c.get(), 100));
    EXPECT_TRUE(udp_exchange(emu.endpoint("snmp"), kDriverSysObjectId));
    // Data taken while offline is still printed.
    ::shutdown(c.get(), SHUT_WR);
    ASSERT_TRUE(wait_closed(c.get()));
    EXPECT_TRUE(complete_png(emu.out() / "job-0001-r01.png"));
}

// ----------------------------------------------------------------- render

TEST(EmulatorRender, CapturedStreamFromFileAndStdin) {
    char tmpl[] = "/tmp/kvrs-emu-render-XXXXXX";
    fs::path d = ::mkdtemp(tmpl);
    Bytes stream =
        cat({kInit, text("Receipt\n"), graphics_band(), kStatusRequest, kCut, graphics_band()});
    {
        std::ofstream f(d / "capture.bin", std::ios::binary);
        f.write(reinterpret_cast<const char*>(stream.data()),
                static_cast<std::streamsize>(stream.size()));
    }
    auto [st, out] = run(std::string(KVRS_EMULATOR_BIN) + " render --quiet --out " +
                         (d / "o").string() + " --name cap " + (d / "capture.bin").string());
    EXPECT_EQ(st, 0);
    EXPECT_TRUE(complete_events(d / "o" / "cap.events.jsonl"));
    EXPECT_TRUE(complete_png(d / "o" / "cap-r01.png"));  // up to the cut
    EXPECT_TRUE(complete_png(d / "o" / "cap-r02.png"));  // what followed it
    EXPECT_NE(out.find("cap-r02.png"), std::string::npos) << out;

    auto [st2, out2] = run(std::string(KVRS_EMULATOR_BIN) + " render --quiet --out " +
                           (d / "p").string() + " - < " + (d / "capture.bin").string());
    EXPECT_EQ(st2, 0);
    EXPECT_EQ(read_file(d / "p" / "job-0001.events.jsonl"),
              read_file(d / "o" / "cap.events.jsonl"));
    EXPECT_EQ(
        run(std::string(KVRS_EMULATOR_BIN) + " render " + (d / "missing").string() + " 2>/dev/null")
            .first,
        1);
    fs::remove_all(d);
}

TEST(EmulatorCli, HelpAndUsageErrors) {
    auto [st, out] = run(std::string(KVRS_EMULATOR_BIN) + " --help");
    EXPECT_EQ(st, 0);
    for (const char* word : {"--tcp", "--udp", "--snmp", "--pty", "--ctl", "--script", "render",
                             "ctl", "--ready-file"}) {
        EXPECT_NE(out.find(word), std::string::npos) << word;
    }
    EXPECT_EQ(run(std::string(KVRS_EMULATOR_BIN) + " --bogus 2>/dev/null").first, 2);
    EXPECT_EQ(run(std::string(KVRS_EMULATOR_BIN) + " --set lid-open 2>/dev/null").first, 2);
    EXPECT_EQ(run(std::string(KVRS_EMULATOR_BIN) + " --tcp 127.0.0.1:notaport 2>/dev/null").first,
              2);
}

}  // namespace
}  // namespace kvrs::emu
