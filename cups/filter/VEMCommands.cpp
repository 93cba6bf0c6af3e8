// The printer command stream: document framing, feeds, cuts, the drawer
// pulse and raster graphics in bands.  All numbers little-endian.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

#include "VEMFd.h"
#include "VEMLogging.h"
#include "rastertovem_core.h"

namespace {

constexpr unsigned kFnBitmap = 5;
constexpr unsigned kFnSend = 6;
constexpr unsigned kFnConserve = 11;

constexpr unsigned kBandRows = 1000;
constexpr size_t kStoreHeader = 17;  // GS 8 L ... yL yH
constexpr uint8_t kPrintGraphics[7] = {0x1D, 0x28, 0x4C, 0x02, 0x00, 0x30, 0x32};

// The send buffer of the graphics, kept across pages (it only grows).
std::vector<uint8_t> s_band;

void putStoreHeader(uint8_t* d, uint32_t k, uint8_t a, uint8_t c, unsigned w, unsigned rows) {
    const uint32_t p = 10 + k;
    const uint8_t hdr[kStoreHeader] = {0x1D,
                                       0x38,
                                       0x4C,
                                       static_cast<uint8_t>(p),
                                       static_cast<uint8_t>(p >> 8),
                                       static_cast<uint8_t>(p >> 16),
                                       static_cast<uint8_t>(p >> 24),
                                       0x30,
                                       0x70,
                                       a,
                                       0x01,
                                       0x01,
                                       c,
                                       static_cast<uint8_t>(w),
                                       static_cast<uint8_t>(w >> 8),
                                       static_cast<uint8_t>(rows),
                                       static_cast<uint8_t>(rows >> 8)};
    std::memcpy(d, hdr, kStoreHeader);
}

}  // namespace

// The bytes leave in as few write() calls as the descriptor takes them.  A
// failed write fails the send at once; only the first byte that could not
// be written is logged, so a dead reader costs one line, not one per byte.
// A reader that has gone (EPIPE, EBADF) cannot come back: nothing more is
// written for the rest of the job, and the job ends as soon as it notices.
int sendToPrinter(const uint8_t* pData, size_t nCount) {
    if (g_bPrinterGone)
        return 0;
    DbgByteData(LOG_LEVEL_DUMP, kFnSend, 1, const_cast<uint8_t*>(pData), static_cast<int>(nCount));
    int err = 0;
    const size_t done = vem::write_full(g_nPrinterFd, pData, nCount, &err, vem::OnFull::Wait);
    if (done == nCount)
        return 1;
    DbgLogMessage(LOG_LEVEL_ERROR, kFnSend, LOG_ERRNO, "Data:0x%02X, Ret:0x%02X", pData[done],
                  static_cast<unsigned>(-1));
    DbgLogMessage(LOG_LEVEL_ERROR, kFnSend, LOG_ERRNO, "%zu of %zu bytes not written, errno:%d",
                  nCount - done, nCount, err);
    if (err == EPIPE || err == EBADF)
        g_bPrinterGone = 1;
    return 0;
}

int cmd_initialize() {
    static constexpr uint8_t cmd[] = {0x1B, 0x40};
    return sendToPrinter(cmd, sizeof cmd);
}

int cmd_def_line_spacing() {
    static constexpr uint8_t cmd[] = {0x1B, 0x32};
    return sendToPrinter(cmd, sizeof cmd);
}

int cmd_print_feed(unsigned int nDots) {
    unsigned left = nDots;
    for (;;) {
        const uint8_t cmd[] = {0x1B, 0x4A, static_cast<uint8_t>(left > 255 ? 255 : left)};
        if (!sendToPrinter(cmd, sizeof cmd))
            return 0;
        if (left <= 255)
            return 1;
        left -= 255;
    }
}

int cmd_cut(int nForm) {
    const uint8_t cmd[] = {0x1B, static_cast<uint8_t>(nForm == 1 ? 0x6D : 0x69)};
    return sendToPrinter(cmd, sizeof cmd);
}

