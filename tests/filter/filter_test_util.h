// Helpers of the filter tests: temporary files, PPDs written as text,
// rasters written with libcups' own raster writer.
#pragma once

#include <cups/raster.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace vemtest {

// A private directory, removed with its content.
class TempDir {
  public:
    TempDir() {
        char tmpl[] = "/tmp/vemfilter-XXXXXX";
        path_ = ::mkdtemp(tmpl) != nullptr ? tmpl : "/tmp";
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

inline void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

// A small PPD of one queue: the model's NickName, the two rolls, the custom
// size with its string parameter, and every numeric option of the filter.
struct PpdSpec {
    std::string nickName = "KVRS-M2A KVRSM2A Receipt";
    std::vector<std::pair<std::string, std::string>> defaults;  // keyword, choice
    bool customPageSize = true;
};

inline std::string makePpd(const PpdSpec& s) {
    std::string t =
        "*PPD-Adobe: \"4.3\"\n*FormatVersion: \"4.3\"\n*FileVersion: \"1.0\"\n"
        "*LanguageVersion: English\n*LanguageEncoding: ISOLatin1\n*PCFileName: \"TEST.PPD\"\n"
        "*Manufacturer: \"KVRS\"\n*Product: \"(KVRS)\"\n*ModelName: \"KVRS test\"\n"
        "*ShortNickName: \"KVRS test\"\n*NickName: \"" +
        s.nickName +
        "\"\n*PSVersion: \"(3010.000) 0\"\n*LanguageLevel: \"3\"\n*ColorDevice: False\n"
        "*DefaultColorSpace: Gray\n*FileSystem: False\n*Throughput: \"1\"\n"
        "*OpenUI *PageSize/Media Size: PickOne\n*OrderDependency: 10 AnySetup *PageSize\n"
        "*DefaultPageSize: VEMP80\n"
        "*PageSize VEMP80/80 mm roll: \"<</PageSize[204 842]>>setpagedevice\"\n"
        "*PageSize VEMP58/58 mm roll: \"<</PageSize[142 842]>>setpagedevice\"\n"
        "*CloseUI: *PageSize\n";
    if (s.customPageSize)
        t += "*CustomPageSize True: \"pop pop pop pop pop\"\n"
             "*ParamCustomPageSize Width: 1 points 36 204\n"
             "*ParamCustomPageSize Height: 2 points 36 100000\n"
             "*ParamCustomPageSize WidthOffset: 3 points 0 0\n"
             "*ParamCustomPageSize HeightOffset: 4 points 0 0\n"
             "*ParamCustomPageSize Orientation: 5 int 0 0\n"
             "*ParamCustomPageSize PageSize/Size text: 6 string 0 64\n";
    const struct {
        const char* key;
        int max, def;
    } opts[] = {{"CutSetting", 6, 0}, {"CutType", 1, 1},           {"CDPin", 2, 0},
                {"CDOpen", 1, 1},     {"CDPulse", 9, 3},           {"FontSize", 1, 0},
                {"BmpFormat", 1, 0},  {"PaperConservation", 3, 1}, {"DitherType", 3, 0},
                {"LogLevel", 31, 0},  {"LogCount", 9, 0}};
    for (const auto& o : opts) {
        const std::string k = o.key;
        std::string def = std::to_string(o.def);
        for (const auto& [key, choice] : s.defaults)
            if (key == k) def = choice;
        t += "*OpenUI *" + k + "/" + k + ": PickOne\n*Default" + k + ": " + def + "\n";
        for (int v = 0; v <= o.max; ++v)
            t += "*" + k + " " + std::to_string(v) + "/Choice " + std::to_string(v) + ": \"\"\n";
        t += "*CloseUI: *" + k + "\n";
    }
    return t;
}

// One page of a raster written by the tests.
struct Page {
    unsigned width = 576, height = 100, bpp = 1;  // bpp 1, 8 or 24
    unsigned pageHeightPt = 0;                    // PageSize[1]; 0: exactly the raster's height
    unsigned bytesPerLine = 0;                    // 0: tight rows
    std::vector<uint8_t> data;                    // bytesPerLine x height bytes
    bool headerOnly = false;                      // write the header but no pixels
};

inline unsigned tightRow(unsigned width, unsigned bpp) {
    return bpp == 1 ? (width + 7) / 8 : width * (bpp / 8);
}

// A page filled by `pixel(row, col)`, 0 (black) .. 255 (white); 1-bit pages
// take values below 128 as black.
inline Page makePage(unsigned width, unsigned height, unsigned bpp,
                     const std::function<uint8_t(unsigned, unsigned)>& pixel) {
    Page p;
    p.width = width;
    p.height = height;
    p.bpp = bpp;
    const size_t rb = tightRow(width, bpp);
    p.data.assign(rb * height, 0);
    for (unsigned r = 0; r < height; ++r) {
        uint8_t* row = p.data.data() + rb * r;
        for (unsigned c = 0; c < width; ++c) {
            const uint8_t v = pixel(r, c);
            if (bpp == 1)
                row[c / 8] |= static_cast<uint8_t>(v < 128 ? 0x80 >> (c % 8) : 0);
            else if (bpp == 8)
                row[c] = v;
            else
                row[3 * c] = row[3 * c + 1] = row[3 * c + 2] = v;
        }
    }
    return p;
}
inline Page solidPage(unsigned width, unsigned height, unsigned bpp = 1) {
    return makePage(width, height, bpp, [](unsigned, unsigned) { return 0; });
}

// Writes the pages with libcups' raster writer (compressed stream).
inline bool writeRasterFile(const std::string& path, const std::vector<Page>& pages) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    cups_raster_t* r = fd >= 0 ? cupsRasterOpen(fd, CUPS_RASTER_WRITE) : nullptr;
    bool ok = r != nullptr;
    for (const Page& p : pages) {
        cups_page_header2_t h{};
        h.HWResolution[0] = h.HWResolution[1] = 203;
        h.cupsWidth = p.width;
        h.cupsHeight = p.height;
        h.cupsBitsPerPixel = p.bpp;
        h.cupsBitsPerColor = p.bpp == 24 ? 8 : p.bpp;
        h.cupsBytesPerLine = p.bytesPerLine != 0 ? p.bytesPerLine : tightRow(p.width, p.bpp);
        h.cupsColorSpace = p.bpp == 1   ? CUPS_CSPACE_K
                           : p.bpp == 8 ? CUPS_CSPACE_SW
                                        : CUPS_CSPACE_SRGB;
        h.cupsNumColors = p.bpp == 24 ? 3 : 1;
        h.PageSize[0] = p.width * 72 / 203;
        h.PageSize[1] = p.pageHeightPt != 0 ? p.pageHeightPt : p.height * 72 / 203;
        if (!ok || !cupsRasterWriteHeader2(r, &h)) {
            ok = false;
            break;
        }
        std::vector<uint8_t> data = p.data;
        if (!p.headerOnly && !data.empty())
            ok = cupsRasterWritePixels(r, data.data(), static_cast<unsigned>(data.size())) ==
                 data.size();
    }
    if (r != nullptr) cupsRasterClose(r);
    if (fd >= 0) ::close(fd);
    return ok;
}

}  // namespace vemtest
