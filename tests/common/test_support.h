// Helpers shared by the tests of the common primitives and the file port.
#ifndef VEM_TESTS_COMMON_SUPPORT_H
#define VEM_TESTS_COMMON_SUPPORT_H

#include <semaphore.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "VEMLogging.h"

namespace vemtest {

// A private directory under /tmp, removed with everything in it.
class TempDir {
  public:
    TempDir() {
        char tmpl[] = "/tmp/vemcmnXXXXXX";
        if (::mkdtemp(tmpl) != nullptr) path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void write_file(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

// Sends every log line to a file of its own so a test can look for the
// messages an operation must write.  Restores silence on destruction.
class LogCapture {
  public:
    explicit LogCapture(const TempDir& dir) : path_(dir.file("capture.log")) {
        SetLogLevel(0x1F);
        SetLogFileCount(2);
        SetLogFilename(path_.c_str());
    }
    ~LogCapture() {
        SetLogLevel(0);
        CancelLogFile();
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    std::string text() const { return read_file(path_); }
    bool has(const std::string& needle) const { return text().find(needle) != std::string::npos; }
    void clear() const { std::ofstream(path_, std::ios::trunc); }

  private:
    std::string path_;
};

// A semaphore name of the system's family, unique to this process and call.
inline std::string unique_sem_name(const char* what) {
    static std::atomic<int> counter{0};
    return std::string("/cmn_share_interface_test_") + what + "_" + std::to_string(::getpid()) +
           "_" + std::to_string(counter++) + "__";
}

// /dev/shm file of a semaphore name ("/x" -> "/dev/shm/sem.x").
inline std::string sem_file(const std::string& name) {
    return "/dev/shm/sem." + name.substr(1);
}

inline mode_t file_mode(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return static_cast<mode_t>(-1);
    return st.st_mode & 07777;
}

inline int sem_value(sem_t* s) {
    int v = -1;
    ::sem_getvalue(s, &v);
    return v;
}

// Hex dump for failure messages.
inline std::string hex(const std::string& bytes) {
    std::string out;
    char b[4];
    for (unsigned char c : bytes) {
        std::snprintf(b, sizeof b, "%02X ", c);
        out += b;
    }
    return out;
}

}  // namespace vemtest

#endif  // VEM_TESTS_COMMON_SUPPORT_H
