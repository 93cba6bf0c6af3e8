// libFuzzer target over the filter's raster input path: page headers and
// pixels come from the fuzzer and go through the header checks, geometry,
// conversion and command generation of the very page loop the program
// runs (without the wait for a printer), with the production bounds.  The
// core is reset per input.
//
// The fuzzer chooses every header field the filter reads, over its whole
// range: sizes, bytes per line, both depths, colour space and order, page
// size and resolution; and the custom page size of the job.
//
// Input layout (numbers little-endian):
//   byte 0      options: bits 0-1 PaperConservation, 2-3 DitherType,
//               4 BmpFormat, 5-7 CutSetting (mod 7)
//   byte 1      printer: bit 0 KVRS-M1A, bit 1 58 mm roll, bit 2 FontSize
//   bytes 2-9   custom page size in points: u32 width, u32 height
//   then pages: a 38-byte header (u32 cupsWidth, cupsHeight,
//               cupsBytesPerLine, cupsBitsPerPixel, cupsBitsPerColor,
//               PageSize[0], PageSize[1], HWResolution[0], HWResolution[1];
//               u8 cupsColorSpace; u8 cupsColorOrder) followed by pixels,
//               read as far as they go.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "rastertovem_core.h"

namespace {

constexpr size_t kOptionBytes = 10;
constexpr size_t kHeaderBytes = 38;

uint32_t u32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

class FuzzSource final : public VemRasterSource {
public:
    FuzzSource(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
    bool readHeader(cups_page_header2_t& h) override {
        if (static_cast<size_t>(end_ - p_) < kHeaderBytes)
            return false;
        std::memset(&h, 0, sizeof h);
        h.cupsWidth = u32(p_);
        h.cupsHeight = u32(p_ + 4);
        h.cupsBytesPerLine = u32(p_ + 8);
        h.cupsBitsPerPixel = u32(p_ + 12);
        h.cupsBitsPerColor = u32(p_ + 16);
        h.PageSize[0] = u32(p_ + 20);
        h.PageSize[1] = u32(p_ + 24);
        h.HWResolution[0] = u32(p_ + 28);
        h.HWResolution[1] = u32(p_ + 32);
        h.cupsPageSize[0] = static_cast<float>(h.PageSize[0]);
        h.cupsPageSize[1] = static_cast<float>(h.PageSize[1]);
        // As libcups does: the bytes as they come, whether or not they name
        // an enumerator.
        const unsigned space = p_[36], order = p_[37];
        std::memcpy(&h.cupsColorSpace, &space, sizeof space);
        std::memcpy(&h.cupsColorOrder, &order, sizeof order);
        p_ += kHeaderBytes;
        return true;
    }
    unsigned readPixels(uint8_t* buf, unsigned n) override {
        const size_t avail = static_cast<size_t>(end_ - p_);
        const size_t take = n < avail ? n : avail;
        if (take > 0)
            std::memcpy(buf, p_, take);
        p_ += take;
        return static_cast<unsigned>(take);
    }

private:
    const uint8_t* p_;
    const uint8_t* end_;
};

struct Sinks {
    Sinks() {
        g_nPrinterFd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        g_pCupsMsg = std::fopen("/dev/null", "w");
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Sinks sinks;
    if (size < kOptionBytes)
        return 0;
    resetFilterState();
    g_nPPDList[OPT_PAPER_CONSERVATION].value = data[0] & 3;
    g_nPPDList[OPT_DITHER_TYPE].value = (data[0] >> 2) & 3;
    g_nPPDList[OPT_BMP_FORMAT].value = (data[0] >> 4) & 1;
    g_nPPDList[OPT_CUT_SETTING].value = (data[0] >> 5) % 7;
    setPrinterCapByModel((data[1] & 1) ? VEM_MODEL_M1A : VEM_MODEL_M2A, VEM_CUPS_IF_OTHER_SOCKET);
    g_HWNow.nPaper = (data[1] >> 1) & 1;
    g_HWNow.nFont = (data[1] >> 2) & 1;
    const VemCustomSize custom{static_cast<int32_t>(u32(data + 2)), static_cast<int32_t>(u32(data + 6))};

    FuzzSource source(data + kOptionBytes, size - kOptionBytes);
    VemFilterJob job(source, custom, false);
    job.run();
    job.finish(true);
    return 0;
}
