// The emulator core's interpreter: the filter's example streams, chunking,
// status requests, errors and text.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "font.h"
#include "streams.h"

namespace kvrs::emu::test {
namespace {

// Pixel of a monochrome image row-major in bytes of (width + 7) / 8.
bool dot(const Bytes& image, int width, int x, int y) {
    const std::size_t rb = static_cast<std::size_t>((width + 7) / 8);
    return (image[static_cast<std::size_t>(y) * rb + static_cast<std::size_t>(x / 8)] >>
                (7 - x % 8) &
            1) != 0;
}

// Compares a receipt's pixels with a monochrome image printed at row `top`.
::testing::AssertionResult shows_image(const Receipt& r, const Bytes& image, int width, int height,
                                       int top) {
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < r.width; ++x) {
            const bool want = x < width && dot(image, width, x, y);
            const std::uint8_t got =
                r.pixels[static_cast<std::size_t>(top + y) * static_cast<std::size_t>(r.width) +
                         static_cast<std::size_t>(x)];
            if (got != (want ? 0 : 255))
                return ::testing::AssertionFailure()
                       << "pixel (" << x << "," << top + y << ") is " << int(got);
        }
    return ::testing::AssertionSuccess();
}

std::uint8_t pixel(const Receipt& r, int x, int y) {
    return r.pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(r.width) +
                    static_cast<std::size_t>(x)];
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
    const auto stores = r.of("graphics-store");
    const auto prints = r.of("graphics-print");
    ASSERT_EQ(stores.size(), 3u) << hexdump(stream, 64);
    ASSERT_EQ(prints.size(), 3u);
    const int heights[] = {1000, 1000, 500};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(stores[i]->str("tone"), "mono");
        EXPECT_EQ(stores[i]->num("width"), 576);
        EXPECT_EQ(stores[i]->num("height"), heights[i]);
        EXPECT_EQ(stores[i]->num("bytes"), 72 * heights[i]);
        EXPECT_EQ(prints[i]->num("height"), heights[i]);
    }
    EXPECT_EQ(stores[1]->offset, 17u + 72000u + 7u);
    EXPECT_TRUE(r.of("error").empty()) << r.events.front();
    EXPECT_TRUE(r.replies.empty());

    ASSERT_EQ(r.receipts.size(), 1u);
    const Receipt& rc = r.receipts[0];
    EXPECT_TRUE(rc.printed);
    ASSERT_EQ(rc.width, 576);
    ASSERT_EQ(rc.height, 2500);
    EXPECT_TRUE(shows_image(rc, image, 576, 2500, 0));
}

// ESC J 255 + ESC J 45 is 300 dots of blank paper, and a band printed after
// it starts at row 300; the drawer pulse is reported with its times.
TEST(EmulatorCoreStreams, FeedDrawerAndPosition) {
    Bytes stream{0x1B, 0x40, 0x1B, 0x32, 0x1B, 0x4A, 0xFF, 0x1B,
                 0x4A, 0x2D, 0x1B, 0x70, 0x00, 0x64, 0x64};
    const Record blank = run(stream);
    const auto feeds = blank.of("feed");
    ASSERT_EQ(feeds.size(), 2u) << hexdump(stream);
    EXPECT_EQ(*feeds[0]->num("dots") + *feeds[1]->num("dots"), 300);
    EXPECT_EQ(blank.of("init").size(), 1u);
    EXPECT_EQ(blank.of("line-spacing").at(0)->num("dots"), kDefaultLineSpacing);
    const auto drawer = blank.of("drawer");
    ASSERT_EQ(drawer.size(), 1u);
    EXPECT_EQ(drawer[0]->num("pin"), 0);
    EXPECT_EQ(drawer[0]->num("on"), 100);
    EXPECT_EQ(drawer[0]->num("off"), 100);
    EXPECT_EQ(drawer[0]->offset, 10u);
    ASSERT_EQ(blank.receipts.size(), 1u);
    EXPECT_FALSE(blank.receipts[0].printed);  // only blank paper
    EXPECT_EQ(blank.receipts[0].height, 300);

    const Bytes image = pattern(100, 20, 3);
    append(stream, store(0x30, 0x31, 100, 20, image));
    append(stream, kPrint);
    const Record r = run(stream);
    ASSERT_EQ(r.receipts.size(), 1u);
    EXPECT_TRUE(r.receipts[0].printed);
    EXPECT_EQ(r.receipts[0].height, 320);
    EXPECT_EQ(pixel(r.receipts[0], 50, 299), 255);
    EXPECT_TRUE(shows_image(r.receipts[0], image, 100, 20, 300));
}

