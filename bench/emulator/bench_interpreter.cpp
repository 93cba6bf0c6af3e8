// The interpreter's throughput on what it mostly receives: graphics bands.
// A job of several 576 x 3000 dot pages (bands of 1000 rows, a feed and a
// cut after each page) is fed in 64 KiB chunks, the way a connection
// delivers it; bytes per second is the figure to watch.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "kvrs_emulator.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

void put(Bytes& out, std::initializer_list<std::uint8_t> b) {
    out.insert(out.end(), b);
}

Bytes page_stream(int pages, int width, int height, bool gray) {
    Bytes out{0x1B, 0x40, 0x1B, 0x32};
    const int rb = (width + 7) / 8;
    std::uint32_t seed = 1;
    for (int page = 0; page < pages; ++page) {
        put(out, {0x1B, 0x4A, 0x00});
        for (int row = 0; row < height; row += 1000) {
            const int rows = std::min(1000, height - row);
            const int planes = gray ? 4 : 1;
            for (int c = 0; c < planes; ++c) {
                const std::uint32_t p = 10 + static_cast<std::uint32_t>(rb * rows);
                put(out, {0x1D, 0x38, 0x4C, static_cast<std::uint8_t>(p),
                          static_cast<std::uint8_t>(p >> 8), static_cast<std::uint8_t>(p >> 16),
                          static_cast<std::uint8_t>(p >> 24), 0x30, 0x70,
                          static_cast<std::uint8_t>(gray ? 0x34 : 0x30), 0x01, 0x01,
                          static_cast<std::uint8_t>(0x31 + c), static_cast<std::uint8_t>(width),
                          static_cast<std::uint8_t>(width >> 8), static_cast<std::uint8_t>(rows),
                          static_cast<std::uint8_t>(rows >> 8)});
                for (int i = 0; i < rb * rows; ++i) {
                    seed = seed * 1103515245u + 12345u;
                    out.push_back(static_cast<std::uint8_t>(seed >> 16));
                }
            }
            put(out, {0x1D, 0x28, 0x4C, 0x02, 0x00, 0x30, 0x32});
        }
        put(out, {0x1B, 0x4A, 0x00, 0x1B, 0x4A, 0x90, 0x1B, 0x6D});
    }
    return out;
}

void run(benchmark::State& state, const Bytes& stream) {
    constexpr std::size_t kChunk = 64 * 1024;
    std::size_t receipts = 0;
    for (auto _ : state) {
        kvrs::emu::Interpreter in(
            {},
            {.reply = {}, .conditions = {}, .event = {}, .receipt = [&](kvrs::emu::Receipt&& r) {
                 benchmark::DoNotOptimize(r.pixels.data());
                 ++receipts;
             }});
        for (std::size_t at = 0; at < stream.size(); at += kChunk)
            in.feed(std::span(stream).subspan(at, std::min(kChunk, stream.size() - at)));
        in.finish();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(stream.size()));
    state.counters["receipts"] =
        static_cast<double>(receipts) / static_cast<double>(state.iterations());
}

void BM_MonochromePages(benchmark::State& state) {
    static const Bytes stream = page_stream(4, 576, 3000, false);
    run(state, stream);
}
BENCHMARK(BM_MonochromePages)->Unit(benchmark::kMillisecond);

void BM_GrayPages(benchmark::State& state) {
    static const Bytes stream = page_stream(2, 576, 3000, true);
    run(state, stream);
}
BENCHMARK(BM_GrayPages)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
