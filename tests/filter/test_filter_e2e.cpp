// The real rastertovem program, run as CUPS runs it, its output decoded by
// the emulator core and compared with what the job options ask for.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "filter_child.h"
#include "filter_test_util.h"
#include "rastertovem_core.h"

using namespace vemtest;
using Strings = std::vector<std::string>;

namespace {

constexpr const char* kSocketUri = "socket://127.0.0.1:9100";
constexpr const char* kOwnEthUri = "vemcupsintf://eth/127.0.0.1/9100/3000";

// Stripes: rows 0..9 and the last 10 rows blank, in between a pattern
// that differs per row and column.
uint8_t banded(unsigned r, unsigned c, unsigned h) {
    if (r < 10 || r >= h - 10)
        return 255;
    return ((r / 3 + c / 5) % 3 == 0) ? 0 : 255;
}

class FilterJob : public ::testing::Test {
protected:
    void SetUp() override { setPpd(PpdSpec{}); }
    void setPpd(const PpdSpec& s) { writeText(ppd_, makePpd(s)); }

    // Runs one job with the raster as a file argument.
    Result job(const std::vector<Page>& pages, const std::string& options, FilterRun run = {}) {
        EXPECT_TRUE(writeRasterFile(raster_, pages));
        run.args = {"42", "tester", "receipt", "1", options, raster_};
        run.ppd = ppd_;
        if (run.uri.empty())
            run.uri = kSocketUri;
        return runFilter(run);
    }
    FilterRun onRoad(Road road, std::function<Answer(int)> script = {}) {
        FilterRun r;
        r.uri = road == Road::Side ? kOwnEthUri : kSocketUri;
        r.script = std::move(script);
        return r;
    }
    // Command events without the status requests, which only the
    // back-channel road puts into the data.
    static Strings printed(const Result& r) {
        Strings out;
        for (auto& c : r.commands())
            if (c != "status")
                out.push_back(c);
        return out;
    }

