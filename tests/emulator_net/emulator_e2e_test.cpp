// The kvrs-emulator program end to end: the real binary on loopback, talked
// to the way the drivers, CUPS and a terminal program talk to a printer.
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
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

#include "io.h"
#include "net_helpers.h"

extern char** environ;

namespace kvrs::emu::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const Bytes kInit = {0x1B, 0x40};
const Bytes kCut = {0x1B, 0x69};
const std::string kBin = KVRS_EMULATOR_BIN;

// One band of 16 x 8 dots (a checkerboard), stored and printed.
Bytes graphics_band() {
    Bytes data;
    for (int row = 0; row < 8; ++row) data.insert(data.end(), 2, row % 2 ? 0x55 : 0xAA);
    return cat({store(0x30, 0x31, 16, 8, data), kPrint});
}

Bytes reply(void (*change)(Conditions&) = [](Conditions&) {}) {
    Conditions c;
    change(c);
    const auto r = status_reply(c);
    return Bytes(r.begin(), r.end());
}

bool wait_for(const std::function<bool()>& pred) {
    for (auto end = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(20ms))
        if (pred()) return true;
    return pred();
}

// Exactly n bytes, or nothing if they do not come within `ms`.
std::optional<Bytes> read_exact(int fd, std::size_t n, int ms = 5000) {
    Bytes out;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (out.size() < n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0) return std::nullopt;
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        std::uint8_t buf[256];
        const ssize_t r = ::read(fd, buf, std::min(sizeof buf, n - out.size()));
        if (r <= 0) return std::nullopt;
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
    std::uint8_t b;
    return ::poll(&p, 1, ms) > 0 && ::read(fd, &b, 1) == 0;
}

UniqueFd tcp_connect(const std::string& endpoint) {
    const auto sa = parse_endpoint(endpoint);
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!sa || !fd || ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&*sa), sizeof *sa))
        return {};
    return fd;
}

// One datagram to `endpoint`, the answer if one comes within `ms`.
std::optional<Bytes> udp_exchange(const std::string& endpoint, const Bytes& request,
                                  int ms = 3000) {
    const auto sa = parse_endpoint(endpoint);
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sa || !fd ||
        ::sendto(fd.get(), request.data(), request.size(), 0,
                 reinterpret_cast<const sockaddr*>(&*sa), sizeof *sa) < 0)
        return std::nullopt;
    std::uint8_t buf[512];
    pollfd p{fd.get(), POLLIN, 0};
    const ssize_t n = ::poll(&p, 1, ms) > 0 ? ::recv(fd.get(), buf, sizeof buf, 0) : -1;
    return n < 0 ? std::nullopt : std::optional<Bytes>(Bytes(buf, buf + n));
}

std::string read_file(const fs::path& p) {
    std::ostringstream s;
    s << std::ifstream(p, std::ios::binary).rdbuf();
    return s.str();
}

// A PNG is complete when it begins with the signature and ends with IEND.
bool complete_png(const fs::path& p) {
    const std::string s = read_file(p);
    return s.size() > 16 && s.starts_with("\x89PNG\r\n\x1a\n") &&
           s.ends_with(std::string("IEND\xAE\x42\x60\x82", 8));
}

// Every line one JSON object, the file ending with a newline.
bool complete_events(const fs::path& p, std::string* contents = nullptr) {
    const std::string s = read_file(p);
    if (contents) *contents = s;
    std::istringstream in(s);
    for (std::string line; std::getline(in, line);)
        if (line.empty() || line.front() != '{' || line.back() != '}') return false;
    return !s.empty() && s.back() == '\n';
}

// Runs a command through the shell; its exit status and stdout.
std::pair<int, std::string> run_shell(const std::string& cmd) {
    std::string out;
    FILE* f = ::popen(cmd.c_str(), "r");
    if (!f) return {-1, out};
    char buf[512];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, n);
    const int st = ::pclose(f);
    return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, out};
}

