// libFuzzer target: arbitrary bytes, fed in a few chunks, must never crash,
// hang or produce anything but well-formed replies, events and receipts.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "kvrs_emulator.h"

using namespace kvrs::emu;

namespace {
void check(bool ok) {
    if (!ok) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The first byte picks the paper and where the input is split; the
    // font is read once per process (default_font() caches it).
    static const auto font = default_font();
    if (size == 0) return 0;
    const std::uint8_t knobs = data[0];
    const std::span<const std::uint8_t> in(data + 1, size - 1);
    const Paper paper{(knobs & 1) ? Model::M1A : Model::M2A, (knobs & 2) ? 58 : 80};
    // The length's parity picks full or sparse receipts.
    const bool sparse = (size & 1) != 0;
    Conditions cond;
    cond.offline = (knobs & 4) != 0;
    cond.cover_open = (knobs & 8) != 0;

    Interpreter interp(
        paper,
        {
            .reply = [](std::span<const std::uint8_t> r) { check(r.size() == 6 || r.size() == 1); },
            .conditions = [&] { return cond; },
            .event = [](const Event& e) { check(!e.kind.empty() && e.json().size() > 10); },
            .receipt =
                [&](Receipt&& r) {
                    check(r.width == paper.width_dots());
                    check(r.height >= 0 && r.height <= kMaxReceiptRows);
                    const std::size_t all =
                        static_cast<std::size_t>(r.width) * static_cast<std::size_t>(r.height);
                    check(sparse ? r.pixels.size() <= all &&
                                       r.pixels.size() % static_cast<std::size_t>(r.width) == 0
                                 : r.pixels.size() == all);
                },
        });
    interp.set_font(font);
    interp.set_sparse_receipts(sparse);
    // Three chunks, split at positions taken from the knobs byte.
    const std::size_t a = in.size() * ((knobs >> 4) & 3) / 4;
    const std::size_t b = a + (in.size() - a) * ((knobs >> 6) & 3) / 4;
    interp.feed(in.first(a));
    interp.feed(in.subspan(a, b - a));
    interp.end_receipt();
    interp.feed(in.subspan(b));
    interp.finish();
    check(interp.offset() == in.size());
    return 0;
}
