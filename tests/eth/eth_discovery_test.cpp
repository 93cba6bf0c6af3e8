// SNMP identity queries and network printer discovery, in the library's
// build of the drivers (1 slot), on networks each test builds: printers in
// namespaces of their own behind veth pairs and bridges, numbered from
// 198.51.100.0/24 and 203.0.113.0/24.  Before any scan the test checks that
// its namespace holds only the interfaces it made.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <deque>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <thread>

#include "VEMETH.h"
#include "netlab.h"
#include "snmp.h"

namespace {

using vem::UniqueFd;
using netlab::Bytes;
using netlab::Responder;
using namespace std::chrono_literals;

in_addr ip4(const char* text) {
    in_addr a{};
    ::inet_pton(AF_INET, text, &a);
    return a;
}

// A GetResponse laid out as the drivers' request, carrying value
// (tag, contents), cut to `size` bytes when given.
Bytes response(const Bytes& request, std::uint8_t tag, const Bytes& value, std::size_t size = 0) {
    Bytes r(request.begin(), request.begin() + 38);
    r[13] = 0xA2;
    r.push_back(tag);
    r.push_back(static_cast<std::uint8_t>(value.size()));
    r.insert(r.end(), value.begin(), value.end());
    if (size != 0 && size < r.size()) r.resize(size);
    return r;
}
bool asks_object_id(const Bytes& request) {
    return request.size() == 40 && request[36] == 0x02;
}
Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// The emulator's own agent logic behind a test socket, so that a test can
// make one printer answer a broadcast more than once.
Responder::Reply agent(const std::string& descr, const std::string& oid) {
    kvrs::emu::snmp::AgentConfig cfg{descr, *kvrs::emu::snmp::parse_oid(oid)};
    return [cfg](const Bytes& request, bool) {
        return kvrs::emu::snmp::answer(request, cfg).value_or(Bytes{});
    };
}

class Discovery : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(netlab::enter_private_net()); }

    // The namespace has lo and what this test made, nothing else.
    void expect_only_our_interfaces(const std::set<std::string>& bridges) {
        for (const auto& name : netlab::interface_names()) {
            EXPECT_TRUE(name == "lo" || bridges.count(name) || name.rfind("vt", 0) == 0)
                << "unexpected interface " << name;
        }
    }
    static std::vector<EthernetDeviceInfo> scan(unsigned int nSize, int isBroad, int port,
                                                int expectRc = VEM_SUCCESS) {
        std::vector<EthernetDeviceInfo> out(nSize + 1);
        std::memset(out.data(), 0, out.size() * sizeof out[0]);
        unsigned int count = 12345;
        EXPECT_EQ(scan_network_printer(out.data(), nSize, &count, isBroad, port), expectRc);
        EXPECT_LE(count, nSize);
        EXPECT_EQ(out[nSize].strIpAdEntAddr[0], 0) << "written beyond nSize";
        out.resize(count);
        return out;
    }
    static std::set<std::string> addresses(const std::vector<EthernetDeviceInfo>& list) {
        std::set<std::string> s;
        for (const auto& d : list) s.insert(d.strIpAdEntAddr);
        EXPECT_EQ(s.size(), list.size()) << "one record per printer";
        return s;
    }
};