// One kvrs-emulator process with its own output directory, ready file and
// control socket in a private temporary directory.  Stopped by PID.
class Emulator {
  public:
    explicit Emulator(std::vector<std::string> args) {
        char tmpl[] = "/tmp/kvrs-emu-test-XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        args.insert(args.begin(), {kBin, "--out", out().string(), "--ready-file",
                                   (dir_ / "ready").string(), "--ctl", ctl().string()});
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, (dir_ / "stdout").c_str(),
                                         O_WRONLY | O_CREAT, 0644);
        if (::posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        wait_for([this] { return fs::exists(dir_ / "ready") || !running(); });
        std::istringstream in(read_file(dir_ / "ready"));
        for (std::string kind, where; in >> kind >> where;) ready_[kind].push_back(where);
    }
    ~Emulator() {
        if (pid_ > 0) ::kill(pid_, SIGKILL), ::waitpid(pid_, nullptr, 0);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    Emulator(const Emulator&) = delete;
    Emulator& operator=(const Emulator&) = delete;

    bool running() { return pid_ > 0 && !reap(WNOHANG); }
    // SIGTERM and the exit status.
    int stop() {
        if (pid_ > 0) ::kill(pid_, SIGTERM), reap(0);
        return exit_;
    }
    std::string endpoint(const std::string& kind, std::size_t i = 0) {
        const auto it = ready_.find(kind);
        return it != ready_.end() && i < it->second.size() ? it->second[i] : std::string();
    }
    fs::path out() const { return dir_ / "out"; }
    fs::path dir() const { return dir_; }
    fs::path ctl() const { return dir_ / "ctl"; }
    std::pair<int, std::string> ctl_request(const std::string& request) {
        return run_shell(kBin + " ctl " + ctl().string() + " " + request);
    }
    bool job_open(const std::string& job) {
        return ctl_request("jobs").second.find(job + " open") != std::string::npos;
    }

  private:
    bool reap(int flags) {
        int st;
        if (::waitpid(pid_, &st, flags) != pid_) return false;
        pid_ = -1;
        exit_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return true;
    }
    fs::path dir_;
    pid_t pid_ = -1;
    int exit_ = -1;
    std::map<std::string, std::vector<std::string>> ready_;
};

// --------------------------------------------------------------------- TCP
// A job with a status request in the middle; CUPS's socket backend
// half-closes and waits for the printer to close: by then the files must be
// complete.  Jobs on two addresses at once and one after another; a probe
// that sends nothing leaves no job; a plain close ends a job too.
TEST(EmulatorTcp, JobsAreWrittenBeforeWeClose) {
    Emulator emu({"--tcp", "127.0.0.1:0", "--tcp", "127.0.0.2:0"});
    ASSERT_FALSE(emu.endpoint("tcp", 1).empty());
    ASSERT_TRUE(tcp_connect(emu.endpoint("tcp")));  // the probe
    UniqueFd a = tcp_connect(emu.endpoint("tcp", 0));
    ASSERT_TRUE(write_all(a.get(), cat({kInit, text("first\n")})));
    ASSERT_TRUE(wait_for([&] { return emu.job_open("job-0001"); }));

    UniqueFd b = tcp_connect(emu.endpoint("tcp", 1));
    ASSERT_TRUE(write_all(b.get(), cat({kInit, text("Hello\n"), kStatusRequest})));
    const auto r = read_exact(b.get(), 6);
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, reply()) << hexdump(*r);
    ASSERT_TRUE(write_all(b.get(), cat({graphics_band(), {0x1B, 0x4A, 0x20}, kCut})));
    ::shutdown(b.get(), SHUT_WR);
    ASSERT_TRUE(wait_closed(b.get()));
    std::string events;
    EXPECT_TRUE(complete_events(emu.out() / "job-0002.events.jsonl", &events)) << events;
    EXPECT_TRUE(complete_png(emu.out() / "job-0002-r01.png"));
    EXPECT_NE(events.find("status-request"), std::string::npos) << events;

    ASSERT_TRUE(write_all(a.get(), kStatusRequest));
    ASSERT_TRUE(read_exact(a.get(), 6));
    EXPECT_FALSE(fs::exists(emu.out() / "job-0001.events.jsonl"));  // still open
    a.reset();
    ASSERT_TRUE(wait_for([&] { return fs::exists(emu.out() / "job-0001.events.jsonl"); }));
    auto jobs = emu.ctl_request("jobs");
    EXPECT_NE(jobs.second.find("job-0002 done"), std::string::npos) << jobs.second;
    EXPECT_EQ(jobs.second.find("job-0003"), std::string::npos) << jobs.second;
    EXPECT_EQ(emu.stop(), 0);
}

