// The debug log library through its exported C interface, on real files in a
// private directory.  Every test starts from the load-time settings.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
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

// "tag|message" per line, tag = level, function, token ("INF213->"), or "<malformed: ...>".
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

class Log : public ::testing::Test {
  protected:
    void SetUp() override {
        Reset();
        ASSERT_FALSE(dir_.empty());
    }
    void TearDown() override { Reset(), fs::remove_all(dir_); }
    static void Reset() { SetLogLevel(0), CancelLogFile(), SetLogFileCount(0); }
    void ToFile(unsigned count, unsigned mask = ~0u, const fs::path& path = {}) {
        ASSERT_EQ(SetLogFilename((path.empty() ? log_ : path).c_str()), 1);
        SetLogFileCount(count), SetLogLevel(mask);
    }
    static void Write(const std::string& text) { DbgLogMessage(4, 1, LOG_DBG, "%s", text.c_str()); }
    char tmpl_[32] = "/tmp/wardlog-test-XXXXXX";
    fs::path dir_ = mkdtemp(tmpl_) ? tmpl_ : "", log_ = dir_ / "x.log";
};

// A line carries the caller's thread id and the time of the call to the millisecond; the
// level code follows the first matching rule (error, warning, entry/exit token, debug, dump).
TEST_F(Log, LineFormat) {
    // clang-format off
    const struct { unsigned level, func, token; const char* tag; } cases[] = {
        {3, 5, LOG_DBG, "C_E005  "}, {2, 7, LOG_START, "WAR007->"}, {4, 1234, LOG_END, "INF1234<-"},
        {24, 11, LOG_TRACE, "VBS011  "}, {16, 12, LOG_TRACE, "TRC012  "}, {4, 14, 8, "DBG014??"}};
    // clang-format on
    ToFile(2);
    using namespace std::chrono;
    int tid = 0;
    system_clock::time_point before, after;
    std::thread([&] {
        tid = static_cast<int>(syscall(SYS_gettid));
        before = floor<milliseconds>(system_clock::now());
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
    int millis = -1, id = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "%d/%d/%d %d:%d:%d.%d [PID:%d]", &t.tm_year, &t.tm_mon,
                          &t.tm_mday, &t.tm_hour, &t.tm_min, &t.tm_sec, &millis, &id),
              8);
    EXPECT_TRUE(id == tid && id != getpid()) << line;
    t.tm_year -= 1900, t.tm_mon -= 1, t.tm_isdst = -1;
    const auto stamp = system_clock::from_time_t(mktime(&t)) + milliseconds(millis);
    EXPECT_TRUE(stamp >= before && stamp <= after) << line << ": not the time of the call";
    // The line, newline included, keeps to 499 bytes.
    std::ofstream(log_, std::ios::trunc).close();
    Write(std::string(5000, 'a'));
    const std::string text = ReadFile(log_);
    EXPECT_TRUE(text.size() == 499 && text.find_first_not_of('a', text.find("] ") + 2) == 498);
}

// The mask filters; standard output gets the text as formatted, never as a format; a file
// with count 0 takes nothing; cancelling is logged, then lines go to standard output.
TEST_F(Log, DestinationsMaskAndCancel) {
    const fs::path out = dir_ / "stdout", zero = dir_ / "zero.log";
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO), fd = open(out.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_TRUE(saved >= 0 && fd >= 0 && dup2(fd, STDOUT_FILENO) >= 0);
    Write("silent"), SetLogLevel(4);
    DbgLogMessage(8, 1, LOG_DBG, "masked");
    DbgLogMessage(12, 1, LOG_DBG, "%s", "100% sure %s %n %d");
    ToFile(0, 4, zero), Write("lost");
    ToFile(1, 4), Write("first");
    EXPECT_EQ(SetLogFilename(nullptr), 1);
    Write("second");
    std::fflush(stdout), dup2(saved, STDOUT_FILENO), close(saved), close(fd);
    EXPECT_EQ(Entries(out), (Strings{"DBG001  |100% sure %s %n %d", "DBG001  |second"}));
    EXPECT_TRUE(fs::exists(zero) && fs::file_size(zero) == 0);
    const std::string cancel = "DBG000  |[SetLogFilename]Cancel log file";
    EXPECT_EQ(Entries(log_), (Strings{"DBG001  |first", cancel}));
}

