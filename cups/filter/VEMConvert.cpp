// Colour to gray and gray to one bit per dot.
//
// The page loop converts a page row by row (VemDither, vemGrayRow), so no
// conversion needs more than two rows of scratch space; prepareGrayScaleData
// and prepareMonochromeData apply the same row code to whole images.  The
// fast paths below produce exactly the bytes of the plain per-pixel rules
// they replace (the golden tests pin them).
#include <algorithm>
#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "VEMLogging.h"
#include "rastertovem_core.h"

namespace {

constexpr unsigned kFnMono = 2;
constexpr unsigned kFnGray = 3;

constexpr uint8_t g_bitMask[8] = {0x80, 0x40, 0x20, 0x10, 0x08, 0x04, 0x02, 0x01};

// Ordered-dither thresholds: a pixel is black when its gray is below.
constexpr uint8_t M4[4][4] = {
    {165, 71, 103, 135},
    {199, 7, 39, 231},
    {119, 151, 183, 87},
    {55, 247, 215, 23},
};
constexpr uint8_t M8[8][8] = {
    {97, 9, 41, 105, 153, 241, 209, 145},   {17, 1, 33, 65, 233, 249, 217, 185},
    {49, 25, 57, 81, 201, 225, 193, 169},   {113, 73, 89, 121, 137, 177, 161, 129},
    {157, 245, 213, 149, 101, 13, 45, 109}, {237, 253, 221, 189, 21, 5, 37, 69},
    {205, 229, 197, 173, 53, 29, 61, 85},   {141, 181, 165, 133, 117, 77, 93, 125},
};

#if defined(__SSE2__)
// Reverses the order of the bytes within each half of v, so that a
// movemask yields the mono image's bytes directly: the first pixel of each
// eight in bit 7, as the printer wants it.
inline __m128i mirrorHalves(__m128i v) {
    v = _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, _MM_SHUFFLE(0, 1, 2, 3)), _MM_SHUFFLE(0, 1, 2, 3));
    return _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
}
inline __m128i load16(const uint8_t* p) {
    return mirrorHalves(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}
// Sets the dots of 16 pixels: two mono bytes, from a movemask of mirrored
// pixels.
inline void put16(uint8_t* out, unsigned mask) {
    uint16_t v;
    std::memcpy(&v, out, 2);
    v = static_cast<uint16_t>(v | mask);
    std::memcpy(out, &v, 2);
}
// Writes the dots of 16 pixels whole (for rows the caller has not cleared).
inline void store16(uint8_t* out, unsigned mask) {
    const uint16_t v = static_cast<uint16_t>(mask);
    std::memcpy(out, &v, 2);
}
#endif

// ---- colour to gray ------------------------------------------------------------
//
// The rule: gray = truncate(float(R*0.299) + float(G*0.587) + float(B*0.114)),
// each product rounded from double to float, the sum taken left to right in
// float.  The exact value is N/1000 with N = 299R + 587G + 114B, and the
// float error stays below 0.0001, so the rule gives N/1000 (integer
// division) whenever N is not a multiple of 1000.  When it is, the float
// sum may fall just below the whole number (for 1100 of the 16.7 million
// colours, gray 37 among them): those are marked in a table, computed once
// from the rule itself.

struct GrayTables {
    std::array<float, 256> r, g, b;               // the rule's products
    std::array<uint32_t, 256> nr, ng, nb;         // 299R, 587G, 114B
    std::array<uint64_t, 65536 / 64> below{};     // (R,G): the multiple of 1000 rounds down
    GrayTables() {
        for (int i = 0; i < 256; ++i) {
            r[i] = static_cast<float>(i * 0.299);
            g[i] = static_cast<float>(i * 0.587);
            b[i] = static_cast<float>(i * 0.114);
            nr[i] = 299u * i;
            ng[i] = 587u * i;
            nb[i] = 114u * i;
        }
        // For each (R,G) at most one B in 0..255 makes N a multiple of 1000:
        // 114B mod 1000 repeats only every 500 values of B.
        std::array<int, 1000> bOf;
        bOf.fill(-1);
        for (unsigned B = 0; B < 256; ++B)
            bOf[nb[B] % 1000] = static_cast<int>(B);
        for (unsigned R = 0; R < 256; ++R)
            for (unsigned G = 0; G < 256; ++G) {
                const int B = bOf[(1000 - (nr[R] + ng[G]) % 1000) % 1000];
                if (B >= 0 && rule(R, G, static_cast<unsigned>(B)) != (nr[R] + ng[G] + nb[B]) / 1000)
                    below[(R << 8 | G) >> 6] |= 1ull << (G & 63);
            }
    }
    unsigned rule(unsigned R, unsigned G, unsigned B) const {
        float sum = r[R] + g[G];
        sum = sum + b[B];
        return static_cast<unsigned>(sum);
    }
    uint8_t gray(unsigned R, unsigned G, unsigned B) const {
        const uint32_t n = nr[R] + ng[G] + nb[B];
        const uint32_t q = n / 1000;
        if (n != q * 1000)
            return static_cast<uint8_t>(q);
        const unsigned key = R << 8 | G;
        return static_cast<uint8_t>(q - ((below[key >> 6] >> (key & 63)) & 1));
    }
};

const GrayTables& grayTables() {
    static const GrayTables t;
    return t;
}

// ---- error diffusion -------------------------------------------------------------

// The four shares of the error of a pixel whose value (gray plus the error
// it received) is v, indexed by v + 128 (v runs from -128 to 382).  The
// error e is v when the pixel turns black (v <= 127), else v - 255, both
// as 8 bits; the shares are e*7/16, e*3/16, e*5/16 and e/16, signed and
// truncated toward zero, stored as bytes.
struct Shares {
    uint8_t a, b, d, f;
};
constexpr int kMinValue = -128, kMaxValue = 255 + 127;
constexpr std::array<Shares, kMaxValue - kMinValue + 1> kShares = [] {
    std::array<Shares, kMaxValue - kMinValue + 1> t{};
    for (int v = kMinValue; v <= kMaxValue; ++v) {
        const int e = static_cast<int8_t>(static_cast<uint8_t>(v <= 127 ? v : v + 1));
        t[static_cast<size_t>(v - kMinValue)] = {
            static_cast<uint8_t>(e * 7 / 16), static_cast<uint8_t>(e * 3 / 16),
            static_cast<uint8_t>(e * 5 / 16), static_cast<uint8_t>(e / 16)};
    }
    return t;
}();
inline const Shares& sharesOf(int v) { return kShares[static_cast<size_t>(v - kMinValue)]; }

}  // namespace

