// A job: one connection's bytes, its event log and its receipt pictures.
//
// Pictures are written as their receipts end and the event log goes to disk
// in pieces as it grows, so a job holds little more than the receipt being
// drawn, whatever the length of its stream.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>

#include "VEMFd.h"
#include "kvrs_emulator.h"

namespace kvrs::emu {

namespace {
// A connection left open for days must not fill the disk: beyond this many
// lines the log keeps a count of what it left out.
constexpr std::size_t kMaxEventLines = 200000;
// Event lines kept in memory before they are appended to the log's
// temporary file.
constexpr std::size_t kEventSpill = 256 * 1024;

// What a job shares with the writer's thread: where its files go and what
// became of them.  The members marked "writer" are touched only by the
// code that writes (the writer's thread, or the caller without a writer).
struct Files {
    std::filesystem::path out_dir;
    std::string name;
    std::atomic<std::size_t> queued{0};  // bytes handed over and not yet written

    mutable std::mutex m;
    std::condition_variable cv;
    std::vector<std::filesystem::path> written;
    std::vector<std::string> errors;
    bool done = false;

    std::string events_tmp;       // writer: the log's temporary file, once made
    bool events_failed = false;   // writer: the log could not be written
    bool dir_ready = false;       // writer

    void error(std::string e) {
        std::lock_guard lock(m);
        errors.push_back(std::move(e));
    }
    void wrote(std::filesystem::path p) {
        std::lock_guard lock(m);
        written.push_back(std::move(p));
    }
    void set_done() {
        {
            std::lock_guard lock(m);
            done = true;
        }
        cv.notify_all();
    }
    void make_dir() {
        if (dir_ready) return;
        std::error_code ec;
        std::filesystem::create_directories(out_dir, ec);
        dir_ready = true;
    }
    void write_picture(const std::filesystem::path& path, const Receipt& r, std::size_t index) {
        make_dir();
        std::string why;
        if (write_png(path, r, &why))
            wrote(path);
        else
            error("receipt " + std::to_string(index) + ": " + why);
    }
    void append_events(std::string_view text) {
        if (events_failed) return;
        make_dir();
        vem::UniqueFd fd;
        if (events_tmp.empty()) {
            std::string templ = (out_dir / ("." + name + ".events.jsonl.XXXXXX")).string();
            fd.reset(::mkostemp(templ.data(), O_CLOEXEC));
            if (fd) events_tmp = templ;
        } else {
            fd.reset(::open(events_tmp.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
        }
        if (!fd || !vem::write_all(fd.get(), text)) {
            error("cannot write the event log of " + name + " in " + out_dir.string() + ": " +
                  std::strerror(errno));
            events_failed = true;
            discard_events();
        }
    }
    void publish_events() {
        if (events_failed) return;
        const auto path = out_dir / (name + ".events.jsonl");
        // mkstemp makes the file private; job files are meant to be read by
        // whoever looks at the output directory.
        if (::chmod(events_tmp.c_str(), 0644) != 0 ||
            ::rename(events_tmp.c_str(), path.c_str()) != 0) {
            error("cannot rename to " + path.string() + ": " + std::strerror(errno));
            discard_events();
            return;
        }
        events_tmp.clear();
        wrote(path);
    }
    void discard_events() {
        if (!events_tmp.empty()) ::unlink(events_tmp.c_str());
        events_tmp.clear();
    }
};

}  // namespace

struct Job::State {
    Config cfg;
    std::shared_ptr<Files> files = std::make_shared<Files>();
    bool finished = false;
    std::string events;  // lines not yet handed to the writer
    std::size_t lines = 0;
    std::uint64_t lines_dropped = 0;
    std::shared_ptr<JobWriter> writer;
    std::size_t job_limit = kDefaultJobLimit;
    std::size_t receipts = 0;  // printed receipts so far
    bool in_busy = false;      // a "busy" event was recorded since the last resume
    Interpreter interp;

    explicit State(Config c)
        : cfg(std::move(c)),
          interp(cfg.paper, Interpreter::Callbacks{
                                .reply = cfg.reply,
                                .conditions = cfg.conditions,
                                .event = [this](const Event& e) { on_event(e); },
                                .receipt = [this](Receipt&& r) { on_receipt(std::move(r)); },
                            }) {
        files->out_dir = cfg.out_dir;
        files->name = cfg.name;
        interp.set_sparse_receipts(true);  // blank paper is drawn by the writer
    }

    // Runs `task` where files are written: on the writer's thread, with
    // `bytes` counted as waiting until it has run, or here and now.
    void run(std::size_t bytes, std::function<void()> task) {
        auto guarded = [f = files, t = std::move(task)] {
            try {
                t();
            } catch (const std::exception& e) {
                f->error(std::string("files not written: ") + e.what());
            }
        };
        if (!writer) {
            guarded();
            return;
        }
        files->queued += bytes;
        writer->post(bytes, [f = files, bytes, g = std::move(guarded)] {
            g();
            f->queued -= bytes;
        });
    }

