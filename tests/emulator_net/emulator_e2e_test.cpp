// The kvrs-emulator program end to end: the real binary on loopback, talked
// to the way the drivers, CUPS and a terminal program talk to a printer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "../emulator_core/streams.h"
#include "io.h"

extern char** environ;

namespace kvrs::emu::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const Bytes kInit = {0x1B, 0x40};
const std::string kBin = KVRS_EMULATOR_BIN;
// One band of 16 x 8 dots, stored and printed.
const Bytes kBand = cat({store(0x30, 0x31, 16, 8, pattern(16, 8, 4)), kPrint});

Bytes reply(Conditions c = {}) {
    const auto r = status_reply(c);
    return Bytes(r.begin(), r.end());
}

// The drivers' 40-byte GetRequest, community "zelmix", request-id 3, for
// 1.3.6.1.2.1.1.<arc>.0 (1 sysDescr, 2 sysObjectID).
Bytes driver_request(std::uint8_t arc) {
    return {0x30, 0x26, 0x02, 0x01, 0x00, 0x04, 0x06, 'z',  'e',  'l',  'm',  'i',  'x',  0xA0,
            0x19, 0x02, 0x01, 0x03, 0x02, 0x01, 0x00, 0x02, 0x01, 0x00, 0x30, 0x0E, 0x30, 0x0C,
            0x06, 0x08, 0x2B, 0x06, 0x01, 0x02, 0x01, 0x01, arc,  0x00, 0x05, 0x00};
}

bool wait_for(const std::function<bool()>& pred) {
    for (auto end = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(20ms))
        if (pred()) return true;
    return pred();
}

// Exactly n bytes, or nothing if a pause of `ms` comes first.
std::optional<Bytes> read_exact(int fd, std::size_t n, int ms = 5000) {
    Bytes out(n);
    for (std::size_t got = 0; got < n;) {
        pollfd p{fd, POLLIN, 0};
        const ssize_t r = ::poll(&p, 1, ms) > 0 ? ::read(fd, out.data() + got, n - got) : 0;
        if (r <= 0) return std::nullopt;
        got += static_cast<std::size_t>(r);
    }
    return out;
}
// True when nothing at all arrives within `ms`.
bool silent_for(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) == 0;
}
// Waits for the peer to close: read gives 0 (all data read before).
bool wait_closed(int fd, int ms = 30000) {
    std::uint8_t b;
    return !silent_for(fd, ms) && ::read(fd, &b, 1) == 0;
}

UniqueFd connect_to(const std::string& endpoint, int type = SOCK_STREAM) {
    const auto sa = parse_endpoint(endpoint);
    UniqueFd fd(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
    if (!sa || !fd || ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&*sa), sizeof *sa))
        return {};
    return fd;
}
// One datagram to `endpoint`, the answer if one comes within `ms`.
std::optional<Bytes> udp_exchange(const std::string& endpoint, const Bytes& request,
                                  int ms = 3000) {
    const UniqueFd fd = connect_to(endpoint, SOCK_DGRAM);
    std::uint8_t buf[512];
    if (!fd || !write_all(fd.get(), request) || silent_for(fd.get(), ms)) return std::nullopt;
    const ssize_t n = ::recv(fd.get(), buf, sizeof buf, 0);
    return n < 0 ? std::nullopt : std::optional(Bytes(buf, buf + n));
}

std::string read_file(const fs::path& p) {
    std::ostringstream s;
    s << std::ifstream(p, std::ios::binary).rdbuf();
    return s.str();
}
// Complete files only: a PNG from its signature to IEND, an event log of
// whole JSON lines.
bool complete(const fs::path& p) {
    const std::string s = read_file(p);
    if (p.extension() == ".png")
        return s.starts_with("\x89PNG\r\n\x1a\n") &&
               s.ends_with(std::string("IEND\xAE\x42\x60\x82", 8));
    std::istringstream in(s);
    for (std::string line; std::getline(in, line);)
        if (line.empty() || line.front() != '{' || line.back() != '}') return false;
    return !s.empty() && s.back() == '\n';
}

// Runs a command through the shell; its exit status and stdout.
std::pair<int, std::string> run_shell(const std::string& cmd) {
    std::string out;
    FILE* f = ::popen(cmd.c_str(), "r");
    char buf[512];
    for (std::size_t n; f && (n = std::fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, n);
    const int st = f ? ::pclose(f) : -1;
    return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, out};
}

