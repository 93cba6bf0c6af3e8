// The parallel port against the library's build of the drivers (one slot),
// with the fake ppdev port (tools/fakeppdev) preloaded: CTest starts this
// binary with LD_PRELOAD, as later tests start the daemon.  The fake's trace
// shows every request the driver made; the emulated printer's events show
// what reached the paper.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "VEMPAR.h"
#include "VEMPortOps.h"

namespace {

constexpr char kDevice[] = "/dev/fakeparport0";  // exists only for the fake

using Clock = std::chrono::steady_clock;
long ms_since(Clock::time_point t0) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

std::string read_file(const std::filesystem::path& path) {
    std::ostringstream ss;
    ss << std::ifstream(path, std::ios::binary).rdbuf();
    return ss.str();
}

class ParallelPort : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.empty());
        ::setenv("FAKEPPDEV_DEVICE", kDevice, 1);
        ::setenv("FAKEPPDEV_TRACE", (dir_ + "/trace").c_str(), 1);
        ::setenv("FAKEPPDEV_CONTROL", (dir_ + "/control").c_str(), 1);
        ::setenv("FAKEPPDEV_OUT", (dir_ + "/out").c_str(), 1);
    }
    void TearDown() override {
        init_buf_par();
        char name[VEM_SEM_NAME_SIZE];
        if (compose_port_sem_name(name, VEM_PAR_SEM_TEMPLATE, kDevice)) ::sem_unlink(name);
        std::filesystem::remove_all(dir_);
    }
    // Replaces the fake's steering (a new file each time, so it is re-read).
    void control(const std::string& text) const {
        const std::string tmp = dir_ + "/control.new";
        std::ofstream(tmp) << text;
        std::filesystem::rename(tmp, dir_ + "/control");
    }
    // The requests traced since the last call, one per element.
    std::vector<std::string> requests() {
        const std::string all = read_file(dir_ + "/trace");
        std::vector<std::string> lines;
        std::istringstream in(all.substr(std::min(seen_, all.size())));
        for (std::string l; std::getline(in, l);) lines.push_back(l);
        seen_ = all.size();
        return lines;
    }
    // The requests without the handshake around each byte (status reads,
    // strobe pulses).
    std::vector<std::string> data_requests() {
        std::vector<std::string> r;
        for (auto& l : requests())
            if (!l.starts_with("PPRSTATUS") && !l.starts_with("PPFCONTROL")) r.push_back(l);
        return r;
    }
    // Everything the emulated printer noticed, one JSON object a line.
    std::string events() const {
        std::string all;
        for (const auto& e : std::filesystem::directory_iterator(dir_ + "/out"))
            if (e.path().string().ends_with(".events.jsonl")) all += read_file(e.path());
        return all;
    }
    static int send(std::string data, unsigned long limit, unsigned long* sent) {
        *sent = 99;
        return send_data_pra(0, reinterpret_cast<unsigned char*>(data.data()),
                             static_cast<int>(data.size()), sent, limit);
    }

    char tmpl_[24] = "/tmp/vemparXXXXXX";
    std::string dir_ = ::mkdtemp(tmpl_) ? tmpl_ : "";
    std::size_t seen_ = 0;
};

}  // namespace

// Open claims the port; a send puts each byte, in order, on the data lines
// with one PPWDATA, once the printer is not busy, and strobes it; what the
// printer got is printed; close releases the port and closes the node.
TEST_F(ParallelPort, SendIsOneRequestPerByte) {
    ASSERT_EQ(init_port_pra(0, kDevice), VEM_SUCCESS);
    char expect[VEM_SEM_NAME_SIZE];
    ASSERT_TRUE(compose_port_sem_name(expect, VEM_PAR_SEM_TEMPLATE, kDevice));
    EXPECT_STREQ(g_semParallelName[0], expect);
    EXPECT_EQ(requests(), (std::vector<std::string>{"open /dev/fakeparport0", "PPCLAIM"}));
    unsigned long n = 0;
    ASSERT_EQ(send("\x1B@\n", 100, &n), VEM_SUCCESS);
    EXPECT_EQ(n, 3U);
    std::vector<std::string> expect_sent;
    for (const char* b : {"1B", "40", "0A"})
        for (std::string l :
             {"PPRSTATUS 98", "PPWDATA ", "PPFCONTROL 01/01 strobe", "PPFCONTROL 01/00"})
            expect_sent.push_back(l == "PPWDATA " ? l + b : l);
    EXPECT_EQ(requests(), expect_sent);
    ASSERT_EQ(send("PAR OK\n\x1DV\x01", 100, &n), VEM_SUCCESS);
    close_port_pra(0);
    EXPECT_EQ(requests().back(), "close");
    EXPECT_TRUE(!g_PortHandle[0] && !getParallelSemaphore(0) && g_semParallelName[0][0] == '\0');
    const std::string ev = events();
    EXPECT_NE(ev.find("\"text\":\"PAR OK\""), std::string::npos) << ev;
    EXPECT_NE(ev.find("\"kind\":\"cut\""), std::string::npos) << ev;
}

