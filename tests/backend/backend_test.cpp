// The backend's own logic against a stand-in of the port-access library:
// device URIs, block delivery, the job loop's end rules, the side-channel
// status service and the device listing.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cups/sidechannel.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "VEMBackend.h"
#include "VEMCupsCommon.h"
#include "VEMFd.h"
#include "VEMLogging.h"
#include "fake_port_api.h"

namespace {

class Backend : public ::testing::Test {
  protected:
    void SetUp() override {
        fakePortApi() = FakePortApi{};
        g_uiConnect = VEM_CONN_CONNECTED;
        g_bTerminate = 0;
        g_stopSC = 0;
        g_scRunning = true;
        g_SeqNumber = 1;
        updateIdleFlag(1);
    }
};

// ---- Device URIs ----------------------------------------------------------

struct UriCase {
    int type;
    std::string uri;
    const char* opened;  // what the library was asked to open; null: refused
};

TEST_F(Backend, DeviceUrisOpenWhatTheyNameAndRefuseTheRest) {
    const std::string longTail(500, 'x');
    const std::string eth = "vemcupsintf://eth/198.51.100.7/9100/3000/";
    const UriCase cases[] = {
        {5, "vemcupsintf://usb/f1e0/0002", "usb 61920 2 -"},
        {5, "vemcupsintf://usb/F1E0/0001/SN-42", "usb 61920 1 SN-42"},
        {5, "vemcupsintf://usb/0000/0001", nullptr},
        {5, "vemcupsintf://usb/f1e0", nullptr},
        {7, "vemcupsintf://eth/198.51.100.7/9100/3000", "eth 198.51.100.7 9100 3000"},
        {7, "vemcupsintf://eth/198.51.100.7/9100", nullptr},
        {7, "vemcupsintf://eth/198.51.100.7/0/3000", nullptr},
        // baud, data bits, stop bits, parity, flow, device path
        {6, "vemcupsintf://serial/19200/8/1/none/dtrdsr/dev/ttyS0", "serial /dev/ttyS0 19200 8 0 0 1"},
        {6, "vemcupsintf://serial/9600/7/2/even/xonxoff/dev/ttyUSB0", "serial /dev/ttyUSB0 9600 7 2 2 2"},
        // parity and flow both "none": the path follows the second one
        {6, "vemcupsintf://serial/9600/8/1/none/none/dev/ttyS1", "serial /dev/ttyS1 9600 8 0 0 0"},
        {6, "vemcupsintf://serial/9600/8/3/none/none/dev/ttyS1", nullptr},
        {6, "vemcupsintf://serial/9600/8/1/mark/none/dev/ttyS1", nullptr},
        {6, "vemcupsintf://serial/9600/8/1/none/rtscts/dev/ttyS1", nullptr},
        {6, "vemcupsintf://serial/9600/8/1/none/none", nullptr},
        {6, "vemcupsintf://serial/0/8/1/none/none/dev/ttyS1", nullptr},
        // 499 characters fit the working buffer, 500 do not
        {7, eth + longTail.substr(0, 499 - eth.size()), "eth 198.51.100.7 9100 3000"},
        {7, eth + longTail.substr(0, 500 - eth.size()), nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.uri);
        fakePortApi() = FakePortApi{};
        EXPECT_EQ(connectInterface(c.type, c.uri.c_str()), c.opened ? 1 : 0);
        EXPECT_EQ(fakePortApi().opens, c.opened ? 1 : 0);
        if (c.opened) {
            EXPECT_EQ(fakePortApi().lastOpen, c.opened);
        }
    }
}

TEST_F(Backend, RefusedSerialUriSaysWhyInTheLog) {
    char path[] = "/tmp/vembe-log-XXXXXX";
    vem::UniqueFd fd(::mkstemp(path));
    ASSERT_TRUE(fd);
    SetLogFileCount(1);
    SetLogLevel(31);
    ASSERT_EQ(SetLogFilename(path), 1);
    connectInterface(6, "vemcupsintf://serial/9600/8/3/none/none/dev/ttyS1");
    CancelLogFile();
    SetLogLevel(0);
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    ::unlink(path);
    EXPECT_NE(text.str().find("Serial backend stop bit(3) invalid!"), std::string::npos) << text.str();
}

// ---- Delivery -------------------------------------------------------------

std::vector<std::uint8_t> pattern(std::size_t n) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    return v;
}

