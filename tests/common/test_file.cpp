// The file port on real files.  Built twice: against the library's build of
// the drivers (one slot) and against the daemon's (50 slots).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "VEMFILE.h"
#include "test_support.h"

using namespace vemtest;

#if PORT_SLOT_MAX == 1
#define FILE_PORT FilePortLib
#else
#define FILE_PORT FilePortSvc
#endif

namespace {

class FILE_PORT : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path.empty());
        init_buf_file();
    }
    void TearDown() override {
        // Unlink every semaphore a test made, then leave the slots closed.
        for (int i = 0; i < PORT_SLOT_MAX; ++i) {
            if (g_semFileName[i][0] != '\0') ::sem_unlink(g_semFileName[i]);
            close_port_file(i);
        }
        for (const std::string& n : sems_) ::sem_unlink(n.c_str());
    }
    // Opens slot idx on path, remembering the semaphore name for clean-up.
    int open(int idx, const std::string& path, int format) {
        const int r = init_port_file(idx, path.c_str(), format);
        if (valid_slot(idx) && g_semFileName[idx][0] != '\0') sems_.push_back(g_semFileName[idx]);
        return r;
    }
    int send(int idx, std::string data, unsigned long* sent = nullptr) {
        unsigned long n = 99;
        auto* bytes = reinterpret_cast<unsigned char*>(data.data());
        return send_data_file(idx, bytes, static_cast<int>(data.size()), sent ? sent : &n, 0);
    }

    TempDir dir_;
    std::string out_ = dir_.file("out.bin");
    std::vector<std::string> sems_;
};

}  // namespace

