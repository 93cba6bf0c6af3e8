// The emulator core's interpreter: the filter's example streams, chunking,
// status requests, errors and text.
#include <gtest/gtest.h>

#include "streams.h"

namespace kvrs::emu::test {
namespace {

std::uint8_t pixel(const Receipt& r, int x, int y) {
    return r.pixels[static_cast<std::size_t>(y * r.width + x)];
}

// Compares a receipt's pixels with a monochrome image printed at row `top`.
::testing::AssertionResult shows_image(const Receipt& r, const Bytes& image, int width, int height,
                                       int top) {
    const int rb = (width + 7) / 8;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < r.width; ++x) {
            const bool ink =
                x < width && (image[static_cast<std::size_t>(y * rb + x / 8)] >> (7 - x % 8) & 1);
            if (pixel(r, x, top + y) != (ink ? 0 : 255))
                return ::testing::AssertionFailure()
                       << "pixel (" << x << "," << top + y << ") is " << int(pixel(r, x, top + y));
        }
    return ::testing::AssertionSuccess();
}

// ---------------------------------------------------------------------------
// The filter's page of 576 x 2500 dots arrives as bands of 1000, 1000 and 500
// rows and comes out as one receipt showing exactly that image.
TEST(EmulatorCoreStreams, MonochromePageInThreeBands) {
    const Bytes image = pattern(576, 2500, 7);
    const Bytes stream = mono_page(576, image, 2500);
    const Bytes header(stream.begin(), stream.begin() + 17);
    ASSERT_EQ(header, (Bytes{0x1D, 0x38, 0x4C, 0x4A, 0x19, 0x01, 0x00, 0x30, 0x70, 0x30, 0x01, 0x01,
                             0x31, 0x40, 0x02, 0xE8, 0x03}))
        << hexdump(header);

    const Record r = run(stream);
    const auto stores = r.of("graphics-store"), prints = r.of("graphics-print");
    ASSERT_EQ(stores.size(), 3u) << hexdump(stream, 64);
    ASSERT_EQ(prints.size(), 3u);
    for (const int i : {0, 1, 2}) {
        const int height = i < 2 ? 1000 : 500;
        EXPECT_EQ(stores[i]->num("height"), height);
        EXPECT_EQ(stores[i]->num("bytes"), 72 * height);
        EXPECT_EQ(prints[i]->num("height"), height);
    }
    EXPECT_EQ(stores[1]->offset, 17u + 72000u + 7u);
    EXPECT_TRUE(r.of("error").empty()) << r.events.front();
    EXPECT_TRUE(r.replies.empty());
    ASSERT_EQ(r.receipts.size(), 1u);
    ASSERT_EQ(r.receipts[0].height, 2500);
    EXPECT_TRUE(r.receipts[0].printed);
    EXPECT_TRUE(shows_image(r.receipts[0], image, 576, 2500, 0));
}

// ESC J 255 + ESC J 45 is 300 dots of blank paper, and a band printed after
// it starts at row 300; the drawer pulse is reported with its times.
TEST(EmulatorCoreStreams, FeedDrawerAndPosition) {
    const Bytes stream{0x1B, 0x40, 0x1B, 0x32, 0x1B, 0x4A, 0xFF, 0x1B,
                       0x4A, 0x2D, 0x1B, 0x70, 0x00, 0x64, 0x64};
    const Record blank = run(stream);
    const auto feeds = blank.of("feed");
    ASSERT_EQ(feeds.size(), 2u) << hexdump(stream);
    EXPECT_EQ(*feeds[0]->num("dots") + *feeds[1]->num("dots"), 300);
    EXPECT_EQ(blank.of("line-spacing").at(0)->num("dots"), kDefaultLineSpacing);
    EXPECT_EQ(
        blank.of("drawer").at(0)->json(),
        R"({"kind":"drawer","offset":10,"pin":0,"on":100,"off":100,"on_ms":200,"off_ms":200})");
    ASSERT_EQ(blank.receipts.size(), 1u);
    EXPECT_FALSE(blank.receipts[0].printed);  // only blank paper
    EXPECT_EQ(blank.receipts[0].height, 300);

    const Bytes image = pattern(100, 20, 3);
    const Record r = run(cat({stream, store(0x30, 0x31, 100, 20, image), kPrint}));
    ASSERT_EQ(r.receipts.size(), 1u);
    EXPECT_EQ(r.receipts[0].height, 320);
    EXPECT_EQ(pixel(r.receipts[0], 50, 299), 255);
    EXPECT_TRUE(shows_image(r.receipts[0], image, 100, 20, 300));
}

// Four planes combine into 16 gray levels; plane 0x31 is the most
// significant bit of the darkness.
TEST(EmulatorCoreStreams, GrayPageShowsSixteenLevels) {
    const int w = 64, h = 10;
    Bytes gray(static_cast<std::size_t>(w * h));
    for (std::size_t i = 0; i < gray.size(); ++i)
        gray[i] = static_cast<std::uint8_t>(((i % w / 4 + i / w) % 16) * 16 + 5);
    const Record r = run(gray_band(w, h, gray));
    const auto stores = r.of("graphics-store");
    ASSERT_EQ(stores.size(), 4u);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(stores[static_cast<std::size_t>(i)]->num("plane"), i + 1);
    EXPECT_EQ(r.of("graphics-print").at(0)->str("planes"), "1234");
    ASSERT_EQ(r.receipts.size(), 1u);
    ASSERT_EQ(r.receipts[0].height, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            ASSERT_EQ(pixel(r.receipts[0], x, y),
                      255 - 17 * (15 - gray[static_cast<std::size_t>(y * w + x)] / 16))
                << "at " << x << "," << y;
    EXPECT_EQ(pixel(r.receipts[0], w, 0), 255);  // beyond the image: paper
}

// ---------------------------------------------------------------------------
// However the bytes are split, the events, replies and pictures are the
// same.  The small stream (the example feed and drawer pulse, a band, a gray
// band, text, unknown and ignored bytes, status requests, a cut-off command)
// is split once at every position and byte by byte; a full-width page in
// chunks of 1, 7 and 4093 bytes.
void expect_same(const Record& a, const Record& b, const std::string& how) {
    ASSERT_EQ(a.events, b.events) << how;
    ASSERT_EQ(a.replies, b.replies) << how;
    ASSERT_EQ(a.receipts.size(), b.receipts.size()) << how;
    for (std::size_t i = 0; i < a.receipts.size(); ++i) {
        ASSERT_EQ(a.receipts[i].height, b.receipts[i].height) << how;
        ASSERT_EQ(a.receipts[i].printed, b.receipts[i].printed) << how;
        ASSERT_TRUE(a.receipts[i].pixels == b.receipts[i].pixels) << how << " receipt " << i;
    }
}

TEST(EmulatorCoreChunking, EverySplitGivesTheSameResult) {
    Bytes gray(24 * 5);
    for (std::size_t i = 0; i < gray.size(); ++i) gray[i] = static_cast<std::uint8_t>(i * 37);
    const Bytes s =
        cat({{0x1B, 0x40, 0x1B, 0x32, 0x1B, 0x4A, 0xFF, 0x1B, 0x4A, 0x2D},
             kStatusRequest,
             store(0x30, 0x31, 37, 9, pattern(37, 9, 11)),
             kPrint,
             gray_band(24, 5, gray),
             text("Total \x81 12.50\r\n"),
             {0x00, 0x01, 0x1B, 0x21, 0x08, 0x1B, 0x1D},        // unknown and ignored bytes
             {0x1D, 0x28, 0x4B, 0x02, 0x00, 0x30, 0x31},        // another GS ( function
             {0x1D, 0x28, 0x4C, 0x03, 0x00, 0x30, 0x45, 0x01},  // unknown graphics function
             {0x10, 0x04, 0x01, 0x1B, 0x70, 0x00, 0x64, 0x64, 0x1B, 0x69, 'A', 'B', 0x1B, 0x6D},
             kStatusRequest,
             {0x1B, 0x4A}});  // cut off at the end
    const Record whole = run(s);
    // The stream itself must exercise what it claims to.
    ASSERT_EQ(whole.replies.size(), 3u);
    ASSERT_EQ(whole.receipts.size(), 2u);
    ASSERT_EQ(whole.of("truncated").size(), 1u);
    ASSERT_FALSE(whole.of("unknown").empty());
    ASSERT_EQ(whole.of("text").size(), 2u);

    std::vector<std::size_t> every;
    for (std::size_t cut = 1; cut < s.size(); ++cut) {
        every.push_back(cut);
        expect_same(whole, run(s, {cut}), "split at " + std::to_string(cut) + hexdump(s));
        if (HasFatalFailure()) return;
    }
    expect_same(whole, run(s, every), "byte by byte");

    const Bytes page = cat({mono_page(576, pattern(576, 1300, 5), 1300),
                            {0x1B, 0x4A, 0xFF, 0x1B, 0x4A, 0x2D, 0x1B, 0x69}});
    const Record big = run(page);
    ASSERT_EQ(big.receipts.size(), 1u);
    for (const std::size_t step : {1, 7, 4093}) {
        std::vector<std::size_t> cuts;
        for (std::size_t at = step; at < page.size(); at += step) cuts.push_back(at);
        expect_same(big, run(page, cuts), "chunks of " + std::to_string(step));
    }
}

// ---------------------------------------------------------------------------
// Status requests: the condition bits sit where the filter looks; answered
// at command boundaries only, with exactly six bytes in one reply.
TEST(EmulatorCoreStatus, ReplyBitsFollowConditions) {
    // clang-format off
    const struct { const char* name; int byte; std::uint8_t mask; } cases[] = {
        {"cover-open", 1, 0x04},   {"other-error", 1, 0x20},         {"cutter-error", 2, 0x08},
        {"unrecoverable-error", 2, 0x20}, {"recoverable-error", 2, 0x40},
        {"paper-near-end", 3, 0x0C}, {"paper-end", 3, 0x60},         {"other-error-2", 5, 0x04}};
    // clang-format on
    for (const auto& c : cases) {
        Conditions cond;
        ASSERT_TRUE(set_condition(cond, c.name, true)) << c.name;
        Bytes want(6, 0);
        want[static_cast<std::size_t>(c.byte)] = c.mask;
        EXPECT_EQ(run(kStatusRequest, {1, 2}, cond).replies, std::vector<Bytes>{want}) << c.name;
    }
}

TEST(EmulatorCoreStatus, OnlyAtCommandBoundaries) {
    // 10 04 10 inside graphics data, as ESC J's parameter, inside a store
    // header and as the parameter of an ignored command: never answered.
    Bytes data = pattern(32, 4, 1);
    data[3] = 0x10, data[4] = 0x04, data[5] = 0x10;
    Bytes s = cat({store(0x30, 0x31, 32, 4, data),
                   kPrint,
                   {0x1B, 0x4A, 0x10, 0x04, 0x10},
                   {0x1B, 0x21, 0x10, 0x04, 0x10},
                   store(0x30, 0x31, 0x10, 0x04, Bytes(8, 0x10))});
    Record r = run(s);
    EXPECT_TRUE(r.replies.empty()) << hexdump(s);
    EXPECT_TRUE(r.of("status-request").empty());
    EXPECT_EQ(r.of("feed").at(0)->num("dots"), 16);

    // The same bytes at a boundary are answered, once each, in one call.
    s = cat({s, kStatusRequest, {0x1B, 0x4A, 0x05}, kStatusRequest});
    r = run(s);
    EXPECT_EQ(r.replies, std::vector(2, Bytes(6, 0))) << hexdump(s);
    EXPECT_EQ(r.of("status-request").at(0)->str("reply"), "00 00 00 00 00 00");

    // DLE EOT 2 and 4 get one status byte; other values nothing.
    Conditions cond;
    cond.cover_open = cond.paper_near_end = true;
    r = run({0x10, 0x04, 0x02, 0x10, 0x04, 0x04, 0x10, 0x04, 0x07}, {}, cond);
    EXPECT_EQ(r.replies, (std::vector<Bytes>{{0x16}, {0x1E}}));
    EXPECT_EQ(r.of("status-request").at(2)->str("dropped"), "unsupported");
}

// Offline: dropped and reported, and never answered later, even when the
// printer comes back before the request is complete.
TEST(EmulatorCoreStatus, OfflineDropsRequests) {
    Record r;
    r.cond.offline = true;
    Interpreter in = recording(r);
    in.feed(kStatusRequest);
    in.feed(std::span(kStatusRequest).first(2));
    EXPECT_TRUE(r.replies.empty());
    r.cond.offline = false;
    in.feed(std::span(kStatusRequest).subspan(2));
    in.finish();
    ASSERT_EQ(r.raw.size(), 2u);
    EXPECT_EQ(r.raw[0].str("dropped"), "offline");
    EXPECT_EQ(r.replies.size(), 1u);  // the second request only
}

// ---------------------------------------------------------------------------
// A cut ends a receipt; what is left at the end is a receipt too.
TEST(EmulatorCoreReceipts, CutsAndIdleSplitReceipts) {
    const Bytes s = cat({store(0x30, 0x31, 16, 10, Bytes(20, 0xFF)),
                         kPrint,
                         {0x1B, 0x4A, 0x05, 0x1B, 0x69, 0x1B, 0x6D},  // feed, full, partial cut
                         {'H', 'i', '\n', 0x1D, 0x56, 0x41, 0x10},    // GS V A: feed 16, cut
                         {0x1B, 0x4A, 0x07}});
    const Record r = run(s);
    const auto cuts = r.of("cut");
    ASSERT_EQ(cuts.size(), 3u) << hexdump(s);
    EXPECT_EQ(cuts[0]->str("type"), "full");
    EXPECT_EQ(cuts[1]->str("type"), "partial");
    ASSERT_EQ(r.receipts.size(), 4u);
    const std::pair<bool, int> want[] = {
        {true, 15}, {false, 0}, {true, kDefaultLineSpacing + 16}, {false, 7}};
    for (std::size_t i = 0; i < 4; ++i)
        EXPECT_EQ(std::pair(r.receipts[i].printed, r.receipts[i].height), want[i]) << i;
    EXPECT_EQ(pixel(r.receipts[0], 15, 9), 0);
    EXPECT_EQ(pixel(r.receipts[0], 16, 9), 255);
    EXPECT_EQ(pixel(r.receipts[0], 0, 10), 255);
}

// feed_until_receipt() returns right after each command that ended a
// receipt (a cut, GS V A with its feed), and reading a stream that way
// gives exactly what feed() gives.
TEST(EmulatorCoreReceipts, FeedUntilReceiptStopsAfterEachCut) {
    const Bytes s = cat({store(0x30, 0x31, 16, 10, Bytes(20, 0xFF)),
                         kPrint,
                         {0x1B, 0x4A, 0x05, 0x1B, 0x69, 0x1B, 0x6D},
                         {'H', 'i', '\n', 0x1D, 0x56, 0x41, 0x10},
                         {0x1B, 0x4A, 0x07}});
    Record r;
    Interpreter in = recording(r);
    std::vector<std::size_t> stops;
    for (std::size_t at = 0; at < s.size();) {
        const std::size_t n = in.feed_until_receipt(std::span(s).subspan(at));
        ASSERT_GT(n, 0u);
        stops.push_back(at += n);
    }
    in.finish();
    EXPECT_EQ(stops, (std::vector<std::size_t>{49, 51, 58, 61}));
    EXPECT_EQ(r.events, run(s).events);
    EXPECT_EQ(r.receipts.size(), 4u);
}

// Sparse receipts stop after their last drawn row (blank paper has no
// pixels at all), and their pictures are the same as those of full ones.
TEST(EmulatorCoreReceipts, SparseReceiptsMakeTheSamePictures) {
    const Bytes s = cat({store(0x30, 0x31, 16, 10, Bytes(20, 0xFF)),
                         kPrint,
                         {0x1B, 0x4A, 0xFF, 0x1B, 0x69},
                         {0x1B, 0x4A, 0xFF, 0x1B, 0x4A, 0xFF, 0x1B, 0x69},
                         text("Hi\n"),
                         {0x1B, 0x4A, 0x30}});
    const Record full = run(s);
    Record sparse;
    Interpreter in = recording(sparse);
    in.set_sparse_receipts(true);
    in.feed(s);
    in.finish();
    ASSERT_EQ(full.receipts.size(), 3u);
    ASSERT_EQ(sparse.receipts.size(), 3u);
    const std::size_t drawn[] = {10, 0, static_cast<std::size_t>(kCharHeight)};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(sparse.receipts[i].height, full.receipts[i].height) << i;
        EXPECT_EQ(sparse.receipts[i].pixels.size(), drawn[i] * 576) << i;
        if (full.receipts[i].printed) {
            EXPECT_EQ(encode_png(sparse.receipts[i]), encode_png(full.receipts[i])) << i;
        }
    }
    Receipt torn = sparse.receipts[0];
    torn.pixels.pop_back();
    std::string why;
    EXPECT_TRUE(encode_png(torn, &why).empty());
    EXPECT_NE(why, "");
}

// ---------------------------------------------------------------------------
// Faulty input: reported, skipped, and the stream stays in step (the ESC J
// after it is read as a feed; a status request after it is answered).
TEST(EmulatorCoreErrors, BadInputIsReportedAndSkipped) {
    const Bytes wide = cat({store(0x30, 0x31, 400, 1, Bytes(50, 0xFF)), kPrint});
    // clang-format off
    const struct { Bytes stream; Paper paper; std::vector<std::string> errors; } cases[] = {
        {cat({store(0x30, 0x31, 600, 2, Bytes(150, 0x10)), kPrint}), {},
         {"wider than the paper", "no graphics stored"}},
        {wide, Paper{Model::M2A, 58}, {}},
        {wide, Paper{Model::M1A, 58}, {"wider", "no graphics"}},
        {store(0x30, 0x31, 16, 4, Bytes(9, 0x10)), {}, {"does not match"}},
        {{0x1D, 0x38, 0x4C, 0xF0, 0xFF, 0xFF, 0xFF, 0x30, 0x70, 0x30, 0x01, 0x01, 0x31, 0x40, 0x02,
          0xE8, 0x03}, {}, {"", ""}}};                                // absurd length
    // clang-format on
    for (const auto& c : cases) {
        const Bytes s = cat({c.stream, {0x1B, 0x4A, 0x09}, kStatusRequest});
        SCOPED_TRACE(hexdump(s, 32));
        const Record r = run(s, {}, {}, c.paper);
        const auto errors = r.of("error");
        ASSERT_EQ(errors.size(), c.errors.size());
        for (std::size_t i = 0; i < errors.size(); ++i)
            EXPECT_NE(errors[i]->str("message")->find(c.errors[i]), std::string::npos);
        ASSERT_EQ(r.of("feed").size(), 1u);
        EXPECT_EQ(r.of("feed")[0]->num("dots"), 9);
        EXPECT_EQ(r.of("feed")[0]->offset, c.stream.size());
        EXPECT_EQ(r.replies.size(), 1u);
    }

    // Feeding far beyond a receipt's limit ends the receipt and starts
    // another rather than growing without bound.
    Bytes feeds;
    for (int i = 0; i < 300; ++i) feeds = cat({feeds, {0x1B, 0x4A, 0xFF}});
    const Record r = run(feeds);
    ASSERT_EQ(r.receipts.size(), 2u);
    EXPECT_LE(r.receipts[0].height, kMaxReceiptRows);
    EXPECT_EQ(r.receipts[0].height + r.receipts[1].height, 300 * 255);
    EXPECT_EQ(r.of("error").size(), 1u);
}

TEST(EmulatorCoreErrors, UnknownBytesAndTruncation) {
    // Unknown bytes in a row make one event; a control byte that breaks a
    // command starts the next one (ESC GS ... is GS ...).
    const Bytes s{0x00, 0x01, 0x02, 0x1B, 0x1B, 0x40, 0x1B,
                  0xFE, 0x1D, 0x21, 0x11, 0x1C, 0x2E, 0x7F};
    Record r = run(s);
    const auto unknown = r.of("unknown");
    ASSERT_EQ(unknown.size(), 2u) << hexdump(s);
    EXPECT_EQ(unknown[0]->json(),
              R"({"kind":"unknown","offset":0,"count":4,"bytes":"00 01 02 1B"})");
    EXPECT_EQ(r.of("init").at(0)->offset, 4u);
    EXPECT_EQ(unknown[1]->offset, 6u);
    EXPECT_EQ(unknown[1]->num("count"), 8);  // ESC FE, GS ! n, FS ., DEL
    EXPECT_TRUE(r.of("text").empty());
    EXPECT_EQ(unknown[1], &r.raw.back());  // reported once the run has ended

    // A command cut off by the end of the input.
    Bytes band = store(0x30, 0x31, 576, 10, Bytes(720, 0));
    band.resize(band.size() - 100);
    r = run(band);
    EXPECT_EQ(r.of("truncated").at(0)->num("missing"), 100);
    EXPECT_TRUE(r.receipts.empty());
    r = run({0x1D, 0x38, 0x4C, 0x4A});
    EXPECT_EQ(r.of("truncated").at(0)->str("command"), "1D 38 4C 4A");
}

// ---------------------------------------------------------------------------
// Text: printed with the font at LF, 12 x 24 dots per character.
TEST(EmulatorCoreText, LinesArePrintedWithTheFont) {
    ASSERT_NE(default_font(), nullptr) << "the psf-unifont package provides " << kDefaultFontPath;
    const Record r = run(text("Hello \"receipt\" \\ \x81\n"));
    EXPECT_EQ(r.of("text").at(0)->str("text"), "Hello \"receipt\" \\ \xC3\xBC");
    EXPECT_TRUE(r.of("error").empty());
    ASSERT_EQ(r.receipts.size(), 1u);
    EXPECT_EQ(r.receipts[0].height, kDefaultLineSpacing);
    auto ink = [&](int x0, int x1) {
        int n = 0;
        for (int y = 0; y < kCharHeight; ++y)
            for (int x = x0; x < x1; ++x) n += pixel(r.receipts[0], x, y) == 0;
        return n;
    };
    EXPECT_GT(ink(0, 12), 20);             // H
    EXPECT_EQ(ink(5 * 12, 6 * 12), 0);     // the space after "Hello"
    EXPECT_GT(ink(18 * 12, 19 * 12), 10);  // the u with diaeresis
    EXPECT_EQ(ink(19 * 12, 576), 0);       // nothing beyond
}

}  // namespace
}  // namespace kvrs::emu::test
