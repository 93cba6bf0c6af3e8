// The command interpreter: parses the byte stream in chunks of any size,
// answers real-time status requests, and renders what it prints.
//
// Parsing keeps a small header buffer.  A command's length is worked out
// step by step from the bytes seen so far (command_length()); bulk data
// (graphics rows, skipped payloads) never passes through the header buffer
// but is copied or skipped in whole runs.  Every decision depends on the
// bytes alone, never on how they were split into chunks.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "font.h"
#include "kvrs_emulator.h"

namespace kvrs::emu {

namespace {

constexpr std::uint8_t kEsc = 0x1B, kGs = 0x1D, kDle = 0x10, kFs = 0x1C;
constexpr std::uint8_t kLf = 0x0A, kCr = 0x0D, kHt = 0x09;

// Payloads of unknown commands, and of store commands whose length field
// disagrees with their own header, are skipped by their length only up to
// this size.  Beyond it the length is not believable, and parsing goes on
// right after the header instead of swallowing the rest of the job.
constexpr std::uint64_t kMaxSkip = 8u << 20;
constexpr std::size_t kUnknownShown = 16;  // bytes shown in an unknown event
constexpr int kUnknown = -1;

// Code page 437, bytes 0x80-0xFF.
constexpr char16_t kCp437High[] =
    u"ÇüéâäàåçêëèïîìÄÅÉæÆôöòûùÿÖÜ¢£¥₧ƒáíóúñÑªº¿⌐¬½¼¡«»"
    u"░▒▓│┤╡╢╖╕╣║╗╝╜╛┐└┴┬├─┼╞╟╚╔╩╦╠═╬╧╨╤╥╙╘╒╓╫╪┘┌█▄▌▐▀"
    u"αßΓπΣσµτΦΘΩδ∞φε∩≡±≥≤⌠⌡÷≈°∙·√ⁿ²■\u00A0";
static_assert(sizeof kCp437High / sizeof kCp437High[0] == 129);

// Eight dots of one graphics byte, bit 7 first: as gray pixels (set = 0,
// black) and as 0/1 values for combining gray planes.
struct DotTables {
    std::uint8_t mono[256][8];
    std::uint8_t bits[256][8];
    std::uint8_t gray[16];  // 4-bit darkness -> pixel value
};
constexpr DotTables make_dot_tables() {
    DotTables t{};
    for (int b = 0; b < 256; ++b)
        for (int k = 0; k < 8; ++k) {
            const bool set = (b >> (7 - k) & 1) != 0;
            t.mono[b][k] = set ? 0 : 255;
            t.bits[b][k] = set ? 1 : 0;
        }
    for (int d = 0; d < 16; ++d) t.gray[d] = static_cast<std::uint8_t>(255 - 17 * d);
    return t;
}
constexpr DotTables kDots = make_dot_tables();

std::string hex(std::span<const std::uint8_t> bytes) {
    std::string out;
    out.reserve(bytes.size() * 3);
    for (const std::uint8_t b : bytes) {
        char buf[4];
        std::snprintf(buf, sizeof buf, out.empty() ? "%02X" : " %02X", b);
        out += buf;
    }
    return out;
}

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | cp >> 6);
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | cp >> 12);
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::uint32_t le16(const std::uint8_t* p) {
    return p[0] | static_cast<std::uint32_t>(p[1]) << 8;
}
std::uint32_t le32(const std::uint8_t* p) {
    return le16(p) | static_cast<std::uint32_t>(p[2]) << 16 |
           static_cast<std::uint32_t>(p[3]) << 24;
}

bool is_text(std::uint8_t b) {
    return b >= 0x20 && b != 0x7F;
}

