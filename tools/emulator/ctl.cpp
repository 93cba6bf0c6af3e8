// ctl.cpp - control socket set-up and the `kvrs-emulator ctl` client.
#include "ctl.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kvrs::emu {

namespace {

bool fill_address(const std::string& path, sockaddr_un* sa, std::string* error) {
    *sa = {};
    sa->sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof sa->sun_path) {
        if (error) {
            *error = "control socket path \"" + path + "\" is empty or longer than " +
                     std::to_string(sizeof sa->sun_path - 1) + " bytes";
        }
        return false;
    }
    std::memcpy(sa->sun_path, path.c_str(), path.size() + 1);
    return true;
}

}  // namespace

UniqueFd listen_control(const std::string& path, std::string* error) {
    sockaddr_un sa;
    if (!fill_address(path, &sa, error)) {
        return {};
    }
    // Replace a socket left behind by an emulator that was killed; never
    // remove anything that is not a socket.
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
        ::unlink(path.c_str());
    }
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        ::listen(fd.get(), 16) != 0) {
        if (error) {
            *error = path + ": " + std::strerror(errno);
        }
        return {};
    }
    return fd;
}

int run_ctl_client(const std::string& path, const std::string& request) {
    std::string error;
    sockaddr_un sa;
    if (!fill_address(path, &sa, &error)) {
        std::fprintf(stderr, "kvrs-emulator ctl: %s\n", error.c_str());
        return 2;
    }
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd || ::connect(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        std::fprintf(stderr, "kvrs-emulator ctl: cannot reach an emulator on %s: %s\n",
                     path.c_str(), std::strerror(errno));
        return 2;
    }
    if (!write_all(fd.get(), request + "\n")) {
        std::fprintf(stderr, "kvrs-emulator ctl: %s: %s\n", path.c_str(), std::strerror(errno));
        return 2;
    }
    ::shutdown(fd.get(), SHUT_WR);
    // The emulator answers and closes; give up after five quiet seconds.
    std::string answer;
    char buf[4096];
    while (true) {
        pollfd p{fd.get(), POLLIN, 0};
        int r = ::poll(&p, 1, 5000);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            std::fprintf(stderr, "kvrs-emulator ctl: no answer from %s\n", path.c_str());
            return 2;
        }
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        answer.append(buf, static_cast<std::size_t>(n));
    }
    write_all(STDOUT_FILENO, answer);
    return answer.starts_with("error") ? 1 : 0;
}

}  // namespace kvrs::emu
