// The USB port against the fake USB bus (tools/fakeusb) linked in place of
// libusb.  Built twice: against the library's build of the drivers (one slot)
// and the daemon's (50 slots); the sections for one build only say so.
#include <gtest/gtest.h>
#include <semaphore.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "VEMUSB.h"
#include "fakeusb.h"

namespace {

constexpr int kVid = 0xF1E0;
const char* const kSems[] = {"/cmn_share_interface_usb_sem_f1e0_0001__",
                             "/cmn_share_interface_usb_sem_f1e0_0002__"};

std::string hex(const unsigned char* p, std::size_t n) {
    std::string s;
    char b[4];
    for (std::size_t i = 0; i < n; ++i)
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", p[i]), s += b;
    return s;
}

// Lines of the fake's journal that begin with one of `words`, joined by '|'.
std::string story(std::initializer_list<std::string_view> words) {
    std::istringstream in(fakeusb::journal());
    std::string line, out;
    while (std::getline(in, line))
        for (auto w : words)
            if (line.compare(0, w.size() + 1, std::string(w) + " ") == 0)
                out += (out.empty() ? "" : "|") + line;
    return out;
}

class UsbPortTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(fakeusb_active()) << "the real libusb answers, not the fake";
        ASSERT_FALSE(dir_.empty());
        SetLogLevel(31);  // every line, so that every format is exercised
        SetLogFileCount(2);
        SetLogFilename((dir_ + "/usb.log").c_str());
        init_buf_usb();
    }
    void TearDown() override {
        for (int i = 0; i < PORT_SLOT_MAX; ++i) close_port_usb(i);
        if constexpr (PORT_SLOT_MAX > 1) {  // the daemon releases libusb when it stops
            if (g_bInitLib == 1) libusb_exit(nullptr), g_bInitLib = 0;
        }
        EXPECT_EQ(fakeusb_open_handles(), 0);
        EXPECT_EQ(fakeusb_context_refs(), 0);
        EXPECT_EQ(story({"misuse", "config-error"}), "");
        fakeusb_reset();
        CancelLogFile();
        for (const char* s : kSems) ::sem_unlink(s);
        std::filesystem::remove_all(dir_);
    }
    static void bus(const std::string& text) {
        char err[200] = "";
        ASSERT_EQ(fakeusb_configure(text.c_str(), err, sizeof err), 0) << err;
    }
    static int send(int idx, std::string data, unsigned long* n, unsigned long timeout = 500) {
        return send_data_usb(idx, reinterpret_cast<unsigned char*>(data.data()),
                             static_cast<int>(data.size()), n, timeout);
    }
    std::string log() const {
        std::ostringstream ss;
        ss << std::ifstream(dir_ + "/usb.log").rdbuf();
        return ss.str();
    }
    char tmpl_[24] = "/tmp/vemusbXXXXXX";
    std::string dir_ = ::mkdtemp(tmpl_) ? tmpl_ : "";
};

// One suite name per build, so that the two binaries' tests differ in CTest.
#if PORT_SLOT_MAX == 1
class UsbLib : public UsbPortTest {};
#define UsbPort UsbLib
#else
class UsbSvc : public UsbPortTest {};
#define UsbPort UsbSvc
#endif

}  // namespace

// The first endpoint of each kind in interface, alternate-setting and
// endpoint order is the one used; interrupt OUT, isochronous and control
// endpoints are ignored; the interface claimed is the endpoint's own.
TEST_F(UsbPort, EndpointDiscovery) {
    struct Case {
        const char* endpoints;
        std::uint8_t in, out, hid;
        int out_iface;
    } cases[] = {
        {"81/bulk,82/bulk,02/bulk,03/bulk,83/int", 0x81, 0x02, 0x83, 0},
        {"1.0:84/bulk,0.0:02/bulk,0.0:81/bulk", 0x81, 0x02, 0, 0},
        {"0.1:85/bulk,0.0:81/bulk,1.0:04/bulk", 0x81, 0x04, 0, 1},
        {"03/int,86/iso,84/int,85/bulk,07/bulk", 0x85, 0x07, 0x84, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.endpoints);
        bus(std::string("device p2 endpoints=") + c.endpoints);
        ASSERT_EQ(init_port_usb(0, kVid, 2, nullptr), VEM_SUCCESS);
        EXPECT_EQ(g_endpoint[0][EP_BULK_IN].byEP, c.in);
        EXPECT_EQ(g_endpoint[0][EP_BULK_OUT].byEP, c.out);
        EXPECT_EQ(g_endpoint[0][EP_HID_IN].byEP, c.hid);
        unsigned long n = 0;
        fakeusb_clear_journal();
        EXPECT_TRUE(send(0, "ab", &n) == VEM_SUCCESS && n == 2);
        EXPECT_EQ(story({"claim"}), "claim p2 if=" + std::to_string(c.out_iface) + " -> 0");
        close_port_usb(0);
    }
    // Without a bulk OUT endpoint the port is open but takes no data (and
    // endpoint 0, the control pipe, is never written to).
    bus("device p2 endpoints=81/bulk,83/int");
    ASSERT_EQ(init_port_usb(0, kVid, 2, nullptr), VEM_SUCCESS);
    unsigned long n = 99;
    fakeusb_clear_journal();
    EXPECT_EQ(send(0, "ab", &n), VEM_NOINIT);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(story({"bulk-out"}), "");
}