// Total length of the command that begins with the n bytes in h (n >= 1).
// A result above n asks for more bytes (it may grow again once they have
// come); n means the command is complete; kUnknown means the bytes are not
// a command this printer knows.
int command_length(const std::uint8_t* h, std::size_t n) {
    if (n < 2) return 2;
    const std::uint8_t c = h[1];
    switch (h[0]) {
        case kEsc:
            switch (c) {
                case '@':
                case '2':
                case 'i':
                case 'm':
                case 'S':
                case 'L':
                    return 2;
                case 'J':
                case '3':
                case 'd':
                // consumed and ignored: print modes, justification, code tables...
                case '!':
                case '-':
                case 'E':
                case 'G':
                case 'M':
                case 'R':
                case 'V':
                case 'a':
                case 't':
                case ' ':
                case '{':
                case 'U':
                case 'e':
                case 'r':
                    return 3;
                case '$':
                case '\\':
                case 'c':
                    return 4;
                case 'p':
                    return 5;
                case '*':  // ESC * m nL nH: old bit image, skipped by its length
                    return 5;
                default:
                    return kUnknown;
            }
        case kGs:
            switch (c) {
                case '8':  // GS 8 L p1 p2 p3 p4 m fn ...
                    if (n < 3) return 3;
                    if (h[2] != 'L') return kUnknown;
                    if (n < 7) return 7;
                    if (le32(h + 3) < 2) return 7;
                    if (n < 9) return 9;
                    if (h[7] == 0x30 && h[8] == 0x70 && le32(h + 3) >= 10) return 17;
                    return 9;
                case '(':  // GS ( x pL pH ...: every function of this family has a length
                    if (n < 5) return 5;
                    if (h[2] == 'L' && le16(h + 3) >= 2) {
                        if (n < 7) return 7;
                        if (h[5] == 0x30 && h[6] == 0x70 && le16(h + 3) >= 10) return 15;
                        return 7;
                    }
                    return 5;
                case 'V':
                    if (n < 3) return 3;
                    switch (h[2]) {
                        case 0:
                        case 1:
                        case '0':
                        case '1':
                            return 3;
                        case 'A':
                        case 'B':
                            return 4;
                        default:
                            return kUnknown;
                    }
                case 'v':  // GS v 0 m xL xH yL yH d...
                    if (n < 3) return 3;
                    return h[2] == '0' ? 8 : kUnknown;
                case '!':
                case 'B':
                case 'H':
                case 'f':
                case 'h':
                case 'w':
                case 'a':
                case 'r':
                case 'I':
                case 'b':
                case 'E':
                    return 3;
                case 'L':
                case 'W':
                case 'P':
                case '$':
                case '\\':
                    return 4;
                default:
                    return kUnknown;
            }
        case kDle:
            switch (c) {
                case 0x04:
                case 0x05:
                    return 3;
                case 0x14:  // DLE DC4 fn ...
                    if (n < 3) return 3;
                    switch (h[2]) {
                        case 1:
                        case 2:
                            return 5;
                        case 7:
                            return 4;
                        case 8:
                            return 10;
                        default:
                            return kUnknown;
                    }
                default:
                    return kUnknown;
            }
        case kFs:
            switch (c) {
                case '&':
                case '.':
                    return 2;
                case 'C':
                case '!':
                case '-':
                case 'W':
                    return 3;
                case 'S':
                case 'p':
                    return 4;
                default:
                    return kUnknown;
            }
        default:
            return kUnknown;
    }
}

}  // namespace

struct Interpreter::State {
    // Configuration.
    int width;  // paper width in dots
    Callbacks cb;
    std::shared_ptr<const Font> font;
    bool font_warned = false;

    // Parser.
    enum class Mode : std::uint8_t { Idle, Header, Data, Skip } mode = Mode::Idle;
    std::uint64_t off = 0;      // bytes consumed
    std::uint64_t cmd_off = 0;  // where the current command began
    std::uint8_t hdr[24] = {};
    std::size_t hlen = 0;
    std::uint64_t remaining = 0;  // of Data or Skip
    bool print_when_done = false;

    // The graphics stored in the printer, and the store in progress.
    struct Stored {
        bool gray = false;
        int width = 0, height = 0, bx = 1, by = 1;
        std::uint8_t mask = 0;  // planes present, bit 0 = plane 1
        std::array<std::vector<std::uint8_t>, 4> planes;
    } stored;
    int store_plane = 0;

    // The receipt being printed: rows [0, rows) exist in px, y is where the
    // next line prints (rows beyond `rows` are blank paper not yet made).
    std::vector<std::uint8_t> px;
    int rows = 0;
    int y = 0;
    bool printed = false;
    bool sparse = false;  // receipts end after their last drawn row
    int line_spacing = kDefaultLineSpacing;

    // Text waiting for the end of its line.
    std::vector<char32_t> line;
    std::uint64_t line_off = 0;

    // feed_until_receipt(): a receipt was delivered during this call.
    bool stop_at_receipt = false;
    bool receipt_delivered = false;

    // Unknown bytes waiting to be reported as one run.
    bool unk = false;
    std::uint64_t unk_off = 0, unk_count = 0;
    std::vector<std::uint8_t> unk_bytes;

