// The real rastertovem program, run as CUPS runs it, its output decoded by
// the emulator core and compared with what the job options ask for.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "filter_child.h"
#include "filter_test_util.h"
#include "rastertovem_core.h"

using namespace vemtest;

namespace {

constexpr const char* kSocketUri = "socket://127.0.0.1:9100";
constexpr const char* kOwnEthUri = "vemcupsintf://eth/127.0.0.1/9100/3000";
const std::string kDocStart = "init spacing feed:0 ";
const std::string kDocEnd = "feed:0 feed:144 cut:partial ";

// Rows 0..9 and the last 10 rows blank, in between a pattern that differs
// per row and column.
uint8_t banded(unsigned r, unsigned c, unsigned h) {
    return r < 10 || r >= h - 10 || (r / 3 + c / 5) % 3 != 0 ? 255 : 0;
}

// Dots of the printed picture that differ from `black(x, y)`.
int wrongDots(const Result& r, unsigned w, unsigned h,
              const std::function<bool(unsigned, unsigned)>& black) {
    if (r.receipts.size() != 1 || r.receipts[0].width != static_cast<int>(w) ||
        r.receipts[0].height < static_cast<int>(h))
        return -1;
    int wrong = 0;
    for (unsigned y = 0; y < h; ++y)
        for (unsigned x = 0; x < w; ++x)
            wrong += (r.receipts[0].pixels[y * w + x] < 128) != black(x, y);
    return wrong;
}

// The text pieces appear in this order.
bool inOrder(const std::string& text, const std::vector<std::string>& pieces) {
    size_t at = 0;
    for (const auto& p : pieces) {
        at = text.find(p, at);
        if (at == std::string::npos) return false;
        at += p.size();
    }
    return true;
}

class FilterJob : public ::testing::Test {
  protected:
    void SetUp() override { setPpd(PpdSpec{}); }
    void setPpd(const PpdSpec& s) { writeText(ppd_, makePpd(s)); }

    // Runs one job with the raster as a file argument; side channel unless
    // another road or URI is asked for.
    Result job(const std::vector<Page>& pages, const std::string& options, FilterRun run = {}) {
        EXPECT_TRUE(writeRasterFile(raster_, pages));
        run.args = {"42", "tester", "receipt", "1", options, raster_};
        run.ppd = ppd_;
        return runFilter(run);
    }
    static FilterRun onRoad(Road road, std::function<Answer(int)> script = {}) {
        FilterRun r;
        r.uri = road == Road::Side ? kOwnEthUri : kSocketUri;
        r.script = std::move(script);
        return r;
    }
    Result job(const std::vector<Page>& pages, const std::string& options, Road road) {
        return job(pages, options, onRoad(road));
    }

    TempDir dir_;
    std::string ppd_ = dir_.file("queue.ppd");
    std::string raster_ = dir_.file("job.ras");
};

// ---- command streams -----------------------------------------------------------

TEST_F(FilterJob, OneBitPageFromFileOrStandardInput) {
    // Default trimming drops the blank bottom rows only; the status requests
    // travel in the data at command boundaries (socket backend).
    Page p = makePage(576, 100, 1, [](unsigned r, unsigned c) { return banded(r, c, 100); });
    Result file = job({p}, "", Road::Back);
    ASSERT_EQ(file.status, 0) << file.err;
    EXPECT_EQ(file.commands(), "status " + kDocStart +
                                   "status feed:0 store:mono:1:576x90 print:mono:576x90 feed:0 " +
                                   kDocEnd);
    EXPECT_TRUE(inOrder(
        file.err, {"INFO: Starting page 1\n", "INFO: Finished page 1\nINFO: Printing success\n"}));
    EXPECT_EQ(
        wrongDots(file, 576, 90, [](unsigned x, unsigned y) { return banded(y, x, 100) < 128; }),
        0);

    FilterRun run;
    run.args = {"1", "u", "t", "1", ""};
    run.ppd = ppd_;
    run.stdinPath = raster_;
    Result in = runFilter(run);
    ASSERT_EQ(in.status, 0) << in.err;
    EXPECT_EQ(in.commands(), file.commands());
}

TEST_F(FilterJob, PaperConservationEachWay) {
    // 100 rows, blank rows 0-9 and 90-99, on a page 298 dots long.
    Page p = makePage(576, 100, 8, [](unsigned r, unsigned c) { return banded(r, c, 100); });
    p.pageHeightPt = 106;
    const char* page[4] = {"store:mono:1:576x100 print:mono:576x100 feed:198 ",
                           "store:mono:1:576x90 print:mono:576x90 feed:0 ",
                           "store:mono:1:576x90 print:mono:576x90 feed:198 ",
                           "store:mono:1:576x80 print:mono:576x80 feed:0 "};
    for (int mode = 0; mode <= 3; ++mode) {
        Result r = job({p}, "PaperConservation=" + std::to_string(mode), Road::Side);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.commands(), kDocStart + "feed:0 " + page[mode] + kDocEnd) << "mode " << mode;
    }
    // A blank page prints no graphics when trimming.
    Result r = job({makePage(576, 50, 8, [](unsigned, unsigned) { return 255; })},
                   "PaperConservation=3", Road::Side);
    EXPECT_EQ(r.commands(), kDocStart + "feed:0 feed:0 " + kDocEnd);
}