// While one job streams megabytes, another connection's status request is
// answered, and so is the streaming job's own after its data.
TEST(EmulatorTcp, StatusIsAnsweredWhileAnotherJobStreams) {
    Emulator emu({"--tcp", "127.0.0.1:0"});
    UniqueFd a = tcp_connect(emu.endpoint("tcp"));
    ASSERT_TRUE(a);
    Bytes stripes(72 * 1000);
    for (std::size_t i = 0; i < stripes.size(); ++i) stripes[i] = (i / 72) % 16 < 8 ? 0xF0 : 0;
    const Bytes band = mono_page(576, stripes, 1000);
    ASSERT_TRUE(write_all(a.get(), cat({kInit, band})));
    std::thread streamer([&] {
        for (int i = 0; i < 30 && write_all(a.get(), band); ++i) {
        }
        write_all(a.get(), kStatusRequest);
    });
    ASSERT_TRUE(wait_for([&] { return emu.job_open("job-0001"); }));
    UniqueFd b = tcp_connect(emu.endpoint("tcp"));
    ASSERT_TRUE(write_all(b.get(), kStatusRequest));
    const auto r = read_exact(b.get(), 6);
    streamer.join();
    EXPECT_EQ(r, reply());
    EXPECT_EQ(read_exact(a.get(), 6), reply());
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
    const std::string udp = emu.endpoint("udp");
    ASSERT_FALSE(udp.empty());
    const Bytes seq{0x78, 0x56, 0x34, 0x12};
    EXPECT_EQ(udp_exchange(udp, cat({seq, kStatusRequest})), cat({seq, reply()}));
    ASSERT_EQ(emu.ctl_request("set paper-end").first, 0);
    EXPECT_EQ(udp_exchange(udp, cat({seq, kStatusRequest})),
              cat({seq, reply([](Conditions& c) { c.paper_end = true; })}));
    // Datagrams without a sequence number or without a request: no answer.
    EXPECT_FALSE(udp_exchange(udp, {0x10, 0x04}, 300));
    EXPECT_FALSE(udp_exchange(udp, {1, 2, 3, 4, 0x1B, 0x40}, 300));
}

// The drivers' requests over the wire: value tag at 38, contents at 40, the
// model within the 40 characters they keep.
TEST(EmulatorSnmp, DriverRequestsGetTheFixedLayout) {
    Emulator emu({"--snmp", "127.0.0.1:0", "--model", "M1A"});
    ASSERT_FALSE(emu.endpoint("snmp").empty());
    const auto o = udp_exchange(emu.endpoint("snmp"), driver_request(0x02));
    ASSERT_TRUE(o);
    ASSERT_GT(o->size(), 41u) << hexdump(*o);
    EXPECT_EQ((*o)[38], 0x06) << hexdump(*o);
    EXPECT_EQ((*o)[40], 0x2B) << hexdump(*o);
    const auto d = udp_exchange(emu.endpoint("snmp"), driver_request(0x01));
    ASSERT_TRUE(d);
    ASSERT_GT(d->size(), 48u);
    EXPECT_EQ((*d)[38], 0x04) << hexdump(*d);
    EXPECT_EQ(std::string(d->begin() + 40, d->end()).rfind("KVRS-M1A", 0), 0u) << hexdump(*d);
}

