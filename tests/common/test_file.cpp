// The file port on real files, against the daemon's build of the drivers (50 slots).
#include <gtest/gtest.h>

#include "VEMFILE.h"
#include "testkit.h"

namespace {

using testkit::read_file;

std::string sem_name(std::string path) {
    for (char& c : path) c = c == '/' ? '_' : c;
    return "/cmn_share_interface_file_sem_" + path + "__";
}

// A private directory per test; the semaphores of its files are unlinked.
class FilePort : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE(dir_.empty()); }
    void TearDown() override {
        init_buf_file();  // closes every slot
        for (const auto& e : std::filesystem::directory_iterator(dir_))
            ::sem_unlink(sem_name(e.path()).c_str());
    }
    std::string file(const std::string& name) const { return dir_ + "/" + name; }
    static int send(int idx, std::string data, unsigned long* sent = nullptr) {
        unsigned long n = 99;
        auto* bytes = reinterpret_cast<unsigned char*>(data.data());
        return send_data_file(idx, bytes, static_cast<int>(data.size()), sent ? sent : &n, 0);
    }
    testkit::TempDir tmp_;
    std::string dir_ = tmp_.path;
    std::string out_ = file("out.bin");
};

}  // namespace

// Format 0 writes two upper-case hex digits per byte, any other raw bytes.
// Output is appended, open after open; the count reported is of input bytes.
// Three slots are open at once, each with its own file and format.
TEST_F(FilePort, OutputFormsAppendPerSlot) {
    const std::string bin("\x00\xAB\x1B\xFF", 4);
    const auto path = [&](int format) { return file(std::to_string(format)); };
    for (int format : {0, 1, 2}) std::ofstream(path(format)) << "existing\n";
    for (int round = 0; round < 2; ++round) {
        for (int format : {0, 1, 2})
            ASSERT_EQ(init_port_file(format * 24, path(format).c_str(), format), VEM_SUCCESS);
        for (int format : {0, 1, 2}) {
            unsigned long sent = 0;
            EXPECT_TRUE(send(format * 24, bin, &sent) == VEM_SUCCESS && sent == 4);
        }
        for (int format : {0, 1, 2}) close_port_file(format * 24);
    }
    for (int format : {0, 1, 2})
        EXPECT_EQ(read_file(path(format)),
                  "existing\n" + (format ? bin + bin : "00AB1BFF00AB1BFF"));
}

// Park keeps the semaphore; reconnect reopens with the format it is given and
// appends; a failed reopen leaves the slot parked with its semaphore.
TEST_F(FilePort, ParkAndReconnect) {
    ASSERT_EQ(init_port_file(0, out_.c_str(), 1), VEM_SUCCESS);
    sem_t* sem = getFileSemaphore(0);
    EXPECT_EQ(std::string(g_semFileName[0]), sem_name(out_));
    ASSERT_EQ(send(0, "A"), VEM_SUCCESS);
    EXPECT_EQ(close_file_handle(0) + close_file_handle(0), 2) << "nothing to close is fine";
    EXPECT_EQ(read_file(out_), "A") << "closing the handle writes the data out";
    EXPECT_EQ(send(0, "B"), VEM_NOINIT);
    EXPECT_EQ(reconnect_file(0, file("no/such/dir").c_str(), 0), VEM_NODEVICE);
    EXPECT_TRUE(sem != nullptr && getFileSemaphore(0) == sem) << "parking keeps the semaphore";
    ASSERT_EQ(reconnect_file(0, out_.c_str(), 0), VEM_SUCCESS);
    ASSERT_EQ(send(0, "A"), VEM_SUCCESS);
    close_port_file(0);
    EXPECT_TRUE(getFileSemaphore(0) == nullptr && g_semFileName[0][0] == '\0');
    EXPECT_EQ(read_file(out_), "A41");
}

// A second open of a slot is refused; a name too long for its semaphore or an
// unopenable file leave the slot closed.  Slots outside [0, PORT_SLOT_MAX) are
// refused by every operation; reconnect does not claim success.
TEST_F(FilePort, Refusals) {
    const std::string fits = file(std::string(VEM_FILE_NAME_MAX - dir_.size() - 1, 'f'));
    EXPECT_EQ(init_port_file(0, (fits + "g").c_str(), 1), VEM_ILLEGAL);
    EXPECT_EQ(init_port_file(0, file("no/such/dir").c_str(), 1), VEM_NODEVICE);
    EXPECT_NE(::access((fits + "g").c_str(), F_OK), 0) << "a refused port must not create its file";
    EXPECT_TRUE(!getFileSemaphore(0) && !g_FileHandle[0] && g_semFileName[0][0] == '\0');
    ASSERT_EQ(init_port_file(0, fits.c_str(), 0), VEM_SUCCESS);
    EXPECT_EQ(std::string(g_semFileName[0]).size(), VEM_SEM_NAME_SIZE - 1);
    sem_t* sem = getFileSemaphore(0);
    EXPECT_EQ(init_port_file(0, out_.c_str(), 1), VEM_INUSED);
    EXPECT_TRUE(getFileSemaphore(0) == sem && g_Format[0] == 0) << "the open port changed";
    close_port_file(0);
    unsigned char b = 0;
    unsigned long n = 0;
    for (int idx : {-1, PORT_SLOT_MAX}) {
        EXPECT_EQ(init_port_file(idx, out_.c_str(), 1), VEM_NODEVICE);
        EXPECT_EQ(connect_file(idx, out_.c_str()) + close_file_handle(idx), 0);
        EXPECT_EQ(reconnect_file(idx, out_.c_str(), 1), VEM_ILLEGAL) << idx;
        EXPECT_EQ(send_data_file(idx, &b, 1, &n, 0) + receive_data_file(idx, &b, 1, &n, 0),
                  2 * VEM_ILLEGAL);
        EXPECT_EQ(getFileSemaphore(idx), nullptr), close_port_file(idx);
    }
    EXPECT_NE(::access(out_.c_str(), F_OK), 0) << "no file may have been opened";
}