// Format 0 writes two upper-case hex digits per byte, nothing between; any
// other format writes raw bytes (formats other than 0 and 1 with a warning).
// Output is appended after what the file held, send after send and open
// after open; the count reported is the input bytes.
TEST_F(FILE_PORT, OutputFormsAppend) {
    LogCapture log(dir_);
    const std::string bin("\x00\xAB\x1B\xFF", 4);
    const struct {
        int format;
        std::string written;
        const char* warning;
    } cases[] = {
        {0, "00AB1BFF00AB1BFF", nullptr},
        {1, bin + bin, nullptr},
        {2, bin + bin, "[WAR017xx] Invalid format value(2), default to binary"},
        {-1, bin + bin, "[WAR017xx] Invalid format value(-1), default to binary"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("format " + std::to_string(c.format));
        const std::string path = dir_.file("out" + std::to_string(c.format));
        std::ofstream(path) << "existing\n";
        log.clear();
        for (int round = 0; round < 2; ++round) {
            ASSERT_EQ(open(0, path, c.format), VEM_SUCCESS);
            unsigned long sent = 0;
            ASSERT_EQ(send(0, bin, &sent), VEM_SUCCESS);
            EXPECT_EQ(sent, 4u);
            close_port_file(0);
        }
        EXPECT_EQ(read_file(path), "existing\n" + c.written);
        EXPECT_EQ(log.has("Invalid format value"), c.warning != nullptr) << log.text();
        if (c.warning) {
            EXPECT_TRUE(log.has(c.warning)) << log.text();
        }
    }
}

// Park keeps the semaphore and sets the format back to raw; reconnect reopens
// with the format it is given and appends; a failed reopen leaves the slot
// parked with its semaphore.
TEST_F(FILE_PORT, ParkAndReconnect) {
    ASSERT_EQ(open(0, out_, 1), VEM_SUCCESS);
    sem_t* sem = getFileSemaphore(0);
    ASSERT_NE(sem, nullptr);
    std::string flat = out_;
    for (char& c : flat) c = c == '/' ? '_' : c;
    EXPECT_EQ(std::string(g_semFileName[0]), "/cmn_share_interface_file_sem_" + flat + "__");

    ASSERT_EQ(send(0, "A"), VEM_SUCCESS);
    EXPECT_EQ(close_file_handle(0), 1);
    EXPECT_EQ(close_file_handle(0), 1) << "nothing to close is fine";
    EXPECT_EQ(getFileSemaphore(0), sem) << "parking keeps the semaphore";
    EXPECT_EQ(read_file(out_), "A") << "closing the handle writes the data out";
    EXPECT_EQ(send(0, "B"), VEM_NOINIT);

    EXPECT_EQ(reconnect_file(0, dir_.file("no/such/dir").c_str(), 0), VEM_NODEVICE);
    EXPECT_EQ(g_FileHandle[0], nullptr);
    EXPECT_EQ(getFileSemaphore(0), sem);

    ASSERT_EQ(reconnect_file(0, out_.c_str(), 0), VEM_SUCCESS);
    ASSERT_EQ(send(0, "A"), VEM_SUCCESS);
    close_port_file(0);
    EXPECT_EQ(getFileSemaphore(0), nullptr);
    EXPECT_EQ(g_semFileName[0][0], '\0');
    EXPECT_EQ(read_file(out_), "A41");
}

// A second open of a slot is refused and leaves the open port as it was.  A
// name too long for its semaphore name, a null name or a file that cannot be
// opened leave the slot fully closed (and usable) and create nothing.
TEST_F(FILE_PORT, OpenRefusals) {
    const std::string base = dir_.path + "/";
    const std::string fits = base + std::string(VEM_FILE_NAME_MAX - base.size(), 'f');
    const std::string tooLong = fits + "g";
    ASSERT_EQ(VEM_FILE_NAME_MAX, 67u);
    EXPECT_EQ(open(0, tooLong, 1), VEM_ILLEGAL);
    EXPECT_EQ(init_port_file(0, nullptr, 1), VEM_ILLEGAL);
    EXPECT_EQ(open(0, dir_.file("no/such/dir"), 1), VEM_NODEVICE);
    EXPECT_NE(::access(tooLong.c_str(), F_OK), 0) << "a refused port must not create its file";
    EXPECT_EQ(getFileSemaphore(0), nullptr);
    EXPECT_EQ(g_FileHandle[0], nullptr);
    EXPECT_EQ(g_semFileName[0][0], '\0');
    EXPECT_EQ(send(0, "x"), VEM_NOINIT);

    ASSERT_EQ(open(0, fits, 0), VEM_SUCCESS);
    EXPECT_EQ(std::string(g_semFileName[0]).size(), VEM_SEM_NAME_SIZE - 1);
    sem_t* sem = getFileSemaphore(0);
    EXPECT_EQ(open(0, out_, 1), VEM_INUSED);
    EXPECT_EQ(getFileSemaphore(0), sem);
    EXPECT_EQ(g_Format[0], 0) << "the open port keeps its settings";
    EXPECT_NE(::access(out_.c_str(), F_OK), 0);

    char name[VEM_SEM_NAME_SIZE];
    std::memset(name, 'z', sizeof name);
    EXPECT_EQ(createFileSemaphore(name, tooLong.c_str()), nullptr);
    EXPECT_EQ(name[0], '\0');
    EXPECT_EQ(createFileSemaphore(nullptr, fits.c_str()), nullptr);
}

// Zero bytes write nothing and fail; refused buffers change nothing.  A
// receive succeeds at once with the requested size and touches nothing.
TEST_F(FILE_PORT, SendAndReceiveArguments) {
    LogCapture log(dir_);
    unsigned char buf[16];
    std::memset(buf, 0x5A, sizeof buf);
    unsigned long n = 77;
    EXPECT_EQ(receive_data_file(0, buf, sizeof buf, &n, 100), VEM_NOINIT) << "port closed";
    ASSERT_EQ(open(0, out_, 0), VEM_SUCCESS);
    EXPECT_EQ(send_data_file(0, buf, 0, &n, 0), VEM_ILLEGAL);
    EXPECT_EQ(n, 0u);
    EXPECT_TRUE(log.has("write fail; ret=0, error=")) << log.text();
    EXPECT_EQ(send_data_file(0, nullptr, 0, &n, 0), VEM_ILLEGAL);
    EXPECT_EQ(send_data_file(0, buf, -1, &n, 0), VEM_ILLEGAL);
    EXPECT_EQ(send_data_file(0, nullptr, 5, &n, 0), VEM_ILLEGAL);
    EXPECT_EQ(send_data_file(0, buf, 1, nullptr, 0), VEM_ILLEGAL);

    EXPECT_EQ(receive_data_file(0, buf, sizeof buf, &n, 100), VEM_SUCCESS);
    EXPECT_EQ(n, sizeof buf);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), sizeof buf), std::string(16, 0x5A));
    EXPECT_EQ(receive_data_file(0, buf, -1, &n, 0), VEM_ILLEGAL);
    EXPECT_EQ(receive_data_file(0, buf, 4, nullptr, 0), VEM_ILLEGAL);
    close_port_file(0);
    EXPECT_EQ(read_file(out_), "");
}

