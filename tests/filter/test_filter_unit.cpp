// In-process tests of the filter core: job options and PPD reads, device
// URIs and Ethernet frames, header checks and geometry, image conversion
// and the command bytes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "filter_test_util.h"
#include "rastertovem_core.h"

using vemtest::PpdSpec;
using vemtest::TempDir;
using Bytes = std::vector<uint8_t>;

namespace {

std::string hexdump(const Bytes& b) {
    std::string s;
    char buf[4];
    for (uint8_t v : b) {
        std::snprintf(buf, sizeof buf, "%02X ", v);
        s += buf;
    }
    return s;
}

// Each test starts from program start, with a PPD of its own in $PPD and the
// printer commands captured in a memory file.
class FilterCore : public ::testing::Test {
protected:
    void SetUp() override {
        resetFilterState();
        out_ = ::memfd_create("printer", MFD_CLOEXEC);
        g_nPrinterFd = out_;
        msgs_ = std::tmpfile();
        g_pCupsMsg = msgs_;
        usePpd(PpdSpec{});
    }
    void TearDown() override {
        g_nPrinterFd = 1;
        g_pCupsMsg = stderr;
        std::fclose(msgs_);
        ::close(out_);
        releasePPDResource();
        ::unsetenv("PPD");
    }
    void usePpd(const PpdSpec& spec) {
        vemtest::writeText(ppdPath_, vemtest::makePpd(spec));
        ::setenv("PPD", ppdPath_.c_str(), 1);
    }
    // Everything written to the printer since the last call.
    Bytes printed() {
        off_t end = ::lseek(out_, 0, SEEK_CUR);
        Bytes b(static_cast<size_t>(end));
        if (end > 0 && ::pread(out_, b.data(), b.size(), 0) != end)
            b.clear();
        (void)::ftruncate(out_, 0);
        ::lseek(out_, 0, SEEK_SET);
        return b;
    }
    std::string messages() {
        std::fflush(msgs_);
        std::string s;
        std::rewind(msgs_);
        char buf[512];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, msgs_)) > 0)
            s.append(buf, n);
        std::fclose(msgs_);
        msgs_ = std::tmpfile();
        g_pCupsMsg = msgs_;
        return s;
    }

    TempDir dir_;
    std::string ppdPath_ = dir_.file("queue.ppd");
    int out_ = -1;
    FILE* msgs_ = nullptr;
};

// ---- job options and the PPD -------------------------------------------------

TEST_F(FilterCore, OptionsFromJobTextKeepDefaultsOnInvalidValues) {
    // Out-of-range and non-numeric values keep the default; a keyword not
    // followed by "=" is ignored, and then the PPD is not asked either.
    usePpd(vemtest::ppdDefaults({{"CutType", "0"}, {"CutSetting", "5"}}));
    extractArgvOption("CutTypeX=1 CDPulse=x DitherType=3 PaperConservation=2 FontSize=7 noop");
    EXPECT_EQ(filterOption(OPT_CUT_TYPE), 1);
    EXPECT_EQ(filterOption(OPT_CD_PULSE), 3);
    EXPECT_EQ(filterOption(OPT_DITHER_TYPE), 3);
    EXPECT_EQ(filterOption(OPT_PAPER_CONSERVATION), 2);
    EXPECT_EQ(filterOption(OPT_FONT_SIZE), 0);
    EXPECT_EQ(filterOption(OPT_CUT_SETTING), 5);  // from the PPD default

    resetFilterState();
    extractArgvOption("CutType=7 CDPin=2 LogLevel=99999999999999");
    EXPECT_EQ(filterOption(OPT_CUT_TYPE), 1);
    EXPECT_EQ(filterOption(OPT_CD_PIN), 2);
    EXPECT_EQ(filterOption(OPT_LOG_LEVEL), 0);
}

