// Service pipes of VEMCmn: the byte layout of the records and the FIFO
// paths.  The FIFO files themselves are tested with the daemon that makes
// them (tests/service).
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "VEMCmn.h"

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
