// main.cpp - kvrs-emulator: a virtual KVRS receipt printer.
//
//   kvrs-emulator [options]           serve TCP/UDP/SNMP/pty until SIGTERM
//   kvrs-emulator render FILE|-       draw a captured command stream
//   kvrs-emulator ctl PATH REQUEST    steer a running emulator
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "ctl.h"
#include "io.h"
#include "kvrs_emulator.h"
#include "log.h"
#include "options.h"
#include "server.h"
#include "snmp.h"

namespace kvrs::emu {
namespace {

const char kHelp[] =
    "kvrs-emulator - a virtual KVRS receipt printer that draws what it prints\n"
    "\n"
    "Usage:\n"
    "  kvrs-emulator [options]                 run a printer until SIGTERM or Ctrl-C\n"
    "  kvrs-emulator render [options] FILE|-   draw a captured command stream, then exit\n"
    "  kvrs-emulator ctl PATH REQUEST          talk to a running printer's control socket\n"
    "\n"
    "Quick start:\n"
    "  kvrs-emulator --out /tmp/receipts &             # a printer on 127.0.0.1:9100\n"
    "  printf 'Hello\\n\\x1bJ\\x40\\x1bi' >/dev/tcp/127.0.0.1/9100   # bash; text, feed, cut\n"
    "  ls /tmp/receipts    # job-0001.events.jsonl  job-0001-r01.png\n"
    "\n"
    "Printer:\n"
    "  --model M1A|M2A      model (default M2A)\n"
    "  --paper 80|58        roll width in mm (default 80); the picture is as wide as\n"
    "                       the paper: M2A 576/400 dots, M1A 512/360 dots\n"
    "  --out DIR            where job files go (default ./kvrs-out; created)\n"
    "\n"
    "Connections (each repeatable except --pty; several at once are fine).\n"
    "ADDR is an IPv4 address or * for every interface; PORT 0 picks a free port:\n"
    "  --tcp ADDR:PORT      print data with status answered on the same connection\n"
    "                       (a real printer: 9100). Without any connection option:\n"
    "                       --tcp 127.0.0.1:9100\n"
    "  --udp ADDR:PORT      status by datagram (a real printer: 3000): 4-byte sequence\n"
    "                       number + command in, the same 4 bytes + 6 status bytes out\n"
    "  --snmp ADDR:PORT     SNMPv1 agent (a real printer: 161) for sysDescr.0 and\n"
    "                       sysObjectID.0; use *:PORT to receive broadcasts\n"
    "  --pty [LINK]         a pseudo-terminal as serial line; prints \"pty: /dev/pts/N\"\n"
    "                       and links LINK to it if given\n"
    "  --sysdescr TEXT      SNMP sysDescr (default \"KVRS-M2A Receipt Printer\", or M1A)\n"
    "  --sysobjectid OID    SNMP sysObjectID (default 1.3.6.1.4.1.64101.1.2)\n"
    "  --ready-file PATH    written once everything listens, one line each:\n"
    "                       \"tcp ADDR:PORT\", \"udp ...\", \"snmp ...\", \"pty /dev/pts/N\"\n"
    "                       (ports as actually bound)\n"
    "\n"
    "Jobs: everything received on one TCP connection is one job, job-NNNN (counted\n"
    "from 0001 across all connections). Each receipt's picture is written as soon\n"
    "as the receipt ends; the event log when the client closes or half-closes,\n"
    "before the emulator closes its side:\n"
    "  DIR/job-NNNN-rNN.png        one picture per receipt (a cut ends a receipt)\n"
    "  DIR/job-NNNN.events.jsonl   what the printer did, one JSON object per line\n"
    "  --idle-ms N          on a connection that stays open, a receipt also ends after\n"
    "                       N ms without data (default 3000); on the pty, where no\n"
    "                       connection ends, the job ends and its files are written\n"
    "\n"
    "Memory: pictures are encoded and written on a thread of their own. Receipts\n"
    "waiting for it are bounded; beyond a limit a job's input is paused (its\n"
    "client waits, nothing is lost), its event log gets a \"busy\" event and the\n"
    "emulator logs it:\n"
    "  --job-limit MIB      pictures one job may have waiting (default 64)\n"
    "  --total-limit MIB    pictures all jobs together may have waiting (default 256)\n"
    "  Besides, one job holds at most the receipt being drawn (65536 rows: 36 MiB\n"
    "  on 576 dots) and its stored graphics (at most 18 MiB), and 256 KiB of\n"
    "  events (the rest is on disk). A waiting receipt counts one byte a dot of\n"
    "  the rows drawn on (blank paper below them is free).\n"
    "\n"
    "Status conditions (what the 6-byte status reply reports):\n"
    "  cover-open, other-error, cutter-error, unrecoverable-error, recoverable-error,\n"
    "  paper-near-end, paper-end, other-error-2, and offline (status requests and\n"
    "  SNMP go unanswered; print data is still taken)\n"
    "  --set COND           start with COND set (repeatable)\n"
    "  --ctl PATH           control socket; then, while it runs:\n"
    "                         kvrs-emulator ctl PATH set cover-open\n"
    "                         kvrs-emulator ctl PATH clear cover-open\n"
    "                         kvrs-emulator ctl PATH status   (conditions, reply bytes)\n"
    "                         kvrs-emulator ctl PATH jobs     (jobs so far)\n"
    "  --script TEXT        timed changes, steps separated by ';' and taken in order,\n"
    "                       each counted from the moment the previous one applied:\n"
    "                         after-bytes N set|clear COND   after N more bytes of print\n"
    "                                                        data (all connections)\n"
    "                         after-ms N set|clear COND      N milliseconds later\n"
    "                       e.g. \"after-bytes 5000 set cover-open; after-ms 2000 clear "
    "cover-open\"\n"
    "\n"
    "Render (offline): kvrs-emulator render [--model M] [--paper W] [--out DIR]\n"
    "  [--name NAME] FILE|-   writes DIR/NAME.events.jsonl and DIR/NAME-rNN.png\n"
    "  (NAME defaults to job-0001) and lists the files on stdout.\n"
    "\n"
    "  --quiet              errors only on stderr      --verbose   every request\n"
    "  --help               this text\n"
    "\n"
    "Exit status: 0 after SIGTERM/SIGINT (open jobs are finished first), 1 when a\n"
    "listener cannot be set up, 2 on a usage error. ctl: 0 answered, 1 the emulator\n"
    "refused the request, 2 no emulator on that path.\n";

Paper make_paper(const std::string& model, int mm) {
    return {model == "M1A" ? Model::M1A : Model::M2A, mm};
}

int run_render(const RenderOptions& o) {
    const Paper paper = make_paper(o.model, o.paper_mm);
    UniqueFd owned;
    int in = STDIN_FILENO;
    if (o.input != "-") {
        owned.reset(::open(o.input.c_str(), O_RDONLY | O_CLOEXEC));
        if (!owned) {
            log_error("%s: %s", o.input.c_str(), std::strerror(errno));
            return 1;
        }
        in = owned.get();
    }
    std::error_code ec;
    std::filesystem::create_directories(o.out_dir, ec);
    if (ec) {
        log_error("%s: %s", o.out_dir.c_str(), ec.message().c_str());
        return 1;
    }
    Job::Config jc;
    jc.paper = paper;
    jc.out_dir = o.out_dir;
    jc.name = o.name;
    // Nobody listens to a captured stream: status replies are only counted.
    std::size_t replies = 0;
    jc.reply = [&replies](std::span<const std::uint8_t>) { ++replies; };
    jc.conditions = [] { return Conditions{}; };
    Job job(std::move(jc));
    std::vector<std::uint8_t> buf(64 * 1024);
    while (true) {
        ssize_t n = ::read(in, buf.data(), buf.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            log_error("%s: read: %s", o.input.c_str(), std::strerror(errno));
            return 1;
        }
        if (n == 0) {
            break;
        }
        job.feed(std::span(buf.data(), static_cast<std::size_t>(n)));
    }
    auto files = job.finish();
    std::string list;
    for (const auto& f : files) {
        list += f.string() + "\n";
    }
    write_all(STDOUT_FILENO, list);
    log_info("%s: %llu bytes, %zu file(s), %zu status request(s)", o.name.c_str(),
             static_cast<unsigned long long>(job.bytes()), files.size(), replies);
    return 0;
}

int usage_error(const std::string& msg) {
    std::fprintf(stderr, "kvrs-emulator: %s\nTry 'kvrs-emulator --help'.\n", msg.c_str());
    return 2;
}

int run_printer(const RunOptions& o) {
    ServerConfig cfg;
    cfg.paper = make_paper(o.model, o.paper_mm);
    cfg.out_dir = o.out_dir;
    auto endpoints = [](const std::vector<std::string>& in, const char* opt,
                        std::vector<sockaddr_in>* out, std::string* err) {
        for (const auto& e : in) {
            auto sa = parse_endpoint(e);
            if (!sa) {
                *err =
                    std::string(opt) + " wants ADDR:PORT with an IPv4 address, not \"" + e + "\"";
                return false;
            }
            out->push_back(*sa);
        }
        return true;
    };
    std::string err;
    if (!endpoints(o.tcp, "--tcp", &cfg.tcp, &err) || !endpoints(o.udp, "--udp", &cfg.udp, &err) ||
        !endpoints(o.snmp, "--snmp", &cfg.snmp, &err)) {
        return usage_error(err);
    }
    cfg.pty = o.pty;
    cfg.pty_link = o.pty_link;
    cfg.ctl_path = o.ctl_path;
    for (const auto& c : o.set) {
        if (!set_condition(cfg.conditions, c, true)) {
            return usage_error("--set: unknown condition \"" + c + "\"");
        }
    }
    for (const auto& s : o.script) {
        Conditions probe;
        if (!set_condition(probe, s.condition, true)) {
            return usage_error("--script: unknown condition \"" + s.condition + "\"");
        }
    }
    cfg.script = o.script;
    cfg.idle_ms = o.idle_ms;
    cfg.agent.sys_descr = o.sys_descr ? *o.sys_descr : cfg.paper.model_name() + " Receipt Printer";
    if (cfg.agent.sys_descr.size() > 100) {
        return usage_error("--sysdescr: at most 100 characters");
    }
    auto oid = snmp::parse_oid(o.sys_object_id);
    if (!oid || oid->size() > 32) {
        return usage_error("--sysobjectid: \"" + o.sys_object_id +
                           "\" is no OID like 1.3.6.1.4.1.1");
    }
    cfg.agent.sys_object_id = *oid;
    cfg.ready_file = o.ready_file;
    cfg.job_limit = o.job_limit_mib << 20;
    cfg.total_limit = o.total_limit_mib << 20;
    return run_server(cfg);
}

}  // namespace
}  // namespace kvrs::emu

int main(int argc, char** argv) {
    using namespace kvrs::emu;
    // Diagnostics go straight out, interleaved correctly with our children's.
    std::setvbuf(stderr, nullptr, _IONBF, 0);

    std::vector<std::string_view> args(argv + 1, argv + argc);
    std::string err;
    auto cl = parse_command_line(args, &err);
    if (!cl) {
        return usage_error(err);
    }
    try {
        switch (cl->mode) {
            case CommandLine::Mode::Help:
                write_all(STDOUT_FILENO, std::string_view(kHelp, sizeof kHelp - 1));
                return 0;
            case CommandLine::Mode::Ctl:
                return run_ctl_client(cl->ctl.path, cl->ctl.request);
            case CommandLine::Mode::Render:
                g_verbosity = cl->render.verbosity;
                return run_render(cl->render);
            case CommandLine::Mode::Run:
                g_verbosity = cl->run.verbosity;
                return run_printer(cl->run);
        }
    } catch (const std::exception& e) {
        log_error("%s", e.what());
        return 1;
    }
    return 0;
}
