// Runs the real rastertovem program as CUPS would: arguments, PPD and
// DEVICE_URI in the environment, the raster on standard input or as a
// file, a back channel on descriptor 3 and a side channel on descriptor 4.
// Its command stream is decoded by the emulator core as it arrives; a
// scripted printer answers its status requests on either road.
#pragma once

#include <cups/sidechannel.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kvrs_emulator.h"

namespace vemtest {

namespace emu = kvrs::emu;

// How the scripted printer answers one status request.  NotConnected and
// ExchangeFailed are side-channel answers of a backend that got no reply
// (the second carries six zero bytes that would read as "ready").
struct Answer {
    enum Kind { Reply, Silent, NotConnected, ExchangeFailed } kind = Reply;
    emu::Conditions c;
};

enum class Road { Side, Back };

struct FilterRun {
    std::vector<std::string> args;  // job-id user title copies options [file]
    std::string ppd;
    std::string uri = "socket://127.0.0.1:9100";
    std::string stdinPath = "/dev/null";
    emu::Paper paper;
    std::function<Answer(int)> script;      // answer to request i (from 0); default ready
    int sigtermAtRequest = -1;              // cancel the job when this request arrives
    std::vector<uint8_t> staleBackChannel;  // waiting on the back channel at start
};

struct Result {
    int status = -1;  // exit status, or 128 + signal
    std::string err;  // standard error
    std::vector<emu::Event> events;
    std::vector<emu::Receipt> receipts;
    std::vector<std::vector<uint8_t>> sideRequests;  // request data seen on the side channel
    int requests = 0;

    // Command events in short: "init", "feed:144", "cut:partial",
    // "store:mono:1:576x100", "print:mono:576x100", "drawer:0:100", "status".
    std::string commands(bool withStatus = true) const {
        std::string out;
        for (const emu::Event& e : events) {
            auto n = [&](const char* k) { return std::to_string(e.num(k).value_or(-1)); };
            auto s = [&](const char* k) { return e.str(k).value_or("?"); };
            const std::string size = n("width") + "x" + n("height");
            if (e.kind == "feed")
                out += "feed:" + n("dots");
            else if (e.kind == "cut")
                out += "cut:" + s("type");
            else if (e.kind == "graphics-store")
                out += "store:" + s("tone") + ":" + n("plane") + ":" + size;
            else if (e.kind == "graphics-print")
                out += "print:" + s("tone") + ":" + size;
            else if (e.kind == "drawer")
                out += "drawer:" + n("pin") + ":" + n("on");
            else if (e.kind == "status-request" && withStatus)
                out += "status";
            else if (e.kind == "line-spacing")
                out += "spacing";
            else if (e.kind != "status-request")
                out += e.kind;
            else
                continue;
            out += " ";
        }
        return out;
    }
    int count(const std::string& line) const {
        int n = 0;
        for (size_t at = err.find(line); at != std::string::npos; at = err.find(line, at + 1)) ++n;
        return n;
    }
};

inline Result runFilter(const FilterRun& run) {
    Result res;
    std::mutex mu;
    std::atomic<int> requests{0};
    pid_t pid = -1;
    // Counts a request, cancels the job if asked to, and gives the answer.
    auto next = [&]() {
        const int i = requests++;
        if (i == run.sigtermAtRequest) ::kill(pid, SIGTERM);
        return run.script ? run.script(i) : Answer{};
    };

    // Every descriptor above the ones the child gets, so that dup2 onto
    // 0-4 always clears close-on-exec.
    int out[2], err[2], back[2], sc[2];
    if (::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC) || ::pipe2(back, O_CLOEXEC) ||
        ::socketpair(AF_LOCAL, SOCK_STREAM | SOCK_CLOEXEC, 0, sc))
        return res;
    for (int* fd : {&out[0], &out[1], &err[0], &err[1], &back[0], &back[1], &sc[0], &sc[1]}) {
        const int high = ::fcntl(*fd, F_DUPFD_CLOEXEC, 10);
        ::close(*fd);
        *fd = high;
    }
    if (!run.staleBackChannel.empty())
        (void)!::write(back[1], run.staleBackChannel.data(), run.staleBackChannel.size());
    // The test's end of the side channel sits on descriptor 4 while the
    // filter runs, where libcups' side-channel calls look for it.
    const int saved4 = ::fcntl(4, F_DUPFD_CLOEXEC, 10);
    ::dup3(sc[0], 4, O_CLOEXEC);
    ::close(sc[0]);