// Four planes combine into 16 gray levels; plane 0x31 is the most
// significant bit of the darkness.
TEST(EmulatorCoreStreams, GrayPageShowsSixteenLevels) {
    const int w = 64, h = 10;
    std::vector<std::uint8_t> gray(static_cast<std::size_t>(w * h));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            gray[static_cast<std::size_t>(y * w + x)] =
                static_cast<std::uint8_t>(((x / 4 + y) % 16) * 16 + 5);
    const Bytes stream = gray_band(w, h, gray);
    const Record r = run(stream);
    ASSERT_EQ(r.of("graphics-store").size(), 4u) << hexdump(stream, 64);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(r.of("graphics-store")[static_cast<std::size_t>(i)]->num("plane"), i + 1);
    ASSERT_EQ(r.of("graphics-print").size(), 1u);
    EXPECT_EQ(r.of("graphics-print")[0]->str("tone"), "gray");
    EXPECT_EQ(r.of("graphics-print")[0]->str("planes"), "1234");
    ASSERT_EQ(r.receipts.size(), 1u);
    const Receipt& rc = r.receipts[0];
    ASSERT_EQ(rc.height, h);
    std::vector<bool> seen(256);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int dark = 15 - gray[static_cast<std::size_t>(y * w + x)] / 16;
            ASSERT_EQ(pixel(rc, x, y), 255 - 17 * dark) << "at " << x << "," << y;
            seen[pixel(rc, x, y)] = true;
        }
    int levels = 0;
    for (const bool s : seen) levels += s;
    EXPECT_EQ(levels, 16);
    EXPECT_EQ(pixel(rc, w, 0), 255);  // beyond the image: paper
}

// A stream with a bit of everything, for the chunking tests.
Bytes mixed_stream() {
    Bytes s{0x1B, 0x40, 0x1B, 0x32, 0x1B, 0x4A, 0x00};
    append(s, kStatusRequest);
    append(s, store(0x30, 0x31, 37, 9, pattern(37, 9, 11)));
    append(s, kPrint);
    std::vector<std::uint8_t> gray(24 * 5);
    for (std::size_t i = 0; i < gray.size(); ++i) gray[i] = static_cast<std::uint8_t>(i * 37);
    append(s, gray_band(24, 5, gray));
    const std::string text = "Total \x81 12.50\r\n";
    s.insert(s.end(), text.begin(), text.end());
    append(s, {0x00, 0x01, 0x1B, 0x21, 0x08, 0x1B, 0x1D});        // unknown and ignored bytes
    append(s, {0x1D, 0x28, 0x4B, 0x02, 0x00, 0x30, 0x31});        // another GS ( function
    append(s, {0x1D, 0x28, 0x4C, 0x03, 0x00, 0x30, 0x45, 0x01});  // unknown graphics function
    append(s, {0x10, 0x04, 0x01, 0x1B, 0x70, 0x00, 0x64, 0x64, 0x1B, 0x4A, 0x90, 0x1B, 0x69});
    append(s, {'A', 'B', 0x1B, 0x6D});
    append(s, kStatusRequest);
    append(s, {0x1B, 0x4A});  // cut off at the end
    return s;
}

void expect_same(const Record& a, const Record& b, const Bytes& stream, const std::string& how) {
    ASSERT_EQ(a.events, b.events) << how << hexdump(stream);
    ASSERT_EQ(a.replies, b.replies) << how << hexdump(stream);
    ASSERT_EQ(a.receipts.size(), b.receipts.size()) << how;
    for (std::size_t i = 0; i < a.receipts.size(); ++i) {
        ASSERT_EQ(a.receipts[i].height, b.receipts[i].height) << how;
        ASSERT_EQ(a.receipts[i].printed, b.receipts[i].printed) << how;
        ASSERT_TRUE(a.receipts[i].pixels == b.receipts[i].pixels) << how << " receipt " << i;
    }
}

