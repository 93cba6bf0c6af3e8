// Service pipes of VEMCmn: the byte layout of the records, the FIFO paths,
// and the FIFO files a server makes, on real FIFOs under /tmp.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "VEMCmn.h"
#include "VEMFILE.h"

namespace fs = std::filesystem;

namespace {

struct ListFree {
    void operator()(interface_list* p) const { free_mem(reinterpret_cast<void**>(&p)); }
};
using ListPtr = std::unique_ptr<interface_list, ListFree>;

std::string hex(const unsigned char* p, std::size_t n) {
    std::string s;
    char b[4];
    for (std::size_t i = 0; i < n; ++i) std::snprintf(b, sizeof b, "%02X", p[i]), s += b;
    return s;
}

// A suffix of this test process's own, so that nothing meets another run.
std::string own(const char* tag) { return std::string(tag) + std::to_string(::getpid()); }

}  // namespace

// The records byte for byte: little-endian 64-bit fields at fixed offsets,
// results sign-extended, parameter strings where each open request puts them.
TEST(PipeRecords, Layout) {
    unsigned char b[INTF_BUF_SIZE] = {};
    store_command(b, {PROC_SEND, 0x0102, 3, 0x10000, 2500});
    EXPECT_EQ(hex(b, INTF_CMD_SIZE),
              "0900000000000000" "0201000000000000" "0300000000000000"
              "0000010000000000" "C409000000000000");
    const interface_command c = load_command(b);
    EXPECT_EQ(c.dwRead, 0x10000U);
    EXPECT_EQ(c.dwTimeout, 2500U);

    store_result(b, {PROC_READ, 0, result_field(VEM_ILLEGAL), 7});
    EXPECT_EQ(hex(b, INTF_RESULT_SIZE),
              "0A00000000000000" "0000000000000000" "F8FFFFFFFFFFFFFF" "0700000000000000");
    EXPECT_EQ(result_value(load_result(b).dwResult), VEM_ILLEGAL);

    put_le32(b + INTF_CMD_SIZE, 0x04B8);
    EXPECT_EQ(hex(b + INTF_CMD_SIZE, 4), "B8040000");
    EXPECT_EQ(get_le32(b + INTF_CMD_SIZE), 0x04B8U);
    // Every code keeps its number on both sides of the pipe.
    EXPECT_EQ(PROC_INIT_FILE, 4U);
    EXPECT_EQ(PROC_RW_RTS, 11U);
    EXPECT_EQ(PROC_RECONNECT, 14U);
}

// Paths from what the client passed: separators become underscores, no name
// is the main pair, and a suffix that would not fit the 300-byte field is
// refused rather than cut (two ports must never share a pair).
TEST(PipeRecords, Paths) {
    const struct {
        const char* name;
        const char* suffix;
    } rows[] = {{"/dev/ttyS0", "_dev_ttyS0"},
                {"a\\b", "a_b"},
                {"192.168.0.10", "192.168.0.10"},
                {"", ""},
                {nullptr, ""}};
    for (const auto& r : rows) {
        ListPtr p(create_interface_pipe(r.name, 0));
        ASSERT_NE(p, nullptr) << (r.name ? r.name : "(null)");
        EXPECT_EQ(std::string(p->szCSName), std::string("/tmp/cmn_intf_to_svr") + r.suffix);
        EXPECT_EQ(std::string(p->szSCName), std::string("/tmp/cmn_svr_to_intf") + r.suffix);
        EXPECT_EQ(p->hClientSvr, -1);
        EXPECT_EQ(p->hSvrClient, -1);
        EXPECT_EQ(p->hKeepAlive, -1);
    }
    EXPECT_NE(ListPtr(create_interface_pipe(std::string(279, 'x').c_str(), 0)), nullptr);
    EXPECT_EQ(ListPtr(create_interface_pipe(std::string(280, 'x').c_str(), 0)), nullptr);
}

