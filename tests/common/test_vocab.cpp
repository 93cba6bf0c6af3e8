// The shared vocabulary's numbers are an interface: they travel in log files
// and, as plain numbers, over the service pipes between processes.  This pins
// them, and checks that a C compiler sees the same values and layout.
#include <gtest/gtest.h>

#include <cstddef>

#include "VEMFuncNo.h"
#include "VEMInterface.h"
#include "VEMLogging.h"

extern "C" {
extern const int vem_c_results[9];
extern const unsigned int vem_c_kinds[6];
extern const unsigned int vem_c_modes[3];
extern const unsigned int vem_c_tokens[8];
extern const std::size_t vem_c_sizes[4];
void vem_c_log_something(void);
}

// Result codes run 0, -1 .. -8; port kinds, modes and log tokens count up
// from 0; the record keeps its size and layout, and C sees all of it alike.
TEST(Vocabulary, SameValuesInCAndCxx) {
    const int results[9] = {VEM_SUCCESS, VEM_INUSED,       VEM_NODEVICE,
                            VEM_NOINIT,  VEM_ALREADY_LOCK, VEM_LOCK_TIMEOUT,
                            VEM_NOLOCK,  VEM_NO_SUPPORT,   VEM_ILLEGAL};
    const unsigned kinds[6] = {INTF_NONE,      INTF_USB, INTF_RS232,
                               INTF_PARRALLEL, INTF_ETH, INTF_FILE};
    const unsigned modes[3] = {SHARE_PORT_LIB, SHARE_PORT_SVR, SINGLE_APP};
    for (int i = 0; i < 9; ++i) EXPECT_TRUE(results[i] == -i && vem_c_results[i] == -i) << i;
    for (unsigned i = 0; i < 6; ++i) EXPECT_TRUE(kinds[i] == i && vem_c_kinds[i] == i) << i;
    for (unsigned i = 0; i < 3; ++i) EXPECT_TRUE(modes[i] == i && vem_c_modes[i] == i) << i;
    for (unsigned i = 0; i < 8; ++i) EXPECT_EQ(vem_c_tokens[i], i);
    EXPECT_EQ(LOG_EX_END, 7);

    EXPECT_EQ(sizeof(EthernetDeviceInfo), 192u);
    EXPECT_EQ(offsetof(EthernetDeviceInfo, strSysObjectId), 64u);
    EXPECT_EQ(vem_c_sizes[0], sizeof(InterfaceErrorCode));
    EXPECT_EQ(vem_c_sizes[0], 4u);
    EXPECT_EQ(vem_c_sizes[1], sizeof(InterfaceList));
    EXPECT_EQ(vem_c_sizes[2], sizeof(EthernetDeviceInfo));
    EXPECT_EQ(vem_c_sizes[3], offsetof(EthernetDeviceInfo, strIpAdEntAddr));
    vem_c_log_something();  // links and runs from C
}

// First and last of each range, and the numbers people look for in logs.
TEST(Vocabulary, FunctionNumbers) {
    const struct {
        int value, expected;
        const char* name;
    } pins[] = {
        {fn_unknown, 0, "fn_unknown"},
        {fn_lock_sem, 1, "fn_lock_sem"},
        {fn_unlock_sem, 2, "fn_unlock_sem"},
        {fn_islock_sem, 3, "fn_islock_sem"},
        {fn_connect_file, 16, "fn_connect_file"},
        {fn_receive_data_file, 23, "fn_receive_data_file"},
        {fn_check_online, 63, "fn_check_online"},
        {fn_eth_rts, 100, "fn_eth_rts"},
        {fn_clear_reconnect, 132, "fn_clear_reconnect"},
        {fn_lib_constructor, 200, "fn_lib_constructor"},
        {fn_intf_lock, 211, "fn_intf_lock"},
        {fn_scan_prt_broad, 227, "fn_scan_prt_broad"},
        {fn_init_lib_LogLevel, 300, "fn_init_lib_LogLevel"},
        {fn_init_lib_usb, 303, "fn_init_lib_usb"},
        {fn_intf_lib_lock, 308, "fn_intf_lib_lock"},
        {fn_intf_lib_reconnect, 314, "fn_intf_lib_reconnect"},
        {fn_init_lib_pipe, 400, "fn_init_lib_pipe"},
        {fn_init_svr_reconnect, 417, "fn_init_svr_reconnect"},
    };
    for (const auto& p : pins) EXPECT_EQ(p.value, p.expected) << p.name;
}
