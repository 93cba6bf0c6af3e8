// log.h - the emulator's diagnostics: one concise line per event on stderr.
#pragma once

#include "options.h"

namespace kvrs::emu {

extern Verbosity g_verbosity;  // set once from --quiet / --verbose

// printf-style; "kvrs-emulator: " is prepended and a newline appended.
void log_error(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void log_info(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void log_debug(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace kvrs::emu
