// The job writer: one thread that encodes pictures and writes job files in
// the order they were handed over.
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

#include "VEMFd.h"
#include "kvrs_emulator.h"

namespace kvrs::emu {

struct JobWriter::State {
    struct Task {
        std::size_t bytes;
        std::function<void()> run;
    };
    const std::size_t total_limit;
    vem::UniqueFd notify;
    mutable std::mutex m;
    std::condition_variable wake;  // the thread: a task or the end
    std::condition_variable idle;  // wait_idle(): the queue ran empty
    std::deque<Task> tasks;
    std::size_t queued = 0;  // bytes of the tasks not yet done, the running one included
    bool running = false;
    bool stopping = false;
    std::thread thread;

    explicit State(std::size_t limit)
        : total_limit(limit), notify(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

    void work() {
        // Encoding is background work: whoever feeds the jobs (and answers
        // status requests) is scheduled first when the processors are busy.
        ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 5);
        std::unique_lock lock(m);
        while (true) {
            wake.wait(lock, [this] { return stopping || !tasks.empty(); });
            if (tasks.empty()) return;  // stopping, and nothing left to do
            Task t = std::move(tasks.front());
            tasks.pop_front();
            running = true;
            lock.unlock();
            try {
                t.run();
            } catch (const std::exception&) {
                // A task records its own failures; one that escaped must
                // not end the thread every job relies on.
            }
            t.run = nullptr;  // what the task held is released outside the lock
            lock.lock();
            running = false;
            queued -= t.bytes;
            if (tasks.empty()) idle.notify_all();
            if (notify) {
                const std::uint64_t one = 1;
                ssize_t ignored = ::write(notify.get(), &one, sizeof one);
                (void)ignored;
            }
        }
    }
};

JobWriter::JobWriter(std::size_t total_limit) : s_(std::make_unique<State>(total_limit)) {
    s_->thread = std::thread([s = s_.get()] { s->work(); });
}

JobWriter::~JobWriter() {
    {
        std::lock_guard lock(s_->m);
        s_->stopping = true;
    }
    s_->wake.notify_all();
    s_->thread.join();
}

void JobWriter::post(std::size_t bytes, std::function<void()> task) {
    {
        std::lock_guard lock(s_->m);
        s_->tasks.push_back({bytes, std::move(task)});
        s_->queued += bytes;
    }
    s_->wake.notify_one();
}

std::size_t JobWriter::queued_bytes() const {
    std::lock_guard lock(s_->m);
    return s_->queued;
}

std::size_t JobWriter::total_limit() const {
    return s_->total_limit;
}

int JobWriter::notify_fd() const {
    return s_->notify.get();
}

void JobWriter::clear_notify() {
    std::uint64_t n;
    while (s_->notify && ::read(s_->notify.get(), &n, sizeof n) > 0) {
    }
}

void JobWriter::wait_idle() {
    std::unique_lock lock(s_->m);
    s_->idle.wait(lock, [this] { return s_->tasks.empty() && !s_->running; });
}

}  // namespace kvrs::emu