    TempDir dir_;
    std::string ppd_ = dir_.file("queue.ppd");
    std::string raster_ = dir_.file("job.ras");
};

// ---- command streams -----------------------------------------------------------

TEST_F(FilterJob, OneBitPageWithDefaults) {
    // A 1-bit page with blank rows top and bottom: the default trims the
    // bottom only, then the document ends with feed and partial cut.
    Page p = makePage(576, 100, 1, [](unsigned r, unsigned c) { return banded(r, c, 100); });
    Result r = job({p}, "");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(joined(r.commands()),
              "status init spacing feed:0 status feed:0 store:mono:1:576x90 print:mono:576x90 "
              "feed:0 feed:0 feed:144 cut:partial ");
    EXPECT_NE(r.err.find("INFO: Starting page 1\n"), std::string::npos);
    EXPECT_NE(r.err.find("INFO: Finished page 1\nINFO: Printing success\n"), std::string::npos);

    // The picture carries the page's dots where the page put them.
    ASSERT_EQ(r.receipts.size(), 1u);
    const auto& rc = r.receipts[0];
    ASSERT_EQ(rc.width, 576);
    ASSERT_GE(rc.height, 90);
    int wrong = 0;
    for (unsigned y = 0; y < 90; ++y)
        for (unsigned x = 0; x < 576; ++x)
            wrong += (rc.pixels[y * 576 + x] < 128) != (banded(y, x, 100) < 128);
    EXPECT_EQ(wrong, 0);
}

TEST_F(FilterJob, RasterOnStandardInput) {
    Page p = makePage(576, 20, 8, [](unsigned, unsigned c) { return c < 288 ? 0 : 255; });
    ASSERT_TRUE(writeRasterFile(raster_, {p}));
    FilterRun run;
    run.args = {"1", "u", "t", "1", "PaperConservation=0"};
    run.ppd = ppd_;
    run.stdinPath = raster_;
    Result r = runFilter(run);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(joined(printed(r)),
              "init spacing feed:0 feed:0 store:mono:1:576x20 print:mono:576x20 feed:0 feed:0 "
              "feed:144 cut:partial ");
}

TEST_F(FilterJob, PaperConservationEachWay) {
    // 8-bit page of 100 rows, blank rows 0-9 and 90-99, on a page 298 dots
    // long (198 dots of blank feed when the bottom is kept).
    Page p = makePage(576, 100, 8, [](unsigned r, unsigned c) { return banded(r, c, 100); });
    p.pageHeightPt = 106;
    const char* expect[4] = {
        "feed:0 store:mono:1:576x100 print:mono:576x100 feed:198 ",
        "feed:0 store:mono:1:576x90 print:mono:576x90 feed:0 ",
        "feed:0 store:mono:1:576x90 print:mono:576x90 feed:198 ",
        "feed:0 store:mono:1:576x80 print:mono:576x80 feed:0 ",
    };
    for (int mode = 0; mode <= 3; ++mode) {
        Result r = job({p}, "PaperConservation=" + std::to_string(mode), onRoad(Road::Side));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(joined(printed(r)),
                  std::string("init spacing feed:0 ") + expect[mode] + "feed:0 feed:144 cut:partial ")
            << "PaperConservation " << mode;
    }
    // A blank page prints no graphics unless trimming is off.
    Page blank = makePage(576, 50, 8, [](unsigned, unsigned) { return 255; });
    Result r = job({blank}, "PaperConservation=3");
    EXPECT_EQ(joined(printed(r)), "init spacing feed:0 feed:0 feed:0 feed:0 feed:144 cut:partial ");
}

TEST_F(FilterJob, EveryCutSetting) {
    Page p = makePage(576, 30, 1, [](unsigned r, unsigned) { return r % 2 ? 0 : 255; });
    const char* pageEnd[7] = {"", "", "", "", "feed:144 cut:full ", "feed:144 ", "cut:full "};
    const char* docEnd[7] = {"feed:144 cut:full ", "feed:144 ", "cut:full ", "", "", "", ""};
    for (int s = 0; s <= 6; ++s) {
        Result r = job({p, p}, "CutType=0 CutSetting=" + std::to_string(s), onRoad(Road::Side));
        ASSERT_EQ(r.status, 0) << r.err;
        std::string page = std::string("feed:0 store:mono:1:576x30 print:mono:576x30 feed:0 ") +
                           pageEnd[s];
        EXPECT_EQ(joined(printed(r)),
                  "init spacing feed:0 " + page + page + "feed:0 " + docEnd[s])
            << "CutSetting " << s;
    }
    // The default cut form is the partial cut.
    Result r = job({p}, "CutSetting=6", onRoad(Road::Side));
    EXPECT_EQ(joined(printed(r)).substr(joined(printed(r)).size() - 19), "cut:partial feed:0 ");
}

TEST_F(FilterJob, DrawerPulseAtStartOrEnd) {
    Page p = makePage(576, 10, 1, [](unsigned, unsigned) { return 0; });
    Result end = job({p}, "CDPin=1 CDOpen=1 CDPulse=3", onRoad(Road::Side));
    ASSERT_EQ(end.status, 0) << end.err;
    Strings e = printed(end);
    ASSERT_GE(e.size(), 2u);
    EXPECT_EQ(e[e.size() - 2], "cut:partial");
    EXPECT_EQ(e.back(), "drawer:0:100");

    Result start = job({p}, "CDPin=2 CDOpen=0 CDPulse=9", onRoad(Road::Side));
    Strings s = printed(start);
    ASSERT_GE(s.size(), 4u);
    EXPECT_EQ(joined(Strings(s.begin(), s.begin() + 4)), "init spacing feed:0 drawer:1:250 ");
    EXPECT_EQ(s.back(), "cut:partial");

    // The PPD's defaults apply when the job names no drawer option.
    setPpd(ppdDefaults({{"CDPin", "1"}, {"CDOpen", "0"}, {"CDPulse", "0"}}));
    Result ppd = job({p}, "", onRoad(Road::Side));
    EXPECT_EQ(printed(ppd)[3], "drawer:0:25");
}

TEST_F(FilterJob, LongPageInBandsOfAThousandRows) {
    Page p = makePage(576, 2500, 1, [](unsigned r, unsigned c) { return (r + c) % 7 ? 255 : 0; });
    Result r = job({p}, "PaperConservation=0", onRoad(Road::Side));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(joined(printed(r)),
              "init spacing feed:0 feed:0 store:mono:1:576x1000 print:mono:576x1000 "
              "store:mono:1:576x1000 print:mono:576x1000 store:mono:1:576x500 print:mono:576x500 "
              "feed:0 feed:0 feed:144 cut:partial ");
}

TEST_F(FilterJob, GrayFourPlaneForm) {
    // 24-bit page sent as gray: four planes, one print; the receipt shows
    // the four darkness steps.
    Page p = makePage(576, 40, 24, [](unsigned, unsigned c) {
        return static_cast<uint8_t>(c < 144 ? 0 : c < 288 ? 100 : c < 432 ? 200 : 255);
    });
    Result r = job({p}, "BmpFormat=1 PaperConservation=0", onRoad(Road::Side));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(joined(printed(r)),
              "init spacing feed:0 feed:0 store:gray:1:576x40 store:gray:2:576x40 "
              "store:gray:3:576x40 store:gray:4:576x40 print:gray:576x40 feed:0 feed:0 feed:144 "
              "cut:partial ");
    ASSERT_EQ(r.receipts.size(), 1u);
    const auto& px = r.receipts[0].pixels;
    EXPECT_LT(px[10], px[200]);
    EXPECT_LT(px[200], px[300]);
    EXPECT_LT(px[300], px[500]);
    EXPECT_EQ(px[500], 255);
}

TEST_F(FilterJob, ColourAndGrayDitheredLikeTheCore) {
    // What the program prints equals the core's own conversion of the page.
    auto gradient = [](unsigned r, unsigned c) { return static_cast<uint8_t>((c * 255 / 575 + r) & 0xFF); };
    for (unsigned bpp : {8u, 24u}) {
        for (int method = 0; method <= 3; ++method) {
            Page p = makePage(576, 48, bpp, gradient);
            Result r = job({p}, "PaperConservation=0 DitherType=" + std::to_string(method),
                           onRoad(Road::Side));
            ASSERT_EQ(r.status, 0) << r.err;
            std::vector<uint8_t> gray(576 * 48), work(gray.size(), 0), mono(72 * 48, 0);
            if (bpp == 8)
                gray = p.data;
            else
                ASSERT_EQ(prepareGrayScaleData(p.data, gray), 1);
            ASSERT_EQ(prepareMonochromeData(gray, mono, work, 576, 48, 0, method), 1);
            ASSERT_EQ(r.receipts.size(), 1u);
            int wrong = 0;
            for (unsigned y = 0; y < 48; ++y)
                for (unsigned x = 0; x < 576; ++x)
                    wrong += (r.receipts[0].pixels[y * 576 + x] < 128) !=
                             ((mono[y * 72 + x / 8] & (0x80 >> (x % 8))) != 0);
            EXPECT_EQ(wrong, 0) << bpp << "-bit, DitherType " << method;
        }
    }
}

TEST_F(FilterJob, FiftyEightMillimetreRolls) {
    setPpd(ppdNick("KVRS-M1A KVRSM1A Receipt"));
    Page narrow = makePage(360, 20, 1, [](unsigned, unsigned) { return 0; });
    FilterRun run = onRoad(Road::Side);
    run.paper = {emu::Model::M1A, 58};
    Result ok = job({narrow}, "media=VEMP58", run);
    ASSERT_EQ(ok.status, 0) << ok.err;
    EXPECT_EQ(printed(ok)[4], "store:mono:1:360x20");

    Page wide = makePage(400, 20, 1, [](unsigned, unsigned) { return 0; });
    Result refused = job({wide}, "media=VEMP58", run);
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("ERROR: Unsupported width 400\n"), std::string::npos);
    EXPECT_EQ(printed(refused).size(), 0u);

