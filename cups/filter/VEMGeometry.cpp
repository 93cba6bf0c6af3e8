// Model recognition, paper rolls, custom sizes, page header checks and the
// blank feed that completes a page to its nominal length.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "VEMLogging.h"
#include "rastertovem_core.h"

namespace {

constexpr unsigned kFnHeader = 4;
constexpr unsigned kFnModel = 7;
constexpr unsigned kFnPaper = 8;

// Reads [digits][.digits] at p into *pValue (no sign, no exponent: a page
// size never needs them and they could not be converted safely); returns
// the first character after the digits and points.
const char* readDecimal(const char* p, double* pValue) {
    double v = 0.0;
    while (std::isdigit(static_cast<unsigned char>(*p)))
        v = v * 10.0 + (*p++ - '0');
    if (*p == '.') {
        ++p;
        double scale = 0.1;
        while (std::isdigit(static_cast<unsigned char>(*p))) {
            v += (*p++ - '0') * scale;
            scale /= 10.0;
        }
    }
    while (std::isdigit(static_cast<unsigned char>(*p)) || *p == '.')
        ++p;
    *pValue = v;
    return p;
}

// Points from a value in some unit, truncated and kept in range.
int32_t toPoints(double value, double pointsPerUnit) {
    double pts = value * pointsPerUnit;
    if (!(pts >= 0.0))
        return 0;
    if (pts > 2147483647.0)
        return 2147483647;
    return static_cast<int32_t>(pts);
}

// The raw value of an enumerated header field: the header is bytes from the
// stream, and a value outside the enumeration must not be read as one.
template <typename Enum>
unsigned rawValue(const Enum& field) {
    static_assert(sizeof(Enum) == sizeof(unsigned));
    unsigned v;
    std::memcpy(&v, &field, sizeof v);
    return v;
}

int maxWidth() {
    int idx = (g_HWNow.nPaper == 1 ? 2 : 0) + (g_HWNow.nFont == 1 ? 1 : 0);
    return g_pHWCap->anMaxWidth[idx];
}

// Dots at `dpi` in millimetres.
double dotsToMm(long long dots, unsigned dpi) {
    return static_cast<double>(dots) * 25.4 / (dpi != 0 ? dpi : 203);
}

// The "Unsupported width" line speaks in dots; users choose millimetres.
// Says how wide the page is, how wide the model prints on the chosen roll
// and which sizes fit, in the words of the queue's PageSize choices.
void explainWidth(const cups_page_header2_t& h, int maxW) {
    std::string_view model = "printer";
    for (const VemPrinterModel& entry : g_PrinterName)
        if (entry.nModelId == g_uiModel)
            model = entry.szDisplayName;
    model = model.substr(0, model.find(':'));  // "KVRS-M2A: USB" -> "KVRS-M2A"
    const int n = static_cast<int>(model.size());
    if (maxW <= 0) {
        vemCupsMessage("ERROR: The %.*s cannot print with FontSize=%d; choose FontSize=0\n", n,
                       model.data(), g_HWNow.nFont);
        return;
    }
    const int font = g_HWNow.nFont == 1 ? 1 : 0;
    char fits[96] = "";
    const struct {
        const char* name;
        int width;
    } rolls[] = {{"VEMP80", g_pHWCap->anMaxWidth[font]}, {"VEMP58", g_pHWCap->anMaxWidth[2 + font]}};
    for (const auto& r : rolls) {
        if (r.width <= 0 || r.width > maxW)
            continue;
        const size_t used = std::strlen(fits);
        std::snprintf(fits + used, sizeof fits - used, "%s (%.0f mm), ", r.name,
                      dotsToMm(r.width, 203));
    }
    // Whole millimetres, unless both widths would read the same.
    const double page = dotsToMm(h.cupsWidth, h.HWResolution[0]), most = dotsToMm(maxW, 203);
    const int digits = std::lround(page) == std::lround(most) ? 1 : 0;
    vemCupsMessage("ERROR: The page is %.*f mm wide, wider than the %.*f mm the %.*s prints on "
                   "this roll; sizes that fit: %sor a custom size at most %.0f mm wide\n",
                   digits, page, digits, most, n, model.data(), fits, most);
}

}  // namespace