// fclose frees the stream even when its final flush fails: the slot must let
// go of it (the sanitizer tree catches a second fclose).
TEST_F(FILE_PORT, FailedFlushOnClose) {
    if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no writable /dev/full";
    ASSERT_EQ(open(0, "/dev/full", 1), VEM_SUCCESS);
    ASSERT_EQ(send(0, "buffered"), VEM_SUCCESS) << "stays in the stream buffer";
    EXPECT_EQ(close_file_handle(0), 0);
    EXPECT_EQ(g_FileHandle[0], nullptr);
    EXPECT_EQ(close_file_handle(0), 1);

    ASSERT_EQ(reconnect_file(0, "/dev/full", 1), VEM_SUCCESS);
    unsigned long sent = 123;
    EXPECT_EQ(send(0, std::string(1 << 16, 'x'), &sent), VEM_ILLEGAL) << "refused by the device";
    EXPECT_EQ(sent, 0u);
}

// Slot indices outside [0, PORT_SLOT_MAX) are refused by every operation,
// each with its own failure value; reconnect does not claim success.
TEST_F(FILE_PORT, InvalidSlotIndices) {
    unsigned char b = 0;
    unsigned long n = 0;
    for (int idx : {-1, PORT_SLOT_MAX, PORT_SLOT_MAX + 1}) {
        EXPECT_EQ(init_port_file(idx, out_.c_str(), 1), VEM_NODEVICE) << idx;
        EXPECT_EQ(connect_file(idx, out_.c_str()), 0) << idx;
        EXPECT_EQ(close_file_handle(idx), 0) << idx;
        EXPECT_EQ(reconnect_file(idx, out_.c_str(), 1), VEM_ILLEGAL) << idx;
        EXPECT_EQ(send_data_file(idx, &b, 1, &n, 0), VEM_ILLEGAL) << idx;
        EXPECT_EQ(receive_data_file(idx, &b, 1, &n, 0), VEM_ILLEGAL) << idx;
        EXPECT_EQ(getFileSemaphore(idx), nullptr) << idx;
        close_port_file(idx);  // logged, no effect
    }
    EXPECT_NE(::access(out_.c_str(), F_OK), 0) << "no file may have been opened";
}

#if PORT_SLOT_MAX > 1
// With several slots (the daemon's build) each slot is a port of its own;
// two slots on one file share its semaphore name, each with its own handle.
TEST_F(FILE_PORT, SlotsAreIndependent) {
    const int last = PORT_SLOT_MAX - 1;
    const std::string other = dir_.file("other.txt");
    ASSERT_EQ(open(0, out_, 0), VEM_SUCCESS);
    ASSERT_EQ(open(last, other, 1), VEM_SUCCESS);
    ASSERT_EQ(send(0, "\x12"), VEM_SUCCESS);
    ASSERT_EQ(send(last, "raw"), VEM_SUCCESS);
    EXPECT_EQ(close_file_handle(last), 1);
    EXPECT_NE(g_FileHandle[0], nullptr) << "parking one slot leaves the other open";
    close_port_file(0);
    EXPECT_NE(getFileSemaphore(last), nullptr);
    EXPECT_EQ(read_file(out_), "12");
    EXPECT_EQ(read_file(other), "raw");
    ASSERT_EQ(open(1, other, 1), VEM_SUCCESS);
    EXPECT_STREQ(g_semFileName[1], g_semFileName[last]);
}
#endif
