// Helpers of the filter tests: a temporary directory, a queue PPD written as
// text, rasters written with libcups' own writer and, where the test links
// the emulator core, the real rastertovem program run as CUPS runs it.
#pragma once

#include <cups/raster.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace vemtest {

inline const std::string kM2A = "KVRS-M2A KVRSM2A Receipt";

// A private directory, removed with its content.
struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/vemfilter-XXXXXX";
        path = ::mkdtemp(tmpl) != nullptr ? tmpl : "/tmp";
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    TempDir(const TempDir&) = delete;
    std::string file(const std::string& name) const { return path + "/" + name; }
};

// One queue: the NickName, the two rolls, the custom size with its string
// parameter and every numeric option; `defaults` names other default
// choices ("CDPin=1 CDOpen=0").
inline void writePpd(const std::string& path, const std::string& nick = kM2A,
                     const std::string& defaults = "") {
    std::ofstream t(path);
    t << "*PPD-Adobe: \"4.3\"\n*FormatVersion: \"4.3\"\n*Manufacturer: \"KVRS\"\n*NickName: \""
      << nick
      << "\"\n*OpenUI *PageSize/Media Size: PickOne\n*DefaultPageSize: VEMP80\n"
         "*PageSize VEMP80/80 mm roll: \"<</PageSize[204 842]>>setpagedevice\"\n"
         "*PageSize VEMP58/58 mm roll: \"<</PageSize[142 842]>>setpagedevice\"\n"
         "*CloseUI: *PageSize\n"
         "*CustomPageSize True: \"pop pop pop pop pop\"\n"
         "*ParamCustomPageSize Width: 1 points 36 204\n"
         "*ParamCustomPageSize Height: 2 points 36 3276\n"
         "*ParamCustomPageSize WidthOffset: 3 points 0 0\n"
         "*ParamCustomPageSize HeightOffset: 4 points 0 0\n"
         "*ParamCustomPageSize Orientation: 5 int 0 0\n"
         "*ParamCustomPageSize PageSize/Size text: 6 string 0 64\n";
    const struct {
        const char* key;
        int max, def;
    } opts[] = {{"CutSetting", 6, 0}, {"CutType", 1, 1},           {"CDPin", 2, 0},
                {"CDOpen", 1, 1},     {"CDPulse", 9, 3},           {"FontSize", 1, 0},
                {"BmpFormat", 1, 0},  {"PaperConservation", 3, 1}, {"DitherType", 3, 0},
                {"LogLevel", 31, 0},  {"LogCount", 9, 0}};
    for (const auto& o : opts) {
        const std::string k = o.key, words = " " + defaults;
        const size_t at = words.find(" " + k + "=");
        t << "*OpenUI *" << k << "/" << k << ": PickOne\n*Default" << k << ": "
          << (at == std::string::npos
                  ? std::to_string(o.def)
                  : words.substr(at + k.size() + 2, words.find(' ', at + 1) - at - k.size() - 2))
          << "\n";
        for (int v = 0; v <= o.max; ++v) t << "*" << k << " " << v << "/Choice " << v << ": \"\"\n";
        t << "*CloseUI: *" << k << "\n";
    }
}

// One page of a test raster, filled by `pixel(row, col)`: 0 black .. 255
// white (1-bit pages take values below 128 as black).  `pad` bytes follow
// each row's pixels; `pageHeightPt` 0 means exactly the raster's height.
struct Page {
    unsigned width, height, bpp;  // bpp 1, 8 or 24
    unsigned bytesPerLine = 0, pageHeightPt = 0;
    std::vector<uint8_t> data;
    bool headerOnly = false;  // the header but no pixels
    // Changes the header after it is filled from the fields above (depths,
    // colour spaces and sizes a rasterizer would not write).
    std::function<void(cups_page_header2_t&)> adjust = {};
};
inline Page makePage(unsigned width, unsigned height, unsigned bpp,
                     const std::function<uint8_t(unsigned, unsigned)>& pixel = {},
                     unsigned pad = 0) {
    Page p{width, height, bpp, (bpp == 1 ? (width + 7) / 8 : width * (bpp / 8)) + pad, 0, {}};
    p.data.assign(size_t{p.bytesPerLine} * height, 0);
    for (unsigned r = 0; r < height; ++r)
        for (unsigned c = 0; c < width; ++c) {
            uint8_t* row = p.data.data() + size_t{p.bytesPerLine} * r;
            const uint8_t v = pixel ? pixel(r, c) : 0;
            if (bpp == 1)
                row[c / 8] |= static_cast<uint8_t>(v < 128 ? 0x80 >> (c % 8) : 0);
            else if (bpp == 8)
                row[c] = v;
            else
                row[3 * c] = row[3 * c + 1] = row[3 * c + 2] = v;
        }
    return p;
}

