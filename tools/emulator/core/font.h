// font.h - the bitmap font of printed text (inside the emulator core).
#pragma once

#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "kvrs_emulator.h"

namespace kvrs::emu {

class Font {
  public:
    int width = 0;  // glyph cell in the file, in dots
    int height = 0;
    int row_bytes = 0;
    std::vector<std::uint8_t> glyphs;  // count x height x row_bytes
    std::size_t count = 0;
    std::unordered_map<char32_t, std::uint32_t> index;  // code point -> glyph

    // The glyph for a code point (or for U+FFFD / '?' when it has none);
    // empty if the font has neither.
    std::span<const std::uint8_t> glyph(char32_t cp) const;
    // Parses a font file's bytes (already decompressed); false if they are
    // not a PSF1 or PSF2 font.
    bool parse(std::span<const std::uint8_t> file, std::string* error);
};

}  // namespace kvrs::emu