// The setup packet of a status request: bRequest, wValue and wIndex come from
// the command bytes present (0, 2, 3, 5 or more); wLength from the reply
// size.  *pdwRead is what the device answered.
TEST_F(UsbPort, StatusRequestSetupPacket) {
    bus("device p1 pid=1 conditions=paper-end");
    ASSERT_EQ(init_port_usb(0, kVid, 1, nullptr), VEM_SUCCESS);
    const std::string paper_end = "00 00 00 60 00 00";
    struct Case {
        std::vector<unsigned char> cmd;
        int nReturn;
        bool reply_buffer;
        const char* setup;  // as the fake saw it, with its result
        std::string reply;
    } cases[] = {
        {{}, 6, true, "C1 00 0000 0000 0006 -> -9", ""},
        {{0x10, 0x04}, 6, true, "C1 10 0000 0000 0006 -> -9", ""},
        {{0x10, 0x00, 0x04}, 1, true, "C1 10 0004 0000 0001 -> -9", ""},
        {{0x10, 0x04, 0x10}, 6, true, "C1 10 0410 0000 0006 -> 6", paper_end},
        {{0x17, 0x01, 0x10, 0, 0}, 6, true, "C1 17 0110 0000 0006 -> 6", paper_end},
        {{0x10, 0x04, 0x10, 0x12, 0x34, 0x56}, 6, true, "C1 10 0410 1234 0006 -> 6", paper_end},
        {{0x10, 0x04, 0x10}, 3, true, "C1 10 0410 0000 0003 -> 3", "00 00 00"},
        {{0x10, 0x04, 0x10}, 6, false, "C1 10 0410 0000 0000 -> 0", ""},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.setup);
        fakeusb_clear_journal();
        unsigned char ret[8];
        std::memset(ret, 0xEE, sizeof ret);
        unsigned long got = 99;
        EXPECT_EQ(rts_data_usb(0, c.cmd.data(), static_cast<int>(c.cmd.size()),
                               c.reply_buffer ? ret : nullptr, c.nReturn, &got, 500),
                  VEM_SUCCESS);
        EXPECT_EQ(story({"control"}), std::string("control p1 ") + c.setup);
        EXPECT_EQ(hex(ret, got), c.reply);
        EXPECT_EQ(story({"claim", "release"}), "claim p1 if=0 -> 0|release p1 if=0 -> 0");
    }
}

// A status reply is reported as long as it arrived: a short answer leaves the
// rest of the caller's buffer alone and unreported; no answer at all (time-out,
// offline printer) reports nothing.
TEST_F(UsbPort, StatusReplyShortOrMissing) {
    unsigned char cmd[] = {0x10, 0x04, 0x10};
    for (const char* fault : {"status-limit=2", "timeout=ctrl", "conditions=offline"}) {
        SCOPED_TRACE(fault);
        bus(std::string("device p2 conditions=cover-open ") + fault);
        ASSERT_EQ(init_port_usb(0, kVid, 2, ""), VEM_SUCCESS);
        unsigned char ret[6] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
        unsigned long got = 99;
        EXPECT_EQ(rts_data_usb(0, cmd, 3, ret, 6, &got, 30), VEM_SUCCESS);
        const bool limited = std::string(fault) == "status-limit=2";
        EXPECT_EQ(hex(ret, 6), limited ? "00 04 EE EE EE EE" : "EE EE EE EE EE EE");
        EXPECT_EQ(got, limited ? 2u : 0u);
        close_port_usb(0);
    }
}