// ---- the row converters ----------------------------------------------------------

void vemGrayRow(const uint8_t* pColour, uint8_t* pGray, size_t nPixels) {
    const GrayTables& t = grayTables();
    // Receipts are long runs of one colour: the last answer is kept.
    uint32_t lastKey = 0xFFFFFFFFu;
    uint8_t last = 0;
    for (size_t i = 0; i < nPixels; ++i) {
        const uint8_t* p = pColour + 3 * i;
        const uint32_t key = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                             static_cast<uint32_t>(p[2]) << 16;
        if (key != lastKey) {
            last = t.gray(p[0], p[1], p[2]);
            lastKey = key;
        }
        pGray[i] = last;
    }
}

VemDither::VemDither(int nMethod, unsigned int nWidth, unsigned int nHeight,
                     std::span<uint8_t> work)
    : method_(nMethod), width_(nWidth), height_(nHeight), work_(work) {
    if (method_ == 3)
        std::memset(work_.data(), 0, workBytes(nWidth));
}

// Clears the mono bytes of pixels c (a multiple of 8) to w.
inline void clearTail(uint8_t* out, unsigned c, unsigned w) {
    if (c < w)
        std::memset(out + c / 8, 0, (w - c + 7) / 8);
}

// Methods 0-2 write each row's bytes whole; method 3 clears the row and
// sets its dots.

#if defined(__x86_64__)
// With AVX2, 32 pixels at a time: pixel c is black when it is below its
// threshold thr[c % 32], that is unless max(pixel, threshold) is the pixel.
// The bytes of every eight are mirrored first, so the movemask is the four
// mono bytes as they are stored.  Returns the pixels done (a multiple of 32).
__attribute__((target("avx2"))) static unsigned avx2Rows(const uint8_t* g, uint8_t* out,
                                                          unsigned w, const uint8_t* thr) {
    const __m256i mirror = _mm256_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8,
                                            7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8);
    const __m256i t =
        _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(thr)), mirror);
    unsigned c = 0;
    for (; c + 32 <= w; c += 32) {
        const __m256i v =
            _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(g + c)), mirror);
        const uint32_t white =
            static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_max_epu8(v, t), v)));
        const uint32_t black = ~white;
        std::memcpy(out + c / 8, &black, 4);
    }
    return c;
}
// Set while the program's static objects are made, before the CPU model
// is known to the run-time library: ask it to look first.
const bool kAvx2 = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
#endif