// However the bytes are split, the events, replies and pictures are the
// same: split once at every position, and byte by byte.
TEST(EmulatorCoreChunking, EverySplitGivesTheSameResult) {
    const Bytes s = mixed_stream();
    const Record whole = run(s);
    // The stream itself must exercise what it claims to.
    ASSERT_EQ(whole.replies.size(), 3u);
    ASSERT_EQ(whole.receipts.size(), 2u);
    ASSERT_EQ(whole.of("truncated").size(), 1u);
    ASSERT_FALSE(whole.of("unknown").empty());
    ASSERT_EQ(whole.of("text").size(), 2u);

    for (std::size_t cut = 1; cut < s.size(); ++cut) {
        expect_same(whole, run(s, {cut}), s, "split at " + std::to_string(cut));
        if (::testing::Test::HasFatalFailure()) return;
    }
    std::vector<std::size_t> every(s.size() - 1);
    for (std::size_t i = 0; i < every.size(); ++i) every[i] = i + 1;
    expect_same(whole, run(s, every), s, "byte by byte");
}

TEST(EmulatorCoreChunking, BigPageByteByByteAndInOddChunks) {
    const int height = 1300;
    const Bytes image = pattern(576, height, 5);
    Bytes s = mono_page(576, image, height);
    append(s, {0x1B, 0x4A, 0xFF, 0x1B, 0x4A, 0x2D, 0x1B, 0x69});
    const Record whole = run(s);
    ASSERT_EQ(whole.receipts.size(), 1u);
    for (const std::size_t step :
         {std::size_t{1}, std::size_t{7}, std::size_t{4093}, std::size_t{65536}}) {
        std::vector<std::size_t> cuts;
        for (std::size_t at = step; at < s.size(); at += step) cuts.push_back(at);
        expect_same(whole, run(s, cuts), s, "chunks of " + std::to_string(step));
    }
}

// ---------------------------------------------------------------------------
// Status requests: answered at command boundaries only, with exactly six
// bytes in one reply; the condition bits sit where the filter looks.
TEST(EmulatorCoreStatus, ReplyBitsFollowConditions) {
    EXPECT_EQ(status_reply({}), (std::array<std::uint8_t, 6>{}));
    struct Case {
        const char* name;
        int byte;
        std::uint8_t mask;
    } cases[] = {{"cover-open", 1, 0x04},        {"other-error", 1, 0x20},
                 {"cutter-error", 2, 0x08},      {"unrecoverable-error", 2, 0x20},
                 {"recoverable-error", 2, 0x40}, {"paper-near-end", 3, 0x0C},
                 {"paper-end", 3, 0x60},         {"other-error-2", 5, 0x04}};
    for (const auto& c : cases) {
        Conditions cond;
        ASSERT_TRUE(set_condition(cond, c.name, true)) << c.name;
        std::array<std::uint8_t, 6> want{};
        want[static_cast<std::size_t>(c.byte)] = c.mask;
        EXPECT_EQ(status_reply(cond), want) << c.name;
        EXPECT_EQ(describe(cond), c.name);
        const Record r = run(kStatusRequest, {1, 2}, cond);
        ASSERT_EQ(r.replies.size(), 1u);
        EXPECT_EQ(r.replies[0], Bytes(want.begin(), want.end())) << c.name;
    }
    Conditions cond;
    EXPECT_FALSE(set_condition(cond, "on-fire", true));
    EXPECT_EQ(describe(cond), "ready");
    EXPECT_EQ(condition_names().size(), 9u);
}

