// The debug log library through its exported C interface, on real files in a
// private directory.  Its settings are process-wide: every test starts from
// the load-time settings, and whatever redirects standard output or ends the
// process runs in a forked child.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <thread>

#include "VEMLogging.h"

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

namespace {

constexpr std::size_t kRotateSize = 1048576;

std::string ReadFile(const fs::path& p) {
    std::ostringstream out;
    out << std::ifstream(p, std::ios::binary).rdbuf();
    return out.str();
}
std::string FirstLine(const fs::path& p) {
    return ReadFile(p).substr(0, ReadFile(p).find('\n'));
}

// "tag|message" for each line, the tag being level code, function number and
// token ("INF213->"); a line of any other shape shows as "<malformed: ...>".
Strings Entries(const fs::path& p) {
    static const std::regex re(
        R"(^\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\.\d{3} \[PID:\d{5,}\]\[(.{3}\d{3,}.{2})\] (.*)$)");
    Strings out;
    std::smatch m;
    std::istringstream in(ReadFile(p));
    for (std::string l; std::getline(in, l);)
        out.push_back(std::regex_match(l, m, re) ? m.str(1) + "|" + m.str(2)
                                                 : "<malformed: " + l + ">");
    return out;
}

// A file of exactly `size` bytes whose first line is `marker`.
void FillTo(const fs::path& p, std::size_t size, const std::string& marker) {
    std::string data = marker + "\n";
    data.resize(size, '.');
    std::ofstream(p, std::ios::binary | std::ios::trunc) << data;
}

// Runs `body` in a forked child, its standard output sent to `out` if not empty,
// and expects the child to end normally with no failed check.
void InChild(const fs::path& out, const std::function<void()>& body) {
    std::fflush(stdout);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const int fd = out.empty() ? -1 : open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (!out.empty() && (fd < 0 || dup2(fd, STDOUT_FILENO) < 0)) _exit(3);
        body();
        std::fflush(stdout);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child failed: " << status;
}

class Log : public ::testing::Test {
  protected:
    void SetUp() override {
        Reset();
        char tmpl[] = "/tmp/wardlog-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        log_ = dir_ / "x.log", out_ = dir_ / "stdout";
    }
    void TearDown() override { Reset(), fs::remove_all(dir_); }
    // The settings the library has when loaded.
    static void Reset() { SetLogLevel(0), CancelLogFile(), SetLogFileCount(0); }
    void ToFile(unsigned count, unsigned mask = ~0u, const fs::path& path = {}) {
        ASSERT_EQ(SetLogFilename((path.empty() ? log_ : path).c_str()), 1);
        SetLogFileCount(count), SetLogLevel(mask);
    }
    static void Write(const std::string& text) { DbgLogMessage(4, 1, LOG_DBG, "%s", text.c_str()); }
    fs::path dir_, log_, out_;
};

// A line carries the calling thread's kernel id and the local time of the call
// to the millisecond.  The level code follows the first matching rule (error,
// warning, entry/exit token, debug, dump, trace, else INF); "??" marks an
// unknown token.
TEST_F(Log, LineFormat) {
    // clang-format off
    const struct { unsigned level, func, token; const char* tag; } cases[] = {
        {3, 5, LOG_DBG, "C_E005  "},     {1, 0, LOG_ERRNO, "C_E000XX"},   {2, 7, LOG_START, "WAR007->"},
        {2, 7, LOG_WARN, "WAR007xx"},    {4, 1234, LOG_END, "INF1234<-"}, {16, 9, LOG_EX_START, "INF009>>"},
        {8, 9, LOG_EX_END, "INF009<<"},  {12, 10, LOG_TRACE, "DBG010  "}, {24, 11, LOG_TRACE, "VBS011  "},
        {16, 12, LOG_TRACE, "TRC012  "}, {32, 13, LOG_DBG, "INF013  "},   {4, 14, 8, "DBG014??"},
        {4, 14, ~0u, "DBG014??"}};
    // clang-format on
    ToFile(2);
    using namespace std::chrono;
    long tid = 0;
    system_clock::time_point before, after;
    std::thread([&] {
        tid = syscall(SYS_gettid), before = floor<milliseconds>(system_clock::now());
        DbgLogMessage(16, 213, LOG_START, "value=%d %s", 42, "ok");
        after = system_clock::now();
    }).join();
    Strings expected = {"INF213->|value=42 ok"};
    for (const auto& c : cases) {
        DbgLogMessage(c.level, c.func, c.token, "case");
        expected.push_back(std::string(c.tag) + "|case");
    }
    EXPECT_EQ(Entries(log_), expected);
    const std::string line = FirstLine(log_);
    std::tm t{};
    int millis = -1;
    long id = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "%d/%d/%d %d:%d:%d.%d [PID:%ld]", &t.tm_year, &t.tm_mon,
                          &t.tm_mday, &t.tm_hour, &t.tm_min, &t.tm_sec, &millis, &id),
              8);
    EXPECT_TRUE(id == tid && id != getpid()) << line;
    t.tm_year -= 1900, t.tm_mon -= 1, t.tm_isdst = -1;
    const auto stamp = system_clock::from_time_t(mktime(&t)) + milliseconds(millis);
    EXPECT_TRUE(stamp >= before && stamp <= after) << line << ": not the time of the call";
    // An overlong message is cut so that the line, newline included, keeps to 499 bytes.
    std::ofstream(log_, std::ios::trunc).close();
    const std::size_t sizes[] = {0, 450, 451, 452, 500, 5000};
    for (std::size_t n : sizes) Write(std::string(n, 'a'));
    const std::string text = ReadFile(log_);
    std::istringstream in(text);
    std::size_t i = 0;
    for (std::string l; std::getline(in, l) && i < std::size(sizes); ++i) {
        const std::size_t prefix = l.find("] ") + 2;
        EXPECT_EQ(l.size(), std::min(prefix + sizes[i], std::size_t{498})) << sizes[i];
        EXPECT_EQ(l.find_first_not_of('a', prefix), std::string::npos);
    }
    EXPECT_TRUE(i == std::size(sizes) && text.back() == '\n') << text;
}