TEST_F(FilterCore, OptionsFromPpdDefaultsAndMissingPpd) {
    usePpd(vemtest::ppdDefaults({{"CutSetting", "4"}, {"CDOpen", "0"}, {"DitherType", "9"}}));
    extractArgvOption("");
    EXPECT_EQ(filterOption(OPT_CUT_SETTING), 4);
    EXPECT_EQ(filterOption(OPT_CD_OPEN), 0);
    EXPECT_EQ(filterOption(OPT_DITHER_TYPE), 0);  // 9 is out of range: default kept
    ASSERT_TRUE(g_nPPDList[OPT_PAGE_SIZE].text.has_value());
    EXPECT_EQ(*g_nPPDList[OPT_PAGE_SIZE].text, "VEMP80");

    resetFilterState();
    ::setenv("PPD", dir_.file("missing.ppd").c_str(), 1);
    extractArgvOption(nullptr);
    EXPECT_EQ(filterOption(OPT_CUT_TYPE), 1);
    EXPECT_EQ(filterOption(OPT_PAPER_CONSERVATION), 1);
    EXPECT_FALSE(g_nPPDList[OPT_PAGE_SIZE].text.has_value());
    char nick[16] = "untouched";
    EXPECT_EQ(readPPDAttr("NickName", nick, sizeof nick), 0);
    EXPECT_STREQ(nick, "untouched");
}

TEST_F(FilterCore, CustomPageSizeStringFromJobOrPpd) {
    extractArgvOption("PageSize=Custom.80x200mm CutType=0");
    ASSERT_TRUE(g_nPPDList[OPT_PAGE_SIZE].text.has_value());
    EXPECT_EQ(*g_nPPDList[OPT_PAGE_SIZE].text, "80x200mm CutType=0");

    // A roll name carries no custom value: the PPD's current string (empty
    // here) is used, which stores nothing.
    resetFilterState();
    EXPECT_EQ(readPPDCustomOption(OPT_PAGE_SIZE, "VEMP58"), 0);
    // A PPD without the custom option stores nothing either.
    usePpd(vemtest::ppdNoCustom());
    EXPECT_EQ(readPPDCustomOption(OPT_PAGE_SIZE, "Custom.80x200mm"), 0);
    EXPECT_FALSE(g_nPPDList[OPT_PAGE_SIZE].text.has_value());
    // A numeric entry is not a custom string.
    EXPECT_EQ(readPPDCustomOption(OPT_CUT_TYPE, "Custom.1"), 0);
}