    std::vector<std::string> env = {"PPD=" + run.ppd, "DEVICE_URI=" + run.uri};
    for (const char* keep : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "PATH"})
        if (const char* v = std::getenv(keep)) env.push_back(std::string(keep) + "=" + v);
    std::vector<std::string> args = {RASTERTOVEM_PATH};
    args.insert(args.end(), run.args.begin(), run.args.end());
    auto pointers = [](std::vector<std::string>& v) {
        std::vector<char*> p;
        for (auto& s : v) p.push_back(s.data());
        p.push_back(nullptr);
        return p;
    };
    std::vector<char*> argv = pointers(args), envp = pointers(env);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, run.stdinPath.c_str(), O_RDONLY, 0);
    for (auto [from, to] : {std::pair{out[1], 1}, {err[1], 2}, {back[0], 3}, {sc[1], 4}})
        posix_spawn_file_actions_adddup2(&fa, from, to);
    const int rc = ::posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    for (int fd : {out[1], err[1], back[0], sc[1]}) ::close(fd);

    std::atomic<bool> stop{false};
    std::vector<std::thread> peers;
    if (rc == 0) {
        // Printer side of the data: decoded, status requests answered on
        // the back channel as the emulator does.
        peers.emplace_back([&] {
            emu::Interpreter::Callbacks cb;
            cb.reply = [&](std::span<const std::uint8_t> b) {
                (void)!::write(back[1], b.data(), b.size());
            };
            cb.conditions = [&] {
                const Answer a = next();
                emu::Conditions c = a.c;
                c.offline = a.kind != Answer::Reply;
                return c;
            };
            cb.event = [&](const emu::Event& e) {
                std::lock_guard<std::mutex> lock(mu);
                res.events.push_back(e);
            };
            cb.receipt = [&](emu::Receipt&& r) { res.receipts.push_back(std::move(r)); };
            emu::Interpreter interp(run.paper, cb);
            uint8_t buf[65536];
            for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) != 0;)
                if (n > 0)
                    interp.feed({buf, static_cast<size_t>(n)});
                else if (errno != EINTR)
                    break;
            interp.finish();
        });
        peers.emplace_back([&] {
            char buf[4096];
            for (ssize_t n; (n = ::read(err[0], buf, sizeof buf)) != 0;)
                if (n > 0)
                    res.err.append(buf, static_cast<size_t>(n));
                else if (errno != EINTR)
                    break;
        });
        // Printer side of the side channel (the own backend's answers).
        peers.emplace_back([&] {
            while (!stop) {
                cups_sc_command_t cmd = CUPS_SC_CMD_NONE;
                cups_sc_status_t st = CUPS_SC_STATUS_NONE;
                char data[64];
                int len = sizeof data;
                if (cupsSideChannelRead(&cmd, &st, data, &len, 0.05) != 0 ||
                    cmd != CUPS_SC_CMD_GET_STATE)
                    continue;
                {
                    std::lock_guard<std::mutex> lock(mu);
                    res.sideRequests.emplace_back(data, data + len);
                }
                const Answer a = next();
                char reply[7] = {1};
                if (a.kind == Answer::Silent) continue;
                if (a.kind == Answer::Reply) {
                    const auto r = emu::status_reply(a.c);
                    std::memcpy(reply + 1, r.data(), r.size());
                }
                reply[0] = a.kind == Answer::Reply ? 1 : a.kind == Answer::NotConnected ? 0 : 4;
                cupsSideChannelWrite(CUPS_SC_CMD_GET_STATE,
                                     a.kind == Answer::Reply          ? CUPS_SC_STATUS_OK
                                     : a.kind == Answer::NotConnected ? CUPS_SC_STATUS_TIMEOUT
                                                                      : CUPS_SC_STATUS_IO_ERROR,
                                     reply, a.kind == Answer::NotConnected ? 1 : 7, 1.0);
            }
        });
        // A hung filter is ended by the test's own time limit.
        int wst = 0;
        while (::waitpid(pid, &wst, 0) < 0 && errno == EINTR) {
        }
        res.status = WIFEXITED(wst) ? WEXITSTATUS(wst) : 128 + WTERMSIG(wst);
    }
    // The data and message readers end with the filter; then the side peer.
    for (size_t i = 0; i < peers.size(); ++i) {
        if (i == 2) stop = true;
        peers[i].join();
    }
    for (int fd : {out[0], err[0], back[1]}) ::close(fd);
    if (saved4 >= 0) {
        ::dup2(saved4, 4);
        ::close(saved4);
    } else {
        ::close(4);
    }
    res.requests = requests.load();
    return res;
}

}  // namespace vemtest
