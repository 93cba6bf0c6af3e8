// libwardlink in service mode through its exported interface, against a
// scripted partner on the real service pipes: how transfers are split into
// exchanges, what a short answer gives, the refusals that send nothing,
// and a daemon that is missing, gone or impersonated by a planted link.
#include <sys/stat.h>

#include <chrono>
#include <csignal>

#include "link_test.h"
#include "peer.h"

using namespace linktest;
using Clock = std::chrono::steady_clock;

namespace {

class Service : public FilePort {
  protected:
    void SetUp() override {
        // Fresh FIFO files: the partner must never share them with a daemon
        // that another test left stopping.
        ::unlink("/tmp/cmn_intf_to_svr"), ::unlink("/tmp/cmn_svr_to_intf");
        ASSERT_EQ(init_intf_type(SHARE_PORT_SVR), VEM_SUCCESS);
    }
    void TearDown() override {
        FilePort::TearDown();
        ::sem_unlink(INTF_MAIN_SEM_NAME);
    }
    // Opens the file port through `peer` and takes its lock.
    void open_and_lock(Peer& peer) {
        ASSERT_TRUE(peer.ok());
        ASSERT_EQ(init_file(path_.c_str(), 1), VEM_SUCCESS);
        ASSERT_EQ(intf_lock(1000), VEM_SUCCESS);
    }
};

std::vector<std::size_t> lengths(const std::vector<Request>& rs) {
    std::vector<std::size_t> out;
    for (const auto& r : rs) out.push_back(r.length);
    return out;
}

}  // namespace

// A send of 2500 bytes is three exchanges of 1024, 1024 and 452 bytes, in order;
// an open carries the file's parameters and the close its slot.
TEST_F(Service, SendIsSplitIntoExchanges) {
    Peer peer(usual);
    open_and_lock(peer);
    std::string data(2500, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
    unsigned long sent = 0;
    EXPECT_EQ(intf_send_data(reinterpret_cast<unsigned char*>(data.data()), 2500, &sent, 500),
              VEM_SUCCESS);
    EXPECT_EQ(sent, 2500u);
    const auto port = peer.requests(false);
    EXPECT_EQ(lengths(port), (std::vector<std::size_t>{1064, 1064, 492}));
    std::string joined;
    for (const auto& r : port) {
        joined += r.payload;
        EXPECT_EQ(r.head.dwSend, r.length - 40);
        EXPECT_EQ(r.head.dwTimeout, 500u);
    }
    EXPECT_EQ(joined, data);
    EXPECT_EQ(intf_unlock(), VEM_SUCCESS);
    EXPECT_EQ(init_close(), VEM_SUCCESS);
    const auto control = peer.requests(true);
    ASSERT_EQ(control.size(), 2u);
    EXPECT_EQ(control[0].head.dwProcess, PROC_INIT_FILE);
    EXPECT_EQ(control[0].length, 45 + path_.size());
    EXPECT_EQ(control[0].payload.substr(4, path_.size()), path_);
    EXPECT_EQ(control[1].head.dwProcess, PROC_CLOSE);
    EXPECT_EQ(control[1].head.dwIdx, 3u) << "the slot the daemon gave";
}

// Short answers: a send the daemon took only part of stops there; a read that
// got fewer bytes keeps them but fails; a reply claiming more data than asked
// for is refused rather than copied past the caller's buffer.
TEST_F(Service, ShortAndOversizedAnswers) {
    int oversized = 0;
    Peer peer([&](const Request& r) -> Answer {
        if (r.head.dwProcess == PROC_SEND) return {0, r.head.dwSend - 24};
        if (r.head.dwProcess == PROC_READ && oversized++ == 0) return {0, 3, "abc"};
        if (r.head.dwProcess == PROC_READ) return {0, 500, std::string(500, 'x')};
        return usual(r);
    });
    open_and_lock(peer);
    unsigned char buf[2048] = {};
    unsigned long n = 0;
    EXPECT_EQ(intf_send_data(buf, 2000, &n, 0), VEM_ILLEGAL);
    EXPECT_EQ(n, 1000u);
    EXPECT_EQ(peer.requests(false).size(), 1u) << "no chunk after a short one";

    unsigned char small[10] = {};
    EXPECT_EQ(intf_rcv_data(small, 10, &n, 0), VEM_ILLEGAL);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(std::string(small, small + 3), "abc");
    unsigned char guard[20];
    std::memset(guard, 0x5A, sizeof guard);
    EXPECT_EQ(intf_rcv_data(guard, 8, &n, 0), VEM_ILLEGAL);
    EXPECT_EQ(guard[8], 0x5A) << "reply data copied past the requested size";
    EXPECT_EQ(intf_unlock(), VEM_SUCCESS);
}

// Real-time exchanges: 2000 reply bytes come in 1024 and 976 (the command
// is sent once); with nothing to read, one request and the daemon's result.
TEST_F(Service, RealTimeExchangeSplit) {
    Peer peer([](const Request& r) -> Answer {
        if (r.head.dwProcess == PROC_RW_RTS && r.head.dwRead == 0) return {VEM_NODEVICE};
        return usual(r);
    });
    open_and_lock(peer);
    unsigned char cmd[] = {0x10, 0x04, 0x10};
    std::vector<unsigned char> reply(2000);
    unsigned long n = 0;
    EXPECT_EQ(intf_send_rtc(cmd, 3, reply.data(), 2000, &n, 1000), VEM_SUCCESS);
    EXPECT_EQ(n, 2000u);
    auto port = peer.requests(false);
    ASSERT_EQ(port.size(), 2u);
    EXPECT_EQ(port[0].length, 43u);
    EXPECT_EQ(port[0].head.dwRead, 1024u);
    EXPECT_EQ(port[0].payload, std::string("\x10\x04\x10", 3));
    EXPECT_EQ(port[1].length, 40u);
    EXPECT_EQ(port[1].head.dwSend, 0u);
    EXPECT_EQ(port[1].head.dwRead, 976u);

    EXPECT_EQ(intf_send_rtc(cmd, 3, nullptr, 0, nullptr, 0), VEM_NODEVICE);
    port = peer.requests(false);
    ASSERT_EQ(port.size(), 3u);
    EXPECT_EQ(port[2].length, 43u);
    EXPECT_EQ(port[2].head.dwRead, 0u);
    std::vector<unsigned char> big(1025);
    EXPECT_EQ(intf_send_rtc(big.data(), 1025, reply.data(), 6, &n, 0), VEM_ILLEGAL)
        << "a command longer than one exchange";
    EXPECT_EQ(peer.requests(false).size(), 3u);
    EXPECT_EQ(intf_unlock(), VEM_SUCCESS);
}

// Without the port lock nothing goes on the pipes; log settings travel to the
// daemon, an absent file name as a 42-byte request.
TEST_F(Service, RefusalsSendNothingAndLogSettingsTravel) {
    Peer peer(usual);
    ASSERT_TRUE(peer.ok());
    ASSERT_EQ(init_file(path_.c_str(), 1), VEM_SUCCESS);
    unsigned char b[8] = {};
    unsigned long n = 0;
    EXPECT_EQ(intf_send_data(b, 8, &n, 0) + intf_rcv_data(b, 8, &n, 0) +
                  intf_send_rtc(b, 3, b, 6, &n, 0) + intf_reconnect(),
              4 * VEM_NOLOCK);
    EXPECT_TRUE(peer.requests(false).empty());
    init_LogLevel(5);
    init_LogCount(7);
    init_LogFilename(std::string(1200, 'n').c_str());  // does not fit a request: not sent
    init_LogFilename(nullptr);
    const auto control = peer.requests(true);
    ASSERT_EQ(control.size(), 4u);
    EXPECT_EQ(control[1].head.dwProcess, PROC_LOGLVL);
    EXPECT_EQ(control[1].head.dwIdx, 5u);
    EXPECT_EQ(control[2].head.dwProcess, PROC_LOGCOUNT);
    EXPECT_EQ(control[3].head.dwProcess, PROC_LOGFILE);
    EXPECT_EQ(control[3].length, 42u);
    EXPECT_EQ(control[3].payload, std::string(2, '\0'));
}

// FIFO files left by a daemon that is gone: the open gives up after its bounded
// wait with VEM_NOINIT.  A planted link is never followed.
TEST_F(Service, StaleFifosAndPlantedLinks) {
    ASSERT_EQ(::mkfifo("/tmp/cmn_intf_to_svr", 0666), 0);
    ASSERT_EQ(::mkfifo("/tmp/cmn_svr_to_intf", 0666), 0);
    const auto t0 = Clock::now();
    EXPECT_EQ(init_file(path_.c_str(), 1), VEM_NOINIT);
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(INTF_OPEN_WAIT_MS / 1000 + 2));
    ::unlink("/tmp/cmn_intf_to_svr"), ::unlink("/tmp/cmn_svr_to_intf");

    // A link to a regular file standing where the request FIFO belongs.
    const std::string trap = "/tmp/wl-trap-" + std::to_string(::getpid());
    { std::ofstream(trap) << ""; }
    ASSERT_EQ(::symlink(trap.c_str(), "/tmp/cmn_intf_to_svr"), 0);
    ASSERT_EQ(::mkfifo("/tmp/cmn_svr_to_intf", 0666), 0);
    EXPECT_EQ(init_file(path_.c_str(), 1), VEM_NOINIT);
    init_LogLevel(1);  // would write a request through the link
    EXPECT_EQ(read_file(trap), "") << "print data went through a planted link";
    ::unlink("/tmp/cmn_intf_to_svr"), ::unlink("/tmp/cmn_svr_to_intf"), ::unlink(trap.c_str());
}