TEST(EmulatorCoreStatus, OnlyAtCommandBoundaries) {
    // 10 04 10 inside graphics data, as ESC J's parameter, inside a store
    // header and as the parameter of an ignored command: never answered.
    Bytes data = pattern(32, 4, 1);
    data[3] = 0x10, data[4] = 0x04, data[5] = 0x10;
    Bytes s = store(0x30, 0x31, 32, 4, data);
    append(s, kPrint);
    append(s, {0x1B, 0x4A, 0x10, 0x04, 0x10});
    append(s, {0x1B, 0x21, 0x10, 0x04, 0x10});
    append(s, store(0x30, 0x31, 0x10, 0x04, Bytes(8, 0x10)));
    Record r = run(s);
    EXPECT_TRUE(r.replies.empty()) << hexdump(s);
    EXPECT_TRUE(r.of("status-request").empty());
    EXPECT_EQ(r.of("feed").at(0)->num("dots"), 16);

    // The same bytes at a boundary are answered, once each, in one call.
    append(s, kStatusRequest);
    append(s, {0x1B, 0x4A, 0x05});
    append(s, kStatusRequest);
    r = run(s);
    ASSERT_EQ(r.replies.size(), 2u) << hexdump(s);
    EXPECT_EQ(r.replies[0].size(), 6u);
    EXPECT_EQ(r.of("status-request").at(0)->str("reply"), "00 00 00 00 00 00");
}

TEST(EmulatorCoreStatus, OtherRequestsAndOffline) {
    Conditions cond;
    cond.cover_open = true;
    cond.paper_near_end = true;
    Record r = run({0x10, 0x04, 0x02, 0x10, 0x04, 0x04, 0x10, 0x04, 0x07}, {}, cond);
    ASSERT_EQ(r.replies.size(), 2u);
    EXPECT_EQ(r.replies[0], Bytes{0x16});
    EXPECT_EQ(r.replies[1], Bytes{0x1E});
    EXPECT_EQ(r.of("status-request").at(2)->str("dropped"), "unsupported");

    // Offline: dropped and reported, and never answered later, even when the
    // printer comes back before the next request.
    bool offline = true;
    std::vector<Bytes> replies;
    std::vector<Event> events;
    Interpreter in(
        {}, {.reply =
                 [&](std::span<const std::uint8_t> b) { replies.emplace_back(b.begin(), b.end()); },
             .conditions =
                 [&] {
                     Conditions c;
                     c.offline = offline;
                     return c;
                 },
             .event = [&](const Event& e) { events.push_back(e); },
             .receipt = {}});
    in.feed(kStatusRequest);
    in.feed(std::span(kStatusRequest).first(2));
    EXPECT_TRUE(replies.empty());
    offline = false;
    in.feed(std::span(kStatusRequest).subspan(2));
    in.finish();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].str("dropped"), "offline");
    EXPECT_EQ(replies.size(), 1u);  // the second request only
}

// ---------------------------------------------------------------------------
// A cut ends a receipt; what is left at the end is a receipt too.
TEST(EmulatorCoreReceipts, CutsSplitReceipts) {
    Bytes s = store(0x30, 0x31, 16, 10, Bytes(20, 0xFF));
    append(s, kPrint);
    append(s, {0x1B, 0x4A, 0x05, 0x1B, 0x69, 0x1B,
               0x6D});  // feed, full cut, partial cut on fresh paper
    append(s, {'H', 'i', '\n', 0x1D, 0x56, 0x41, 0x10});  // text, then GS V A: feed 16 and cut
    append(s, {0x1B, 0x4A, 0x07});
    Record r = run(s);
    const auto cuts = r.of("cut");
    ASSERT_EQ(cuts.size(), 3u) << hexdump(s);
    EXPECT_EQ(cuts[0]->str("type"), "full");
    EXPECT_EQ(cuts[1]->str("type"), "partial");
    ASSERT_EQ(r.receipts.size(), 4u);
    EXPECT_TRUE(r.receipts[0].printed);
    EXPECT_EQ(r.receipts[0].height, 15);
    EXPECT_EQ(pixel(r.receipts[0], 15, 9), 0);
    EXPECT_EQ(pixel(r.receipts[0], 16, 9), 255);
    EXPECT_EQ(pixel(r.receipts[0], 0, 10), 255);
    EXPECT_FALSE(r.receipts[1].printed);
    EXPECT_EQ(r.receipts[1].height, 0);
    EXPECT_TRUE(r.receipts[2].printed);
    EXPECT_EQ(r.receipts[2].height, kDefaultLineSpacing + 16);
    EXPECT_FALSE(r.receipts[3].printed);  // the last feed: blank paper
    EXPECT_EQ(r.receipts[3].height, 7);

    // end_receipt() (idle time-out) ends a receipt only if there is one.
    int delivered = 0;
    Interpreter in({}, {.reply = {}, .conditions = {}, .event = {}, .receipt = [&](Receipt&&) {
                            ++delivered;
                        }});
    in.end_receipt();
    EXPECT_EQ(delivered, 0);
    in.feed(Bytes{'x'});
    in.end_receipt();
    EXPECT_EQ(delivered, 1);
    in.finish();
    EXPECT_EQ(delivered, 1);
}

