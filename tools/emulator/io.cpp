// io.cpp - descriptor ownership and write loops.
#include "io.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

namespace kvrs::emu {

void UniqueFd::reset(int fd) {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = fd;
}

std::size_t write_some(int fd, std::span<const std::uint8_t> data, int* err) {
    std::size_t done = 0;
    if (err) {
        *err = 0;
    }
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (err) {
                *err = errno;
            }
            break;
        }
        if (n == 0) {
            if (err) {
                *err = EIO;
            }
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

bool write_all(int fd, std::span<const std::uint8_t> data) {
    int err = 0;
    return write_some(fd, data, &err) == data.size();
}

bool write_all(int fd, std::string_view text) {
    return write_all(fd,
                     std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

bool set_nonblocking(int fd, bool on) {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) {
        return false;
    }
    flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return ::fcntl(fd, F_SETFL, flags) == 0;
}

std::optional<sockaddr_in> parse_endpoint(std::string_view text) {
    auto colon = text.rfind(':');
    if (colon == std::string_view::npos || colon + 1 >= text.size()) {
        return std::nullopt;
    }
    std::string host(text.substr(0, colon));
    std::string_view port_text = text.substr(colon + 1);
    unsigned port = 0;
    auto [end, ec] = std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
    if (ec != std::errc() || end != port_text.data() + port_text.size() || port > 65535) {
        return std::nullopt;
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    if (host == "*" || host.empty()) {
        sa.sin_addr.s_addr = htonl(INADDR_ANY);
    } else if (::inet_pton(AF_INET, host.c_str(), &sa.sin_addr) != 1) {
        return std::nullopt;
    }
    return sa;
}

std::string format_endpoint(const sockaddr_in& sa) {
    char host[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &sa.sin_addr, host, sizeof host);
    char buf[INET_ADDRSTRLEN + 8];
    std::snprintf(buf, sizeof buf, "%s:%u", host, static_cast<unsigned>(ntohs(sa.sin_port)));
    return buf;
}

}  // namespace kvrs::emu
