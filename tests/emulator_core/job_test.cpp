// Jobs: the files a connection leaves behind, read back with libpng.
#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <fstream>
#include <future>

#include "streams.h"

namespace kvrs::emu::test {
namespace {

namespace fs = std::filesystem;

// A fresh directory under the temp area, removed afterwards.
class EmulatorCoreJob : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string templ = (fs::temp_directory_path() / "kvrs-emu-core-XXXXXX").string();
        ASSERT_NE(::mkdtemp(templ.data()), nullptr);
        dir_ = templ;
    }
    void TearDown() override { fs::remove_all(dir_); }

    Job::Config config(std::string name = "job-0001") {
        return {{}, dir_, std::move(name), {}, {}, {}};
    }
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& e : fs::directory_iterator(dir_)) out.push_back(e.path().filename());
        std::sort(out.begin(), out.end());
        return out;
    }
    fs::path dir_;
};

struct Png {
    int width = 0, height = 0;
    Bytes gray;
};

Png read_png(const fs::path& path) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    Png out;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return out;
    image.format = PNG_FORMAT_GRAY;
    out.gray.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, out.gray.data(), 0, nullptr)) return {};
    out.width = static_cast<int>(image.width);
    out.height = static_cast<int>(image.height);
    return out;
}

// A job with two receipts writes each picture as its receipt ends and the
// event log when it finishes, and nothing else (no temporary files left
// over).
TEST_F(EmulatorCoreJob, WritesPicturesAndEvents) {
    const Bytes image = pattern(576, 40, 9);
    const Bytes s = cat({{0x1B, 0x40},
                         mono_page(576, image, 40),
                         {0x1B, 0x4A, 0x0A, 0x1B, 0x69},
                         text("Line \"one\"\n"),
                         kStatusRequest,
                         {0x07}});
    Bytes reply;
    int seen = 0;
    auto cfg = config();
    cfg.reply = [&](std::span<const std::uint8_t> b) { reply.assign(b.begin(), b.end()); };
    cfg.conditions = [] { return Conditions{.paper_end = true}; };
    cfg.on_event = [&](const Event&) { ++seen; };
    Job job(std::move(cfg));
    job.feed(std::span(s).first(100));
    job.feed(std::span(s).subspan(100));
    EXPECT_EQ(job.bytes(), s.size());
    EXPECT_EQ(reply, (Bytes{0, 0, 0, 0x60, 0, 0}));
    // The cut receipt is written at once; the log only when the job ends.
    EXPECT_EQ(names(), std::vector<std::string>{"job-0001-r01.png"});

    EXPECT_EQ(job.finish().size(), 3u);
    EXPECT_TRUE(job.errors().empty()) << job.errors().front();
    EXPECT_EQ(names(), (std::vector<std::string>{"job-0001-r01.png", "job-0001-r02.png",
                                                 "job-0001.events.jsonl"}));
    EXPECT_TRUE(job.finish().empty());  // once only

    const Png first = read_png(dir_ / "job-0001-r01.png");
    ASSERT_EQ(first.width, 576);
    ASSERT_EQ(first.height, 50);
    for (const auto& [x, y] : {std::pair{0, 0}, {575, 39}, {100, 17}, {7, 3}, {3, 45}}) {
        const bool ink =
            y < 40 && (image[static_cast<std::size_t>(y * 72 + x / 8)] >> (7 - x % 8) & 1);
        EXPECT_EQ(first.gray[static_cast<std::size_t>(y * 576 + x)], ink ? 0 : 255)
            << x << "," << y;
    }
    const Png second = read_png(dir_ / "job-0001-r02.png");
    EXPECT_EQ(second.width, 576);
    EXPECT_EQ(second.height, kDefaultLineSpacing);

    std::ifstream log(dir_ / "job-0001.events.jsonl");
    std::vector<std::string> lines;
    for (std::string line; std::getline(log, line);) lines.push_back(line);
    EXPECT_EQ(static_cast<int>(lines.size()), seen);
    ASSERT_GE(lines.size(), 8u);
    EXPECT_EQ(lines.front(), R"({"kind":"init","offset":0})");
    for (const std::string& want :
         {R"({"kind":"text","offset":)" + std::to_string(2 + 72 * 40 + 24 + 5) +
              R"(,"text":"Line \"one\""})",
          R"({"kind":"status-request","offset":)" + std::to_string(s.size() - 4) +
              R"(,"n":16,"reply":"00 00 00 60 00 00"})"})
        EXPECT_NE(std::find(lines.begin(), lines.end(), want), lines.end()) << want;
    EXPECT_EQ(lines.back(), R"({"kind":"unknown","offset":)" + std::to_string(s.size() - 1) +
                                R"(,"count":1,"bytes":"07"})");
}

