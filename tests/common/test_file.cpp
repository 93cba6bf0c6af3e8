// The file port on real files.  Built twice: against the library's build of
// the drivers (one slot) and against the daemon's (50 slots).
#include <gtest/gtest.h>
#include <sys/stat.h>
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

class FilePortTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
        init_buf_file();
        out_ = dir_.file("out.bin");
    }
    void TearDown() override {
        // Unlink every semaphore a test made, then leave the slots closed.
        for (int i = 0; i < PORT_SLOT_MAX; ++i) {
            if (g_semFileName[i][0] != '\0') ::sem_unlink(g_semFileName[i]);
            close_port_file(i);
        }
        for (const std::string& n : extraSems_) ::sem_unlink(n.c_str());
    }

    // Opens slot idx on path, remembering the semaphore name for clean-up.
    int open(int idx, const std::string& path, int format) {
        int r = init_port_file(idx, path.c_str(), format);
        if (valid_slot(idx) && g_semFileName[idx][0] != '\0')
            extraSems_.push_back(g_semFileName[idx]);
        return r;
    }
    int send(int idx, const std::string& data, unsigned long* sent) {
        std::vector<unsigned char> buf(data.begin(), data.end());
        return send_data_file(idx, buf.data(), static_cast<int>(buf.size()), sent, 0);
    }

    TempDir dir_;
    std::string out_;
    std::vector<std::string> extraSems_;
};

class FILE_PORT : public FilePortTest {};

}  // namespace

// Hexadecimal form: two upper-case digits per byte, nothing between; the
// count reported is the input bytes.
TEST_F(FILE_PORT, HexOutput) {
    ASSERT_EQ(open(0, out_, 0), VEM_SUCCESS);
    unsigned long sent = 99;
    ASSERT_EQ(send(0, std::string("\x00\xAB\x10", 3), &sent), VEM_SUCCESS);
    EXPECT_EQ(sent, 3u);
    ASSERT_EQ(send(0, std::string("\xFF\x0A", 2), &sent), VEM_SUCCESS);
    close_port_file(0);
    EXPECT_EQ(read_file(out_), "00AB10FF0A");
}

// Raw form appends after what the file already held, send after send.
TEST_F(FILE_PORT, RawOutputAppendsNeverTruncates) {
    write_file(out_, "existing\n");
    ASSERT_EQ(open(0, out_, 1), VEM_SUCCESS);
    unsigned long sent = 0;
    const std::string bin("\x00\x1B\x40\xFF", 4);
    ASSERT_EQ(send(0, bin, &sent), VEM_SUCCESS);
    EXPECT_EQ(sent, 4u);
    ASSERT_EQ(send(0, "tail", &sent), VEM_SUCCESS);
    close_port_file(0);
    const std::string got = read_file(out_);
    EXPECT_EQ(got, "existing\n" + bin + "tail") << hex(got);

    // A second open of the same file appends again.
    ASSERT_EQ(open(0, out_, 1), VEM_SUCCESS);
    ASSERT_EQ(send(0, "more", &sent), VEM_SUCCESS);
    close_port_file(0);
    EXPECT_EQ(read_file(out_), got + "more");
}

// Formats other than 0 and 1 write raw bytes and leave one warning.
TEST_F(FILE_PORT, OddFormatsWriteRaw) {
    LogCapture log(dir_);
    for (int format : {2, -1}) {
        const std::string path = dir_.file("odd" + std::to_string(format));
        log.clear();
        ASSERT_EQ(open(0, path, format), VEM_SUCCESS);
        EXPECT_EQ(g_Format[0], 1);
        unsigned long sent = 0;
        ASSERT_EQ(send(0, "\x01\x02", &sent), VEM_SUCCESS);
        close_port_file(0);
        EXPECT_EQ(read_file(path), "\x01\x02");
        const std::string warn =
            "[WAR017xx] Invalid format value(" + std::to_string(format) + "), default to binary";
        EXPECT_TRUE(log.has(warn)) << log.text();
    }
}