// Method 0: black below 128, that is when the top bit is clear.
static void thresholdRow(const uint8_t* g, uint8_t* out, unsigned w) {
    unsigned c = 0;
#if defined(__x86_64__)
    static constexpr uint8_t k128[32] = {128, 128, 128, 128, 128, 128, 128, 128, 128, 128, 128,
                                         128, 128, 128, 128, 128, 128, 128, 128, 128, 128, 128,
                                         128, 128, 128, 128, 128, 128, 128, 128, 128, 128};
    if (kAvx2)
        c = avx2Rows(g, out, w, k128);
#endif
#if defined(__SSE2__)
    for (; c + 16 <= w; c += 16)
        store16(out + c / 8, ~static_cast<unsigned>(_mm_movemask_epi8(load16(g + c))) & 0xFFFFu);
#endif
    clearTail(out, c, w);
    for (; c < w; ++c)
        if (g[c] < 128)
            out[c >> 3] |= g_bitMask[c & 7];
}

// Each matrix row repeated over 40 bytes: the thresholds of 32 pixels from
// any phase (0 to 7) are one load.
template <size_t N>
constexpr std::array<std::array<uint8_t, 40>, N> repeatRows(const uint8_t (&matrix)[N][N]) {
    std::array<std::array<uint8_t, 40>, N> t{};
    for (size_t r = 0; r < N; ++r)
        for (size_t k = 0; k < 40; ++k)
            t[r][k] = matrix[r][k % N];
    return t;
}
constexpr auto kRep4 = repeatRows(M4);
constexpr auto kRep8 = repeatRows(M8);

// Methods 1 and 2: the matrix column comes from the pixel's linear position
// in the image (base + c), not from its column.
template <size_t N>
static void orderedRow(const std::array<std::array<uint8_t, 40>, N>& rep, unsigned r, size_t base,
                       const uint8_t* g, uint8_t* out, unsigned w) {
    // Thresholds of pixels c, c+1, ... for c a multiple of 32 (and so of N).
    const uint8_t* thr = rep[r % N].data() + base % N;
    unsigned c = 0;
#if defined(__x86_64__)
    if (kAvx2)
        c = avx2Rows(g, out, w, thr);
#endif
#if defined(__SSE2__)
    if (c + 16 <= w) {
        // Unsigned "below" is a signed compare with the top bits flipped.
        const __m128i flip = _mm_set1_epi8(static_cast<char>(0x80));
        const __m128i t =
            _mm_xor_si128(load16(thr), flip);
        for (; c + 16 <= w; c += 16) {
            const __m128i v = _mm_xor_si128(load16(g + c), flip);
            store16(out + c / 8, static_cast<unsigned>(_mm_movemask_epi8(_mm_cmplt_epi8(v, t))));
        }
    }
#endif
    clearTail(out, c, w);
    for (; c < w; ++c)
        if (g[c] < thr[c % N])
            out[c >> 3] |= g_bitMask[c & 7];
}