    void on_event(const Event& e) {
        if (lines < kMaxEventLines) {
            events += e.json();
            events += '\n';
            ++lines;
            if (events.size() >= kEventSpill) spill_events();
        } else {
            ++lines_dropped;
        }
        if (cfg.on_event) cfg.on_event(e);
    }
    void spill_events() {
        std::string text;
        text.swap(events);
        const std::size_t n = text.size();
        run(n, [f = files, t = std::move(text)] { f->append_events(t); });
    }
    void on_receipt(Receipt&& r) {
        if (!r.printed) return;
        const std::size_t index = ++receipts;
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, "-r%02zu.png", index);
        auto path = cfg.out_dir / (cfg.name + suffix);
        const std::size_t bytes = r.pixels.size();
        auto receipt = std::make_shared<Receipt>(std::move(r));
        run(bytes, [f = files, receipt, path = std::move(path), index] {
            f->write_picture(path, *receipt, index);
        });
    }

    bool busy() const {
        const std::size_t mine = files->queued.load();
        if (mine > job_limit) return true;
        return writer && mine > 0 && writer->queued_bytes() > writer->total_limit();
    }
    void note_busy() {
        const std::size_t mine = files->queued.load();
        const bool job = mine > job_limit;
        Event e;
        e.kind = "busy";
        e.offset = interp.offset();
        e.add("limit", job ? "job" : "total");
        e.add_num("waiting",
                  static_cast<long long>(job ? mine : writer ? writer->queued_bytes() : 0));
        e.add_num("max", static_cast<long long>(job                ? job_limit
                                                : writer ? writer->total_limit()
                                                             : 0));
        on_event(e);
    }
};

Job::Job(Config cfg) : s_(std::make_unique<State>(std::move(cfg))) {}

Job::~Job() {
    if (s_->finished) return;
    // Abandoned: pictures already handed over are still written, the
    // unfinished event log is removed.
    try {
        s_->run(0, [f = s_->files] { f->discard_events(); });
    } catch (const std::exception&) {
    }
}

void Job::set_writer(std::shared_ptr<JobWriter> writer, std::size_t job_limit) {
    s_->writer = std::move(writer);
    s_->job_limit = job_limit;
}

void Job::feed(std::span<const std::uint8_t> bytes) {
    if (!s_->finished) s_->interp.feed(bytes);
}

std::size_t Job::feed_some(std::span<const std::uint8_t> bytes) {
    if (s_->finished) return bytes.size();
    if (!s_->busy()) s_->in_busy = false;
    std::size_t done = 0;
    while (done < bytes.size() && !s_->busy())
        done += s_->interp.feed_until_receipt(bytes.subspan(done));
    if (s_->busy() && !s_->in_busy) {
        s_->in_busy = true;
        s_->note_busy();
    }
    return done;
}

bool Job::busy() const {
    return s_->busy();
}

void Job::idle() {
    if (!s_->finished) s_->interp.end_receipt();
}

std::uint64_t Job::bytes() const {
    return s_->interp.offset();
}

std::vector<std::string> Job::errors() const {
    std::lock_guard lock(s_->files->m);
    return s_->files->errors;
}

std::size_t Job::printed_receipts() const {
    return s_->receipts;
}

void Job::finish_later() {
    if (s_->finished) return;
    s_->interp.finish();
    s_->finished = true;
    if (bytes() == 0) {  // a probe or a reconnection: nothing to show
        s_->files->set_done();
        return;
    }
    std::string tail;
    tail.swap(s_->events);
    if (s_->lines_dropped) {
        Event e;
        e.kind = "error";
        e.offset = bytes();
        e.add("message", std::to_string(s_->lines_dropped) + " more events were not logged");
        tail += e.json();
        tail += '\n';
    }
    // The event log last: once it is there, the whole job is.
    const std::size_t n = tail.size();
    s_->run(n, [f = s_->files, t = std::move(tail)] {
        // Done even when writing failed (the errors say why): whoever waits
        // for the job must not wait forever.
        struct Done {
            Files* f;
            ~Done() { f->set_done(); }
        } done{f.get()};
        f->append_events(t);
        f->publish_events();
    });
}

bool Job::done() const {
    std::lock_guard lock(s_->files->m);
    return s_->files->done;
}

std::vector<std::filesystem::path> Job::files() const {
    std::lock_guard lock(s_->files->m);
    return s_->files->written;
}

std::vector<std::filesystem::path> Job::finish() {
    if (s_->finished) return {};
    finish_later();
    auto& f = *s_->files;
    std::unique_lock lock(f.m);
    f.cv.wait(lock, [&f] { return f.done; });
    return f.written;
}

}  // namespace kvrs::emu