TEST_F(FilterCore, ReadAttributeCutsToBuffer) {
    char buf[8] = {};
    EXPECT_EQ(readPPDAttr("NickName", buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "KVRS-M2");
    char untouched[8] = "same";
    EXPECT_EQ(readPPDAttr("NoSuchAttr", untouched, sizeof untouched), 1);
    EXPECT_STREQ(untouched, "same");
}

TEST(FilterCommon, NumberAndCustomWords) {
    EXPECT_EQ(getOptionSelectIdx("3 CutType=1"), 3);
    EXPECT_EQ(getOptionSelectIdx("x"), -1);
    EXPECT_EQ(getOptionSelectIdx(""), -1);
    EXPECT_EQ(getOptionSelectIdx("99999999999999999999"), 2147483647);
    EXPECT_EQ(isCustomSelect("CUSTOM.1x2"), 1);
    EXPECT_EQ(isCustomSelect("Custo"), 0);
}

TEST(FilterCommon, InterfaceTypeOfUris) {
    EXPECT_EQ(getCUPSInterfaceType(nullptr), 0);
    EXPECT_EQ(getCUPSInterfaceType(""), 0);
    EXPECT_EQ(getCUPSInterfaceType("vemcupsintf://usb/1209/0002"), 5);
    EXPECT_EQ(getCUPSInterfaceType("vemcupsintf://eth/192.168.0.5/9100/3000"), 7);
    EXPECT_EQ(getCUPSInterfaceType("vemcupsintf://serial/19200/8/1/none/none/dev/ttyS0"), 6);
    EXPECT_EQ(getCUPSInterfaceType("vemcupsintf://serial/usb/x"), 5);  // USB is tested first
    EXPECT_EQ(getCUPSInterfaceType("vemcupsintf://parallel"), 0);
    EXPECT_EQ(getCUPSInterfaceType("usb://KVRS/M2A"), 1);
    EXPECT_EQ(getCUPSInterfaceType("serial:/dev/ttyS0"), 2);
    EXPECT_EQ(getCUPSInterfaceType("socket://127.0.0.1:9100"), 4);
    EXPECT_EQ(getCUPSInterfaceType("parallel:/dev/lp0"), 0);
}

TEST(FilterCommon, EthernetSequenceFrame) {
    g_SeqNumber = 16777216;
    const uint8_t cmd[3] = {0x10, 0x04, 0x10};
    uint8_t frame[8] = {};
    unsigned hdr = 0;
    EXPECT_EQ(configureEthSeqNum(frame, 6, cmd, 3, &hdr), -1);  // too small: nothing moves
    EXPECT_EQ(g_SeqNumber, 16777216);
    EXPECT_EQ(configureEthSeqNum(frame, sizeof frame, cmd, 3, &hdr), 16777216);
    EXPECT_EQ(hdr, 4u);
    EXPECT_EQ(Bytes(frame, frame + 7), (Bytes{0x00, 0x00, 0x00, 0x01, 0x10, 0x04, 0x10}));
    EXPECT_EQ(configureEthSeqNum(frame, sizeof frame, cmd, 3, &hdr), 1);
    EXPECT_EQ(Bytes(frame, frame + 4), (Bytes{0x01, 0x00, 0x00, 0x00}));
    EXPECT_EQ(configureEthSeqNum(frame, 4, cmd, 0xFFFFFFFFu, &hdr), -1);  // no wrap-around

    uint8_t reply[5] = {0x02, 0x00, 0x00, 0x00, 0xAB};
    removeEthSeq(reply, 5, 2);
    EXPECT_EQ(reply[0], 0xAB);
    uint8_t shortReply[3] = {1, 2, 3};
    removeEthSeq(shortReply, 3, 1);
    EXPECT_EQ(Bytes(shortReply, shortReply + 3), (Bytes{1, 2, 3}));
    g_SeqNumber = 1;
}

// ---- model, paper and headers ------------------------------------------------

TEST_F(FilterCore, ModelAndInterfaceFromPpdAndUri) {
    usePpd(vemtest::ppdNick("Receipt KVRSM1A (58/80)"));
    ASSERT_EQ(checkPrinterType("vemcupsintf://usb/1209/0001"), 1);
    EXPECT_EQ(g_uiModel, VEM_MODEL_M1A);
    EXPECT_EQ(g_pHWCap->anMaxWidth[0], 512);
    EXPECT_EQ(g_pHWCap->anMaxWidth[2], 360);
    EXPECT_EQ(Bytes(g_pHWCap->abStatusCmd, g_pHWCap->abStatusCmd + 4), (Bytes{0x17, 0x01, 0x10, 0}));

    resetFilterState();
    ASSERT_EQ(checkPrinterType("socket://127.0.0.1:9100"), 1);
    EXPECT_EQ(Bytes(g_pHWCap->abStatusCmd, g_pHWCap->abStatusCmd + 3), (Bytes{0x10, 0x04, 0x10}));
    resetFilterState();
    EXPECT_EQ(checkPrinterType("parallel:/dev/lp0"), 0);
    resetFilterState();
    usePpd(vemtest::ppdNick("Some other printer"));
    EXPECT_EQ(checkPrinterType("socket://127.0.0.1:9100"), 0);
}

TEST_F(FilterCore, PaperRollsAndCustomSizes) {
    VemCustomSize size{1, 1};
    checkPaperSize("media=VEMP58 PageSize=Custom.80x200mm", &size);
    EXPECT_EQ(g_HWNow.nPaper, 1);
    EXPECT_EQ(size.nWidth, 0);
    EXPECT_EQ(size.nHeight, 0);

    resetFilterState();
    size = {0, 0};
    checkPaperSize("media=Custom.50x100mm PageSize=Custom.80x200mm", &size);
    EXPECT_EQ(size.nWidth, 226);
    EXPECT_EQ(size.nHeight, 566);

    EXPECT_EQ(getCustomPage("Custom.80x200", &size), 0);
    EXPECT_EQ(size.nWidth, 80);
    EXPECT_EQ(size.nHeight, 200);
    EXPECT_EQ(getCustomPage("Custom.2x3in", &size), 3);
    EXPECT_EQ(size.nHeight, 216);
    EXPECT_EQ(getCustomPage("Custom.8x20cm", &size), 2);
    EXPECT_EQ(size.nHeight, 566);
    EXPECT_EQ(getCustomPage("Custom.1x1ft", &size), 4);
    EXPECT_EQ(size.nHeight, 864);
    EXPECT_EQ(getCustomPage("Custom.1x1.5m", &size), 5);
    EXPECT_EQ(size.nHeight, 4251);
    size = {7, 7};
    EXPECT_EQ(getCustomPage("Custom.80", &size), -1);
    EXPECT_EQ(size.nWidth, 7);
    // Exponents or giant numbers never turn into undefined conversions.
    EXPECT_EQ(getCustomPage("Custom.1e999x99999999999999999999mm", &size), 1);
    EXPECT_EQ(size.nHeight, 2147483647);

    EXPECT_EQ(isStandardPaperRoll("VEMP80"), 1);
    EXPECT_EQ(g_HWNow.nPaper, 0);
    EXPECT_EQ(isStandardPaperRoll("VEMP70"), 0);
    EXPECT_EQ(isStandardPaperRoll("A4"), 0);
}

TEST_F(FilterCore, HeaderChecksDeriveBitsPerPixel) {
    auto check = [](unsigned width, unsigned bpl, unsigned order = CUPS_ORDER_CHUNKED) {
        cups_page_header2_t h{};
        h.cupsWidth = width;
        h.cupsHeight = 10;
        h.cupsBytesPerLine = bpl;
        h.cupsColorOrder = static_cast<cups_order_t>(order);
        int ok = isValidCupsHeader(&h);
        return ok ? static_cast<int>(h.cupsBitsPerPixel) : -1;
    };
    EXPECT_EQ(check(576, 72), 1);
    EXPECT_EQ(check(576, 576), 8);
    EXPECT_EQ(check(576, 1728), 24);
    EXPECT_EQ(check(576, 1152), -1);
    EXPECT_EQ(check(576, 1728, CUPS_ORDER_BANDED), -1);
    EXPECT_EQ(check(576, 576, CUPS_ORDER_BANDED), 8);
    EXPECT_EQ(check(577, 73), -1);
    EXPECT_EQ(check(576, 0), -1);
    EXPECT_EQ(check(576, 10), -1);  // a 1-bit row too short for its width
    EXPECT_EQ(messages(),
              "ERROR: Unsupported raster format 16\nERROR: Unsupported color format 1\n"
              "ERROR: Unsupported width 577\nERROR: Invalid CUPS parameters\n"
              "ERROR: Invalid CUPS parameters\n");

    // KVRS-M1A with the large font prints nothing.
    setPrinterCapByModel(VEM_MODEL_M1A, 4);
    g_HWNow.nFont = 1;
    EXPECT_EQ(check(8, 1), -1);
    EXPECT_EQ(messages(), "ERROR: Unsupported width 8\n");
}

TEST_F(FilterCore, FeedsCompleteThePage) {
    cups_page_header2_t h{};
    h.HWResolution[1] = 203;
    h.PageSize[1] = 842;
    h.cupsHeight = 400;
    VemCustomSize custom{0, 200};
    VemFeeds feeds{};
    g_nPPDList[OPT_PAPER_CONSERVATION].value = 0;
    calcPageSize(&h, &custom, &feeds);
    EXPECT_EQ(feeds.nTop, 0);
    EXPECT_EQ(feeds.nBottom, 163);  // 200 pt = 563 dots
    custom = {0, 0};
    calcPageSize(&h, &custom, &feeds);
    EXPECT_EQ(feeds.nBottom, 842 * 203 / 72 - 400);
    h.cupsHeight = 5000;
    calcPageSize(&h, &custom, &feeds);
    EXPECT_EQ(feeds.nBottom, 0);
    h.cupsHeight = 400;
    for (int mode : {1, 3}) {
        g_nPPDList[OPT_PAPER_CONSERVATION].value = mode;
        calcPageSize(&h, &custom, &feeds);
        EXPECT_EQ(feeds.nBottom, 0);
    }
}

// ---- image conversion ------------------------------------------------------------

TEST(FilterConvert, GrayFromColourHandChecked) {
    const Bytes colour = {255, 255, 255, 0, 0, 0, 128, 128, 128, 255, 0, 0, 0, 255, 0, 0, 0, 255,
                          10,  200, 30};
    Bytes gray(7, 0xEE);
    ASSERT_EQ(prepareGrayScaleData(colour, gray), 1);
    // 10*0.299 + 200*0.587 + 30*0.114 = 2.99 + 117.4 + 3.42 = 123.81
    EXPECT_EQ(gray, (Bytes{255, 0, 128, 76, 149, 29, 123}));

    Bytes tooShort(2);
    EXPECT_EQ(prepareGrayScaleData(colour, tooShort), 0);
    const Bytes ragged = {1, 2, 3, 4};
    EXPECT_EQ(prepareGrayScaleData(ragged, gray), 0);
}

// Black dots of a uniform gray page converted by `method`.
size_t blackDots(uint8_t level, int method, unsigned width = 576, unsigned height = 64) {
    Bytes gray(size_t(width) * height, level), work(gray.size(), 0);
    Bytes mono((width + 7) / 8 * height, 0);
    if (prepareMonochromeData(gray, mono, work, width, height, 0, method) != 1)
        return SIZE_MAX;
    size_t n = 0;
    for (uint8_t b : mono)
        n += static_cast<size_t>(__builtin_popcount(b));
    return n;
}

TEST(FilterConvert, DitherStatistics) {
    const size_t total = 576 * 64;
    // Fixed threshold: 127 black, 128 white.
    EXPECT_EQ(blackDots(127, 0), total);
    EXPECT_EQ(blackDots(128, 0), 0u);
    // 4x4: 10 of the 16 thresholds exceed 100.
    EXPECT_EQ(blackDots(100, 1), total * 10 / 16);
    // 8x8: 39 of the 64 thresholds exceed 100.
    EXPECT_EQ(blackDots(100, 2), total * 39 / 64);
    EXPECT_EQ(blackDots(0, 2), total * 64 / 64);  // every threshold is at least 1
    // Error diffusion: half, three quarters, a quarter; the extremes stay.
    EXPECT_EQ(blackDots(128, 3), total / 2);
    EXPECT_NEAR(double(blackDots(64, 3)) / total, 0.75, 0.01);
    EXPECT_NEAR(double(blackDots(192, 3)) / total, 0.25, 0.01);
    EXPECT_EQ(blackDots(255, 3), 0u);
    EXPECT_EQ(blackDots(0, 3), total);
    // A width that is no multiple of 8 still fills whole rows.
    EXPECT_EQ(blackDots(0, 0, 13, 3), 39u);
}

TEST(FilterConvert, OrderedDitherUsesLinearPosition) {
    // Width 3: the matrix column comes from the pixel's index in the image,
    // so row 1 starts at matrix column 3.
    Bytes gray(6, 100), work(6, 0), mono(2, 0);
    ASSERT_EQ(prepareMonochromeData(gray, mono, work, 3, 2, 0, 1), 1);
    // Row 0: 165 71 103 -> black, white, black; row 1 (M4 row 1, columns
    // 3 0 1): 231 199 7 -> black, black, white.
    EXPECT_EQ(mono, (Bytes{0xA0, 0xC0}));
}

TEST(FilterConvert, RefusesBadArguments) {
    Bytes gray(64, 0), work(64, 0), mono(8, 0), small(7, 0);
    EXPECT_EQ(prepareMonochromeData(gray, mono, work, 8, 8, 1, 0), 0);
    EXPECT_EQ(prepareMonochromeData(gray, small, work, 8, 8, 0, 0), 0);
    EXPECT_EQ(prepareMonochromeData(gray, mono, work, 8, 8, 0, 4), 0);
    EXPECT_EQ(prepareMonochromeData(Bytes(10, 0), mono, work, 8, 8, 0, 0), 0);
    EXPECT_EQ(std::count(mono.begin(), mono.end(), 0), 8);
}

// ---- printer commands --------------------------------------------------------------

TEST_F(FilterCore, DocumentFramingWithDefaults) {
    extractArgvOption("");
    ASSERT_EQ(block_start_doc({}), 1);
    EXPECT_EQ(hexdump(printed()), "1B 40 1B 32 1B 4A 00 ");
    Bytes image(72 * 2, 0);
    image[0] = 0x80;
    ASSERT_EQ(printDocPage(true, 1, 1, image, 576, 2, VemFeeds{0, 0}), 1);
    Bytes page = printed();
    ASSERT_EQ(page.size(), 3 + 17 + 72 + 7 + 3u) << hexdump(page);
    EXPECT_EQ(hexdump(Bytes(page.begin(), page.begin() + 20)),
              "1B 4A 00 1D 38 4C 52 00 00 00 30 70 30 01 01 31 40 02 01 00 ");
    EXPECT_EQ(hexdump(Bytes(page.end() - 10, page.end())), "1D 28 4C 02 00 30 32 1B 4A 00 ");
    ASSERT_EQ(block_end_doc({}), 1);
    EXPECT_EQ(hexdump(printed()), "1B 4A 00 1B 4A 90 1B 6D ");
}

TEST_F(FilterCore, FeedsCutsAndDrawer) {
    ASSERT_EQ(cmd_print_feed(300), 1);
    EXPECT_EQ(hexdump(printed()), "1B 4A FF 1B 4A 2D ");
    ASSERT_EQ(cmd_print_feed(510), 1);
    EXPECT_EQ(hexdump(printed()), "1B 4A FF 1B 4A FF ");
    ASSERT_EQ(cmd_print_feed(0), 1);
    EXPECT_EQ(hexdump(printed()), "1B 4A 00 ");

    const char* expectDoc[] = {"1B 4A 90 1B 6D ", "1B 4A 90 ", "1B 6D ", "", "", "", ""};
    const char* expectPage[] = {"", "", "", "", "1B 4A 90 1B 69 ", "1B 4A 90 ", "1B 69 "};
    for (int s = 0; s <= 6; ++s) {
        ASSERT_EQ(block_check_cut(1, 0, s, 144), 1);
        EXPECT_EQ(hexdump(printed()), expectDoc[s]) << "CutSetting " << s << " document end";
        ASSERT_EQ(block_check_cut(0, 1, s, 144), 1);
        EXPECT_EQ(hexdump(printed()), expectPage[s]) << "CutSetting " << s << " page end";
    }

    block_check_drawer(0, 1, 1, 3);
    EXPECT_EQ(hexdump(printed()), "1B 70 00 64 64 ");
    block_check_drawer(1, 1, 1, 3);  // pulse belongs to the end
    block_check_drawer(0, 0, 1, 3);  // no pin
    EXPECT_EQ(hexdump(printed()), "");
    block_check_drawer(1, 2, 0, 9);
    EXPECT_EQ(hexdump(printed()), "1B 70 01 FA FA ");
}

TEST_F(FilterCore, BandsOfAThousandRows) {
    Bytes image(72 * 2500, 0xFF);
    ASSERT_EQ(printBitmapType2Cmd(true, 0, image, 576, 2500), 1);
    Bytes b = printed();
    ASSERT_EQ(b.size(), 3 * (17 + 7) + image.size());
    EXPECT_EQ(hexdump(Bytes(b.begin(), b.begin() + 17)),
              "1D 38 4C 4A 19 01 00 30 70 30 01 01 31 40 02 E8 03 ");
    const size_t second = 17 + 72000 + 7;
    EXPECT_EQ(b[second + 15], 0xE8);
    const size_t third = 2 * second;
    EXPECT_EQ(hexdump(Bytes(b.begin() + third + 15, b.begin() + third + 17)), "F4 01 ");
    // A band never reads past the image.
    EXPECT_EQ(printBitmapType2Cmd(true, 0, image, 576, 2501), 0);
}

TEST_F(FilterCore, GrayFourPlanes) {
    // One row of 8 pixels: darkness 15 - v/16 spread over four planes.
    const Bytes gray = {0, 15, 16, 128, 200, 239, 240, 255};
    ASSERT_EQ(printBitmapType2Cmd(false, 0, gray, 8, 1), 1);
    Bytes b = printed();
    ASSERT_EQ(b.size(), 4 * (17 + 1) + 7u) << hexdump(b);
    // darkness: 15 15 14 7 3 1 0 0
    const uint8_t planes[4] = {0xE0, 0xF0, 0xF8, 0xDC};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(b[18 * i + 9], 0x34);
        EXPECT_EQ(b[18 * i + 12], 0x31 + i);
        EXPECT_EQ(b[18 * i + 17], planes[i]) << "plane " << i;
    }
    EXPECT_EQ(hexdump(Bytes(b.end() - 7, b.end())), "1D 28 4C 02 00 30 32 ");
}

