// The file port on real files.  Built twice: against the library's build of
// the drivers (one slot) and against the daemon's (50 slots).
#include <gtest/gtest.h>

#include <cstring>

#include "VEMFILE.h"
#include "test_support.h"

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
    void TearDown() override {  // unlink every semaphore made, leave the slots closed
        for (int i = 0; i < PORT_SLOT_MAX; ++i) close_port_file(i);
        for (const std::string& n : sems_) ::sem_unlink(n.c_str());
    }
    int open(int idx, const std::string& path, int format) {
        const int r = init_port_file(idx, path.c_str(), format);
        if (valid_slot(idx) && g_semFileName[idx][0] != '\0') sems_.push_back(g_semFileName[idx]);
        return r;
    }
    static int send(int idx, std::string data, unsigned long* sent = nullptr) {
        unsigned long n = 99;
        auto* bytes = reinterpret_cast<unsigned char*>(data.data());
        return send_data_file(idx, bytes, static_cast<int>(data.size()), sent ? sent : &n, 0);
    }
    TempDir dir_;
    std::string out_ = dir_.file("out.bin");
    std::vector<std::string> sems_;
};

}  // namespace

// Format 0 writes two upper-case hex digits per byte; any other raw bytes (a
// warning for formats other than 0 and 1).  Output is appended, send after send
// and open after open; the count reported is that of the input bytes.
TEST_F(FILE_PORT, OutputFormsAppend) {
    LogCapture log(dir_);
    const std::string bin("\x00\xAB\x1B\xFF", 4), warn = "[WAR017xx] Invalid format value";
    // clang-format off
    const struct { int format; std::string written; const char* warning; } cases[] = {
        {0, "00AB1BFF00AB1BFF", ""}, {1, bin + bin, ""},
        {2, bin + bin, "(2), default to binary"}, {-1, bin + bin, "(-1), default to binary"}};
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE("format " + std::to_string(c.format));
        const std::string path = dir_.file("out" + std::to_string(c.format));
        std::ofstream(path) << "existing\n";
        log.clear();
        for (int round = 0; round < 2; ++round) {
            unsigned long sent = 0;
            ASSERT_EQ(open(0, path, c.format), VEM_SUCCESS);
            ASSERT_EQ(send(0, bin, &sent), VEM_SUCCESS);
            EXPECT_EQ(sent, 4u);
            close_port_file(0);
        }
        EXPECT_EQ(read_file(path), "existing\n" + c.written);
        EXPECT_EQ(log.has(warn), *c.warning != '\0') << log.text();
        EXPECT_TRUE(log.has(warn + c.warning) || !*c.warning) << log.text();
    }
}

