// kvrs_emulator.h - the core of the virtual KVRS receipt printer.
//
// The core knows nothing about sockets or terminals: it is fed the bytes a
// printer would receive, in chunks of any size, keeps its parser state
// between chunks, answers real-time status requests through a callback, and
// turns what was printed into receipts (pictures) and events.  The
// kvrs-emulator program, the tests and the fake USB device all build on it.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kvrs::emu {

enum class Model { M1A, M2A };

// Paper of one printer: the model and the roll width decide the printable
// width in dots (KVRS-M2A: 576 on 80 mm, 400 on 58 mm; KVRS-M1A: 512, 360).
struct Paper {
    Model model = Model::M2A;
    int roll_mm = 80;  // 80 or 58
    int width_dots() const;
    std::string model_name() const;  // "KVRS-M1A" / "KVRS-M2A"
};

// Printer conditions a test can steer.  Each one sets its bits in the 6-byte
// status reply exactly where the filter looks for them.
struct Conditions {
    bool cover_open = false;           // byte 1, 0x04
    bool other_error = false;          // byte 1, 0x20
    bool cutter_error = false;         // byte 2, 0x08
    bool unrecoverable_error = false;  // byte 2, 0x20
    bool recoverable_error = false;    // byte 2, 0x40
    bool paper_near_end = false;       // byte 3, 0x0C
    bool paper_end = false;            // byte 3, 0x60
    bool other_error_2 = false;        // byte 5, 0x04
    bool offline = false;              // requests go unanswered, SNMP silent
};

// The 6-byte reply to DLE EOT 16 for these conditions.
std::array<std::uint8_t, 6> status_reply(const Conditions& c);

// Condition names as used on command lines, in control requests and in
// scripts: "cover-open", "other-error", "cutter-error",
// "unrecoverable-error", "recoverable-error", "paper-near-end",
// "paper-end", "other-error-2", "offline".
const std::vector<std::string_view>& condition_names();
// Sets or clears a condition by name; false for an unknown name.
bool set_condition(Conditions& c, std::string_view name, bool on);
// The names of the conditions that are set, comma separated ("ready" if none).
std::string describe(const Conditions& c);

// One thing the interpreter noticed.  `kind` is one of: "init",
// "line-spacing", "feed", "cut", "drawer", "graphics-store",
// "graphics-print", "status-request", "text", "unknown", "error",
// "truncated".  `fields` hold the details (numbers as decimal text).
//
// Fields by kind (hex texts are upper-case byte pairs separated by spaces,
// e.g. "10 04 10"):
//   init            -
//   line-spacing    dots
//   feed            dots
//   cut             type ("full" for ESC i and GS V 0, "partial" for ESC m
//                   and GS V 1)
//   drawer          pin (the connector byte m), on, off (units of 2 ms),
//                   on_ms, off_ms
//   graphics-store  tone ("mono"/"gray"), plane (1..4 for c = 0x31..0x34),
//                   width, height (dots), bytes (data bytes)
//   graphics-print  tone, width, height (dots as printed), planes (the
//                   planes that were stored, e.g. "1234")
//   status-request  n, and either reply (hex of the bytes sent) or dropped
//                   ("offline" or "unsupported")
//   text            text (UTF-8, one printed line)
//   unknown         count, bytes (hex of up to the first 16 of them);
//                   neighbouring unknown or ignored bytes share one event
//   error           message
//   truncated       command, missing (bytes that never came)
// json() writes {"kind":..., "offset":..., then the fields}; fields added
// with add_num() are JSON numbers, the others strings.
struct Event {
    std::string kind;
    std::uint64_t offset = 0;  // byte offset in the job where the command began
    std::vector<std::pair<std::string, std::string>> fields;
    // Bit i set: fields[i] is a number (written unquoted by json()).
    std::uint64_t numeric_fields = 0;

    std::optional<long long> num(std::string_view key) const;
    std::optional<std::string> str(std::string_view key) const;
    std::string json() const;  // one JSON object, no newline

    void add(std::string key, std::string value);
    void add_num(std::string key, long long value);
};

// A finished receipt: 8-bit gray, 0 black, 255 white, row-major.  From an
// interpreter with sparse receipts (Interpreter::set_sparse_receipts) the
// pixels hold only the rows drawn on, pixels.size() / width of them
// (possibly none): the rows below them, down to `height`, are blank paper.
struct Receipt {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;
    bool printed = false;  // false when it holds only blank paper
};