// Method 3 on row r.  wk holds the error of row r (wk[0..w-1]), of row r+1
// (wk[w..2w-1]) and of the first pixel of row r+2 (wk[2w]): the shares
// reach no further.  Indices follow the pixel's linear position p, as the
// shares do: p+1, p+w-1, p+w, p+w+1, each only while inside the image (L
// pixels), with no clipping at the row ends.
static void diffuseRow(uint8_t* wk, const uint8_t* g, uint8_t* out, unsigned w, unsigned r,
                       unsigned h) {
    const size_t L = static_cast<size_t>(w) * h;
    const size_t base = static_cast<size_t>(w) * r;
    if (r + 2 < h) {
        // Every share lands inside the image.  The share to the right and
        // those to the row below are carried in registers and stored once.
        unsigned bits = 0;
        const int v0 = g[0] + static_cast<int8_t>(wk[0]);
        bits = v0 <= 127;
        const Shares& s0 = sharesOf(v0);
        wk[w - 1] = static_cast<uint8_t>(wk[w - 1] + s0.b);  // p + w - 1 is this row's end
        unsigned right = s0.a;                                 // to wk[c]
        unsigned below0 = s0.d;                                // to wk[w + c - 1]
        unsigned below1 = s0.f;                                // to wk[w + c]
        for (unsigned c = 1; c < w; ++c) {
#if defined(__SSE2__)
            // Pure black and white without any error to pass on give no
            // error either: receipts are mostly that, 16 pixels at a time.
            while ((c & 7) == 0 && c + 16 < w && (right | below0 | below1) == 0) {
                const __m128i px = load16(g + c);
                const __m128i err = _mm_loadu_si128(reinterpret_cast<const __m128i*>(wk + c));
                const __m128i zero = _mm_setzero_si128();
                const __m128i black = _mm_cmpeq_epi8(px, zero);
                const __m128i pure = _mm_or_si128(black, _mm_cmpeq_epi8(px, _mm_set1_epi8(-1)));
                if (_mm_movemask_epi8(_mm_and_si128(pure, _mm_cmpeq_epi8(err, zero))) != 0xFFFF)
                    break;
                put16(out + c / 8, static_cast<unsigned>(_mm_movemask_epi8(black)));
                c += 16;
            }
#endif
            const int v = g[c] + static_cast<int8_t>(static_cast<uint8_t>(wk[c] + right));
            bits = bits << 1 | (v <= 127);
            if ((c & 7) == 7) {
                out[c >> 3] |= static_cast<uint8_t>(bits);
                bits = 0;
            }
            const Shares& s = sharesOf(v);
            wk[w + c - 1] = static_cast<uint8_t>(wk[w + c - 1] + below0 + s.b);
            below0 = below1 + s.d;
            below1 = s.f;
            right = s.a;
        }
        if (w & 7)
            out[(w - 1) >> 3] |= static_cast<uint8_t>(bits << (8 - (w & 7)));
        wk[w] = static_cast<uint8_t>(wk[w] + right);  // p + 1 of the last pixel
        wk[2 * w - 1] = static_cast<uint8_t>(wk[2 * w - 1] + below0);
        wk[2 * w] = static_cast<uint8_t>(wk[2 * w] + below1);  // p + w + 1: row r+2
    } else {
        // The last two rows: every share checked.
        for (unsigned c = 0; c < w; ++c) {
            const size_t p = base + c;
            const int v = g[c] + static_cast<int8_t>(wk[c]);
            if (v <= 127)
                out[c >> 3] |= g_bitMask[c & 7];
            const Shares& s = sharesOf(v);
            if (p < L - 1)
                wk[c + 1] = static_cast<uint8_t>(wk[c + 1] + s.a);
            if (p + w < L) {
                wk[c + w - 1] = static_cast<uint8_t>(wk[c + w - 1] + s.b);
                wk[c + w] = static_cast<uint8_t>(wk[c + w] + s.d);
            }
            if (p + w + 1 < L)
                wk[c + w + 1] = static_cast<uint8_t>(wk[c + w + 1] + s.f);
        }
    }
    // Row r+1 becomes the current row; row r+2 starts with its carried share.
    std::memmove(wk, wk + w, static_cast<size_t>(w) + 1);
    std::memset(wk + w + 1, 0, w);
}

void VemDither::row(unsigned int nRow, const uint8_t* pGray, uint8_t* pMono) {
    const size_t base = static_cast<size_t>(width_) * nRow;
    switch (method_) {
    case 0:
        thresholdRow(pGray, pMono, width_);
        break;
    case 1:
        orderedRow(kRep4, nRow, base, pGray, pMono, width_);
        break;
    case 2:
        orderedRow(kRep8, nRow, base, pGray, pMono, width_);
        break;
    default:
        std::memset(pMono, 0, (static_cast<size_t>(width_) + 7) / 8);
        diffuseRow(work_.data(), pGray, pMono, width_, nRow, height_);
        break;
    }
}

// ---- whole images ------------------------------------------------------------------

int prepareGrayScaleData(std::span<const uint8_t> colour, std::span<uint8_t> gray) {
    DbgLogMessage(LOG_LEVEL_TRACE, kFnGray, LOG_START, "Start prepare grayscale");
    const size_t pixels = colour.size() / 3;
    if (pixels > gray.size() || colour.size() % 3 != 0) {
        const size_t g = std::min(pixels, gray.size());
        DbgLogMessage(LOG_LEVEL_ERROR, kFnGray, LOG_ERRNO, "Invalid index, gray (%d, %d), col (%d, %d)",
                      static_cast<int>(g), static_cast<int>(gray.size()), static_cast<int>(3 * g + 2),
                      static_cast<int>(colour.size()));
        return 0;
    }
    vemGrayRow(colour.data(), gray.data(), pixels);
    return 1;
}

