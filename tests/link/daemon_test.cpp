// libwardlink in service mode against the real wardlinkd, each test in a
// world of its own (private /tmp, /dev/shm, /dev/log): data reaching a file
// port through the daemon, processes taking turns through it, and an
// application that ends without closing giving its slot back at unload.
#include <utility>  // the harness uses std::exchange

#include "../service/daemon_harness.h"
#include "link_test.h"

using namespace linktest;
using harness::Daemon;
using harness::wait_until;

namespace {

class ThroughDaemon : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_GE(harness::isolate(), 0);
        ASSERT_TRUE(daemon_.start());
    }
    void TearDown() override { EXPECT_EQ(daemon_.stop(), 0) << "the daemon's exit status"; }
    // The port's FIFO pair (the daemon's main pair stays while it runs).
    static bool port_pipes_present() {
        return harness::fs::exists("/tmp/cmn_intf_to_svr_tmp_wl-svc.bin") ||
               harness::fs::exists("/tmp/cmn_svr_to_intf_tmp_wl-svc.bin");
    }
    const std::string path_ = "/tmp/wl-svc.bin";
    Daemon daemon_;
};

}  // namespace

// One process: 2500 bytes in exchanges, a status exchange, the data in the file
// once the port is closed, and the port's pipes gone with its last client.
TEST_F(ThroughDaemon, SendReachesTheFile) {
    ASSERT_EQ(init_intf_type(SHARE_PORT_SVR), VEM_SUCCESS);
    ASSERT_EQ(init_file(path_.c_str(), 1), VEM_SUCCESS);
    std::string data(2500, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i % 251);
    unsigned long n = 0;
    EXPECT_EQ(intf_send_data(reinterpret_cast<unsigned char*>(data.data()), 2500, &n, 1000),
              VEM_NOLOCK);
    ASSERT_EQ(intf_lock(1000), VEM_SUCCESS);
    EXPECT_EQ(intf_send_data(reinterpret_cast<unsigned char*>(data.data()), 2500, &n, 1000),
              VEM_SUCCESS);
    EXPECT_EQ(n, 2500u);
    unsigned char cmd[] = {0x10, 0x04, 0x10};
    EXPECT_EQ(intf_send_rtc(cmd, 3, nullptr, 0, nullptr, 1000), VEM_SUCCESS);
    EXPECT_EQ(intf_reconnect(), VEM_SUCCESS);
    EXPECT_EQ(intf_unlock(), VEM_SUCCESS);
    EXPECT_EQ(init_close(), VEM_SUCCESS);
    EXPECT_TRUE(wait_until([&] { return read_file(path_).size() == 2503; }))
        << read_file(path_).size();
    EXPECT_EQ(read_file(path_).substr(0, 2500), data);
    EXPECT_TRUE(wait_until([&] { return !port_pipes_present(); })) << "slot not released";
}

// Two processes share the port through the daemon; each block lands whole.
// Neither closes: the library's unload closes for them, and the daemon then
// releases the port (its pipes go) once both have ended.
TEST_F(ThroughDaemon, TwoProcessesAndUnloadCloses) {
    constexpr int kRounds = 10, kBlock = 5000;
    auto worker = [&](char letter) {
        return [&, letter] {
            std::string block(kBlock, letter);
            auto* p = reinterpret_cast<unsigned char*>(block.data());
            unsigned long n = 0;
            if (init_intf_type(SHARE_PORT_SVR) != VEM_SUCCESS) return 1;
            if (init_file(path_.c_str(), 1) != VEM_SUCCESS) return 2;
            for (int i = 0; i < kRounds; ++i) {
                if (intf_lock(10000) != VEM_SUCCESS) return 3;
                if (intf_send_data(p, kBlock, &n, 1000) != VEM_SUCCESS || n != kBlock) return 4;
                if (intf_unlock() != VEM_SUCCESS) return 5;
            }
            return 0;  // no init_close: the unload step does it
        };
    };
    const pid_t a = spawn(worker('a')), b = spawn(worker('b'));
    EXPECT_EQ(reap(a), 0);
    EXPECT_EQ(reap(b), 0);
    EXPECT_TRUE(wait_until([&] { return !port_pipes_present(); }))
        << "exited clients still hold their slot";
    const std::string all = read_file(path_);
    ASSERT_EQ(all.size(), 2u * kRounds * kBlock);
    for (std::size_t at = 0; at < all.size(); at += kBlock)
        ASSERT_GE(all.find_first_not_of(all[at], at), at + kBlock) << "block split at " << at;
    EXPECT_EQ(sem_value(file_sem_name(path_)), 1) << "the lock is free";
}

// The command-line tool in service mode: a file sent through the daemon.
TEST_F(ThroughDaemon, ToolSendsThroughTheDaemon) {
    const std::string in = "/tmp/wl-in.bin";
    { std::ofstream(in, std::ios::binary) << std::string(3000, 'q'); }
    const pid_t pid = ::fork();
    if (pid == 0) {
        const std::string port = "file:" + path_;
        ::execl(WARDLINK_TOOL, "wardlink", "--service", "send", port.c_str(), in.c_str(),
                static_cast<char*>(nullptr));
        _exit(127);
    }
    EXPECT_EQ(reap(pid), 0);
    EXPECT_TRUE(wait_until([&] { return read_file(path_) == std::string(3000, 'q'); }));
}
