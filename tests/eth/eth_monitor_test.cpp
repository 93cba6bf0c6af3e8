// The idle monitor, in real time (about 40 s): a connection that carried
// nothing for more than 30 s is reopened, but only once nobody holds the
// port's semaphore.  Library build (1 slot).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "VEMETH.h"
#include "netlab.h"

namespace {

using vem::UniqueFd;
using namespace std::chrono_literals;

TEST(EthMonitor, ReconnectsIdlePortOnlyWhileUnheld) {
    ASSERT_TRUE(netlab::enter_private_net());
    const char* ip = "127.0.0.30";
    char tmpl[] = "/tmp/vemmonXXXXXX";
    const std::string dir = ::mkdtemp(tmpl);
    SetLogLevel(31);
    SetLogFileCount(2);
    ASSERT_EQ(SetLogFilename((dir + "/eth.log").c_str()), 1);

    UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(9100);
    ::inet_pton(AF_INET, ip, &a.sin_addr);
    ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(listener.get(), 8), 0);
    netlab::Emulator agent(-1, {"--snmp", std::string(ip) + ":161"});

    // Every connection the driver makes is accepted and kept here.
    std::vector<UniqueFd> conns;
    std::mutex m;
    std::atomic<bool> stop{false};
    std::thread acceptor([&] {
        while (!stop) {
            pollfd p{listener.get(), POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            std::lock_guard<std::mutex> g(m);
            conns.emplace_back(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        }
    });
    auto connections = [&] {
        std::lock_guard<std::mutex> g(m);
        return conns.size();
    };

    ASSERT_EQ(init_port_eth(0, ip, 9100, 0), VEM_SUCCESS);
    sem_t* sem = getNetworkSemaphore(0);
    ASSERT_EQ(lock_sem(sem, 0), VEM_SUCCESS);
    std::this_thread::sleep_for(36s);
    EXPECT_EQ(connections(), 1u) << "reconnected while the port was held";
    ASSERT_EQ(unlock_sem(sem), VEM_SUCCESS);
    for (int i = 0; i < 60 && connections() < 2; ++i) std::this_thread::sleep_for(100ms);
    EXPECT_EQ(connections(), 2u) << "no reconnection once the port was free";
    {
        // The old connection was closed by the reopen.
        std::lock_guard<std::mutex> g(m);
        char b;
        pollfd p{conns[0].get(), POLLIN, 0};
        EXPECT_TRUE(::poll(&p, 1, 1000) == 1 && ::read(conns[0].get(), &b, 1) == 0);
    }
    std::this_thread::sleep_for(3s);
    EXPECT_EQ(connections(), 2u) << "the reopen counts as traffic";

    EXPECT_LT(netlab::elapsed_ms([] { stop_TCP_monitoring(); }), 1500);
    stop_TCP_monitoring();  // a second stop is harmless
    close_port_eth(0);
    stop = true;
    acceptor.join();
    CancelLogFile();

    std::stringstream log;
    log << std::ifstream(dir + "/eth.log").rdbuf();
    EXPECT_NE(log.str().find("Found interface(0) idle > 3"), std::string::npos);
    EXPECT_NE(log.str().find("Reconnect(0) success"), std::string::npos);
    ::sem_unlink((std::string("/cmn_share_interface_ethernet_sem_") + ip + "__").c_str());
    std::filesystem::remove_all(dir);
}

}  // namespace