// A byte the port refuses is tried again until the limit, then the send
// fails with nothing reported sent; retries pause instead of spinning.  A
// port that takes the byte after a few refusals gets each byte once.  A
// printer that stays busy is never handed a byte and times the send out.
TEST_F(ParallelPort, FailingWriteTimesOut) {
    ASSERT_EQ(init_port_pra(0, kDevice), VEM_SUCCESS);
    requests();
    control("fail PPWDATA\n");
    unsigned long n = 0;
    const auto t0 = Clock::now();
    EXPECT_EQ(send("AB", 200, &n), VEM_ILLEGAL);
    const long took = ms_since(t0);
    EXPECT_EQ(n, 0U);
    EXPECT_GE(took, 200);
    EXPECT_LT(took, 1500);
    const auto tries = data_requests();
    EXPECT_TRUE(tries.size() > 1 && tries.size() < 400) << tries.size() << " tries";
    for (const auto& t : tries) EXPECT_EQ(t, "PPWDATA = EIO");

    control("fail PPWDATA 2\n");
    EXPECT_EQ(send("AB", 1000, &n), VEM_SUCCESS);
    EXPECT_EQ(n, 2U);
    EXPECT_EQ(data_requests(), (std::vector<std::string>{"PPWDATA = EIO", "PPWDATA = EIO",
                                                         "PPWDATA 41", "PPWDATA 42"}));

    control("busy on\n");
    EXPECT_EQ(send("C", 200, &n), VEM_ILLEGAL);
    EXPECT_EQ(n, 0U);
    for (const auto& r : requests()) EXPECT_EQ(r, "PPRSTATUS 18");
    control("");
    EXPECT_EQ(send("D", 200, &n), VEM_SUCCESS);
    close_port_pra(0);
    const std::string ev = events();
    EXPECT_EQ(ev.find("\"text\":\"C"), std::string::npos) << ev;
    EXPECT_NE(ev.find("\"text\":\"ABD\""), std::string::npos) << ev;
}

// A receive sets ECP mode and reverse direction, reads one byte per PPRDATA
// (here the printer's answer to a status request), and sets the direction
// forward again, also when the printer answers too little.  The next send
// then reaches the printer.
TEST_F(ParallelPort, ReceiveRestoresDirection) {
    ASSERT_EQ(init_port_pra(0, kDevice), VEM_SUCCESS);
    unsigned long n = 0;
    control("condition paper-end\n");
    ASSERT_EQ(send(std::string("\x10\x04\x10", 3), 100, &n), VEM_SUCCESS);
    requests();
    unsigned char buf[10] = {};
    ASSERT_EQ(receive_data_pra(0, buf, 6, &n, 500), VEM_SUCCESS);
    EXPECT_EQ(n, 6U);
    EXPECT_EQ(std::vector<unsigned char>(buf, buf + 6),
              (std::vector<unsigned char>{0x00, 0x00, 0x00, 0x60, 0x00, 0x00}));
    auto r = requests();
    ASSERT_EQ(r.size(), 9U);
    EXPECT_EQ(r.front(), "PPSETMODE 16");
    EXPECT_EQ(r[1], "PPDATADIR 255");
    EXPECT_EQ(r.back(), "PPDATADIR 0");

    control("read 01 02 03 04\n");
    const auto t0 = Clock::now();
    EXPECT_EQ(receive_data_pra(0, buf, 10, &n, 200), VEM_ILLEGAL);
    EXPECT_GE(ms_since(t0), 200);
    EXPECT_EQ(n, 0U);
    r = requests();
    EXPECT_EQ(std::count(r.begin(), r.end(), "PPRDATA 04"), 1);
    EXPECT_EQ(r.back(), "PPDATADIR 0") << "direction left reversed";

    control("fail PPDATADIR 1\n");
    EXPECT_EQ(receive_data_pra(0, buf, 1, &n, 100), VEM_ILLEGAL);
    EXPECT_EQ(requests().back(), "PPDATADIR = EIO");
    EXPECT_EQ(send("x", 100, &n), VEM_SUCCESS);
    EXPECT_EQ(requests(), (std::vector<std::string>{"PPRSTATUS 98", "PPWDATA 78",
                                                    "PPFCONTROL 01/01 strobe", "PPFCONTROL 01/00"}))
        << "the byte must reach the printer";
}