// Discovery counts every device of the vendor and stores the product IDs of
// as many as there is room for, in bus order; other vendors are left out.
// The scan takes and releases a libusb reference of its own.
TEST_F(UsbPort, ScanMoreDevicesThanRoom) {
    bus("device a pid=1\ndevice x vid=0x1234 pid=7\ndevice b pid=2\ndevice c pid=2 serial=C");
    int pids[3] = {-1, -1, -1};
    unsigned count = 99;
    EXPECT_EQ(scan_usb(kVid, pids, 2, &count), VEM_SUCCESS);
    EXPECT_EQ(count, 3u);
    EXPECT_TRUE(pids[0] == 1 && pids[1] == 2 && pids[2] == -1) << pids[0] << pids[1] << pids[2];
    EXPECT_EQ(scan_usb(0x4321, pids, 3, &count), VEM_SUCCESS);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(story({"init", "exit"}), "init refs=1|exit refs=0|init refs=1|exit refs=0");
}

// A kernel printer driver holding the interface is detached before the first
// transfer, once; the port never attaches it again, not even when closed.
TEST_F(UsbPort, KernelDriverDetachedOnce) {
    bus("device p2 kernel=1");
    ASSERT_EQ(init_port_usb(0, kVid, 2, nullptr), VEM_SUCCESS);
    EXPECT_EQ(story({"detach", "claim"}), "") << "nothing is claimed before a transfer";
    unsigned long n = 0;
    ASSERT_EQ(send(0, "A", &n), VEM_SUCCESS);
    EXPECT_EQ(g_bDetachDriver[0], 0) << "cleared with the release";
    ASSERT_EQ(send(0, "B", &n), VEM_SUCCESS);
    close_port_usb(0);
    EXPECT_EQ(story({"kernel-active", "detach", "attach", "claim", "release", "bulk-out"}),
              "kernel-active p2 if=0 -> 1|detach p2 if=0 -> 0|claim p2 if=0 -> 0|"
              "bulk-out p2 ep=02 len=1 done=1 -> 0|release p2 if=0 -> 0|"
              "kernel-active p2 if=0 -> 0|claim p2 if=0 -> 0|"
              "bulk-out p2 ep=02 len=1 done=1 -> 0|release p2 if=0 -> 0");
}

// A kernel driver that will not go, or an interface somebody else holds: no
// transfer; send says why, receive and status report nothing received (the
// caller's counts are written, never left stale).
TEST_F(UsbPort, ClaimRefused) {
    for (const char* fault : {"kernel=1 detach=access", "claim=busy"}) {
        SCOPED_TRACE(fault);
        bus(std::string("device p2 ") + fault);
        ASSERT_EQ(init_port_usb(0, kVid, 2, nullptr), VEM_SUCCESS);
        unsigned char buf[6], cmd[] = {0x10, 0x04, 0x10};
        unsigned long sent = 99, got = 99, read = 99;
        EXPECT_EQ(send(0, "A", &sent), VEM_ILLEGAL);
        EXPECT_EQ(receive_data_usb(0, buf, 6, &got, 10), VEM_SUCCESS);
        EXPECT_EQ(rts_data_usb(0, cmd, 3, buf, 6, &read, 10), VEM_SUCCESS);
        EXPECT_EQ(sent + got + read, 0u);
        EXPECT_EQ(story({"bulk-out", "bulk-in", "control"}), "");
        close_port_usb(0);
    }
}

// A printer unplugged between two transfers: the send reports the device
// gone (the daemon's worker reconnects on that), receives report nothing;
// reconnecting fails until it is back, then data flows again.
TEST_F(UsbPort, UnpluggedBetweenTransfers) {
    bus("device p2 serial=S1");
    ASSERT_EQ(init_port_usb(0, kVid, 2, "S1"), VEM_SUCCESS);
    unsigned long n = 0;
    ASSERT_EQ(send(0, "AB", &n), VEM_SUCCESS);
    bus("device p2 serial=S1 present=0");
    unsigned char buf[4];
    unsigned long got = 99;
    EXPECT_EQ(send(0, "CD", &n), VEM_NODEVICE);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(receive_data_usb(0, buf, 4, &got, 10), VEM_SUCCESS);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(reconnect_usb(0, kVid, 2, "S1"), VEM_NODEVICE);
    EXPECT_FALSE(g_UsbHandle[0]) << "a failed reconnect leaves the port parked";
    EXPECT_NE(getUsbSemaphore(0), nullptr);
    bus("device p2 serial=S1 present=1");
    ASSERT_EQ(reconnect_usb(0, kVid, 2, "S1"), VEM_SUCCESS);
    EXPECT_TRUE(send(0, "EF", &n) == VEM_SUCCESS && n == 2);
    EXPECT_EQ(fakeusb::received("p2"), "ABEF");
}

