// rastertovem_core.h - the callable core of the rastertovem filter.
//
// The program rastertovem.cpp, the tests, the fuzz target and the benchmark
// all drive the same code through this header.  The core keeps process-wide
// state (the filter is one job per process); resetFilterState() puts all of
// it back to program start so a test or a fuzz input can run another job.
//
// Where the output goes:
//   printer commands  -> descriptor g_nPrinterFd (standard output)
//   CUPS message lines -> stream g_pCupsMsg (standard error)
#pragma once

#include <cups/raster.h>

#include <csignal>
#include <cstdint>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <vector>

#include "VEMCupsCommon.h"
#include "VEMModels.h"

// ---- job options -----------------------------------------------------------

// Positions in the filter's option table (other modules read by position).
enum VemFilterOption : unsigned {
    OPT_LOG_COUNT = 0,
    OPT_LOG_LEVEL = 1,
    OPT_CUT_SETTING = 2,
    OPT_CUT_TYPE = 3,
    OPT_CD_PIN = 4,
    OPT_CD_OPEN = 5,
    OPT_CD_PULSE = 6,
    OPT_FONT_SIZE = 7,
    OPT_PAPER_CONSERVATION = 8,
    OPT_BMP_FORMAT = 9,
    OPT_DITHER_TYPE = 10,
    OPT_PAGE_SIZE = 11,
    OPT_FILTER_COUNT = 12
};

// Installs the filter's option table with its defaults.
void installFilterOptions();
// Current number of an option of the table.
int filterOption(VemFilterOption pos);

// ---- model, capabilities, geometry -------------------------------------------

struct VemHWSetting {
    int32_t nPaper;  // 0 = 80 mm roll, 1 = 58 mm roll
    int32_t nFont;   // option FontSize
};

struct VemStatusBit {
    int32_t nByte;
    int32_t nMask;
};

struct VemPrinterCap {
    int32_t nFeedBeforeCut;
    int32_t anMaxWidth[4];  // (80 mm, font 0), (80 mm, 1), (58 mm, 0), (58 mm, 1)
    int32_t nBitmapForm;
    uint8_t bStatusMode;  // 0 real-time command, 1 data
    int32_t nStatusCmdLen;
    uint8_t abStatusCmd[10];
    int32_t nStatusReplyLen;
    VemStatusBit aStatusBits[12];
};

struct VemCustomSize {
    int32_t nWidth;   // points
    int32_t nHeight;  // points
};

// The printer's dot pitch: feeds and rows are counted in these dots.
constexpr unsigned kPrinterDpi = 203;
// The longest page when the PPD names none: 3276 points (1155 mm), the
// custom length the queues' PPD allows.
constexpr uint32_t kDefaultMaxPageDots = 3276 * kPrinterDpi / 72;
// No PPD may make a page longer than this (about 131 m).
constexpr uint32_t kMaxPageDotsLimit = 1u << 20;

struct VemFeeds {
    int32_t nTop;     // dots
    int32_t nBottom;  // dots
};

// Process-wide state of the filter, one line each.
extern volatile sig_atomic_t g_bTerminate;  // set by the SIGTERM handler
extern int g_uiModel;                       // VemModelId of the job
extern int g_uiInterface;                   // interface type of the device URI
extern VemHWSetting g_HWNow;                // paper class and font size
extern VemPrinterCap g_capPrinter;          // capabilities of the job's model
extern VemPrinterCap* g_pHWCap;             // always &g_capPrinter
extern uint8_t g_RTSPrev[6];                // previous status reply
extern int g_isFirst;                       // 1 until a status reply was evaluated
extern uint32_t g_uiPrevData;               // last side-channel failure logged
extern uint32_t g_uiReasonsSet;             // printer-state reasons added, not withdrawn
extern int g_nPrinterFd;                    // where commands go (1)
extern int g_bPrinterGone;                  // 1 once a write found no reader: nothing more is sent
extern uint32_t g_uiMaxPageDots;            // longest page the PPD allows, in printer dots
extern FILE* g_pCupsMsg;                    // where CUPS lines go (stderr)

// Everything above back to program start, the option table included.
void resetFilterState();