    State(Paper paper, Callbacks callbacks)
        : width(paper.width_dots()), cb(std::move(callbacks)), font(default_font()) {}

    // ---- events ----------------------------------------------------------
    void deliver(Event& e) {
        if (cb.event) cb.event(e);
    }
    void emit(Event&& e) {
        flush_unknown();
        deliver(e);
    }
    Event make(const char* kind, std::uint64_t at) const {
        Event e;
        e.kind = kind;
        e.offset = at;
        return e;
    }
    void error(std::uint64_t at, std::string message) {
        Event e = make("error", at);
        e.add("message", std::move(message));
        emit(std::move(e));
    }
    void flush_unknown() {
        if (!unk) return;
        unk = false;
        Event e = make("unknown", unk_off);
        e.add_num("count", static_cast<long long>(unk_count));
        e.add("bytes", hex(unk_bytes));
        deliver(e);
    }
    // `bytes` were not understood (or deliberately ignored); `extra` more
    // bytes belonging to them are skipped without being shown.
    void unknown(std::uint64_t at, std::span<const std::uint8_t> bytes, std::uint64_t extra = 0) {
        if (!unk || at != unk_off + unk_count) {
            flush_unknown();
            unk = true;
            unk_off = at;
            unk_count = 0;
            unk_bytes.clear();
        }
        for (std::size_t i = 0; i < bytes.size() && unk_bytes.size() < kUnknownShown; ++i)
            unk_bytes.push_back(bytes[i]);
        unk_count += bytes.size() + extra;
    }

    // ---- paper -----------------------------------------------------------
    void ensure_rows(int n) {
        if (n > rows) {
            // A tall canvas is not copied again and again as bands are
            // added: past the first rows its largest size is reserved at
            // once (address space only; a page costs memory when a row on
            // it is drawn), so it moves only while small.
            constexpr std::size_t kSmallRows = 2048;
            const auto w = static_cast<std::size_t>(width);
            const auto most = static_cast<std::size_t>(kMaxReceiptRows) * w;
            if (static_cast<std::size_t>(n) > kSmallRows && px.capacity() < most) px.reserve(most);
            px.resize(static_cast<std::size_t>(n) * static_cast<std::size_t>(width), 255);
            rows = n;
        }
    }
    void deliver_receipt() {
        Receipt r;
        r.width = width;
        r.height = std::max(y, rows);
        if (!sparse)
            px.resize(static_cast<std::size_t>(r.height) * static_cast<std::size_t>(width), 255);
        r.pixels = std::move(px);
        r.printed = printed;
        px = {};
        rows = 0;
        y = 0;
        printed = false;
        receipt_delivered = true;
        if (cb.receipt) cb.receipt(std::move(r));
    }
    // Makes room for `n` more rows at y: a receipt that would grow beyond
    // kMaxReceiptRows is ended and continued on a new one.  Returns how
    // many of the n rows fit.
    int room_for(int n, std::uint64_t at) {
        if (y > 0 && static_cast<long long>(y) + n > kMaxReceiptRows) {
            char msg[96];
            std::snprintf(msg, sizeof msg,
                          "receipt longer than %d rows: continued on a new receipt",
                          kMaxReceiptRows);
            error(at, msg);
            deliver_receipt();
        }
        return std::min(n, kMaxReceiptRows - y);
    }
    void advance(int n, std::uint64_t at) {
        if (n > 0) y += room_for(n, at);
    }

    // ---- text ------------------------------------------------------------
    int chars_per_line() const { return std::max(1, width / kCharWidth); }

