// Speed of the filter core on 80 mm pages of 3000 rows, for each input
// format and halftoning method, beside the floor (reading the same raster
// with libcups and discarding it) and a peer: cups-filters' rastertopclx,
// which error-diffuses the same 8-bit page for a PCL printer, run as a
// process on a PPD that ppdc makes from CUPS' sample driver file.  The
// commands go to /dev/null through the real write path.  After the usual
// benchmark lines one table gives every figure per page, in CPU time, with
// the ratio each is held to.
//
//   bench_filter [benchmark options]     (three repetitions unless given)
//
// Environment: VEM_PEER_FILTER and VEM_PEER_PPD override the peer's
// program and PPD (the build configures both).
#include <benchmark/benchmark.h>
#include <cups/raster.h>
#include <fcntl.h>
#include <malloc.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "rastertovem_core.h"

extern char** environ;

namespace {

constexpr unsigned kWidth = 576;
constexpr unsigned kRows = 3000;

// A receipt-like page: a gradient band, text-like blocks, blank gaps.
uint8_t pixel(unsigned r, unsigned c) {
    if (r % 300 < 40)
        return 255;
    if (r % 300 < 120)
        return static_cast<uint8_t>(c * 255 / (kWidth - 1));
    return ((r / 4 + c / 6) % 5 == 0 || (c / 12 + r / 24) % 7 == 0) ? 0 : 255;
}

// A raster being written, and one being read (a view of bytes made once).
struct Memory {
    std::vector<uint8_t> bytes;
};
struct View {
    const std::vector<uint8_t>& bytes;
    size_t pos = 0;
};

ssize_t writeCb(void* ctx, unsigned char* buf, size_t n) {
    auto* m = static_cast<Memory*>(ctx);
    m->bytes.insert(m->bytes.end(), buf, buf + n);
    return static_cast<ssize_t>(n);
}
ssize_t readCb(void* ctx, unsigned char* buf, size_t n) {
    auto* m = static_cast<View*>(ctx);
    size_t take = std::min(n, m->bytes.size() - m->pos);
    std::memcpy(buf, m->bytes.data() + m->pos, take);
    m->pos += take;
    return static_cast<ssize_t>(take);
}

// `pages` pages of the given bits per pixel as a libcups stream.
std::vector<uint8_t> makeRaster(unsigned bpp, unsigned pages) {
    Memory m;
    cups_raster_t* w = cupsRasterOpenIO(writeCb, &m, CUPS_RASTER_WRITE);
    cups_page_header2_t h{};
    h.HWResolution[0] = h.HWResolution[1] = 203;
    h.cupsWidth = kWidth;
    h.cupsHeight = kRows;
    h.cupsBitsPerPixel = bpp;
    h.cupsBitsPerColor = bpp == 24 ? 8 : bpp;
    h.cupsBytesPerLine = bpp == 1 ? kWidth / 8 : kWidth * bpp / 8;
    h.cupsColorSpace = bpp == 1 ? CUPS_CSPACE_K : bpp == 8 ? CUPS_CSPACE_SW : CUPS_CSPACE_SRGB;
    h.cupsNumColors = bpp == 24 ? 3 : 1;
    h.cupsColorOrder = CUPS_ORDER_CHUNKED;
    h.PageSize[0] = 204;
    h.PageSize[1] = kRows * 72 / 203;
    std::vector<uint8_t> row(h.cupsBytesPerLine);
    for (unsigned p = 0; p < pages; ++p) {
        cupsRasterWriteHeader2(w, &h);
        for (unsigned r = 0; r < kRows; ++r) {
            std::fill(row.begin(), row.end(), 0);
            for (unsigned c = 0; c < kWidth; ++c) {
                const uint8_t v = pixel(r, c);
                if (bpp == 1)
                    row[c / 8] |= v < 128 ? static_cast<uint8_t>(0x80 >> (c % 8)) : 0;
                else if (bpp == 8)
                    row[c] = v;
                else
                    row[3 * c] = row[3 * c + 1] = row[3 * c + 2] = v;
            }
            cupsRasterWritePixels(w, row.data(), static_cast<unsigned>(row.size()));
        }
    }
    cupsRasterClose(w);
    return std::move(m.bytes);
}

// One page, made once per depth.
const std::vector<uint8_t>& raster(unsigned bpp) {
    static std::map<unsigned, std::vector<uint8_t>> cache;
    auto it = cache.find(bpp);
    if (it == cache.end())
        it = cache.emplace(bpp, makeRaster(bpp, 1)).first;
    return it->second;
}

void setupSinks() {
    static int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    static FILE* nullMsg = std::fopen("/dev/null", "w");
    g_nPrinterFd = null;
    g_pCupsMsg = nullMsg;
}

// The floor: libcups reads the page into a buffer of the job's own, and it
// is thrown away.
void BM_ReadOnly(benchmark::State& state) {
    const unsigned bpp = static_cast<unsigned>(state.range(0));
    const auto& bytes = raster(bpp);
    for (auto _ : state) {
        View m{bytes, 0};
        cups_raster_t* r = cupsRasterOpenIO(readCb, &m, CUPS_RASTER_READ);
        cups_page_header2_t h;
        std::unique_ptr<uint8_t[]> page;
        size_t size = 0;
        while (cupsRasterReadHeader2(r, &h)) {
            const size_t need = static_cast<size_t>(h.cupsBytesPerLine) * h.cupsHeight;
            if (need > size)
                page = std::make_unique_for_overwrite<uint8_t[]>(size = need);
            cupsRasterReadPixels(r, page.get(), static_cast<unsigned>(need));
            benchmark::DoNotOptimize(page.get());
        }
        cupsRasterClose(r);
    }
    state.SetItemsProcessed(state.iterations() * kRows);
}

// The filter: same reading, then conversion and the command stream.
void BM_Filter(benchmark::State& state) {
    const unsigned bpp = static_cast<unsigned>(state.range(0));
    const int dither = static_cast<int>(state.range(1));
    const int bmpFormat = static_cast<int>(state.range(2));
    const auto& bytes = raster(bpp);
    setupSinks();
    for (auto _ : state) {
        resetFilterState();
        g_nPPDList[OPT_DITHER_TYPE].value = dither;
        g_nPPDList[OPT_BMP_FORMAT].value = bmpFormat;
        View m{bytes, 0};
        cups_raster_t* r = cupsRasterOpenIO(readCb, &m, CUPS_RASTER_READ);
        VemCupsRasterSource source(r);
        VemFilterJob job(source, VemCustomSize{0, 0}, false);
        job.run();
        if (job.finish(true) != 0)
            state.SkipWithError("page not printed");
        cupsRasterClose(r);
    }
    state.SetItemsProcessed(state.iterations() * kRows);
}

// ---- the peer ---------------------------------------------------------------------

// CPU time (user + system) in ms of one run of the peer on `file`, or -1.
double peerRun(const std::string& filter, const std::string& ppd, const std::string& file) {
    std::vector<std::string> args = {filter, "1", "bench", "page", "1", "", file};
    std::vector<std::string> env = {"PPD=" + ppd};
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    for (auto& e : env) envp.push_back(e.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, filter.c_str(), &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0)
        return -1.0;
    int status = 0;
    rusage ru{};
    if (::wait4(pid, &status, 0, &ru) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1.0;
    auto ms = [](const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
    return ms(ru.ru_utime) + ms(ru.ru_stime);
}

// The peer's CPU time per page: a run of 1 + n pages less a run of 1 page
// (so its start-up does not count), the best of five.  -1 if unavailable.
double peerPerPage(std::string* why) {
    const char* f = std::getenv("VEM_PEER_FILTER");
    const char* p = std::getenv("VEM_PEER_PPD");
    const std::string filter = f != nullptr ? f : VEM_PEER_FILTER;
    const std::string ppd = p != nullptr ? p : VEM_PEER_PPD;
    if (::access(filter.c_str(), X_OK) != 0 || ::access(ppd.c_str(), R_OK) != 0) {
        *why = "not found: " + filter + " with " + ppd;
        return -1.0;
    }
    constexpr unsigned n = 10;
    char dir[] = "/tmp/bench-peer-XXXXXX";
    if (::mkdtemp(dir) == nullptr) {
        *why = "no temporary directory";
        return -1.0;
    }
    const std::string one = std::string(dir) + "/1.ras", many = std::string(dir) + "/n.ras";
    for (auto [path, pages] : {std::pair{one, 1u}, {many, 1 + n}}) {
        const auto bytes = makeRaster(8, pages);
        FILE* out = std::fopen(path.c_str(), "wb");
        if (out != nullptr) {
            std::fwrite(bytes.data(), 1, bytes.size(), out);
            std::fclose(out);
        }
    }
    double best = -1.0;
    for (int i = 0; i < 5; ++i) {
        const double a = peerRun(filter, ppd, one), b = peerRun(filter, ppd, many);
        if (a < 0 || b < 0) {
            best = -1.0;
            *why = filter + " failed";
            break;
        }
        const double perPage = (b - a) / n;
        if (best < 0 || perPage < best)
            best = perPage;
    }
    ::unlink(one.c_str());
    ::unlink(many.c_str());
    ::rmdir(dir);
    return best;
}

// ---- the table ----------------------------------------------------------------------

// Keeps the CPU time per page of every run, by name, beside the usual output.
class Collector : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> ms;
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs)
            if (!r.error_occurred && r.run_type == Run::RT_Iteration) {
                const double perIter = r.GetAdjustedCPUTime();  // in the run's unit (ms)
                auto& slot = ms[r.benchmark_name()];
                slot = slot == 0 ? perIter : std::min(slot, perIter);
            }
        ConsoleReporter::ReportRuns(runs);
    }
};

