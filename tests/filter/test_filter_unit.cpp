// In-process tests of the filter core: job options and PPD reads, device
// URIs and Ethernet frames, header checks and geometry, image conversion
// and the command bytes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>

#include <fstream>

#include "VEMLogging.h"
#include "filter_test.h"
#include "rastertovem_core.h"

using vemtest::kM2A;
using Bytes = std::vector<uint8_t>;

namespace {

std::string hex(const Bytes& b) {
    std::string s;
    char buf[4];
    for (uint8_t v : b) s += (std::snprintf(buf, sizeof buf, "%02X ", v), buf);
    return s;
}

// Each test starts from program start, with a PPD of its own in $PPD, the
// printer commands in a memory file and the CUPS lines in a temporary one.
class FilterCore : public ::testing::Test {
  protected:
    void SetUp() override {
        resetFilterState();
        g_nPrinterFd = out_ = ::memfd_create("printer", MFD_CLOEXEC);
        g_pCupsMsg = msgs_ = std::tmpfile();
        usePpd();
    }
    void TearDown() override {
        g_nPrinterFd = 1;
        g_pCupsMsg = stderr;
        std::fclose(msgs_);
        ::close(out_);
        releasePPDResource();
        ::unsetenv("PPD");
    }
    void usePpd(const std::string& nick = kM2A, const std::string& defaults = "") {
        vemtest::writePpd(ppd_, nick, defaults);
        ::setenv("PPD", ppd_.c_str(), 1);
    }
    // Everything written since the last call, from the printer or as CUPS lines.
    std::string printed() {
        Bytes b(static_cast<size_t>(::lseek(out_, 0, SEEK_CUR)));
        if (::pread(out_, b.data(), b.size(), 0) != static_cast<ssize_t>(b.size())) b.clear();
        (void)!::ftruncate(out_, 0);
        ::lseek(out_, 0, SEEK_SET);
        return hex(b);
    }
    std::string messages() {
        std::string s(static_cast<size_t>(std::ftell(msgs_)), '\0');
        std::rewind(msgs_);
        s.resize(std::fread(s.data(), 1, s.size(), msgs_));
        std::rewind(msgs_);
        (void)!::ftruncate(::fileno(msgs_), 0);
        return s;
    }

