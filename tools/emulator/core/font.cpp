// Reading PSF console fonts (gzip-compressed or plain, through zlib).
//
// PSF1 layout: 36 04 | mode | charsize (= height, width 8) | glyphs |
//   unicode table (if mode & 0x06): per glyph, 16-bit little-endian code
//   points, FFFE starts a combining sequence, FFFF ends the glyph's entry.
//   mode & 0x01: 512 glyphs, otherwise 256.
// PSF2 layout: 72 B5 4A 86 | version | headersize | flags | length |
//   charsize | height | width (32-bit little-endian each) | glyphs at
//   headersize | unicode table (if flags & 1): per glyph, UTF-8 code points,
//   FE starts a sequence, FF ends the entry.
#include "font.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace kvrs::emu {

namespace {

constexpr std::size_t kMaxFontFile = 8u << 20;

std::uint32_t le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void set_error(std::string* error, std::string text) {
    if (error) *error = std::move(text);
}

// One UTF-8 code point from [p, end); advances p.  Malformed input yields
// U+FFFD and skips one byte.
char32_t next_utf8(const std::uint8_t*& p, const std::uint8_t* end) {
    const std::uint8_t b = *p++;
    int more = 0;
    char32_t cp = 0;
    if (b < 0x80) return b;
    if ((b & 0xE0) == 0xC0) {
        more = 1;
        cp = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
        more = 2;
        cp = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
        more = 3;
        cp = b & 0x07;
    } else {
        return 0xFFFD;
    }
    for (int i = 0; i < more; ++i) {
        if (p == end || (*p & 0xC0) != 0x80) return 0xFFFD;
        cp = cp << 6 | (*p++ & 0x3F);
    }
    return cp;
}

}  // namespace

std::span<const std::uint8_t> Font::glyph(char32_t cp) const {
    const std::size_t size = static_cast<std::size_t>(height) * static_cast<std::size_t>(row_bytes);
    for (const char32_t c : {cp, char32_t{0xFFFD}, char32_t{'?'}}) {
        const auto it = index.find(c);
        if (it != index.end() && it->second < count)
            return std::span<const std::uint8_t>(glyphs).subspan(it->second * size, size);
    }
    return {};
}

bool Font::parse(std::span<const std::uint8_t> f, std::string* error) {
    const std::uint8_t* table = nullptr;
    std::size_t data_at = 0;
    bool utf8 = false;
    if (f.size() >= 4 && f[0] == 0x36 && f[1] == 0x04) {
        count = (f[2] & 0x01) ? 512 : 256;
        width = 8;
        height = f[3];
        data_at = 4;
        table = (f[2] & 0x06) ? f.data() : nullptr;
    } else if (f.size() >= 32 && le32(f.data()) == 0x864AB572u) {
        const std::uint32_t header = le32(&f[8]);
        const std::uint32_t flags = le32(&f[12]);
        const std::uint32_t length = le32(&f[16]);
        const std::uint32_t charsize = le32(&f[20]);
        height = static_cast<int>(std::min<std::uint32_t>(le32(&f[24]), 1000));
        width = static_cast<int>(std::min<std::uint32_t>(le32(&f[28]), 1000));
        if (length == 0 || length > 65536 || header < 32 || header > f.size() ||
            charsize != static_cast<std::uint32_t>(height * ((width + 7) / 8))) {
            set_error(error, "malformed PSF2 header");
            return false;
        }
        count = length;
        data_at = header;
        table = (flags & 1) ? f.data() : nullptr;
        utf8 = true;
    } else {
        set_error(error, "not a PSF font");
        return false;
    }
    if (width < 1 || width > 64 || height < 1 || height > 64) {
        set_error(error, "unsupported glyph size");
        return false;
    }
    row_bytes = (width + 7) / 8;
    const std::size_t glyph_size =
        static_cast<std::size_t>(height) * static_cast<std::size_t>(row_bytes);
    if (data_at + count * glyph_size > f.size()) {
        set_error(error, "font file is cut short");
        return false;
    }
    glyphs.assign(f.begin() + static_cast<std::ptrdiff_t>(data_at),
                  f.begin() + static_cast<std::ptrdiff_t>(data_at + count * glyph_size));

    index.clear();
    if (table) {
        // Only the first code point of each entry and of each sequence is
        // mapped; combining sequences need no glyphs of their own here.
        const std::uint8_t* p = f.data() + data_at + count * glyph_size;
        const std::uint8_t* end = f.data() + f.size();
        for (std::uint32_t g = 0; g < count && p < end; ++g) {
            bool in_sequence = false;
            while (p < end) {
                char32_t cp = 0;
                if (utf8) {
                    if (*p == 0xFF) {
                        ++p;
                        break;
                    }
                    if (*p == 0xFE) {
                        ++p;
                        in_sequence = true;
                        continue;
                    }
                    cp = next_utf8(p, end);
                } else {
                    if (end - p < 2) {
                        p = end;
                        break;
                    }
                    cp = static_cast<char32_t>(p[0] | p[1] << 8);
                    p += 2;
                    if (cp == 0xFFFF) break;
                    if (cp == 0xFFFE) {
                        in_sequence = true;
                        continue;
                    }
                }
                if (!in_sequence) index.try_emplace(cp, g);
            }
        }
    } else {
        // No table: glyph numbers are the code points (Latin-1 layout).
        for (std::uint32_t g = 0; g < count; ++g) index.emplace(static_cast<char32_t>(g), g);
    }
    return true;
}

std::shared_ptr<const Font> load_font(const std::filesystem::path& path, std::string* error) {
    // gzread reads plain files unchanged, so both forms go through zlib.
    gzFile gz = gzopen(path.c_str(), "rb");
    if (!gz) {
        set_error(error, "cannot open " + path.string() + ": " + std::strerror(errno));
        return nullptr;
    }
    std::vector<std::uint8_t> bytes;
    std::uint8_t buf[16384];
    int n = 0;
    while ((n = gzread(gz, buf, sizeof buf)) > 0 && bytes.size() < kMaxFontFile)
        bytes.insert(bytes.end(), buf, buf + n);
    const bool read_failed = n < 0;
    gzclose(gz);
    if (read_failed || bytes.size() >= kMaxFontFile) {
        set_error(error, "cannot read " + path.string());
        return nullptr;
    }
    auto font = std::make_shared<Font>();
    std::string why;
    if (!font->parse(bytes, &why)) {
        set_error(error, path.string() + ": " + why);
        return nullptr;
    }
    return font;
}

std::shared_ptr<const Font> default_font() {
    static std::once_flag once;
    static std::shared_ptr<const Font> font;
    std::call_once(once, [] { font = load_font(kDefaultFontPath); });
    return font;
}

}  // namespace kvrs::emu