TEST_F(FilterJob, EveryCutSettingAndBothCuts) {
    Page p = makePage(576, 30, 1, [](unsigned r, unsigned) { return r % 2 ? 0 : 255; });
    const char* pageEnd[7] = {"", "", "", "", "feed:144 cut:full ", "feed:144 ", "cut:full "};
    const char* docEnd[7] = {"feed:144 cut:full ", "feed:144 ", "cut:full ", "", "", "", ""};
    const std::string page = "feed:0 store:mono:1:576x30 print:mono:576x30 feed:0 ";
    for (int s = 0; s <= 6; ++s) {
        Result r = job({p, p}, "CutType=0 CutSetting=" + std::to_string(s), Road::Side);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.commands(),
                  kDocStart + page + pageEnd[s] + page + pageEnd[s] + "feed:0 " + docEnd[s])
            << "CutSetting " << s;
    }
    // The default form is the partial cut.
    Result r = job({p}, "CutSetting=6", Road::Side);
    EXPECT_EQ(r.commands(), kDocStart + page + "cut:partial feed:0 ");
}

TEST_F(FilterJob, DrawerPulseAtStartOrEnd) {
    const struct {
        std::string options;
        std::vector<std::pair<std::string, std::string>> ppdDefaults;
        std::string head, tail;  // what starts and ends the stream
    } cases[] = {
        {"CDPin=1 CDOpen=1 CDPulse=3", {}, kDocStart + "feed:0", "cut:partial drawer:0:100 "},
        {"CDPin=2 CDOpen=0 CDPulse=9", {}, kDocStart + "drawer:1:250 feed:0", kDocEnd},
        {"",
         {{"CDPin", "1"}, {"CDOpen", "0"}, {"CDPulse", "0"}},
         kDocStart + "drawer:0:25 ",
         kDocEnd},
        {"CDPin=0 CDOpen=0", {}, kDocStart + "feed:0", kDocEnd},
    };
    for (const auto& c : cases) {
        setPpd({PpdSpec{}.nickName, c.ppdDefaults, true});
        Result r = job({solidPage(576, 10)}, c.options, Road::Side);
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string s = r.commands();
        EXPECT_EQ(s.rfind(c.head, 0), 0u) << c.options << ": " << s;
        EXPECT_EQ(s.substr(s.size() - c.tail.size()), c.tail) << c.options << ": " << s;
        EXPECT_EQ(s.find("drawer") == std::string::npos, c.options == "CDPin=0 CDOpen=0") << s;
    }
}

TEST_F(FilterJob, GrayFourPlaneForm) {
    // A 24-bit page sent as gray: four planes, one print; the picture shows
    // the four darkness steps.
    Page p = makePage(576, 40, 24, [](unsigned, unsigned c) {
        return static_cast<uint8_t>(c < 144 ? 0 : c < 288 ? 100 : c < 432 ? 200 : 255);
    });
    Result r = job({p}, "BmpFormat=1 PaperConservation=0", Road::Side);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.commands(),
              kDocStart +
                  "feed:0 store:gray:1:576x40 store:gray:2:576x40 "
                  "store:gray:3:576x40 store:gray:4:576x40 print:gray:576x40 feed:0 " +
                  kDocEnd);
    ASSERT_EQ(r.receipts.size(), 1u);
    const auto& px = r.receipts[0].pixels;
    EXPECT_LT(px[10], px[200]);
    EXPECT_LT(px[200], px[300]);
    EXPECT_LT(px[300], px[500]);
    EXPECT_EQ(px[500], 255);
}

