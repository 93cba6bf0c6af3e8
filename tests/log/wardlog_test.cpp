// Tests of the debug log library through its exported C interface, on real
// files in a private directory.  The settings are process-wide: every test
// starts from the load-time settings, and anything that redirects standard
// output or ends the process runs in a forked child.

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
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "VEMLogging.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kRotateSize = 1048576;
const std::string kBlanks(11, ' ');  // start of every dump line

std::string ReadFile(const fs::path& path) {
    std::ostringstream out;
    out << std::ifstream(path, std::ios::binary).rdbuf();
    return out.str();
}

std::string FirstLine(const fs::path& path) {
    std::string line;
    std::ifstream in(path);
    std::getline(in, line);
    return line;
}

// "tag|message" for every line of a file, where the tag is the level code,
// function number and token ("INF213->"); a line of any other shape shows
// as "<malformed: ...>".
std::vector<std::string> Entries(const fs::path& path) {
    static const std::regex re(
        R"(^\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\.\d{3} \[PID:\d{5,}\]\[(.{3}\d{3,}.{2})\] (.*)$)");
    std::vector<std::string> out;
    std::smatch m;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        out.push_back(std::regex_match(line, m, re) ? m.str(1) + "|" + m.str(2)
                                                    : "<malformed: " + line + ">");
    return out;
}
using Strings = std::vector<std::string>;

// A file of exactly `size` bytes whose first line is `marker`.
void FillTo(const fs::path& path, std::size_t size, const std::string& marker) {
    std::string data = marker + "\n";
    data.resize(size, '.');
    std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

std::int64_t NowMillis() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// Runs `body` in a forked child (standard output sent to `stdoutFile` when
// given) and expects it to end cleanly with no failed assertion.
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

class Log : public ::testing::Test {
  protected:
    void SetUp() override {
        Reset();
        char tmpl[] = "/tmp/wardlog-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        log_ = dir_ / "x.log";
        out_ = dir_ / "stdout";
    }
    void TearDown() override {
        Reset();
        fs::remove_all(dir_);
    }
    static void Reset() {  // the settings the library has when loaded
        SetLogLevel(0);
        CancelLogFile();
        SetLogFileCount(0);
    }
    void ToFile(unsigned count, unsigned mask = 0xFFFFFFFF, const fs::path& path = {}) {
        ASSERT_EQ(SetLogFilename((path.empty() ? log_ : path).c_str()), 1);
        SetLogFileCount(count);
        SetLogLevel(mask);
    }
    fs::path Gen(int k) const { return log_.string() + (k < 10 ? "0" : "") + std::to_string(k); }
    void Write(const char* text) { DbgLogMessage(4, 1, LOG_DBG, "%s", text); }

    fs::path dir_, log_, out_;
};

// ---- Line format ------------------------------------------------------------

// A line carries the kernel id of the calling thread (not the process id)
// and the local time of the call to the millisecond.  The level code follows
// the first matching rule (error, warning, entry/exit token, debug, dump,
// trace, otherwise INF); the function number has at least three digits; an
// unknown token shows as "??".
TEST_F(Log, LineFormat) {
    const struct {
        unsigned level, func, token;
        const char* tag;
    } cases[] = {
        {3, 5, LOG_DBG, "C_E005  "},      {1, 0, LOG_ERRNO, "C_E000XX"},
        {2, 7, LOG_START, "WAR007->"},    {2, 7, LOG_WARN, "WAR007xx"},
        {4, 1234, LOG_END, "INF1234<-"},  {16, 9, LOG_EX_START, "INF009>>"},
        {8, 9, LOG_EX_END, "INF009<<"},   {12, 10, LOG_TRACE, "DBG010  "},
        {24, 11, LOG_TRACE, "VBS011  "},  {16, 12, LOG_TRACE, "TRC012  "},
        {32, 13, LOG_DBG, "INF013  "},    {4, 14, 8, "DBG014??"},
        {4, 14, 0xFFFFFFFFu, "DBG014??"},
    };
    ToFile(2);
    long tid = 0;
    std::int64_t before = 0, after = 0;
    std::thread([&] {
        tid = syscall(SYS_gettid);
        before = NowMillis();
        DbgLogMessage(16, 213, LOG_START, "value=%d %s", 42, "ok");
        after = NowMillis();
    }).join();
    for (const auto& c : cases) DbgLogMessage(c.level, c.func, c.token, "case");

    Strings expected = {"INF213->|value=42 ok"};
    for (const auto& c : cases) expected.push_back(std::string(c.tag) + "|case");
    EXPECT_EQ(Entries(log_), expected);
    const std::string line = FirstLine(log_);
    std::tm t{};
    int millis = -1;
    long id = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "%d/%d/%d %d:%d:%d.%d [PID:%ld]", &t.tm_year, &t.tm_mon,
                          &t.tm_mday, &t.tm_hour, &t.tm_min, &t.tm_sec, &millis, &id),
              8);
    EXPECT_EQ(id, tid);
    EXPECT_NE(id, getpid());
    t.tm_year -= 1900, t.tm_mon -= 1, t.tm_isdst = -1;
    const std::int64_t stamp = std::int64_t{mktime(&t)} * 1000 + millis;
    EXPECT_GE(stamp, before) << line;
    EXPECT_LE(stamp, after) << line;
}