    void add_char(char32_t cp, std::uint64_t at) {
        if (static_cast<int>(line.size()) >= chars_per_line())
            print_line(std::max(line_spacing, kCharHeight));  // the line is full: wrap
        if (line.empty()) line_off = at;
        line.push_back(cp);
    }
    void draw_char(int x0, int y0, char32_t cp) {
        std::span<const std::uint8_t> g;
        if (font) g = font->glyph(cp);
        if (g.empty()) {
            if (cp == ' ' || cp == 0xA0) return;
            // No glyph: an outlined box, so the text's shape still shows.
            for (int dy = 2; dy < kCharHeight - 2; ++dy)
                for (int dx = 1; dx < kCharWidth - 1; ++dx)
                    if (dy == 2 || dy == kCharHeight - 3 || dx == 1 || dx == kCharWidth - 2)
                        px[static_cast<std::size_t>(y0 + dy) * static_cast<std::size_t>(width) +
                           static_cast<std::size_t>(x0 + dx)] = 0;
            return;
        }
        // Nearest-neighbour scaling of the font's cell to 12 x 24.
        for (int dy = 0; dy < kCharHeight; ++dy) {
            const std::uint8_t* src =
                g.data() + (dy * font->height / kCharHeight) * font->row_bytes;
            std::uint8_t* dst =
                px.data() + static_cast<std::size_t>(y0 + dy) * static_cast<std::size_t>(width) +
                static_cast<std::size_t>(x0);
            for (int dx = 0; dx < kCharWidth; ++dx) {
                const int sx = dx * font->width / kCharWidth;
                if (src[sx >> 3] >> (7 - (sx & 7)) & 1) dst[dx] = 0;
            }
        }
    }
    // Prints the pending line (if any) and advances the paper by `dots`.
    void print_line(int dots) {
        if (!line.empty()) {
            const int h = room_for(kCharHeight, line_off);
            if (h == kCharHeight) {
                ensure_rows(y + kCharHeight);
                for (std::size_t i = 0; i < line.size(); ++i)
                    draw_char(static_cast<int>(i) * kCharWidth, y, line[i]);
                printed = true;
            }
            std::string text;
            for (const char32_t cp : line) append_utf8(text, cp);
            Event e = make("text", line_off);
            e.add("text", std::move(text));
            emit(std::move(e));
            if (!font && !font_warned) {
                font_warned = true;
                error(line_off, std::string("font ") + kDefaultFontPath +
                                    " is not available: text is drawn as boxes");
            }
            line.clear();
        }
        advance(dots, cmd_off);
    }
    // Before anything else moves the paper, a pending line is printed.
    void flush_text() {
        if (!line.empty()) print_line(kCharHeight);
    }

    // ---- graphics --------------------------------------------------------
    void clear_stored() { stored.mask = 0; }

    // Starts a store command whose data (k bytes) follows.
    void begin_store(std::uint8_t a, int bx, int by, std::uint8_t c, int w, int h, std::uint64_t k,
                     bool print_after) {
        const std::uint64_t expected =
            static_cast<std::uint64_t>((w + 7) / 8) * static_cast<std::uint64_t>(h);
        char msg[160];
        if (expected != k) {
            std::snprintf(msg, sizeof msg,
                          "graphics data of %llu bytes does not match %d x %d dots (%llu bytes)",
                          static_cast<unsigned long long>(k), w, h,
                          static_cast<unsigned long long>(expected));
            error(cmd_off, msg);
            clear_stored();
            skip_bounded(k, false);
            return;
        }
        msg[0] = 0;
        if (a != 0x30 && a != 0x34)
            std::snprintf(msg, sizeof msg, "unsupported graphics tone 0x%02X", a);
        else if (a == 0x30 && c != 0x31)
            std::snprintf(msg, sizeof msg, "unsupported plane 0x%02X for monochrome graphics", c);
        else if (a == 0x34 && (c < 0x31 || c > 0x34))
            std::snprintf(msg, sizeof msg, "unsupported plane 0x%02X for gray graphics", c);
        else if ((bx != 1 && bx != 2) || (by != 1 && by != 2))
            std::snprintf(msg, sizeof msg, "unsupported graphics scale %d x %d", bx, by);
        else if (w == 0 || h == 0)
            std::snprintf(msg, sizeof msg, "empty graphics (%d x %d dots)", w, h);
        else if (w * bx > width)
            std::snprintf(msg, sizeof msg,
                          "graphics wider than the paper: %d dots, the paper has %d", w * bx,
                          width);
        if (msg[0]) {
            error(cmd_off, msg);
            clear_stored();
            // The length agrees with the header, so the data is skipped as
            // a printer would, however long (it is never stored).
            start_skip(k, false);
            return;
        }
        const bool gray = a == 0x34;
        if (!gray || !stored.gray || stored.width != w || stored.height != h || stored.bx != bx ||
            stored.by != by) {
            stored.mask = 0;  // a different image replaces whatever was stored
            stored.gray = gray;
            stored.width = w;
            stored.height = h;
            stored.bx = bx;
            stored.by = by;
        }
        store_plane = c - 0x31;
        stored.mask &= static_cast<std::uint8_t>(~(1u << store_plane));
        // Filled by appending: each data byte is written once, never zeroed first.
        auto& plane = stored.planes[static_cast<std::size_t>(store_plane)];
        plane.clear();
        plane.reserve(static_cast<std::size_t>(k));
        print_when_done = print_after;
        remaining = k;
        mode = Mode::Data;
    }
    void store_done() {
        mode = Mode::Idle;
        stored.mask |= static_cast<std::uint8_t>(1u << store_plane);
        Event e = make("graphics-store", cmd_off);
        e.add("tone", stored.gray ? "gray" : "mono");
        e.add_num("plane", store_plane + 1);
        e.add_num("width", stored.width);
        e.add_num("height", stored.height);
        e.add_num("bytes", static_cast<long long>(
                               stored.planes[static_cast<std::size_t>(store_plane)].size()));
        emit(std::move(e));
        if (print_when_done) print_stored();
    }
    void start_skip(std::uint64_t k, bool print_after) {
        print_when_done = print_after;
        remaining = k;
        mode = Mode::Skip;
        if (k == 0) skip_done();
    }
    void skip_done() {
        mode = Mode::Idle;
        if (print_when_done) print_stored();
    }
    // Skips a payload whose length cannot be checked against anything.
    void skip_bounded(std::uint64_t k, bool print_after) {
        if (k <= kMaxSkip) {
            start_skip(k, print_after);
            return;
        }
        char msg[128];
        std::snprintf(msg, sizeof msg, "length %llu is not believable: reading on after the header",
                      static_cast<unsigned long long>(k));
        error(cmd_off, msg);
    }