TEST_F(FilterJob, ColourAndGrayDitheredLikeTheCore) {
    // What the program prints equals the core's own conversion of the page.
    auto gradient = [](unsigned r, unsigned c) {
        return static_cast<uint8_t>((c * 255 / 575 + r) & 0xFF);
    };
    for (unsigned bpp : {8u, 24u}) {
        for (int method = 0; method <= 3; ++method) {
            Page p = makePage(576, 48, bpp, gradient);
            Result r =
                job({p}, "PaperConservation=0 DitherType=" + std::to_string(method), Road::Side);
            ASSERT_EQ(r.status, 0) << r.err;
            std::vector<uint8_t> gray(576 * 48), work(gray.size(), 0), mono(72 * 48, 0);
            if (bpp == 8)
                gray = p.data;
            else
                ASSERT_EQ(prepareGrayScaleData(p.data, gray), 1);
            ASSERT_EQ(prepareMonochromeData(gray, mono, work, 576, 48, 0, method), 1);
            EXPECT_EQ(wrongDots(r, 576, 48,
                                [&](unsigned x, unsigned y) {
                                    return (mono[y * 72 + x / 8] & (0x80 >> (x % 8))) != 0;
                                }),
                      0)
                << bpp << "-bit, DitherType " << method;
        }
    }
}

TEST_F(FilterJob, WidthsOfModelsAndRolls) {
    const struct {
        const char* nick;
        emu::Model model;
        unsigned width;
        const char* options;
        bool accepted;
    } cases[] = {
        {"KVRS-M1A KVRSM1A Receipt", emu::Model::M1A, 360, "media=VEMP58", true},
        {"KVRS-M1A KVRSM1A Receipt", emu::Model::M1A, 400, "media=VEMP58", false},
        {"KVRS-M2A KVRSM2A Receipt", emu::Model::M2A, 400, "PageSize=VEMP58", true},
        {"KVRSM1A", emu::Model::M1A, 360, "FontSize=1", false},  // large font: nothing fits
    };
    for (const auto& c : cases) {
        setPpd({c.nick, {}, true});
        FilterRun run = onRoad(Road::Side);
        run.paper = {c.model, 58};
        Result r = job({solidPage(c.width, 20)}, c.options, run);
        EXPECT_EQ(r.status, c.accepted ? 0 : 1) << c.nick << " " << c.width << ": " << r.err;
        const std::string store = "store:mono:1:" + std::to_string(c.width) + "x20";
        EXPECT_EQ(r.commands().find(store) != std::string::npos, c.accepted);
        EXPECT_EQ(r.count("ERROR: Unsupported width " + std::to_string(c.width) + "\n"),
                  c.accepted ? 0 : 1);
    }
}

TEST_F(FilterJob, MixedSizesBandsAndPaddedRows) {
    // Each page printed with its own geometry; a long page in bands of a
    // thousand rows; row padding (bytes per line beyond the pixels) never
    // shifts later rows.
    Page padded =
        makePage(576, 20, 8, [](unsigned r, unsigned c) { return (r + c) % 2 ? 0 : 255; });
    padded.bytesPerLine = 600;
    std::vector<uint8_t> rows(600 * 20, 0);
    for (unsigned y = 0; y < 20; ++y)
        std::copy_n(padded.data.begin() + y * 576, 576, rows.begin() + y * 600);
    padded.data = rows;
    Result one = job({padded}, "PaperConservation=0", Road::Side);
    ASSERT_EQ(one.status, 0) << one.err;
    EXPECT_EQ(wrongDots(one, 576, 20, [](unsigned x, unsigned y) { return (x + y) % 2 == 1; }), 0);

    Result r = job({solidPage(576, 40), solidPage(400, 1200, 8), solidPage(200, 30, 24),
                    solidPage(576, 10, 24)},
                   "PaperConservation=0", Road::Side);
    ASSERT_EQ(r.status, 0) << r.err;
    std::string stores;
    for (const auto& e : r.events)
        if (e.kind == "graphics-store")
            stores +=
                std::to_string(*e.num("width")) + "x" + std::to_string(*e.num("height")) + " ";
    EXPECT_EQ(stores, "576x40 400x1000 400x200 200x30 576x10 ");
    for (int i = 1; i <= 4; ++i)
        EXPECT_EQ(r.count("INFO: Finished page " + std::to_string(i) + "\n"), 1);
}