// An overlong message is cut so that the whole line, newline included, keeps
// to 499 bytes; shorter lines are left whole.
TEST_F(Log, LongMessagesAreCutAndKeepTheirNewline) {
    ToFile(2);
    const std::size_t sizes[] = {0, 450, 451, 452, 500, 5000};
    for (std::size_t n : sizes) Write(std::string(n, 'a').c_str());
    ASSERT_EQ(ReadFile(log_).back(), '\n');
    std::istringstream in(ReadFile(log_));
    std::size_t i = 0;
    for (std::string line; std::getline(in, line) && i < std::size(sizes); ++i) {
        const std::size_t prefix = line.find("] ") + 2;
        EXPECT_EQ(line.size(), std::min(prefix + sizes[i], std::size_t{498})) << sizes[i];
        EXPECT_EQ(line.find_first_not_of('a', prefix), std::string::npos);
    }
    EXPECT_EQ(i, std::size(sizes));
}

// ---- Destinations -----------------------------------------------------------

// The mask filters (0 at load: nothing at all); standard output gets the text
// as formatted, never read as a format again; a file with count 0 takes
// nothing; cancelling (null or "") is logged to the file still in force and
// sends later lines to standard output.
TEST_F(Log, MaskStandardOutputCountZeroAndCancel) {
    const fs::path zero = dir_ / "zero.log";
    InChild(
        [&] {
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
        },
        out_);
    EXPECT_EQ(Entries(out_), (Strings{"DBG001  |100% sure %s %n %d", "DBG002  |rate 50%",
                                      "DBG001  |second", "DBG001  |third"}));
    EXPECT_TRUE(fs::exists(zero));
    EXPECT_EQ(fs::file_size(zero), 0u);
    const std::string cancel = "DBG000  |[SetLogFilename]Cancel log file";
    EXPECT_EQ(Entries(log_), (Strings{"DBG001  |first", cancel, cancel}));
}

// A name that cannot be opened (missing directory, a directory) or whose
// generation names would not fit (over 396 characters) is refused, creating
// nothing; the error goes to the file already set, which stays in force.  The
// longest accepted path rotates up to generation 999.
TEST_F(Log, RefusedNamesAndPathLengthLimit) {
    fs::path deep = dir_;
    while (deep.string().size() < 300) deep /= std::string(60, 'd');
    fs::create_directories(deep);
    const std::string stem = deep.string() + "/";
    const std::string longest = stem + std::string(396 - stem.size(), 'f');

    ToFile(1000, 1 | 4);
    Strings expected;
    for (const std::string& bad :
         {(dir_ / "missing" / "y.log").string(), dir_.string(), longest + "g"}) {
        EXPECT_EQ(SetLogFilename(bad.c_str()), 0) << bad;
        expected.push_back("C_E000XX|[SetLogFilename]Open file(" + bad + ") fail");
    }
    Write("kept");
    expected.push_back("DBG001  |kept");
    EXPECT_EQ(Entries(log_), expected);
    EXPECT_FALSE(fs::exists(dir_ / "missing"));
    EXPECT_FALSE(fs::exists(longest + "g"));

    ASSERT_EQ(SetLogFilename(longest.c_str()), 1);
    FillTo(longest, kRotateSize, "live");
    FillTo(longest + "998", 10, "gen 998");
    Write("rotated");
    EXPECT_EQ(FirstLine(longest + "01"), "live");
    EXPECT_EQ(FirstLine(longest + "999"), "gen 998");
    EXPECT_EQ(Entries(longest), Strings{"DBG001  |rotated"});
}

// Unloading the library (here: the end of the process) logs the exit line
// to the file, then cancels it.
TEST_F(Log, UnloadLogsTheExitLine) {
    InChild([&] {
        ToFile(1, 4);
        std::exit(0);
    });
    EXPECT_EQ(Entries(log_),
              Strings{"INF000<-|Common Logging Library is exited, Version = V2.0.0.0"});
}