TEST_F(Backend, ShortSendsDeliverTheBlockWholeAndInOrder) {
    fakePortApi().send = [](std::size_t asked, unsigned long* moved) {
        *moved = std::min<std::size_t>(asked, 1000);
        return VEM_SUCCESS;
    };
    const auto block = pattern(kBlockSize);
    std::uint32_t sent = 0;
    EXPECT_TRUE(deliverBlock(block, &sent));
    EXPECT_EQ(sent, kBlockSize);
    EXPECT_EQ(fakePortApi().printed, block);
    EXPECT_EQ(fakePortApi().lockCalls, 66);  // 65 full pieces and one of 536
    EXPECT_EQ(fakePortApi().unlockCalls, 66);
}

TEST_F(Backend, FailedSendsReconnectUnderTheLockThenGiveUpAfterTwentyTries) {
    fakePortApi().send = [](std::size_t, unsigned long* moved) {
        *moved = 0;
        return VEM_NODEVICE;
    };
    std::uint32_t sent = 0;
    EXPECT_FALSE(deliverBlock(pattern(50), &sent));
    EXPECT_EQ(sent, 0u);
    EXPECT_EQ(fakePortApi().reconnects, 20);
    EXPECT_EQ(fakePortApi().unlockCalls, 20);
}

TEST_F(Backend, ALibraryClaimingMoreThanItWasGivenCannotSkipData) {
    fakePortApi().send = [](std::size_t asked, unsigned long* moved) {
        *moved = asked + 100;
        return VEM_SUCCESS;
    };
    std::uint32_t sent = 0;
    EXPECT_TRUE(deliverBlock(pattern(300), &sent));
    EXPECT_EQ(sent, 300u);
}

// ---- The job loop ---------------------------------------------------------

struct Pipe {
    vem::UniqueFd r, w;
    Pipe() {
        int fds[2];
        EXPECT_EQ(::pipe(fds), 0);
        r.reset(fds[0]);
        w.reset(fds[1]);
    }
};

TEST_F(Backend, AnEmptyJobEndsByTheIdleRuleWithSuccess) {
    Pipe p;
    p.w.reset();
    std::uint32_t received = 99;
    EXPECT_EQ(runJob(7, "vemcupsintf://eth/198.51.100.7/9100/3000", p.r.get(), &received), 0);
    EXPECT_EQ(received, 0u);
    EXPECT_TRUE(fakePortApi().printed.empty());
}

TEST_F(Backend, AJobIsCopiedWholeThenEndsWithSuccess) {
    Pipe p;
    const auto data = pattern(200000);
    std::thread writer([&] {
        vem::write_all(p.w.get(), data);
        p.w.reset();
    });
    std::uint32_t received = 0;
    EXPECT_EQ(runJob(7, "vemcupsintf://eth/198.51.100.7/9100/3000", p.r.get(), &received), 0);
    writer.join();
    EXPECT_EQ(received, data.size());
    EXPECT_EQ(fakePortApi().printed, data);
}

TEST_F(Backend, ADroppedBlockFailsTheJobAndNothingAfterItIsSent) {
    // The printer's lock never comes for the first block; later it would.
    int calls = 0;
    fakePortApi().lock = [&calls] { return ++calls <= 20 ? VEM_LOCK_TIMEOUT : VEM_SUCCESS; };
    Pipe p;
    ASSERT_TRUE(vem::write_all(p.w.get(), std::string_view("first block")));
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        vem::write_all(p.w.get(), std::string_view("second block"));
        p.w.reset();
    });
    std::uint32_t received = 0;
    EXPECT_EQ(runJob(7, "vemcupsintf://eth/198.51.100.7/9100/3000", p.r.get(), &received), 1);
    later.join();
    EXPECT_TRUE(fakePortApi().printed.empty());
}

TEST_F(Backend, SigtermEndsTheJobAsFailed) {
    Pipe p;
    g_bTerminate = 1;
    std::uint32_t received = 0;
    EXPECT_EQ(runJob(7, "vemcupsintf://eth/198.51.100.7/9100/3000", p.r.get(), &received), 1);
}

// ---- Side channel ---------------------------------------------------------

ScAnswer ask(int type, int command, std::vector<std::uint8_t> request, int* failures = nullptr) {
    int local = 40;
    return answerSideChannel(type, command, request, failures ? failures : &local);
}