// Answers decoded at their fixed offsets: sub-identifiers of any size, an
// answer too short to hold an OID, an OID longer than the field holds (cut
// at a whole number), descriptions cut at 40 characters.
TEST_F(Discovery, IdentityDecoding) {
    struct Case {
        const char* what;
        Bytes oid;                 // contents of sysObjectID's value
        std::size_t oidSize;       // answer cut to this many bytes (0: whole)
        std::string descr;
        std::string wantOid, wantDescr;
    };
    const std::string sixty = "KVRS-M2A Receipt Printer / firmware 3.14 / 80 mm / serial 0042";
    std::string longOid = "1.3";
    while (longOid.size() + 4 <= 63) longOid += ".127";
    const Case cases[] = {
        {"host resources OID", {0x2B, 6, 1, 2, 1, 25, 3, 1, 5}, 0, "KVRS-M1A", "1.3.6.1.2.1.25.3.1.5",
         "KVRS-M1A"},
        {"sub-ids 300 and 64101", {0x2B, 6, 1, 4, 1, 0x83, 0xF4, 0x65, 0x82, 0x2C, 2}, 0, sixty,
         "1.3.6.1.4.1.64101.300.2", sixty.substr(0, 40)},
        {"30-byte answer", {0x2B, 6, 1, 4, 1, 9}, 30, "short one", "1.3", "short one"},
        {"value cut mid-identifier", {0x2B, 6, 0x82}, 0, "x", "1.3.6", "x"},
        {"OID longer than the field", Bytes(40, 0x7F), 0, "y", longOid, "y"},
    };
    UniqueFd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(161);
    a.sin_addr = ip4("127.0.0.20");
    ASSERT_EQ(::bind(sock.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    const Case* current = &cases[0];
    Responder r(std::move(sock), [&](const Bytes& req, bool) {
        return asks_object_id(req) ? response(req, 0x06, current->oid, current->oidSize)
                                   : response(req, 0x04, text(current->descr));
    });
    for (const Case& c : cases) {
        current = &c;
        const int before = r.requests();
        EthernetDeviceInfo d;
        std::memset(&d, 0x55, sizeof d);
        ASSERT_EQ(send_rcv_snmp("127.0.0.20", 161, &d, 2000), VEM_SUCCESS) << c.what;
        EXPECT_EQ(r.requests() - before, 2) << c.what << ": sysDescr is asked in any case";
        EXPECT_EQ(std::string(d.strSysObjectId), c.wantOid) << c.what;
        EXPECT_EQ(std::string(d.strSysDescr), c.wantDescr) << c.what;
        EXPECT_STREQ(d.strIpAdEntAddr, "127.0.0.20");
        EXPECT_EQ(d.strSysObjectId[63], 0);
    }
    // Nobody at the address: the record stays zeroed.
    EthernetDeviceInfo d;
    std::memset(&d, 0x55, sizeof d);
    EXPECT_EQ(send_rcv_snmp("127.0.0.21", 161, &d, 200), VEM_ILLEGAL);
    EXPECT_TRUE(d.strSysObjectId[0] == 0 && d.strSysDescr[0] == 0 && d.strIpAdEntAddr[0] == 0);
    EXPECT_EQ(send_rcv_snmp(nullptr, 161, &d, 200), VEM_ILLEGAL);
    EXPECT_EQ(send_rcv_snmp("127.0.0.20", 161, nullptr, 200), VEM_ILLEGAL);
}

// Debian's snmpd, configured by the test, answers the driver's hand-built
// requests; the driver decodes both values.
TEST_F(Discovery, AgentNobodyHereWrote) {
    ASSERT_EQ(::access("/usr/sbin/snmpd", X_OK), 0) << "snmpd missing: run tools/install-deps.sh";
    netlab::Host host({"203.0.113.10/24"}, "", "203.0.113.1/24");
    char tmpl[] = "/tmp/vemsnmpdXXXXXX";
    const std::string dir = ::mkdtemp(tmpl);
    const std::string descr = "KVRS-M1A Receipt Printer (snmpd on a test network)";
    std::ofstream(dir + "/snmpd.conf") << "agentAddress udp:161\n"
                                       << "rocommunity zelmix\n"
                                       << "sysDescr " << descr << "\n"
                                       << "sysObjectID .1.3.6.1.4.1.64101.300.1\n";
    netlab::Process snmpd({"env", "SNMP_PERSISTENT_DIR=" + dir, "MIBS=", "/usr/sbin/snmpd", "-f",
                           "-C", "-c", dir + "/snmpd.conf", "-Lf", dir + "/log", "-p",
                           dir + "/pid"},
                          host.netns(), dir + "/out");
    EthernetDeviceInfo d{};
    int rc = VEM_ILLEGAL;
    for (int i = 0; i < 100 && rc != VEM_SUCCESS; ++i) {
        rc = send_rcv_snmp("203.0.113.10", 161, &d, 100);
        if (rc != VEM_SUCCESS) std::this_thread::sleep_for(50ms);
    }
    ASSERT_EQ(rc, VEM_SUCCESS) << "snmpd did not answer; see " << dir;
    EXPECT_STREQ(d.strSysObjectId, "1.3.6.1.4.1.64101.300.1");
    EXPECT_EQ(std::string(d.strSysDescr), descr.substr(0, 40));
    EXPECT_STREQ(d.strIpAdEntAddr, "203.0.113.10");
    EXPECT_EQ(isDeviceOnline("203.0.113.10"), 1);
    snmpd.stop();
    std::filesystem::remove_all(dir);
}

// One broadcast per interface, then each host that answered is asked.  A
// printer that answers twice is one record; a flood of answers fills the
// thread table without overflowing it; nSize caps the records written;
// interfaces with "lo" in their name are not asked at all.
TEST_F(Discovery, Broadcast) {
    netlab::Bridge lan("vbr24", "198.51.100.17/24");
    netlab::Bridge hidden("wlo1", "203.0.113.1/28");
    netlab::Host a({"198.51.100.20/24"}, lan.name());
    netlab::Host b({"198.51.100.30/24"}, lan.name());
    netlab::Host c({"198.51.100.40/24"}, lan.name());
    netlab::Host d({"203.0.113.5/28"}, hidden.name());
    netlab::Emulator emuA(a.netns(), {"--model", "M1A", "--snmp", "*:161"});
    netlab::Emulator emuC(c.netns(), {"--snmp", "*:161", "--sysdescr", "KVRS-M2A at the bar"});
    netlab::Emulator emuD(d.netns(), {"--snmp", "*:161"});
    std::atomic<int> answersToBroadcast{2};
    Responder twice(b.socket(SOCK_DGRAM, 161), agent("KVRS-M2A twice", "1.3.6.1.4.1.64101.1.2"),
                    [&](bool broadcast) { return broadcast ? answersToBroadcast.load() : 1; });
    expect_only_our_interfaces({"vbr24", "wlo1"});

    auto found = scan(8, 1, -1);
    EXPECT_EQ(addresses(found),
              (std::set<std::string>{"198.51.100.20", "198.51.100.30", "198.51.100.40"}));
    for (const auto& dev : found) {
        const std::string ip = dev.strIpAdEntAddr;
        EXPECT_STREQ(dev.strSysDescr, ip == "198.51.100.20"   ? "KVRS-M1A Receipt Printer"
                                      : ip == "198.51.100.30" ? "KVRS-M2A twice"
                                                              : "KVRS-M2A at the bar");
        EXPECT_STREQ(dev.strSysObjectId, "1.3.6.1.4.1.64101.1.2");
    }

    found = scan(2, 1, 5123);
    EXPECT_EQ(found.size(), 2u);
    EXPECT_EQ(addresses(found).size(), 2u);

    answersToBroadcast = 400;
    found = scan(8, 1, 0);
    EXPECT_EQ(addresses(found).count("198.51.100.30"), 1u);

    unsigned int count = 0;
    EthernetDeviceInfo one{};
    EXPECT_EQ(scan_network_printer(nullptr, 1, &count, 1, -1), VEM_ILLEGAL);
    EXPECT_EQ(scan_network_printer(&one, 1, nullptr, 1, -1), VEM_ILLEGAL);
}

// The address scan asks every host address of a /24 and a /28 network in
// parallel, but never the network address, the interface's own address or
// the broadcast address: agents wait at the first two (the test's own
// namespace answers on its own address), and every other address answers.
TEST_F(Discovery, AddressScan) {
    std::vector<std::string> crowd24{"198.51.100.0/24"};
    std::set<std::string> want;
    for (int h = 1; h <= 254; ++h) {
        if (h == 17) continue;
        crowd24.push_back("198.51.100." + std::to_string(h) + "/24");
        want.insert("198.51.100." + std::to_string(h));
    }
    netlab::Host net24(crowd24, "", "198.51.100.17/24");
    netlab::Bridge lan28("vbr28", "203.0.113.37/28");
    std::vector<std::string> crowd28{"203.0.113.32/28"};
    for (int h : {34, 35, 36, 38, 39, 41, 42, 43, 44, 45})
        crowd28.push_back("203.0.113." + std::to_string(h) + "/28");
    netlab::Host rest28(crowd28, lan28.name());
    std::deque<netlab::Host> printers28;
    std::deque<netlab::Emulator> emus;
    for (int h = 33; h <= 46; ++h) {
        if (h == 37) continue;
        want.insert("203.0.113." + std::to_string(h));
        if (h == 33 || h == 40 || h == 46) {
            printers28.emplace_back(std::vector<std::string>{"203.0.113." + std::to_string(h) + "/28"},
                                    lan28.name());
            emus.emplace_back(printers28.back().netns(), std::vector<std::string>{"--snmp", "*:161"});
        }
    }
    // Hosts of many addresses answer from the address asked.
    Responder all24(net24.socket(SOCK_DGRAM, 161), agent("KVRS-M2A", "1.3.6.1.4.1.64101.1.2"));
    Responder all28(rest28.socket(SOCK_DGRAM, 161), agent("KVRS-M1A", "1.3.6.1.4.1.64101.1.1"));
    emus.emplace_back(-1, std::vector<std::string>{"--snmp", "*:161"});  // the own address
    expect_only_our_interfaces({"vbr28"});

    const auto found = scan(400, 0, -1);
    EXPECT_EQ(addresses(found), want);
    EXPECT_EQ(found.size(), 253u + 13u);

    // One interface by hand: entries are host offsets from the network
    // address; the own address's entry is the skip index and has no thread.
    auto table = std::make_unique<ScanThreadTable>();
    std::memset(table.get(), 0, sizeof *table);
    int skip = 0, last = 0;
    ASSERT_EQ(getPrinterByManualScan(ip4("203.0.113.37"), ip4("255.255.255.240"), *table, &skip,
                                     &last),
              VEM_SUCCESS);
    EXPECT_EQ(skip, 5);
    EXPECT_EQ(last, 14);
    for (int n = 0; n < VEM_SCAN_TABLE_SIZE; ++n) {
        EXPECT_EQ(table->started[n], n >= 1 && n <= 14 && n != 5) << n;
        if (!table->started[n]) continue;
        void* ret = nullptr;
        pthread_join(table->th[n], &ret);
        std::unique_ptr<EthernetDeviceInfo> dev(static_cast<EthernetDeviceInfo*>(ret));
        ASSERT_TRUE(dev) << n;
        EXPECT_EQ(std::string(dev->strIpAdEntAddr), "203.0.113." + std::to_string(32 + n));
    }
    // Wider than /24: not scanned; a /32 has nothing to ask.
    std::memset(table.get(), 0, sizeof *table);
    skip = last = 0;
    EXPECT_EQ(getPrinterByManualScan(ip4("198.51.100.17"), ip4("255.255.0.0"), *table, &skip,
                                     &last),
              VEM_NO_SUPPORT);
    EXPECT_EQ(getPrinterByManualScan(ip4("198.51.100.17"), ip4("255.255.255.255"), *table, &skip,
                                     &last),
              VEM_SUCCESS);
    EXPECT_EQ(last, 0);
    for (bool s : table->started) EXPECT_FALSE(s);
}

}  // namespace
