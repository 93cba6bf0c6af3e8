// Small helpers every test directory used to write for itself: a private
// directory, a whole file as a string, time measured and waited for, bytes
// as hex.
#ifndef VEM_TESTKIT_H
#define VEM_TESTKIT_H

#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace testkit {

inline std::string read_file(const std::filesystem::path& p) {
    std::ostringstream s;
    s << std::ifstream(p, std::ios::binary).rdbuf();
    return s.str();
}

// A directory of its own under /tmp, removed with its content.
struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/vemtest-XXXXXX";
        path = ::mkdtemp(tmpl) != nullptr ? tmpl : "";
    }
    ~TempDir() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const { return path + "/" + name; }
};

using Clock = std::chrono::steady_clock;
inline long ms_since(Clock::time_point t0) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}
// Milliseconds that f takes.
template <typename F>
long elapsed_ms(F&& f) {
    const auto t0 = Clock::now();
    f();
    return ms_since(t0);
}
// Polls cond every 10 ms for up to ms milliseconds.
inline bool wait_until(const auto& cond, int ms = 5000) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!cond()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// "0A 1B ..." (sep " "), or "0A1B..." (sep "").
inline std::string hex(const unsigned char* p, std::size_t n, const char* sep = " ") {
    std::string s;
    char b[4];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02X", p[i]);
        s += (i ? sep : "") + std::string(b);
    }
    return s;
}

}  // namespace testkit

#endif  // VEM_TESTKIT_H
