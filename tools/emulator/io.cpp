// io.cpp - write loops, descriptor flags and endpoint text.
#include "io.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

namespace kvrs::emu {

std::size_t write_some(int fd, std::span<const std::uint8_t> data, int* err) {
    return vem::write_full(fd, data.data(), data.size(), err);
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
