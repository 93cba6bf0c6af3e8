// log.cpp - diagnostics on stderr, bounded and written in one call per line.
#include "log.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>

#include "io.h"

namespace kvrs::emu {

Verbosity g_verbosity = Verbosity::Normal;

namespace {

void vlog(const char* fmt, va_list ap) {
    char line[1024];
    int n = std::snprintf(line, sizeof line, "kvrs-emulator: ");
    int m = std::vsnprintf(line + n, sizeof line - static_cast<std::size_t>(n) - 1, fmt, ap);
    std::size_t len = static_cast<std::size_t>(n) + (m < 0 ? 0 : static_cast<std::size_t>(m));
    if (len > sizeof line - 2) {
        len = sizeof line - 2;  // cut long lines, keep the newline
    }
    line[len++] = '\n';
    write_all(STDERR_FILENO, std::string_view(line, len));
}

}  // namespace

void log_error(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vlog(fmt, ap);
    va_end(ap);
}

void log_info(const char* fmt, ...) {
    if (g_verbosity == Verbosity::Quiet) {
        return;
    }
    va_list ap;
    va_start(ap, fmt);
    vlog(fmt, ap);
    va_end(ap);
}

void log_debug(const char* fmt, ...) {
    if (g_verbosity != Verbosity::Verbose) {
        return;
    }
    va_list ap;
    va_start(ap, fmt);
    vlog(fmt, ap);
    va_end(ap);
}

}  // namespace kvrs::emu