    void print_stored() {
        flush_text();
        if (stored.mask == 0) {
            error(cmd_off, "print with no graphics stored");
            return;
        }
        const int w = stored.width * stored.bx;
        const int full_h = stored.height * stored.by;
        const int h = room_for(full_h, cmd_off);
        if (h < full_h) error(cmd_off, "graphics taller than a receipt: cut off");
        ensure_rows(y + h);
        if (stored.bx == 1 && stored.by == 1 && !stored.gray)
            draw_mono(h);
        else if (stored.bx == 1 && stored.by == 1)
            draw_gray(h);
        else
            draw_scaled(h);
        printed = true;
        y += h;

        Event e = make("graphics-print", cmd_off);
        e.add("tone", stored.gray ? "gray" : "mono");
        e.add_num("width", w);
        e.add_num("height", h);
        std::string planes;
        for (int i = 0; i < 4; ++i)
            if (stored.mask >> i & 1) planes += static_cast<char>('1' + i);
        e.add("planes", planes);
        emit(std::move(e));
        clear_stored();  // printing empties the printer's graphics buffer
    }
    std::uint8_t* row_at(int r) {
        return px.data() + static_cast<std::size_t>(y + r) * static_cast<std::size_t>(width);
    }
    void draw_mono(int h) {
        const int w = stored.width;
        const std::size_t rb = static_cast<std::size_t>((w + 7) / 8);
        const std::size_t full = static_cast<std::size_t>(w / 8);
        const int rest = w % 8;
        const std::uint8_t* src = stored.planes[0].data();
        for (int r = 0; r < h; ++r, src += rb) {
            std::uint8_t* dst = row_at(r);
            for (std::size_t j = 0; j < full; ++j) std::memcpy(dst + 8 * j, kDots.mono[src[j]], 8);
            if (rest)
                std::memcpy(dst + 8 * full, kDots.mono[src[full]], static_cast<std::size_t>(rest));
        }
    }
    // Plane 1 is the most significant bit of a 4-bit darkness.
    void draw_gray(int h) {
        const int w = stored.width;
        const std::size_t rb = static_cast<std::size_t>((w + 7) / 8);
        const std::uint8_t* pl[4];
        std::vector<std::uint8_t> zeros;
        for (std::size_t i = 0; i < 4; ++i) {
            if (stored.mask >> i & 1) {
                pl[i] = stored.planes[i].data();
            } else {
                if (zeros.empty()) zeros.assign(rb * static_cast<std::size_t>(stored.height), 0);
                pl[i] = zeros.data();
            }
        }
        for (int r = 0; r < h; ++r) {
            std::uint8_t* dst = row_at(r);
            const std::size_t base = static_cast<std::size_t>(r) * rb;
            for (std::size_t j = 0; j < rb; ++j) {
                std::uint64_t b[4];
                for (int i = 0; i < 4; ++i) std::memcpy(&b[i], kDots.bits[pl[i][base + j]], 8);
                const std::uint64_t d = b[0] << 3 | b[1] << 2 | b[2] << 1 | b[3];
                std::uint8_t lanes[8];
                std::memcpy(lanes, &d, 8);
                const int n = std::min(8, w - static_cast<int>(8 * j));
                for (int k = 0; k < n; ++k)
                    dst[8 * j + static_cast<std::size_t>(k)] = kDots.gray[lanes[k]];
            }
        }
    }
    void draw_scaled(int h) {
        const std::size_t rb = static_cast<std::size_t>((stored.width + 7) / 8);
        const int w = stored.width * stored.bx;
        for (int r = 0; r < h; ++r) {
            std::uint8_t* dst = row_at(r);
            const std::size_t base = static_cast<std::size_t>(r / stored.by) * rb;
            for (int x = 0; x < w; ++x) {
                const int sx = x / stored.bx;
                const std::size_t at = base + static_cast<std::size_t>(sx >> 3);
                const int bit = 7 - (sx & 7);
                if (!stored.gray) {
                    dst[x] = (stored.planes[0][at] >> bit & 1) ? 0 : 255;
                    continue;
                }
                int d = 0;
                for (int i = 0; i < 4; ++i)
                    if (stored.mask >> i & 1)
                        d |= (stored.planes[static_cast<std::size_t>(i)][at] >> bit & 1) << (3 - i);
                dst[x] = kDots.gray[d];
            }
        }
    }

