// ctl.h - the control socket: a unix stream socket that takes one request per
// line ("set COND", "clear COND", "status", "jobs") and answers with text.
#pragma once

#include <string>

#include "io.h"

namespace kvrs::emu {

// Binds and listens on `path` (a stale socket file there is replaced).
UniqueFd listen_control(const std::string& path, std::string* error);

// `kvrs-emulator ctl PATH REQUEST`: sends the request, prints the answer on
// stdout.  Exit status: 0 answered, 1 the emulator answered with an error,
// 2 no emulator reachable on that path.
int run_ctl_client(const std::string& path, const std::string& request);

}  // namespace kvrs::emu
