// The exact output of every conversion, pinned by hash: colour to gray,
// the four halftoning methods and the gray planes, alone and through the
// whole page loop.  Any change to how these are computed (a faster loop, a
// different buffer layout) must leave every byte as it was.  The inputs are
// pseudo-random so that the error diffusion's 8-bit wrap-around, odd widths
// and row padding are all exercised.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "rastertovem_core.h"

using Bytes = std::vector<uint8_t>;

namespace {

// FNV-1a, 64 bits.
uint64_t fnv(const uint8_t* p, size_t n, uint64_t h = 0xcbf29ce484222325ull) {
    for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 0x100000001b3ull;
    return h;
}
uint64_t fnv(const Bytes& b) { return fnv(b.data(), b.size()); }

// xorshift64: the same bytes on every machine.
struct Random {
    uint64_t s;
    uint8_t next() {
        s ^= s << 13, s ^= s >> 7, s ^= s << 17;
        return static_cast<uint8_t>(s >> 24);
    }
};

// Three kinds of gray page: noise, a smooth ramp and a receipt of text-like
// blocks on white.
Bytes grayPage(int kind, unsigned w, unsigned h) {
    Random rnd{0x9E3779B97F4A7C15ull + static_cast<uint64_t>(kind) * 7919 + w};
    Bytes g(size_t{w} * h);
    for (unsigned r = 0; r < h; ++r)
        for (unsigned c = 0; c < w; ++c) {
            uint8_t v;
            if (kind == 0)
                v = rnd.next();
            else if (kind == 1)
                v = static_cast<uint8_t>((c * 255 / (w > 1 ? w - 1 : 1) + r * 3) & 0xFF);
            else
                v = ((r / 4 + c / 6) % 5 == 0 || (c / 12 + r / 24) % 7 == 0) ? 0 : 255;
            g[size_t{w} * r + c] = v;
        }
    return g;
}

TEST(FilterGolden, Conversions) {
    // width, height, kind of page; then the hashes of gray (from colour), and
    // of the mono image for methods 0..3 and of the four gray planes.
    struct Case {
        unsigned w, h;
        int kind;
        uint64_t gray, mono[4], planes;
    };
    // clang-format off
    const Case cases[] = {
        {576, 40, 0, 0x2e0651690dc2eca3ull,
         {0x62ec15d8ca58ce9eull, 0xe7d37d1384b3f018ull, 0xe31f2a8798bda3bdull, 0x29cf9bf03b946108ull}, 0xb834bb64f292a500ull},
        {576, 40, 1, 0x55ed41f57f67c4ddull,
         {0x698fedea84ba9a02ull, 0xc98066da108ad282ull, 0x1a6140a992e68f4cull, 0x140cb6508f65ee61ull}, 0x151644e6b13090b3ull},
        {576, 40, 2, 0x433ac9c5a073af45ull,
         {0x2fd741c13cdf9905ull, 0x2fd741c13cdf9905ull, 0x2fd741c13cdf9905ull, 0x2fd741c13cdf9905ull}, 0xfa03107e8a36cbe0ull},
        {401, 23, 0, 0x2a6809e6e58e127dull,
         {0x6423565e03b8c570ull, 0xd5209099f12f5101ull, 0x413a3bdc0dbaa616ull, 0xde681b9dd8b127cull}, 0xc7096dfd8bb42884ull},
        {13, 9, 0, 0x1284fed3f768e913ull,
         {0xed3fd6a121e52cc7ull, 0x8ef1831d28acefddull, 0x3a3ec49f1ff24986ull, 0xdb3b7a038b488227ull}, 0xb08cc3344230ce43ull},
        {1, 17, 0, 0xb251dfdf8d5a8a76ull,
         {0xf641092bd3b0ae9full, 0x6332092cdaca0e9full, 0xb209b15b1646a51full, 0x31908bc1970e341full}, 0x4a3ae1b23109f124ull},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + " kind " +
                     std::to_string(c.kind));
        const Bytes base = grayPage(c.kind, c.w, c.h);
        // Colour: the gray value spread over the channels differently per pixel.
        Random rnd{c.w * 131ull + c.h};
        Bytes colour(base.size() * 3);
        for (size_t i = 0; i < base.size(); ++i) {
            colour[3 * i] = base[i];
            colour[3 * i + 1] = c.kind == 2 ? base[i] : rnd.next();
            colour[3 * i + 2] = static_cast<uint8_t>(base[i] ^ (i & 0x3F));
        }
        Bytes gray(base.size());
        ASSERT_EQ(prepareGrayScaleData(colour, gray), 1);
        EXPECT_EQ(fnv(gray), c.gray) << std::hex << fnv(gray);

        const size_t row = (c.w + 7) / 8;
        for (int m = 0; m < 4; ++m) {
            Bytes work(base.size(), 0), mono(row * c.h, 0);
            ASSERT_EQ(prepareMonochromeData(base, mono, work, c.w, c.h, 0, m), 1);
            EXPECT_EQ(fnv(mono), c.mono[m]) << "method " << m << ": " << std::hex << fnv(mono);
        }

        // The gray planes, as the printer receives them.
        const int fd = ::memfd_create("planes", MFD_CLOEXEC);
        const int saved = g_nPrinterFd;
        g_nPrinterFd = fd;
        ASSERT_EQ(printBitmapType2Cmd(false, 0, base, c.w, c.h), 1);
        g_nPrinterFd = saved;
        Bytes sent(static_cast<size_t>(::lseek(fd, 0, SEEK_CUR)));
        ASSERT_EQ(::pread(fd, sent.data(), sent.size(), 0), static_cast<ssize_t>(sent.size()));
        ::close(fd);
        EXPECT_EQ(fnv(sent), c.planes) << "planes: " << std::hex << fnv(sent);
    }
}