// A bitmap font for printed text.  The glyphs are drawn in 12 x 24 dot
// cells (an 8 x 16 console font scaled by 1.5), like a receipt printer's
// standard font.
class Font;
inline constexpr const char* kDefaultFontPath = "/usr/share/consolefonts/Unifont-APL8x16.psf.gz";
// Reads a PSF1 or PSF2 console font, gzip-compressed or not.  Returns
// nullptr (and a reason in *error) if the file is missing or not a font.
std::shared_ptr<const Font> load_font(const std::filesystem::path& path,
                                      std::string* error = nullptr);
// The font at kDefaultFontPath, read once per process (thread safe);
// nullptr if it is not there.
std::shared_ptr<const Font> default_font();

// Geometry of printed text and of the paper.
inline constexpr int kCharWidth = 12;
inline constexpr int kCharHeight = 24;
inline constexpr int kDefaultLineSpacing = 30;  // ESC 2
// A receipt never grows beyond this many rows (about 8 m of paper): a
// stream that feeds further is continued on a new receipt (with an error
// event), so no input can make the emulator allocate without bound.
inline constexpr int kMaxReceiptRows = 65536;

// The command interpreter and renderer.  Not thread safe; one per job.
//
// Commands: ESC @, ESC 2, ESC 3 n, ESC J n, ESC d n, ESC i, ESC m,
// ESC p m t1 t2, GS V (cut), GS 8 L and GS ( L (store graphics, a = 0x30
// monochrome or 0x34 four-plane gray; print with fn 0x32 or 0x02; other
// functions skipped by their length), GS v 0 (raster image, printed at
// once), DLE EOT n, printable text (bytes 0x80-0xFF as code page 437), HT,
// LF; CR is ignored.  A few common formatting commands (ESC !, ESC E,
// ESC a, GS !, ...) are consumed with their parameters and reported as
// unknown, so their parameters never appear as text.
//
// Status requests are recognised only at a command boundary.
// DLE EOT 16 is answered with exactly the 6 bytes of status_reply() in one
// reply() call.  DLE EOT 1..4 get the one status byte a printer of this
// class sends (0x12 plus the bits of the matching conditions: n = 2 cover
// 0x04, paper end 0x20, error 0x40; n = 3 cutter 0x08, unrecoverable 0x20,
// recoverable 0x40; n = 4 near end 0x0C, paper end 0x60).  Any other n gets
// nothing.  While offline every request is dropped (and reported), never
// answered later.
//
// Text: a line is printed at LF (the paper then advances by the line
// spacing, at least one character height), when it is full, and before
// anything else that moves paper (then it advances by one character
// height).  Stored graphics are cleared by printing them and by ESC @;
// ESC @ also discards text not yet printed.
class Interpreter {
  public:
    struct Callbacks {
        // Bytes to send back on the data connection.  Each call is one
        // answer and must go out in one write.
        std::function<void(std::span<const std::uint8_t>)> reply;
        // Current conditions, read at each status request.
        std::function<Conditions()> conditions;
        // Every event, in order.
        std::function<void(const Event&)> event;
        // A receipt is complete (at a cut, on end_receipt() or finish()).
        std::function<void(Receipt&&)> receipt;
    };

    Interpreter(Paper paper, Callbacks callbacks);
    ~Interpreter();
    Interpreter(const Interpreter&) = delete;
    Interpreter& operator=(const Interpreter&) = delete;

    // Consumes bytes; state carries over to the next call.
    void feed(std::span<const std::uint8_t> bytes);
    // Like feed(), but returns right after the command that completed a
    // receipt (its receipt callback has run); returns the bytes consumed,
    // all of them when no receipt completed.  A caller that must hold back
    // input while pictures wait to be written stops there.
    std::size_t feed_until_receipt(std::span<const std::uint8_t> bytes);
    // Ends the current receipt if anything is on it (idle time-out).
    void end_receipt();
    // End of input: reports a command cut off by the end, ends the receipt.
    void finish();
    // Bytes consumed so far.
    std::uint64_t offset() const;
    // Sparse receipts (off by default): a receipt's pixels end after the
    // last row drawn on instead of being filled out with white, so blank
    // paper (feeds, a long trailing feed) costs neither memory nor time.
    void set_sparse_receipts(bool on);
    // Replaces the font (nullptr: text is drawn as boxes).  The default is
    // default_font(); without it text is drawn as boxes and one error event
    // says so at the first printed line.
    void set_font(std::shared_ptr<const Font> font);

  private:
    struct State;
    std::unique_ptr<State> s_;
};

