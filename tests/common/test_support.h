// Helpers shared by the tests of the common primitives and the file port.
#pragma once
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "VEMLogging.h"

// A private directory under /tmp, removed with everything in it.
struct TempDir {
    TempDir() { path = ::mkdtemp(tmpl) ? tmpl : ""; }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string file(const std::string& name) const { return path + "/" + name; }
    char tmpl[24] = "/tmp/vemcmnXXXXXX";
    std::string path;
};

inline std::string read_file(const std::string& path) {
    std::ostringstream ss;
    ss << std::ifstream(path, std::ios::binary).rdbuf();
    return ss.str();
}

// Sends every log line to a file of its own, so that a test can look for the
// messages an operation must write; silent again when destroyed.
struct LogCapture {
    explicit LogCapture(const TempDir& dir) : path(dir.file("capture.log")) {
        SetLogLevel(0x1F), SetLogFileCount(2), SetLogFilename(path.c_str());
    }
    ~LogCapture() { SetLogLevel(0), CancelLogFile(); }
    std::string text() const { return read_file(path); }
    bool has(const std::string& needle) const { return text().find(needle) != std::string::npos; }
    void clear() const { std::ofstream(path, std::ios::trunc); }
    std::string path;
};