// A refused claim or release never leaves the descriptor in the slot: the
// port can be opened again at once.  Parking keeps the semaphore; reconnect
// claims again.  Park and reconnect go through the port table's row.
TEST_F(ParallelPort, ClaimAndReleaseFailures) {
    const PortOps* ops = port_ops(INTF_PARRALLEL);
    ASSERT_TRUE(ops != nullptr && ops->kind == INTF_PARRALLEL && ops->rts == nullptr);
    PortParams p;
    std::snprintf(p.szName, sizeof p.szName, "%s", kDevice);
    control("fail PPCLAIM 1\n");
    EXPECT_EQ(ops->open(0, p), VEM_NODEVICE);
    EXPECT_TRUE(!g_PortHandle[0] && !getParallelSemaphore(0));
    EXPECT_EQ(requests().back(), "close") << "descriptor kept after a refused claim";
    ASSERT_EQ(ops->open(0, p), VEM_SUCCESS);
    sem_t* sem = ops->semaphore(0);

    control("fail PPRELEASE 1\n");
    EXPECT_EQ(close_pra_handle(0), 0);
    EXPECT_FALSE(g_PortHandle[0]);
    EXPECT_EQ(requests().back(), "close");
    ops->park(0);
    EXPECT_TRUE(requests().empty()) << "nothing to close";
    unsigned long n = 0;
    EXPECT_EQ(send("x", 100, &n), VEM_NOINIT);

    control("fail open 1\n");
    EXPECT_EQ(ops->reconnect(0, p), VEM_NODEVICE);
    EXPECT_TRUE(!g_PortHandle[0] && getParallelSemaphore(0) == sem) << "parking keeps the lock";
    ASSERT_EQ(ops->reconnect(0, p), VEM_SUCCESS);
    EXPECT_EQ(requests().back(), "PPCLAIM");
    unsigned char b = 'z';
    EXPECT_EQ(ops->send(0, &b, 1, &n, 100), VEM_SUCCESS);
    EXPECT_EQ(data_requests(), std::vector<std::string>{"PPWDATA 7A"});
    ops->close(0);
    EXPECT_EQ(requests(), (std::vector<std::string>{"PPRELEASE", "close"}));
}

// A path too long for the semaphore name is refused before anything is
// opened (the longest one that fits works); a second open of the slot, a missing node and slots outside
// [0, PORT_SLOT_MAX) are refused too.
TEST_F(ParallelPort, Refusals) {
    const std::string too_long = "/dev/" + std::string(VEM_PAR_PATH_MAX - 4, 'p');
    ::setenv("FAKEPPDEV_DEVICE", too_long.c_str(), 1);
    EXPECT_EQ(init_port_pra(0, too_long.c_str()), VEM_ILLEGAL);
    EXPECT_TRUE(requests().empty()) << "the node was opened";
    const std::string fits = too_long.substr(0, VEM_PAR_PATH_MAX);
    ::setenv("FAKEPPDEV_DEVICE", fits.c_str(), 1);
    ASSERT_EQ(init_port_pra(0, fits.c_str()), VEM_SUCCESS);
    EXPECT_EQ(std::strlen(g_semParallelName[0]), VEM_SEM_NAME_SIZE - 1);
    ::sem_unlink(g_semParallelName[0]);
    close_port_pra(0);
    ::setenv("FAKEPPDEV_DEVICE", kDevice, 1);
    EXPECT_EQ(init_port_pra(0, "/dev/no-such-parport"), VEM_NODEVICE);
    EXPECT_EQ(init_port_pra(0, nullptr), VEM_ILLEGAL);

    ASSERT_EQ(init_port_pra(0, kDevice), VEM_SUCCESS);
    const int fd = g_PortHandle[0].get();
    EXPECT_EQ(init_port_pra(0, kDevice), VEM_INUSED);
    EXPECT_EQ(g_PortHandle[0].get(), fd);
    unsigned char b = 0;
    unsigned long n = 0;
    EXPECT_EQ(send_data_pra(0, nullptr, 1, &n, 0), VEM_ILLEGAL);
    EXPECT_EQ(receive_data_pra(0, &b, -1, &n, 0), VEM_ILLEGAL);
    for (int idx : {-1, PORT_SLOT_MAX}) {
        EXPECT_EQ(init_port_pra(idx, kDevice), VEM_NODEVICE);
        EXPECT_EQ(reconnect_pra(idx, kDevice), VEM_ILLEGAL);
        EXPECT_EQ(connect_parallel(idx, kDevice) + close_pra_handle(idx), 0);
        EXPECT_EQ(send_data_pra(idx, &b, 1, &n, 0) + receive_data_pra(idx, &b, 1, &n, 0),
                  2 * VEM_ILLEGAL);
        EXPECT_EQ(getParallelSemaphore(idx), nullptr), close_port_pra(idx);
    }
    EXPECT_EQ(g_PortHandle[0].get(), fd);
}