TEST(EmulatorSnmp, SnmpgetReadsBothValues) {
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
    EXPECT_NE(status, 0);
    EXPECT_NE(out.find("noSuchName"), std::string::npos) << out;
}

// -------------------------------------------------------------------- pty
// The line's path is printed and linked; a client opens, prints with a
// status request and closes, twice; 300 ms without data end the line's job;
// the link goes away with the emulator.
TEST(EmulatorPty, StatusAcrossOpensAndReceiptsAfterIdle) {
    char tmpl[] = "/tmp/kvrs-emu-link-XXXXXX";
    const fs::path d = ::mkdtemp(tmpl), link = d / "ttyKVRS";
    Emulator linked({"--pty", link.string(), "--idle-ms", "300"});
    const std::string pts = linked.endpoint("pty");
    ASSERT_EQ(pts.rfind("/dev/pts/", 0), 0u) << pts;
    EXPECT_NE(read_file(linked.dir() / "stdout").find("pty: " + pts), std::string::npos);
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
        ASSERT_TRUE(t);
        // Feeds whose counts a cooked line would mangle: CR, ^C, ^D, XOFF.
        ASSERT_TRUE(write_all(
            t.get(), cat({kInit,
                          graphics_band(),
                          {0x1B, 0x4A, 0x0D, 0x1B, 0x4A, 0x03, 0x1B, 0x4A, 0x04, 0x1B, 0x4A, 0x13},
                          kStatusRequest})));
        EXPECT_EQ(read_exact(t.get(), 6), reply()) << "round " << round;
        EXPECT_TRUE(silent_for(t.get(), 100));  // nothing but the reply
    }
    ASSERT_TRUE(wait_for([&] { return fs::exists(linked.out() / "job-0001.events.jsonl"); }));
    EXPECT_TRUE(complete_png(linked.out() / "job-0001-r01.png"));
    UniqueFd t = open_raw();
    ASSERT_TRUE(write_all(t.get(), cat({kInit, text("again\n")})));
    ASSERT_TRUE(wait_for([&] { return fs::exists(linked.out() / "job-0002.events.jsonl"); }));
    EXPECT_EQ(linked.stop(), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
    fs::remove_all(d);
}

// ----------------------------------------------------- conditions at work