// Names that cannot be opened or whose generations would not fit (over 396
// characters) are refused; the longest accepted path rotates up to 999.
TEST_F(Log, RefusedNamesAndPathLengthLimit) {
    fs::path deep = dir_;
    while (deep.string().size() < 300) deep /= std::string(60, 'd');
    fs::create_directories(deep);
    const std::string longest = deep.string() + "/" + std::string(395 - deep.string().size(), 'f');
    ToFile(1000, 1 | 4);
    const std::string bad = longest + "g";
    EXPECT_EQ(SetLogFilename(bad.c_str()) + SetLogFilename("/nonexistent/y.log"), 0);
    EXPECT_EQ(Entries(log_)[0], "C_E000XX|[SetLogFilename]Open file(" + bad + ") fail");
    EXPECT_FALSE(fs::exists(bad));
    ASSERT_EQ(SetLogFilename(longest.c_str()), 1);
    FillTo(longest, kRotateSize, "live"), FillTo(longest + "998", 10, "gen 998");
    Write("rotated");
    EXPECT_EQ(FirstLine(longest + "01") + "," + FirstLine(longest + "999"), "live,gen 998");
    EXPECT_EQ(Entries(longest), Strings{"DBG001  |rotated"});
}

// A file of 1 MiB is rotated before the next line.  Count 4: 02 to 03, 01 to 02 (oldest
// first, none overwritten), live to 01, the fourth deleted.  Count 1: the file is deleted.
TEST_F(Log, RotationAcrossGenerations) {
    const auto gen = [&](int k) { return log_.string() + "0" + std::to_string(k); };
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
    FillTo(log_, kRotateSize, "old");
    Write("fresh");
    EXPECT_TRUE(Entries(log_) == Strings{"DBG001  |fresh"} && files() == 1);
}

// 45 bytes: direction, header, lines of 20, 20 and 5 bytes; a null buffer: headers only.
TEST_F(Log, HexadecimalDumps) {
    ToFile(2, 8 | 16);
    unsigned char bytes[45];
    for (int i = 0; i < 45; ++i) bytes[i] = static_cast<unsigned char>(i * 5 + 0xA0);
    char header[64];
    std::snprintf(header, sizeof header, "VBS077  |Buffer = 0x%08X, Size = 45",
                  static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(bytes)));
    const std::string vbs = "VBS077  |" + std::string(11, ' ');
    DbgByteData(8, 77, 1, bytes, 45);
    DbgByteData(16, 77, 0, nullptr, 10);
    EXPECT_EQ(Entries(log_),
              (Strings{"VBS077  |Send Trace Data", header,
                       vbs + "A0 A5 AA AF B4 B9 BE C3 C8 CD D2 D7 DC E1 E6 EB F0 F5 FA FF ",
                       vbs + "04 09 0E 13 18 1D 22 27 2C 31 36 3B 40 45 4A 4F 54 59 5E 63 ",
                       vbs + "68 6D 72 77 7C ", "TRC077  |Receive Trace Data",
                       "TRC077  |Buffer = 0x00000000, Size = 10"}));
}

// Two processes of eight threads each write into one log while it rotates
// about forty times (count 1000, so no generation is ever deleted), and one
// more thread per process keeps setting the same file again.  Read from the oldest
// generation to the live file, every line is there exactly once, whole, and
// each thread's lines are in the order it wrote them.
TEST_F(Log, ConcurrentWritersAcrossRotations) {
    constexpr int kProcs = 2, kThreads = 8, kLines = 12000;
    const std::string pad(200, '-');
    ToFile(1000, 4);
    auto writers = [&](int proc) {
        std::atomic<bool> done{false};
        std::thread setter([&] {
            while (!done) SetLogFilename(log_.c_str());
        });
        std::vector<std::thread> ts;
        for (int t = 0; t < kThreads; ++t)
            ts.emplace_back([&, t] {
                for (int n = 0; n < kLines; ++n)
                    DbgLogMessage(4, 1, LOG_DBG, "w%d.%d #%d %s", proc, t, n, pad.c_str());
            });
        for (auto& t : ts) t.join();
        done = true;
        setter.join();
    };
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        writers(1);
        _exit(0);
    }
    writers(0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    std::vector<fs::path> files;
    for (int k = 999; k >= 1; --k) {
        char name[16];
        std::snprintf(name, sizeof name, "%02d", k);
        if (fs::exists(log_.string() + name)) files.push_back(log_.string() + name);
    }
    files.push_back(log_);
    EXPECT_GT(files.size(), 20u);
    std::map<std::string, int> next;  // writer -> next line number expected
    int bad = 0;
    for (const auto& f : files) {
        for (const std::string& e : Entries(f)) {
            int proc = -1, t = -1, n = -1;
            const bool ok = std::sscanf(e.c_str(), "DBG001  |w%d.%d #%d", &proc, &t, &n) == 3 &&
                            e.size() == std::string("DBG001  |w0.0 #").size() +
                                            std::to_string(n).size() + 1 + pad.size();
            int& want = next["w" + std::to_string(proc) + "." + std::to_string(t)];
            if (!ok || n != want) {
                if (++bad <= 5) ADD_FAILURE() << f << ": expected #" << want << ", got " << e.substr(0, 40);
                want = n + 1;
                continue;
            }
            ++want;
        }
    }
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(next.size(), size_t{kProcs * kThreads});
    for (const auto& [writer, n] : next) EXPECT_EQ(n, kLines) << writer;
}

}  // namespace
