// Helpers shared by the libwardlink tests: a file port of the test's own
// (private /tmp under tools/ns-run.sh), its lock as any other process would
// open it, and child processes that report a step's failure as their exit
// status.
#ifndef VEM_LINK_TEST_H
#define VEM_LINK_TEST_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <semaphore.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "VEMInterface.h"

namespace linktest {

inline std::string read_file(const std::string& path) {
    std::ostringstream out;
    out << std::ifstream(path, std::ios::binary).rdbuf();
    return out.str();
}

// The port lock of a file port, named as the file driver names it.
inline std::string file_sem_name(const std::string& path) {
    std::string n = "/cmn_share_interface_file_sem_" + path + "__";
    for (std::size_t i = 1; i < n.size(); ++i)
        if (n[i] == '/' || n[i] == '\\') n[i] = '_';
    return n;
}

// Value of a named semaphore (1 free, 0 held), -1 when it does not exist.
inline int sem_value(const std::string& name) {
    sem_t* s = ::sem_open(name.c_str(), 0);
    if (s == SEM_FAILED) return -1;
    int v = -1;
    ::sem_getvalue(s, &v);
    ::sem_close(s);
    return v;
}

// Runs fn in a child process; returns its exit status (fn's result), or
// -1 when it did not exit normally.  exit() rather than _exit(): the
// library's unload step is part of what children test.
template <typename Fn>
pid_t spawn(Fn fn) {
    const pid_t pid = ::fork();
    if (pid == 0) std::exit(fn());
    return pid;
}
inline int reap(pid_t pid) {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// A file port of this test process; the file and its lock go afterwards.
class FilePort : public ::testing::Test {
  protected:
    void TearDown() override {
        init_close();
        ::unlink(path_.c_str());
        ::sem_unlink(file_sem_name(path_).c_str());
    }
    std::string path_ = "/tmp/wl-" + std::to_string(::getpid()) + ".bin";
};

}  // namespace linktest

#endif  // VEM_LINK_TEST_H
