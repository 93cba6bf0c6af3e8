// pty.h - the emulator's serial line: a pseudo-terminal in raw mode.
#pragma once

#include <optional>
#include <string>

#include "io.h"

namespace kvrs::emu {

struct Pty {
    UniqueFd master;      // our end: what clients write arrives here
    UniqueFd slave_keep;  // held open so that a client's close never hangs the line up
    std::string path;     // the client's end, /dev/pts/N
};

// Creates a pseudo-terminal in raw mode (no echo, no line editing, no CR/LF
// translation, 8 data bits), the master non-blocking.
std::optional<Pty> open_pty(std::string* error);

// Points `link` at `target` (replacing an older link atomically).
bool make_symlink(const std::string& target, const std::string& link, std::string* error);

}  // namespace kvrs::emu