// The mask filters (0 at load: nothing); standard output gets the text as
// formatted, never read as a format again; a file with count 0 takes nothing;
// cancelling (null or "") is logged to the file in force and sends later lines
// to standard output; unloading logs the exit line.
TEST_F(Log, DestinationsMaskCancelAndUnload) {
    const fs::path zero = dir_ / "zero.log", unload = dir_ / "unload.log";
    InChild(out_, [&] {
        unsigned char bytes[4] = {1, 2, 3, 4};
        for (unsigned level = 1; level <= 16; level <<= 1) {
            DbgLogMessage(level, 1, LOG_DBG, "silent");
            DbgByteData(level, 1, 1, bytes, 4);
        }
        SetLogLevel(4);
        DbgLogMessage(8, 1, LOG_DBG, "masked");
        DbgLogMessage(12, 1, LOG_DBG, "%s", "100% sure %s %n %d");
        DbgLogMessage(4, 2, LOG_DBG, "rate %d%%", 50);
        ToFile(0, 4, zero);
        Write("lost");
        ToFile(1, 4);
        Write("first");
        EXPECT_EQ(SetLogFilename(nullptr), 1);
        Write("second");
        ToFile(1, 4);
        EXPECT_EQ(SetLogFilename(""), 1);
        Write("third");
        ToFile(1, 4, unload);  // the end of the process unloads the library
        std::exit(::testing::Test::HasFailure());
    });
    EXPECT_EQ(Entries(out_), (Strings{"DBG001  |100% sure %s %n %d", "DBG002  |rate 50%",
                                      "DBG001  |second", "DBG001  |third"}));
    EXPECT_TRUE(fs::exists(zero) && fs::file_size(zero) == 0);
    const std::string cancel = "DBG000  |[SetLogFilename]Cancel log file";
    EXPECT_EQ(Entries(log_), (Strings{"DBG001  |first", cancel, cancel}));
    EXPECT_EQ(Entries(unload),
              Strings{"INF000<-|Common Logging Library is exited, Version = V2.0.0.0"});
}

// Names that cannot be opened or whose generations would not fit (over 396
// characters) are refused, creating nothing; the file in force logs the error
// and stays.  The longest accepted path rotates up to generation 999.
TEST_F(Log, RefusedNamesAndPathLengthLimit) {
    fs::path deep = dir_;
    while (deep.string().size() < 300) deep /= std::string(60, 'd');
    fs::create_directories(deep);
    const std::string longest = deep.string() + "/" + std::string(395 - deep.string().size(), 'f');
    ToFile(1000, 1 | 4);
    Strings expected;
    for (const std::string& bad :
         {(dir_ / "missing/y.log").string(), dir_.string(), longest + "g"}) {
        EXPECT_EQ(SetLogFilename(bad.c_str()), 0) << bad;
        expected.push_back("C_E000XX|[SetLogFilename]Open file(" + bad + ") fail");
    }
    Write("kept");
    expected.push_back("DBG001  |kept");
    EXPECT_EQ(Entries(log_), expected);
    EXPECT_FALSE(fs::exists(dir_ / "missing") || fs::exists(longest + "g"));
    ASSERT_EQ(SetLogFilename(longest.c_str()), 1);
    FillTo(longest, kRotateSize, "live");
    FillTo(longest + "998", 10, "gen 998");
    Write("rotated");
    EXPECT_EQ(FirstLine(longest + "01") + "," + FirstLine(longest + "999"), "live,gen 998");
    EXPECT_EQ(Entries(longest), Strings{"DBG001  |rotated"});
}