// Writes one CUPS message line to g_pCupsMsg.
void vemCupsMessage(const char* lpszFormat, ...) __attribute__((format(printf, 1, 2)));

int checkPrinterType(const char* lpszUri);
void setPrinterCapByModel(int nModel, int nInterface);
void checkPaperSize(const char* lpszOptions, VemCustomSize* pCustom);
int isStandardPaperRoll(const char* lpszText);
int getCustomPage(const char* lpszText, VemCustomSize* pCustom);
int isValidCupsHeader(cups_page_header2_t* pHeader);
// Computes the feeds of a page; 0 (with "ERROR: Invalid CUPS parameters")
// if its length is beyond the longest page.
int calcPageSize(const cups_page_header2_t* pHeader, const VemCustomSize* pCustom,
                 VemFeeds* pFeeds);

// ---- image conversion ----------------------------------------------------------

// Sets the dots of gray plane nPlane (0-3, the printer's planes 31-34) for
// one row of gray; the row of dots must be cleared beforehand.
void vemGrayPlaneRow(const uint8_t* pGray, uint8_t* pOut, unsigned int nWidth, int nPlane);

// Gray of nPixels RGB pixels (0 black), by the same rule as below.
void vemGrayRow(const uint8_t* pColour, uint8_t* pGray, size_t nPixels);

// Halftones an image of nWidth x nHeight gray pixels one row at a time, in
// order from row 0, with method 0-3 (DitherType).  Each row of dots is
// written whole ((nWidth + 7) / 8 bytes, padding bits clear).  Method 3
// carries its error from row to row in `work`, which needs
// workBytes(nWidth) bytes.
class VemDither {
public:
    VemDither(int nMethod, unsigned int nWidth, unsigned int nHeight, std::span<uint8_t> work);
    void row(unsigned int nRow, const uint8_t* pGray, uint8_t* pMono);
    static size_t workBytes(unsigned int nWidth) { return 2 * static_cast<size_t>(nWidth) + 1; }

private:
    int method_;
    unsigned width_, height_;
    std::span<uint8_t> work_;
};

// 24-bit RGB to 8-bit gray (0 black).  1 on success, 0 on an index error.
int prepareGrayScaleData(std::span<const uint8_t> colour, std::span<uint8_t> gray);
// 8-bit gray to 1 bit per dot (set = black).  `work` is the error
// diffusion's scratch (VemDither::workBytes); the rows of `mono` are
// written whole.  1 on success.
int prepareMonochromeData(std::span<const uint8_t> gray, std::span<uint8_t> mono,
                          std::span<uint8_t> work, unsigned int nWidth, unsigned int nHeight,
                          int nColour, int nMethod);

// ---- printer commands ------------------------------------------------------------

int sendToPrinter(const uint8_t* pData, size_t nCount);
int cmd_initialize();
int cmd_def_line_spacing();
int cmd_print_feed(unsigned int nDots);
int cmd_cut(int nForm);
int block_check_cut(int nForm, int bPageEnd, int nCutSetting, int nFeedBeforeCut);
int block_check_drawer(int bStart, int nPin, int nOpen, int nPulse);
int block_start_doc(std::span<const uint8_t> extra);
int block_end_doc(std::span<const uint8_t> extra);
int block_start_page(int nTopFeed);
int block_end_page(int nBottomFeed);
// Returns the first row to print; *pnHeight becomes one past the last.
unsigned int checkPaperConservation(int nMode, bool bMono, std::span<const uint8_t> image,
                                    unsigned int nWidth, unsigned int* pnHeight);
int printDocPage(bool bMono, int nPaperConservation, int nBitmapForm,
                 std::span<const uint8_t> image, unsigned int nWidth, unsigned int nHeight,
                 VemFeeds feeds);
int printBitmapType2Cmd(bool bMono, unsigned int nStart, std::span<const uint8_t> image,
                        unsigned int nWidth, unsigned int nEnd);

// ---- printer status ------------------------------------------------------------------

int isPrinterOK();
// Writes "STATE: -reason" for every reason the job added and has not
// taken back: CUPS would otherwise keep them (a kept "paused" leaves the
// queue stopped) after the job ends.
void withdrawPrinterStates();
int block_read_rts(uint8_t bMode, const uint8_t* pCmd, int nCmdLen, uint8_t* pReply,
                   int nReplyLen, int nTimeoutMs);
