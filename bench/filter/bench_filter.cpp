// Speed of the filter core on 80 mm pages of 3000 rows, for each input
// format and halftoning method, beside the floor: reading the same raster
// with libcups and discarding it.  The commands go to /dev/null through
// the real write path.
#include <benchmark/benchmark.h>
#include <cups/raster.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <vector>

#include "rastertovem_core.h"

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

struct Memory {
    std::vector<uint8_t> bytes;
    size_t pos = 0;
};

ssize_t writeCb(void* ctx, unsigned char* buf, size_t n) {
    auto* m = static_cast<Memory*>(ctx);
    m->bytes.insert(m->bytes.end(), buf, buf + n);
    return static_cast<ssize_t>(n);
}
ssize_t readCb(void* ctx, unsigned char* buf, size_t n) {
    auto* m = static_cast<Memory*>(ctx);
    size_t take = std::min(n, m->bytes.size() - m->pos);
    std::memcpy(buf, m->bytes.data() + m->pos, take);
    m->pos += take;
    return static_cast<ssize_t>(take);
}

// One page of the given bits per pixel, made once, as a libcups stream.
const std::vector<uint8_t>& raster(unsigned bpp) {
    static std::map<unsigned, std::vector<uint8_t>> cache;
    auto it = cache.find(bpp);
    if (it != cache.end())
        return it->second;
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
    h.cupsColorOrder = CUPS_ORDER_CHUNKED;
    h.PageSize[0] = 204;
    h.PageSize[1] = kRows * 72 / 203;
    cupsRasterWriteHeader2(w, &h);
    std::vector<uint8_t> row(h.cupsBytesPerLine);
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
    cupsRasterClose(w);
    return cache.emplace(bpp, std::move(m.bytes)).first->second;
}

void setupSinks() {
    static int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    static FILE* nullMsg = std::fopen("/dev/null", "w");
    g_nPrinterFd = null;
    g_pCupsMsg = nullMsg;
}

// The floor: libcups reads the page and it is thrown away.
void BM_ReadOnly(benchmark::State& state) {
    const unsigned bpp = static_cast<unsigned>(state.range(0));
    const auto& bytes = raster(bpp);
    std::vector<uint8_t> page;
    for (auto _ : state) {
        Memory m{bytes, 0};
        cups_raster_t* r = cupsRasterOpenIO(readCb, &m, CUPS_RASTER_READ);
        cups_page_header2_t h;
        while (cupsRasterReadHeader2(r, &h)) {
            page.resize(static_cast<size_t>(h.cupsBytesPerLine) * h.cupsHeight);
            cupsRasterReadPixels(r, page.data(), static_cast<unsigned>(page.size()));
            benchmark::DoNotOptimize(page.data());
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
        Memory m{bytes, 0};
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

}  // namespace

BENCHMARK(BM_ReadOnly)->ArgName("bpp")->Arg(1)->Arg(8)->Arg(24)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Filter)
    ->ArgNames({"bpp", "dither", "gray"})
    ->Args({1, 0, 0})
    ->Args({8, 0, 0})->Args({8, 1, 0})->Args({8, 2, 0})->Args({8, 3, 0})->Args({8, 0, 1})
    ->Args({24, 0, 0})->Args({24, 1, 0})->Args({24, 2, 0})->Args({24, 3, 0})->Args({24, 0, 1})
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
