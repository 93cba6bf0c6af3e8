// Tests of the debug log library, through its exported C interface, with
// real files in a private temporary directory.  The library's settings are
// process-wide, so every test starts from the load-time settings (fixture)
// and anything that redirects standard output or ends the process runs in a
// forked child.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "VEMLogging.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kRotateSize = 1048576;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// One parsed log line.
struct Parsed {
    std::tm when{};
    int millis = 0;
    long tid = 0;
    std::string tag;   // level code, function number and token, e.g. "INF213->"
    std::string text;  // the message
};

std::optional<Parsed> Parse(const std::string& line) {
    static const std::regex re(
        R"(^(\d{4})/(\d{2})/(\d{2}) (\d{2}):(\d{2}):(\d{2})\.(\d{3}) \[PID:(\d{5,})\]\[(.{3}\d{3,}.{2})\] (.*)$)");
    std::smatch m;
    if (!std::regex_match(line, m, re)) return std::nullopt;
    Parsed p;
    p.when.tm_year = std::stoi(m[1]) - 1900;
    p.when.tm_mon = std::stoi(m[2]) - 1;
    p.when.tm_mday = std::stoi(m[3]);
    p.when.tm_hour = std::stoi(m[4]);
    p.when.tm_min = std::stoi(m[5]);
    p.when.tm_sec = std::stoi(m[6]);
    p.when.tm_isdst = -1;
    p.millis = std::stoi(m[7]);
    p.tid = std::stol(m[8]);
    p.tag = m[9];
    p.text = m[10];
    return p;
}

// The message or the tag of a line, or a note that the line is malformed.
std::string TextOf(const std::string& line) {
    const auto p = Parse(line);
    return p ? p->text : "<malformed line: " + line + ">";
}
std::string TagOf(const std::string& line) {
    const auto p = Parse(line);
    return p ? p->tag : "<malformed line: " + line + ">";
}

std::int64_t NowMillis() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// Runs `body` in a forked child (with standard output sent to `stdoutFile`
// when given) and expects it to end cleanly with no failed assertion.
void InChild(const std::function<void()>& body, const fs::path& stdoutFile = {}) {
    std::fflush(stdout);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (!stdoutFile.empty()) {
            const int fd = open(stdoutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0) _exit(3);
            close(fd);
        }
        body();
        std::fflush(stdout);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the child's checks failed (see above)";
}

// A file of exactly `size` bytes whose first line is `marker`.
void FillTo(const fs::path& path, std::size_t size, const std::string& marker) {
    std::string data = marker + "\n";
    data.resize(size, '.');
    std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

std::string FirstLine(const fs::path& path) {
    const auto lines = Lines(ReadFile(path));
    return lines.empty() ? std::string() : lines.front();
}

class LogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Reset();
        char tmpl[] = "/tmp/wardlog-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        log_ = dir_ / "x.log";
    }
    void TearDown() override {
        Reset();
        fs::remove_all(dir_);
    }
    // Back to the settings the library has when it is loaded.
    static void Reset() {
        SetLogLevel(0);
        CancelLogFile();
        SetLogFileCount(0);
    }
    // Sends lines to log_ with the given count and mask.
    void ToFile(unsigned count, unsigned mask = 0xFFFFFFFF) {
        ASSERT_EQ(SetLogFilename(log_.c_str()), 1);
        SetLogFileCount(count);
        SetLogLevel(mask);
    }
    std::vector<std::string> FileLines() const { return Lines(ReadFile(log_)); }
    fs::path Gen(int k) const {
        return fs::path(log_.string() + (k < 10 ? "0" : "") + std::to_string(k));
    }

    fs::path dir_;
    fs::path log_;
};

// ---- The line format --------------------------------------------------------

using LogLineFormat = LogTest;