TEST_F(FilterJob, BadPageAfterGoodOnesPrintsTheGoodOnes) {
    // Pages read ahead in full are printed, in order, before a page whose
    // header is bad or whose pixels run short ends the job.
    Page wide = solidPage(600, 10);  // wider than the printer
    Page cut = solidPage(576, 10);
    cut.headerOnly = true;
    const std::pair<Page, const char*> bad[] = {{wide, "ERROR: Unsupported width 600\n"},
                                                {cut, "ERROR: cupsRasterReadPixels problem\n"}};
    for (const auto& [page, line] : bad) {
        Result r =
            job({solidPage(576, 10), solidPage(400, 20), page}, "PaperConservation=0", Road::Side);
        EXPECT_EQ(r.status, 1) << line;
        EXPECT_EQ(r.count(line), 1) << r.err;
        EXPECT_TRUE(inOrder(r.err, {"INFO: Finished page 1\n", "INFO: Finished page 2\n",
                                    "INFO: Printing not complete\n"}))
            << r.err;
        EXPECT_EQ(r.commands(), kDocStart +
                                    "feed:0 store:mono:1:576x10 print:mono:576x10 feed:0 "
                                    "feed:0 store:mono:1:400x20 print:mono:400x20 feed:0 ");
    }
}

TEST_F(FilterJob, RefusalsAndEmptyRaster) {
    // A stream with no page still ends the document.
    Result empty = job({}, "", Road::Side);
    ASSERT_EQ(empty.status, 0) << empty.err;
    EXPECT_EQ(empty.commands(), kDocEnd);
    EXPECT_EQ(empty.err, "INFO: Printing success\n");

    // Absurd sizes are refused cleanly, never allocated.
    Page huge = solidPage(576, 1, 24);
    huge.height = 0x7FFFFFF0;  // 3.7 TB of raster
    huge.headerOnly = true;
    Result big = job({huge}, "", Road::Side);
    EXPECT_EQ(big.status, 1);
    EXPECT_TRUE(inOrder(big.err, {"ERROR: Out of memory\n", "INFO: Printing not complete\n"}))
        << big.err;

    FilterRun args;
    args.ppd = ppd_;
    args.args = {"1", "u", "t", "1"};
    Result count = runFilter(args);
    EXPECT_EQ(count.status, 1);
    EXPECT_EQ(count.err, "ERROR: Invalid argument count\n");
    FilterRun parallel;
    parallel.uri = "parallel:/dev/lp0";
    Result port = job({solidPage(576, 10)}, "", parallel);
    EXPECT_EQ(port.err, "ERROR: Invalid printer model\n");
    setPpd({"Another Receipt Printer", {}, true});
    Result model = job({solidPage(576, 10)}, "", Road::Side);
    EXPECT_EQ(model.status, 1);
    EXPECT_EQ(model.err, "ERROR: Invalid printer model\n");
    EXPECT_TRUE(model.events.empty());
}

// ---- status monitoring, on both roads ------------------------------------------

constexpr const char* kFirstCall =
    "STATE: -shutdown\nSTATE: -cover-open\nSTATE: -paused\nSTATE: -die-cutter-motor-failure\n"
    "STATE: -printer-stopped\nSTATE: -paused\nSTATE: -media-low\nSTATE: -media-empty\n"
    "STATE: -paused\nSTATE: -media-jam\nINFO: \n";

// One scripted printer and what the job must show.  The script names the
// printer's conditions at each request ("ready", or names joined by "+");
// its last word holds from then on.  A job that fails prints no graphics.
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
    {"FirstCallThenUnchanged", 1, "ready", -1, 0,
     {std::string(kFirstCall) + "INFO: Starting page 1\nSTATE: -shutdown\nINFO: \n"
                                "INFO: Finished page 1\nINFO: Printing success\n"}, 2},
    {"CoverOpenedAndClosed", 2, "ready cover-open cover-open cover-open ready", -1, 0,
     {"STATE: +cover-open\nINFO: Cover open\n", "STATE: -cover-open\nINFO: \n",
      "INFO: Finished page 1\n"}, 6},
    {"PaperNearEndAlone", 2, "ready paper-near-end", -1, 0,
     {"STATE: +media-low\n", "INFO: Finished page 2\nSTATE: -media-low\nINFO: Printing success\n"}, 3},
    {"PaperEndWithNearEnd", 1, "ready paper-end+paper-near-end ready", -1, 0,
     {"STATE: +media-empty\nINFO: Paper empty\n", "STATE: -media-low\nSTATE: -media-empty\nINFO: \n"}, -1},
    {"UnrecoverableError", 1, "ready unrecoverable-error", -1, 1,
     {"STATE: +printer-stopped\nERROR: Printer Unrecoverable error\n",
      "STATE: -printer-stopped\nINFO: Printing not complete\n"}, 2},
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
};
// clang-format on