void printTable(const Collector& c, double peer, const std::string& peerWhy) {
    auto get = [&](const std::string& name) {
        auto it = c.ms.find(name);
        return it == c.ms.end() ? -1.0 : it->second;
    };
    std::printf("\nPer 576 x 3000 page, CPU ms (best run).  Goals: 8-bit threshold and ordered <= 1.5 x "
                "floor; 24-bit <= 3 x floor; error diffusion (held to the peer) >= 4 x faster than "
                "rastertopclx\n");
    std::printf("%-34s %9s %9s %9s  %s\n", "case", "ms/page", "x floor", "goal", "");
    const struct {
        const char* label;
        unsigned bpp;
        int dither, gray;
        double goal;  // x floor, 0 = none
    } rows[] = {
        {"1-bit", 1, 0, 0, 0},
        {"8-bit threshold", 8, 0, 0, 1.5},
        {"8-bit ordered 4x4", 8, 1, 0, 1.5},
        {"8-bit ordered 8x8", 8, 2, 0, 1.5},
        {"8-bit error diffusion", 8, 3, 0, 0},
        {"8-bit sent as gray", 8, 0, 1, 0},
        {"24-bit threshold", 24, 0, 0, 3},
        {"24-bit ordered 4x4", 24, 1, 0, 3},
        {"24-bit ordered 8x8", 24, 2, 0, 3},
        {"24-bit error diffusion", 24, 3, 0, 0},
        {"24-bit sent as gray", 24, 0, 1, 3},
    };
    for (unsigned bpp : {1u, 8u, 24u})
        std::printf("%-34s %9.3f\n", ("floor, " + std::to_string(bpp) + "-bit read and discarded").c_str(),
                    get("BM_ReadOnly/bpp:" + std::to_string(bpp)));
    for (const auto& r : rows) {
        const double floor = get("BM_ReadOnly/bpp:" + std::to_string(r.bpp));
        const double t = get("BM_Filter/bpp:" + std::to_string(r.bpp) + "/dither:" +
                             std::to_string(r.dither) + "/gray:" + std::to_string(r.gray));
        if (t < 0 || floor <= 0)
            continue;
        const double x = t / floor;
        std::printf("%-34s %9.3f %9.2f %9s  %s\n", r.label, t, x,
                    r.goal > 0 ? ("<= " + std::to_string(r.goal).substr(0, 3)).c_str() : "",
                    r.goal == 0 ? "" : x <= r.goal ? "met" : "MISSED");
    }
    const double ed = get("BM_Filter/bpp:8/dither:3/gray:0");
    const double ed24 = get("BM_Filter/bpp:24/dither:3/gray:0");
    if (peer > 0 && ed > 0 && ed24 > 0) {
        std::printf("%-34s %9.3f\n", "peer rastertopclx, 8-bit", peer);
        std::printf("error diffusion beside the peer: 8-bit %.1f x faster, 24-bit %.1f x faster "
                    "(goal >= 4: %s)\n",
                    peer / ed, peer / ed24, peer / ed >= 4 && peer / ed24 >= 4 ? "met" : "MISSED");
    } else
        std::printf("peer rastertopclx: not measured (%s)\n", peerWhy.c_str());
}

}  // namespace