// A line written by a second thread carries that thread's kernel id (not the
// process id) and the local time of the call to the millisecond.
TEST_F(LogLineFormat, SecondThreadStampsItsOwnIdAndTheTimeToTheMillisecond) {
    ToFile(2, 16);
    long tid = 0;
    std::int64_t before = 0, after = 0;
    std::thread([&] {
        tid = syscall(SYS_gettid);
        before = NowMillis();
        DbgLogMessage(16, 213, LOG_START, "value=%d %s", 42, "ok");
        after = NowMillis();
    }).join();

    const std::string text = ReadFile(log_);
    ASSERT_EQ(text.back(), '\n');
    const auto lines = Lines(text);
    ASSERT_EQ(lines.size(), 1u) << text;
    const auto p = Parse(lines[0]);
    ASSERT_TRUE(p) << lines[0];
    EXPECT_EQ(p->tid, tid);
    EXPECT_NE(p->tid, getpid());
    EXPECT_EQ(p->tag, "INF213->");
    EXPECT_EQ(p->text, "value=42 ok");
    std::tm when = p->when;
    const std::int64_t stamp = std::int64_t{mktime(&when)} * 1000 + p->millis;
    EXPECT_GE(stamp, before) << lines[0];
    EXPECT_LE(stamp, after) << lines[0];
}

// The level code follows the first matching rule (error, warning, entry/exit
// token, debug, dump, trace, otherwise INF); the function number has at least
// three digits; an unknown token shows as "??".
TEST_F(LogLineFormat, LevelCodesTokensAndFunctionNumbers) {
    struct Case {
        unsigned level, func, token;
        const char* tag;
    };
    const Case cases[] = {
        {3, 5, LOG_DBG, "C_E005  "},       {1, 0, LOG_ERRNO, "C_E000XX"},
        {2, 7, LOG_START, "WAR007->"},     {2, 7, LOG_WARN, "WAR007xx"},
        {16, 213, LOG_START, "INF213->"},  {4, 1234, LOG_END, "INF1234<-"},
        {16, 9, LOG_EX_START, "INF009>>"}, {8, 9, LOG_EX_END, "INF009<<"},
        {4, 10, LOG_DBG, "DBG010  "},      {12, 10, LOG_TRACE, "DBG010  "},
        {24, 11, LOG_TRACE, "VBS011  "},   {16, 12, LOG_TRACE, "TRC012  "},
        {32, 13, LOG_DBG, "INF013  "},     {4, 14, 8, "DBG014??"},
        {4, 14, 0xFFFFFFFFu, "DBG014??"},
    };
    ToFile(2);
    for (const Case& c : cases) DbgLogMessage(c.level, c.func, c.token, "case");
    const auto lines = FileLines();
    ASSERT_EQ(lines.size(), std::size(cases));
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const auto p = Parse(lines[i]);
        ASSERT_TRUE(p) << lines[i];
        EXPECT_EQ(p->tag, cases[i].tag) << "level " << cases[i].level;
    }
}

// A message is written only if its level shares a bit with the mask; at the
// initial mask 0 nothing reaches standard output or the file.
TEST_F(LogLineFormat, MaskDecidesWhatIsWritten) {
    const fs::path out = dir_ / "stdout";
    InChild(
        [&] {
            unsigned char bytes[4] = {1, 2, 3, 4};
            for (unsigned level = 1; level <= 16; level <<= 1) {
                DbgLogMessage(level, 1, LOG_DBG, "to stdout");
                DbgByteData(level, 1, 1, bytes, 4);
            }
            ToFile(1, 0);
            DbgLogMessage(31, 1, LOG_DBG, "to the file");
            SetLogLevel(4);
            DbgLogMessage(8, 1, LOG_DBG, "masked");
            DbgLogMessage(12, 1, LOG_DBG, "kept");
        },
        out);
    EXPECT_EQ(ReadFile(out), "");
    const auto lines = FileLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(TextOf(lines[0]), "kept");
}

// An overlong message is cut so that the whole line, newline included, keeps
// to 499 bytes; shorter lines are left whole.
TEST_F(LogLineFormat, LongMessagesAreCutAndKeepTheirNewline) {
    ToFile(2);
    const std::size_t sizes[] = {0, 400, 450, 451, 452, 499, 500, 5000};
    for (std::size_t n : sizes) DbgLogMessage(4, 1, LOG_DBG, "%s", std::string(n, 'a').c_str());
    const std::string text = ReadFile(log_);
    ASSERT_EQ(text.back(), '\n');
    const auto lines = Lines(text);
    ASSERT_EQ(lines.size(), std::size(sizes));
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::size_t prefix = lines[i].find("] ") + 2;
        EXPECT_EQ(lines[i].size(), std::min(prefix + sizes[i], std::size_t{498}))
            << "message of " << sizes[i] << " bytes";
        EXPECT_EQ(lines[i].find_first_not_of('a', prefix), std::string::npos);
    }
}

// ---- Where lines go ---------------------------------------------------------