int readWriteCmd(const uint8_t* pCmd, int nCmdLen, uint8_t* pReply, int nReplyLen,
                 int nTimeoutMs);

// ---- job flow --------------------------------------------------------------------------

// Where pages come from: libcups in the program, memory in tests and fuzzing.
class VemRasterSource {
public:
    virtual ~VemRasterSource() = default;
    virtual bool readHeader(cups_page_header2_t& header) = 0;
    // Bytes actually read.
    virtual unsigned int readPixels(uint8_t* pBuffer, unsigned int nBytes) = 0;
};

class VemCupsRasterSource final : public VemRasterSource {
public:
    explicit VemCupsRasterSource(cups_raster_t* raster) : raster_(raster) {}
    bool readHeader(cups_page_header2_t& header) override;
    unsigned int readPixels(uint8_t* pBuffer, unsigned int nBytes) override;

private:
    cups_raster_t* raster_;
};

// The page loop of one job: reads up to two pages ahead into three slots,
// converts and prints each page with the geometry of its own header.
class VemFilterJob {
public:
    // bAskPrinter: wait for the printer (isPrinterOK) before the document
    // and each page; off where no printer answers (benchmark, fuzzing).
    VemFilterJob(VemRasterSource& source, VemCustomSize custom, bool bAskPrinter);

    // The main loop; returns when the stream ended, a page failed or the
    // job was cancelled.  A page that cannot be read (bad header, short
    // pixels) ends the job only after the pages read before it are printed.
    void run();
    // End of job: withdraws the printer-state reasons the job still holds,
    // ends the document if every page read was printed and writes the
    // closing CUPS line.  Returns the exit status (0 or 1).
    int finish(bool bRasterOpened);

    int pagesRead() const { return pagesRead_; }
    int lastFinished() const { return lastFinished_; }

    // No single buffer of a page may exceed this many bytes; larger headers
    // are refused as out of memory.  Tests and fuzzing may lower it.
    static uint64_t s_nMaxBufferBytes;

private:
    // Pixels are read in pieces of this size; pages to be halftoned in
    // pieces small enough to stay in the cache until they are converted.
    static constexpr size_t kReadPiece = 1u << 20;
    static constexpr size_t kHalftonePiece = 128u << 10;

    struct Slot {
        // The page as read, or, for a page to be halftoned or a colour page
        // to be sent as gray, as converted while it was read (its rows fresh
        // in the cache): then its dots or its gray.  Left uninitialised:
        // only the pages of memory that the data arriving is written to are
        // ever touched, so a header claiming more than its stream holds
        // costs address space, not memory.
        std::unique_ptr<uint8_t[]> data;
        size_t capacity = 0;
        enum Form { Raw, Mono, Gray } form = Raw;
        // Room for `bytes`; false if memory is short.
        bool reserve(size_t bytes) {
            if (capacity >= bytes)
                return true;
            data.reset();
            capacity = 0;
            try {
                data = std::make_unique_for_overwrite<uint8_t[]>(bytes);
            } catch (const std::bad_alloc&) {
                return false;
            }
            capacity = bytes;
            return true;
        }
        size_t size = 0;  // bytes of the page held (bytes per line x height)
        int page = 0;     // 0 free, else the page number
        cups_page_header2_t header{};
        VemFeeds feeds{};
    };

    bool readPage(cups_page_header2_t& header, const VemFeeds& feeds);
    bool readRaw(Slot& slot, uint64_t bytes);
    bool readConverted(Slot& slot, const cups_page_header2_t& header);
    bool printSlot(Slot& slot);
    bool growImages(const cups_page_header2_t& header, bool bGrayImage);

    VemRasterSource& source_;
    VemCustomSize custom_;
    bool askPrinter_;
    Slot slots_[3];
    std::vector<uint8_t> gray_, work_, mono_;
    Slot piece_;                    // rows being converted as they are read
    std::vector<uint8_t> lastRgb_;  // the colour row whose gray is in gray_
    int attempts_ = 0;
    int pagesRead_ = 0;
    int failedReads_ = 0;
    int lastFinished_ = 0;
};
