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
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kvrs_emulator.h"

extern char** environ;

namespace vemtest {

namespace emu = kvrs::emu;

// How the scripted printer answers one status request.
struct Answer {
    enum Kind { Reply, Silent, NotConnected, ExchangeFailed } kind = Reply;
    emu::Conditions conditions;
};
inline Answer ready() { return {}; }
inline Answer with(void (*set)(emu::Conditions&)) {
    Answer a;
    set(a.conditions);
    return a;
}
inline Answer answerOf(Answer::Kind k) {
    Answer a;
    a.kind = k;
    return a;
}

enum class Road { Side, Back };

struct FilterRun {
    std::vector<std::string> args;  // job-id user title copies options [file]
    std::string ppd;
    std::string uri = "socket://127.0.0.1:9100";
    std::string stdinPath = "/dev/null";
    emu::Paper paper;
    // Answer to request i (counted from 0); default: always ready.
    std::function<Answer(int)> script;
    // Cancel the job (SIGTERM) when this request arrives; -1 never.
    int sigtermAtRequest = -1;
    // Bytes waiting on the back channel before the filter starts.
    std::vector<uint8_t> staleBackChannel;
};

struct Result {
    int status = -1;  // exit status, or 128 + signal
    std::string err;  // standard error
    std::vector<emu::Event> events;
    std::vector<emu::Receipt> receipts;
    std::vector<std::vector<uint8_t>> sideRequests;  // request data seen on the side channel
    int requests = 0;