// One kvrs-emulator process with its output directory, ready file, control
// socket and standard output and error in a private temporary directory;
// `max_fds` > 0 runs it with that descriptor limit.  Stopped by PID.
class Emulator {
  public:
    explicit Emulator(std::vector<std::string> args, int max_fds = 0) {
        char tmpl[] = "/tmp/kvrs-emu-test-XXXXXX";
        dir = ::mkdtemp(tmpl);
        args.insert(args.begin(), {kBin, "--out", out().string(), "--ready-file",
                                   (dir / "ready").string(), "--ctl", ctl().string()});
        if (max_fds > 0)  // the shell sets the limit, then becomes the emulator (same PID)
            args.insert(args.begin(), {"/bin/sh", "-c",
                                       "ulimit -n " + std::to_string(max_fds) + " && exec \"$@\"",
                                       "sh"});
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, (dir / "stdout").c_str(), O_WRONLY | O_CREAT,
                                         0644);
        posix_spawn_file_actions_addopen(&fa, 2, (dir / "stderr").c_str(), O_WRONLY | O_CREAT,
                                         0644);
        if (::posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        wait_for([this] { return fs::exists(dir / "ready"); });
    }
    ~Emulator() {
        if (pid_ > 0) ::kill(pid_, SIGKILL), ::waitpid(pid_, nullptr, 0);
        fs::remove_all(dir);
    }
    // SIGTERM; the exit status.
    int stop() {
        int st = -1;
        if (pid_ > 0 && ::kill(pid_, SIGTERM) == 0 && ::waitpid(pid_, &st, 0) == pid_) pid_ = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    // The i-th address of a kind ("tcp", "udp", "snmp", "pty") it listens on.
    std::string endpoint(const std::string& kind, int i = 0) const {
        std::istringstream in(read_file(dir / "ready"));
        for (std::string k, where; in >> k >> where;)
            if (k == kind && i-- == 0) return where;
        return {};
    }
    fs::path out() const { return dir / "out"; }
    std::string stderr_text() const { return read_file(dir / "stderr"); }
    // Processor time (user + system) it has used so far, in seconds.
    double cpu_seconds() const {
        std::string stat = read_file("/proc/" + std::to_string(pid_) + "/stat");
        std::istringstream in(stat.substr(stat.rfind(')') + 2));
        std::string field;
        unsigned long long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && in >> field; ++i)  // fields 14 and 15 of the record
            if (i == 14)
                utime = std::stoull(field);
            else if (i == 15)
                stime = std::stoull(field);
        return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    }
    fs::path ctl() const { return dir / "ctl"; }
    std::pair<int, std::string> ctl_request(const std::string& request) const {
        return run_shell(kBin + " ctl " + ctl().string() + " " + request);
    }
    bool has(const std::string& job_state) const {
        return ctl_request("jobs").second.find(job_state) != std::string::npos;
    }
    fs::path dir;

  private:
    pid_t pid_ = -1;
};