int checkPrinterType(const char* lpszUri) {
    char nick[256] = {};
    if (readPPDAttr("NickName", nick, sizeof nick) == 0)
        return 0;
    for (const VemPrinterModel& m : g_PrinterName) {
        if (std::strstr(nick, m.szShortName) != nullptr) {
            DbgLogMessage(LOG_LEVEL_DEBUG, kFnModel, LOG_DBG, "Found model %s", m.szShortName);
            g_uiModel = m.nModelId;
            break;
        }
    }
    if (g_uiModel == VEM_MODEL_NONE) {
        DbgLogMessage(LOG_LEVEL_WARN, kFnModel, LOG_WARN, "Unsupport printer model, %s", nick);
        return 0;
    }
    g_uiInterface = getCUPSInterfaceType(lpszUri);
    if (g_uiInterface == VEM_CUPS_IF_NONE) {
        DbgLogMessage(LOG_LEVEL_WARN, kFnModel, LOG_WARN, "Unsupport interface");
        return 0;
    }
    setPrinterCapByModel(g_uiModel, g_uiInterface);

    // Nothing longer than the queue's longest page is a receipt: page
    // lengths and raster heights beyond it are refused, which also bounds
    // the feeds sent and the page buffers allocated.
    const double lengthPt = readPPDMaxLength();
    if (lengthPt > 0.0)
        g_uiMaxPageDots = static_cast<uint32_t>(
            std::min(lengthPt * kPrinterDpi / 72.0, static_cast<double>(kMaxPageDotsLimit)));
    DbgLogMessage(LOG_LEVEL_DEBUG, kFnModel, LOG_DBG, "Longest page:%u dots", g_uiMaxPageDots);
    return 1;
}

void setPrinterCapByModel(int nModel, int nInterface) {
    if (nModel == VEM_MODEL_M1A) {
        g_capPrinter.anMaxWidth[0] = 512;
        g_capPrinter.anMaxWidth[1] = 0;
        g_capPrinter.anMaxWidth[2] = 360;
        g_capPrinter.anMaxWidth[3] = 0;
    }
    if (nInterface == VEM_CUPS_IF_OWN_USB) {
        std::memset(g_capPrinter.abStatusCmd, 0, sizeof g_capPrinter.abStatusCmd);
        g_capPrinter.abStatusCmd[0] = 0x17;
        g_capPrinter.abStatusCmd[1] = 0x01;
        g_capPrinter.abStatusCmd[2] = 0x10;
    }
    g_pHWCap = &g_capPrinter;
}

int isStandardPaperRoll(const char* lpszText) {
    if (lpszText == nullptr || std::strstr(lpszText, "VEMP") == nullptr)
        return 0;
    // "VEMP" occurs, so the text has at least four characters.
    int size = getOptionSelectIdx(lpszText + 4);
    DbgLogMessage(LOG_LEVEL_DEBUG, kFnPaper, LOG_DBG, "Paper size:%d", size);
    if (size == 80) {
        g_HWNow.nPaper = 0;
        return 1;
    }
    if (size == 58) {
        g_HWNow.nPaper = 1;
        return 1;
    }
    DbgLogMessage(LOG_LEVEL_DEBUG, kFnPaper, LOG_DBG, "Cannot find paper size, using default 80mm");
    return 0;
}

int getCustomPage(const char* lpszText, VemCustomSize* pCustom) {
    if (lpszText == nullptr || pCustom == nullptr || strnlen(lpszText, 7) < 7)
        return -1;
    double w = 0.0;
    readDecimal(lpszText + 7, &w);
    const char* x = std::strchr(lpszText + 7, 'x');
    if (x == nullptr)
        return -1;
    double h = 0.0;
    const char* unit = readDecimal(x + 1, &h);

    char unitText[3] = {};
    unitText[0] = unit[0];
    if (unit[0] != '\0')
        unitText[1] = unit[1];
    DbgLogMessage(LOG_LEVEL_DEBUG, kFnPaper, LOG_DBG, "Original custom value w:%f, h:%f, Unit:%s", w,
                  h, unitText);

    std::string_view u(unitText);
    int code = 0;
    double perUnit = 1.0;
    if (u == "mm") {
        code = 1;
        perUnit = 72.0 / 25.4;
    } else if (u == "pt") {
        code = 0;
    } else if (u == "in") {
        code = 3;
        perUnit = 72.0;
    } else if (u == "ft") {
        code = 4;
        perUnit = 12.0 * 72.0;
    } else if (u == "cm") {
        code = 2;
        perUnit = 10.0 * 72.0 / 25.4;
    } else if (!u.empty() && u[0] == 'm') {
        code = 5;
        perUnit = 1000.0 * 72.0 / 25.4;
    }
    pCustom->nWidth = toPoints(w, perUnit);
    pCustom->nHeight = toPoints(h, perUnit);
    return code;
}

