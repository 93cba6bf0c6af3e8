// The Ethernet port against emulated printers, in the daemon's build of the
// drivers (50 slots).  Each test runs in a network namespace of its own;
// printers live on loopback addresses there, or in further namespaces.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstring>
#include <functional>
#include <deque>
#include <string>
#include <thread>

#include "VEMETH.h"
#include "VEMPortOps.h"
#include "netlab.h"

namespace {

using netlab::elapsed_ms;
using vem::UniqueFd;
using namespace std::chrono_literals;

std::string sem_name(const std::string& ip) {
    return "/cmn_share_interface_ethernet_sem_" + ip + "__";
}

// A socket of the test's own on addr:port (port 0: any) in the test's namespace.
UniqueFd bound(int type, const std::string& addr, int port = 0) {
    UniqueFd s(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, addr.c_str(), &a.sin_addr);
    if (::bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return UniqueFd();
    if (type == SOCK_STREAM) ::listen(s.get(), 8);
    return s;
}
int local_port(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}
UniqueFd accept_one(int listener) {
    return UniqueFd(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
}

class EthPort : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(netlab::enter_private_net()); }
    void TearDown() override {
        init_buf_eth();
        for (const auto& ip : used_) ::sem_unlink(sem_name(ip).c_str());
    }
    // An SNMP agent (the emulator's) on ip:161, with extra emulator options.
    netlab::Emulator& printer(const std::string& ip, std::vector<std::string> extra = {}) {
        used_.push_back(ip);
        extra.insert(extra.end(), {"--snmp", ip + ":161"});
        return emus_.emplace_back(-1, extra);
    }
    static int send(int idx, std::string data, unsigned long* sent, unsigned long limit = 2000) {
        return send_data_eth(idx, reinterpret_cast<unsigned char*>(data.data()),
                             static_cast<int>(data.size()), sent, limit);
    }
    std::vector<std::string> used_;
    std::deque<netlab::Emulator> emus_;
};

// Opening asks SNMP first: a printer whose agent is silent (offline) or
// missing is refused although its TCP port accepts, and the slot is left
// closed.  An answering printer is connected at once: no fixed pause.
TEST_F(EthPort, ProbeDecidesOpen) {
    UniqueFd tcp = bound(SOCK_STREAM, "127.0.0.2", 9100);
    ASSERT_TRUE(tcp);
    printer("127.0.0.2");
    printer("127.0.0.3", {"--set", "offline"});
    UniqueFd tcp3 = bound(SOCK_STREAM, "127.0.0.3", 9100);
    UniqueFd tcp4 = bound(SOCK_STREAM, "127.0.0.4", 9100);  // no agent at all

    for (const char* ip : {"127.0.0.3", "127.0.0.4"}) {
        long ms = elapsed_ms([&] { EXPECT_EQ(init_port_eth(7, ip, 9100, 0), VEM_NODEVICE) << ip; });
        EXPECT_LT(ms, 1000) << ip << ": the probe waits 50 ms";
        EXPECT_EQ(isDeviceOnline(ip), 0);
        EXPECT_TRUE(g_EthTCPHandle[7] < 0 && getNetworkSemaphore(7) == nullptr && g_szIP[7][0] == 0);
    }
    EXPECT_EQ(isDeviceOnline("127.0.0.2"), 1);
    long ms = elapsed_ms([&] { ASSERT_EQ(init_port_eth(7, "127.0.0.2", 9100, 0), VEM_SUCCESS); });
    EXPECT_LT(ms, 500);
    UniqueFd peer = accept_one(tcp.get());
    ASSERT_TRUE(peer);
    EXPECT_EQ(std::string(g_semEthName[7]), sem_name("127.0.0.2"));
    EXPECT_NE(getNetworkSemaphore(7), nullptr);
    EXPECT_EQ(g_EthUDPHandle[7], -1) << "no UDP port asked for";

    // Already open: refused, the address for reconnection unchanged.
    EXPECT_EQ(init_port_eth(7, "127.0.0.3", 9100, 0), VEM_INUSED);
    EXPECT_STREQ(g_szIP[7], "127.0.0.2");
    close_port_eth(7);
    EXPECT_TRUE(g_EthTCPHandle[7] < 0 && getNetworkSemaphore(7) == nullptr && g_tcp[7] == 0);
}

// A refused TCP connection is a failed open, not an error at the first
// send; one that never completes fails after about 2 s, and one that
// completes returns at once.
TEST_F(EthPort, TcpConnectOutcome) {
    netlab::Host host({"198.51.100.20/24"}, "", "198.51.100.1/24");
    netlab::Emulator agent(host.netns(), {"--snmp", "*:161"});
    used_.push_back(host.address());
    ASSERT_EQ(isDeviceOnline(host.address().c_str()), 1);
    long ms = elapsed_ms([&] { EXPECT_EQ(connect_tcp(host.address().c_str(), 9100), -1); });
    EXPECT_LT(ms, 1000) << "refused";
    EXPECT_EQ(init_port_eth(0, host.address().c_str(), 9100, 0), VEM_NODEVICE);

    // A connection across the link returns as soon as it is made.
    UniqueFd open = host.socket(SOCK_STREAM, 9102);
    ASSERT_TRUE(open);
    ms = elapsed_ms([&] { EXPECT_EQ(init_port_eth(0, host.address().c_str(), 9102, 0), VEM_SUCCESS); });
    EXPECT_LT(ms, 500);
    close_port_eth(0);

    // A listener whose queue is full drops further SYNs: the attempt hangs.
    UniqueFd full = host.socket(SOCK_STREAM, 9101);
    ASSERT_TRUE(full);
    ASSERT_EQ(::listen(full.get(), 0), 0);
    const int first = connect_tcp(host.address().c_str(), 9101);
    ASSERT_GE(first, 0);
    ms = elapsed_ms([&] { EXPECT_EQ(connect_tcp(host.address().c_str(), 9101), -1); });
    EXPECT_GE(ms, 1900);
    EXPECT_LT(ms, 3000);
    ::close(first);

    for (auto [ip, port] : {std::pair{"198.51.100.20", 0}, {"198.51.100.20", 70000},
                            {"198.51.100", 9100}, {"", 9100}}) {
        EXPECT_EQ(connect_tcp(ip, port), -1) << ip << ":" << port;
    }
}

// A port without TCP carries status only: data operations find no socket,
// status exchanges get the printer's answer (sequence number echoed, one
// status byte).  A
// port without UDP has no status exchange.
TEST_F(EthPort, StatusOnlyPort) {
    auto& emu = printer("127.0.0.5", {"--udp", "127.0.0.5:0"});
    const int udp = emu.port("udp");
    ASSERT_GT(udp, 0);
    ASSERT_EQ(init_port_eth(3, "127.0.0.5", 0, udp), VEM_SUCCESS);
    unsigned long n = 0;
    unsigned char buf[16] = {};
    EXPECT_EQ(send(3, "x", &n), VEM_NOINIT);
    EXPECT_EQ(receive_data_eth(3, buf, 1, &n, 100), VEM_NOINIT);
    unsigned char req[] = {0, 0, 0, 42, 0x10, 0x04, 0x01};
    n = 0;
    EXPECT_EQ(rts_data_eth(3, req, sizeof req, buf, 5, &n, 1000), VEM_SUCCESS);
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(std::memcmp(buf, req, 4), 0);
    EXPECT_EQ(init_port_eth(3, "127.0.0.5", 0, udp), VEM_INUSED) << "a UDP socket is an open port";
    close_port_eth(3);

    UniqueFd tcp = bound(SOCK_STREAM, "127.0.0.5", 9100);
    ASSERT_EQ(init_port_eth(4, "127.0.0.5", 9100, 0), VEM_SUCCESS);
    EXPECT_EQ(rts_data_eth(4, req, sizeof req, buf, 10, &n, 100), VEM_NOINIT);
}

// The time limit set on a socket: 0 and -1 (also as an all-ones unsigned
// long) mean none; 1500 is 1 s 500000 us; other negatives are refused.
TEST_F(EthPort, TimeLimits) {
    UniqueFd s(::socket(AF_INET, SOCK_STREAM, 0));
    struct Case {
        int ms;
        int ok;
        long sec, usec;
    };
    for (const Case c : {Case{0, 1, 0, 0}, {1500, 1, 1, 500000}, {-1, 1, 0, 0},
                         {-2, 0, 0, 0}}) {
        for (int bSend : {0, 1}) {
            timeval preset{9, 0};
            ::setsockopt(s.get(), SOL_SOCKET, bSend ? SO_SNDTIMEO : SO_RCVTIMEO, &preset,
                         sizeof preset);
            EXPECT_EQ(set_eth_timeout(s.get(), c.ms, bSend), c.ok) << c.ms;
            timeval tv{};
            socklen_t len = sizeof tv;
            ::getsockopt(s.get(), SOL_SOCKET, bSend ? SO_SNDTIMEO : SO_RCVTIMEO, &tv, &len);
            if (c.ok) {
                EXPECT_TRUE(tv.tv_sec == c.sec && tv.tv_usec == c.usec) << c.ms;
            }
        }
    }

    // Through a receive: a limit passes without data; none waits for it.
    UniqueFd tcp = bound(SOCK_STREAM, "127.0.0.6", 9100);
    printer("127.0.0.6");
    ASSERT_EQ(init_port_eth(0, "127.0.0.6", 9100, 0), VEM_SUCCESS);
    UniqueFd peer = accept_one(tcp.get());
    unsigned char buf[4];
    unsigned long n = 7;
    long ms = elapsed_ms([&] { EXPECT_EQ(receive_data_eth(0, buf, 4, &n, 300), VEM_ILLEGAL); });
    EXPECT_TRUE(ms >= 280 && ms < 1500) << ms;
    EXPECT_EQ(n, 0u);
    for (unsigned long none : {0UL, ~0UL, 0xFFFFFFFFUL}) {
        std::thread late([&] {
            std::this_thread::sleep_for(400ms);
            (void)::write(peer.get(), "ABCD", 4);
        });
        ms = elapsed_ms([&] { EXPECT_EQ(receive_data_eth(0, buf, 4, &n, none), VEM_SUCCESS); });
        late.join();
        EXPECT_GE(ms, 350) << none;
        timeval tv{};
        socklen_t len = sizeof tv;
        ::getsockopt(g_EthTCPHandle[0], SOL_SOCKET, SO_RCVTIMEO, &tv, &len);
        EXPECT_TRUE(tv.tv_sec == 0 && tv.tv_usec == 0) << none;
    }
}

// Only a transfer of the full count refreshes the idle clock: a receive of
// 8 bytes that gets 5 fails and reports 5.  A printer that closed the
// connection fails the send; the process is not killed by SIGPIPE.
TEST_F(EthPort, TransfersAndIdleClock) {
    UniqueFd tcp = bound(SOCK_STREAM, "127.0.0.7", 9100);
    printer("127.0.0.7");
    ASSERT_EQ(init_port_eth(1, "127.0.0.7", 9100, 0), VEM_SUCCESS);
    UniqueFd peer = accept_one(tcp.get());
    unsigned char buf[8] = {};
    unsigned long n = 0;

    g_start_tm[1] = 1000;
    ASSERT_EQ(::write(peer.get(), "12345", 5), 5);
    EXPECT_EQ(receive_data_eth(1, buf, 8, &n, 1000), VEM_ILLEGAL);
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(std::memcmp(buf, "12345", 5), 0);
    EXPECT_EQ(g_start_tm[1], 1000) << "a short receive is no traffic";

    ASSERT_EQ(::write(peer.get(), "abcdefgh", 8), 8);
    EXPECT_EQ(receive_data_eth(1, buf, 8, &n, 1000), VEM_SUCCESS);
    EXPECT_GT(g_start_tm[1], 1000);
    g_start_tm[1] = 1000;
    EXPECT_EQ(send(1, "print me", &n), VEM_SUCCESS);
    EXPECT_EQ(n, 8u);
    EXPECT_GT(g_start_tm[1], 1000);
    char got[8];
    EXPECT_EQ(::read(peer.get(), got, 8), 8);

    peer.reset();  // the printer goes away
    std::this_thread::sleep_for(50ms);
    int last = VEM_SUCCESS;
    for (int i = 0; i < 5 && last == VEM_SUCCESS; ++i) last = send(1, std::string(4096, 'x'), &n);
    EXPECT_EQ(last, VEM_ILLEGAL);
    EXPECT_EQ(receive_data_eth(1, buf, 8, &n, 200), VEM_ILLEGAL) << "end of stream";
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(send_data_eth(1, nullptr, 4, &n, 0), VEM_ILLEGAL);
    EXPECT_EQ(receive_data_eth(1, buf, 8, nullptr, 0), VEM_ILLEGAL);
}

// Status answers belong to their request: a late answer to a request that
// timed out, and a datagram from another host, are not taken for the next
// answer, and the other host does not become the status address.
TEST_F(EthPort, StatusAnswersFromThePrinterOnly) {
    printer("127.0.0.8");
    UniqueFd status = bound(SOCK_DGRAM, "127.0.0.8");
    ASSERT_EQ(init_port_eth(2, "127.0.0.8", 0, local_port(status.get())), VEM_SUCCESS);
    const sockaddr_in printerAddr = g_UdpAddr[2];

    // Takes one request; `first` runs before the answer goes back.
    auto serve = [&](const char* reply, const std::function<void(const sockaddr_in&)>& first) {
        unsigned char in[16];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        EXPECT_GT(::recvfrom(status.get(), in, sizeof in, 0, reinterpret_cast<sockaddr*>(&from),
                             &len), 0);
        if (first) first(from);
        ::sendto(status.get(), reply, 4, 0, reinterpret_cast<sockaddr*>(&from), len);
    };
    unsigned char req[] = {0x10, 0x04, 0x01};
    unsigned char ans[4] = {};
    unsigned long n = 0;
    // The first request times out; its answer comes late.
    EXPECT_EQ(rts_data_eth(2, req, 3, ans, 4, &n, 100), VEM_ILLEGAL);
    serve("OLD1", nullptr);
    std::this_thread::sleep_for(50ms);
    // While the next request waits, a stranger answers before the printer.
    UniqueFd stranger = bound(SOCK_DGRAM, "127.0.0.9");
    std::thread printerSide([&] {
        serve("NEW2", [&](const sockaddr_in& driver) {
            ::sendto(stranger.get(), "EVIL", 4, 0, reinterpret_cast<const sockaddr*>(&driver),
                     sizeof driver);
            std::this_thread::sleep_for(50ms);
        });
    });
    n = 0;
    EXPECT_EQ(rts_data_eth(2, req, 3, ans, 4, &n, 2000), VEM_SUCCESS);
    printerSide.join();
    EXPECT_EQ(std::string(reinterpret_cast<char*>(ans), 4), "NEW2");
    EXPECT_EQ(g_UdpAddr[2].sin_addr.s_addr, printerAddr.sin_addr.s_addr);
    EXPECT_EQ(g_UdpAddr[2].sin_port, printerAddr.sin_port);
}

// Addresses that cannot be a port's are refused before anything is sent;
// no slot outside the build's range is touched.
TEST_F(EthPort, BadArguments) {
    const std::string longest(VEM_ETH_ADDR_MAX, '1');
    const std::string tooLong(VEM_ETH_ADDR_MAX + 1, '1');
    struct Case {
        int idx;
        const char* ip;
        int result;
    };
    for (const Case c : {Case{0, nullptr, VEM_ILLEGAL}, {0, tooLong.c_str(), VEM_ILLEGAL},
                         {0, longest.c_str(), VEM_NODEVICE}, {0, "300.1.1.1", VEM_NODEVICE},
                         {-1, "127.0.0.1", VEM_NODEVICE}, {PORT_SLOT_MAX, "127.0.0.1", VEM_NODEVICE}}) {
        EXPECT_EQ(init_port_eth(c.idx, c.ip, 9100, 3000), c.result) << c.idx;
    }
    char name[VEM_SEM_NAME_SIZE] = "junk";
    EXPECT_EQ(createNetworkSemaphore(name, tooLong.c_str()), nullptr);
    EXPECT_STREQ(name, "");
    unsigned long n = 0;
    EXPECT_EQ(send_data_eth(PORT_SLOT_MAX, nullptr, 0, &n, 0), VEM_ILLEGAL);
    EXPECT_EQ(rts_data_eth(-1, nullptr, 0, nullptr, 0, &n, 0), VEM_ILLEGAL);
    EXPECT_EQ(reconnect_eth(PORT_SLOT_MAX, "127.0.0.1", 1, 1), VEM_ILLEGAL) << "not success";
    EXPECT_EQ(send_recv_udp(-1, nullptr, nullptr, 0, nullptr, 0, nullptr, 0), VEM_NOINIT);
}

// Opens, reconnects, parks, probes and failed opens, many times over, leave
// no descriptor behind.  The port table's row drives the same driver.
TEST_F(EthPort, NoSocketsLeftBehind) {
    UniqueFd tcp = bound(SOCK_STREAM, "127.0.0.10", 9100);
    auto& emu = printer("127.0.0.10", {"--udp", "127.0.0.10:0"});
    printer("127.0.0.11", {"--set", "offline"});
    const PortOps* ops = port_ops(INTF_ETH);
    ASSERT_NE(ops, nullptr);
    ASSERT_EQ(ops->rts, &rts_data_eth);
    PortParams p;
    std::snprintf(p.szName, sizeof p.szName, "127.0.0.10");
    p.nTCP = 9100;
    p.nUDP = emu.port("udp");

    // Warm up whatever the process opens once (log, monitor thread).
    ASSERT_EQ(ops->open(5, p), VEM_SUCCESS);
    ops->close(5);
    const int before = netlab::open_fds();
    for (int i = 0; i < 25; ++i) {
        ASSERT_EQ(ops->open(5, p), VEM_SUCCESS) << i;
        accept_one(tcp.get());
        EXPECT_EQ(ops->reconnect(5, p), VEM_SUCCESS);
        accept_one(tcp.get());
        ops->park(5);
        EXPECT_EQ(init_port_eth(6, "127.0.0.11", 9100, 3000), VEM_NODEVICE);
        EXPECT_EQ(init_port_eth(6, "127.0.0.10", 9199, 3000), VEM_NODEVICE) << "TCP refused";
        EXPECT_EQ(isDeviceOnline("127.0.0.10") + isDeviceOnline("127.0.0.11"), 1);
        ops->close(5);
    }
    EXPECT_EQ(netlab::open_fds(), before);
}

}  // namespace
