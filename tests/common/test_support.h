// Helpers shared by the tests of the common primitives and the file port.
#ifndef VEM_TESTS_COMMON_SUPPORT_H
#define VEM_TESTS_COMMON_SUPPORT_H

#include <semaphore.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "VEMLogging.h"

namespace vemtest {

// A private directory under /tmp, removed with everything in it.
struct TempDir {
    TempDir() {
        char tmpl[] = "/tmp/vemcmnXXXXXX";
        if (::mkdtemp(tmpl) != nullptr) path = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
    std::string file(const std::string& name) const { return path + "/" + name; }
    std::string path;
};

inline std::string read_file(const std::string& path) {
    std::ostringstream ss;
    ss << std::ifstream(path, std::ios::binary).rdbuf();
    return ss.str();
}

// Sends every log line to a file of its own so a test can look for the
// messages an operation must write.  Restores silence on destruction.
struct LogCapture {
    explicit LogCapture(const TempDir& dir) : path(dir.file("capture.log")) {
        SetLogLevel(0x1F);
        SetLogFileCount(2);
        SetLogFilename(path.c_str());
    }
    ~LogCapture() {
        SetLogLevel(0);
        CancelLogFile();
    }
    std::string text() const { return read_file(path); }
    bool has(const std::string& needle) const { return text().find(needle) != std::string::npos; }
    void clear() const { std::ofstream(path, std::ios::trunc); }
    std::string path;
};

// A semaphore name of the system's family, unique to this process and call,
// and its file in /dev/shm ("/x" -> "/dev/shm/sem.x").
inline std::string unique_sem_name(const char* what) {
    static std::atomic<int> counter{0};
    return std::string("/cmn_share_interface_test_") + what + "_" + std::to_string(::getpid()) +
           "_" + std::to_string(counter++) + "__";
}
inline std::string sem_file(const std::string& name) {
    return "/dev/shm/sem." + name.substr(1);
}

inline mode_t file_mode(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : static_cast<mode_t>(-1);
}

inline int sem_value(sem_t* s) {
    int v = -1;
    ::sem_getvalue(s, &v);
    return v;
}

}  // namespace vemtest

#endif  // VEM_TESTS_COMMON_SUPPORT_H