// ---------------------------------------------------------------------------
// Faulty input: reported, skipped, and the stream stays in step.
TEST(EmulatorCoreErrors, BadGraphicsAreReportedAndSkipped) {
    // Wider than the 576-dot paper: the data is skipped, not stored.
    Bytes s = store(0x30, 0x31, 600, 2, Bytes(150, 0x10));
    append(s, kPrint);
    append(s, {0x1B, 0x4A, 0x09});
    Record r = run(s);
    auto errors = r.of("error");
    ASSERT_EQ(errors.size(), 2u) << hexdump(s, 64);
    EXPECT_NE(errors[0]->str("message")->find("wider than the paper"), std::string::npos);
    EXPECT_NE(errors[1]->str("message")->find("no graphics stored"), std::string::npos);
    EXPECT_EQ(r.of("feed").at(0)->num("dots"), 9);
    EXPECT_EQ(r.of("feed").at(0)->offset, s.size() - 3);
    EXPECT_TRUE(r.replies.empty());

    // 400 dots fit 80 mm but not 58 mm paper.
    s = store(0x30, 0x31, 400, 1, Bytes(50, 0xFF));
    append(s, kPrint);
    EXPECT_TRUE(run(s, {}, {}, Paper{Model::M2A, 58}).of("error").empty());
    EXPECT_EQ(run(s, {}, {}, Paper{Model::M1A, 58}).of("error").size(), 2u);

    // A length field that disagrees with the header: reported, and the
    // declared length is skipped.
    s = store(0x30, 0x31, 16, 4, Bytes(9, 0x10));
    append(s, {0x1B, 0x4A, 0x03});
    r = run(s);
    ASSERT_FALSE(r.of("error").empty());
    EXPECT_NE(r.of("error")[0]->str("message")->find("does not match"), std::string::npos);
    EXPECT_EQ(r.of("feed").at(0)->num("dots"), 3);

    // An absurd length (4 GB) is not believed: no allocation, no skipping
    // of the rest of the job.
    s = {0x1D, 0x38, 0x4C, 0xF0, 0xFF, 0xFF, 0xFF, 0x30, 0x70,
         0x30, 0x01, 0x01, 0x31, 0x40, 0x02, 0xE8, 0x03};
    append(s, kStatusRequest);
    r = run(s);
    EXPECT_FALSE(r.of("error").empty());
    EXPECT_EQ(r.replies.size(), 1u) << hexdump(s);

    // Unsupported tone and plane.
    EXPECT_EQ(run(store(0x32, 0x31, 8, 1, {0xFF})).of("error").size(), 1u);
    EXPECT_EQ(run(store(0x34, 0x35, 8, 1, {0xFF})).of("error").size(), 1u);
}