// Writes the pages with libcups' raster writer (compressed stream).
inline bool writeRaster(const std::string& path, const std::vector<Page>& pages) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    cups_raster_t* r = fd >= 0 ? cupsRasterOpen(fd, CUPS_RASTER_WRITE) : nullptr;
    bool ok = r != nullptr;
    for (size_t i = 0; ok && i < pages.size(); ++i) {
        const Page& p = pages[i];
        cups_page_header2_t h{};
        h.HWResolution[0] = h.HWResolution[1] = 203;
        h.cupsWidth = p.width;
        h.cupsHeight = p.height;
        h.cupsBitsPerPixel = p.bpp;
        h.cupsBitsPerColor = p.bpp == 24 ? 8 : p.bpp;
        h.cupsBytesPerLine = p.bytesPerLine;
        h.cupsColorSpace = p.bpp == 1   ? CUPS_CSPACE_K
                           : p.bpp == 8 ? CUPS_CSPACE_SW
                                        : CUPS_CSPACE_SRGB;
        h.cupsNumColors = p.bpp == 24 ? 3 : 1;
        h.PageSize[0] = p.width * 72 / 203;
        h.PageSize[1] = p.pageHeightPt != 0 ? p.pageHeightPt : p.height * 72 / 203;
        if (p.adjust) p.adjust(h);
        std::vector<uint8_t> data = p.data;
        ok = cupsRasterWriteHeader2(r, &h) &&
             (p.headerOnly || data.empty() ||
              cupsRasterWritePixels(r, data.data(), static_cast<unsigned>(data.size())) ==
                  data.size());
    }
    if (r != nullptr) cupsRasterClose(r);
    if (fd >= 0) ::close(fd);
    return ok;
}

}  // namespace vemtest

#ifdef RASTERTOVEM_PATH
#include <cups/sidechannel.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "kvrs_emulator.h"

namespace vemtest {
namespace emu = kvrs::emu;

// How the scripted printer answers one status request.  A backend that got
// no reply answers on the side channel "not connected" or "exchange failed"
// (with six zero bytes that would read as "ready"); on the back channel both
// are simply no answer.
struct Answer {
    enum Kind { Reply, NotConnected, ExchangeFailed } kind = Reply;
    emu::Conditions c;
};

struct FilterRun {
    std::vector<std::string> args;  // job-id user title copies options [file]
    std::string ppd, uri = "vemcupsintf://eth/127.0.0.1/9100/3000", stdinPath = "/dev/null";
    emu::Paper paper;
    std::function<Answer(int)> script;  // answer to request i (from 0); default ready
    int sigtermAtRequest = -1;          // cancel the job when this request arrives
    bool deadOutput = false;            // nobody reads the commands: every write fails
};

struct Result {
    int status = -1;       // exit status, or 128 + signal
    std::string err;       // standard error
    std::string commands;  // "init feed:144 cut:partial store:mono:1:576x100 ..."
    std::vector<emu::Receipt> receipts;
    std::vector<uint8_t> sideRequest;  // the first request data on the side channel
    int requests = 0;
    long maxRssKb = 0;                 // the filter's peak resident memory
};

// Command events in short.
inline std::string shortEvent(const emu::Event& e) {
    auto n = [&](const char* k) { return std::to_string(e.num(k).value_or(-1)); };
    auto s = [&](const char* k) { return e.str(k).value_or("?"); };
    const std::string size = n("width") + "x" + n("height");
    if (e.kind == "feed") return "feed:" + n("dots");
    if (e.kind == "cut") return "cut:" + s("type");
    if (e.kind == "graphics-store") return "store:" + s("tone") + ":" + n("plane") + ":" + size;
    if (e.kind == "graphics-print") return "print:" + s("tone") + ":" + size;
    if (e.kind == "drawer") return "drawer:" + n("pin") + ":" + n("on");
    if (e.kind == "status-request") return "status";
    return e.kind == "line-spacing" ? "spacing" : e.kind;
}

// A stale "cover open" answer from an earlier job waits on the back channel
// of every run: the filter must discard it, never take it for its first.
inline Result runFilter(const FilterRun& run) {
    Result res;
    std::atomic<int> requests{0};
    pid_t pid = -1;
    auto next = [&]() {
        const int i = requests++;
        if (i == run.sigtermAtRequest) ::kill(pid, SIGTERM);
        return run.script ? run.script(i) : Answer{};
    };
    // Every descriptor above the ones the child gets, so that dup2 onto 0-4
    // always clears close-on-exec.
    int out[2], err[2], back[2], sc[2];
    if (::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC) || ::pipe2(back, O_CLOEXEC) ||
        ::socketpair(AF_LOCAL, SOCK_STREAM | SOCK_CLOEXEC, 0, sc))
        return res;
    for (int* fd : {&out[0], &out[1], &err[0], &err[1], &back[0], &back[1], &sc[0], &sc[1]}) {
        const int high = ::fcntl(*fd, F_DUPFD_CLOEXEC, 10);
        ::close(*fd);
        *fd = high;
    }
    emu::Conditions open;
    open.cover_open = true;
    const auto stale = emu::status_reply(open);
    (void)!::write(back[1], stale.data(), stale.size());
    // The test's end of the side channel sits on descriptor 4 while the
    // filter runs, where libcups' side-channel calls look for it.
    const int saved4 = ::fcntl(4, F_DUPFD_CLOEXEC, 10);
    ::dup3(sc[0], 4, O_CLOEXEC);
    ::close(sc[0]);

