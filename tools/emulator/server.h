// server.h - the running emulator: every transport served by one poll() loop.
//
// One thread serves every connection.  The core interprets a chunk of at
// most 64 KiB in well under a millisecond, so a status request inside a long
// job is answered as soon as its bytes are read, whatever else streams at
// the same time; and one thread keeps the condition changes, the byte counts
// of the scripts and the job numbering in a single order without locks.
// Encoding pictures and writing files, which take far longer, happen on the
// core's writer thread.
#pragma once

#include <netinet/in.h>

#include <filesystem>
#include <string>
#include <vector>

#include "kvrs_emulator.h"
#include "options.h"
#include "snmp.h"

namespace kvrs::emu {

struct ServerConfig {
    Paper paper;
    std::filesystem::path out_dir;
    std::vector<sockaddr_in> tcp, udp, snmp;
    bool pty = false;
    std::string pty_link;
    std::string ctl_path;
    Conditions conditions;
    std::vector<ScriptStep> script;
    int idle_ms = 3000;
    snmp::AgentConfig agent;
    std::string ready_file;
    // Bytes of pictures (8-bit pixels) that may wait to be written for one
    // job, and for all jobs together, before a job's input is paused.
    std::size_t job_limit = std::size_t{64} << 20;
    std::size_t total_limit = std::size_t{256} << 20;
};

// Runs until SIGTERM or SIGINT; then finishes the open jobs (their files are
// written) and returns the exit status: 0, or 1 when a listener could not
// be set up.
int run_server(const ServerConfig& config);

}  // namespace kvrs::emu