TEST(EmulatorCoreErrors, UnknownBytesAndTruncation) {
    // Unknown bytes in a row make one event; a control byte that breaks a
    // command starts the next one (ESC GS ... is GS ...).
    Bytes s{0x00, 0x01, 0x02, 0x1B, 0x1B, 0x40, 0x1B, 0xFE, 0x1D, 0x21, 0x11, 0x1C, 0x2E, 0x7F};
    Record r = run(s);
    const auto unknown = r.of("unknown");
    ASSERT_EQ(unknown.size(), 2u) << hexdump(s);
    EXPECT_EQ(unknown[0]->offset, 0u);
    EXPECT_EQ(unknown[0]->num("count"), 4);
    EXPECT_EQ(unknown[0]->str("bytes"), "00 01 02 1B");
    EXPECT_EQ(r.of("init").at(0)->offset, 4u);
    EXPECT_EQ(unknown[1]->offset, 6u);
    EXPECT_EQ(unknown[1]->num("count"), 8);  // ESC FE, GS ! n, FS ., DEL
    EXPECT_TRUE(r.of("text").empty());
    EXPECT_EQ(unknown[1], &r.raw.back());  // reported once the run has ended

    // A command cut off by the end of the input.
    s = store(0x30, 0x31, 576, 10, Bytes(720, 0));
    s.resize(s.size() - 100);
    r = run(s);
    ASSERT_EQ(r.of("truncated").size(), 1u);
    EXPECT_EQ(r.of("truncated")[0]->num("missing"), 100);
    EXPECT_TRUE(r.receipts.empty());
    r = run({0x1D, 0x38, 0x4C, 0x4A});
    ASSERT_EQ(r.of("truncated").size(), 1u);
    EXPECT_EQ(r.of("truncated")[0]->str("command"), "1D 38 4C 4A");
}

// Feeding far beyond a receipt's limit ends the receipt and starts another
// rather than growing without bound.
TEST(EmulatorCoreErrors, EndlessFeedIsBounded) {
    Bytes s;
    for (int i = 0; i < 300; ++i) append(s, {0x1B, 0x4A, 0xFF});
    const Record r = run(s);
    ASSERT_EQ(r.receipts.size(), 2u);
    EXPECT_LE(r.receipts[0].height, kMaxReceiptRows);
    EXPECT_EQ(r.receipts[0].height + r.receipts[1].height, 300 * 255);
    EXPECT_EQ(r.of("error").size(), 1u);
}

// ---------------------------------------------------------------------------
// Text: printed with the font at LF, 12 x 24 dots per character.
TEST(EmulatorCoreText, LinesArePrintedWithTheFont) {
    ASSERT_NE(default_font(), nullptr) << "the psf-unifont package provides " << kDefaultFontPath;
    const std::string text = "Hello \"receipt\" \\ \x81\n";
    const Record r = run(Bytes(text.begin(), text.end()));
    ASSERT_EQ(r.of("text").size(), 1u);
    EXPECT_EQ(r.of("text")[0]->str("text"), "Hello \"receipt\" \\ \xC3\xBC");
    EXPECT_TRUE(r.of("error").empty());
    ASSERT_EQ(r.receipts.size(), 1u);
    const Receipt& rc = r.receipts[0];
    EXPECT_TRUE(rc.printed);
    EXPECT_EQ(rc.height, kDefaultLineSpacing);
    // Ink in the cell of 'H', none in the space after "Hello", none beyond
    // the last character.
    auto ink = [&](int x0, int x1) {
        int n = 0;
        for (int y = 0; y < kCharHeight; ++y)
            for (int x = x0; x < x1; ++x) n += pixel(rc, x, y) == 0;
        return n;
    };
    EXPECT_GT(ink(0, 12), 20);
    EXPECT_EQ(ink(5 * 12, 6 * 12), 0);
    EXPECT_GT(ink(18 * 12, 19 * 12), 10);  // the u with diaeresis
    EXPECT_EQ(ink(static_cast<int>(19 * 12), 576), 0);

    // A long line wraps at the paper's 48 characters.
    const Record wrapped = run(Bytes(60, 'W'));
    ASSERT_EQ(wrapped.of("text").size(), 2u);
    EXPECT_EQ(wrapped.of("text")[0]->str("text")->size(), 48u);
    EXPECT_EQ(wrapped.of("text")[1]->offset, 48u);
}