int block_check_cut(int nForm, int bPageEnd, int nCutSetting, int nFeedBeforeCut) {
    bool feed = false, cut = false;
    if (bPageEnd) {
        feed = nCutSetting == 4 || nCutSetting == 5;
        cut = nCutSetting == 4 || nCutSetting == 6;
    } else {
        feed = nCutSetting == 0 || nCutSetting == 1;
        cut = nCutSetting == 0 || nCutSetting == 2;
    }
    if (feed && !cmd_print_feed(static_cast<unsigned>(nFeedBeforeCut)))
        return 0;
    if (cut && !cmd_cut(nForm))
        return 0;
    return 1;
}

int block_check_drawer(int bStart, int nPin, int nOpen, int nPulse) {
    if (nPin == 0 || (bStart && nOpen != 0) || (!bStart && nOpen != 1))
        return 1;
    int t = (nPulse + 1) * 50 / 2;
    if (t > 255)
        t = 255;
    const uint8_t cmd[] = {0x1B, 0x70, static_cast<uint8_t>(nPin - 1), static_cast<uint8_t>(t),
                           static_cast<uint8_t>(t)};
    return sendToPrinter(cmd, sizeof cmd);
}

int block_start_doc(std::span<const uint8_t> extra) {
    if (!cmd_initialize() || !cmd_def_line_spacing() || !cmd_print_feed(0))
        return 0;
    if (!extra.empty() && !sendToPrinter(extra.data(), extra.size()))
        return 0;
    // A drawer pulse that could not be sent is a failed job like any other
    // command: the drawer did not open.
    return block_check_drawer(1, filterOption(OPT_CD_PIN), filterOption(OPT_CD_OPEN),
                              filterOption(OPT_CD_PULSE));
}

int block_end_doc(std::span<const uint8_t> extra) {
    if (!cmd_print_feed(0))
        return 0;
    if (!extra.empty() && !sendToPrinter(extra.data(), extra.size()))
        return 0;
    if (!block_check_cut(filterOption(OPT_CUT_TYPE), 0, filterOption(OPT_CUT_SETTING),
                         g_pHWCap->nFeedBeforeCut))
        return 0;
    return block_check_drawer(0, filterOption(OPT_CD_PIN), filterOption(OPT_CD_OPEN),
                              filterOption(OPT_CD_PULSE));
}

int block_start_page(int nTopFeed) { return cmd_print_feed(static_cast<unsigned>(nTopFeed)); }

int block_end_page(int nBottomFeed) {
    if (!cmd_print_feed(static_cast<unsigned>(nBottomFeed)))
        return 0;
    return block_check_cut(filterOption(OPT_CUT_TYPE), 1, filterOption(OPT_CUT_SETTING),
                           g_pHWCap->nFeedBeforeCut);
}

unsigned int checkPaperConservation(int nMode, bool bMono, std::span<const uint8_t> image,
                                    unsigned int nWidth, unsigned int* pnHeight) {
    const size_t rowBytes = bMono ? (static_cast<size_t>(nWidth) + 7) / 8 : nWidth;
    const uint8_t blank = bMono ? 0x00 : 0xFF;
    unsigned height = *pnHeight;
    // Rows beyond the image count as blank (never read past it).
    const unsigned rowsInImage =
        rowBytes == 0 ? 0 : static_cast<unsigned>(std::min<size_t>(height, image.size() / rowBytes));
    auto firstInk = [&](unsigned r) -> long {
        const uint8_t* row = image.data() + rowBytes * r;
        for (size_t i = 0; i < rowBytes; ++i)
            if (row[i] != blank)
                return static_cast<long>(i);
        return -1;
    };

    unsigned first = 0;
    if (nMode == 2 || nMode == 3) {
        first = height;
        for (unsigned r = 0; r < rowsInImage; ++r) {
            long i = firstInk(r);
            if (i >= 0) {
                first = r;
                DbgLogMessage(LOG_LEVEL_DEBUG, kFnConserve, LOG_DBG, "Raster(T) w:%d, h:%d, px:%02X",
                              static_cast<int>(i), static_cast<int>(r), image[rowBytes * r + i]);
                break;
            }
        }
    }
    if ((nMode == 1 || nMode == 3) && height > 0 && first < height - 1) {
        unsigned end = 0;
        for (unsigned r = rowsInImage; r-- > first;) {
            long i = firstInk(r);
            if (i >= 0) {
                end = r + 1;
                DbgLogMessage(LOG_LEVEL_DEBUG, kFnConserve, LOG_DBG, "Raster(B) w:%d, h:%d, px:%02X",
                              static_cast<int>(i), static_cast<int>(r), image[rowBytes * r + i]);
                break;
            }
        }
        height = end;
    }
    DbgLogMessage(LOG_LEVEL_DEBUG, kFnConserve, LOG_DBG, "Image start line=%d, height=%d",
                  static_cast<int>(first), static_cast<int>(height));
    *pnHeight = height;
    return first;
}