Answer conditionsAt(const std::string& script, int request) {
    std::vector<std::string> words;
    for (size_t at = 0, end; at < script.size(); at = end + 1) {
        end = std::min(script.find(' ', at), script.size());
        words.push_back(script.substr(at, end - at));
    }
    Answer a;
    std::string w = words[std::min(static_cast<size_t>(request), words.size() - 1)] + "+";
    for (size_t at = 0, end; (end = w.find('+', at)) != std::string::npos; at = end + 1)
        EXPECT_TRUE(w.substr(at, end - at) == "ready" ||
                    emu::set_condition(a.c, w.substr(at, end - at), true));
    return a;
}

class FilterStatus : public FilterJob,
                     public ::testing::WithParamInterface<std::tuple<Road, int>> {};

TEST_P(FilterStatus, Scenario) {
    const auto [road, index] = GetParam();
    const Scenario& s = kScenarios[index];
    FilterRun run = onRoad(road, [&s](int i) { return conditionsAt(s.script, i); });
    run.sigtermAtRequest = s.sigtermAt;
    Result r = job(std::vector<Page>(static_cast<size_t>(s.pages), solidPage(576, 10)), "", run);
    EXPECT_EQ(r.status, s.status) << r.err;
    EXPECT_TRUE(inOrder(r.err, s.lines)) << r.err;
    EXPECT_EQ(s.requests < 0 ? -1 : r.requests, s.requests);
    EXPECT_EQ(r.commands().find("store") == std::string::npos, s.status != 0);
}

INSTANTIATE_TEST_SUITE_P(
    Roads, FilterStatus,
    ::testing::Combine(::testing::Values(Road::Side, Road::Back),
                       ::testing::Range(0, static_cast<int>(std::size(kScenarios)))),
    [](const auto& info) {
        return std::string(kScenarios[std::get<1>(info.param)].name) +
               (std::get<0>(info.param) == Road::Side ? "_SideChannel" : "_BackChannel");
    });

// Ten requests without a printer's answer are waited out; the eleventh
// shows the printer offline until it answers again.
TEST_F(FilterJob, SideChannelOfflineAndFailedExchanges) {
    // Not connected, or the backend's exchange failed (its zero bytes must
    // not read as "ready"); the own USB connection asks with its command.
    const struct { int silent, waiting; } cases[] = {{10, 0}, {11, 1}};
    for (auto c : cases) {
        FilterRun run = onRoad(Road::Side, [c](int i) {
            Answer a;
            if (i >= 1 && i <= c.silent)
                a.kind = i % 2 ? Answer::NotConnected : Answer::ExchangeFailed;
            return a;
        });
        run.uri = "vemcupsintf://usb/1209/0002";
        Result r = job({solidPage(576, 10)}, "", run);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.count("INFO: Waiting printer online\nSTATE: +shutdown\n"), c.waiting) << r.err;
        EXPECT_EQ(r.count("INFO: \nSTATE: -shutdown\n"), c.waiting);
        EXPECT_EQ(r.requests, c.silent + 2);
        ASSERT_FALSE(r.sideRequests.empty());
        EXPECT_EQ(r.sideRequests[0], (std::vector<uint8_t>{0, 6, 0x17, 0x01, 0x10}));
    }
}

TEST_F(FilterJob, BackChannelStaleThenTenUnansweredRequests) {
    // A "cover open" answer left over from before is not taken for the
    // first; ten requests go unanswered (each waits out its one second,
    // the one slow test) and nothing prints until the printer answers.
    FilterRun run = onRoad(Road::Back, [](int i) {
        Answer a;
        a.kind = i >= 1 && i <= 10 ? Answer::Silent : Answer::Reply;
        return a;
    });
    emu::Conditions open;
    open.cover_open = true;
    const auto stale = emu::status_reply(open);
    run.staleBackChannel.assign(stale.begin(), stale.end());
    Result r = job({solidPage(576, 10)}, "", run);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.count("cover-open"), 1) << r.err;  // only the first call's "-cover-open"
    EXPECT_EQ(r.count("Waiting printer online"), 0);
    EXPECT_EQ(r.requests, 12);
    EXPECT_EQ(r.commands().rfind("status " + kDocStart +
                                     "status status status status status status "
                                     "status status status status status feed:0 store",
                                 0),
              0u)
        << r.commands();
}

}  // namespace