using LogDestination = LogTest;

// Standard output receives the formatted text as it is: percent signs in it
// are never read as a format again.
TEST_F(LogDestination, StandardOutputGetsTheTextUnchanged) {
    const fs::path out = dir_ / "stdout";
    InChild(
        [] {
            SetLogLevel(4);
            DbgLogMessage(4, 1, LOG_DBG, "%s", "100% sure %s %n %d");
            DbgLogMessage(4, 2, LOG_DBG, "rate %d%%", 50);
        },
        out);
    const auto lines = Lines(ReadFile(out));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(TextOf(lines[0]), "100% sure %s %n %d");
    EXPECT_EQ(TextOf(lines[1]), "rate 50%");
}

// With a file set and the count left at 0, lines go nowhere at all.
TEST_F(LogDestination, FileWithCountZeroWritesNowhere) {
    const fs::path out = dir_ / "stdout";
    InChild(
        [&] {
            ToFile(0);
            DbgLogMessage(1, 1, LOG_ERRNO, "lost");
        },
        out);
    EXPECT_EQ(ReadFile(out), "");
    EXPECT_TRUE(fs::exists(log_));
    EXPECT_EQ(fs::file_size(log_), 0u);
}

// Cancelling (a null or empty name) logs the cancellation to the file still
// in force, then sends later lines to standard output.
TEST_F(LogDestination, CancelSendsLaterLinesToStandardOutput) {
    const fs::path out = dir_ / "stdout";
    InChild(
        [&] {
            ToFile(1, 4);
            DbgLogMessage(4, 1, LOG_DBG, "first");
            EXPECT_EQ(SetLogFilename(nullptr), 1);
            DbgLogMessage(4, 1, LOG_DBG, "second");
            ToFile(1, 4);
            EXPECT_EQ(SetLogFilename(""), 1);
            DbgLogMessage(4, 1, LOG_DBG, "third");
        },
        out);
    const auto file = FileLines();
    ASSERT_EQ(file.size(), 3u);
    EXPECT_EQ(TextOf(file[0]), "first");
    EXPECT_EQ(TagOf(file[1]), "DBG000  ");
    EXPECT_EQ(TextOf(file[1]), "[SetLogFilename]Cancel log file");
    EXPECT_EQ(TextOf(file[2]), "[SetLogFilename]Cancel log file");
    const auto std_out = Lines(ReadFile(out));
    ASSERT_EQ(std_out.size(), 2u);
    EXPECT_EQ(TextOf(std_out[0]), "second");
    EXPECT_EQ(TextOf(std_out[1]), "third");
}

// A name that cannot be opened (missing directory, a directory) is refused;
// the error goes to the file already set, which stays in force.
TEST_F(LogDestination, RefusedNameKeepsThePreviousFile) {
    ToFile(2, 1 | 4);
    const std::string missing = (dir_ / "missing" / "y.log").string();
    EXPECT_EQ(SetLogFilename(missing.c_str()), 0);
    EXPECT_EQ(SetLogFilename(dir_.c_str()), 0);
    DbgLogMessage(4, 1, LOG_DBG, "still here");
    const auto lines = FileLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(TagOf(lines[0]), "C_E000XX");
    EXPECT_EQ(TextOf(lines[0]), "[SetLogFilename]Open file(" + missing + ") fail");
    EXPECT_EQ(TextOf(lines[1]), "[SetLogFilename]Open file(" + dir_.string() + ") fail");
    EXPECT_EQ(TextOf(lines[2]), "still here");
    EXPECT_FALSE(fs::exists(dir_ / "missing"));
}

// A path of 396 characters is the longest whose generation names (up to three
// digits) fit; a longer one is refused without creating anything.
TEST_F(LogDestination, PathLengthLimit) {
    fs::path deep = dir_;
    while (deep.string().size() < 300) deep /= std::string(60, 'd');
    fs::create_directories(deep);
    const std::string stem = deep.string() + "/";
    const std::string longest = stem + std::string(396 - stem.size(), 'f');
    const std::string tooLong = longest + "g";

    ToFile(1000, 4);
    EXPECT_EQ(SetLogFilename(tooLong.c_str()), 0);
    EXPECT_FALSE(fs::exists(tooLong));
    DbgLogMessage(4, 1, LOG_DBG, "kept");
    EXPECT_EQ(TextOf(FileLines().back()), "kept");

    ASSERT_EQ(SetLogFilename(longest.c_str()), 1);
    FillTo(longest, kRotateSize, "live");
    FillTo(longest + "998", 10, "gen 998");
    DbgLogMessage(4, 1, LOG_DBG, "rotated");
    EXPECT_EQ(FirstLine(longest + "01"), "live");
    EXPECT_EQ(FirstLine(longest + "999"), "gen 998");
    EXPECT_EQ(TextOf(FirstLine(longest)), "rotated");
}

