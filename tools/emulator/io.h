// io.h - descriptor ownership and the small I/O helpers the emulator
// program shares between its transports, the control client and the tests.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "VEMFd.h"

namespace kvrs::emu {

using vem::UniqueFd;

// Writes all of `data`, looping over short writes and EINTR.  On a
// non-blocking descriptor it stops at EAGAIN.  Returns the number of bytes
// written; `*err` receives errno when it stopped early (0 otherwise).
std::size_t write_some(int fd, std::span<const std::uint8_t> data, int* err);
// Writes all of `data` on a blocking descriptor; false on error.
using vem::write_all;

bool set_nonblocking(int fd, bool on = true);

// "ADDR:PORT" with an IPv4 address (dotted or "*" / "0.0.0.0" for every
// interface) and a port 0..65535.
std::optional<sockaddr_in> parse_endpoint(std::string_view text);
std::string format_endpoint(const sockaddr_in& sa);

}  // namespace kvrs::emu