// Park keeps the semaphore and resets the format; reconnect reopens with the
// format it is given and appends.
TEST_F(FILE_PORT, ParkAndReconnect) {
    ASSERT_EQ(open(0, out_, 1), VEM_SUCCESS);
    sem_t* sem = getFileSemaphore(0);
    ASSERT_NE(sem, nullptr);
    std::string flat = out_;
    for (char& c : flat) c = c == '/' ? '_' : c;
    EXPECT_EQ(std::string(g_semFileName[0]), "/cmn_share_interface_file_sem_" + flat + "__")
        << "slashes of the path become underscores";

    unsigned long sent = 0;
    ASSERT_EQ(send(0, "A", &sent), VEM_SUCCESS);
    EXPECT_EQ(close_file_handle(0), 1);
    EXPECT_EQ(close_file_handle(0), 1) << "nothing to close is fine";
    EXPECT_EQ(g_Format[0], 1);
    EXPECT_EQ(getFileSemaphore(0), sem) << "parking keeps the semaphore";
    EXPECT_EQ(read_file(out_), "A") << "closing the handle writes the data out";
    EXPECT_EQ(send(0, "B", &sent), VEM_NOINIT);

    ASSERT_EQ(reconnect_file(0, out_.c_str(), 0), VEM_SUCCESS);
    EXPECT_EQ(getFileSemaphore(0), sem);
    ASSERT_EQ(send(0, "A", &sent), VEM_SUCCESS);
    close_port_file(0);
    EXPECT_EQ(getFileSemaphore(0), nullptr);
    EXPECT_EQ(g_semFileName[0][0], '\0');
    EXPECT_EQ(read_file(out_), "A41");
}

// A failed reopen leaves the slot parked with its semaphore.
TEST_F(FILE_PORT, ReconnectToMissingDirectory) {
    ASSERT_EQ(open(0, out_, 1), VEM_SUCCESS);
    EXPECT_EQ(reconnect_file(0, dir_.file("no/such/dir").c_str(), 0), VEM_NODEVICE);
    EXPECT_EQ(g_FileHandle[0], nullptr);
    EXPECT_NE(getFileSemaphore(0), nullptr);
    EXPECT_EQ(reconnect_file(0, out_.c_str(), 1), VEM_SUCCESS);
}

TEST_F(FILE_PORT, SecondOpenOfASlotIsInUse) {
    ASSERT_EQ(open(0, out_, 0), VEM_SUCCESS);
    sem_t* sem = getFileSemaphore(0);
    EXPECT_EQ(open(0, dir_.file("other"), 1), VEM_INUSED);
    EXPECT_EQ(getFileSemaphore(0), sem);
    EXPECT_EQ(g_Format[0], 0) << "the open port keeps its settings";
    EXPECT_NE(::access(dir_.file("other").c_str(), F_OK), 0);
}

// A file that cannot be opened leaves the slot fully closed.
TEST_F(FILE_PORT, OpenFailureLeavesSlotClosed) {
    EXPECT_EQ(open(0, dir_.file("no/such/dir"), 1), VEM_NODEVICE);
    EXPECT_EQ(getFileSemaphore(0), nullptr);
    EXPECT_EQ(g_semFileName[0][0], '\0');
    EXPECT_EQ(init_port_file(0, nullptr, 1), VEM_ILLEGAL);
    unsigned long sent = 0;
    EXPECT_EQ(send(0, "x", &sent), VEM_NOINIT);
    ASSERT_EQ(open(0, out_, 1), VEM_SUCCESS) << "the slot stays usable";
}

// Zero bytes write nothing and fail; refused buffers change nothing.
TEST_F(FILE_PORT, ZeroAndInvalidSends) {
    LogCapture log(dir_);
    ASSERT_EQ(open(0, out_, 0), VEM_SUCCESS);
    unsigned long sent = 77;
    unsigned char byte = 0x41;
    EXPECT_EQ(send_data_file(0, &byte, 0, &sent, 0), VEM_ILLEGAL);
    EXPECT_EQ(sent, 0u);
    EXPECT_TRUE(log.has("write fail; ret=0, error=")) << log.text();
    EXPECT_EQ(send_data_file(0, nullptr, 0, &sent, 0), VEM_ILLEGAL);
    EXPECT_EQ(send_data_file(0, &byte, -1, &sent, 0), VEM_ILLEGAL);
    EXPECT_EQ(send_data_file(0, nullptr, 5, &sent, 0), VEM_ILLEGAL);
    EXPECT_EQ(send_data_file(0, &byte, 1, nullptr, 0), VEM_ILLEGAL);
    close_port_file(0);
    EXPECT_EQ(read_file(out_), "");
}

// A receive succeeds at once with the requested size and touches nothing.
TEST_F(FILE_PORT, ReceiveLeavesBufferUnchanged) {
    unsigned char buf[16];
    std::memset(buf, 0x5A, sizeof buf);
    unsigned long got = 0;
    EXPECT_EQ(receive_data_file(0, buf, sizeof buf, &got, 100), VEM_NOINIT) << "port closed";

    ASSERT_EQ(open(0, out_, 1), VEM_SUCCESS);
    EXPECT_EQ(receive_data_file(0, buf, sizeof buf, &got, 100), VEM_SUCCESS);
    EXPECT_EQ(got, sizeof buf);
    for (unsigned char c : buf) EXPECT_EQ(c, 0x5A);
    EXPECT_EQ(receive_data_file(0, buf, -1, &got, 0), VEM_ILLEGAL);
    EXPECT_EQ(receive_data_file(0, buf, 4, nullptr, 0), VEM_ILLEGAL);
}