// Unloading the library (here: the end of the process) logs the exit line
// to the file and then cancels it.
TEST_F(LogDestination, UnloadLogsTheExitLine) {
    InChild([&] {
        ToFile(1, 4);
        std::exit(0);
    });
    const auto lines = FileLines();
    ASSERT_EQ(lines.size(), 1u);
    const auto p = Parse(lines[0]);
    ASSERT_TRUE(p) << lines[0];
    EXPECT_EQ(p->tag, "INF000<-");
    EXPECT_EQ(p->text, "Common Logging Library is exited, Version = V2.0.0.0");
}

// Threads keep logging while another one switches between two files and
// standard output: no line is lost, torn or written to a freed path.
TEST_F(LogDestination, PathChangesWhileOtherThreadsLog) {
    // Long names keep the window in which a path is copied wide.
    const fs::path deep = dir_ / std::string(150, 'd') / std::string(150, 'e');
    fs::create_directories(deep);
    const fs::path first = deep / "x.log";
    const fs::path other = deep / "y.log";
    const fs::path out = dir_ / "stdout";
    constexpr int kThreads = 4, kLines = 1000;
    InChild(
        [&] {
            ASSERT_EQ(SetLogFilename(first.c_str()), 1);
            SetLogFileCount(2);
            SetLogLevel(4);
            std::atomic<bool> done{false};
            std::thread switcher([&] {
                for (int i = 0; !done; ++i) {
                    if (i % 3 == 2)
                        CancelLogFile();
                    else
                        SetLogFilename((i % 3 ? other : first).c_str());
                }
            });
            std::vector<std::thread> writers;
            for (int t = 0; t < kThreads; ++t)
                writers.emplace_back([t] {
                    for (int i = 0; i < kLines; ++i) DbgLogMessage(4, t, LOG_DBG, "line %d", i);
                });
            for (auto& w : writers) w.join();
            done = true;
            switcher.join();
        },
        out);
    std::size_t total = 0;
    for (const fs::path& p : {first, other, out}) {
        for (const auto& line : Lines(ReadFile(p))) {
            const auto parsed = Parse(line);
            ASSERT_TRUE(parsed) << p << ": " << line;
            if (parsed->text.starts_with("line ")) ++total;
        }
    }
    EXPECT_EQ(total, std::size_t{kThreads * kLines});
}

// ---- Rotation -----------------------------------------------------------------

using LogRotation = LogTest;

// Each rotation moves 01 to 02 and the live file to 01; with count 3 the
// third generation is deleted.
TEST_F(LogRotation, GenerationsShiftAndTheOldestIsDeleted) {
    ToFile(3, 4);
    for (const std::string marker : {"A", "B", "C"}) {
        FillTo(log_, kRotateSize, marker);
        DbgLogMessage(4, 1, LOG_DBG, "after %s", marker.c_str());
        const auto live = FileLines();
        ASSERT_EQ(live.size(), 1u);
        EXPECT_EQ(TextOf(live[0]), "after " + marker);
    }
    EXPECT_EQ(FirstLine(Gen(1)), "C");
    EXPECT_EQ(fs::file_size(Gen(1)), kRotateSize);
    EXPECT_EQ(FirstLine(Gen(2)), "B");
    EXPECT_FALSE(fs::exists(Gen(3)));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 3);
}

// The size is checked before each line: a file one byte short of 1 MiB takes
// one more line and is rotated before the next.
TEST_F(LogRotation, ThresholdIsCheckedBeforeEachLine) {
    ToFile(2, 4);
    FillTo(log_, kRotateSize - 1, "old");
    DbgLogMessage(4, 1, LOG_DBG, "crosses");
    EXPECT_FALSE(fs::exists(Gen(1)));
    const auto full = fs::file_size(log_);
    EXPECT_GT(full, kRotateSize);
    DbgLogMessage(4, 1, LOG_DBG, "new file");
    EXPECT_EQ(fs::file_size(Gen(1)), full);
    ASSERT_EQ(FileLines().size(), 1u);
    EXPECT_EQ(TextOf(FileLines()[0]), "new file");
}