// Writes a receipt (full or sparse) as an 8-bit grayscale PNG, encoded in
// one pass straight into a temporary file in the same directory, then
// renamed, so readers never see a partial file.
bool write_png(const std::filesystem::path& path, const Receipt& r, std::string* error = nullptr);
// The PNG file of a receipt, in memory; empty (and *error set) for a
// receipt without rows or with inconsistent sizes.
std::vector<std::uint8_t> encode_png(const Receipt& r, std::string* error = nullptr);
// Writes bytes to a temporary file in the directory of `path` (mode 0644),
// then renames it to `path`.  On failure nothing is left behind.
bool write_file_atomic(const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
                       std::string* error = nullptr);

// Encodes receipt pictures and writes job files on a thread of its own, in
// the order the work was handed over, so that whoever feeds jobs (an event
// loop answering status requests) never waits for a picture; the thread runs
// at a lower priority (nice 5).  The jobs that share one
// writer share its limit on what may wait for it.
class JobWriter {
  public:
    // `total_limit`: bytes of receipts waiting to be written, over all jobs
    // of this writer, beyond which those jobs report busy().
    explicit JobWriter(std::size_t total_limit);
    ~JobWriter();  // does whatever is queued, then ends its thread
    JobWriter(const JobWriter&) = delete;
    JobWriter& operator=(const JobWriter&) = delete;

    // Runs `task` on the writer's thread; `bytes` count as waiting until
    // it has run.
    void post(std::size_t bytes, std::function<void()> task);
    std::size_t queued_bytes() const;
    std::size_t total_limit() const;
    // Becomes readable each time a task has run (for poll()); drained by
    // clear_notify().
    int notify_fd() const;
    void clear_notify();
    // Blocks until every task handed over so far has run.
    void wait_idle();

  private:
    struct State;
    std::unique_ptr<State> s_;
};

// One job: what arrives on one connection.  Writes its files into `out_dir`:
//   <name>-rNN.png        one picture per printed receipt (NN from 01),
//                         written as soon as the receipt ends
//   <name>.events.jsonl   one JSON object per line (only if bytes arrived),
//                         written last, when the job finishes: once it is
//                         there, the whole job is
// Files are complete when they appear (write, then rename).  Without a
// writer the work is done inside feed() and finish(); with one it is done
// on the writer's thread, and what a job holds stays bounded: its events go
// to disk as they accumulate, and a job whose pictures waiting to be
// written exceed `job_limit` (or, with some of its own waiting, the
// writer's total limit) is busy() until they are written.
class Job {
  public:
    static constexpr std::size_t kDefaultJobLimit = std::size_t{64} << 20;
    struct Config {
        Paper paper;
        std::filesystem::path out_dir;
        std::string name;  // e.g. "job-0001"
        std::function<void(std::span<const std::uint8_t>)> reply;
        std::function<Conditions()> conditions;
        // Optional: also sees every event as it happens (e.g. for a log).
        std::function<void(const Event&)> on_event;
    };
    explicit Job(Config cfg);
    ~Job();
    // Before the first feed(): pictures are encoded and files written on
    // `writer`'s thread, and up to `job_limit` bytes of this job's work may
    // wait for it (a receipt counts the pixels of its drawn rows, a piece of
    // the event log its text) before the job is busy().
    void set_writer(std::shared_ptr<JobWriter> writer, std::size_t job_limit = kDefaultJobLimit);
    void feed(std::span<const std::uint8_t> bytes);
    // Like feed(), but stops after the command that completed a receipt as
    // soon as the job is busy(); returns the bytes consumed.  The caller
    // holds the rest back until busy() turns false.  Each stop is recorded
    // as a "busy" event (fields: limit "job" or "total", waiting and max in
    // bytes).
    std::size_t feed_some(std::span<const std::uint8_t> bytes);
    // True while too many of its pictures wait for the writer (see above).
    bool busy() const;
    void idle();  // idle time-out: end the current receipt
    std::uint64_t bytes() const;
    // Finishes the job, writes its last files and waits for them; returns
    // every path the job wrote.  Nothing is written when no byte arrived.
    // A second call does nothing.  A file that cannot be written is skipped
    // (see errors()).
    std::vector<std::filesystem::path> finish();
    // Finishes the job without waiting: done() tells when its files are
    // all written, files() which they are.
    void finish_later();
    bool done() const;
    std::vector<std::filesystem::path> files() const;
    // Problems met while writing files, one line each.
    std::vector<std::string> errors() const;
    // Receipts with something printed on them so far.
    std::size_t printed_receipts() const;

  private:
    struct State;
    std::unique_ptr<State> s_;
};

}  // namespace kvrs::emu
