// options.cpp - command-line and script parsing of kvrs-emulator.
#include "options.h"

#include <charconv>

namespace kvrs::emu {

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\n')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\n')) {
        s.remove_suffix(1);
    }
    return s;
}

std::vector<std::string_view> words(std::string_view s) {
    std::vector<std::string_view> out;
    s = trim(s);
    while (!s.empty()) {
        auto end = s.find_first_of(" \t\n");
        out.push_back(s.substr(0, end));
        if (end == std::string_view::npos) {
            break;
        }
        s = trim(s.substr(end));
    }
    return out;
}

template <typename T>
bool parse_number(std::string_view s, T* out) {
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), *out);
    return !s.empty() && ec == std::errc() && end == s.data() + s.size();
}

bool parse_model(std::string_view v, std::string* out) {
    if (v == "M1A" || v == "KVRS-M1A" || v == "m1a") {
        *out = "M1A";
        return true;
    }
    if (v == "M2A" || v == "KVRS-M2A" || v == "m2a") {
        *out = "M2A";
        return true;
    }
    return false;
}

bool parse_paper(std::string_view v, int* out) {
    if (v == "80" || v == "58") {
        *out = v == "80" ? 80 : 58;
        return true;
    }
    return false;
}

// Walks argv, splitting "--opt=value" and handing out values.
class ArgWalker {
  public:
    explicit ArgWalker(const std::vector<std::string_view>& args, std::size_t start)
        : args_(args), i_(start) {}
    bool done() const { return i_ >= args_.size() && !pending_; }
    // The next argument; for "--opt=value" the option part.
    std::string_view next() {
        pending_.reset();
        std::string_view a = args_[i_++];
        if (a.starts_with("--")) {
            auto eq = a.find('=');
            if (eq != std::string_view::npos) {
                pending_ = a.substr(eq + 1);
                return a.substr(0, eq);
            }
        }
        return a;
    }
    // The value of the option just read; nullopt if none follows.
    std::optional<std::string_view> value() {
        if (pending_) {
            auto v = *pending_;
            pending_.reset();
            return v;
        }
        if (i_ < args_.size()) {
            return args_[i_++];
        }
        return std::nullopt;
    }
    // A value only if one was attached with "=" or the next word is no option.
    std::optional<std::string_view> optional_value() {
        if (pending_ || (i_ < args_.size() && !args_[i_].starts_with("-"))) {
            return value();
        }
        return std::nullopt;
    }
    bool has_attached_value() const { return pending_.has_value(); }

  private:
    const std::vector<std::string_view>& args_;
    std::size_t i_;
    std::optional<std::string_view> pending_;
};

