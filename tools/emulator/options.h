// options.h - the kvrs-emulator command line and the condition script.
//
// Parsing is kept apart from the program so that it can be tested on its
// own; condition names are checked by the caller against the core's list.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kvrs::emu {

// One step of a condition script.  Steps run in order: each waits for its
// trigger counted from the moment the previous step fired (the first from
// the start of the process), then sets or clears its condition.
struct ScriptStep {
    enum class Trigger { Bytes, Ms };
    Trigger trigger = Trigger::Bytes;
    std::uint64_t amount = 0;
    bool set = true;
    std::string condition;
};

// "after-bytes N set|clear COND; after-ms N set|clear COND; ..."
// Empty steps (";;") are allowed.  On error returns nullopt and a message.
std::optional<std::vector<ScriptStep>> parse_script(std::string_view text, std::string* error);

enum class Verbosity { Quiet, Normal, Verbose };

struct RunOptions {
    std::string model = "M2A";
    int paper_mm = 80;
    std::string out_dir = "kvrs-out";
    std::vector<std::string> tcp, udp, snmp;  // ADDR:PORT, as given
    bool pty = false;
    std::string pty_link;
    std::string ctl_path;
    std::vector<std::string> set;  // condition names
    std::vector<ScriptStep> script;
    int idle_ms = 3000;
    std::optional<std::string> sys_descr;
    std::string sys_object_id = "1.3.6.1.4.1.64101.1.2";
    std::string ready_file;
    std::size_t job_limit_mib = 64;     // --job-limit
    std::size_t total_limit_mib = 256;  // --total-limit
    Verbosity verbosity = Verbosity::Normal;
};

struct RenderOptions {
    std::string model = "M2A";
    int paper_mm = 80;
    std::string out_dir = "kvrs-out";
    std::string name = "job-0001";
    std::string input;  // a path, or "-" for standard input
    Verbosity verbosity = Verbosity::Normal;
};

struct CtlOptions {
    std::string path;
    std::string request;  // the words after the path, joined by blanks
};

struct CommandLine {
    enum class Mode { Run, Render, Ctl, Help } mode = Mode::Run;
    RunOptions run;
    RenderOptions render;
    CtlOptions ctl;
};

// Parses argv[1..].  nullopt with a message on a usage error.
std::optional<CommandLine> parse_command_line(const std::vector<std::string_view>& args,
                                              std::string* error);

}  // namespace kvrs::emu
