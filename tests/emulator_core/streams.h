// streams.h - command streams as the filter writes them, a recorder that runs
// them through an Interpreter, and the byte helpers every emulator test uses.
#pragma once

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "kvrs_emulator.h"

namespace kvrs::emu::test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
inline Bytes text(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

inline const Bytes kPrint{0x1D, 0x28, 0x4C, 0x02, 0x00, 0x30, 0x32};
inline const Bytes kStatusRequest{0x10, 0x04, 0x10};

// GS 8 L store: a = 0x30 (mono) or 0x34 (gray), plane c, rows of
// (width + 7) / 8 bytes.
inline Bytes store(std::uint8_t a, std::uint8_t c, int width, int height, const Bytes& data) {
    const auto p = static_cast<std::uint32_t>(10 + data.size());
    auto u8 = [](auto v, int shift) { return static_cast<std::uint8_t>(v >> shift); };
    return cat({{0x1D, 0x38, 0x4C, u8(p, 0), u8(p, 8), u8(p, 16), u8(p, 24), 0x30, 0x70, a, 0x01,
                 0x01, c, u8(width, 0), u8(width, 8), u8(height, 0), u8(height, 8)},
                data});
}

// A deterministic monochrome image: rows of (width + 7) / 8 bytes.
inline Bytes pattern(int width, int height, std::uint32_t seed) {
    Bytes out(static_cast<std::size_t>((width + 7) / 8 * height));
    for (auto& b : out) b = static_cast<std::uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);
    return out;
}

// A monochrome page in bands of at most 1000 rows, each stored and printed,
// as the filter sends it.
inline Bytes mono_page(int width, const Bytes& image, int height) {
    Bytes out;
    const auto rb = static_cast<std::ptrdiff_t>((width + 7) / 8);
    for (int row = 0; row < height; row += 1000) {
        const int rows = std::min(1000, height - row);
        const Bytes band(image.begin() + rb * row, image.begin() + rb * (row + rows));
        out = cat({out, store(0x30, 0x31, width, rows, band), kPrint});
    }
    return out;
}

// A gray band: four planes from 8-bit gray values (plane 0x31 carries the
// most significant bit of the 4-bit darkness 15 - v / 16), then a print.
inline Bytes gray_band(int width, int height, const Bytes& gray) {
    Bytes out;
    const int rb = (width + 7) / 8;
    for (int i = 0; i < 4; ++i) {
        Bytes plane(static_cast<std::size_t>(rb * height), 0);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                if ((15 - gray[static_cast<std::size_t>(y * width + x)] / 16) >> (3 - i) & 1)
                    plane[static_cast<std::size_t>(y * rb + x / 8)] |=
                        static_cast<std::uint8_t>(0x80 >> (x % 8));
        out = cat({out, store(0x34, static_cast<std::uint8_t>(0x31 + i), width, height, plane)});
    }
    return cat({out, kPrint});
}

inline std::string hexdump(const Bytes& b, std::size_t limit = 512) {
    std::string out;
    char buf[24];
    for (std::size_t i = 0; i < b.size() && i < limit; out += buf, ++i)
        if (i % 16)
            std::snprintf(buf, sizeof buf, " %02X", b[i]);
        else
            std::snprintf(buf, sizeof buf, "\n%06zx  %02X", i, b[i]);
    if (b.size() > limit) out += "\n... (" + std::to_string(b.size()) + " bytes)";
    return out;
}

// Everything an Interpreter produced; `cond` is read at each status request.
struct Record {
    std::vector<std::string> events;  // JSON lines
    std::vector<Event> raw;
    std::vector<Bytes> replies;
    std::vector<Receipt> receipts;
    Conditions cond;

    std::vector<const Event*> of(std::string_view kind) const {
        std::vector<const Event*> out;
        for (const auto& e : raw)
            if (e.kind == kind) out.push_back(&e);
        return out;
    }
};

// An interpreter that records into `r`.
inline Interpreter recording(Record& r, Paper paper = {}) {
    return Interpreter(
        paper,
        {.reply =
             [&r](std::span<const std::uint8_t> b) { r.replies.emplace_back(b.begin(), b.end()); },
         .conditions = [&r] { return r.cond; },
         .event =
             [&r](const Event& e) {
                 r.events.push_back(e.json());
                 r.raw.push_back(e);
             },
         .receipt = [&r](Receipt&& rc) { r.receipts.push_back(std::move(rc)); }});
}

// Runs `stream` through a fresh interpreter, fed in pieces at the given cut
// positions (ascending), then finish().
inline Record run(const Bytes& stream, const std::vector<std::size_t>& cuts = {},
                  Conditions cond = {}, Paper paper = {}) {
    Record r;
    r.cond = cond;
    Interpreter in = recording(r, paper);
    std::size_t at = 0;
    for (const std::size_t c : cuts) in.feed(std::span(stream).subspan(at, c - at)), at = c;
    in.feed(std::span(stream).subspan(at));
    in.finish();
    return r;
}

}  // namespace kvrs::emu::test