int printDocPage(bool bMono, int nPaperConservation, int nBitmapForm,
                 std::span<const uint8_t> image, unsigned int nWidth, unsigned int nHeight,
                 VemFeeds feeds) {
    (void)nBitmapForm;  // both models use the raster-graphics form
    if (!block_start_page(feeds.nTop))
        return 0;
    unsigned end = nHeight;
    const unsigned first = checkPaperConservation(nPaperConservation, bMono, image, nWidth, &end);
    if (first < end && !printBitmapType2Cmd(bMono, first, image, nWidth, end))
        return 0;
    return block_end_page(feeds.nBottom);
}

int printBitmapType2Cmd(bool bMono, unsigned int nStart, std::span<const uint8_t> image,
                        unsigned int nWidth, unsigned int nEnd) {
    const size_t r = (static_cast<size_t>(nWidth) + 7) / 8;
    const size_t bufSize = r * kBandRows + 24;
    try {
        if (s_band.size() < bufSize)
            s_band.resize(bufSize);
    } catch (const std::bad_alloc&) {
        DbgLogMessage(LOG_LEVEL_ERROR, kFnBitmap, LOG_ERRNO, "Out of memory");
        return 0;
    }
    uint8_t* buf = s_band.data();
    const size_t srcRow = bMono ? r : nWidth;

    for (unsigned s = nStart; s < nEnd;) {
        const unsigned rows = std::min(kBandRows, nEnd - s);
        const size_t k = r * rows;
        const size_t needDst = kStoreHeader + k + sizeof kPrintGraphics;
        const size_t needSrc = (static_cast<size_t>(s) + rows) * srcRow;
        if (needDst > bufSize || needSrc > image.size()) {
            DbgLogMessage(LOG_LEVEL_ERROR, kFnBitmap, LOG_ERRNO,
                          "Buffer checking fail(dst:%d,%d, src:%d,%d)", static_cast<int>(needDst),
                          static_cast<int>(bufSize), static_cast<int>(needSrc),
                          static_cast<int>(image.size()));
            return 0;
        }
        const uint8_t* src = image.data() + static_cast<size_t>(s) * srcRow;
        const int planes = bMono ? 1 : 4;
        for (int i = 0; i < planes; ++i) {
            const uint8_t c = static_cast<uint8_t>(0x31 + i);
            putStoreHeader(buf, static_cast<uint32_t>(k), bMono ? 0x30 : 0x34, c, nWidth, rows);
            DbgLogMessage(LOG_LEVEL_TRACE, kFnBitmap, LOG_DBG, "c:%d, Width = %d", c, nWidth);
            DbgLogMessage(LOG_LEVEL_TRACE, kFnBitmap, LOG_DBG, "c:%d, Height = %d", c, rows);
            uint8_t* d = buf + kStoreHeader;
            if (bMono) {
                std::memcpy(d, src, k);
            } else {
                // Plane 31 carries the top bit of the 4-bit darkness 15 - v/16.
                std::memset(d, 0, k);
                for (unsigned row = 0; row < rows; ++row)
                    vemGrayPlaneRow(src + static_cast<size_t>(row) * nWidth,
                                    d + static_cast<size_t>(row) * r, nWidth, i);
            }
            size_t len = kStoreHeader + k;
            if (i == planes - 1) {
                std::memcpy(buf + len, kPrintGraphics, sizeof kPrintGraphics);
                len += sizeof kPrintGraphics;
            }
            if (!sendToPrinter(buf, len)) {
                DbgLogMessage(LOG_LEVEL_ERROR, kFnBitmap, LOG_ERRNO, "Image send data fail. Stop!");
                return 0;
            }
        }
        s += rows;
    }
    return 1;
}
