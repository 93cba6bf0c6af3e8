// kvrs-emulator's command line and condition scripts: the contract other
// tests start the emulator with.
#include "options.h"

#include <gtest/gtest.h>

#include "io.h"

namespace kvrs::emu {
namespace {

std::string join(const std::vector<std::string>& v) {
    std::string s;
    for (const auto& x : v) s += (s.empty() ? "" : ",") + x;
    return s;
}

// Parses the words of `line` (separated by spaces) as the command line and
// writes what came out as one line.
std::string parsed(std::string_view line) {
    std::vector<std::string_view> args;
    for (std::size_t at = 0; at < line.size();) {
        const std::size_t end = std::min(line.find(' ', at), line.size());
        args.push_back(line.substr(at, end - at));
        at = end + 1;
    }
    std::string err;
    const auto c = parse_command_line(args, &err);
    if (!c) return err.empty() ? "error without a message" : "error";
    const RunOptions& r = c->run;
    const RenderOptions& o = c->render;
    if (c->mode == CommandLine::Mode::Help) return "help";
    if (c->mode == CommandLine::Mode::Ctl)
        return "ctl " + c->ctl.path + " [" + c->ctl.request + "]";
    if (c->mode == CommandLine::Mode::Render)
        return "render " + o.model + "/" + std::to_string(o.paper_mm) + " " + o.out_dir + " " +
               o.name + " " + o.input;
    return r.model + "/" + std::to_string(r.paper_mm) + " tcp " + join(r.tcp) + " udp " +
           join(r.udp) + " snmp " + join(r.snmp) + " set " + join(r.set) + " pty " +
           std::to_string(r.pty) + r.pty_link + " ctl " + r.ctl_path + " idle " +
           std::to_string(r.idle_ms) + (r.verbosity == Verbosity::Quiet ? " quiet" : "") +
           " descr " + r.sys_descr.value_or("-");
}

TEST(EmulatorCommandLine, RunRenderAndCtl) {
    // clang-format off
    const std::pair<const char*, const char*> cases[] = {
        {"", "M2A/80 tcp 127.0.0.1:9100 udp  snmp  set  pty 0 ctl  idle 3000 descr -"},
        {"--model M1A --paper=58 --udp 127.0.0.2:0 --snmp *:1161 --tcp 127.0.0.2:0 --tcp=127.0.0.3:0 "
         "--set cover-open --set offline --pty --ctl /tmp/c --idle-ms 250 --quiet --sysdescr KVRS-M1A",
         "M1A/58 tcp 127.0.0.2:0,127.0.0.3:0 udp 127.0.0.2:0 snmp *:1161 set cover-open,offline "
         "pty 1 ctl /tmp/c idle 250 quiet descr KVRS-M1A"},  // "--ctl" after --pty is no link
        {"--pty /tmp/kvrs-tty", "M2A/80 tcp  udp  snmp  set  pty 1/tmp/kvrs-tty ctl  idle 3000 descr -"},
        {"--tcp 1.2.3.4:1 --help", "help"},
        {"render --out /tmp/o --name cap --model M1A -", "render M1A/80 /tmp/o cap -"},
        {"render f.bin", "render M2A/80 kvrs-out job-0001 f.bin"},
        {"ctl /run/k.sock set cover-open", "ctl /run/k.sock [set cover-open]"}};
    // clang-format on
    for (const auto& [line, want] : cases) EXPECT_EQ(parsed(line), want) << line;
    for (const char* bad :
         {"--model M3A", "--paper 60", "--tcp", "--idle-ms 0", "--frobnicate", "--script after-ms",
          "render", "render a b", "render --name ../x f", "ctl /tmp/c"})
        EXPECT_EQ(parsed(bad), "error") << bad;

    std::string err;
    const auto cl = parse_command_line({"--script", "after-ms 1 set paper-end"}, &err);
    ASSERT_TRUE(cl) << err;
    EXPECT_EQ(cl->run.script.size(), 1u);
}

TEST(EmulatorCommandLine, ScriptsAndEndpoints) {
    std::string err;
    auto s =
        parse_script(" after-bytes 5000 set cover-open;after-ms 2000  clear cover-open ; ", &err);
    ASSERT_TRUE(s && s->size() == 2u) << err;
    const auto& [a, b] = std::pair((*s)[0], (*s)[1]);
    EXPECT_TRUE(a.trigger == ScriptStep::Trigger::Bytes && a.amount == 5000 && a.set);
    EXPECT_TRUE(b.trigger == ScriptStep::Trigger::Ms && b.amount == 2000 && !b.set);
    EXPECT_EQ(a.condition + b.condition, "cover-opencover-open");
    EXPECT_TRUE(parse_script("", &err)->empty());
    for (const char* bad :
         {"after-bytes x set cover-open", "after-bytes -1 set a", "after-lines 3 set a",
          "after-ms 3 toggle a", "after-ms 3 set", "after-ms 3 set a b"}) {
        EXPECT_FALSE(parse_script(bad, &err)) << bad;
        EXPECT_NE(err.find("script step"), std::string::npos) << err;
    }

    EXPECT_EQ(format_endpoint(*parse_endpoint("127.0.0.5:9100")), "127.0.0.5:9100");
    EXPECT_EQ(format_endpoint(*parse_endpoint("*:161")), "0.0.0.0:161");
    for (const char* bad :
         {"127.0.0.1", "127.0.0.1:", "127.0.0.1:65536", "host:80", "127.0.0.1:8x", ":"})
        EXPECT_FALSE(parse_endpoint(bad)) << bad;
}

}  // namespace
}  // namespace kvrs::emu
