// The real rastertovem program, run as CUPS runs it, its output decoded by
// the emulator core and compared with what the job options ask for.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <tuple>

#include "filter_test.h"
#include "rastertovem_core.h"

using namespace vemtest;

namespace {

constexpr const char* kSocketUri = "socket://127.0.0.1:9100";

// A page: rows 0..9 and the last 10 rows blank, in between a pattern that
// differs per row and column; or solid black.
Page banded(unsigned bpp, unsigned height = 100) {
    return makePage(576, height, bpp, [height](unsigned r, unsigned c) {
        return r < 10 || r >= height - 10 || (r / 3 + c / 5) % 3 != 0 ? 255 : 0;
    });
}
Page solid(unsigned width, unsigned height, unsigned bpp = 1) {
    return makePage(width, height, bpp);
}
Page headerOnly(Page p) {
    p.headerOnly = true;
    return p;
}

// How often `piece` occurs in `text`.
size_t count(const std::string& text, const std::string& piece) {
    size_t n = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
    return n;
}

// The text pieces appear in this order.
bool inOrder(const std::string& text, const std::vector<std::string>& pieces) {
    size_t at = 0;
    for (const auto& p : pieces) {
        if ((at = text.find(p, at)) == std::string::npos) return false;
        at += p.size();
    }
    return true;
}

class FilterJob : public ::testing::Test {
  protected:
    // Runs one job with the raster as a file argument.
    Result job(const std::vector<Page>& pages, const std::string& options, FilterRun run = {}) {
        EXPECT_TRUE(writeRaster(raster_, pages));
        run.args = {"42", "tester", "receipt", "1", options, raster_};
        run.ppd = ppd_;
        return runFilter(run);
    }
    TempDir dir_;
    std::string ppd_ = dir_.file("queue.ppd"), raster_ = dir_.file("job.ras");
};

// ---- command streams -----------------------------------------------------------

#define START "init spacing feed:0 "
#define END "feed:0 feed:144 cut:partial "
#define BAND(w, h) "store:mono:1:" #w "x" #h " print:mono:" #w "x" #h " "
#define PAGE(w, h) "feed:0 " BAND(w, h) "feed:0 "
#define PAGE2(cut) PAGE(576, 30) cut PAGE(576, 30) cut "feed:0 "

struct Stream {
    const char* name;
    std::vector<Page> pages;
    const char* options;
    const char* expect;  // the decoded command stream
    const char* ppdDefaults = "";
    const char* nick = "KVRS-M2A KVRSM2A Receipt";
    int status = 0;
    std::vector<std::string> lines = {};  // in this order on standard error
    const char* uri = nullptr;            // default: the own backend's side channel
    bool deadOutput = false;              // nobody reads the commands
};

// A page whose header says what a rasterizer would not: `edit` changes it.
Page odd(Page p, std::function<void(cups_page_header2_t&)> edit, bool withPixels = false) {
    p.adjust = std::move(edit);
    p.headerOnly = !withPixels;
    return p;
}
// A page header of 576 dots with the given depth, colour space and order;
// a line holds `colours` bands of bits per colour when banded.
Page depth(unsigned bitsPerPixel, unsigned bitsPerColor, cups_cspace_t cs,
           cups_order_t order = CUPS_ORDER_CHUNKED, unsigned colours = 1) {
    Page p = solid(576, 10);
    p.bytesPerLine = (576 * bitsPerPixel + 7) / 8 * colours;
    return odd(p, [=](cups_page_header2_t& h) {
        h.cupsBitsPerPixel = bitsPerPixel, h.cupsBitsPerColor = bitsPerColor;
        h.cupsColorSpace = cs, h.cupsColorOrder = order;
    });
}

TEST_F(FilterJob, CommandStreams) {
    const Page stripes = makePage(576, 30, 1, [](unsigned r, unsigned) { return r % 2 ? 0 : 255; });
    Page banded8 = banded(8);
    banded8.pageHeightPt = 106;  // 298 dots
    // A one-row page claiming 2^32 - 1 points at 2^32 - 1 dots per inch:
    // hundreds of kilometres of feed.  A page taller than the longest
    // receipt (3276 points, 9236 dots) with no data after its header.
    const Page endless = odd(solid(576, 1), [](cups_page_header2_t& h) {
        h.PageSize[1] = h.HWResolution[1] = 0xFFFFFFFFu;
    }, true);
    const Page tall = odd(solid(576, 1, 8), [](cups_page_header2_t& h) { h.cupsHeight = 200000; });
    const Page longest = odd(solid(576, 10), [](cups_page_header2_t& h) { h.PageSize[1] = 3276; }, true);
    const Page beyond = odd(solid(576, 10), [](cups_page_header2_t& h) { h.PageSize[1] = 3277; }, true);
    // The longest page is fed to its end: 9236 - 10 dots in steps of 255.
    std::string longestStream = START "feed:0 " BAND(576, 10);
    for (int i = 0; i < 36; ++i) longestStream += "feed:255 ";
    longestStream += "feed:46 " END;
    const std::vector<std::string> refused = {"INFO: Printing not complete\n"};
    auto refusal = [](const char* line) {
        return std::vector<std::string>{line, "INFO: Printing not complete\n"};
    };
    // clang-format off
    const Stream cases[] = {
        // Default trimming drops the blank bottom rows only; on the socket
        // backend the status requests travel in the data.
        {"OneBitOnSocket", {banded(1)}, "", "status " START "status " PAGE(576, 90) END, "", kM2A.c_str(), 0,
         {"INFO: Starting page 1\n", "INFO: Finished page 1\nINFO: Printing success\n"}, kSocketUri},
        // Trimming by PaperConservation 0..3 of a page 298 dots long.
        {"Conservation0", {banded8}, "PaperConservation=0", START "feed:0 " BAND(576, 100) "feed:198 " END},
        {"Conservation1", {banded8}, "PaperConservation=1", START PAGE(576, 90) END},
        {"Conservation2", {banded8}, "PaperConservation=2", START "feed:0 " BAND(576, 90) "feed:198 " END},
        {"Conservation3", {banded8}, "PaperConservation=3", START "feed:0 " BAND(576, 80) "feed:0 " END},
        {"BlankPageTrimmed", {makePage(576, 50, 8, [](unsigned, unsigned) { return 255; })}, "PaperConservation=3", START "feed:0 feed:0 " END},
        // Every CutSetting with the full cut; the default form is the partial cut.
        {"Cut0", {stripes, stripes}, "CutType=0 CutSetting=0", START PAGE2("") "feed:144 cut:full "},
        {"Cut1", {stripes, stripes}, "CutType=0 CutSetting=1", START PAGE2("") "feed:144 "},
        {"Cut2", {stripes, stripes}, "CutType=0 CutSetting=2", START PAGE2("") "cut:full "},
        {"Cut3", {stripes, stripes}, "CutType=0 CutSetting=3", START PAGE2("")},
        {"Cut4", {stripes, stripes}, "CutType=0 CutSetting=4", START PAGE2("feed:144 cut:full ")},
        {"Cut5", {stripes, stripes}, "CutType=0 CutSetting=5", START PAGE2("feed:144 ")},
        {"Cut6", {stripes, stripes}, "CutType=0 CutSetting=6", START PAGE2("cut:full ")},
        // The drawer, pulsed at the end or the start, from the job or the PPD.
        {"DrawerAtEnd", {solid(576, 10)}, "CDPin=1 CDOpen=1 CDPulse=3", START PAGE(576, 10) END "drawer:0:100 "},
        {"DrawerAtStart", {solid(576, 10)}, "CDPin=2 CDOpen=0 CDPulse=9", START "drawer:1:250 " PAGE(576, 10) END},
        {"DrawerFromPpd", {solid(576, 10)}, "", START "drawer:0:25 " PAGE(576, 10) END, "CDPin=1 CDOpen=0 CDPulse=0"},
        // A 24-bit page sent as gray: four planes, one print.
        {"GrayFourPlanes", {solid(576, 40, 24)}, "BmpFormat=1 PaperConservation=0",
         START "feed:0 store:gray:1:576x40 store:gray:2:576x40 store:gray:3:576x40 store:gray:4:576x40 print:gray:576x40 feed:0 " END},
        // Widths of models and rolls; the large font leaves no width at all.
        {"M1A58", {solid(360, 20)}, "media=VEMP58", START PAGE(360, 20) END, "", "KVRS-M1A KVRSM1A Receipt"},
        {"M2A58", {solid(400, 20)}, "PageSize=VEMP58", START PAGE(400, 20) END},
        {"LargeFont", {solid(360, 20)}, "FontSize=1", "", "", "KVRSM1A", 1,
         {"ERROR: The KVRS-M1A cannot print with FontSize=1; choose FontSize=0\nERROR: Unsupported width 360\n"}},
        // Too wide: the user is told in millimetres what fits.  A custom
        // 80 mm page (639 dots) on the 80 mm roll, a 72 mm page on the 58 mm roll.
        {"CustomTooWide", {solid(639, 20)}, "PageSize=Custom.80x200mm", "", "", kM2A.c_str(), 1,
         {"ERROR: The page is 80 mm wide, wider than the 72 mm the KVRS-M2A prints on this roll; "
          "sizes that fit: VEMP80 (72 mm), VEMP58 (50 mm), or a custom size at most 72 mm wide\nERROR: Unsupported width 639\n"}},
        {"WiderThan58Roll", {solid(512, 20)}, "media=VEMP58", "", "", "KVRS-M1A KVRSM1A Receipt", 1,
         {"ERROR: The page is 64 mm wide, wider than the 45 mm the KVRS-M1A prints on this roll; "
          "sizes that fit: VEMP58 (45 mm), or a custom size at most 45 mm wide\nERROR: Unsupported width 512\n"}},
        // Each page with its own geometry; a long page in bands of 1000 rows.
        {"MixedSizesAndBands", {solid(576, 40), solid(400, 1200, 8), solid(200, 30, 24), solid(576, 10, 24)}, "PaperConservation=0",
         START PAGE(576, 40) "feed:0 " BAND(400, 1000) BAND(400, 200) "feed:0 " PAGE(200, 30) PAGE(576, 10) END, "", kM2A.c_str(), 0,
         {"INFO: Finished page 1\n", "INFO: Finished page 2\n", "INFO: Finished page 3\n", "INFO: Finished page 4\n"}},
        // Pages read ahead in full are printed before a bad page ends the job.
        {"BadHeaderAfterGoodPages", {solid(576, 10), solid(400, 20), solid(600, 10)}, "PaperConservation=0",
         START PAGE(576, 10) PAGE(400, 20), "", kM2A.c_str(), 1,
         {"ERROR: Unsupported width 600\n", "INFO: Finished page 1\n", "INFO: Finished page 2\n", "INFO: Printing not complete\n"}},
        {"ShortPixelsAfterGoodPages", {solid(576, 10), solid(400, 20), headerOnly(solid(576, 10))},
         "PaperConservation=0", START PAGE(576, 10) PAGE(400, 20), "", kM2A.c_str(), 1,
         {"ERROR: cupsRasterReadPixels problem\n", "INFO: Finished page 1\n", "INFO: Finished page 2\n", "INFO: Printing not complete\n"}},
        // Feeds and heights end at the longest page of the PPD (9236 dots).
        {"EndlessFeed", {endless}, "PaperConservation=0", "", "", kM2A.c_str(), 1, refusal("ERROR: Invalid CUPS parameters\n")},
        {"TallerThanLongest", {tall}, "", "", "", kM2A.c_str(), 1, refusal("ERROR: Invalid CUPS parameters\n")},
        {"LongestPage", {longest}, "PaperConservation=0", longestStream.c_str()},
        {"BeyondLongestPage", {beyond}, "PaperConservation=0", "", "", kM2A.c_str(), 1, refusal("ERROR: Invalid CUPS parameters\n")},
        // Only what is read as what it is: 1-bit K, 8-bit W or sW, chunky RGB or sRGB.
        {"TwoBit", {depth(2, 2, CUPS_CSPACE_K)}, "", "", "", kM2A.c_str(), 1, refusal("ERROR: Unsupported raster format 2\n")},
        {"FourBit", {depth(4, 4, CUPS_CSPACE_K)}, "", "", "", kM2A.c_str(), 1, refusal("ERROR: Unsupported raster format 4\n")},
        {"OneBitWhite", {depth(1, 1, CUPS_CSPACE_W)}, "", "", "", kM2A.c_str(), 1, refusal("ERROR: Unsupported raster format 1\n")},
        {"EightBitK", {depth(8, 8, CUPS_CSPACE_K)}, "", "", "", kM2A.c_str(), 1, refusal("ERROR: Unsupported raster format 8\n")},
        {"SixteenBit", {depth(16, 16, CUPS_CSPACE_W)}, "", "", "", kM2A.c_str(), 1, refusal("ERROR: Unsupported raster format 16\n")},
        {"PlanarRgb", {depth(8, 8, CUPS_CSPACE_RGB, CUPS_ORDER_PLANAR)}, "", "", "", kM2A.c_str(), 1, refusal("ERROR: Unsupported raster format 8\n")},
        {"CmykAs24", {depth(24, 8, CUPS_CSPACE_CMYK)}, "", "", "", kM2A.c_str(), 1, refusal("ERROR: Unsupported raster format 24\n")},
        {"BandedRgb", {depth(8, 8, CUPS_CSPACE_RGB, CUPS_ORDER_BANDED, 3)}, "", "", "", kM2A.c_str(), 1, refusal("ERROR: Unsupported color format 1\n")},
        {"EightBitW", {odd(solid(576, 10, 8), [](cups_page_header2_t& h) { h.cupsColorSpace = CUPS_CSPACE_W; }, true)},
         "", START PAGE(576, 10) END},
        // Nothing that could not be written is reported as printed, and a
        // dead reader ends the job at once, on either road.
        {"EmptyJob", {}, "", END},
        {"EmptyJobDeadOutput", {}, "", "", "", kM2A.c_str(), 1, refused, nullptr, true},
        {"DeadOutput", {solid(576, 10)}, "", "", "", kM2A.c_str(), 1, refused, nullptr, true},
        {"DeadOutputOnSocket", {solid(576, 10)}, "", "", "", kM2A.c_str(), 1, refused, kSocketUri, true},
        {"ParallelPort", {solid(576, 10)}, "", "", "", kM2A.c_str(), 1, {"ERROR: Invalid printer model\n"}, "parallel:/dev/lp0"},
    };
    // clang-format on
    for (const Stream& c : cases) {
        writePpd(ppd_, c.nick, c.ppdDefaults);
        FilterRun run;
        const std::string nick = c.nick, options = c.options;
        run.paper = {nick.find("M1A") != std::string::npos ? emu::Model::M1A : emu::Model::M2A,
                     options.find("58") != std::string::npos ? 58 : 80};
        if (c.uri != nullptr) run.uri = c.uri;
        run.deadOutput = c.deadOutput;
        Result r = job(c.pages, c.options, run);
        EXPECT_EQ(r.status, c.status) << c.name << ": " << r.err;
        EXPECT_EQ(r.commands, c.expect) << c.name;
        EXPECT_TRUE(inOrder(r.err, c.lines)) << c.name << ": " << r.err;
        // CUPS's page log: one "PAGE: n 1" for each page that reached the
        // printer, just before its "Finished" line, and for no other.
        size_t finished = 0;
        for (int page = 1; page <= 5; ++page) {
            const std::string line = "INFO: Finished page " + std::to_string(page) + "\n";
            finished += count(r.err, line);
            EXPECT_EQ(count(r.err, line), count(r.err, "PAGE: " + std::to_string(page) + " 1\n" + line)) << c.name;
        }
        EXPECT_EQ(count(r.err, "PAGE: "), finished) << c.name << ": " << r.err;
        // Without its log directory the filter says once why it logs nothing.
        const bool logOpens = ::access("/var/log/cups/vemcups", W_OK) == 0;
        EXPECT_EQ(count(r.err, "DEBUG: rastertovem: cannot open the log file /var/log/cups/vemcups/vemcups.log ("),
                  logOpens ? 0u : 1u) << c.name;
    }
}

// ---- memory ------------------------------------------------------------------------

TEST_F(FilterJob, ClaimedPageCostsOnlyItsData) {
    // A header may claim a page as long as the longest receipt (here 15 MB
    // of colour) while its stream holds ten rows: the filter's memory grows
    // with the data that arrives, not with the claim.
    writePpd(ppd_);
    for (const char* options : {"", "BmpFormat=1"}) {
        const long base = job({solid(576, 10, 24)}, options).maxRssKb;
        const Page claim =
            odd(solid(576, 10, 24), [](cups_page_header2_t& h) { h.cupsHeight = 9000; }, true);
        Result r = job({claim}, options);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(inOrder(r.err, {"ERROR: cupsRasterReadPixels problem\n"})) << r.err;
        EXPECT_LT(r.maxRssKb - base, 4096) << options << ": " << base << " kB, then " << r.maxRssKb;
    }
}

// ---- pictures ----------------------------------------------------------------------

TEST_F(FilterJob, PicturesEqualTheCoreConversion) {
    // What the program prints equals the core's own conversion of the page,
    // for every input form and dither method; row padding never shifts rows.
    writePpd(ppd_);
    auto gradient = [](unsigned r, unsigned c) {
        return static_cast<uint8_t>((c * 255 / 575 + r) & 0xFF);
    };
    for (unsigned bpp : {1u, 8u, 24u}) {
        for (int method = 0; method <= (bpp == 1 ? 0 : 3); ++method) {
            const Page tight = makePage(576, 48, bpp, gradient);
            Result r = job({makePage(576, 48, bpp, gradient, bpp == 1 ? 0 : 24)},
                           "PaperConservation=0 DitherType=" + std::to_string(method));
            ASSERT_EQ(r.status, 0) << r.err;
            std::vector<uint8_t> gray(576 * 48), work(gray.size(), 0), mono(72 * 48, 0);
            if (bpp == 8) gray = tight.data;
            if (bpp == 24) prepareGrayScaleData(tight.data, gray);
            if (bpp == 1) mono = tight.data;
            else prepareMonochromeData(gray, mono, work, 576, 48, 0, method);
            ASSERT_EQ(r.receipts.size(), 1u);
            ASSERT_TRUE(r.receipts[0].width == 576 && r.receipts[0].height >= 48);
            int wrong = 0;
            for (unsigned y = 0; y < 48; ++y)
                for (unsigned x = 0; x < 576; ++x)
                    wrong += (r.receipts[0].pixels[y * 576 + x] < 128) !=
                             ((mono[y * 72 + x / 8] & (0x80 >> (x % 8))) != 0);
            EXPECT_EQ(wrong, 0) << bpp << "-bit, DitherType " << method;
        }
    }
}

// ---- status monitoring, on both roads ------------------------------------------

constexpr const char* kFirstCall =
    "STATE: -shutdown\nSTATE: -cover-open\nSTATE: -paused\nSTATE: -die-cutter-motor-failure\n"
    "STATE: -printer-stopped\nSTATE: -paused\nSTATE: -media-low\nSTATE: -media-empty\n"
    "STATE: -paused\nSTATE: -media-jam\nINFO: \n";

// One scripted printer and what the job must show.  The script names the
// printer's conditions at each request ("ready", condition names joined by
// "+", or no answer: "nc" not connected, "fail" a failed exchange); its last
// word holds from then on.  A job that fails prints no graphics.
struct Scenario {
    const char* name;
    int pages;
    const char* script;
    int sigtermAt;  // cancel at this request, -1 never
    int status;
    std::vector<std::string> lines;  // in this order on standard error
    int requests;                    // -1: not checked
};

// clang-format off
const Scenario kScenarios[] = {
    {"FirstCallThenUnchanged", 1, "ready", -1, 0, {std::string(kFirstCall) + "INFO: Starting page 1\nSTATE: -shutdown\nINFO: \n"
                                                   "PAGE: 1 1\nINFO: Finished page 1\nINFO: Printing success\n"}, 2},
    {"CoverOpenedAndClosed", 2, "ready cover-open cover-open cover-open ready", -1, 0,
     {"STATE: +cover-open\nINFO: Cover open\n", "STATE: -cover-open\nINFO: \n", "INFO: Finished page 1\n"}, 6},
    {"PaperNearEndAlone", 2, "ready paper-near-end", -1, 0,
     {"STATE: +media-low\n", "INFO: Finished page 2\nSTATE: -media-low\nINFO: Printing success\n"}, 3},
    {"PaperEndWithNearEnd", 1, "ready paper-end+paper-near-end ready", -1, 0,
     {"STATE: +media-empty\nINFO: Paper empty\n", "STATE: -media-low\nSTATE: -media-empty\nINFO: \n"}, -1},
    {"UnrecoverableError", 1, "ready unrecoverable-error", -1, 1,
     {"STATE: +printer-stopped\nERROR: Printer Unrecoverable error\n", "STATE: -printer-stopped\nINFO: Printing not complete\n"}, 2},
    // Three indices share "paused": it is withdrawn only once none is set,
    // from the first evaluation on.
    {"OtherErrorsShareOneReason", 1, "other-error other-error+other-error-2 other-error-2 ready", -1, 0,
     {"STATE: -cover-open\nSTATE: +paused\nSTATE: -die-cutter-motor-failure\nSTATE: -printer-stopped\n"
      "STATE: -media-low\nSTATE: -media-empty\nSTATE: -media-jam\nINFO: Printer in error\n",
      "STATE: +paused\nINFO: Printer in error\nINFO: Printer in error\nSTATE: -paused\nINFO: \n"
      "INFO: Starting page 1\n", "INFO: Printing success\n"}, 5},
    // Every reason the job added is withdrawn before its last line.
    {"CancelDuringErrors", 1, "ready cutter-error+recoverable-error", 3, 1,
     {"STATE: +die-cutter-motor-failure\nSTATE: +paused\nINFO: Cutter problem\n",
      "STATE: -paused\nSTATE: -die-cutter-motor-failure\nINFO: Job cancelled\n"}, -1},
    // Ten requests without an answer are waited out, never read as "ready".
    {"TenUnansweredThenAnswer", 1, "ready nc fail nc fail nc fail nc fail nc fail ready", -1, 0, {kFirstCall, "INFO: Printing success\n"}, 12},
};
// clang-format on

Answer conditionsAt(const std::string& script, int request) {
    std::istringstream in(script);
    std::string word;
    for (int i = 0; in >> word && i < request;) ++i;  // the last word holds on
    Answer a;
    std::istringstream names(word);
    for (std::string name; std::getline(names, name, '+');)
        if (name == "nc" || name == "fail")
            a.kind = name == "nc" ? Answer::NotConnected : Answer::ExchangeFailed;
        else
            EXPECT_TRUE(name == "ready" || emu::set_condition(a.c, name, true)) << name;
    return a;
}

class FilterStatus : public FilterJob,
                     public ::testing::WithParamInterface<std::tuple<bool, int>> {};

TEST_P(FilterStatus, Scenario) {
    const auto [side, index] = GetParam();
    const Scenario& s = kScenarios[index];
    writePpd(ppd_);
    FilterRun run;
    if (!side) run.uri = kSocketUri;
    run.script = [&s](int i) { return conditionsAt(s.script, i); };
    run.sigtermAtRequest = s.sigtermAt;
    Result r = job(std::vector<Page>(static_cast<size_t>(s.pages), solid(576, 10)), "", run);
    EXPECT_EQ(r.status, s.status) << r.err;
    EXPECT_TRUE(inOrder(r.err, s.lines)) << r.err;
    EXPECT_EQ(s.requests < 0 ? -1 : r.requests, s.requests);
    EXPECT_EQ(r.commands.find("store") == std::string::npos, s.status != 0);
    // The own backend is asked with the status command on the side channel.
    EXPECT_TRUE(!side || (r.sideRequest == std::vector<uint8_t>{0, 6, 0x10, 0x04, 0x10}));
}

INSTANTIATE_TEST_SUITE_P(
    Roads, FilterStatus,
    ::testing::Combine(::testing::Bool(),
                       ::testing::Range(0, static_cast<int>(std::size(kScenarios)))),
    [](const auto& info) {
        return std::string(kScenarios[std::get<1>(info.param)].name) +
               (std::get<0>(info.param) ? "_SideChannel" : "_BackChannel");
    });

}  // namespace