// A daemon that goes away mid-session: the next request fails, and the
// application is not killed by the broken pipe.
TEST_F(Service, DaemonGoneFailsWithoutKillingTheApplication) {
    Peer peer(usual);
    open_and_lock(peer);
    unsigned char b[16] = {};
    unsigned long n = 0;
    ASSERT_EQ(intf_send_data(b, 16, &n, 0), VEM_SUCCESS);
    peer.stop();
    EXPECT_EQ(intf_send_data(b, 16, &n, 0), VEM_ILLEGAL);
    EXPECT_EQ(intf_send_data(b, 16, &n, 0), VEM_ILLEGAL) << "still alive";
    sigset_t pending;
    sigpending(&pending);
    EXPECT_FALSE(sigismember(&pending, SIGPIPE));
    EXPECT_EQ(intf_unlock(), VEM_SUCCESS);
}

// A port whose interface pipe never came up can still be closed: the close
// goes on the main pipe, and the daemon gets its slot back.
TEST_F(Service, CloseWithoutPortPipe) {
    Peer peer(usual, false);
    ASSERT_TRUE(peer.ok());
    ASSERT_EQ(init_file(path_.c_str(), 1), VEM_SUCCESS);
    ASSERT_EQ(intf_lock(0), VEM_SUCCESS);
    unsigned char b[4] = {};
    unsigned long n = 0;
    EXPECT_EQ(intf_send_data(b, 4, &n, 0), VEM_NOINIT);
    EXPECT_EQ(intf_unlock(), VEM_SUCCESS);
    EXPECT_EQ(init_close(), VEM_SUCCESS);
    const auto control = peer.requests(true);
    ASSERT_EQ(control.size(), 2u);
    EXPECT_EQ(control[1].head.dwProcess, PROC_CLOSE);
}
