// libFuzzer target over the filter's raster input path: page headers and
// pixels come from the fuzzer and go through the header checks, geometry,
// conversion and command generation of the very page loop the program
// runs (without the wait for a printer).  The core is reset per input.
//
// Input layout:
//   byte 0      options: bits 0-1 PaperConservation, 2-3 DitherType,
//               4 BmpFormat, 5-7 CutSetting (mod 7)
//   byte 1      printer: bit 0 KVRS-M1A, bit 1 58 mm roll, bit 2 FontSize
//   then pages: 12-byte header (little-endian u16: width, height, bytes per
//               line, page height in points, vertical dpi; u8 colour order;
//               u8 spare) followed by pixels, read as far as they go.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "rastertovem_core.h"

namespace {

class FuzzSource final : public VemRasterSource {
public:
    FuzzSource(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
    bool readHeader(cups_page_header2_t& h) override {
        if (end_ - p_ < 12)
            return false;
        auto u16 = [this](int i) { return static_cast<unsigned>(p_[i] | p_[i + 1] << 8); };
        std::memset(&h, 0, sizeof h);
        h.cupsWidth = u16(0);
        h.cupsHeight = u16(2);
        h.cupsBytesPerLine = u16(4);
        h.PageSize[1] = u16(6);
        h.HWResolution[0] = h.HWResolution[1] = u16(8) % 1201;
        h.cupsColorOrder = static_cast<cups_order_t>(p_[10] % 3);
        p_ += 12;
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
        // Fuzzed headers may ask for pages of any size; keep each buffer
        // small so an input runs in milliseconds.
        VemFilterJob::s_nMaxBufferBytes = 4u << 20;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Sinks sinks;
    if (size < 2)
        return 0;
    resetFilterState();
    g_nPPDList[OPT_PAPER_CONSERVATION].value = data[0] & 3;
    g_nPPDList[OPT_DITHER_TYPE].value = (data[0] >> 2) & 3;
    g_nPPDList[OPT_BMP_FORMAT].value = (data[0] >> 4) & 1;
    g_nPPDList[OPT_CUT_SETTING].value = (data[0] >> 5) % 7;
    setPrinterCapByModel((data[1] & 1) ? VEM_MODEL_M1A : VEM_MODEL_M2A, VEM_CUPS_IF_OTHER_SOCKET);
    g_HWNow.nPaper = (data[1] >> 1) & 1;
    g_HWNow.nFont = (data[1] >> 2) & 1;

    FuzzSource source(data + 2, size - 2);
    VemFilterJob job(source, VemCustomSize{0, 0}, false);
    job.run();
    job.finish(true);
    return 0;
}