TEST_F(Backend, StatusOverEthernetCarriesTheSequenceHeaderBothWays) {
    // The printer echoes the 4-byte sequence number, then one status byte.
    fakePortApi().rtcReply = {1, 0, 0, 0, 0x12};
    const auto a = ask(7, CUPS_SC_CMD_GET_STATE, {0, 1, 0x10, 0x04, 0x10});
    EXPECT_EQ(fakePortApi().rtcSent, (std::vector<std::uint8_t>{1, 0, 0, 0, 0x10, 0x04, 0x10}));
    EXPECT_EQ(a.status, CUPS_SC_STATUS_OK);
    ASSERT_EQ(a.length, 2);
    EXPECT_EQ(a.data[0], 1);
    EXPECT_EQ(a.data[1], 0x12);
}

TEST_F(Backend, StatusOverUsbAndDataModeRequests) {
    fakePortApi().rtcReply = {0, 0, 0, 0, 0, 0x60};
    auto a = ask(5, CUPS_SC_CMD_GET_STATE, {0, 6, 0x17, 0x01, 0x10});
    EXPECT_EQ(fakePortApi().rtcSent, (std::vector<std::uint8_t>{0x17, 0x01, 0x10}));
    EXPECT_EQ(a.status, CUPS_SC_STATUS_OK);
    ASSERT_EQ(a.length, 7);
    EXPECT_EQ(a.data[6], 0x60);

    // Mode 1: the command goes as data and the reply is read back.
    fakePortApi().rtcReply = {0x12};
    a = ask(7, CUPS_SC_CMD_GET_STATE, {1, 1, 0x10, 0x04, 0x01});
    EXPECT_EQ(fakePortApi().printed, (std::vector<std::uint8_t>{0x10, 0x04, 0x01}));
    EXPECT_EQ(a.status, CUPS_SC_STATUS_OK);
    EXPECT_EQ(a.length, 2);
}

TEST_F(Backend, SideChannelRefusalsAndOtherCommands) {
    struct Row {
        const char* what;
        int type, command;
        std::vector<std::uint8_t> request;
        bool answered;
        int status, outcome;
    };
    const Row rows[] = {
        {"too short", 7, CUPS_SC_CMD_GET_STATE, {0}, true, CUPS_SC_STATUS_IO_ERROR, 4},
        {"command too long for the frame", 7, CUPS_SC_CMD_GET_STATE, {0, 6, 1, 2, 3, 4, 5, 6, 7},
         true, CUPS_SC_STATUS_IO_ERROR, 4},
        {"command too long", 5, CUPS_SC_CMD_GET_STATE, {0, 6, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11},
         true, CUPS_SC_STATUS_IO_ERROR, 4},
        {"reply too long", 5, CUPS_SC_CMD_GET_STATE, {0, 50, 0x10, 0x04, 0x10}, true,
         CUPS_SC_STATUS_IO_ERROR, 4},
        {"drain output", 5, CUPS_SC_CMD_DRAIN_OUTPUT, {}, true, CUPS_SC_STATUS_NOT_IMPLEMENTED, -1},
        {"unknown command", 5, 6, {}, false, 0, -1},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        fakePortApi() = FakePortApi{};
        const auto a = ask(r.type, r.command, r.request);
        EXPECT_EQ(a.send, r.answered);
        if (!r.answered) continue;
        EXPECT_EQ(a.status, r.status);
        if (r.outcome >= 0) {
            EXPECT_EQ(a.data[0], r.outcome);
        }
        // Nothing reaches the printer for a refused request.
        EXPECT_TRUE(fakePortApi().rtcSent.empty());
        EXPECT_TRUE(fakePortApi().printed.empty());
        EXPECT_EQ(fakePortApi().lockCalls, 0);
    }
}