    // The KVRS-M2A takes 400 dots on 58 mm, and nothing with FontSize 1 on M1A.
    setPpd(PpdSpec{});
    run.paper = {emu::Model::M2A, 58};
    Result m2a = job({wide}, "PageSize=VEMP58", run);
    EXPECT_EQ(m2a.status, 0) << m2a.err;
    setPpd(ppdNick("KVRSM1A"));
    Result font = job({narrow}, "FontSize=1", run);
    EXPECT_NE(font.err.find("ERROR: Unsupported width 360\n"), std::string::npos);
}

TEST_F(FilterJob, MixedPageSizesUseTheirOwnGeometry) {
    Page a = makePage(576, 40, 1, [](unsigned, unsigned) { return 0; });
    Page b = makePage(400, 1200, 8, [](unsigned, unsigned) { return 0; });
    Page c = makePage(200, 30, 24, [](unsigned, unsigned) { return 0; });
    Page d = makePage(576, 10, 24, [](unsigned, unsigned) { return 0; });
    Result r = job({a, b, c, d}, "PaperConservation=0", onRoad(Road::Side));
    ASSERT_EQ(r.status, 0) << r.err;
    Strings stores;
    for (auto& s : printed(r))
        if (s.rfind("store:", 0) == 0)
            stores.push_back(s);
    EXPECT_EQ(joined(stores),
              "store:mono:1:576x40 store:mono:1:400x1000 store:mono:1:400x200 store:mono:1:200x30 "
              "store:mono:1:576x10 ");
    for (int i = 1; i <= 4; ++i)
        EXPECT_EQ(r.count("INFO: Finished page " + std::to_string(i) + "\n"), 1);
}