TEST_F(FilterCore, PaperConservationTrims) {
    // 100 rows, rows 10..89 inked.
    Bytes mono(72 * 100, 0);
    for (unsigned r = 10; r < 90; ++r)
        mono[72 * r + 5] = 0x01;
    unsigned h = 100;
    EXPECT_EQ(checkPaperConservation(3, true, mono, 576, &h), 10u);
    EXPECT_EQ(h, 90u);
    h = 100;
    EXPECT_EQ(checkPaperConservation(1, true, mono, 576, &h), 0u);
    EXPECT_EQ(h, 90u);
    h = 100;
    EXPECT_EQ(checkPaperConservation(2, true, mono, 576, &h), 10u);
    EXPECT_EQ(h, 100u);
    h = 100;
    EXPECT_EQ(checkPaperConservation(0, true, mono, 576, &h), 0u);
    EXPECT_EQ(h, 100u);
    // Blank pages print nothing in every trimming mode; gray blank is FF.
    Bytes white(16 * 4, 0xFF);
    for (int mode = 1; mode <= 3; ++mode) {
        unsigned g = 4;
        unsigned first = checkPaperConservation(mode, false, white, 16, &g);
        EXPECT_FALSE(first < g) << "mode " << mode;
    }
}

// ---- writing to the printer ------------------------------------------------------------

