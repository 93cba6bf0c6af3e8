// VEMFd.h - descriptor ownership and whole-buffer writes, shared by every
// component of the suite: the logging library, the port drivers, the
// service daemon, the CUPS programs, the emulator and the tests.
//
// Header-only and free of other project headers on purpose: the logging
// library sits below everything else and may include nothing of theirs.
#ifndef VEM_FD_H
#define VEM_FD_H

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>

namespace vem {

// Owns one file descriptor and closes it in its destructor; -1 means none.
// Move-only.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    int release() noexcept { return std::exchange(fd_, -1); }
    void reset(int fd = -1) noexcept {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

// What write_full does when a non-blocking descriptor cannot take more.
enum class OnFull {
    Stop,  // return what was written, with EAGAIN in *err
    Wait,  // poll until it is writable again
};

// Writes all n bytes at data, retrying short writes and EINTR.  Returns the
// number of bytes written; when that is less than n, *err (if given) holds
// the errno that stopped it (EIO for a write that took nothing), else 0.
inline std::size_t write_full(int fd, const void* data, std::size_t n, int* err = nullptr,
                              OnFull full = OnFull::Stop) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    std::size_t done = 0;
    int e = 0;
    while (done < n) {
        const ssize_t w = ::write(fd, p + done, n - done);
        if (w > 0) {
            done += static_cast<std::size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && full == OnFull::Wait) {
            pollfd pfd{fd, POLLOUT, 0};
            if (::poll(&pfd, 1, -1) >= 0 || errno == EINTR) continue;
        }
        e = w < 0 ? errno : EIO;
        break;
    }
    if (err != nullptr) *err = e;
    return done;
}

// True when every byte was written (blocking descriptors).
inline bool write_all(int fd, std::span<const std::uint8_t> data) {
    return write_full(fd, data.data(), data.size()) == data.size();
}
inline bool write_all(int fd, std::string_view text) {
    return write_full(fd, text.data(), text.size()) == text.size();
}

}  // namespace vem

#endif  // VEM_FD_H
