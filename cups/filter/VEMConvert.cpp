// Colour to gray and gray to one bit per dot.
#include <array>

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

// One row of ordered dither with an N x N matrix; the matrix column comes
// from the pixel's linear position in the image, not its column.
template <size_t N>
void orderedRow(const uint8_t (&matrix)[N][N], unsigned r, size_t base, const uint8_t* row,
                uint8_t* out, unsigned nWidth) {
    const uint8_t* m = matrix[r % N];
    for (unsigned c = 0; c < nWidth; ++c)
        if (row[c] < m[(base + c) % N])
            out[c >> 3] |= g_bitMask[c & 7];
}

// The weighted products, each rounded to single precision exactly as the
// per-pixel formula does, looked up instead of multiplied.
struct GrayTables {
    std::array<float, 256> r, g, b;
    GrayTables() {
        for (int i = 0; i < 256; ++i) {
            r[i] = static_cast<float>(i * 0.299);
            g[i] = static_cast<float>(i * 0.587);
            b[i] = static_cast<float>(i * 0.114);
        }
    }
};
const GrayTables kGray;

// Signed share of an 8-bit error, truncated toward zero, as a byte.
inline uint8_t share(int e, int num) { return static_cast<uint8_t>(static_cast<int8_t>(e * num / 16)); }

}  // namespace

int prepareGrayScaleData(std::span<const uint8_t> colour, std::span<uint8_t> gray) {
    DbgLogMessage(LOG_LEVEL_TRACE, kFnGray, LOG_START, "Start prepare grayscale");
    size_t g = 0;
    size_t c = 0;
    for (; c < colour.size(); c += 3, ++g) {
        if (g >= gray.size() || c + 2 >= colour.size()) {
            DbgLogMessage(LOG_LEVEL_ERROR, kFnGray, LOG_ERRNO, "Invalid index, gray (%d, %d), col (%d, %d)",
                          static_cast<int>(g), static_cast<int>(gray.size()), static_cast<int>(c + 2),
                          static_cast<int>(colour.size()));
            return 0;
        }
        float sum = kGray.r[colour[c]] + kGray.g[colour[c + 1]];
        sum = sum + kGray.b[colour[c + 2]];
        gray[g] = static_cast<uint8_t>(sum);
    }
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
    // The gray and work images must cover every pixel visited.
    const size_t pixels = static_cast<size_t>(nWidth) * nHeight;
    if (gray.size() < pixels || (nMethod == 3 && work.size() < pixels)) {
        DbgLogMessage(LOG_LEVEL_ERROR, kFnMono, LOG_ERRNO, "(gray)Found invalid size (%d >= %d)",
                      static_cast<int>(pixels), static_cast<int>(gray.size()));
        return 0;
    }
    if (nMethod < 0 || nMethod > 3) {
        DbgLogMessage(LOG_LEVEL_ERROR, kFnMono, LOG_ERRNO, "Unsupported gradation:%d", nMethod);
        return 0;
    }

    const uint8_t* src = gray.data();
    for (unsigned r = 0; r < nHeight; ++r) {
        uint8_t* out = mono.data() + rowBytes * r;
        const size_t base = static_cast<size_t>(nWidth) * r;
        const uint8_t* row = src + base;
        switch (nMethod) {
        case 0:
            for (unsigned c = 0; c < nWidth; ++c)
                if (row[c] < 128)
                    out[c >> 3] |= g_bitMask[c & 7];
            break;
        case 1:
            orderedRow(M4, r, base, row, out, nWidth);
            break;
        case 2:
            orderedRow(M8, r, base, row, out, nWidth);
            break;
        default: {
            // Error diffusion in linear pixel order; the shares wrap around
            // in 8 bits and are not clipped at the row ends.
            const size_t len = work.size();
            uint8_t* w = work.data();
            for (unsigned c = 0; c < nWidth; ++c) {
                const size_t p = base + c;
                const int v = row[c] + static_cast<int8_t>(w[p]);
                int e;
                if (v <= 127) {
                    out[c >> 3] |= g_bitMask[c & 7];
                    e = static_cast<int8_t>(static_cast<uint8_t>(v));
                } else {
                    e = static_cast<int8_t>(static_cast<uint8_t>(v + 1));
                }
                if (p < len - 1)
                    w[p + 1] = static_cast<uint8_t>(w[p + 1] + share(e, 7));
                if (p + nWidth < len) {
                    w[p + nWidth - 1] = static_cast<uint8_t>(w[p + nWidth - 1] + share(e, 3));
                    w[p + nWidth] = static_cast<uint8_t>(w[p + nWidth] + share(e, 5));
                }
                if (p + nWidth + 1 < len)
                    w[p + nWidth + 1] = static_cast<uint8_t>(w[p + nWidth + 1] + share(e, 1));
            }
            break;
        }
        }
    }
    return 1;
}