    vemtest::TempDir dir_;
    std::string ppd_ = dir_.file("queue.ppd");
    int out_ = -1;
    FILE* msgs_ = nullptr;
};

// ---- job options, the PPD, URIs and frames ---------------------------------

TEST_F(FilterCore, OptionsFromJobThenPpdDefaults) {
    // Invalid or out-of-range job values keep the default; an option the job
    // does not name comes from the PPD (itself checked against the range).
    usePpd(kM2A, "CutType=0 CutSetting=5 DitherType=9");
    extractArgvOption(
        "CutTypeX=1 CDPulse=x PaperConservation=2 FontSize=7 LogLevel=99999999999 noop");
    const std::pair<VemFilterOption, int> expect[] = {
        {OPT_CUT_TYPE, 1},  {OPT_CD_PULSE, 3},    {OPT_PAPER_CONSERVATION, 2}, {OPT_FONT_SIZE, 0},
        {OPT_LOG_LEVEL, 0}, {OPT_CUT_SETTING, 5}, {OPT_DITHER_TYPE, 0}};
    for (auto [opt, value] : expect) EXPECT_EQ(filterOption(opt), value) << "option " << opt;
    EXPECT_EQ(g_nPPDList[OPT_PAGE_SIZE].text.value_or("none"), "VEMP80");

    // The custom size string of the job wins over the PPD.
    resetFilterState();
    extractArgvOption("PageSize=Custom.80x200mm CutType=0");
    EXPECT_EQ(g_nPPDList[OPT_PAGE_SIZE].text.value_or("none"), "80x200mm CutType=0");
    EXPECT_EQ(filterOption(OPT_CUT_TYPE), 0);
    // A missing PPD leaves every default untouched.
    resetFilterState();
    ::setenv("PPD", dir_.file("missing.ppd").c_str(), 1);
    extractArgvOption(nullptr);
    EXPECT_EQ(filterOption(OPT_PAPER_CONSERVATION), 1);
    EXPECT_FALSE(g_nPPDList[OPT_PAGE_SIZE].text.has_value());
    usePpd();
    char cut[8] = {};
    EXPECT_EQ(readPPDAttr("NickName", cut, sizeof cut), 1);
    EXPECT_STREQ(cut, "KVRS-M2");
}

TEST(FilterCommon, WordsUrisAndEthernetFrames) {
    EXPECT_EQ(getOptionSelectIdx("3 CutType=1"), 3);
    EXPECT_EQ(getOptionSelectIdx("x"), -1);
    EXPECT_EQ(getOptionSelectIdx("99999999999999999999"), 2147483647);
    EXPECT_EQ(isCustomSelect("CUSTOM.1x2") * 2 + isCustomSelect("Custo"), 2);

    const std::pair<const char*, int> uris[] = {{"vemcupsintf://serial/usb/x", 5},  // USB first
                                                {"vemcupsintf://eth/10.0.0.5/9100/3000", 7},
                                                {"vemcupsintf://parallel", 0},
                                                {"serial:/dev/ttyS0", 2},
                                                {"parallel:/dev/lp0", 0}};
    for (auto [uri, type] : uris) EXPECT_EQ(getCUPSInterfaceType(uri), type) << uri;

    // The sequence number wraps after 2^24; too small a buffer moves nothing.
    g_SeqNumber = 16777216;
    const uint8_t cmd[3] = {0x10, 0x04, 0x10};
    uint8_t frame[8] = {};
    unsigned hdr = 0;
    EXPECT_EQ(configureEthSeqNum(frame, 6, cmd, 3, &hdr), -1);
    EXPECT_EQ(configureEthSeqNum(frame, 4, cmd, 0xFFFFFFFFu, &hdr), -1);
    EXPECT_EQ(configureEthSeqNum(frame, sizeof frame, cmd, 3, &hdr), 16777216);
    EXPECT_EQ(hex(Bytes(frame, frame + 7)), "00 00 00 01 10 04 10 ");
    EXPECT_EQ(configureEthSeqNum(frame, sizeof frame, cmd, 3, &hdr), 1);
    uint8_t reply[5] = {0x02, 0x00, 0x00, 0x00, 0xAB}, shortReply[3] = {1, 2, 3};
    removeEthSeq(reply, 5, 2);
    removeEthSeq(shortReply, 3, 1);
    EXPECT_EQ(hex(Bytes{reply[0], shortReply[0], shortReply[1], shortReply[2]}), "AB 01 02 03 ");
    g_SeqNumber = 1;
}

// ---- model, paper and headers ------------------------------------------------

TEST_F(FilterCore, ModelPaperAndCustomSizes) {
    usePpd("Receipt KVRSM1A (58/80)");
    ASSERT_EQ(checkPrinterType("vemcupsintf://usb/1209/0001"), 1);
    EXPECT_EQ(g_uiModel, VEM_MODEL_M1A);
    EXPECT_EQ(g_pHWCap->anMaxWidth[0] * 1000 + g_pHWCap->anMaxWidth[2], 512360);
    EXPECT_EQ(hex(Bytes(g_pHWCap->abStatusCmd, g_pHWCap->abStatusCmd + 3)), "17 01 10 ");
    resetFilterState();
    EXPECT_EQ(checkPrinterType("parallel:/dev/lp0"), 0);
    resetFilterState();
    usePpd("Some other printer");
    EXPECT_EQ(checkPrinterType("socket://127.0.0.1:9100"), 0);

    // A roll name wins over a custom size; the custom PageSize is taken in points.
    VemCustomSize size{1, 1};
    checkPaperSize("media=VEMP58 PageSize=Custom.80x200mm", &size);
    EXPECT_EQ(g_HWNow.nPaper, 1);
    EXPECT_EQ(size.nWidth + size.nHeight, 0);
    resetFilterState();
    checkPaperSize("media=Custom.50x100mm PageSize=Custom.80x200mm", &size);
    EXPECT_EQ(size.nWidth * 1000 + size.nHeight, 226566);

    // Units, heights in points; nonsense never becomes undefined arithmetic.
    const struct { const char* text; int unit, height; } custom[] = {
        {"Custom.2x3in", 3, 216}, {"Custom.1x1.5m", 5, 4251},
        {"Custom.1e999x99999999999999999999mm", 1, 2147483647}, {"Custom.80", -1, 2147483647}};
    for (auto [text, unit, height] : custom) {
        EXPECT_EQ(getCustomPage(text, &size), unit) << text;
        EXPECT_EQ(size.nHeight, height) << text;
    }
    EXPECT_EQ(isStandardPaperRoll("VEMP80") + isStandardPaperRoll("VEMP70"), 1);
}

TEST_F(FilterCore, HeaderChecksAndFeeds) {
    // Bits per pixel follow from width and bytes per line, and the header
    // must agree with them; each refusal writes its own line.
    constexpr auto K = CUPS_CSPACE_K, W = CUPS_CSPACE_W, SW = CUPS_CSPACE_SW, RGB = CUPS_CSPACE_RGB;
    constexpr auto CHUNKED = CUPS_ORDER_CHUNKED, BANDED = CUPS_ORDER_BANDED;
    // clang-format off
    const struct { unsigned width, bpl, bpp, bpc; cups_cspace_t cs; cups_order_t order; unsigned height; int result; const char* line; } cases[] = {
        {576, 72, 1, 1, K, CHUNKED, 10, 1, ""}, {576, 576, 8, 8, SW, BANDED, 10, 8, ""},
        {576, 1728, 24, 8, CUPS_CSPACE_SRGB, CHUNKED, 10, 24, ""}, {576, 578, 8, 8, W, CHUNKED, 10, 8, ""},
        {576, 1152, 16, 16, W, CHUNKED, 10, -1, "ERROR: Unsupported raster format 16\n"},
        {576, 144, 2, 2, K, CHUNKED, 10, -1, "ERROR: Unsupported raster format 2\n"},
        {576, 72, 1, 1, W, CHUNKED, 10, -1, "ERROR: Unsupported raster format 1\n"},
        {576, 576, 8, 8, K, CHUNKED, 10, -1, "ERROR: Unsupported raster format 8\n"},
        {576, 576, 8, 1, W, CHUNKED, 10, -1, "ERROR: Unsupported raster format 8\n"},
        {576, 1728, 24, 8, K, CHUNKED, 10, -1, "ERROR: Unsupported raster format 24\n"},
        {576, 1728, 8, 8, RGB, BANDED, 10, -1, "ERROR: Unsupported color format 1\n"},
        // Too wide by one dot: millimetres with a decimal, so the widths differ.
        {577, 73, 1, 1, K, CHUNKED, 10, -1, "ERROR: The page is 72.2 mm wide, wider than the 72.1 mm the printer prints on this roll; "
         "sizes that fit: VEMP80 (72 mm), VEMP58 (50 mm), or a custom size at most 72 mm wide\nERROR: Unsupported width 577\n"},
        {576, 0, 1, 1, K, CHUNKED, 10, -1, "ERROR: Invalid CUPS parameters\n"},
        {576, 10, 1, 1, K, CHUNKED, 10, -1, "ERROR: Invalid CUPS parameters\n"},
        {576, 72, 1, 1, K, CHUNKED, kDefaultMaxPageDots, 1, ""},
        {576, 72, 1, 1, K, CHUNKED, kDefaultMaxPageDots + 1, -1, "ERROR: Invalid CUPS parameters\n"}};
    // clang-format on
    for (const auto& c : cases) {
        cups_page_header2_t h{};
        h.cupsWidth = c.width;
        h.cupsHeight = c.height;
        h.cupsBytesPerLine = c.bpl;
        h.cupsBitsPerPixel = c.bpp;
        h.cupsBitsPerColor = c.bpc;
        h.cupsColorSpace = c.cs;
        h.cupsColorOrder = c.order;
        const int ok = isValidCupsHeader(&h);
        EXPECT_EQ(ok ? static_cast<int>(h.cupsBitsPerPixel) : -1, c.result)
            << c.width << "/" << c.bpl << "/" << c.bpp << "/" << c.cs;
        EXPECT_EQ(messages(), c.line);
    }

    // The longest page comes from the PPD's custom length (3276 points).
    g_uiMaxPageDots = 1;
    ASSERT_EQ(checkPrinterType("socket://127.0.0.1:9100"), 1);
    EXPECT_EQ(g_uiMaxPageDots, 3276u * 203 / 72);

    // The bottom feed completes the page (or the custom height) unless
    // trimming is on or the raster is longer.
    cups_page_header2_t h{};
    h.HWResolution[1] = 203;
    h.PageSize[1] = 842;
    // clang-format off
    const struct { int conservation, customPt; unsigned rows; int bottom; } feeds[] = {
        {0, 200, 400, 163}, {0, 0, 400, 842 * 203 / 72 - 400}, {0, 0, 5000, 0}, {1, 0, 400, 0}, {3, 0, 400, 0}};
    // clang-format on
    for (auto f : feeds) {
        g_nPPDList[OPT_PAPER_CONSERVATION].value = f.conservation;
        h.cupsHeight = f.rows;
        VemCustomSize custom{0, f.customPt};
        VemFeeds out{-1, -1};
        EXPECT_EQ(calcPageSize(&h, &custom, &out), 1);
        EXPECT_EQ(out.nTop, 0);
        EXPECT_EQ(out.nBottom, f.bottom) << f.conservation << "/" << f.customPt << "/" << f.rows;
    }
    // A length beyond the longest page is refused whether or not its feed
    // would be dropped, from the header or from a custom size.
    EXPECT_EQ(messages(), "");
    for (int conservation : {0, 1}) {
        g_nPPDList[OPT_PAPER_CONSERVATION].value = conservation;
        h.cupsHeight = 1;
        h.PageSize[1] = h.HWResolution[1] = 0xFFFFFFFFu;
        VemCustomSize none{0, 0}, custom{226, 3277};
        VemFeeds out{};
        EXPECT_EQ(calcPageSize(&h, &none, &out), 0);
        h.PageSize[1] = 100, h.HWResolution[1] = 203;
        EXPECT_EQ(calcPageSize(&h, &custom, &out), 0);
        EXPECT_EQ(messages(), "ERROR: Invalid CUPS parameters\nERROR: Invalid CUPS parameters\n");
    }
}

// ---- image conversion ------------------------------------------------------------

TEST(FilterConvert, GrayFromColourHandChecked) {
    const Bytes colour = {255, 255, 255, 0, 0, 0, 128, 128, 128, 255, 0,
                          0,   0,   255, 0, 0, 0, 255, 10,  200, 30};
    Bytes gray(7, 0xEE), tooShort(2);
    ASSERT_EQ(prepareGrayScaleData(colour, gray), 1);
    // 10*0.299 + 200*0.587 + 30*0.114 = 2.99 + 117.4 + 3.42 = 123.81
    EXPECT_EQ(hex(gray), hex({255, 0, 128, 76, 149, 29, 123}));
    EXPECT_EQ(prepareGrayScaleData(colour, tooShort), 0);
    EXPECT_EQ(prepareGrayScaleData(Bytes{1, 2, 3, 4}, gray), 0);
}

TEST(FilterConvert, DitherStatisticsOfUniformGray) {
    // Black dots of a 576 x 64 page of one gray level, per method.
    const size_t total = 576 * 64;
    // clang-format off
    const struct { uint8_t level; int method; double share, tolerance; } cases[] = {
        {127, 0, 1.0, 0}, {128, 0, 0.0, 0},        // fixed threshold at 128
        {100, 1, 10 / 16.0, 0},                    // 10 of 16 thresholds above 100
        {100, 2, 39 / 64.0, 0}, {0, 2, 1.0, 0},    // 39 of 64; every threshold >= 1
        {128, 3, 0.5, 0}, {64, 3, 0.75, 0.01}, {192, 3, 0.25, 0.01}, {255, 3, 0.0, 0}, {0, 3, 1.0, 0}};
    // clang-format on
    for (auto c : cases) {
        Bytes gray(total, c.level), work(total, 0), mono(72 * 64, 0);
        ASSERT_EQ(prepareMonochromeData(gray, mono, work, 576, 64, 0, c.method), 1);
        size_t black = 0;
        for (uint8_t b : mono) black += static_cast<size_t>(__builtin_popcount(b));
        EXPECT_NEAR(double(black) / total, c.share, c.tolerance)
            << "gray " << int(c.level) << ", method " << c.method;
    }
}

TEST(FilterConvert, OrderedDitherPositionAndRefusals) {
    // Width 3: the matrix column comes from the pixel's index in the image,
    // so row 1 starts at column 3 of 4x4 row 1.  Row 0: 165 71 103 -> black,
    // white, black; row 1: 231 199 7 -> black, black, white.
    Bytes gray(6, 100), work(6, 0), mono(2, 0);
    ASSERT_EQ(prepareMonochromeData(gray, mono, work, 3, 2, 0, 1), 1);
    EXPECT_EQ(hex(mono), "A0 C0 ");
    // A width that is no multiple of 8 leaves the row padding white.
    Bytes g13(39, 0), w13(39, 0), m13(6, 0);
    ASSERT_EQ(prepareMonochromeData(g13, m13, w13, 13, 3, 0, 0), 1);
    EXPECT_EQ(hex(m13), "FF F8 FF F8 FF F8 ");

    // Too small an image is refused untouched.
    Bytes g64(64, 0), w64(64, 0), m7(7, 0);
    EXPECT_EQ(prepareMonochromeData(g64, m7, w64, 8, 8, 0, 0), 0);
    EXPECT_EQ(prepareMonochromeData(Bytes(10, 0), m7, w64, 8, 7, 0, 0), 0);
    EXPECT_EQ(hex(m7), hex(Bytes(7, 0)));
}

// ---- printer commands --------------------------------------------------------------

TEST_F(FilterCore, CommandBytes) {
    // The exact graphics bytes of one band (the end-to-end tests decode the rest).
    extractArgvOption("");
    Bytes image(72 * 2, 0);
    ASSERT_EQ(printDocPage(true, 1, 1, image, 576, 2, VemFeeds{0, 0}), 1);
    EXPECT_EQ(printed(), "1B 4A 00 1B 4A 00 ");  // a blank page trims to nothing
    image[0] = 0x80;
    ASSERT_EQ(printDocPage(true, 1, 1, image, 576, 2, VemFeeds{0, 0}), 1);
    const std::string page = printed();
    EXPECT_EQ(page.substr(0, 60), "1B 4A 00 1D 38 4C 52 00 00 00 30 70 30 01 01 31 40 02 01 00 ");
    EXPECT_EQ(page.substr(page.size() - 30), "1D 28 4C 02 00 30 32 1B 4A 00 ");
    // Feeds longer than 255 dots are split.
    ASSERT_EQ(cmd_print_feed(300), 1);
    EXPECT_EQ(printed(), "1B 4A FF 1B 4A 2D ");

    // Gray: darkness 15 - v/16 spread over four planes, one print.
    // Darkness of the row: 15 15 14 7 3 1 0 0.
    ASSERT_EQ(printBitmapType2Cmd(false, 0, Bytes{0, 15, 16, 128, 200, 239, 240, 255}, 8, 1), 1);
    const std::string planes = printed();
    const char* expect[4] = {"E0", "F0", "F8", "DC"};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(planes.substr(54 * i + 27, 2), "34");                    // gray tone
        EXPECT_EQ(planes.substr(54 * i + 36, 2), std::to_string(31 + i));  // plane
        EXPECT_EQ(planes.substr(54 * i + 51, 2), expect[i]) << "plane " << i;
    }
    // A band never reads past the image.
    EXPECT_EQ(printBitmapType2Cmd(true, 0, Bytes(72 * 10), 576, 11), 0);
}