    // A graphics function of GS ( L / GS 8 L: m and fn at hdr[base], with p
    // parameter bytes counted from m.
    void graphics_function(std::size_t base, std::uint64_t p) {
        const std::uint8_t m = hdr[base], fn = hdr[base + 1];
        if (m == 0x30 && (fn == 0x32 || fn == 0x02)) {
            start_skip(p - 2, true);  // print; parameters beyond fn carry nothing here
        } else if (m == 0x30 && fn == 0x70) {
            if (p < 10) {
                error(cmd_off, "store graphics command too short");
                skip_bounded(p - 2, false);
                return;
            }
            const std::uint8_t* f = hdr + base + 2;  // a bx by c xL xH yL yH
            begin_store(f[0], f[1], f[2], f[3], static_cast<int>(le16(f + 4)),
                        static_cast<int>(le16(f + 6)), p - 10, false);
        } else {
            unknown(cmd_off, {hdr, hlen}, p - 2 <= kMaxSkip ? p - 2 : 0);
            skip_bounded(p - 2, false);
        }
    }

    // ---- commands --------------------------------------------------------
    void status_request(std::uint8_t n) {
        const Conditions c = cb.conditions ? cb.conditions() : Conditions{};
        Event e = make("status-request", cmd_off);
        e.add_num("n", n);
        if (c.offline) {
            e.add("dropped", "offline");
        } else if (n == 16) {
            const auto r = status_reply(c);
            if (cb.reply) cb.reply(r);
            e.add("reply", hex(r));
        } else if (n >= 1 && n <= 4) {
            // The one-byte answers of the older real-time requests: bits 1
            // and 4 are always set.
            std::uint8_t b = 0x12;
            if (n == 2) {
                b |= c.cover_open ? 0x04 : 0;
                b |= c.paper_end ? 0x20 : 0;
                const bool err = c.cutter_error || c.unrecoverable_error || c.recoverable_error ||
                                 c.other_error || c.other_error_2;
                b |= err ? 0x40 : 0;
            } else if (n == 3) {
                b |= c.cutter_error ? 0x08 : 0;
                b |= c.unrecoverable_error ? 0x20 : 0;
                b |= c.recoverable_error ? 0x40 : 0;
            } else if (n == 4) {
                b |= c.paper_near_end ? 0x0C : 0;
                b |= c.paper_end ? 0x60 : 0;
            }
            if (cb.reply) cb.reply(std::span<const std::uint8_t>(&b, 1));
            e.add("reply", hex({&b, 1}));
        } else {
            e.add("dropped", "unsupported");
        }
        emit(std::move(e));
    }
    void cut(bool full, std::uint64_t feed_first) {
        flush_text();
        if (feed_first) {
            advance(static_cast<int>(feed_first), cmd_off);
            Event f = make("feed", cmd_off);
            f.add_num("dots", static_cast<long long>(feed_first));
            emit(std::move(f));
        }
        Event e = make("cut", cmd_off);
        e.add("type", full ? "full" : "partial");
        emit(std::move(e));
        deliver_receipt();
    }
    void feed_dots(int dots, int lines) {
        Event e = make("feed", cmd_off);
        e.add_num("dots", dots);
        if (lines >= 0) e.add_num("lines", lines);
        emit(std::move(e));
        advance(dots, cmd_off);
    }
    void ignored(std::uint64_t extra = 0) { unknown(cmd_off, {hdr, hlen}, extra); }