void checkPaperSize(const char* lpszOptions, VemCustomSize* pCustom) {
    const char* options = lpszOptions != nullptr ? lpszOptions : "";
    bool found = false;
    for (const char* key : {"media=", "PageSize="}) {
        const char* at = std::strstr(options, key);
        if (at == nullptr)
            continue;
        const char* value = at + std::strlen(key);
        if (isStandardPaperRoll(value)) {
            *pCustom = {0, 0};
            found = true;
            break;
        }
        if (isCustomSelect(value)) {
            if (key[0] == 'm') {
                DbgLogMessage(LOG_LEVEL_DEBUG, kFnPaper, LOG_DBG, "Find media custom size");
                continue;
            }
            int unit = getCustomPage(value, pCustom);
            DbgLogMessage(LOG_LEVEL_DEBUG, kFnPaper, LOG_DBG, "Custom size w:%d, h:%d, unit:%d",
                          pCustom->nWidth, pCustom->nHeight, unit);
            found = unit != -1;
            break;
        }
    }
    if (!found && OPT_PAGE_SIZE < g_nPPDList.size() && g_nPPDList[OPT_PAGE_SIZE].text) {
        const char* text = g_nPPDList[OPT_PAGE_SIZE].text->c_str();
        if (!isStandardPaperRoll(text) && isCustomSelect(text)) {
            int unit = getCustomPage(text, pCustom);
            DbgLogMessage(LOG_LEVEL_DEBUG, kFnPaper, LOG_DBG, "Custom size w:%d, h:%d, unit:%d",
                          pCustom->nWidth, pCustom->nHeight, unit);
        }
    }
    g_HWNow.nFont = filterOption(OPT_FONT_SIZE);
}

int isValidCupsHeader(cups_page_header2_t* pHeader) {
    cups_page_header2_t& h = *pHeader;
    DbgLogMessage(LOG_LEVEL_DEBUG, kFnHeader, LOG_DBG, "\tcupsBitsPerColor : %d", h.cupsBitsPerColor);
    const unsigned order = rawValue(h.cupsColorOrder);
    const unsigned cs = rawValue(h.cupsColorSpace);
    DbgLogMessage(LOG_LEVEL_DEBUG, kFnHeader, LOG_DBG, "\tcupsColorOrder : %d", static_cast<int>(order));
    DbgLogMessage(LOG_LEVEL_DEBUG, kFnHeader, LOG_DBG, "\tcupsWidth : %d", h.cupsWidth);
    DbgLogMessage(LOG_LEVEL_DEBUG, kFnHeader, LOG_DBG, "\tcupsHeight : %d", h.cupsHeight);
    DbgLogMessage(LOG_LEVEL_DEBUG, kFnHeader, LOG_DBG, "\tcupsBytesPerLine : %d", h.cupsBytesPerLine);
    DbgLogMessage(LOG_LEVEL_DEBUG, kFnHeader, LOG_DBG, "\tPageSize : %d, %d", h.PageSize[0],
                  h.PageSize[1]);
    DbgLogMessage(LOG_LEVEL_DEBUG, kFnHeader, LOG_DBG, "\tHWResolution : %d, %d",
                  h.HWResolution[0], h.HWResolution[1]);
    DbgLogMessage(LOG_LEVEL_DEBUG, kFnHeader, LOG_DBG, "\tcupsPageSize : %f, %f",
                  static_cast<double>(h.cupsPageSize[0]), static_cast<double>(h.cupsPageSize[1]));

    const int maxW = maxWidth();
    if (static_cast<long long>(h.cupsWidth) > maxW) {
        // The user's line first: CUPS shows a job's first error as its message.
        explainWidth(h, maxW);
        vemCupsMessage("ERROR: Unsupported width %d\n", h.cupsWidth);
        DbgLogMessage(LOG_LEVEL_ERROR, kFnHeader, LOG_ERRNO, "Unsupport width : %d (MAX:%d)",
                      h.cupsWidth, maxW);
        return 0;
    }
    // A 1-bit row must hold every dot of the width: a shorter row would make
    // the page be read past the raster's own bytes.  A raster taller than
    // the longest page is no receipt (and would cost its size in memory
    // before its data turned out to be missing).
    const bool rowTooShort = h.cupsBytesPerLine < h.cupsWidth &&
                             h.cupsBytesPerLine < (h.cupsWidth + 7) / 8;
    if (h.cupsWidth == 0 || h.cupsHeight == 0 || h.cupsBytesPerLine == 0 || rowTooShort ||
        h.cupsHeight > g_uiMaxPageDots) {
        vemCupsMessage("ERROR: Invalid CUPS parameters\n");
        DbgLogMessage(LOG_LEVEL_ERROR, kFnHeader, LOG_ERRNO, "Invalid width(%d) or BPL(%d)",
                      h.cupsWidth, h.cupsBytesPerLine);
        if (h.cupsHeight > g_uiMaxPageDots)
            DbgLogMessage(LOG_LEVEL_ERROR, kFnHeader, LOG_ERRNO, "Height %u above the longest page (%u)",
                          h.cupsHeight, g_uiMaxPageDots);
        return 0;
    }
    // The depth is inferred from the row length, and the header must agree
    // with it: only 1-bit black, 8-bit luminance and 24-bit RGB are read as
    // what they are.  A 2- or 4-bit raster would otherwise pass as 1-bit and
    // print as garbage, an 8-bit K raster (0 = white) inverted.
    const unsigned declared = h.cupsBitsPerPixel;
    const unsigned q = h.cupsBytesPerLine / h.cupsWidth;
    h.cupsBitsPerPixel = q == 0 ? 1 : 8 * q;
    DbgLogMessage(LOG_LEVEL_DEBUG, kFnHeader, LOG_DBG, "\tcupsBitsPerPixel : %d", h.cupsBitsPerPixel);
    const unsigned bpp = h.cupsBitsPerPixel;
    const bool known = bpp == 1 || bpp == 8 || bpp == 24;
    const bool spaceOk = (bpp == 1 && cs == CUPS_CSPACE_K) ||
                         (bpp == 8 && (cs == CUPS_CSPACE_W || cs == CUPS_CSPACE_SW)) ||
                         (bpp == 24 && (cs == CUPS_CSPACE_RGB || cs == CUPS_CSPACE_SRGB));
    // Banded and planar rasters declare one colour's bits per pixel; a
    // 24-bit one is refused below for its order.
    const bool declaredOk = declared == bpp || (bpp == 24 && order != CUPS_ORDER_CHUNKED);
    if (!known || !spaceOk || !declaredOk || h.cupsBitsPerColor != (bpp == 1 ? 1u : 8u)) {
        // The header's own depth is named when the inferred one is readable.
        const unsigned shown = known ? declared : bpp;
        vemCupsMessage("ERROR: Unsupported raster format %d\n", shown);
        DbgLogMessage(LOG_LEVEL_ERROR, kFnHeader, LOG_ERRNO,
                      "Only support monochrome or 24bits color input image");
        DbgLogMessage(LOG_LEVEL_ERROR, kFnHeader, LOG_ERRNO,
                      "Raster of %u bits per pixel (declared %u), %u per colour, colour space %d",
                      bpp, declared, h.cupsBitsPerColor, static_cast<int>(cs));
        return 0;
    }
    if (h.cupsBitsPerPixel == 24 && order != CUPS_ORDER_CHUNKED) {
        vemCupsMessage("ERROR: Unsupported color format %d\n", static_cast<int>(order));
        DbgLogMessage(LOG_LEVEL_ERROR, kFnHeader, LOG_ERRNO,
                      "Only support chunky pixels (CMYK CMYK CMYK) for cupsColorOrder");
        return 0;
    }
    return 1;
}

