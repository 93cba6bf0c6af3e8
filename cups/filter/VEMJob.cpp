// The page loop of one job.
//
// Pages are read up to two ahead of the one being printed, into three
// slots; each slot keeps the header the page came with, so every page is
// converted and printed with its own width, height, format and feeds even
// when the sizes of a job's pages differ.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "VEMLogging.h"
#include "rastertovem_core.h"

namespace {
constexpr unsigned kFnMain = 1;
}

uint64_t VemFilterJob::s_nMaxBufferBytes = 128ull << 20;

bool VemCupsRasterSource::readHeader(cups_page_header2_t& header) {
    return cupsRasterReadHeader2(raster_, &header) != 0;
}

unsigned int VemCupsRasterSource::readPixels(uint8_t* pBuffer, unsigned int nBytes) {
    return cupsRasterReadPixels(raster_, pBuffer, nBytes);
}

VemFilterJob::VemFilterJob(VemRasterSource& source, VemCustomSize custom, bool bAskPrinter)
    : source_(source), custom_(custom), askPrinter_(bAskPrinter) {}

// Makes the images a page read as it is needs large enough: the mono image
// for a padded 1-bit page, a whole gray image for a page sent as gray whose
// rows cannot be sent as they are.  False if memory is short.
bool VemFilterJob::growImages(const cups_page_header2_t& h, bool bGrayImage) {
    const size_t mono = (static_cast<size_t>(h.cupsWidth) + 7) / 8 * h.cupsHeight;
    const size_t gray = bGrayImage ? static_cast<size_t>(h.cupsWidth) * h.cupsHeight : 0;
    try {
        if (h.cupsBitsPerPixel == 1 && mono_.size() < mono)
            mono_.resize(mono);
        if (gray_.size() < gray)
            gray_.resize(gray);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool VemFilterJob::readPage(cups_page_header2_t& header, const VemFeeds& feeds) {
    Slot* slot = nullptr;
    int index = 0;
    for (; index < 3; ++index) {
        if (slots_[index].page == 0) {
            slot = &slots_[index];
            break;
        }
    }
    if (slot == nullptr) {
        DbgLogMessage(LOG_LEVEL_ERROR, kFnMain, LOG_ERRNO, "All page buffer is in used");
        vemCupsMessage("ERROR: Out of page buffer\n");
        return false;
    }

    // Header checks bound the page to the longest receipt; the sizes are
    // computed in 64 bits all the same.
    const uint64_t bytes = static_cast<uint64_t>(header.cupsBytesPerLine) * header.cupsHeight;
    if (bytes > s_nMaxBufferBytes || g_bTerminate) {
        if (!g_bTerminate) {
            DbgLogMessage(LOG_LEVEL_ERROR, kFnMain, LOG_ERRNO, "Out of memory");
            vemCupsMessage("ERROR: Out of memory\n");
        }
        return false;
    }

    if (pagesRead_ == 1) {
        // Before the document starts the printer must be able to print.
        if (askPrinter_ && !isPrinterOK())
            return false;
        if (!block_start_doc({})) {
            DbgLogMessage(LOG_LEVEL_ERROR, kFnMain, LOG_ERRNO, "Start document problem");
            return false;
        }
    }

    DbgLogMessage(LOG_LEVEL_DEBUG, kFnMain, LOG_DBG, "Now reading buffer[%d]:%d", index, pagesRead_);
    const bool gray = filterOption(OPT_BMP_FORMAT) != 0;
    slot->form = header.cupsBitsPerPixel == 1                ? Slot::Raw
                 : !gray                                     ? Slot::Mono
                 : header.cupsBitsPerPixel == 24             ? Slot::Gray
                                                             : Slot::Raw;
    if (!(slot->form == Slot::Raw ? readRaw(*slot, bytes) : readConverted(*slot, header)))
        return false;
    DbgLogMessage(LOG_LEVEL_DEBUG, kFnMain, LOG_DBG, "cupsRasterReadPixels reads %d", static_cast<int>(bytes));
    slot->size = static_cast<size_t>(bytes);
    slot->page = pagesRead_;
    slot->header = header;
    slot->feeds = feeds;
    return true;
}

namespace {
void shortRead(uint64_t got, uint64_t bytes) {
    DbgLogMessage(LOG_LEVEL_ERROR, kFnMain, LOG_ERRNO, "cupsRasterReadPixels problem(%d, %d)",
                  static_cast<int>(got), static_cast<int>(bytes));
    vemCupsMessage("ERROR: cupsRasterReadPixels problem\n");
}
void outOfMemory() {
    DbgLogMessage(LOG_LEVEL_ERROR, kFnMain, LOG_ERRNO, "Out of memory");
    vemCupsMessage("ERROR: Out of memory\n");
}
}  // namespace

// Reads a page's pixels into its slot as they are.  The slot keeps the
// largest page it held; its memory is touched only as the pixels arrive,
// piece by piece, so a header that claims a large page costs memory only
// for the data that is really there.
bool VemFilterJob::readRaw(Slot& slot, uint64_t bytes) {
    if (!slot.reserve(static_cast<size_t>(bytes))) {
        outOfMemory();
        return false;
    }
    size_t got = 0;
    for (bool full = true; got < bytes && full;) {
        const size_t piece = std::min<size_t>(bytes - got, kReadPiece);
        const unsigned n = source_.readPixels(slot.data.get() + got, static_cast<unsigned>(piece));
        got += n;
        full = n == piece;
    }
    if (got != bytes) {
        shortRead(got, bytes);
        return false;
    }
    return true;
}

// Reads a page a few rows at a time and converts each piece at once: a gray
// or colour page to be halftoned (DitherType) into its dots, a colour page
// to be sent as gray into its gray.  A colour row equal to the one before
// (blank paper, rules, tall strokes) reuses its gray.
bool VemFilterJob::readConverted(Slot& slot, const cups_page_header2_t& h) {
    const unsigned width = h.cupsWidth;
    const unsigned height = h.cupsHeight;
    const size_t bpl = h.cupsBytesPerLine;
    const bool colour = h.cupsBitsPerPixel == 24;
    const bool toMono = slot.form == Slot::Mono;
    const size_t outRow = toMono ? (static_cast<size_t>(width) + 7) / 8 : width;
    const size_t rowsPerPiece = std::max<size_t>(1, kHalftonePiece / bpl);
    const int method = filterOption(OPT_DITHER_TYPE);
    try {
        if (work_.size() < VemDither::workBytes(width))
            work_.resize(VemDither::workBytes(width));
        if (colour && gray_.size() < width)
            gray_.resize(width);
        if (colour && lastRgb_.size() < 3 * static_cast<size_t>(width))
            lastRgb_.resize(3 * static_cast<size_t>(width));
    } catch (const std::bad_alloc&) {
        outOfMemory();
        return false;
    }
    if (!piece_.reserve(rowsPerPiece * bpl) || !slot.reserve(outRow * height)) {
        outOfMemory();
        return false;
    }
    if (colour)
        DbgLogMessage(LOG_LEVEL_DEBUG, kFnMain, LOG_DBG, "Now convert grayscale for page:%d", pagesRead_);
    if (toMono)
        DbgLogMessage(LOG_LEVEL_TRACE, kFnMain, LOG_START,
                      "Start prepare monochrome, col:%d, gradation:%d", 0, method);

    VemDither halftone(toMono ? method : 0, width, height, work_);
    bool haveGray = false;
    for (unsigned row = 0; row < height;) {
        const unsigned rows = static_cast<unsigned>(std::min<size_t>(rowsPerPiece, height - row));
        const size_t want = rows * bpl;
        const unsigned got = source_.readPixels(piece_.data.get(), static_cast<unsigned>(want));
        if (got != want) {
            shortRead(static_cast<uint64_t>(row) * bpl + got, static_cast<uint64_t>(height) * bpl);
            return false;
        }
        for (unsigned i = 0; i < rows; ++i, ++row) {
            const uint8_t* g = piece_.data.get() + bpl * i;
            uint8_t* out = slot.data.get() + outRow * row;
            if (colour) {
                const size_t rgb = 3 * static_cast<size_t>(width);
                if (!haveGray || std::memcmp(g, lastRgb_.data(), rgb) != 0) {
                    vemGrayRow(g, gray_.data(), width);
                    std::memcpy(lastRgb_.data(), g, rgb);
                    haveGray = true;
                }
                g = gray_.data();
            }
            if (toMono)
                halftone.row(row, g, out);
            else
                std::memcpy(out, g, width);
        }
    }
    return true;
}

// Prints the page in `slot`; false ends the job.  A converted page is sent
// as the slot holds it; a 1-bit page, or an 8-bit page sent as gray, is
// sent from the slot's own pixels, or from a copy without the padding of
// its rows.
bool VemFilterJob::printSlot(Slot& slot) {
    const cups_page_header2_t& h = slot.header;
    const unsigned width = h.cupsWidth;
    const unsigned height = h.cupsHeight;
    const size_t bpl = h.cupsBytesPerLine;
    const size_t monoRow = (static_cast<size_t>(width) + 7) / 8;
    const unsigned bpp = h.cupsBitsPerPixel;
    const int page = slot.page;
    const uint8_t* raw = slot.data.get();

    // Sent as gray: an 8-bit page's own rows when they are packed, else a
    // gray image made from them.
    const bool ownRows = bpp == 8 && bpl == width;
    const bool grayImage = slot.form == Slot::Raw && bpp == 8 && !ownRows;
    if (!growImages(h, grayImage)) {
        outOfMemory();
        slot.page = 0;
        return false;
    }

    bool sendMono = true;
    std::span<const uint8_t> image;
    if (slot.form == Slot::Mono) {
        image = std::span<const uint8_t>(slot.data.get(), monoRow * height);
    } else if (slot.form == Slot::Gray) {
        sendMono = false;
        image = std::span<const uint8_t>(slot.data.get(), static_cast<size_t>(width) * height);
    } else if (bpp == 1) {
        if (bpl == monoRow) {
            image = std::span<const uint8_t>(raw, monoRow * height);
        } else {
            for (unsigned r = 0; r < height; ++r)
                std::memcpy(mono_.data() + monoRow * r, raw + bpl * r, monoRow);
            image = std::span<const uint8_t>(mono_.data(), monoRow * height);
        }
    } else {
        sendMono = false;
        if (ownRows) {
            image = std::span<const uint8_t>(raw, static_cast<size_t>(width) * height);
        } else {
            for (unsigned r = 0; r < height; ++r)
                std::memcpy(gray_.data() + static_cast<size_t>(width) * r, raw + bpl * r, width);
            image = std::span<const uint8_t>(gray_.data(), static_cast<size_t>(width) * height);
        }
    }
    slot.page = 0;
    DbgLogMessage(LOG_LEVEL_DEBUG, kFnMain, LOG_DBG, "Will print page:%d", page);
    vemCupsMessage("INFO: Starting page %d\n", page);

    // The slot's data may be the image: it is not overwritten before the
    // next page is read, which happens only after this page is sent.
    if (askPrinter_ && !isPrinterOK())
        return false;
    if (!printDocPage(sendMono, filterOption(OPT_PAPER_CONSERVATION), g_pHWCap->nBitmapForm, image,
                      width, height, slot.feeds)) {
        vemCupsMessage("ERROR: Print page problem\n");
        return false;
    }
    lastFinished_ = page;
    // CUPS's page log counts what the last filter of the chain reports; the
    // copies were made by the filters before us.
    vemCupsMessage("PAGE: %d 1\n", page);
    vemCupsMessage("INFO: Finished page %d\n", page);
    return true;
}

void VemFilterJob::run() {
    // A bad page (bad header, short pixels) ends the input just as the end
    // of the stream does: no header is read after it, and the passes that
    // follow print the pages already read, in order.
    bool inputEnded = false;
    while (failedReads_ <= 3 && !g_bTerminate) {
        ++attempts_;
        cups_page_header2_t header;
        std::memset(&header, 0, sizeof header);
        if (!inputEnded && source_.readHeader(header)) {
            ++pagesRead_;
            VemFeeds feeds{};
            const bool ok = isValidCupsHeader(&header) && calcPageSize(&header, &custom_, &feeds) &&
                            readPage(header, feeds);
            inputEnded = !ok;
        } else {
            ++failedReads_;
        }

        // Each page is printed two passes after the pass that read it.
        Slot* chosen = nullptr;
        bool anyHeld = false;
        for (int i = 0; i < 3; ++i) {
            DbgLogMessage(LOG_LEVEL_TRACE, kFnMain, LOG_DBG, "Buffer[%d] pageID:%d", i, slots_[i].page);
            if (slots_[i].page != 0)
                anyHeld = true;
            if (slots_[i].page != 0 && slots_[i].page == attempts_ - 2)
                chosen = &slots_[i];
        }
        // Once the printer's data stream has no reader, nothing can be printed.
        if (!anyHeld || g_bTerminate || g_bPrinterGone)
            break;
        if (chosen == nullptr)
            continue;
        if (!printSlot(*chosen))
            break;
    }
}

int VemFilterJob::finish(bool bRasterOpened) {
    withdrawPrinterStates();
    DbgLogMessage(LOG_LEVEL_DEBUG, kFnMain, LOG_DBG, "Total page:%d, last print:%d", pagesRead_,
                  lastFinished_);
    // The document is ended only when every page made it, and the job
    // succeeds only if the end (the final feed, cut and drawer) was sent.
    if (bRasterOpened && lastFinished_ == pagesRead_ && !g_bPrinterGone) {
        if (block_end_doc({})) {
            vemCupsMessage("INFO: Printing success\n");
            return 0;
        }
        DbgLogMessage(LOG_LEVEL_ERROR, kFnMain, LOG_ERRNO, "End document problem");
    }
    if (g_bTerminate)
        vemCupsMessage("INFO: Job cancelled\n");
    else
        vemCupsMessage("INFO: Printing not complete\n");
    return 1;
}