TEST_F(FilterCore, SendSurvivesShortWritesAndReportsFailures) {
    // A non-blocking pipe far smaller than the data: every byte still
    // arrives, in order.
    int p[2];
    ASSERT_EQ(::pipe2(p, O_CLOEXEC | O_NONBLOCK), 0);
    ::fcntl(p[1], F_SETPIPE_SZ, 4096);
    Bytes data(200000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7);
    Bytes got;
    std::thread reader([&] {
        uint8_t buf[1000];
        for (;;) {
            ssize_t n = ::read(p[0], buf, sizeof buf);
            if (n > 0)
                got.insert(got.end(), buf, buf + n);
            else if (n == 0)
                break;
            else
                std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    g_nPrinterFd = p[1];
    EXPECT_EQ(sendToPrinter(data.data(), data.size()), 1);
    ::close(p[1]);
    reader.join();
    ::close(p[0]);
    EXPECT_TRUE(got == data);

    // A reader that has gone: failure, reported, without SIGPIPE.
    ASSERT_EQ(::pipe2(p, O_CLOEXEC), 0);
    ::close(p[0]);
    g_nPrinterFd = p[1];
    struct sigaction ign = {}, old = {};
    ign.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ign, &old);
    const uint8_t cmd[3] = {1, 2, 3};
    EXPECT_EQ(sendToPrinter(cmd, 3), 0);
    EXPECT_EQ(cmd_initialize(), 0);
    ::sigaction(SIGPIPE, &old, nullptr);
    ::close(p[1]);
}

}  // namespace