    void execute() {
        mode = Mode::Idle;
        const std::uint8_t* h = hdr;
        switch (h[0]) {
            case kEsc:
                switch (h[1]) {
                    case '@': {
                        line.clear();
                        clear_stored();
                        line_spacing = kDefaultLineSpacing;
                        emit(make("init", cmd_off));
                        return;
                    }
                    case '2':
                    case '3': {
                        line_spacing = h[1] == '2' ? kDefaultLineSpacing : h[2];
                        Event e = make("line-spacing", cmd_off);
                        e.add_num("dots", line_spacing);
                        emit(std::move(e));
                        return;
                    }
                    case 'J':
                        flush_text();
                        feed_dots(h[2], -1);
                        return;
                    case 'd':
                        if (!line.empty()) print_line(std::max(line_spacing, kCharHeight));
                        feed_dots(h[2] * line_spacing, h[2]);
                        return;
                    case 'i':
                        cut(true, 0);
                        return;
                    case 'm':
                        cut(false, 0);
                        return;
                    case 'p': {
                        Event e = make("drawer", cmd_off);
                        e.add_num("pin", h[2]);
                        e.add_num("on", h[3]);
                        e.add_num("off", h[4]);
                        e.add_num("on_ms", h[3] * 2);
                        e.add_num("off_ms", h[4] * 2);
                        emit(std::move(e));
                        return;
                    }
                    case '*': {  // 24-dot modes (32, 33) carry 3 bytes per column
                        const std::uint64_t k = le16(h + 3) * (h[2] == 32 || h[2] == 33 ? 3u : 1u);
                        ignored(k);
                        start_skip(k, false);
                        return;
                    }
                    default:
                        ignored();
                        return;
                }
            case kGs:
                switch (h[1]) {
                    case '8': {
                        const std::uint64_t p = le32(h + 3);
                        if (p < 2) {
                            ignored(p);
                            start_skip(p, false);
                            return;
                        }
                        graphics_function(7, p);
                        return;
                    }
                    case '(': {
                        const std::uint64_t p = le16(h + 3);
                        if (h[2] == 'L' && p >= 2) {
                            graphics_function(5, p);
                            return;
                        }
                        ignored(p);
                        start_skip(p, false);
                        return;
                    }
                    case 'V':
                        if (h[2] == 'A' || h[2] == 'B')
                            cut(h[2] == 'A', h[3]);
                        else
                            cut(h[2] == 0 || h[2] == '0', 0);
                        return;
                    case 'v': {
                        const int m = h[3] & 0x03;  // 0, 1, 2, 3 or '0'..'3'
                        const int xb = static_cast<int>(le16(h + 4));
                        const int rows = static_cast<int>(le16(h + 6));
                        const std::uint64_t k =
                            static_cast<std::uint64_t>(xb) * static_cast<std::uint64_t>(rows);
                        flush_text();
                        begin_store(0x30, (m & 1) ? 2 : 1, (m & 2) ? 2 : 1, 0x31, xb * 8, rows, k,
                                    true);
                        return;
                    }
                    default:
                        ignored();
                        return;
                }
            case kDle:
                if (h[1] == 0x04)
                    status_request(h[2]);
                else
                    ignored();
                return;
            default:
                ignored();
                return;
        }
    }

    // The header bytes are no command: report them and go on.  A control
    // byte that broke the header is parsed again as the start of what
    // follows (so ESC ESC @ still initialises); returns whether it must be.
    bool reject_header() {
        mode = Mode::Idle;
        const bool again = hlen > 1 && !is_text(hdr[hlen - 1]);
        unknown(cmd_off, {hdr, again ? hlen - 1 : hlen});
        return again;
    }