// --------------------------------------------------------------------- TCP
// CUPS's socket backend half-closes and waits for the printer to close: by
// then the job's files must be complete.  Two addresses at once; a status
// request on one is answered while the other streams megabytes; a probe
// that sends nothing leaves no job; a plain close ends a job too.
TEST(EmulatorTcp, JobsAreWrittenBeforeWeClose) {
    Emulator emu({"--tcp", "127.0.0.1:0", "--tcp", "127.0.0.2:0"});
    ASSERT_FALSE(emu.endpoint("tcp", 1).empty());
    ASSERT_TRUE(connect_to(emu.endpoint("tcp")));  // the probe
    UniqueFd a = connect_to(emu.endpoint("tcp", 0));
    const Bytes page = mono_page(576, pattern(576, 1000, 2), 1000);
    ASSERT_TRUE(write_all(a.get(), cat({kInit, page})));
    ASSERT_TRUE(wait_for([&] { return emu.has("job-0001 open"); }));
    std::thread streamer([&] {
        for (int i = 0; i < 30 && write_all(a.get(), page); ++i) {
        }
    });

    UniqueFd b = connect_to(emu.endpoint("tcp", 1));
    ASSERT_TRUE(write_all(b.get(), cat({kInit, text("Hello\n"), kStatusRequest})));
    EXPECT_EQ(read_exact(b.get(), 6), reply());
    ASSERT_TRUE(write_all(b.get(), cat({kBand, {0x1B, 0x4A, 0x20, 0x1B, 0x69}})));
    ::shutdown(b.get(), SHUT_WR);
    ASSERT_TRUE(wait_closed(b.get()));
    EXPECT_TRUE(complete(emu.out() / "job-0002.events.jsonl"));
    EXPECT_TRUE(complete(emu.out() / "job-0002-r01.png"));
    EXPECT_NE(read_file(emu.out() / "job-0002.events.jsonl").find("status-request"),
              std::string::npos);

    streamer.join();
    ASSERT_TRUE(write_all(a.get(), kStatusRequest));
    EXPECT_EQ(read_exact(a.get(), 6), reply());
    EXPECT_FALSE(fs::exists(emu.out() / "job-0001.events.jsonl"));  // still open
    a.reset();
    ASSERT_TRUE(wait_for([&] { return fs::exists(emu.out() / "job-0001.events.jsonl"); }));
    EXPECT_TRUE(complete(emu.out() / "job-0001-r01.png"));
    EXPECT_TRUE(emu.has("job-0002 done"));
    EXPECT_FALSE(emu.has("job-0003"));
    EXPECT_EQ(emu.stop(), 0);
}

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// Sixty clients, each with a small job, against a process allowed 32
// descriptors: it takes what it can, says once that it ran out, and waits
// without spinning (no processor time, no flood of messages); as clients
// finish, the waiting ones are taken and every job is written.
TEST(EmulatorTcp, OutOfDescriptorsWaitsForOneToClose) {
    Emulator emu({"--tcp", "127.0.0.1:0"}, 32);
    const std::string ep = emu.endpoint("tcp");
    ASSERT_FALSE(ep.empty());
    std::vector<UniqueFd> clients;
    for (int i = 0; i < 60; ++i) {
        clients.push_back(connect_to(ep));
        ASSERT_TRUE(clients.back()) << i;
        ASSERT_TRUE(write_all(clients.back().get(), cat({kInit, text("client\n")})));
    }
    std::this_thread::sleep_for(500ms);  // it has taken what it can
    const double cpu = emu.cpu_seconds();
    std::this_thread::sleep_for(1500ms);
    EXPECT_LT(emu.cpu_seconds() - cpu, 0.5);
    for (auto& c : clients) {
        ::shutdown(c.get(), SHUT_WR);
        ASSERT_TRUE(wait_closed(c.get()));
        c.reset();
    }
    for (int i = 1; i <= 60; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "job-%04d.events.jsonl", i);
        EXPECT_TRUE(complete(emu.out() / name)) << name;
    }
    const std::string err = emu.stderr_text();
    EXPECT_EQ(count(err, "out of descriptors"), 1u) << err.substr(0, 2000);
    EXPECT_EQ(count(err, "accept"), 0u) << err.substr(0, 2000);
    EXPECT_LT(err.size(), 200u * 64) << err.substr(0, 2000);  // about a line a job
    EXPECT_EQ(emu.stop(), 0);
}

// Each receipt's picture is written as soon as the receipt ends, while its
// connection stays open.  Pictures that pile up beyond --job-limit pause
// that job's input (said once on stderr, a busy event in its log) and lose
// nothing, while status requests on another connection are answered.
TEST(EmulatorTcp, ReceiptsAreWrittenAsTheyEndWithinTheLimits) {
    Emulator emu({"--tcp", "127.0.0.1:0", "--job-limit", "1"});
    const std::string ep = emu.endpoint("tcp");
    UniqueFd a = connect_to(ep);
    ASSERT_TRUE(write_all(a.get(), cat({kInit, kBand, {0x1B, 0x69}})));
    ASSERT_TRUE(wait_for([&] { return fs::exists(emu.out() / "job-0001-r01.png"); }));
    EXPECT_TRUE(complete(emu.out() / "job-0001-r01.png"));
    EXPECT_FALSE(fs::exists(emu.out() / "job-0001.events.jsonl"));

    // 576 x 2000 dots: 1.1 MiB of pixels each, more than the job may hold.
    const Bytes big = cat({mono_page(576, pattern(576, 2000, 5), 2000), {0x1B, 0x69}});
    std::thread streamer([&] {
        for (int i = 0; i < 30 && write_all(a.get(), big); ++i) {
        }
        ::shutdown(a.get(), SHUT_WR);
    });
    UniqueFd b = connect_to(ep);
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(write_all(b.get(), kStatusRequest));
        EXPECT_EQ(read_exact(b.get(), 6), reply());
    }
    streamer.join();
    ASSERT_TRUE(wait_closed(a.get()));
    for (int i = 1; i <= 31; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "job-0001-r%02d.png", i);
        EXPECT_TRUE(complete(emu.out() / name)) << name;
    }
    EXPECT_FALSE(fs::exists(emu.out() / "job-0001-r32.png"));
    const std::string log = read_file(emu.out() / "job-0001.events.jsonl");
    EXPECT_NE(log.find(R"("kind":"busy","offset":)"), std::string::npos);
    EXPECT_EQ(count(emu.stderr_text(), "job-0001: input paused"), 1u) << emu.stderr_text();
}