TEST_F(FilterJob, RowsWithPaddingAreReadRowByRow) {
    // Bytes per line beyond the pixels (allowed by the raster format): the
    // padding must not shift later rows.
    Page p = makePage(576, 20, 8, [](unsigned r, unsigned c) { return (r + c) % 2 ? 0 : 255; });
    Page padded = p;
    padded.bytesPerLine = 600;
    padded.data.assign(600 * 20, 0x00);
    for (unsigned y = 0; y < 20; ++y)
        std::copy_n(p.data.begin() + y * 576, 576, padded.data.begin() + y * 600);
    Result r = job({padded}, "PaperConservation=0", onRoad(Road::Side));
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.receipts.size(), 1u);
    int wrong = 0;
    for (unsigned y = 0; y < 20; ++y)
        for (unsigned x = 0; x < 576; ++x)
            wrong += (r.receipts[0].pixels[y * 576 + x] < 128) != ((y + x) % 2 == 1);
    EXPECT_EQ(wrong, 0);
}

TEST_F(FilterJob, AbsurdHeadersRefusedAsOutOfMemory) {
    Page huge;
    huge.width = 576;
    huge.bpp = 24;
    huge.height = 0x7FFFFFF0;  // 3.7 TB of raster
    huge.headerOnly = true;
    Result r = job({huge}, "", onRoad(Road::Side));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("ERROR: Out of memory\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("INFO: Printing not complete\n"), std::string::npos);
}

TEST_F(FilterJob, EmptyRasterStillEndsTheDocument) {
    Result r = job({}, "", onRoad(Road::Side));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(joined(printed(r)), "feed:0 feed:144 cut:partial ");
    EXPECT_EQ(r.err, "INFO: Printing success\n");
}

TEST_F(FilterJob, RefusesBadArgumentsModelAndConnection) {
    FilterRun run;
    run.ppd = ppd_;
    run.args = {"1", "u", "t", "1"};
    Result args = runFilter(run);
    EXPECT_EQ(args.status, 1);
    EXPECT_EQ(args.err, "ERROR: Invalid argument count\n");

    Page p = makePage(576, 10, 1, [](unsigned, unsigned) { return 0; });
    FilterRun parallel;
    parallel.uri = "parallel:/dev/lp0";
    Result port = job({p}, "", parallel);
    EXPECT_EQ(port.status, 1);
    EXPECT_EQ(port.err, "ERROR: Invalid printer model\n");

    setPpd(ppdNick("Another Receipt Printer"));
    Result model = job({p}, "");
    EXPECT_EQ(model.status, 1);
    EXPECT_EQ(model.err, "ERROR: Invalid printer model\n");
    EXPECT_TRUE(model.events.empty());
}

// ---- status monitoring ------------------------------------------------------------

constexpr const char* kFirstCall =
    "STATE: -shutdown\nSTATE: -cover-open\nSTATE: -paused\nSTATE: -die-cutter-motor-failure\n"
    "STATE: -printer-stopped\nSTATE: -paused\nSTATE: -media-low\nSTATE: -media-empty\n"
    "STATE: -paused\nSTATE: -media-jam\nINFO: \n";

class FilterStatus : public FilterJob, public ::testing::WithParamInterface<Road> {
protected:
    Result print(int pages, std::function<Answer(int)> script, int sigtermAt = -1) {
        Page p = makePage(576, 10, 1, [](unsigned, unsigned) { return 0; });
        FilterRun run = onRoad(GetParam(), std::move(script));
        run.sigtermAtRequest = sigtermAt;
        return job(std::vector<Page>(static_cast<size_t>(pages), p), "", run);
    }
};

TEST_P(FilterStatus, FirstCallThenUnchangedReply) {
    Result r = print(1, {});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, std::string(kFirstCall) +
                         "INFO: Starting page 1\nSTATE: -shutdown\nINFO: \nINFO: Finished page 1\n"
                         "INFO: Printing success\n");
    EXPECT_EQ(r.requests, 2);
}

