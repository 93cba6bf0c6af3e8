// Helpers of the filter tests: temporary files, PPDs written as text,
// rasters written with libcups' own raster writer.
#pragma once

#include <cups/raster.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace vemtest {

// A directory under the build's temp area, removed with its content.
class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/vemfilter-XXXXXX";
        const char* d = ::mkdtemp(tmpl);
        path_ = d != nullptr ? d : "/tmp";
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

inline void writeText(const std::string& path, const std::string& text) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr)
        return;
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

// A small PPD for a queue of one model.  `defaults` maps option keyword to
// default choice; `withCustomPageSize` adds the custom PageSize option with
// a string parameter named PageSize.
struct PpdSpec {
    std::string nickName = "KVRS-M2A KVRSM2A Receipt";
    std::vector<std::pair<std::string, std::string>> defaults;
    bool withCustomPageSize = true;
    std::string defaultPageSize = "VEMP80";
};

inline PpdSpec ppdDefaults(std::vector<std::pair<std::string, std::string>> d) {
    PpdSpec s;
    s.defaults = std::move(d);
    return s;
}
inline PpdSpec ppdNick(std::string nick) {
    PpdSpec s;
    s.nickName = std::move(nick);
    return s;
}
inline PpdSpec ppdNoCustom() {
    PpdSpec s;
    s.withCustomPageSize = false;
    return s;
}

inline std::string makePpd(const PpdSpec& s) {
    auto def = [&](const std::string& key, const std::string& fallback) {
        for (auto& [k, v] : s.defaults)
            if (k == key)
                return v;
        return fallback;
    };
    std::string t;
    t += "*PPD-Adobe: \"4.3\"\n*FormatVersion: \"4.3\"\n*FileVersion: \"1.0\"\n";
    t += "*LanguageVersion: English\n*LanguageEncoding: ISOLatin1\n*PCFileName: \"TEST.PPD\"\n";
    t += "*Manufacturer: \"KVRS\"\n*Product: \"(KVRS)\"\n*ModelName: \"KVRS test\"\n";
    t += "*ShortNickName: \"KVRS test\"\n*NickName: \"" + s.nickName + "\"\n";
    t += "*PSVersion: \"(3010.000) 0\"\n*LanguageLevel: \"3\"\n*ColorDevice: False\n";
    t += "*DefaultColorSpace: Gray\n*FileSystem: False\n*Throughput: \"1\"\n";
    t += "*LandscapeOrientation: Plus90\n*TTRasterizer: Type42\n";
    t += "*OpenUI *PageSize/Media Size: PickOne\n*OrderDependency: 10 AnySetup *PageSize\n";
    t += "*DefaultPageSize: " + s.defaultPageSize + "\n";
    t += "*PageSize VEMP80/80 mm roll: \"<</PageSize[204 842]>>setpagedevice\"\n";
    t += "*PageSize VEMP58/58 mm roll: \"<</PageSize[142 842]>>setpagedevice\"\n";
    t += "*CloseUI: *PageSize\n";
    if (s.withCustomPageSize) {
        t += "*CustomPageSize True: \"pop pop pop pop pop\"\n";
        t += "*ParamCustomPageSize Width: 1 points 36 204\n";
        t += "*ParamCustomPageSize Height: 2 points 36 100000\n";
        t += "*ParamCustomPageSize WidthOffset: 3 points 0 0\n";
        t += "*ParamCustomPageSize HeightOffset: 4 points 0 0\n";
        t += "*ParamCustomPageSize Orientation: 5 int 0 0\n";
        t += "*ParamCustomPageSize PageSize/Size text: 6 string 0 64\n";
    }
    struct Opt {
        const char* key;
        int max;
        int def;
    };
    const Opt opts[] = {{"CutSetting", 6, 0}, {"CutType", 1, 1},   {"CDPin", 2, 0},
                        {"CDOpen", 1, 1},     {"CDPulse", 9, 3},   {"FontSize", 1, 0},
                        {"PaperConservation", 3, 1}, {"BmpFormat", 1, 0}, {"DitherType", 3, 0},
                        {"LogLevel", 31, 0},  {"LogCount", 9, 0}};
    for (const Opt& o : opts) {
        std::string k = o.key;
        t += "*OpenUI *" + k + "/" + k + ": PickOne\n";
        t += "*Default" + k + ": " + def(k, std::to_string(o.def)) + "\n";
        for (int v = 0; v <= o.max; ++v)
            t += "*" + k + " " + std::to_string(v) + "/Choice " + std::to_string(v) + ": \"\"\n";
        t += "*CloseUI: *" + k + "\n";
    }
    return t;
}