// ------------------------------------------------------------ UDP and SNMP
// UDP status echoes the sequence number; the drivers' SNMP requests get a
// GetResponse echoing their envelope, the value's tag at 38 and its contents
// at 40 (decoded as the drivers do), the model first.
TEST(EmulatorUdpSnmp, StatusAndDriverRequests) {
    Emulator emu({"--udp", "127.0.0.1:0", "--snmp", "127.0.0.1:0", "--model", "M1A"});
    const std::string udp = emu.endpoint("udp"), snmp = emu.endpoint("snmp");
    const Bytes seq{0x78, 0x56, 0x34, 0x12};
    EXPECT_EQ(udp_exchange(udp, cat({seq, kStatusRequest})), cat({seq, reply()}));
    ASSERT_EQ(emu.ctl_request("set paper-end").first, 0);
    EXPECT_EQ(udp_exchange(udp, cat({seq, kStatusRequest})),
              cat({seq, reply({.paper_end = true})}));

    const Bytes req = driver_request(0x02);
    const auto o = udp_exchange(snmp, req);
    ASSERT_TRUE(o && o->size() > 41u && o->size() <= 64u);  // the probe reads 64 bytes at most
    SCOPED_TRACE(hexdump(*o));
    auto at = [](const Bytes& b, int from, int to) {
        return Bytes(b.begin() + from, b.begin() + to);
    };
    EXPECT_EQ(at(*o, 0, 2), (Bytes{0x30, static_cast<std::uint8_t>(o->size() - 2)}));
    EXPECT_EQ(at(*o, 2, 13), at(req, 2, 13));  // version, community
    EXPECT_EQ((*o)[13], 0xA2);
    EXPECT_EQ(at(*o, 15, 24), at(req, 15, 24));  // request id, no error
    EXPECT_EQ(at(*o, 28, 38), at(req, 28, 38));  // the name asked for
    EXPECT_EQ(at(*o, 38, 41), (Bytes{0x06, static_cast<std::uint8_t>(o->size() - 40), 0x2B}));
    std::string oid = "1.3";  // then base-128 sub-identifiers from offset 41
    for (std::size_t i = 41, v = 0; i < o->size(); ++i) {
        v = v * 128 + ((*o)[i] & 0x7F);
        if (!((*o)[i] & 0x80)) oid += "." + std::to_string(v), v = 0;
    }
    EXPECT_EQ(oid, "1.3.6.1.4.1.64101.1.2");
    const auto d = udp_exchange(snmp, driver_request(0x01));
    ASSERT_TRUE(d && d->size() > 48u);
    EXPECT_EQ(at(*d, 38, 40), (Bytes{0x04, static_cast<std::uint8_t>(d->size() - 40)}));
    EXPECT_EQ(std::string(d->begin() + 40, d->end()).rfind("KVRS-M1A", 0), 0u) << hexdump(*d);
}

TEST(EmulatorUdpSnmp, SnmpgetReadsBothValues) {
    if (!fs::exists("/usr/bin/snmpget")) GTEST_SKIP() << "snmpget (package snmp) is missing";
    // A wildcard agent (what broadcasts need), reached on another loopback
    // address, with its own values.
    Emulator emu({"--snmp", "*:0", "--sysdescr", "KVRS-M2A Test Desk", "--sysobjectid",
                  "1.3.6.1.4.1.64101.7"});
    const std::string where = emu.endpoint("snmp");
    ASSERT_FALSE(where.empty());
    const std::string get =
        "snmpget -v1 -c public -On -t 2 -r 1 127.0.0.3:" + where.substr(where.rfind(':') + 1);
    auto [status, out] = run_shell(get + " 1.3.6.1.2.1.1.1.0 1.3.6.1.2.1.1.2.0 2>&1");
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find(".1.3.6.1.2.1.1.1.0 = STRING: \"KVRS-M2A Test Desk\""), std::string::npos)
        << out;
    EXPECT_NE(out.find(".1.3.6.1.2.1.1.2.0 = OID: .1.3.6.1.4.1.64101.7"), std::string::npos) << out;
    // An object it does not have is reported by the client as such.
    std::tie(status, out) = run_shell(get + " 1.3.6.1.2.1.1.3.0 2>&1");
    EXPECT_NE(out.find("noSuchName"), std::string::npos) << out;
}