// A server's pair: FIFOs of its own with mode 0777, reused when they exist,
// removed by the server's close but not by a client's.  The server's open
// never waits for a client, a client's completes at once, and with no
// client left the server's read end does not report end of file (no busy
// loop), while a request still arrives.
TEST(PipeFifo, ServerPairLifecycle) {
    const std::string sfx = own("_pipe_test_");
    ListPtr srv(create_interface_pipe(sfx.c_str(), 1));
    ASSERT_NE(srv, nullptr);
    for (const char* path : {srv->szCSName, srv->szSCName}) {
        struct stat st {};
        ASSERT_EQ(::lstat(path, &st), 0) << path;
        EXPECT_TRUE(S_ISFIFO(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, 0777U);
        EXPECT_EQ(st.st_uid, ::geteuid());
    }
    ::chmod(srv->szCSName, 0600);  // a daemon restarted over a left-over pair
    ListPtr again(create_interface_pipe(sfx.c_str(), 1));
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(fs::status(srv->szCSName).permissions(), fs::perms::all);

    ASSERT_EQ(open_interface_pipe(srv.get(), 1), 1);
    ListPtr cli(create_interface_pipe(sfx.c_str(), 0));
    ASSERT_EQ(open_interface_pipe(cli.get(), 0), 1);

    const unsigned char req[INTF_CMD_SIZE + 2] = {PROC_SEND, 0, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(::write(cli->hClientSvr, req, sizeof req), static_cast<ssize_t>(sizeof req));
    unsigned char got[INTF_BUF_SIZE];
    EXPECT_EQ(::read(srv->hClientSvr, got, sizeof got), static_cast<ssize_t>(sizeof req));
    ASSERT_EQ(::write(srv->hSvrClient, got, INTF_RESULT_SIZE), 32);
    EXPECT_EQ(::read(cli->hSvrClient, got, sizeof got), 32);

    close_interface_pipe(cli.get(), 0);
    EXPECT_EQ(cli->hClientSvr, -1);
    EXPECT_TRUE(fs::exists(srv->szCSName));
    pollfd pfd{srv->hClientSvr, POLLIN, 0};
    EXPECT_EQ(::poll(&pfd, 1, 100), 0) << "revents " << pfd.revents;

    close_interface_pipe(srv.get(), 1);
    EXPECT_FALSE(fs::exists(fs::symlink_status(srv->szCSName)));
    EXPECT_FALSE(fs::exists(fs::symlink_status(srv->szSCName)));
    // A client finds no daemon: its open fails instead of making anything.
    ListPtr late(create_interface_pipe(sfx.c_str(), 0));
    EXPECT_EQ(open_interface_pipe(late.get(), 0), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(srv->szCSName)));
}

// Files planted under the FIFO names by somebody else: the server never
// follows a link nor changes what it points at; a link or a plain file is
// replaced by a FIFO of its own; a directory is refused and left alone.
TEST(PipeFifo, PlantedFilesAreNeverFollowed) {
    const fs::path dir = fs::path("/tmp") / own("planted_");
    fs::create_directories(dir);
    const fs::path target = dir / "precious";
    std::ofstream(target) << "keep me";
    fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write);

    const std::string sfx = own("_planted_");
    const std::string cs = "/tmp/cmn_intf_to_svr" + sfx, sc = "/tmp/cmn_svr_to_intf" + sfx;
    fs::create_symlink(target, cs);
    std::ofstream(sc) << "plain";
    ListPtr srv(create_interface_pipe(sfx.c_str(), 1));
    ASSERT_NE(srv, nullptr);
    for (const std::string& p : {cs, sc}) {
        EXPECT_EQ(fs::symlink_status(p).type(), fs::file_type::fifo) << p;
    }
    EXPECT_EQ(fs::status(target).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    std::string text;
    std::getline(std::ifstream(target), text);
    EXPECT_EQ(text, "keep me");
    close_interface_pipe(srv.get(), 1);

    fs::create_directory(cs);
    EXPECT_EQ(ListPtr(create_interface_pipe(sfx.c_str(), 1)), nullptr);
    EXPECT_TRUE(fs::is_directory(cs));
    fs::remove(cs);
    fs::remove_all(dir);
}

// The slot reset reaches every driver: an open file port is closed by it.
TEST(PipeFifo, InitIntfBufResetsDrivers) {
    const std::string file = "/tmp/" + own("reset_");
    ASSERT_EQ(init_port_file(0, file.c_str(), 1), VEM_SUCCESS);
    ASSERT_NE(getFileSemaphore(0), nullptr);
    init_intf_buf();
    EXPECT_EQ(getFileSemaphore(0), nullptr);
    EXPECT_EQ(init_port_file(0, file.c_str(), 1), VEM_SUCCESS);  // the slot is free again
    close_port_file(0);
    std::string sem = "/cmn_share_interface_file_sem_" + file + "__";
    replace_char(sem.data());
    ::sem_unlink(sem.c_str());
    fs::remove(file);
}
