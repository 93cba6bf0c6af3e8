// The direct mode's background reconnection, reached through the library's
// internal operations (static build): it keeps trying while the device is
// gone, ends by itself once a reopen succeeds, and the close stops it and
// waits for it.
#include <chrono>
#include <filesystem>
#include <thread>

#include "VEMLibraryIntf.h"
#include "link_test.h"

using namespace linktest;
namespace fs = std::filesystem;

namespace {

bool eventually(bool want, int ms = 3000) {
    for (int i = 0; i < ms / 10; ++i) {
        if (reconnect_running() == want) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return reconnect_running() == want;
}

}  // namespace

TEST(Reconnect, RetriesUntilBackAndCloseStopsIt) {
    const std::string dir = "/tmp/wl-rc-" + std::to_string(::getpid());
    const std::string file = dir + "/p.bin";
    fs::create_directory(dir);
    ASSERT_EQ(init_intf_type(SHARE_PORT_LIB), VEM_SUCCESS);
    ASSERT_EQ(init_file(file.c_str(), 1), VEM_SUCCESS);
    reconnect_device();
    EXPECT_FALSE(eventually(true, 200)) << "shared behaviour never starts the thread";
    ASSERT_EQ(init_close(), VEM_SUCCESS);

    ASSERT_EQ(init_intf_type(SINGLE_APP), VEM_SUCCESS);
    ASSERT_EQ(init_file(file.c_str(), 1), VEM_SUCCESS);
    fs::remove_all(dir);  // the device is gone
    reconnect_device();
    ASSERT_TRUE(eventually(true));
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_TRUE(reconnect_running()) << "gave up while the device was away";
    fs::create_directory(dir);  // back: the next attempt succeeds and the thread ends
    EXPECT_TRUE(eventually(false));
    EXPECT_TRUE(fs::exists(file));

    fs::remove_all(dir);
    reconnect_device();
    ASSERT_TRUE(eventually(true));
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(init_close(), VEM_SUCCESS);
    EXPECT_FALSE(reconnect_running()) << "close returned before the thread ended";
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1000));
    ::sem_unlink(file_sem_name(file).c_str());
}