// Transfers that end early: a receive that times out or gets part of what
// was asked for reports what came; a send the device stops taking part way
// reports what went out.
TEST_F(UsbPort, PartialTransfers) {
    bus("device p2 out-limit=3 in=01020304");
    ASSERT_EQ(init_port_usb(0, kVid, 2, nullptr), VEM_SUCCESS);
    unsigned char buf[10];
    unsigned long got = 99, sent = 99;
    EXPECT_EQ(receive_data_usb(0, buf, 10, &got, 50), VEM_SUCCESS);
    EXPECT_EQ(hex(buf, got), "01 02 03 04");
    EXPECT_EQ(receive_data_usb(0, buf, 10, &got, 20), VEM_SUCCESS);
    EXPECT_EQ(got, 0u) << "a time-out without data";
    EXPECT_EQ(send(0, "ABCDE", &sent, 20), VEM_SUCCESS);
    EXPECT_EQ(sent, 3u);
    EXPECT_EQ(fakeusb::received("p2"), "ABC");
}

// What a USB job prints reaches the emulator: its events and picture are
// written when the port lets the device go, and a status request inside the
// data is answered on bulk IN.
TEST_F(UsbPort, JobReachesEmulator) {
    bus("output " + dir_ + "\ndevice p1 pid=1 conditions=cover-open");
    ASSERT_EQ(init_port_usb(0, kVid, 1, nullptr), VEM_SUCCESS);
    unsigned long n = 0, got = 0;
    ASSERT_EQ(send(0, "\x1b@HELLO\n\x10\x04\x10", &n), VEM_SUCCESS);
    unsigned char buf[8];
    EXPECT_EQ(receive_data_usb(0, buf, 8, &got, 500), VEM_SUCCESS);
    EXPECT_EQ(hex(buf, got), "00 04 00 00 00 00");
    ASSERT_EQ(send(0, std::string("\x1dV\x00", 3), &n), VEM_SUCCESS);
    close_port_usb(0);
    const std::string jobs = story({"job"});
    EXPECT_NE(jobs.find(".events.jsonl"), std::string::npos) << jobs;
    EXPECT_NE(jobs.find("-r01.png"), std::string::npos) << jobs;
}

// Closing never removes the port's semaphore: a lock another process holds
// stays held for the next opener of the printer.
TEST_F(UsbPort, CloseKeepsSemaphore) {
    bus("device p2");
    ASSERT_EQ(init_port_usb(0, kVid, 2, nullptr), VEM_SUCCESS);
    EXPECT_STREQ(g_semUsbName[0], kSems[1]);
    UniqueSem other(create_semaphore(kSems[1]));  // as another process holds it
    ASSERT_EQ(lock_sem(other.get(), 0), VEM_SUCCESS);
    close_port_usb(0);
    ASSERT_EQ(init_port_usb(0, kVid, 2, nullptr), VEM_SUCCESS);
    EXPECT_EQ(islock_sem(getUsbSemaphore(0)), VEM_ALREADY_LOCK);
    EXPECT_EQ(unlock_sem(other.get()), VEM_SUCCESS);
}

// Serial numbers choose among identical printers; none given takes the
// first.  Bad requests are refused before anything is opened.
TEST_F(UsbPort, SerialNumberChoosesDevice) {
    bus("device a serial=A1\ndevice b serial=B2");
    unsigned long n = 0;
    for (auto [serial, device] : {std::pair{"B2", "b"}, {"", "a"}, {nullptr, "a"}}) {
        ASSERT_EQ(init_port_usb(0, kVid, 2, serial), VEM_SUCCESS);
        EXPECT_STREQ(g_szUsbSerial[0], device == std::string("a") ? "A1" : "B2");
        ASSERT_EQ(send(0, "x", &n), VEM_SUCCESS);
        EXPECT_EQ(fakeusb::received(device), "x");
        close_port_usb(0);
        fakeusb_reset(), bus("device a serial=A1\ndevice b serial=B2");
    }
    EXPECT_EQ(init_port_usb(0, kVid, 2, "C3"), VEM_NODEVICE);
    EXPECT_EQ(init_port_usb(0, kVid, 2, std::string(VEM_USB_SERIAL_SIZE, 'S').c_str()),
              VEM_ILLEGAL);
    EXPECT_EQ(init_port_usb(0, 0x1F1E0, 2, nullptr), VEM_ILLEGAL);
    EXPECT_EQ(init_port_usb(0, kVid, -1, nullptr), VEM_ILLEGAL);
    EXPECT_FALSE(g_UsbHandle[0] || getUsbSemaphore(0));
}

