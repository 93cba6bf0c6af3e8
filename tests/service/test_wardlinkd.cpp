// wardlinkd as clients meet it: the real binary in a world of the test's
// own, spoken to through its FIFOs with records written byte for byte.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <sstream>

#include "daemon_harness.h"

using namespace harness;

namespace {

class Wardlinkd : public ::testing::Test {
  protected:
    void SetUp() override {
        ::signal(SIGPIPE, SIG_IGN);
        log_.fd = isolate();
        ASSERT_GE(log_.fd, 0);
    }
    void boot() {
        ASSERT_TRUE(daemon_.start());
        ASSERT_TRUE(log_.wait_for("wardlinkd[" + std::to_string(daemon_.pid) +
                                  "]: Common Interface Service start"));
        ASSERT_TRUE(main_.open(""));
    }
    int open_port(const std::string& file) { return main_.ask(open_file(file)).result; }
    static std::string slurp(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    // CPU time the daemon used so far, in clock ticks.
    long cpu_ticks() const {
        std::ifstream stat("/proc/" + std::to_string(daemon_.pid) + "/stat");
        std::string s, field;
        std::getline(stat, s);
        std::istringstream rest(s.substr(s.rfind(')') + 2));
        long utime = 0, stime = 0;
        for (int i = 3; i < 14; ++i) rest >> field;
        rest >> utime >> stime;
        return utime + stime;
    }

    SysLog log_;
    Daemon daemon_;
    Client main_;
};

}  // namespace

// The main pipe: log settings answered and noticed on the system log, codes
// it does not serve, closes of slots not in use, names bounded by the bytes
// that arrived, a short request (no reply), no busy loop once no client is
// left;
// then SIGTERM: exit 0, FIFOs gone, the stop noticed.
TEST_F(Wardlinkd, ControlRequestsAndOrderlyStop) {
    boot();
    const struct {
        Bytes req;
        std::int32_t result;
        const char* notice;
    } rows[] = {
        {request(7, 31), 1, "Common Interface Service log level=31"},
        {request(13, ~0ULL), 1, "Common Interface Service log count=-1"},
        {log_file("/tmp/wd.log"), 1, "Common Interface Service log filename=/tmp/wd.log"},
        {log_file("/nonexistent/wd.log"), 0, nullptr},
        {request(8, 0, 0, 0, 0, {0}), 1, "Common Interface Service cancel log file"},
        {request(8), 1, nullptr},  // no name at all: cancel too
        {request(8, 0, 0, 0, 0, text("/tmp/unterminated")), 0, nullptr},
        {request(9, 0, 1, 0, 0, {1}), -8, nullptr},
        {request(5), -8, nullptr},
        {request(1000), -8, nullptr},
        {request(12, 3), -3, nullptr},
        {request(12, 50), -3, nullptr},
        {request(12, 1ULL << 40), -3, nullptr},
        {request(14, 99), 1, nullptr},
    };
    for (const auto& r : rows) {
        const Reply rep = main_.ask(r.req);
        const std::uint64_t code = le_at(r.req, 0);
        EXPECT_EQ(rep.length, 32) << "code " << code;
        EXPECT_EQ(rep.code, code);
        EXPECT_EQ(rep.result, r.result) << "code " << code;
        if (r.notice != nullptr) {
            EXPECT_TRUE(log_.wait_for(r.notice)) << r.notice;
        }
    }
    EXPECT_TRUE(fs::exists("/tmp/wd.log"));

    // Pipes keep no message boundaries: a client sends its next request
    // only after the last reply, or after giving up on it.
    ASSERT_TRUE(main_.put(Bytes(20, 7)));
    EXPECT_FALSE(main_.get(300).has_value()) << "a short request was answered";
    EXPECT_EQ(main_.ask(request(13, 2)).code, 13U);

    main_.close();
    const long before = cpu_ticks();
    std::this_thread::sleep_for(500ms);
    EXPECT_LE(cpu_ticks() - before, 5) << "the daemon spins without a client";

    EXPECT_EQ(daemon_.stop(3000), 0);
    EXPECT_TRUE(log_.wait_for("Common Interface Service stop"));
    EXPECT_EQ(service_fifos(), 0U);
}

// Data requests on a file port: they need the port lock, respect the
// 1024-byte limit, and a request carrying fewer bytes than it promises is
// refused without a byte reaching the port.  Every request gets exactly one
// reply echoing its code; codes a worker does not serve answer -8.
TEST_F(Wardlinkd, FilePortDataRequests) {
    boot();
    const std::string file = "/tmp/port.bin";
    ASSERT_EQ(open_port(file), 0);
    Client port(pipe_suffix(file));
    EXPECT_EQ(port.ask(send_request({1, 2, 3})).result, -6);  // nobody holds the lock

    Bytes expected;
    {
        PortLock lock(file_sem(file));
        const Bytes full(1024, 'F');
        const struct {
            Bytes req;
            std::int32_t result;
            std::uint64_t code, size;
            long length;
            Bytes reaches;  // what the port receives
        } rows[] = {
            {send_request(full), 0, 9, 1024, 32, full},
            {request(9, 0, 1025, 0, 0, Bytes(1025, 'X')), -8, 9, 0, 32, {}},
            {request(9, 0, 100, 0, 0, Bytes(10, 'S')), -8, 9, 0, 32, {}},  // short
            {request(10, 0, 0, 3), 0, 10, 3, 35, {}},
            {request(10, 0, 0, 1025), -8, 10, 0, 32, {}},
            {request(11, 0, 3, 0, 0, text("abc")), 0, 11, 0, 32, text("abc")},
            {request(11, 0, 0, 4), 0, 11, 4, 36, {}},
            {request(11, 0, 2, 1, 0, text("z")), -8, 11, 0, 32, {}},  // short
            {request(7, 1), -8, 7, 0, 32, {}},
            {Bytes(10, 0x0B), -8, 0x0B0B0B0B0B0B0B0BULL, 0, 32, {}},
            {Bytes{5}, -8, 5, 0, 32, {}},
        };
        for (const auto& r : rows) {
            const Reply rep = port.ask(r.req);
            EXPECT_EQ(rep.length, r.length) << "request of " << r.req.size();
            EXPECT_EQ(rep.code, r.code);
            EXPECT_EQ(rep.result, r.result) << "request of " << r.req.size();
            EXPECT_EQ(rep.size, r.size);
            expected = expected + r.reaches;
        }
        // A client's stray exit byte is no exit: the worker goes on.
        ASSERT_TRUE(port.put({0}));
        EXPECT_FALSE(port.get(100).has_value());
        EXPECT_EQ(port.ask(send_request(text("after"))).result, 0);
    }
    // The lock taken and released through the pipe, on the client's behalf.
    EXPECT_EQ(port.ask(request(5, 0, 0, 0, 0)).result, 0);
    EXPECT_EQ(port.ask(send_request(text("L"))).result, 0);
    EXPECT_EQ(port.ask(request(6)).result, 0);
    EXPECT_EQ(port.ask(send_request(text("no"))).result, -6);

    EXPECT_EQ(main_.ask(request(12, 0)).result, 0);
    EXPECT_EQ(service_fifos(), 2U);  // only the main pair
    EXPECT_EQ(slurp(file), std::string(expected.begin(), expected.end()) + "afterL");
}

// Opens that cannot be served are answered cleanly and leave no FIFO files;
// the 51st distinct port is refused after "Interface buffer full", while a
// port already open is still shared.
TEST_F(Wardlinkd, OpenRefusalsAndFullTable) {
    boot();
    for (const Bytes& req : {log_file("/tmp/wd.log"), request(13, 2), request(7, 1)}) {
        ASSERT_EQ(main_.ask(req).result, 1);
    }
    const struct {
        Bytes req;
        std::int32_t result;  // 1: any negative code
    } rows[] = {
        {open_file(""), -8},
        {request(4, 0, 0, 0, 0, {1, 0, 0, 0, 'a', 'b'}), -8},  // the name never ends
        {request(4, 0, 0, 0, 0, {1, 0, 0, 0}), -8},            // no name at all
        {open_file(std::string(300, 'n')), -8},
        {open_file("/nonexistent/dir/x"), -2},
        {open_request(3, {9100, 161}, ""), -8},
        {open_request(0, {0x1234, 0x5678}, "SN" + std::string(280, '0')), -8},
        {open_request(0, {0x1234, 0x5678}, ""), 1},
        {open_serial("/dev/nonexistent-tty"), 1},
        {open_request(2, {}, "/dev/nonexistent-lp"), 1},
    };
    for (const auto& r : rows) {
        const Reply rep = main_.ask(r.req);
        EXPECT_EQ(rep.code, le_at(r.req, 0));
        if (r.result == 1) {
            EXPECT_LT(rep.result, 0) << "request of " << r.req.size();
        } else {
            EXPECT_EQ(rep.result, r.result) << "request of " << r.req.size();
        }
        EXPECT_EQ(service_fifos(), 2U) << "request of " << r.req.size();
    }
    for (int i = 0; i < 50; ++i) ASSERT_EQ(open_port("/tmp/f" + std::to_string(i)), i);
    EXPECT_EQ(open_port("/tmp/f50"), -8);
    EXPECT_EQ(open_port("/tmp/f7"), 7);
    EXPECT_NE(slurp("/tmp/wd.log").find("Interface buffer full"), std::string::npos);
    EXPECT_EQ(daemon_.stop(), 0);
    EXPECT_EQ(service_fifos(), 0U);
}

// Links and files planted under the FIFO names before the daemon starts:
// nothing they point at changes; the daemon's FIFOs replace them, root's,
// with their mode on the FIFO itself; a planted directory fails that open
// and is left alone, and names that are no pair of ours are not touched.
TEST_F(Wardlinkd, PlantedLinksChangeNothing) {
    fs::create_directory("/tmp/victim");
    std::ofstream("/tmp/victim/secret") << "secret";
    const auto rw = fs::perms::owner_read | fs::perms::owner_write;
    fs::permissions("/tmp/victim", fs::perms::owner_all);
    fs::permissions("/tmp/victim/secret", rw);
    fs::create_directory_symlink("/tmp/victim", "/tmp/cmn_intf_to_svr");
    fs::create_symlink("/tmp/victim/secret", "/tmp/cmn_svr_to_intf");
    fs::create_directory_symlink("/tmp/victim", "/tmp/cmn_intf_to_svr_x");
    std::ofstream("/tmp/cmn_svr_to_intf_tmp_p.bin") << "plain";
    fs::create_directory("/tmp/cmn_intf_to_svr_tmp_d.bin");
    boot();

    EXPECT_EQ(open_port("/tmp/p.bin"), 0);
    EXPECT_EQ(open_port("/tmp/d.bin"), -8);
    for (const char* n : {"/tmp/cmn_intf_to_svr", "/tmp/cmn_svr_to_intf",
                          "/tmp/cmn_intf_to_svr_tmp_p.bin", "/tmp/cmn_svr_to_intf_tmp_p.bin"}) {
        struct stat st {};
        ASSERT_EQ(::lstat(n, &st), 0) << n;
        EXPECT_TRUE(S_ISFIFO(st.st_mode)) << n;
        EXPECT_EQ(st.st_mode & 07777, 0777U) << n;
        EXPECT_EQ(st.st_uid, 0U) << n;
    }
    EXPECT_EQ(daemon_.stop(), 0);
    EXPECT_EQ(fs::status("/tmp/victim").permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::status("/tmp/victim/secret").permissions(), rw);
    EXPECT_EQ(slurp("/tmp/victim/secret"), "secret");
    EXPECT_TRUE(fs::is_symlink("/tmp/cmn_intf_to_svr_x"));
    EXPECT_TRUE(fs::is_directory(fs::symlink_status("/tmp/cmn_intf_to_svr_tmp_d.bin")));
}

// Started by process 1 (systemd, a container) the daemon does not fork, yet
// SIGTERM still brings the orderly stop and its system-log notices.
TEST_F(Wardlinkd, ParentIsProcessOne) {
    int ctl[2];
    ASSERT_EQ(::pipe(ctl), 0);
    const pid_t helper = ::fork();
    ASSERT_GE(helper, 0);
    if (helper == 0) {  // a container: PID namespace, and a /proc showing it
        ::close(ctl[1]);
        if (::unshare(CLONE_NEWPID | CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            _exit(90);
        }
        const pid_t init = ::fork();
        if (init == 0) {
            if (::mount("proc", "/proc", "proc", 0, nullptr) != 0) _exit(91);
            const pid_t d = ::fork();
            if (d == 0) {
                ::execl(WARDLINKD_PATH, "wardlinkd", static_cast<char*>(nullptr));
                _exit(127);
            }
            for (char c; ::read(ctl[0], &c, 1) > 0;) {
            }
            ::kill(d, SIGTERM);
            int st = 0;
            ::waitpid(d, &st, 0);
            _exit(WIFEXITED(st) ? WEXITSTATUS(st) : 99);
        }
        int st = 0;
        ::waitpid(init, &st, 0);
        _exit(WIFEXITED(st) ? WEXITSTATUS(st) : 98);
    }
    ::close(ctl[0]);
    ASSERT_TRUE(log_.wait_for("Common Interface Service start"));
    ASSERT_TRUE(wait_until([] { return fs::exists("/tmp/cmn_intf_to_svr"); }));
    ASSERT_TRUE(main_.open(""));
    ASSERT_EQ(open_port("/tmp/p1.bin"), 0);
    main_.close();

    ::close(ctl[1]);  // the helper sends SIGTERM
    int st = 0;
    ASSERT_TRUE(wait_until([&] { return ::waitpid(helper, &st, WNOHANG) == helper; }, 8000));
    EXPECT_EQ(st, 0);
    EXPECT_TRUE(log_.wait_for("Common Interface Service stop"));
    EXPECT_EQ(service_fifos(), 0U);
}

// SIGTERM while a client keeps a port busy, with a port whose client never
// came and one whose worker waits without limit for a lock held elsewhere:
// the daemon still stops within seconds and removes every FIFO.
TEST_F(Wardlinkd, StopDuringTraffic) {
    boot();
    ASSERT_EQ(open_port("/tmp/idle.bin"), 0);
    ASSERT_EQ(open_port("/tmp/busy.bin"), 1);
    ASSERT_EQ(open_port("/tmp/stuck.bin"), 2);
    PortLock held(file_sem("/tmp/stuck.bin"));
    Client stuck(pipe_suffix("/tmp/stuck.bin"));
    ASSERT_TRUE(stuck.put(request(5, 0, 0, 0, 0xFFFFFFFF)));  // PROC_LOCK, no time limit
    std::atomic<int> served{0};
    std::thread traffic([&] {
        Client port(pipe_suffix("/tmp/busy.bin"));
        PortLock lock(file_sem("/tmp/busy.bin"));
        while (port.ask(send_request(Bytes(512, 'b')), 3000).result == 0) ++served;
    });
    ASSERT_TRUE(wait_until([&] { return served > 200; }));
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(daemon_.stop(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 6s);
    traffic.join();
    EXPECT_EQ(service_fifos(), 0U);
    EXPECT_EQ(fs::file_size("/tmp/busy.bin") % 512, 0U);
}

// A reconnect asked on the main pipe: the worker reopens the port at the
// top of its next pass (after the request that wakes it, if it was waiting
// in its read) and serves nothing until that works.
TEST_F(Wardlinkd, ReconnectWaitsForThePort) {
    boot();
    fs::create_directory("/tmp/rc");
    const std::string file = "/tmp/rc/out.bin";
    ASSERT_EQ(open_port(file), 0);
    Client port(pipe_suffix(file));
    PortLock lock(file_sem(file));
    fs::remove_all("/tmp/rc");
    EXPECT_EQ(main_.ask(request(14, 0)).result, 1);
    ASSERT_TRUE(port.put(send_request(text("B"))));
    std::string waiting = "B";
    if (const auto early = port.get(1500)) {  // it was in its read: B went to the old file
        EXPECT_EQ(early->result, 0);
        ASSERT_TRUE(port.put(send_request(text("C"))));
        EXPECT_FALSE(port.get(1500).has_value()) << "served while the port was away";
        waiting = "C";
    }
    fs::create_directory("/tmp/rc");
    EXPECT_EQ(port.get(5000).value_or(Reply{}).result, 0);
    EXPECT_EQ(main_.ask(request(12, 0)).result, 0);
    EXPECT_EQ(slurp(file), waiting);
}

// Two clients of one serial port (a pty; the test plays the printer) share
// one slot; an exchange sends, then reads the printer's answer, and either
// half may be empty.  The first close leaves the worker serving ("count=1"),
// the second removes the pair.
TEST_F(Wardlinkd, SerialPortSharedByTwoClients) {
    boot();
    Pty pty;
    ASSERT_FALSE(pty.slave.empty());
    for (const Bytes& req : {log_file("/tmp/wd.log"), request(13, 2), request(7, 4)}) {
        ASSERT_EQ(main_.ask(req).result, 1);
    }
    ASSERT_EQ(main_.ask(open_serial(pty.slave)).result, 0);
    ASSERT_EQ(main_.ask(open_serial(pty.slave)).result, 0);
    Client port(pipe_suffix(pty.slave));
    {
        PortLock lock(serial_sem(pty.slave));
        std::thread printer([&] {
            if (pty.take(3) == Bytes{0x10, 0x04, 0x01}) pty.give({0x16});
        });
        Reply r = port.ask(request(11, 0, 3, 1, 2000, {0x10, 0x04, 0x01}));
        printer.join();
        EXPECT_EQ(r.result, 0);
        EXPECT_EQ(r.data, Bytes{0x16});

        ASSERT_TRUE(pty.give(text("abcd")));
        r = port.ask(request(11, 0, 0, 4, 2000));
        EXPECT_EQ(r.length, 36);
        EXPECT_EQ(r.data, text("abcd"));

        r = port.ask(request(11, 0, 3, 0, 2000, text("xyz")));
        EXPECT_EQ(r.length, 32);
        EXPECT_EQ(r.result, 0);
        EXPECT_EQ(pty.take(3), text("xyz"));
    }
    EXPECT_EQ(main_.ask(request(12, 0)).result, 0);
    EXPECT_NE(slurp("/tmp/wd.log").find("] count=1"), std::string::npos);
    {
        PortLock lock(serial_sem(pty.slave));
        EXPECT_EQ(port.ask(send_request(text("still"), 2000)).result, 0);
        EXPECT_EQ(pty.take(5), text("still"));
    }
    EXPECT_EQ(main_.ask(request(12, 0)).result, 0);
    EXPECT_EQ(service_fifos(), 2U);
}

// A USB printer (the fake bus, preloaded into the daemon) unplugged in the
// middle of a job: the send that meets the gap answers VEM_NODEVICE, the
// next waits while the worker reconnects, and is served once it is back.
TEST_F(Wardlinkd, UsbPrinterUnpluggedMidJobAndBack) {
    fs::create_directories("/tmp/usb");
    const auto bus = [](int present) {
        std::ofstream("/tmp/usb/bus.new")
            << "output /tmp/usb\ndevice m2a vid=0xF1E0 pid=0x0002 serial=A1 present=" << present
            << "\n";
        fs::rename("/tmp/usb/bus.new", "/tmp/usb/bus.conf");
    };
    bus(1);
    ::setenv("LD_PRELOAD", FAKEUSB_PATH, 1);
    ::setenv("VEM_FAKEUSB_CONFIG", "/tmp/usb/bus.conf", 1);
    boot();
    ::unsetenv("LD_PRELOAD");
    ::unsetenv("VEM_FAKEUSB_CONFIG");

    ASSERT_EQ(main_.ask(open_request(0, {0xF1E0, 0x0002}, "A1")).result, 0);
    Client port("F1E00002A1");
    PortLock lock("/cmn_share_interface_usb_sem_f1e0_0002__");
    EXPECT_EQ(port.ask(send_request(text("\x1b@first\n"))).result, 0);
    const Reply status = port.ask(request(11, 0, 3, 1, 1000, {0x10, 0x04, 0x01}));
    EXPECT_EQ(status.result, 0);
    EXPECT_EQ(status.size, 1U);

    bus(0);
    EXPECT_EQ(port.ask(send_request(text("lost\n"))).result, -2);
    ASSERT_TRUE(port.put(send_request(text("second\n"))));
    EXPECT_FALSE(port.get(1500).has_value()) << "served while unplugged";
    bus(1);
    EXPECT_EQ(port.get(5000).value_or(Reply{}).result, 0);
    EXPECT_EQ(main_.ask(request(12, 0)).result, 0);
}

// A parallel printer (the fake ppdev port, preloaded into the daemon): data
// reaches the port byte by byte, and a status exchange sends, then reads
// the printer's answer.
TEST_F(Wardlinkd, ParallelPortThroughTheDaemon) {
    fs::create_directories("/tmp/par");
    ::setenv("LD_PRELOAD", FAKEPPDEV_PATH, 1);
    ::setenv("FAKEPPDEV_DEVICE", "/dev/parport0", 1);
    ::setenv("FAKEPPDEV_OUT", "/tmp/par", 1);
    ::setenv("FAKEPPDEV_TRACE", "/tmp/par/trace", 1);
    boot();
    ::unsetenv("LD_PRELOAD");

    ASSERT_EQ(main_.ask(open_request(2, {}, "/dev/parport0")).result, 0);
    Client port(pipe_suffix("/dev/parport0"));
    {
        PortLock lock("/cmn_share_interface_parallel_sem__dev_parport0__");
        EXPECT_EQ(port.ask(send_request(text("\x1b@hi\n"))).result, 0);
        const Reply status = port.ask(request(11, 0, 3, 1, 1000, {0x10, 0x04, 0x01}));
        EXPECT_EQ(status.result, 0);
        EXPECT_EQ(status.size, 1U);
    }
    EXPECT_EQ(main_.ask(request(12, 0)).result, 0);
    const std::string trace = slurp("/tmp/par/trace");
    EXPECT_NE(trace.find("PPWDATA 1B"), std::string::npos) << trace;
    EXPECT_NE(trace.find("PPWDATA 0A"), std::string::npos) << trace;
}
