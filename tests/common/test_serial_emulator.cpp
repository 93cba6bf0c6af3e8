// The serial port driver against the kvrs-emulator program on its pty: a
// receipt printed and a status exchanged through the driver, as a serial
// printer at a till would see them.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "VEMRS232.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path& p) {
    std::ostringstream s;
    s << std::ifstream(p, std::ios::binary).rdbuf();
    return s.str();
}

bool wait_for(const auto& pred) {
    for (int i = 0; i < 500 && !pred(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return pred();
}

TEST(SerialEmulator, PrintAndStatusThroughThePty) {
    char tmpl[] = "/tmp/vemser-emu-XXXXXX";
    const fs::path dir = ::mkdtemp(tmpl), link = dir / "ttyKVRS", out = dir / "out";
    std::vector<std::string> args = {
        KVRS_EMULATOR_BIN, "--quiet",       "--pty",        link.string(),
        "--out",           out.string(),    "--ready-file", (dir / "ready").string(),
        "--set",           "paper-near-end"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    ASSERT_EQ(::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ), 0);
    ASSERT_TRUE(wait_for([&] { return fs::exists(dir / "ready"); }));

    ASSERT_EQ(init_port_serial(0, link.c_str(), 115200, 8, 0, 1, 0), VEM_SUCCESS);
    std::string job = "\x1B@serial receipt\n\x1DV\x01\x10\x04\x10";
    unsigned long n = 0;
    EXPECT_EQ(send_data_serial(0, reinterpret_cast<unsigned char*>(job.data()),
                               static_cast<int>(job.size()), &n, 2000),
              VEM_SUCCESS);
    unsigned char status[6] = {};
    EXPECT_EQ(receive_data_serial(0, status, 6, &n, 2000), VEM_SUCCESS);
    EXPECT_EQ(n, 6U);
    EXPECT_EQ(status[3], 0x0C) << "paper near end";
    close_port_serial(0);
    char name[VEM_SEM_NAME_SIZE];
    if (compose_port_sem_name(name, VEM_SERIAL_SEM_TEMPLATE, link.c_str())) ::sem_unlink(name);

    int st = -1;
    ::kill(pid, SIGTERM);
    ::waitpid(pid, &st, 0);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    const std::string events = read_file(out / "job-0001.events.jsonl");
    EXPECT_NE(events.find("\"text\":\"serial receipt\""), std::string::npos) << events;
    EXPECT_NE(events.find("\"kind\":\"cut\""), std::string::npos) << events;
    fs::remove_all(dir);
}

}  // namespace