TEST_F(Backend, StatusWhileReconnectingOrLockedOutAndTheConnectionMarkedBroken) {
    g_uiConnect = VEM_CONN_CONNECTING;
    auto a = ask(7, CUPS_SC_CMD_GET_STATE, {0, 1, 0x10, 0x04, 0x10});
    EXPECT_EQ(a.status, CUPS_SC_STATUS_TIMEOUT);
    EXPECT_EQ(a.length, 1);
    EXPECT_EQ(a.data[0], 0);

    g_uiConnect = VEM_CONN_CONNECTED;
    fakePortApi().lock = [] { return VEM_LOCK_TIMEOUT; };
    int failures = 40;
    for (int i = 0; i < 39; ++i) {
        a = ask(7, CUPS_SC_CMD_GET_STATE, {0, 1, 0x10, 0x04, 0x10}, &failures);
        EXPECT_EQ(a.data[0], 2);
        EXPECT_EQ(a.status, CUPS_SC_STATUS_IO_ERROR);
    }
    EXPECT_EQ(g_uiConnect, VEM_CONN_CONNECTED);
    ask(7, CUPS_SC_CMD_GET_STATE, {0, 1, 0x10, 0x04, 0x10}, &failures);
    EXPECT_EQ(g_uiConnect, VEM_CONN_BROKEN);
}

// ---- Device listing -------------------------------------------------------

EthernetDeviceInfo device(const char* descr, const char* ip) {
    EthernetDeviceInfo d{};
    std::snprintf(d.strSysDescr, sizeof d.strSysDescr, "%s", descr);
    std::snprintf(d.strSysObjectId, sizeof d.strSysObjectId, "1.3.6.1.4.1.64101.1.2");
    std::snprintf(d.strIpAdEntAddr, sizeof d.strIpAdEntAddr, "%s", ip);
    return d;
}

// Runs the listing with standard output and standard error captured.
std::pair<std::string, std::string> listing() {
    char outPath[] = "/tmp/vembe-out-XXXXXX";
    char errPath[] = "/tmp/vembe-err-XXXXXX";
    vem::UniqueFd out(::mkstemp(outPath)), err(::mkstemp(errPath));
    std::fflush(stdout);
    std::fflush(stderr);
    vem::UniqueFd savedOut(::dup(1)), savedErr(::dup(2));
    ::dup2(out.get(), 1);
    ::dup2(err.get(), 2);
    list_vem_printer();
    std::fflush(stdout);
    std::fflush(stderr);
    ::dup2(savedOut.get(), 1);
    ::dup2(savedErr.get(), 2);
    auto slurp = [](const char* path) {
        std::ifstream in(path);
        std::stringstream s;
        s << in.rdbuf();
        ::unlink(path);
        return s.str();
    };
    return {slurp(outPath), slurp(errPath)};
}

int occurrences(const std::string& text, const std::string& what) {
    int n = 0;
    for (auto pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
    return n;
}

TEST_F(Backend, ListingReportsOurUsbAndNetworkPrinters) {
    fakePortApi().usbPids = {0x0002, 0x0007};
    fakePortApi().ethDevices = {device("KVRS-M2A Receipt Printer", "198.51.100.7"),
                                device("Office laser", "198.51.100.8"),
                                device("KVRS-M1A kvrs", "198.51.100.9")};
    const auto [out, err] = listing();
    EXPECT_EQ(occurrences(out, "vemcupsintf://usb/f1e0/0002 \"KVRS-M2A: USB\""), 1) << out;
    EXPECT_EQ(occurrences(out, "vemcupsintf://usb/f1e0/0007 \"ZOLVANT USB VID:0xF1E0 PID:0x0007\""), 1)
        << out;
    EXPECT_EQ(occurrences(out, "vemcupsintf://eth/198.51.100.7/9100/3000 \"KVRS-M2A Receipt Printer: 198.51.100.7\""), 1) << out;
    EXPECT_EQ(occurrences(out, "198.51.100.8"), 0) << out;
    // Two keywords in one description: reported once per keyword.
    EXPECT_EQ(occurrences(out, "vemcupsintf://eth/198.51.100.9/9100/3000"), 2) << out;
    EXPECT_EQ(occurrences(err, "DEBUG: Printer ID: KVRS-M2A: USB, URI: vemcupsintf://usb/f1e0/0002\n"), 1)
        << err;

    struct stat st {};
    const bool serial = ::stat("/dev/ttyS0", &st) == 0;
    EXPECT_EQ(occurrences(out, "vemcupsintf://serial/19200/8/1/none/dtrdsr/dev/ttyS0 \"KVRS-M#A: /dev/ttyS0\""),
              serial ? 1 : 0);
    EXPECT_EQ(occurrences(err, "ttyS0"), 0);
}

}  // namespace
