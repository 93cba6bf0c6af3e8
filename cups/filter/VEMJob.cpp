// The page loop of one job.
//
// Pages are read up to two ahead of the one being printed, into three
// slots; each slot keeps the header the page came with, so every page is
// converted and printed with its own width, height, format and feeds even
// when the sizes of a job's pages differ.
#include <algorithm>
#include <cstring>
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

// Makes the gray, work and mono images large enough for a page; false if
// that page would need more than the allowed size or memory is short.
bool VemFilterJob::growImages(const cups_page_header2_t& h) {
    const uint64_t pixels = static_cast<uint64_t>(h.cupsWidth) * h.cupsHeight;
    const uint64_t mono = (static_cast<uint64_t>(h.cupsWidth) + 7) / 8 * h.cupsHeight;
    const bool needGray = h.cupsBitsPerPixel != 1;
    if (mono > s_nMaxBufferBytes || (needGray && pixels > s_nMaxBufferBytes))
        return false;
    try {
        if (mono_.size() < mono)
            mono_.resize(mono);
        if (needGray && gray_.size() < pixels)
            gray_.resize(pixels);
        if (needGray && work_.size() < pixels)
            work_.resize(pixels);
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

    // Buffers grow to the largest page seen so far; sizes are computed in
    // 64 bits so a hostile header can neither overflow them nor ask for
    // gigabytes.
    const uint64_t bytes = static_cast<uint64_t>(header.cupsBytesPerLine) * header.cupsHeight;
    bool ok = bytes <= s_nMaxBufferBytes && growImages(header);
    if (ok) {
        try {
            if (slot->data.size() < bytes)
                slot->data.resize(bytes);
        } catch (const std::bad_alloc&) {
            ok = false;
        }
    }
    if (!ok || g_bTerminate) {
        if (!ok) {
            DbgLogMessage(LOG_LEVEL_ERROR, kFnMain, LOG_ERRNO, "Out of memory");
            vemCupsMessage("ERROR: Out of memory\n");
        }
        return false;
    }

    if (pagesRead_ == 1) {
        // Before the document starts the printer must be able to print.
        if (askPrinter_ && !isPrinterOK())
            return false;
        block_start_doc({});
    }

    DbgLogMessage(LOG_LEVEL_DEBUG, kFnMain, LOG_DBG, "Now reading buffer[%d]:%d", index, pagesRead_);
    const unsigned got = source_.readPixels(slot->data.data(), static_cast<unsigned>(bytes));
    if (got != bytes) {
        DbgLogMessage(LOG_LEVEL_ERROR, kFnMain, LOG_ERRNO, "cupsRasterReadPixels problem(%d, %d)",
                      static_cast<int>(got), static_cast<int>(bytes));
        vemCupsMessage("ERROR: cupsRasterReadPixels problem\n");
        return false;
    }
    DbgLogMessage(LOG_LEVEL_DEBUG, kFnMain, LOG_DBG, "cupsRasterReadPixels reads %d", static_cast<int>(got));
    slot->size = static_cast<size_t>(bytes);
    slot->page = pagesRead_;
    slot->header = header;
    slot->feeds = feeds;
    return true;
}

// Converts and prints the page in `slot`; false ends the job.
bool VemFilterJob::printSlot(Slot& slot) {
    const cups_page_header2_t& h = slot.header;
    const unsigned width = h.cupsWidth;
    const unsigned height = h.cupsHeight;
    const size_t bpl = h.cupsBytesPerLine;
    const size_t pixels = static_cast<size_t>(width) * height;
    const size_t monoRow = (static_cast<size_t>(width) + 7) / 8;
    const size_t monoBytes = monoRow * height;
    const unsigned bpp = h.cupsBitsPerPixel;
    const int page = slot.page;

    // Only what the conversion ORs into or accumulates in starts at zero:
    // the copies below overwrite the mono (1-bit) and gray images whole.
    const bool dither = bpp != 1 && filterOption(OPT_BMP_FORMAT) == 0;
    const int ditherType = filterOption(OPT_DITHER_TYPE);
    std::span<uint8_t> mono(mono_.data(), monoBytes);
    std::span<uint8_t> gray, work;
    if (dither)
        std::fill(mono.begin(), mono.end(), 0);
    if (bpp != 1) {
        gray = std::span<uint8_t>(gray_.data(), pixels);
        work = std::span<uint8_t>(work_.data(), pixels);
        if (dither && ditherType == 3)
            std::fill(work.begin(), work.end(), 0);
    }

    // Rows may carry padding beyond their pixels; the images hold only the
    // pixels, so padded rows are copied one by one.
    auto copyRows = [&](uint8_t* dst, size_t rowBytes) {
        if (bpl == rowBytes) {
            std::memcpy(dst, slot.data.data(), rowBytes * height);
            return;
        }
        for (unsigned r = 0; r < height; ++r)
            std::memcpy(dst + rowBytes * r, slot.data.data() + bpl * r, rowBytes);
    };

    bool convertFailed = false;
    if (bpp == 1) {
        copyRows(mono.data(), monoRow);
    } else if (bpp == 8) {
        copyRows(gray.data(), width);
    } else {
        DbgLogMessage(LOG_LEVEL_DEBUG, kFnMain, LOG_DBG, "Now convert grayscale for page:%d", page);
        const size_t colourRow = static_cast<size_t>(width) * 3;
        if (bpl != colourRow) {
            // Pack the rows in place, dropping the padding.
            for (unsigned r = 1; r < height; ++r)
                std::memmove(slot.data.data() + colourRow * r, slot.data.data() + bpl * r, colourRow);
        }
        std::span<const uint8_t> colour(slot.data.data(), colourRow * height);
        if (!prepareGrayScaleData(colour, gray)) {
            DbgLogMessage(LOG_LEVEL_ERROR, kFnMain, LOG_ERRNO, "Prepare grayscale data problem!");
            vemCupsMessage("ERROR: Grayscale convert problem\n");
            convertFailed = true;
        }
    }
    slot.page = 0;
    DbgLogMessage(LOG_LEVEL_DEBUG, kFnMain, LOG_DBG, "Will print page:%d", page);
    vemCupsMessage("INFO: Starting page %d\n", page);
    if (convertFailed)
        return false;

    bool sendMono = true;
    std::span<const uint8_t> image = mono;
    if (dither) {
        if (!prepareMonochromeData(gray, mono, work, width, height, 0, ditherType)) {
            vemCupsMessage("ERROR: Monochrome convert problem\n");
            return false;
        }
    } else if (bpp != 1) {
        sendMono = false;
        image = gray;
    }

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
            bool ok = isValidCupsHeader(&header) != 0;
            if (ok) {
                VemFeeds feeds{};
                calcPageSize(&header, &custom_, &feeds);
                ok = readPage(header, feeds);
            }
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
        if (!anyHeld || g_bTerminate)
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
    if (bRasterOpened && lastFinished_ == pagesRead_) {
        block_end_doc({});
        vemCupsMessage("INFO: Printing success\n");
        return 0;
    }
    if (g_bTerminate)
        vemCupsMessage("INFO: Job cancelled\n");
    else
        vemCupsMessage("INFO: Printing not complete\n");
    return 1;
}