    std::vector<std::string> env = {"PPD=" + run.ppd, "DEVICE_URI=" + run.uri},
                             args = {RASTERTOVEM_PATH};
    for (const char* keep : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "PATH"})
        if (const char* v = std::getenv(keep)) env.push_back(std::string(keep) + "=" + v);
    args.insert(args.end(), run.args.begin(), run.args.end());
    std::vector<char*> argv, envp;
    for (auto& s : args) argv.push_back(s.data());
    for (auto& s : env) envp.push_back(s.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, run.stdinPath.c_str(), O_RDONLY, 0);
    for (auto [from, to] : {std::pair{out[1], 1}, {err[1], 2}, {back[0], 3}, {sc[1], 4}})
        posix_spawn_file_actions_adddup2(&fa, from, to);
    const int rc = ::posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    for (int fd : {out[1], err[1], back[0], sc[1]}) ::close(fd);
    if (run.deadOutput) {
        ::close(out[0]);
        out[0] = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    }

    auto drain = [](int fd, const std::function<void(const uint8_t*, size_t)>& take) {
        uint8_t buf[65536];
        for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) != 0;)
            if (n > 0)
                take(buf, static_cast<size_t>(n));
            else if (errno != EINTR)
                break;
    };
    std::atomic<bool> stop{false};
    std::vector<std::thread> peers;
    if (rc == 0) {
        // Printer side of the data: decoded, status requests answered on the
        // back channel as the emulator does.
        peers.emplace_back([&] {
            emu::Interpreter::Callbacks cb;
            cb.reply = [&](std::span<const uint8_t> b) {
                (void)!::write(back[1], b.data(), b.size());
            };
            cb.conditions = [&] {
                const Answer a = next();
                emu::Conditions c = a.c;
                c.offline = a.kind != Answer::Reply;
                return c;
            };
            cb.event = [&](const emu::Event& e) { res.commands += shortEvent(e) + " "; };
            cb.receipt = [&](emu::Receipt&& r) { res.receipts.push_back(std::move(r)); };
            emu::Interpreter interp(run.paper, cb);
            drain(out[0], [&](const uint8_t* b, size_t n) { interp.feed({b, n}); });
            interp.finish();
        });
        peers.emplace_back([&] {
            drain(err[0], [&](const uint8_t* b, size_t n) {
                res.err.append(reinterpret_cast<const char*>(b), n);
            });
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
                if (res.sideRequest.empty()) res.sideRequest.assign(data, data + len);
                const Answer a = next();
                // Outcome byte, status and length of each kind of answer.
                const struct {
                    char outcome;
                    cups_sc_status_t st;
                    int len;
                } form[] = {{1, CUPS_SC_STATUS_OK, 7},
                            {0, CUPS_SC_STATUS_TIMEOUT, 1},
                            {4, CUPS_SC_STATUS_IO_ERROR, 7}};
                char reply[7] = {form[a.kind].outcome};
                const auto r = emu::status_reply(a.c);
                if (a.kind == Answer::Reply) std::memcpy(reply + 1, r.data(), r.size());
                cupsSideChannelWrite(CUPS_SC_CMD_GET_STATE, form[a.kind].st, reply,
                                     form[a.kind].len, 1.0);
            }
        });
        // A hung filter is ended by the test's own time limit.
        int wst = 0;
        rusage ru{};
        while (::wait4(pid, &wst, 0, &ru) < 0 && errno == EINTR) {
        }
        res.maxRssKb = ru.ru_maxrss;
        res.status = WIFEXITED(wst) ? WEXITSTATUS(wst) : 128 + WTERMSIG(wst);
    }
    // The data and message readers end with the filter; then the side peer.
    for (size_t i = 0; i < peers.size(); ++i) {
        if (i == 2) stop = true;
        peers[i].join();
    }
    for (int fd : {out[0], err[0], back[1]}) ::close(fd);
    ::dup2(saved4 >= 0 ? saved4 : -1, 4);
    ::close(saved4 >= 0 ? saved4 : 4);
    res.requests = requests.load();
    return res;
}

}  // namespace vemtest
#endif
