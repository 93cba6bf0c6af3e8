// pty.cpp - pseudo-terminal set-up for the emulator's serial line.
#include "pty.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kvrs::emu {

std::optional<Pty> open_pty(std::string* error) {
    auto fail = [error](const char* what) -> std::optional<Pty> {
        if (error) {
            *error = std::string(what) + ": " + std::strerror(errno);
        }
        return std::nullopt;
    };
    Pty p;
    p.master.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!p.master) {
        return fail("posix_openpt");
    }
    if (::grantpt(p.master.get()) != 0 || ::unlockpt(p.master.get()) != 0) {
        return fail("grantpt/unlockpt");
    }
    char name[128] = {};
    if (::ptsname_r(p.master.get(), name, sizeof name) != 0) {
        return fail("ptsname");
    }
    p.path = name;
    p.slave_keep.reset(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!p.slave_keep) {
        return fail(name);
    }
    // The line discipline sits on the client's end: make it a plain 8-bit
    // byte pipe so that status replies and graphics pass untouched.
    termios t{};
    if (::tcgetattr(p.slave_keep.get(), &t) != 0) {
        return fail("tcgetattr");
    }
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    ::cfsetispeed(&t, B19200);
    ::cfsetospeed(&t, B19200);
    if (::tcsetattr(p.slave_keep.get(), TCSANOW, &t) != 0) {
        return fail("tcsetattr");
    }
    if (!set_nonblocking(p.master.get())) {
        return fail("fcntl");
    }
    return p;
}

bool make_symlink(const std::string& target, const std::string& link, std::string* error) {
    std::string tmp = link + ".tmp" + std::to_string(::getpid());
    ::unlink(tmp.c_str());
    if (::symlink(target.c_str(), tmp.c_str()) != 0 || ::rename(tmp.c_str(), link.c_str()) != 0) {
        if (error) {
            *error = link + ": " + std::strerror(errno);
        }
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

}  // namespace kvrs::emu