TEST_F(FilterCore, DeadReaderEndsTheSendAndTheLogStaysShort) {
    // A reader that has gone: the send fails without SIGPIPE, one line is
    // logged for a whole band (not one per byte), and nothing more is tried.
    const std::string log = dir_.file("filter.log");
    ASSERT_EQ(SetLogFilename(log.c_str()), 1);
    SetLogFileCount(1), SetLogLevel(1);
    int p[2];
    ASSERT_EQ(::pipe2(p, O_CLOEXEC), 0);
    ::close(p[0]);
    g_nPrinterFd = p[1];
    struct sigaction ign = {}, old = {};
    ign.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ign, &old);
    EXPECT_EQ(printBitmapType2Cmd(true, 0, Bytes(72 * 1000, 0xAA), 576, 1000), 0);
    EXPECT_EQ(g_bPrinterGone, 1);
    EXPECT_EQ(cmd_initialize(), 0);
    ::sigaction(SIGPIPE, &old, nullptr);
    ::close(p[1]);
    SetLogLevel(0), CancelLogFile();
    std::ifstream in(log);
    int lines = 0, dataLines = 0;
    for (std::string l; std::getline(in, l); ++lines) dataLines += l.find("Data:0x") != std::string::npos;
    EXPECT_EQ(dataLines, 1);
    EXPECT_LE(lines, 4);
}