// Threads keep logging while another switches between two files and standard
// output: no line is lost, torn or written through a freed path.
TEST_F(Log, PathChangesWhileOtherThreadsLog) {
    // Long names keep the window in which a path is copied wide.
    const fs::path deep = dir_ / std::string(150, 'd') / std::string(150, 'e');
    fs::create_directories(deep);
    const fs::path first = deep / "x.log", other = deep / "y.log";
    constexpr int kThreads = 4, kLines = 1000;
    InChild(
        [&] {
            ToFile(2, 4, first);
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
        out_);
    std::size_t total = 0;
    for (const fs::path& p : {first, other, out_})
        for (const auto& entry : Entries(p)) {
            ASSERT_FALSE(entry.starts_with("<malformed")) << p << ": " << entry;
            total += entry.find("|line ") != std::string::npos;
        }
    EXPECT_EQ(total, std::size_t{kThreads * kLines});
}

// ---- Rotation -----------------------------------------------------------------

// Each rotation shifts 02 to 03, 01 to 02 (oldest first, so none is
// overwritten) and the live file to 01; with count 4 the fourth generation
// is deleted.
TEST_F(Log, RotationShiftsGenerationsAndDeletesTheOldest) {
    ToFile(4, 4);
    for (const std::string marker : {"A", "B", "C", "D"}) {
        FillTo(log_, kRotateSize, marker);
        Write(("after " + marker).c_str());
        EXPECT_EQ(Entries(log_), Strings{"DBG001  |after " + marker});
    }
    EXPECT_EQ(FirstLine(Gen(1)) + FirstLine(Gen(2)) + FirstLine(Gen(3)), "DCB");
    EXPECT_EQ(fs::file_size(Gen(1)), kRotateSize);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 4);
}

// The size is checked before each line: a file one byte short of 1 MiB takes
// one more line.  With count 1 a full file is then deleted, not kept.
TEST_F(Log, CountOneDeletesTheFullFileAtTheThreshold) {
    ToFile(1, 4);
    FillTo(log_, kRotateSize - 1, "old");
    Write("crosses");
    EXPECT_EQ(FirstLine(log_), "old");
    EXPECT_GT(fs::file_size(log_), kRotateSize);
    Write("fresh");
    EXPECT_EQ(Entries(log_), Strings{"DBG001  |fresh"});
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

// A count above 1000 keeps 1000 files: generation 999 is the last one and is
// deleted at the next rotation even when no generation 998 replaces it.
TEST_F(Log, CountAboveAThousandKeepsAThousandFiles) {
    ToFile(5000, 4);
    FillTo(Gen(2), 16, "gen 2");
    FillTo(Gen(999), 16, "gen 999");
    FillTo(log_, kRotateSize, "live");
    Write("rotated");
    EXPECT_EQ(FirstLine(Gen(1)) + "," + FirstLine(Gen(3)), "live,gen 2");
    EXPECT_FALSE(fs::exists(Gen(999)));
    EXPECT_FALSE(fs::exists(Gen(1000)));
}

// ---- Hexadecimal dumps ----------------------------------------------------------

// 45 bytes give a direction line, a header and dump lines of 20, 20 and 5
// bytes, with the caller's level and function.  Then the edges: 20 and 21
// bytes, a size below 1 or a null buffer (headers only), a masked level.
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
    const std::string dumped = "VBS077  |" + kBlanks;
    EXPECT_EQ(dump(8, bytes, 45),
              (Strings{"VBS077  |Send Trace Data", header,
                       dumped + "A0 A5 AA AF B4 B9 BE C3 C8 CD D2 D7 DC E1 E6 EB F0 F5 FA FF ",
                       dumped + "04 09 0E 13 18 1D 22 27 2C 31 36 3B 40 45 4A 4F 54 59 5E 63 ",
                       dumped + "68 6D 72 77 7C "}));

    EXPECT_EQ(dump(16, bytes, 20).size(), 3u);
    const auto twentyOne = dump(16, bytes, 21);
    ASSERT_EQ(twentyOne.size(), 4u);
    EXPECT_EQ(twentyOne[0], "TRC077  |Receive Trace Data");
    EXPECT_EQ(twentyOne[3], "TRC077  |" + kBlanks + "04 ");
    EXPECT_EQ(dump(16, bytes, 0).size(), 2u);
    EXPECT_EQ(dump(16, bytes, -3).size(), 2u);
    EXPECT_EQ(dump(16, nullptr, 10)[1], "TRC077  |Buffer = 0x00000000, Size = 10");
    EXPECT_EQ(dump(4, bytes, 21).size(), 0u);
}

}  // namespace