// Park keeps the semaphore; reconnect reopens with the format it is given and
// appends; a failed reopen leaves the slot parked with its semaphore.
TEST_F(FILE_PORT, ParkReconnectAndFailedFlush) {
    ASSERT_EQ(open(0, out_, 1), VEM_SUCCESS);
    sem_t* sem = getFileSemaphore(0);
    std::string flat = out_;
    for (char& c : flat) c = c == '/' ? '_' : c;
    EXPECT_EQ(std::string(g_semFileName[0]), "/cmn_share_interface_file_sem_" + flat + "__");
    ASSERT_EQ(send(0, "A"), VEM_SUCCESS);
    EXPECT_EQ(close_file_handle(0) + close_file_handle(0), 2) << "nothing to close is fine";
    EXPECT_EQ(read_file(out_), "A") << "closing the handle writes the data out";
    EXPECT_EQ(send(0, "B"), VEM_NOINIT);
    EXPECT_EQ(reconnect_file(0, dir_.file("no/such/dir").c_str(), 0), VEM_NODEVICE);
    EXPECT_EQ(g_FileHandle[0], nullptr);
    EXPECT_TRUE(sem != nullptr && getFileSemaphore(0) == sem) << "parking keeps the semaphore";
    ASSERT_EQ(reconnect_file(0, out_.c_str(), 0), VEM_SUCCESS);
    ASSERT_EQ(send(0, "A"), VEM_SUCCESS);
    close_port_file(0);
    EXPECT_TRUE(getFileSemaphore(0) == nullptr && g_semFileName[0][0] == '\0');
    EXPECT_EQ(read_file(out_), "A41");
    // A failed final flush still frees the stream: the slot lets go of it (the
    // sanitizer tree catches a second fclose).
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

// A second open of a slot is refused, the open port unchanged.  A name too long
// for its semaphore, a null name or an unopenable file leave the slot closed.
TEST_F(FILE_PORT, OpenRefusals) {
    const std::string base = dir_.path + "/";
    const std::string fits = base + std::string(VEM_FILE_NAME_MAX - base.size(), 'f');
    const std::string tooLong = fits + "g";
    ASSERT_EQ(VEM_FILE_NAME_MAX, 67u);
    EXPECT_EQ(open(0, tooLong, 1), VEM_ILLEGAL);
    EXPECT_EQ(init_port_file(0, nullptr, 1), VEM_ILLEGAL);
    EXPECT_EQ(open(0, dir_.file("no/such/dir"), 1), VEM_NODEVICE);
    EXPECT_NE(::access(tooLong.c_str(), F_OK), 0) << "a refused port must not create its file";
    EXPECT_TRUE(!getFileSemaphore(0) && !g_FileHandle[0] && g_semFileName[0][0] == '\0');
    EXPECT_EQ(send(0, "x"), VEM_NOINIT);
    ASSERT_EQ(open(0, fits, 0), VEM_SUCCESS);
    EXPECT_EQ(std::strlen(g_semFileName[0]), VEM_SEM_NAME_SIZE - 1);
    sem_t* sem = getFileSemaphore(0);
    EXPECT_EQ(open(0, out_, 1), VEM_INUSED);
    EXPECT_TRUE(getFileSemaphore(0) == sem && g_Format[0] == 0)
        << "the open port keeps its settings";
    EXPECT_NE(::access(out_.c_str(), F_OK), 0);
    char name[VEM_SEM_NAME_SIZE];
    std::memset(name, 'z', sizeof name);
    EXPECT_EQ(createFileSemaphore(name, tooLong.c_str()), nullptr);
    EXPECT_EQ(name[0], '\0');
    EXPECT_EQ(createFileSemaphore(nullptr, fits.c_str()), nullptr);
}

// Zero bytes fail; refused buffers change nothing; a receive succeeds at once
// with the requested size and touches nothing.
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
    // clang-format off
    const struct { unsigned char* buf; int size; unsigned long* n; } refused[] = {
        {nullptr, 0, &n}, {buf, -1, &n}, {nullptr, 5, &n}, {buf, 1, nullptr}};
    // clang-format on
    for (const auto& r : refused) EXPECT_EQ(send_data_file(0, r.buf, r.size, r.n, 0), VEM_ILLEGAL);
    EXPECT_EQ(receive_data_file(0, buf, sizeof buf, &n, 100), VEM_SUCCESS);
    EXPECT_EQ(n, sizeof buf);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), sizeof buf), std::string(16, 0x5A));
    EXPECT_EQ(receive_data_file(0, buf, -1, &n, 0), VEM_ILLEGAL);
    EXPECT_EQ(receive_data_file(0, buf, 4, nullptr, 0), VEM_ILLEGAL);
    close_port_file(0);
    EXPECT_EQ(read_file(out_), "");
}

// Slots outside [0, PORT_SLOT_MAX) are refused by every operation with its own
// failure value; reconnect does not claim success.
TEST_F(FILE_PORT, InvalidSlotIndices) {
    unsigned char b = 0;
    unsigned long n = 0;
    for (int idx : {-1, PORT_SLOT_MAX, PORT_SLOT_MAX + 1}) {
        SCOPED_TRACE(idx);
        EXPECT_EQ(init_port_file(idx, out_.c_str(), 1), VEM_NODEVICE);
        EXPECT_EQ(connect_file(idx, out_.c_str()) + close_file_handle(idx), 0);
        EXPECT_EQ(reconnect_file(idx, out_.c_str(), 1), VEM_ILLEGAL);
        EXPECT_EQ(send_data_file(idx, &b, 1, &n, 0) + receive_data_file(idx, &b, 1, &n, 0),
                  2 * VEM_ILLEGAL);
        EXPECT_EQ(getFileSemaphore(idx), nullptr);
        close_port_file(idx);  // logged, no effect
    }
    EXPECT_NE(::access(out_.c_str(), F_OK), 0) << "no file may have been opened";
}

#if PORT_SLOT_MAX > 1
// The daemon's slots are ports of their own; two on one file share its
// semaphore name, each with its own handle.
TEST_F(FILE_PORT, SlotsAreIndependent) {
    const int last = PORT_SLOT_MAX - 1;
    const std::string other = dir_.file("other.txt");
    ASSERT_EQ(open(0, out_, 0) + open(last, other, 1), VEM_SUCCESS);
    ASSERT_EQ(send(0, "\x12") + send(last, "raw"), VEM_SUCCESS);
    EXPECT_EQ(close_file_handle(last), 1);
    EXPECT_NE(g_FileHandle[0], nullptr) << "parking one slot leaves the other open";
    close_port_file(0);
    EXPECT_NE(getFileSemaphore(last), nullptr);
    EXPECT_EQ(read_file(out_) + "," + read_file(other), "12,raw");
    ASSERT_EQ(open(1, other, 1), VEM_SUCCESS);
    EXPECT_STREQ(g_semFileName[1], g_semFileName[last]);
}
#endif