std::optional<CommandLine> fail(std::string* error, std::string msg) {
    if (error) {
        *error = std::move(msg);
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::vector<ScriptStep>> parse_script(std::string_view text, std::string* error) {
    std::vector<ScriptStep> steps;
    auto bad = [error](std::string_view step,
                       const char* why) -> std::optional<std::vector<ScriptStep>> {
        if (error) {
            *error = "script step \"" + std::string(step) + "\": " + why;
        }
        return std::nullopt;
    };
    while (true) {
        auto semi = text.find(';');
        std::string_view raw = trim(text.substr(0, semi));
        if (!raw.empty()) {
            auto w = words(raw);
            if (w.size() != 4) {
                return bad(raw, "expected \"after-bytes|after-ms N set|clear CONDITION\"");
            }
            ScriptStep s;
            if (w[0] == "after-bytes") {
                s.trigger = ScriptStep::Trigger::Bytes;
            } else if (w[0] == "after-ms") {
                s.trigger = ScriptStep::Trigger::Ms;
            } else {
                return bad(raw, "a step begins with after-bytes or after-ms");
            }
            if (!parse_number(w[1], &s.amount)) {
                return bad(raw, "the count is not a non-negative number");
            }
            if (w[2] == "set") {
                s.set = true;
            } else if (w[2] == "clear") {
                s.set = false;
            } else {
                return bad(raw, "the action is set or clear");
            }
            s.condition = std::string(w[3]);
            steps.push_back(std::move(s));
        }
        if (semi == std::string_view::npos) {
            break;
        }
        text.remove_prefix(semi + 1);
    }
    return steps;
}

std::optional<CommandLine> parse_command_line(const std::vector<std::string_view>& args,
                                              std::string* error) {
    CommandLine cl;
    std::size_t start = 0;
    if (!args.empty() && args[0] == "render") {
        cl.mode = CommandLine::Mode::Render;
        start = 1;
    } else if (!args.empty() && args[0] == "ctl") {
        cl.mode = CommandLine::Mode::Ctl;
        if (args.size() < 3) {
            return fail(
                error,
                "ctl needs a socket path and a request (set COND, clear COND, status, jobs)");
        }
        cl.ctl.path = std::string(args[1]);
        for (std::size_t i = 2; i < args.size(); ++i) {
            if (i > 2) {
                cl.ctl.request += ' ';
            }
            cl.ctl.request += args[i];
        }
        return cl;
    }

    ArgWalker w(args, start);
    auto need = [&](std::string_view opt, std::string* err) -> std::optional<std::string_view> {
        auto v = w.value();
        if (!v && err) {
            *err = "option " + std::string(opt) + " needs a value";
        }
        return v;
    };
    std::string err;
    while (!w.done()) {
        std::string_view a = w.next();
        if (a == "--help" || a == "-h") {
            cl.mode = CommandLine::Mode::Help;
            return cl;
        }
        if (a == "--quiet" || a == "-q" || a == "--verbose" || a == "-v") {
            auto v = (a == "--quiet" || a == "-q") ? Verbosity::Quiet : Verbosity::Verbose;
            cl.run.verbosity = v;
            cl.render.verbosity = v;
            continue;
        }
        if (a == "--model" || a == "--paper" || a == "--out") {
            auto v = need(a, &err);
            if (!v) {
                return fail(error, err);
            }
            if (a == "--model") {
                if (!parse_model(*v, &cl.run.model)) {
                    return fail(error, "--model is M1A or M2A, not \"" + std::string(*v) + "\"");
                }
                cl.render.model = cl.run.model;
            } else if (a == "--paper") {
                if (!parse_paper(*v, &cl.run.paper_mm)) {
                    return fail(error, "--paper is 80 or 58, not \"" + std::string(*v) + "\"");
                }
                cl.render.paper_mm = cl.run.paper_mm;
            } else {
                if (v->empty()) {
                    return fail(error, "--out needs a directory");
                }
                cl.run.out_dir = cl.render.out_dir = std::string(*v);
            }
            continue;
        }
        if (cl.mode == CommandLine::Mode::Render) {
            if (a == "--name") {
                auto v = need(a, &err);
                if (!v) {
                    return fail(error, err);
                }
                if (v->empty() || v->find('/') != std::string_view::npos) {
                    return fail(error, "--name is a file name without '/'");
                }
                cl.render.name = std::string(*v);
            } else if (a == "-" || !a.starts_with("-")) {
                if (!cl.render.input.empty()) {
                    return fail(error, "render reads one input (a file or -)");
                }
                cl.render.input = std::string(a);
            } else {
                return fail(error, "unknown render option " + std::string(a));
            }
            continue;
        }
        // Run mode.
        if (a == "--tcp" || a == "--udp" || a == "--snmp") {
            auto v = need(a, &err);
            if (!v) {
                return fail(error, err);
            }
            auto& list = a == "--tcp" ? cl.run.tcp : a == "--udp" ? cl.run.udp : cl.run.snmp;
            list.emplace_back(*v);
        } else if (a == "--pty") {
            cl.run.pty = true;
            if (auto v = w.optional_value()) {
                cl.run.pty_link = std::string(*v);
            }
        } else if (a == "--ctl" || a == "--ready-file" || a == "--sysdescr" ||
                   a == "--sysobjectid") {
            auto v = need(a, &err);
            if (!v) {
                return fail(error, err);
            }
            if (a == "--ctl") {
                cl.run.ctl_path = std::string(*v);
            } else if (a == "--ready-file") {
                cl.run.ready_file = std::string(*v);
            } else if (a == "--sysdescr") {
                cl.run.sys_descr = std::string(*v);
            } else {
                cl.run.sys_object_id = std::string(*v);
            }
        } else if (a == "--set") {
            auto v = need(a, &err);
            if (!v) {
                return fail(error, err);
            }
            cl.run.set.emplace_back(*v);
        } else if (a == "--script") {
            auto v = need(a, &err);
            if (!v) {
                return fail(error, err);
            }
            auto steps = parse_script(*v, &err);
            if (!steps) {
                return fail(error, err);
            }
            cl.run.script.insert(cl.run.script.end(), steps->begin(), steps->end());
        } else if (a == "--job-limit" || a == "--total-limit") {
            auto v = need(a, &err);
            if (!v) {
                return fail(error, err);
            }
            std::size_t mib = 0;
            if (!parse_number(*v, &mib) || mib < 1 || mib > (std::size_t{1} << 20)) {
                return fail(error, std::string(a) + " needs a number of MiB from 1 to 1048576");
            }
            (a == "--job-limit" ? cl.run.job_limit_mib : cl.run.total_limit_mib) = mib;
        } else if (a == "--idle-ms") {
            auto v = need(a, &err);
            if (!v) {
                return fail(error, err);
            }
            if (!parse_number(*v, &cl.run.idle_ms) || cl.run.idle_ms < 1) {
                return fail(error, "--idle-ms needs a positive number of milliseconds");
            }
        } else {
            return fail(error, "unknown option " + std::string(a) + " (see --help)");
        }
    }
    if (cl.mode == CommandLine::Mode::Render && cl.render.input.empty()) {
        return fail(error, "render needs a file to read, or - for standard input");
    }
    if (cl.mode == CommandLine::Mode::Run && cl.run.tcp.empty() && cl.run.udp.empty() &&
        cl.run.snmp.empty() && !cl.run.pty) {
        cl.run.tcp.emplace_back("127.0.0.1:9100");
    }
    return cl;
}

}  // namespace kvrs::emu