int calcPageSize(const cups_page_header2_t* pHeader, const VemCustomSize* pCustom,
                 VemFeeds* pFeeds) {
    const uint64_t vres = pHeader->HWResolution[1];
    uint64_t length = 0;
    if (pCustom != nullptr && (pCustom->nWidth != 0 || pCustom->nHeight != 0))
        length = static_cast<uint64_t>(static_cast<uint32_t>(pCustom->nHeight)) * vres / 72;
    if (length == 0)
        length = static_cast<uint64_t>(pHeader->PageSize[1]) * vres / 72;
    pFeeds->nTop = 0;
    pFeeds->nBottom = 0;
    const int conservation = filterOption(OPT_PAPER_CONSERVATION);
    // The feed completes the page to its length in the printer's dots; a
    // length beyond the longest page would feed metres of paper.
    if (length > g_uiMaxPageDots) {
        vemCupsMessage("ERROR: Invalid CUPS parameters\n");
        DbgLogMessage(LOG_LEVEL_ERROR, kFnPaper, LOG_ERRNO,
                      "Page length %llu above the longest page (%u)",
                      static_cast<unsigned long long>(length), g_uiMaxPageDots);
        return 0;
    }
    if (length >= pHeader->cupsHeight)
        pFeeds->nBottom = static_cast<int32_t>(length - pHeader->cupsHeight);
    if (conservation == 1 || conservation == 3)
        pFeeds->nBottom = 0;
    DbgLogMessage(LOG_LEVEL_DEBUG, kFnPaper, LOG_DBG,
                  "Check feed. Paper Conservation:%d, Page Height:%d, Feed Top:%d, Feed Bottom : %d",
                  conservation, static_cast<int>(length), pFeeds->nTop, pFeeds->nBottom);
    return 1;
}