// Never opened, or outside the slots: refused, and every count written.
TEST_F(UsbPort, ClosedOrInvalidSlot) {
    unsigned char b[6] = {0x10, 0x04, 0x10};
    unsigned long n = 99, got = 99, read = 99;
    EXPECT_EQ(send_data_usb(0, b, 1, &n, 10), VEM_NOINIT);
    EXPECT_EQ(receive_data_usb(0, b, 6, &got, 10), VEM_SUCCESS);
    EXPECT_EQ(rts_data_usb(0, b, 3, b, 6, &read, 10), VEM_SUCCESS);
    EXPECT_EQ(n + got + read, 0u);
    EXPECT_EQ(send_data_usb(0, b, 1, nullptr, 10), VEM_ILLEGAL);
    for (int idx : {-1, PORT_SLOT_MAX}) {
        EXPECT_EQ(init_port_usb(idx, kVid, 2, nullptr), VEM_ILLEGAL);
        EXPECT_EQ(connect_usb(idx, kVid, 2) + reconnect_usb(idx, kVid, 2, ""), 2 * VEM_NODEVICE);
        EXPECT_EQ(send_data_usb(idx, b, 1, &n, 0) + receive_data_usb(idx, b, 1, &n, 0) +
                      rts_data_usb(idx, b, 3, b, 6, &n, 0) + check_b4_usb_driver(idx, 0),
                  4 * VEM_ILLEGAL);
        EXPECT_EQ(getUsbSemaphore(idx), nullptr);
        close_usb_handle(idx), close_port_usb(idx), check_after_usb_driver(idx, 0);
    }
}

#if PORT_SLOT_MAX == 1
// The library releases libusb when its port closes, also after a failed
// open; a later scan takes and releases it on its own.
TEST_F(UsbPort, LibraryReleasesLibusbOnClose) {
    bus("device p2");
    EXPECT_EQ(init_port_usb(0, kVid, 1, nullptr), VEM_NODEVICE);
    EXPECT_EQ(fakeusb_context_refs(), 0);
    ASSERT_EQ(init_port_usb(0, kVid, 2, nullptr), VEM_SUCCESS);
    EXPECT_EQ(fakeusb_context_refs(), 1);
    unsigned count = 0;
    int pid = 0;
    EXPECT_EQ(scan_usb(kVid, &pid, 1, &count), VEM_SUCCESS);
    EXPECT_EQ(fakeusb_context_refs(), 1) << "the scan must not release the port's reference";
    close_port_usb(0);
    EXPECT_EQ(fakeusb_context_refs(), 0);
    EXPECT_EQ(g_bInitLib, 0);
    EXPECT_EQ(scan_usb(kVid, &pid, 1, &count), VEM_SUCCESS);
    EXPECT_TRUE(count == 1 && pid == 2);
}
#else
// The daemon never opens one printer in two slots: the same model without a
// serial number, or the same serial number, is refused; an identical printer
// with another serial number opens (and shares the model's lock).  Its close
// keeps libusb for the daemon's life.
TEST_F(UsbPort, ServiceOpensEachDeviceOnce) {
    bus("device a serial=A1\ndevice b serial=B2\ndevice m pid=1");
    ASSERT_EQ(init_port_usb(0, kVid, 2, nullptr), VEM_SUCCESS);  // a, the first
    EXPECT_EQ(init_port_usb(0, kVid, 2, "B2"), VEM_INUSED) << "slot 0 holds a device";
    EXPECT_EQ(init_port_usb(1, kVid, 2, nullptr), VEM_INUSED);
    EXPECT_EQ(init_port_usb(1, kVid, 2, "A1"), VEM_INUSED);
    EXPECT_NE(log().find("USB is opened (0, /cmn_share_interface_usb_sem_f1e0_0002__)"),
              std::string::npos);
    ASSERT_EQ(init_port_usb(1, kVid, 2, "B2"), VEM_SUCCESS);
    ASSERT_EQ(init_port_usb(2, kVid, 1, nullptr), VEM_SUCCESS) << "another model";
    EXPECT_STREQ(g_semUsbName[0], g_semUsbName[1]);
    unsigned long n = 0;
    EXPECT_TRUE(send(1, "b", &n) == VEM_SUCCESS && fakeusb::received("b") == "b");
    close_port_usb(1);
    ASSERT_EQ(init_port_usb(3, kVid, 2, "B2"), VEM_SUCCESS) << "closed slots do not count";
    for (int i = 0; i < PORT_SLOT_MAX; ++i) close_port_usb(i);
    EXPECT_EQ(fakeusb_context_refs(), 1);
}
#endif