    // Returns the bytes consumed: all of them, or with stop_at_receipt set,
    // those up to the end of the command that delivered a receipt.
    std::size_t feed(std::span<const std::uint8_t> bytes) {
        const std::uint8_t* p = bytes.data();
        const std::size_t n = bytes.size();
        std::size_t i = 0;
        receipt_delivered = false;
        while (i < n) {
            if (stop_at_receipt && receipt_delivered) break;
            switch (mode) {
                case Mode::Data:
                case Mode::Skip: {
                    const std::size_t take =
                        static_cast<std::size_t>(std::min<std::uint64_t>(remaining, n - i));
                    if (mode == Mode::Data) {
                        auto& plane = stored.planes[static_cast<std::size_t>(store_plane)];
                        plane.insert(plane.end(), p + i, p + i + take);
                    }
                    remaining -= take;
                    i += take;
                    off += take;
                    if (remaining == 0) mode == Mode::Data ? store_done() : skip_done();
                    break;
                }
                case Mode::Header: {
                    const int need = command_length(hdr, hlen);
                    if (need <= static_cast<int>(hlen) || need > static_cast<int>(sizeof hdr)) {
                        reject_header();  // cannot happen: decisions are taken as bytes arrive
                        break;
                    }
                    const std::size_t take = std::min(static_cast<std::size_t>(need) - hlen, n - i);
                    std::memcpy(hdr + hlen, p + i, take);
                    hlen += take;
                    i += take;
                    off += take;
                    const int now = command_length(hdr, hlen);
                    if (now == kUnknown) {
                        if (reject_header()) {
                            --i;
                            --off;
                        }
                    } else if (static_cast<std::size_t>(now) <= hlen) {
                        execute();
                    }
                    break;
                }
                case Mode::Idle: {
                    const std::uint8_t b = p[i];
                    if (is_text(b)) {
                        std::size_t j = i;
                        for (; j < n && is_text(p[j]); ++j)
                            add_char(
                                p[j] < 0x80 ? char32_t{p[j]} : char32_t{kCp437High[p[j] - 0x80]},
                                off + (j - i));
                        off += j - i;
                        i = j;
                        break;
                    }
                    cmd_off = off;
                    ++i;
                    ++off;
                    switch (b) {
                        case kLf:
                            print_line(line.empty() ? line_spacing
                                                    : std::max(line_spacing, kCharHeight));
                            break;
                        case kCr:
                            break;
                        case kHt:
                            do add_char(' ', cmd_off);
                            while (line.size() % 8 != 0 &&
                                   static_cast<int>(line.size()) < chars_per_line());
                            break;
                        case kEsc:
                        case kGs:
                        case kDle:
                        case kFs:
                            hdr[0] = b;
                            hlen = 1;
                            mode = Mode::Header;
                            break;
                        default:
                            unknown(cmd_off, {&b, 1});
                    }
                    break;
                }
            }
        }
        return i;
    }

    void finish() {
        if (mode != Mode::Idle) {
            Event e = make("truncated", cmd_off);
            e.add("command", hex({hdr, std::min(hlen, kUnknownShown)}));
            std::uint64_t missing = remaining;
            if (mode == Mode::Header) {
                const int need = command_length(hdr, hlen);
                missing = need > 0 ? static_cast<std::uint64_t>(need) - hlen : 0;
            }
            e.add_num("missing", static_cast<long long>(missing));
            emit(std::move(e));
            mode = Mode::Idle;
            hlen = 0;
            remaining = 0;
        }
        end_receipt();
    }
    void end_receipt() {
        flush_unknown();
        flush_text();
        if (y > 0 || rows > 0 || printed) deliver_receipt();
    }
};

Interpreter::Interpreter(Paper paper, Callbacks callbacks)
    : s_(std::make_unique<State>(paper, std::move(callbacks))) {}
Interpreter::~Interpreter() = default;

void Interpreter::feed(std::span<const std::uint8_t> bytes) {
    s_->stop_at_receipt = false;
    s_->feed(bytes);
}
std::size_t Interpreter::feed_until_receipt(std::span<const std::uint8_t> bytes) {
    s_->stop_at_receipt = true;
    const std::size_t n = s_->feed(bytes);
    s_->stop_at_receipt = false;
    return n;
}
void Interpreter::end_receipt() {
    s_->end_receipt();
}
void Interpreter::finish() {
    s_->finish();
}
std::uint64_t Interpreter::offset() const {
    return s_->off;
}
void Interpreter::set_sparse_receipts(bool on) {
    s_->sparse = on;
}
void Interpreter::set_font(std::shared_ptr<const Font> font) {
    s_->font = std::move(font);
    s_->font_warned = false;
}

}  // namespace kvrs::emu