// One page of a raster written by the tests.
struct Page {
    unsigned width = 576;
    unsigned height = 100;
    unsigned bpp = 1;                  // 1, 8 or 24
    unsigned pageHeightPt = 0;         // PageSize[1]; 0: exactly the raster's height
    unsigned bytesPerLine = 0;         // 0: tight rows
    std::vector<uint8_t> data;         // bytesPerLine x height bytes
    bool headerOnly = false;           // write the header but no pixels
};

inline unsigned tightRow(unsigned width, unsigned bpp) {
    return bpp == 1 ? (width + 7) / 8 : width * (bpp / 8);
}

// A page filled by `pixel(row, col)` giving 0 (black) .. 255 (white); 1-bit
// pages take values below 128 as black.
inline Page makePage(unsigned width, unsigned height, unsigned bpp,
                     const std::function<uint8_t(unsigned, unsigned)>& pixel) {
    Page p;
    p.width = width;
    p.height = height;
    p.bpp = bpp;
    const unsigned rb = tightRow(width, bpp);
    p.data.assign(static_cast<size_t>(rb) * height, 0);
    for (unsigned r = 0; r < height; ++r) {
        uint8_t* row = p.data.data() + static_cast<size_t>(rb) * r;
        for (unsigned c = 0; c < width; ++c) {
            const uint8_t v = pixel(r, c);
            if (bpp == 1) {
                if (v < 128)
                    row[c / 8] |= static_cast<uint8_t>(0x80 >> (c % 8));
            } else if (bpp == 8) {
                row[c] = v;
            } else {
                row[3 * c] = row[3 * c + 1] = row[3 * c + 2] = v;
            }
        }
    }
    return p;
}

inline cups_page_header2_t headerFor(const Page& p) {
    cups_page_header2_t h{};
    h.HWResolution[0] = h.HWResolution[1] = 203;
    h.cupsWidth = p.width;
    h.cupsHeight = p.height;
    h.cupsBitsPerPixel = p.bpp;
    h.cupsBitsPerColor = p.bpp == 24 ? 8 : p.bpp;
    h.cupsBytesPerLine = p.bytesPerLine != 0 ? p.bytesPerLine : tightRow(p.width, p.bpp);
    h.cupsColorOrder = CUPS_ORDER_CHUNKED;
    h.cupsColorSpace = p.bpp == 1 ? CUPS_CSPACE_K : p.bpp == 8 ? CUPS_CSPACE_SW : CUPS_CSPACE_SRGB;
    h.cupsNumColors = p.bpp == 24 ? 3 : 1;
    h.PageSize[0] = p.width * 72 / 203;
    h.PageSize[1] = p.pageHeightPt != 0 ? p.pageHeightPt : p.height * 72 / 203;
    h.cupsPageSize[0] = static_cast<float>(h.PageSize[0]);
    h.cupsPageSize[1] = static_cast<float>(h.PageSize[1]);
    h.ImagingBoundingBox[2] = h.PageSize[0];
    h.ImagingBoundingBox[3] = h.PageSize[1];
    return h;
}

// Writes the pages with libcups' raster writer (compressed stream).
inline bool writeRaster(int fd, const std::vector<Page>& pages) {
    cups_raster_t* r = cupsRasterOpen(fd, CUPS_RASTER_WRITE);
    if (r == nullptr)
        return false;
    bool ok = true;
    for (const Page& p : pages) {
        cups_page_header2_t h = headerFor(p);
        if (!cupsRasterWriteHeader2(r, &h)) {
            ok = false;
            break;
        }
        if (p.headerOnly)
            continue;
        std::vector<uint8_t> data = p.data;
        if (!data.empty() &&
            cupsRasterWritePixels(r, data.data(), static_cast<unsigned>(data.size())) != data.size())
            ok = false;
    }
    cupsRasterClose(r);
    return ok;
}

inline bool writeRasterFile(const std::string& path, const std::vector<Page>& pages) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    bool ok = writeRaster(fd, pages);
    ::close(fd);
    return ok;
}

}  // namespace vemtest
