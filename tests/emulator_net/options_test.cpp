// kvrs-emulator's command line and condition scripts: the contract other
// tests start the emulator with.
#include "options.h"

#include <gtest/gtest.h>

#include "io.h"

namespace kvrs::emu {
namespace {

// Parses the words of `line` (separated by spaces) as the command line.
std::optional<CommandLine> parse(std::string_view line, std::string* err = nullptr) {
    std::vector<std::string_view> args;
    for (std::size_t at = 0; at < line.size();) {
        const std::size_t end = std::min(line.find(' ', at), line.size());
        args.push_back(line.substr(at, end - at));
        at = end + 1;
    }
    std::string e;
    return parse_command_line(args, err ? err : &e);
}

TEST(EmulatorScript, StepsInOrder) {
    std::string err;
    auto s =
        parse_script(" after-bytes 5000 set cover-open;after-ms 2000  clear cover-open ; ", &err);
    ASSERT_TRUE(s) << err;
    ASSERT_EQ(s->size(), 2u);
    EXPECT_EQ((*s)[0].trigger, ScriptStep::Trigger::Bytes);
    EXPECT_EQ((*s)[0].amount, 5000u);
    EXPECT_TRUE((*s)[0].set);
    EXPECT_EQ((*s)[0].condition, "cover-open");
    EXPECT_EQ((*s)[1].trigger, ScriptStep::Trigger::Ms);
    EXPECT_EQ((*s)[1].amount, 2000u);
    EXPECT_FALSE((*s)[1].set);
    EXPECT_TRUE(parse_script("", &err)->empty());
    for (const char* bad :
         {"after-bytes x set cover-open", "after-bytes -1 set a", "after-lines 3 set a",
          "after-ms 3 toggle a", "after-ms 3 set", "after-ms 3 set a b"}) {
        EXPECT_FALSE(parse_script(bad, &err)) << bad;
        EXPECT_NE(err.find("script step"), std::string::npos) << err;
    }
}

TEST(EmulatorCommandLine, RunRenderAndCtl) {
    std::string err;
    auto cl = parse("");
    ASSERT_TRUE(cl);
    EXPECT_EQ(cl->mode, CommandLine::Mode::Run);
    EXPECT_EQ(cl->run.tcp, std::vector<std::string>{"127.0.0.1:9100"});  // the default printer

    cl = parse(
        "--model M1A --paper=58 --udp 127.0.0.2:0 --snmp *:1161 --tcp 127.0.0.2:0 "
        "--tcp=127.0.0.3:0 --set cover-open --set offline --pty --ctl /tmp/c --idle-ms 250 "
        "--quiet");
    ASSERT_TRUE(cl);
    EXPECT_EQ(cl->run.model, "M1A");
    EXPECT_EQ(cl->run.paper_mm, 58);
    EXPECT_EQ(cl->run.tcp, (std::vector<std::string>{"127.0.0.2:0", "127.0.0.3:0"}));
    EXPECT_EQ(cl->run.udp.size() + cl->run.snmp.size(), 2u);
    EXPECT_EQ(cl->run.set, (std::vector<std::string>{"cover-open", "offline"}));
    EXPECT_TRUE(cl->run.pty);
    EXPECT_EQ(cl->run.pty_link, "");  // "--ctl" that follows is no link name
    EXPECT_EQ(cl->run.ctl_path, "/tmp/c");
    EXPECT_EQ(cl->run.idle_ms, 250);
    EXPECT_EQ(cl->run.verbosity, Verbosity::Quiet);
    EXPECT_EQ(parse_command_line(
                  {{"--script", "after-ms 1 set paper-end", "--sysdescr", "KVRS-M1A x"}}, &err)
                  ->run.sys_descr,
              "KVRS-M1A x");

    cl = parse("--pty /tmp/kvrs-tty");
    ASSERT_TRUE(cl);
    EXPECT_EQ(cl->run.pty_link, "/tmp/kvrs-tty");
    EXPECT_TRUE(cl->run.tcp.empty());  // a pty alone is a transport too
    EXPECT_EQ(parse("--tcp 1.2.3.4:1 --help")->mode, CommandLine::Mode::Help);

    cl = parse("render --out /tmp/o --name cap --model M1A -");
    ASSERT_TRUE(cl);
    EXPECT_EQ(cl->mode, CommandLine::Mode::Render);
    EXPECT_EQ(cl->render.input, "-");
    EXPECT_EQ(cl->render.name, "cap");
    EXPECT_EQ(cl->render.out_dir, "/tmp/o");
    EXPECT_EQ(cl->render.model, "M1A");
    EXPECT_EQ(parse("render f.bin")->render.name, "job-0001");

    cl = parse("ctl /run/k.sock set cover-open");
    ASSERT_TRUE(cl);
    EXPECT_EQ(cl->mode, CommandLine::Mode::Ctl);
    EXPECT_EQ(cl->ctl.path, "/run/k.sock");
    EXPECT_EQ(cl->ctl.request, "set cover-open");

    for (const char* bad :
         {"--model M3A", "--paper 60", "--tcp", "--idle-ms 0", "--frobnicate", "--script after-ms",
          "render", "render a b", "render --name ../x f", "ctl /tmp/c"}) {
        EXPECT_FALSE(parse(bad, &err)) << bad;
        EXPECT_FALSE(err.empty());
    }
}

TEST(EmulatorCommandLine, Endpoints) {
    EXPECT_EQ(format_endpoint(*parse_endpoint("127.0.0.5:9100")), "127.0.0.5:9100");
    EXPECT_EQ(format_endpoint(*parse_endpoint("*:161")), "0.0.0.0:161");
    for (const char* bad :
         {"127.0.0.1", "127.0.0.1:", "127.0.0.1:65536", "host:80", "127.0.0.1:8x", ":"})
        EXPECT_FALSE(parse_endpoint(bad)) << bad;
}

}  // namespace
}  // namespace kvrs::emu