// With count 1 a full live file is deleted and the line starts a new one.
TEST_F(LogRotation, CountOneDeletesTheFullFile) {
    ToFile(1, 4);
    FillTo(log_, kRotateSize, "old");
    DbgLogMessage(4, 1, LOG_DBG, "fresh");
    ASSERT_EQ(FileLines().size(), 1u);
    EXPECT_EQ(TextOf(FileLines()[0]), "fresh");
    EXPECT_FALSE(fs::exists(Gen(1)));
}

// A count above 1000 keeps 1000 files: generation 999 is the last one.
TEST_F(LogRotation, CountAboveAThousandKeepsAThousandFiles) {
    ToFile(5000, 4);
    for (int k = 1; k <= 999; ++k) FillTo(Gen(k), 16, "gen " + std::to_string(k));
    FillTo(log_, kRotateSize, "live");
    DbgLogMessage(4, 1, LOG_DBG, "rotated");
    EXPECT_EQ(FirstLine(Gen(1)), "live");
    EXPECT_EQ(FirstLine(Gen(2)), "gen 1");
    EXPECT_EQ(FirstLine(Gen(999)), "gen 998");
    EXPECT_FALSE(fs::exists(Gen(1000)));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1000);
}

// ---- Hexadecimal dumps ----------------------------------------------------------

using LogByteDump = LogTest;

std::string Address(const void* p) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X",
                  static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(p)));
    return text;
}

// 45 bytes give a direction line, a header and dump lines of 20, 20 and 5
// bytes, all with the caller's level and function and the trace token.
TEST_F(LogByteDump, FortyFiveBytesMakeLinesOfTwentyTwentyAndFive) {
    ToFile(2, 8);
    unsigned char bytes[45];
    for (int i = 0; i < 45; ++i) bytes[i] = static_cast<unsigned char>(i * 5 + 0xA0);
    DbgByteData(8, 77, 1, bytes, 45);

    std::vector<std::string> expected = {"Send Trace Data",
                                         "Buffer = " + Address(bytes) + ", Size = 45"};
    for (int start = 0; start < 45; start += 20) {
        std::string line(11, ' ');
        for (int i = start; i < std::min(start + 20, 45); ++i) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%02X ", bytes[i]);
            line += hex;
        }
        expected.push_back(line);
    }
    const auto lines = FileLines();
    ASSERT_EQ(lines.size(), expected.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const auto p = Parse(lines[i]);
        ASSERT_TRUE(p) << lines[i];
        EXPECT_EQ(p->tag, "VBS077  ");
        EXPECT_EQ(p->text, expected[i]) << "line " << i;
    }
    EXPECT_EQ(TextOf(lines[4]), std::string(11, ' ') + "68 6D 72 77 7C ");
}

// Line counts at the edges; a null buffer or a size below 1 gives the two
// header lines only; a masked level gives nothing.
TEST_F(LogByteDump, SizesNullBufferAndMask) {
    ToFile(2, 16);
    unsigned char bytes[21] = {};
    const auto linesFor = [&](unsigned char* buf, int size) {
        std::ofstream(log_, std::ios::trunc).close();
        DbgByteData(16, 1, 0, buf, size);
        return FileLines();
    };
    EXPECT_EQ(linesFor(bytes, 20).size(), 3u);
    const auto twentyOne = linesFor(bytes, 21);
    ASSERT_EQ(twentyOne.size(), 4u);
    EXPECT_EQ(TextOf(twentyOne[0]), "Receive Trace Data");
    EXPECT_EQ(TagOf(twentyOne[0]), "TRC001  ");
    EXPECT_EQ(TextOf(twentyOne[3]), std::string(11, ' ') + "00 ");
    EXPECT_EQ(linesFor(bytes, 0).size(), 2u);
    EXPECT_EQ(linesFor(bytes, -3).size(), 2u);
    const auto null = linesFor(nullptr, 10);
    ASSERT_EQ(null.size(), 2u);
    EXPECT_EQ(TextOf(null[1]), "Buffer = 0x00000000, Size = 10");
    SetLogLevel(8);
    EXPECT_EQ(linesFor(bytes, 21).size(), 0u);
}

}  // namespace
