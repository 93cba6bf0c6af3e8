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
struct Event {
    std::string kind;
    std::uint64_t offset = 0;  // byte offset in the job where the command began
    std::vector<std::pair<std::string, std::string>> fields;

    std::optional<long long> num(std::string_view key) const;
    std::optional<std::string> str(std::string_view key) const;
    std::string json() const;  // one JSON object, no newline
};

// A finished receipt: 8-bit gray, 0 black, 255 white, row-major.
struct Receipt {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;
    bool printed = false;  // false when it holds only blank paper
};

// The command interpreter and renderer.  Not thread safe; one per job.
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
    // Ends the current receipt if anything is on it (idle time-out).
    void end_receipt();
    // End of input: reports a command cut off by the end, ends the receipt.
    void finish();
    // Bytes consumed so far.
    std::uint64_t offset() const;

private:
    struct State;
    std::unique_ptr<State> s_;
};

// Writes a receipt as an 8-bit grayscale PNG: to a temporary name in the
// same directory, then renamed, so readers never see a partial file.
bool write_png(const std::filesystem::path& path, const Receipt& r, std::string* error = nullptr);

// One job: what arrives on one connection.  Collects events and receipts and
// writes them into `out_dir` when the job finishes:
//   <name>.events.jsonl   one JSON object per line (only if bytes arrived)
//   <name>-rNN.png        one picture per printed receipt (NN from 01)
// Files are complete when they appear (write, then rename).
class Job {
public:
    struct Config {
        Paper paper;
        std::filesystem::path out_dir;
        std::string name;  // e.g. "job-0001"
        std::function<void(std::span<const std::uint8_t>)> reply;
        std::function<Conditions()> conditions;
    };
    explicit Job(Config cfg);
    ~Job();
    void feed(std::span<const std::uint8_t> bytes);
    void idle();  // idle time-out: end the current receipt
    std::uint64_t bytes() const;
    // Finishes the job and writes its files; returns the paths written.
    std::vector<std::filesystem::path> finish();

private:
    struct State;
    std::unique_ptr<State> s_;
};

}  // namespace kvrs::emu