// Threads log while another switches between two files and standard output:
// no line lost, torn or written through a freed path (long names widen the race).
TEST_F(Log, PathChangesWhileOtherThreadsLog) {
    const fs::path deep = dir_ / std::string(150, 'd') / std::string(150, 'e');
    fs::create_directories(deep);
    const fs::path first = deep / "x.log", other = deep / "y.log";
    constexpr int kThreads = 4, kLines = 1000;
    InChild(out_, [&] {
        ToFile(2, 4, first);
        std::atomic<bool> done{false};
        std::thread switcher([&] {
            for (int i = 0; !done; ++i)
                i % 3 == 2 ? CancelLogFile()
                           : (void)SetLogFilename((i % 3 ? other : first).c_str());
        });
        std::vector<std::thread> writers;
        for (int t = 0; t < kThreads; ++t)
            writers.emplace_back([t] {
                for (int i = 0; i < kLines; ++i) DbgLogMessage(4, t, LOG_DBG, "line %d", i);
            });
        for (auto& w : writers) w.join();
        done = true;
        switcher.join();
    });
    std::size_t total = 0;
    for (const fs::path& p : {first, other, out_})
        for (const auto& entry : Entries(p)) {
            ASSERT_FALSE(entry.starts_with("<malformed")) << p << ": " << entry;
            total += entry.find("|line ") != std::string::npos;
        }
    EXPECT_EQ(total, std::size_t{kThreads * kLines});
}

// A file of 1 MiB is rotated before the next line.  Count 4: 02 to 03, 01 to 02
// (oldest first, none overwritten), live to 01, the fourth deleted.  Count 1:
// the full file is deleted.  Above 1000: 999 is the last generation.
TEST_F(Log, RotationAcrossGenerations) {
    const auto gen = [&](int k) { return log_.string() + (k < 10 ? "0" : "") + std::to_string(k); };
    const auto files = [&] { return std::distance(fs::directory_iterator(dir_), {}); };
    ToFile(4, 4);
    for (const std::string marker : {"A", "B", "C", "D"}) {
        FillTo(log_, kRotateSize, marker);
        Write("after " + marker);
        EXPECT_EQ(Entries(log_), Strings{"DBG001  |after " + marker});
    }
    EXPECT_EQ(FirstLine(gen(1)) + FirstLine(gen(2)) + FirstLine(gen(3)), "DCB");
    EXPECT_TRUE(fs::file_size(gen(1)) == kRotateSize && files() == 4);
    for (int k = 1; k <= 3; ++k) fs::remove(gen(k));
    SetLogFileCount(1);
    FillTo(log_, kRotateSize - 1, "old");
    Write("crosses");  // one byte short: still takes a line
    EXPECT_TRUE(FirstLine(log_) == "old" && fs::file_size(log_) > kRotateSize);
    Write("fresh");
    EXPECT_EQ(Entries(log_), Strings{"DBG001  |fresh"});
    EXPECT_EQ(files(), 1);
    SetLogFileCount(5000);
    FillTo(gen(2), 16, "gen 2");
    FillTo(gen(999), 16, "gen 999");
    FillTo(log_, kRotateSize, "live");
    Write("rotated");
    EXPECT_EQ(FirstLine(gen(1)) + "," + FirstLine(gen(3)), "live,gen 2");
    EXPECT_FALSE(fs::exists(gen(999)) || fs::exists(gen(1000)));
}

// 45 bytes: direction line, header, lines of 20, 20 and 5 bytes at the caller's
// level and function.  Edges: 20 and 21 bytes, size < 1 or null (headers only).
TEST_F(Log, HexadecimalDumps) {
    ToFile(2, 8 | 16);
    const auto dump = [&](unsigned level, unsigned char* buf, int size) {
        std::ofstream(log_, std::ios::trunc).close();
        DbgByteData(level, 77, level == 8, buf, size);
        return Entries(log_);
    };
    unsigned char bytes[45];
    for (int i = 0; i < 45; ++i) bytes[i] = static_cast<unsigned char>(i * 5 + 0xA0);
    char header[64];
    std::snprintf(header, sizeof header, "VBS077  |Buffer = 0x%08X, Size = 45",
                  static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(bytes)));
    const std::string vbs = "VBS077  |" + std::string(11, ' '), trc = "TRC077  |" + vbs.substr(9);
    EXPECT_EQ(dump(8, bytes, 45),
              (Strings{"VBS077  |Send Trace Data", header,
                       vbs + "A0 A5 AA AF B4 B9 BE C3 C8 CD D2 D7 DC E1 E6 EB F0 F5 FA FF ",
                       vbs + "04 09 0E 13 18 1D 22 27 2C 31 36 3B 40 45 4A 4F 54 59 5E 63 ",
                       vbs + "68 6D 72 77 7C "}));
    EXPECT_EQ(dump(16, bytes, 20).size(), 3u);
    const Strings twentyOne = dump(16, bytes, 21);
    ASSERT_EQ(twentyOne.size(), 4u);
    EXPECT_EQ(twentyOne[0] + "," + twentyOne[3], "TRC077  |Receive Trace Data," + trc + "04 ");
    EXPECT_EQ(dump(16, bytes, 0).size() + dump(16, bytes, -3).size(), 4u);
    EXPECT_EQ(dump(16, nullptr, 10)[1], "TRC077  |Buffer = 0x00000000, Size = 10");
    EXPECT_EQ(dump(4, bytes, 21).size(), 0u);
}

}  // namespace