// -------------------------------------------------------------------- pty
// The line's path is printed and linked; a client opens, prints with a
// status request and closes, twice; 300 ms without data end the line's job;
// the link goes away with the emulator.
TEST(EmulatorPty, StatusAcrossOpensAndReceiptsAfterIdle) {
    char tmpl[] = "/tmp/kvrs-emu-link-XXXXXX";
    const fs::path d = ::mkdtemp(tmpl), link = d / "ttyKVRS";
    Emulator emu({"--pty", link.string(), "--idle-ms", "300"});
    const std::string pts = emu.endpoint("pty");
    ASSERT_EQ(pts.rfind("/dev/pts/", 0), 0u) << pts;
    EXPECT_NE(read_file(emu.dir / "stdout").find("pty: " + pts), std::string::npos);
    EXPECT_EQ(fs::read_symlink(link), pts);
    auto open_raw = [&] {
        UniqueFd fd(::open(link.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
        termios t{};
        ::tcgetattr(fd.get(), &t);
        ::cfmakeraw(&t);
        ::tcsetattr(fd.get(), TCSANOW, &t);
        return fd;
    };
    for (int round = 0; round < 2; ++round) {
        UniqueFd t = open_raw();
        // Feeds whose counts a cooked line would mangle: CR, ^C, ^D, XOFF.
        ASSERT_TRUE(write_all(
            t.get(), cat({kInit,
                          kBand,
                          {0x1B, 0x4A, 0x0D, 0x1B, 0x4A, 0x03, 0x1B, 0x4A, 0x04, 0x1B, 0x4A, 0x13},
                          kStatusRequest})));
        EXPECT_EQ(read_exact(t.get(), 6), reply()) << "round " << round;
        EXPECT_TRUE(silent_for(t.get(), 100));  // nothing but the reply
    }
    ASSERT_TRUE(wait_for([&] { return fs::exists(emu.out() / "job-0001.events.jsonl"); }));
    EXPECT_TRUE(complete(emu.out() / "job-0001-r01.png"));
    UniqueFd t = open_raw();
    ASSERT_TRUE(write_all(t.get(), cat({kInit, text("again\n")})));
    ASSERT_TRUE(wait_for([&] { return fs::exists(emu.out() / "job-0002.events.jsonl"); }));
    EXPECT_EQ(emu.stop(), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
    fs::remove_all(d);
}

// ----------------------------------------------------- conditions at work
// A condition set through the control socket changes the next reply of a
// running job; SIGTERM then finishes that job and removes the socket.
TEST(EmulatorConditions, CtlChangesTheReplyWhileAJobRuns) {
    Emulator emu({"--tcp", "127.0.0.1:0"});
    UniqueFd c = connect_to(emu.endpoint("tcp"));
    ASSERT_TRUE(write_all(c.get(), cat({kInit, kBand, kStatusRequest})));
    EXPECT_EQ(read_exact(c.get(), 6), reply());
    EXPECT_EQ(emu.ctl_request("set cover-open"), std::pair(0, std::string("ok: cover-open\n")));
    ASSERT_TRUE(write_all(c.get(), cat({kBand, kStatusRequest})));
    EXPECT_EQ(read_exact(c.get(), 6), reply({.cover_open = true}));

    EXPECT_EQ(emu.ctl_request("set lid-open").first, 1);
    EXPECT_EQ(emu.ctl_request("clear cover-open").second, "ok: ready\n");

    EXPECT_EQ(emu.stop(), 0);
    EXPECT_TRUE(complete(emu.out() / "job-0001.events.jsonl"));
    EXPECT_TRUE(complete(emu.out() / "job-0001-r01.png"));
    EXPECT_FALSE(fs::exists(emu.ctl()));
}

TEST(EmulatorConditions, ScriptAppliesExactlyAtTheByteCount) {
    // Bytes 1-2 ESC @, 3-5 the first request: the condition is set after
    // byte 5, so the first reply is clear and the second, in the same write,
    // reports paper end.  300 ms later it clears again.
    Emulator emu({"--tcp", "127.0.0.1:0", "--script",
                  "after-bytes 5 set paper-end; after-ms 300 clear paper-end"});
    UniqueFd c = connect_to(emu.endpoint("tcp"));
    ASSERT_TRUE(
        write_all(c.get(), cat({kInit, kStatusRequest, {0x1B, 0x4A, 0x00}, kStatusRequest})));
    EXPECT_EQ(read_exact(c.get(), 12), cat({reply(), reply({.paper_end = true})}));
    ASSERT_TRUE(wait_for([&] {
        return emu.ctl_request("status").second.find("conditions: ready") != std::string::npos;
    }));
    ASSERT_TRUE(write_all(c.get(), kStatusRequest));
    EXPECT_EQ(read_exact(c.get(), 6), reply());
}

}  // namespace
}  // namespace kvrs::emu::test