TEST(EmulatorCoreText, MissingFontDrawsBoxes) {
    std::string why;
    EXPECT_EQ(load_font("/nonexistent/font.psf.gz", &why), nullptr);
    EXPECT_NE(why.find("/nonexistent/font.psf.gz"), std::string::npos);

    std::vector<Event> events;
    std::vector<Receipt> receipts;
    Interpreter in({}, {.reply = {},
                        .conditions = {},
                        .event = [&](const Event& e) { events.push_back(e); },
                        .receipt = [&](Receipt&& r) { receipts.push_back(std::move(r)); }});
    in.set_font(nullptr);
    in.feed(Bytes{'A', ' ', 'B', '\n', 'C', '\n'});
    in.finish();
    int errors = 0;
    for (const auto& e : events) errors += e.kind == "error";
    EXPECT_EQ(errors, 1);
    ASSERT_EQ(receipts.size(), 1u);
    EXPECT_TRUE(receipts[0].printed);
    EXPECT_EQ(pixel(receipts[0], 1, 2), 0);     // the box around A
    EXPECT_EQ(pixel(receipts[0], 13, 2), 255);  // no box for the space
}

// Other fonts: a PSF2 file (here plain, not compressed) with a Unicode
// table; a code point only found inside a combining sequence has no glyph.
TEST(EmulatorCoreText, Psf2FontWithUnicodeTable) {
    Bytes f{0x72, 0xB5, 0x4A, 0x86, 0,  0, 0, 0, 32, 0, 0, 0, 1, 0, 0, 0,
            2,    0,    0,    0,    16, 0, 0, 0, 16, 0, 0, 0, 8, 0, 0, 0};
    f.insert(f.end(), 16, 0xFF);  // glyph 0: a full block
    f.insert(f.end(), 16, 0x80);  // glyph 1: the left column
    append(f, {'X', 0xFF, 0xC3, 0xA9, 0xFE, 'e', 0xCC, 0x81, 0xFF});
    const auto path =
        std::filesystem::temp_directory_path() / ("kvrs-psf2-" + std::to_string(::getpid()));
    {
        std::FILE* out = std::fopen(path.c_str(), "wb");
        ASSERT_NE(out, nullptr);
        ASSERT_EQ(std::fwrite(f.data(), 1, f.size(), out), f.size());
        std::fclose(out);
    }
    std::string why;
    const auto font = load_font(path, &why);
    std::filesystem::remove(path);
    ASSERT_NE(font, nullptr) << why;

    std::vector<Receipt> receipts;
    Interpreter in({}, {.reply = {}, .conditions = {}, .event = {}, .receipt = [&](Receipt&& r) {
                            receipts.push_back(std::move(r));
                        }});
    in.set_font(font);
    in.feed(Bytes{'X', 0x82, 'e', '\n'});  // 0x82 is e-acute in code page 437
    in.finish();
    ASSERT_EQ(receipts.size(), 1u);
    const Receipt& r = receipts[0];
    for (int y = 0; y < kCharHeight; ++y)
        for (int x = 0; x < kCharWidth; ++x) ASSERT_EQ(pixel(r, x, y), 0) << x << "," << y;
    EXPECT_EQ(pixel(r, 12, 5), 0);
    EXPECT_EQ(pixel(r, 13, 5), 0);
    EXPECT_EQ(pixel(r, 14, 5), 255);
    EXPECT_EQ(pixel(r, 25, 2), 0);  // 'e': no glyph of its own, so a box

    const Bytes junk{'n', 'o', 't', ' ', 'a', ' ', 'f', 'o', 'n', 't'};
    Font parsed;
    EXPECT_FALSE(parsed.parse(junk, &why));
    Bytes cut = f;
    cut.resize(40);
    EXPECT_FALSE(parsed.parse(cut, &why));
}

// ---------------------------------------------------------------------------
// Event::json writes valid JSON whatever the strings hold.
TEST(EmulatorCoreEvents, JsonIsEscapedAndTyped) {
    Event e;
    e.kind = "text";
    e.offset = 42;
    e.add("text", "a\"b\\c\n\x01");
    e.add_num("dots", -3);
    e.fields.emplace_back("odd", "007");
    e.numeric_fields |= std::uint64_t{1} << 2;  // marked numeric, but not a JSON number
    EXPECT_EQ(e.json(),
              R"({"kind":"text","offset":42,"text":"a\"b\\c\n\u0001","dots":-3,"odd":"007"})");
    EXPECT_EQ(e.num("dots"), -3);
    EXPECT_EQ(e.num("text"), std::nullopt);
    EXPECT_EQ(e.str("missing"), std::nullopt);
}

}  // namespace
}  // namespace kvrs::emu::test