    // Compact view of the command events: "init", "feed:144", "cut:partial",
    // "store:mono:1:576x100", "print:mono:576x100", "drawer:0:100", "status".
    std::vector<std::string> commands() const {
        std::vector<std::string> out;
        for (const emu::Event& e : events) {
            auto n = [&](const char* k) { return std::to_string(e.num(k).value_or(-1)); };
            auto s = [&](const char* k) { return e.str(k).value_or("?"); };
            if (e.kind == "feed")
                out.push_back("feed:" + n("dots"));
            else if (e.kind == "cut")
                out.push_back("cut:" + s("type"));
            else if (e.kind == "graphics-store")
                out.push_back("store:" + s("tone") + ":" + n("plane") + ":" + n("width") + "x" +
                              n("height"));
            else if (e.kind == "graphics-print")
                out.push_back("print:" + s("tone") + ":" + n("width") + "x" + n("height"));
            else if (e.kind == "drawer")
                out.push_back("drawer:" + n("pin") + ":" + n("on"));
            else if (e.kind == "status-request")
                out.push_back("status");
            else if (e.kind == "line-spacing")
                out.push_back("spacing");
            else
                out.push_back(e.kind);
        }
        return out;
    }
    int count(const std::string& line) const {
        int n = 0;
        for (size_t at = err.find(line); at != std::string::npos; at = err.find(line, at + 1))
            ++n;
        return n;
    }
};

inline std::string joined(const std::vector<std::string>& v) {
    std::string s;
    for (const auto& x : v)
        s += x + " ";
    return s;
}

// A descriptor moved above the standard three and the CUPS channels, so
// that dup2 onto 0-4 in the child always clears close-on-exec.
inline int high(int fd) {
    int h = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
    ::close(fd);
    return h;
}

inline Result runFilter(const FilterRun& run) {
    Result res;
    std::mutex mu;
    std::atomic<int> requests{0};
    std::atomic<pid_t> childPid{0};
    auto answerFor = [&](int i) { return run.script ? run.script(i) : ready(); };
    auto onRequest = [&](int i) {
        if (i == run.sigtermAtRequest && childPid.load() > 0)
            ::kill(childPid.load(), SIGTERM);
    };

    int outPipe[2], errPipe[2], backPipe[2], sc[2];
    if (::pipe2(outPipe, O_CLOEXEC) || ::pipe2(errPipe, O_CLOEXEC) || ::pipe2(backPipe, O_CLOEXEC) ||
        ::socketpair(AF_LOCAL, SOCK_STREAM | SOCK_CLOEXEC, 0, sc))
        return res;
    for (int* fd : {&outPipe[0], &outPipe[1], &errPipe[0], &errPipe[1], &backPipe[0], &backPipe[1],
                    &sc[0], &sc[1]})
        *fd = high(*fd);
    if (!run.staleBackChannel.empty())
        (void)!::write(backPipe[1], run.staleBackChannel.data(), run.staleBackChannel.size());

    // The test's own end of the side channel sits on descriptor 4 while
    // the filter runs, where libcups' side-channel calls look for it.
    const int saved4 = ::fcntl(4, F_DUPFD_CLOEXEC, 10);
    ::dup3(sc[0], 4, O_CLOEXEC);
    ::close(sc[0]);

    std::vector<std::string> env = {"PPD=" + run.ppd, "DEVICE_URI=" + run.uri,
                                    "CONTENT_TYPE=application/vnd.cups-raster",
                                    "FINAL_CONTENT_TYPE=application/vnd.cups-raster"};
    for (const char* keep : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "PATH"})
        if (const char* v = std::getenv(keep))
            env.push_back(std::string(keep) + "=" + v);
    std::vector<char*> envp;
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argvS = {RASTERTOVEM_PATH};
    argvS.insert(argvS.end(), run.args.begin(), run.args.end());
    std::vector<char*> argv;
    for (auto& a : argvS)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, run.stdinPath.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&fa, errPipe[1], 2);
    posix_spawn_file_actions_adddup2(&fa, backPipe[0], 3);
    posix_spawn_file_actions_adddup2(&fa, sc[1], 4);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    ::close(backPipe[0]);
    ::close(sc[1]);
    if (rc != 0) {
        ::close(outPipe[0]);
        ::close(errPipe[0]);
        ::close(backPipe[1]);
        ::dup2(saved4, 4);
        return res;
    }
    childPid = pid;

    // Printer side of the data: decode, and answer status requests on the
    // back channel as the emulator does.
    std::thread outReader([&] {
        emu::Interpreter::Callbacks cb;
        cb.reply = [&](std::span<const std::uint8_t> b) {
            (void)!::write(backPipe[1], b.data(), b.size());
        };
        cb.conditions = [&] {
            const int i = requests++;
            onRequest(i);
            Answer a = answerFor(i);
            emu::Conditions c = a.conditions;
            c.offline = a.kind != Answer::Reply;
            return c;
        };
        cb.event = [&](const emu::Event& e) {
            std::lock_guard<std::mutex> lock(mu);
            res.events.push_back(e);
        };
        cb.receipt = [&](emu::Receipt&& r) {
            std::lock_guard<std::mutex> lock(mu);
            res.receipts.push_back(std::move(r));
        };
        emu::Interpreter interp(run.paper, cb);
        uint8_t buf[65536];
        for (;;) {
            ssize_t n = ::read(outPipe[0], buf, sizeof buf);
            if (n > 0)
                interp.feed({buf, static_cast<size_t>(n)});
            else if (n == 0 || errno != EINTR)
                break;
        }
        interp.finish();
    });
    std::thread errReader([&] {
        char buf[4096];
        for (;;) {
            ssize_t n = ::read(errPipe[0], buf, sizeof buf);
            if (n > 0)
                res.err.append(buf, static_cast<size_t>(n));
            else if (n == 0 || errno != EINTR)
                break;
        }
    });
    // Printer side of the side channel.
    std::atomic<bool> stop{false};
    std::thread sidePeer([&] {
        while (!stop) {
            cups_sc_command_t cmd = CUPS_SC_CMD_NONE;
            cups_sc_status_t st = CUPS_SC_STATUS_NONE;
            char data[64];
            int len = sizeof data;
            if (cupsSideChannelRead(&cmd, &st, data, &len, 0.05) != 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                continue;
            }
            if (cmd != CUPS_SC_CMD_GET_STATE)
                continue;
            {
                std::lock_guard<std::mutex> lock(mu);
                res.sideRequests.emplace_back(data, data + len);
            }
            const int i = requests++;
            onRequest(i);
            const Answer a = answerFor(i);
            char reply[16] = {};
            int n = 7;
            cups_sc_status_t status = CUPS_SC_STATUS_OK;
            switch (a.kind) {
            case Answer::Reply: {
                reply[0] = 1;
                auto r = emu::status_reply(a.conditions);
                std::memcpy(reply + 1, r.data(), r.size());
                break;
            }
            case Answer::NotConnected:
                reply[0] = 0;
                n = 1;
                status = CUPS_SC_STATUS_TIMEOUT;
                break;
            case Answer::ExchangeFailed:
                reply[0] = 4;  // the six reply bytes stay zero: "ready" if misread
                status = CUPS_SC_STATUS_IO_ERROR;
                break;
            case Answer::Silent:
                continue;
            }
            cupsSideChannelWrite(CUPS_SC_CMD_GET_STATE, status, reply, n, 1.0);
        }
    });

    // Wait for the filter, but never for ever.
    int wst = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
        pid_t w = ::waitpid(pid, &wst, WNOHANG);
        if (w == pid)
            break;
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &wst, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    res.status = WIFEXITED(wst) ? WEXITSTATUS(wst) : 128 + WTERMSIG(wst);
    outReader.join();
    errReader.join();
    stop = true;
    sidePeer.join();
    ::close(outPipe[0]);
    ::close(errPipe[0]);
    ::close(backPipe[1]);
    ::close(4);
    if (saved4 >= 0) {
        ::dup2(saved4, 4);
        ::close(saved4);
    }
    res.requests = requests.load();
    return res;
}

}  // namespace vemtest