// Pages from memory, as the page loop reads them.
class MemorySource final : public VemRasterSource {
  public:
    struct Page {
        cups_page_header2_t header;
        Bytes data;
    };
    explicit MemorySource(std::vector<Page> pages) : pages_(std::move(pages)) {}
    bool readHeader(cups_page_header2_t& h) override {
        if (next_ >= pages_.size()) return false;
        h = pages_[next_].header;
        pos_ = 0;
        ++next_;
        return true;
    }
    unsigned readPixels(uint8_t* buf, unsigned n) override {
        const Bytes& d = pages_[next_ - 1].data;
        const size_t take = std::min<size_t>(n, d.size() - pos_);
        std::memcpy(buf, d.data() + pos_, take);
        pos_ += take;
        return static_cast<unsigned>(take);
    }

  private:
    std::vector<Page> pages_;
    size_t next_ = 0, pos_ = 0;
};

// A page of the given depth made from a gray page, rows padded by `pad`.
MemorySource::Page rasterPage(unsigned bpp, unsigned w, unsigned h, int kind, unsigned pad) {
    const Bytes g = grayPage(kind, w, h);
    MemorySource::Page p{};
    cups_page_header2_t& hd = p.header;
    hd.cupsWidth = w;
    hd.cupsHeight = h;
    hd.cupsBitsPerPixel = bpp;
    hd.cupsBitsPerColor = bpp == 24 ? 8 : bpp;
    hd.cupsColorSpace = bpp == 1 ? CUPS_CSPACE_K : bpp == 8 ? CUPS_CSPACE_SW : CUPS_CSPACE_SRGB;
    hd.cupsBytesPerLine = (bpp == 1 ? (w + 7) / 8 : w * bpp / 8) + pad;
    hd.HWResolution[0] = hd.HWResolution[1] = 203;
    hd.PageSize[0] = w * 72 / 203;
    hd.PageSize[1] = (h + 50) * 72 / 203;
    p.data.assign(size_t{hd.cupsBytesPerLine} * h, 0xA5);
    for (unsigned r = 0; r < h; ++r) {
        uint8_t* out = p.data.data() + size_t{hd.cupsBytesPerLine} * r;
        const uint8_t* in = g.data() + size_t{w} * r;
        if (bpp == 1) {
            std::memset(out, 0, (w + 7) / 8);
            for (unsigned c = 0; c < w; ++c)
                if (in[c] < 128) out[c / 8] |= static_cast<uint8_t>(0x80 >> (c % 8));
        } else if (bpp == 8) {
            std::memcpy(out, in, w);
        } else {
            for (unsigned c = 0; c < w; ++c) {
                out[3 * c] = in[c];
                out[3 * c + 1] = static_cast<uint8_t>(in[c] * 7 + r);
                out[3 * c + 2] = static_cast<uint8_t>(255 - in[c]);
            }
        }
    }
    return p;
}

TEST(FilterGolden, WholeJobs) {
    // The command stream of a job of three pages (one padded, one of
    // another width) for each depth, method and gray form.
    struct Case {
        unsigned bpp;
        int dither, bmpFormat, conservation;
        uint64_t hash;
    };
    // clang-format off
    const Case cases[] = {
        {1, 0, 0, 0, 0x32324211656fa7b4ull},  {1, 0, 0, 3, 0xcc5c8eabe1ea4a4eull},
        {8, 0, 0, 0, 0x32324211656fa7b4ull},  {8, 1, 0, 3, 0x337383a89a3f8246ull},
        {8, 2, 0, 0, 0x6ac56008409b7677ull},  {8, 3, 0, 1, 0x86539585c8cd2f37ull},
        {8, 0, 1, 0, 0xcfd3359168c8e64full},  {24, 0, 0, 2, 0x3843b0a44193586cull},
        {24, 1, 0, 0, 0xb758ba9bb78690bdull}, {24, 2, 0, 0, 0xf6d024c319d6253eull},
        {24, 3, 0, 0, 0x618134c3b44cf82eull}, {24, 0, 1, 3, 0x17443026470513d1ull},
    };
    // clang-format on
    for (const Case& c : cases) {
        resetFilterState();
        g_nPPDList[OPT_DITHER_TYPE].value = c.dither;
        g_nPPDList[OPT_BMP_FORMAT].value = c.bmpFormat;
        g_nPPDList[OPT_PAPER_CONSERVATION].value = c.conservation;
        MemorySource source({rasterPage(c.bpp, 576, 1100, 2, 0), rasterPage(c.bpp, 576, 60, 0, 5),
                             rasterPage(c.bpp, 403, 70, 1, 0)});
        const int fd = ::memfd_create("job", MFD_CLOEXEC);
        FILE* msgs = std::tmpfile();
        g_nPrinterFd = fd;
        g_pCupsMsg = msgs;
        VemFilterJob job(source, VemCustomSize{0, 0}, false);
        job.run();
        const int status = job.finish(true);
        g_nPrinterFd = 1;
        g_pCupsMsg = stderr;
        std::fclose(msgs);
        Bytes sent(static_cast<size_t>(::lseek(fd, 0, SEEK_CUR)));
        ASSERT_EQ(::pread(fd, sent.data(), sent.size(), 0), static_cast<ssize_t>(sent.size()));
        ::close(fd);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(fnv(sent), c.hash) << c.bpp << "-bit, dither " << c.dither << ", gray "
                                     << c.bmpFormat << ", conservation " << c.conservation
                                     << ": " << std::hex << fnv(sent);
    }
}

}  // namespace