// The longest name whose semaphore name fits is taken; one more character is
// refused before anything is created.
TEST_F(FILE_PORT, FileNameLengthLimit) {
    ASSERT_EQ(VEM_FILE_NAME_MAX, 67u);
    const std::string base = dir_.path() + "/";
    const std::string fits = base + std::string(67 - base.size(), 'f');
    const std::string tooLong = base + std::string(68 - base.size(), 'g');
    ASSERT_EQ(fits.size(), 67u);

    EXPECT_EQ(open(0, tooLong, 1), VEM_ILLEGAL);
    EXPECT_NE(::access(tooLong.c_str(), F_OK), 0) << "a refused port must not create its file";
    EXPECT_EQ(getFileSemaphore(0), nullptr);
    EXPECT_EQ(g_FileHandle[0], nullptr);

    ASSERT_EQ(open(0, fits, 1), VEM_SUCCESS);
    EXPECT_EQ(std::string(g_semFileName[0]).size(), 99u);
    close_port_file(0);

    char name[VEM_SEM_NAME_SIZE];
    std::memset(name, 'z', sizeof name);
    EXPECT_EQ(createFileSemaphore(name, tooLong.c_str()), nullptr);
    EXPECT_EQ(name[0], '\0');
    EXPECT_EQ(createFileSemaphore(nullptr, fits.c_str()), nullptr);
}

// fclose frees the stream even when its final flush fails: the slot must let
// go of it (the sanitizer tree catches a second fclose).
TEST_F(FILE_PORT, FailedFlushOnClose) {
    if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no writable /dev/full";
    ASSERT_EQ(open(0, "/dev/full", 1), VEM_SUCCESS);
    unsigned long sent = 0;
    ASSERT_EQ(send(0, "buffered", &sent), VEM_SUCCESS) << "stays in the stream buffer";
    EXPECT_EQ(close_file_handle(0), 0);
    EXPECT_EQ(g_FileHandle[0], nullptr);
    EXPECT_EQ(close_file_handle(0), 1);

    ASSERT_EQ(reconnect_file(0, "/dev/full", 1), VEM_SUCCESS);
    const std::string big(1 << 16, 'x');
    sent = 123;
    EXPECT_EQ(send(0, big, &sent), VEM_ILLEGAL) << "a write the device refuses";
    EXPECT_EQ(sent, 0u);
    close_port_file(0);
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
        EXPECT_NE(reconnect_file(idx, out_.c_str(), 1), VEM_SUCCESS) << idx;
        EXPECT_EQ(send_data_file(idx, &b, 1, &n, 0), VEM_ILLEGAL) << idx;
        EXPECT_EQ(receive_data_file(idx, &b, 1, &n, 0), VEM_ILLEGAL) << idx;
        EXPECT_EQ(getFileSemaphore(idx), nullptr) << idx;
        close_port_file(idx);  // logged, no effect
    }
    EXPECT_NE(::access(out_.c_str(), F_OK), 0) << "no file may have been opened";
}

// With several slots (the daemon's build) each slot is a port of its own.
#if PORT_SLOT_MAX > 1
TEST_F(FILE_PORT, SlotsAreIndependent) {
    const int last = PORT_SLOT_MAX - 1;
    const std::string other = dir_.file("other.txt");
    ASSERT_EQ(open(0, out_, 0), VEM_SUCCESS);
    ASSERT_EQ(open(last, other, 1), VEM_SUCCESS);
    unsigned long sent = 0;
    ASSERT_EQ(send(0, "\x12", &sent), VEM_SUCCESS);
    ASSERT_EQ(send(last, "raw", &sent), VEM_SUCCESS);
    EXPECT_EQ(close_file_handle(last), 1);
    EXPECT_NE(g_FileHandle[0], nullptr) << "parking one slot leaves the other open";
    close_port_file(0);
    EXPECT_NE(getFileSemaphore(last), nullptr);
    EXPECT_EQ(read_file(out_), "12");
    EXPECT_EQ(read_file(other), "raw");

    // Two slots on one file share its semaphore name, each with its own handle.
    ASSERT_EQ(open(1, other, 1), VEM_SUCCESS);
    EXPECT_STREQ(g_semFileName[1], g_semFileName[last]);
}
#endif