TEST_P(FilterStatus, CoverOpenedAndClosed) {
    Result r = print(2, [](int i) {
        return i >= 1 && i <= 3 ? with([](emu::Conditions& c) { c.cover_open = true; }) : ready();
    });
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.count("STATE: +cover-open\n"), 1);
    EXPECT_EQ(r.count("INFO: Cover open\n"), 1);
    const size_t open = r.err.find("STATE: +cover-open\nINFO: Cover open\n");
    const size_t closed = r.err.find("STATE: -cover-open\nINFO: \n", open);
    EXPECT_NE(open, std::string::npos) << r.err;
    EXPECT_NE(closed, std::string::npos) << r.err;
    // Nothing of page 1 printed while the cover was open.
    EXPECT_LT(closed, r.err.find("INFO: Finished page 1\n"));
    EXPECT_EQ(r.requests, 6);
}

TEST_P(FilterStatus, PaperNearEndAloneKeepsPrinting) {
    Result r = print(2, [](int i) {
        return i >= 1 ? with([](emu::Conditions& c) { c.paper_near_end = true; }) : ready();
    });
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.count("STATE: +media-low\n"), 1);
    EXPECT_EQ(r.requests, 3);
}

TEST_P(FilterStatus, PaperEndWithNearEndWaits) {
    Result r = print(1, [](int i) {
        if (i == 1)
            return with([](emu::Conditions& c) { c.paper_end = c.paper_near_end = true; });
        return ready();
    });
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("STATE: +media-empty\nINFO: Paper empty\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.count("STATE: +media-low\n"), 0);
    EXPECT_NE(r.err.find("STATE: -media-low\nSTATE: -media-empty\nINFO: \n"), std::string::npos);
}

TEST_P(FilterStatus, UnrecoverableErrorEndsTheJob) {
    Result r = print(1, [](int i) {
        return i == 1 ? with([](emu::Conditions& c) { c.unrecoverable_error = true; }) : ready();
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("STATE: +printer-stopped\nERROR: Printer Unrecoverable error\n"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("INFO: Printing not complete\n"), std::string::npos);
    for (auto& c : r.commands())
        EXPECT_EQ(c.rfind("store", 0), std::string::npos);
}

TEST_P(FilterStatus, CancelWhileWaiting) {
    Result r = print(1, [](int i) {
        return i >= 1 ? with([](emu::Conditions& c) { c.cutter_error = true; }) : ready();
    }, 3);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("STATE: +die-cutter-motor-failure\nINFO: Cutter problem\n"),
              std::string::npos);
    EXPECT_NE(r.err.find("INFO: Job cancelled\n"), std::string::npos) << r.err;
    for (auto& c : r.commands())
        EXPECT_EQ(c.rfind("cut", 0), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Roads, FilterStatus, ::testing::Values(Road::Side, Road::Back),
                         [](const auto& info) {
                             return info.param == Road::Side ? std::string("SideChannel")
                                                             : std::string("BackChannel");
                         });

TEST_F(FilterJob, SideChannelOfflineAndFailedExchanges) {
    // Eleven requests without a printer's answer (not connected, or the
    // backend's exchange failed: its zero bytes must not read as "ready"),
    // then the printer answers again.
    FilterRun run = onRoad(Road::Side, [](int i) {
        if (i >= 1 && i <= 11)
            return answerOf(i % 2 ? Answer::NotConnected : Answer::ExchangeFailed);
        return ready();
    });
    Page p = makePage(576, 10, 1, [](unsigned, unsigned) { return 0; });
    Result r = job({p}, "", run);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.count("INFO: Waiting printer online\nSTATE: +shutdown\n"), 1) << r.err;
    const size_t back = r.err.find("INFO: \nSTATE: -shutdown\n");
    EXPECT_NE(back, std::string::npos);
    EXPECT_LT(r.err.find("INFO: Waiting printer online\n"), back);
    EXPECT_EQ(r.requests, 13);
}

TEST_F(FilterJob, OwnUsbConnectionAsksWithItsCommand) {
    FilterRun run = onRoad(Road::Side);
    run.uri = "vemcupsintf://usb/1209/0002";
    Page p = makePage(576, 10, 1, [](unsigned, unsigned) { return 0; });
    Result r = job({p}, "", run);
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.sideRequests.size(), 2u);
    EXPECT_EQ(r.sideRequests[0], (std::vector<uint8_t>{0, 6, 0x17, 0x01, 0x10}));
}

TEST_F(FilterJob, BackChannelDropsStaleAnswers) {
    // A "cover open" answer left over from before must not be taken for
    // the answer to the first request.
    FilterRun run = onRoad(Road::Back);
    emu::Conditions open;
    open.cover_open = true;
    auto stale = emu::status_reply(open);
    run.staleBackChannel.assign(stale.begin(), stale.end());
    Page p = makePage(576, 10, 1, [](unsigned, unsigned) { return 0; });
    Result r = job({p}, "", run);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.count("STATE: +cover-open"), 0) << r.err;
    // The status requests travel in the data, at command boundaries.
    EXPECT_EQ(joined(r.commands()).substr(0, 34), "status init spacing feed:0 status ");
}

TEST_F(FilterJob, BackChannelOfflineThenOnline) {
    // Unanswered requests on the back channel each wait out the 1 s limit;
    // this is the one slow test.
    FilterRun run = onRoad(Road::Back, [](int i) {
        return i >= 1 && i <= 11 ? answerOf(Answer::Silent) : ready();
    });
    Page p = makePage(576, 10, 1, [](unsigned, unsigned) { return 0; });
    Result r = job({p}, "", run);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.count("INFO: Waiting printer online\nSTATE: +shutdown\n"), 1) << r.err;
    EXPECT_NE(r.err.find("INFO: \nSTATE: -shutdown\n"), std::string::npos);
}

}  // namespace