TEST(EmulatorConditions, CtlChangesTheReplyWhileAJobRuns) {
    Emulator emu({"--tcp", "127.0.0.1:0"});
    UniqueFd c = tcp_connect(emu.endpoint("tcp"));
    ASSERT_TRUE(write_all(c.get(), cat({kInit, graphics_band(), kStatusRequest})));
    EXPECT_EQ(read_exact(c.get(), 6), reply());
    EXPECT_EQ(emu.ctl_request("set cover-open"), std::pair(0, std::string("ok: cover-open\n")));
    ASSERT_TRUE(write_all(c.get(), cat({graphics_band(), kStatusRequest})));
    EXPECT_EQ(read_exact(c.get(), 6), reply([](Conditions& k) { k.cover_open = true; }));

    const auto status = emu.ctl_request("status");
    EXPECT_NE(status.second.find("conditions: cover-open"), std::string::npos) << status.second;
    const auto bad = emu.ctl_request("set lid-open");
    EXPECT_EQ(bad.first, 1);
    EXPECT_EQ(bad.second.rfind("error:", 0), 0u) << bad.second;
    EXPECT_EQ(emu.ctl_request("dance").first, 1);
    EXPECT_EQ(emu.ctl_request("clear cover-open").second, "ok: ready\n");
    EXPECT_EQ(
        run_shell(kBin + " ctl " + (emu.dir() / "nothing").string() + " status 2>/dev/null").first,
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
    EXPECT_EQ(read_exact(c.get(), 12),
              cat({reply(), reply([](Conditions& k) { k.paper_end = true; })}));
    ASSERT_TRUE(wait_for([&] {
        return emu.ctl_request("status").second.find("conditions: ready") != std::string::npos;
    }));
    ASSERT_TRUE(write_all(c.get(), kStatusRequest));
    EXPECT_EQ(read_exact(c.get(), 6), reply());
}

// Offline: TCP, UDP and SNMP all silent; back online a new request is
// answered, the old one never; data taken while offline is still printed.
TEST(EmulatorConditions, OfflineAnswersNothingAnywhere) {
    Emulator emu({"--tcp", "127.0.0.1:0", "--udp", "127.0.0.1:0", "--snmp", "127.0.0.1:0", "--set",
                  "offline"});
    UniqueFd c = tcp_connect(emu.endpoint("tcp"));
    ASSERT_TRUE(write_all(c.get(), cat({kInit, kStatusRequest, graphics_band()})));
    EXPECT_TRUE(silent_for(c.get(), 300));
    EXPECT_FALSE(udp_exchange(emu.endpoint("udp"), cat({{1, 0, 0, 0}, kStatusRequest}), 300));
    EXPECT_FALSE(udp_exchange(emu.endpoint("snmp"), driver_request(0x02), 300));
    ASSERT_EQ(emu.ctl_request("clear offline").first, 0);
    ASSERT_TRUE(write_all(c.get(), kStatusRequest));
    ASSERT_TRUE(read_exact(c.get(), 6));
    EXPECT_TRUE(silent_for(c.get(), 100));
    EXPECT_TRUE(udp_exchange(emu.endpoint("snmp"), driver_request(0x02)));
    ::shutdown(c.get(), SHUT_WR);
    ASSERT_TRUE(wait_closed(c.get()));
    EXPECT_TRUE(complete_png(emu.out() / "job-0001-r01.png"));
}

// ----------------------------------------------------- render and --help

TEST(EmulatorRender, CapturedStreamFromFileAndStdin) {
    char tmpl[] = "/tmp/kvrs-emu-render-XXXXXX";
    const fs::path d = ::mkdtemp(tmpl);
    const Bytes stream =
        cat({kInit, text("Receipt\n"), graphics_band(), kStatusRequest, kCut, graphics_band()});
    std::ofstream(d / "capture.bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(stream.data()),
               static_cast<std::streamsize>(stream.size()));
    const std::string render = kBin + " render --quiet --out ";
    auto [st, out] =
        run_shell(render + (d / "o").string() + " --name cap " + (d / "capture.bin").string());
    EXPECT_EQ(st, 0);
    EXPECT_TRUE(complete_events(d / "o" / "cap.events.jsonl"));
    EXPECT_TRUE(complete_png(d / "o" / "cap-r01.png"));  // up to the cut
    EXPECT_TRUE(complete_png(d / "o" / "cap-r02.png"));  // what followed it
    EXPECT_NE(out.find("cap-r02.png"), std::string::npos) << out;

    EXPECT_EQ(run_shell(render + (d / "p").string() + " - < " + (d / "capture.bin").string()).first,
              0);
    EXPECT_EQ(read_file(d / "p" / "job-0001.events.jsonl"),
              read_file(d / "o" / "cap.events.jsonl"));
    EXPECT_EQ(run_shell(kBin + " render " + (d / "missing").string() + " 2>/dev/null").first, 1);
    fs::remove_all(d);
}

TEST(EmulatorCli, HelpAndUsageErrors) {
    const auto [st, out] = run_shell(kBin + " --help");
    EXPECT_EQ(st, 0);
    for (const char* word :
         {"--tcp", "--udp", "--snmp", "--pty", "--ctl", "--script", "render", "--ready-file"})
        EXPECT_NE(out.find(word), std::string::npos) << word;
    for (const char* bad : {"--bogus", "--set lid-open", "--tcp 127.0.0.1:notaport"})
        EXPECT_EQ(run_shell(kBin + " " + bad + " 2>/dev/null").first, 2) << bad;
}

}  // namespace
}  // namespace kvrs::emu::test