// A connection that brought no bytes leaves nothing; one that printed
// nothing leaves only its event log; the idle time-out ends a receipt on a
// connection that stays open.
TEST_F(EmulatorCoreJob, PicturesOnlyOfWhatWasPrinted) {
    Job probe(config("job-0001"));
    probe.idle();
    EXPECT_TRUE(probe.finish().empty());
    EXPECT_TRUE(names().empty());

    Job status_only(config("job-0002"));
    status_only.feed(kStatusRequest);
    status_only.feed(Bytes{0x1B, 0x4A, 0x40, 0x1B, 0x69});
    EXPECT_EQ(status_only.finish().size(), 1u);
    EXPECT_EQ(status_only.printed_receipts(), 0u);
    EXPECT_EQ(names(), std::vector<std::string>{"job-0002.events.jsonl"});

    Job job(config("job-0003"));
    job.feed(text("a\n"));
    job.idle();
    job.feed(text("b\n"));
    EXPECT_EQ(job.printed_receipts(), 1u);
    job.finish();
    EXPECT_EQ(names(), (std::vector<std::string>{"job-0002.events.jsonl", "job-0003-r01.png",
                                                 "job-0003-r02.png", "job-0003.events.jsonl"}));
}

// ---------------------------------------------------------------- writer
std::vector<std::string> log_lines(const fs::path& p) {
    std::ifstream in(p);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// A writer whose thread waits until the returned promise is kept.
std::promise<void> hold(JobWriter& w) {
    std::promise<void> gate;
    w.post(0, [f = gate.get_future().share()] { f.wait(); });
    return gate;
}

// A job whose pictures wait beyond its limit stops taking input right after
// the receipt that crossed it, records why, and takes the rest once they are
// written; nothing is lost and the pictures keep their order.  With room
// left in its own limit, a job still stops on the total of all jobs, but
// only once it has something waiting itself.
TEST_F(EmulatorCoreJob, BusyJobsHoldInputUntilPicturesAreWritten) {
    auto writer = std::make_shared<JobWriter>(200000);
    auto gate = hold(*writer);
    const Bytes one = cat({store(0x30, 0x31, 576, 100, pattern(576, 100, 3)), kPrint, {0x1B, 0x69}});
    Bytes s;
    for (int i = 0; i < 10; ++i) s = cat({s, one});

    Job job(config("job-0001"));
    job.set_writer(writer, 3 * 576 * 100);  // three receipts may wait
    std::size_t used = job.feed_some(s);
    EXPECT_EQ(used, 4 * one.size());  // the fourth crossed the limit
    EXPECT_TRUE(job.busy());
    EXPECT_EQ(job.feed_some(std::span(s).subspan(used)), 0u);

    Job other(config("job-0002"));
    other.set_writer(writer);
    EXPECT_FALSE(other.busy());  // the total is crossed, but none of its own waits
    EXPECT_EQ(other.feed_some(s), one.size());
    EXPECT_TRUE(other.busy());
    EXPECT_TRUE(names().empty());  // the writer is held

    gate.set_value();
    while (used < s.size()) {
        writer->wait_idle();
        ASSERT_FALSE(job.busy());
        used += job.feed_some(std::span(s).subspan(used));
    }
    EXPECT_EQ(job.finish().size(), 11u);
    EXPECT_TRUE(job.errors().empty());
    other.finish();

    const auto lines = log_lines(dir_ / "job-0001.events.jsonl");
    std::vector<std::string> busy;
    for (const auto& l : lines)
        if (l.find(R"("kind":"busy")") != std::string::npos) busy.push_back(l);
    ASSERT_FALSE(busy.empty());
    EXPECT_EQ(busy[0], R"({"kind":"busy","offset":)" + std::to_string(4 * one.size()) +
                           R"(,"limit":"job","waiting":230400,"max":172800})");
    EXPECT_NE(log_lines(dir_ / "job-0002.events.jsonl").back().find(R"("limit":"total")"),
              std::string::npos);
    const Png last = read_png(dir_ / "job-0001-r10.png");
    EXPECT_EQ(last.height, 100);
    EXPECT_EQ(last.gray, read_png(dir_ / "job-0002-r01.png").gray);
}

// The event log goes to disk in pieces as it grows: a long job's log is
// complete and in order, and no temporary file is left.  A job dropped
// without finishing leaves its pictures but no log, finished or not.
TEST_F(EmulatorCoreJob, LongEventLogsAndAbandonedJobs) {
    auto writer = std::make_shared<JobWriter>(std::size_t{64} << 20);
    Bytes feeds;
    for (int i = 0; i < 20000; ++i) feeds = cat({feeds, {0x1B, 0x4A, 0x01}});
    {
        Job job(config("job-0001"));
        job.set_writer(writer);
        for (std::size_t at = 0; at < feeds.size(); at += 4096)
            job.feed(std::span(feeds).subspan(at, std::min<std::size_t>(4096, feeds.size() - at)));
        job.finish();
    }
    const auto lines = log_lines(dir_ / "job-0001.events.jsonl");
    ASSERT_EQ(lines.size(), 20000u);
    for (std::size_t i = 0; i < lines.size(); i += 997)
        EXPECT_EQ(lines[i], R"({"kind":"feed","offset":)" + std::to_string(3 * i) + R"(,"dots":1})");
    EXPECT_EQ(names(), std::vector<std::string>{"job-0001.events.jsonl"});

    {
        Job job(config("job-0002"));
        job.set_writer(writer);
        job.feed(cat({feeds, mono_page(576, pattern(576, 10, 1), 10), {0x1B, 0x69}, feeds}));
    }
    writer->wait_idle();
    EXPECT_EQ(names(), (std::vector<std::string>{"job-0001.events.jsonl", "job-0002-r01.png"}));
}

}  // namespace
}  // namespace kvrs::emu::test