int prepareMonochromeData(std::span<const uint8_t> gray, std::span<uint8_t> mono,
                          std::span<uint8_t> work, unsigned int nWidth, unsigned int nHeight,
                          int nColour, int nMethod) {
    DbgLogMessage(LOG_LEVEL_TRACE, kFnMono, LOG_START, "Start prepare monochrome, col:%d, gradation:%d",
                  nColour, nMethod);
    if (nColour != 0) {
        DbgLogMessage(LOG_LEVEL_ERROR, kFnMono, LOG_ERRNO, "2-Color not support");
        return 0;
    }
    const size_t rowBytes = (static_cast<size_t>(nWidth) + 7) / 8;
    const size_t needed = rowBytes * nHeight;
    if (mono.size() < needed) {
        DbgLogMessage(LOG_LEVEL_ERROR, kFnMono, LOG_ERRNO, "(black)Found invalid size (%d >= %d)",
                      static_cast<int>(needed), static_cast<int>(mono.size()));
        return 0;
    }
    // The gray image must cover every pixel visited, the work area the two
    // rows the error diffusion keeps.
    const size_t pixels = static_cast<size_t>(nWidth) * nHeight;
    if (gray.size() < pixels || (nMethod == 3 && nHeight > 0 && work.size() < VemDither::workBytes(nWidth))) {
        DbgLogMessage(LOG_LEVEL_ERROR, kFnMono, LOG_ERRNO, "(gray)Found invalid size (%d >= %d)",
                      static_cast<int>(pixels), static_cast<int>(gray.size()));
        return 0;
    }
    if (nMethod < 0 || nMethod > 3) {
        DbgLogMessage(LOG_LEVEL_ERROR, kFnMono, LOG_ERRNO, "Unsupported gradation:%d", nMethod);
        return 0;
    }
    if (nWidth == 0 || nHeight == 0)
        return 1;
    VemDither dither(nMethod, nWidth, nHeight, work);
    for (unsigned r = 0; r < nHeight; ++r)
        dither.row(r, gray.data() + static_cast<size_t>(nWidth) * r, mono.data() + rowBytes * r);
    return 1;
}

// Dots of plane i (0 = plane 31) of a row of gray: bit 3 - i of the
// darkness 15 - v/16, which is the complement of bit 7 - i of v.
#if defined(__x86_64__)
// The same with AVX2, 32 pixels at a time; returns the pixels done.
__attribute__((target("avx2"))) static unsigned avx2PlaneRows(const uint8_t* g, uint8_t* out,
                                                               unsigned w, int plane) {
    const __m256i mirror = _mm256_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8,
                                            7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8);
    const __m128i shift = _mm_cvtsi32_si128(plane);
    unsigned c = 0;
    for (; c + 32 <= w; c += 32) {
        const __m256i v = _mm256_sll_epi16(
            _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(g + c)), mirror),
            shift);
        const uint32_t dots = ~static_cast<uint32_t>(_mm256_movemask_epi8(v));
        uint32_t old;
        std::memcpy(&old, out + c / 8, 4);
        old |= dots;
        std::memcpy(out + c / 8, &old, 4);
    }
    return c;
}
#endif

void vemGrayPlaneRow(const uint8_t* pGray, uint8_t* pOut, unsigned int nWidth, int nPlane) {
    unsigned c = 0;
#if defined(__x86_64__)
    if (kAvx2)
        c = avx2PlaneRows(pGray, pOut, nWidth, nPlane);
#endif
#if defined(__SSE2__)
    const __m128i shift = _mm_cvtsi32_si128(nPlane);
    for (; c + 16 <= nWidth; c += 16) {
        // Shifting the 16-bit lanes left by i brings bit 7 - i of each byte
        // to its top, where the movemask reads it.
        const __m128i v = _mm_sll_epi16(load16(pGray + c), shift);
        put16(pOut + c / 8, ~static_cast<unsigned>(_mm_movemask_epi8(v)) & 0xFFFFu);
    }
#endif
    const int bit = 3 - nPlane;
    for (; c < nWidth; ++c)
        if (((15 - pGray[c] / 16) >> bit) & 1)
            pOut[c >> 3] |= g_bitMask[c & 7];
}