TEST_F(FilterCore, DrawerOrDocumentEndThatFailsFailsTheJob) {
    // The printer takes `room` bytes and then no more (a sealed file).
    auto printerWithRoom = [&](off_t room) {
        ::close(out_);
        out_ = ::memfd_create("printer", MFD_CLOEXEC | MFD_ALLOW_SEALING);
        EXPECT_EQ(::ftruncate(out_, room), 0);
        EXPECT_EQ(::fcntl(out_, F_ADD_SEALS, F_SEAL_GROW), 0);
        g_nPrinterFd = out_;
    };
    extractArgvOption("CDPin=1 CDOpen=0 CutSetting=3");
    printerWithRoom(7);  // the start of the document, not its drawer pulse
    EXPECT_EQ(block_start_doc({}), 0);
    g_nPPDList[OPT_CD_OPEN].value = 1;
    printerWithRoom(3);  // the end's feed, not its drawer pulse
    EXPECT_EQ(block_end_doc({}), 0);
    EXPECT_EQ(g_bPrinterGone, 0);  // a full printer is not a dead one

    // An empty job whose end cannot be written is not a success.
    printerWithRoom(0);
    struct NoPages final : VemRasterSource {
        bool readHeader(cups_page_header2_t&) override { return false; }
        unsigned readPixels(uint8_t*, unsigned) override { return 0; }
    } none;
    VemFilterJob job(none, VemCustomSize{0, 0}, false);
    job.run();
    EXPECT_EQ(job.finish(true), 1);
    EXPECT_EQ(messages(), "INFO: Printing not complete\n");
    printerWithRoom(64);
    VemFilterJob again(none, VemCustomSize{0, 0}, false);
    again.run();
    EXPECT_EQ(again.finish(true), 0);
    EXPECT_EQ(messages(), "INFO: Printing success\n");
}

TEST(FilterConvert, GrayOfEveryColourFollowsTheRule) {
    // Every one of the 2^24 colours gives the gray of the rule itself.
    const auto rule = [](unsigned r, unsigned g, unsigned b) {
        float sum = static_cast<float>(r * 0.299) + static_cast<float>(g * 0.587);
        sum = sum + static_cast<float>(b * 0.114);
        return static_cast<uint8_t>(sum);
    };
    Bytes colour(256 * 3), gray(256);
    long wrong = 0;
    for (unsigned r = 0; r < 256; ++r)
        for (unsigned g = 0; g < 256; ++g) {
            for (unsigned b = 0; b < 256; ++b)
                colour[3 * b] = static_cast<uint8_t>(r), colour[3 * b + 1] = static_cast<uint8_t>(g),
                colour[3 * b + 2] = static_cast<uint8_t>(b);
            vemGrayRow(colour.data(), gray.data(), 256);
            for (unsigned b = 0; b < 256; ++b)
                if (gray[b] != rule(r, g, b) && ++wrong <= 5)
                    ADD_FAILURE() << r << "," << g << "," << b << ": " << int(gray[b]);
        }
    EXPECT_EQ(wrong, 0);
}

}  // namespace