BENCHMARK(BM_ReadOnly)->ArgName("bpp")->Arg(1)->Arg(8)->Arg(24)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Filter)
    ->ArgNames({"bpp", "dither", "gray"})
    ->Args({1, 0, 0})
    ->Args({8, 0, 0})->Args({8, 1, 0})->Args({8, 2, 0})->Args({8, 3, 0})->Args({8, 0, 1})
    ->Args({24, 0, 0})->Args({24, 1, 0})->Args({24, 2, 0})->Args({24, 3, 0})->Args({24, 0, 1})
    ->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    // Freed page buffers stay with the allocator, so neither the floor nor
    // the filter pays the kernel for fresh pages on every job: the figures
    // are of reading and converting, not of the page faults of a new
    // process, which both would pay alike.
    mallopt(M_MMAP_THRESHOLD, 256 << 20);
    mallopt(M_TRIM_THRESHOLD, 512 << 20);
    // Three repetitions unless told otherwise; the table takes the best, as
    // other work on the machine only ever slows a run down.
    std::vector<char*> args(argv, argv + argc);
    std::string reps = "--benchmark_repetitions=3";
    bool given = false;
    for (int i = 1; i < argc; ++i)
        given = given || std::strncmp(argv[i], "--benchmark_repetitions", 23) == 0;
    if (!given)
        args.push_back(reps.data());
    int n = static_cast<int>(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&n, args.data());
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    std::string why;
    const double peer = peerPerPage(&why);
    printTable(collector, peer, why);
    benchmark::Shutdown();
    return 0;
}
