// A job: one connection's bytes, its event log and its receipt pictures.
#include <cstdio>

#include "kvrs_emulator.h"

namespace kvrs::emu {

namespace {
// A connection left open for days must not grow without bound: beyond this
// many lines the log keeps a count of what it left out.
constexpr std::size_t kMaxEventLines = 200000;
}  // namespace

struct Job::State {
    Config cfg;
    bool finished = false;
    std::vector<std::string> lines;
    std::uint64_t lines_dropped = 0;
    // Printed receipts, already encoded: a PNG of a receipt is far smaller
    // than its pixels, and the files are only written by finish().
    std::vector<std::vector<std::uint8_t>> pngs;
    std::vector<std::string> errors;
    Interpreter interp;

    explicit State(Config c)
        : cfg(std::move(c)),
          interp(cfg.paper, Interpreter::Callbacks{
                                .reply = cfg.reply,
                                .conditions = cfg.conditions,
                                .event = [this](const Event& e) { on_event(e); },
                                .receipt = [this](Receipt&& r) { on_receipt(std::move(r)); },
                            }) {}
    void on_event(const Event& e) {
        if (lines.size() < kMaxEventLines)
            lines.push_back(e.json());
        else
            ++lines_dropped;
        if (cfg.on_event) cfg.on_event(e);
    }
    void on_receipt(Receipt&& r) {
        if (!r.printed) return;
        std::string why;
        auto png = encode_png(r, &why);
        if (png.empty()) {
            errors.push_back("receipt " + std::to_string(pngs.size() + 1) + ": " + why);
            return;
        }
        pngs.push_back(std::move(png));
    }
};

Job::Job(Config cfg) : s_(std::make_unique<State>(std::move(cfg))) {}
Job::~Job() = default;

void Job::feed(std::span<const std::uint8_t> bytes) {
    if (!s_->finished) s_->interp.feed(bytes);
}

void Job::idle() {
    if (!s_->finished) s_->interp.end_receipt();
}

std::uint64_t Job::bytes() const {
    return s_->interp.offset();
}
const std::vector<std::string>& Job::errors() const {
    return s_->errors;
}
std::size_t Job::printed_receipts() const {
    return s_->pngs.size();
}

std::vector<std::filesystem::path> Job::finish() {
    std::vector<std::filesystem::path> written;
    if (s_->finished) return written;
    s_->interp.finish();
    s_->finished = true;
    if (bytes() == 0) return written;  // a probe or a reconnection: nothing to show

    std::error_code ec;
    std::filesystem::create_directories(s_->cfg.out_dir, ec);
    // The pictures first and the event log last: once the log is there,
    // the whole job is.
    for (std::size_t i = 0; i < s_->pngs.size(); ++i) {
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, "-r%02zu.png", i + 1);
        const auto path = s_->cfg.out_dir / (s_->cfg.name + suffix);
        std::string why;
        if (write_file_atomic(path, s_->pngs[i], &why))
            written.push_back(path);
        else
            s_->errors.push_back(why);
    }
    std::string log;
    for (const auto& line : s_->lines) {
        log += line;
        log += '\n';
    }
    if (s_->lines_dropped) {
        Event e;
        e.kind = "error";
        e.offset = bytes();
        e.add("message", std::to_string(s_->lines_dropped) + " more events were not logged");
        log += e.json();
        log += '\n';
    }
    const auto path = s_->cfg.out_dir / (s_->cfg.name + ".events.jsonl");
    std::string why;
    if (write_file_atomic(
            path, std::span(reinterpret_cast<const std::uint8_t*>(log.data()), log.size()), &why))
        written.push_back(path);
    else
        s_->errors.push_back(why);
    s_->pngs.clear();
    s_->lines.clear();
    return written;
}

}  // namespace kvrs::emu
