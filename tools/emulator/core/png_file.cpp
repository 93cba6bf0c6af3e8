// Receipt pictures (PNG through libpng) and files that appear complete.
#include <fcntl.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include "VEMFd.h"
#include "kvrs_emulator.h"

namespace kvrs::emu {

namespace {

void set_error(std::string* error, std::string text) {
    if (error) *error = std::move(text);
}

// Closes a descriptor and removes the temporary file unless released.
class TempFile {
  public:
    TempFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
    ~TempFile() {
        fd_.reset();
        if (!path_.empty()) ::unlink(path_.c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    int fd() const { return fd_.get(); }
    const std::string& path() const { return path_; }
    bool close() { return ::close(fd_.release()) == 0; }
    void keep() { path_.clear(); }

  private:
    vem::UniqueFd fd_;
    std::string path_;
};

}  // namespace

namespace {

bool receipt_ok(const Receipt& r, std::string* error) {
    // Full or sparse: whole rows, no more than the receipt has.
    if (r.width <= 0 || r.height <= 0 || r.width > 100000 || r.height > kMaxReceiptRows ||
        r.pixels.size() > static_cast<std::size_t>(r.width) * static_cast<std::size_t>(r.height) ||
        r.pixels.size() % static_cast<std::size_t>(r.width) != 0) {
        set_error(error, "receipt has no rows or inconsistent sizes");
        return false;
    }
    return true;
}

// Where libpng's output goes: a vector, or a descriptor through a buffer
// (so a picture is never held whole in memory on its way to a file).
struct PngSink {
    std::vector<std::uint8_t>* mem = nullptr;
    int fd = -1;
    std::vector<std::uint8_t> buf;
    std::vector<std::uint8_t> white;  // one blank row, for the rows of a sparse receipt
    int err = 0;  // errno of a failed write
    char message[128] = {};

    bool flush() {
        if (fd < 0 || buf.empty()) return true;
        int e = 0;
        if (vem::write_full(fd, buf.data(), buf.size(), &e) != buf.size()) {
            err = e ? e : EIO;
            return false;
        }
        buf.clear();
        return true;
    }
    bool put(const std::uint8_t* p, std::size_t n) {
        if (mem) {
            mem->insert(mem->end(), p, p + n);
            return true;
        }
        if (buf.size() + n > buf.capacity() && !flush()) return false;
        if (n >= buf.capacity()) {
            int e = 0;
            if (vem::write_full(fd, p, n, &e) != n) {
                err = e ? e : EIO;
                return false;
            }
            return true;
        }
        buf.insert(buf.end(), p, p + n);
        return true;
    }
};

extern "C" void png_sink_write(png_structp png, png_bytep data, png_size_t n) {
    auto* sink = static_cast<PngSink*>(png_get_io_ptr(png));
    if (!sink->put(data, n)) png_error(png, "write failed");
}
extern "C" void png_sink_flush(png_structp) {}
extern "C" void png_on_error(png_structp png, png_const_charp msg) {
    auto* sink = static_cast<PngSink*>(png_get_error_ptr(png));
    std::snprintf(sink->message, sizeof sink->message, "%s", msg);
    png_longjmp(png, 1);
}
extern "C" void png_on_warning(png_structp, png_const_charp) {}

// Encodes r (checked by the caller) in one pass into the sink.  No C++
// object lives in this frame across setjmp, so libpng's longjmp is safe.
bool encode_into(const Receipt& r, PngSink* sink) {
    png_structp png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, sink, png_on_error, png_on_warning);
    if (!png) {
        std::snprintf(sink->message, sizeof sink->message, "out of memory");
        return false;
    }
    png_infop info = png_create_info_struct(png);
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, info ? &info : nullptr);
        return false;
    }
    png_set_write_fn(png, sink, png_sink_write, png_sink_flush);
    png_set_IHDR(png, info, static_cast<png_uint_32>(r.width), static_cast<png_uint_32>(r.height),
                 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    // Receipts are mostly runs of white and black: the plain filter and
    // zlib's fastest level compress them well, at a fraction of the time of
    // the adaptive filters and the default level (a dithered picture costs
    // a ninth of the time for files about 40% larger).
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
    png_set_compression_level(png, 1);
    png_write_info(png, info);
    const std::size_t drawn = r.pixels.size() / static_cast<std::size_t>(r.width);
    for (std::size_t y = 0; y < static_cast<std::size_t>(r.height); ++y)
        png_write_row(png, const_cast<png_bytep>(
                               y < drawn ? r.pixels.data() + y * static_cast<std::size_t>(r.width)
                                         : sink->white.data()));
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

std::vector<std::uint8_t> encode_png(const Receipt& r, std::string* error) {
    if (!receipt_ok(r, error)) return {};
    std::vector<std::uint8_t> out;
    PngSink sink;
    sink.mem = &out;
    sink.white.assign(static_cast<std::size_t>(r.width), 255);
    if (!encode_into(r, &sink)) {
        set_error(error, std::string("libpng: ") + sink.message);
        return {};
    }
    return out;
}

bool write_file_atomic(const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
                       std::string* error) {
    const auto dir = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    std::string templ = (dir / ("." + path.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkstemp(templ.data());
    if (fd < 0) {
        set_error(error, "cannot create a file in " + dir.string() + ": " + std::strerror(errno));
        return false;
    }
    TempFile tmp(fd, templ);
    if (!vem::write_all(tmp.fd(), bytes)) {
        set_error(error, "cannot write " + tmp.path() + ": " + std::strerror(errno));
        return false;
    }
    // mkstemp makes the file private; job files are meant to be read by
    // whoever looks at the output directory.
    if (::fchmod(tmp.fd(), 0644) != 0 || !tmp.close()) {
        set_error(error, "cannot finish " + tmp.path() + ": " + std::strerror(errno));
        return false;
    }
    if (::rename(tmp.path().c_str(), path.c_str()) != 0) {
        set_error(error, "cannot rename to " + path.string() + ": " + std::strerror(errno));
        return false;
    }
    tmp.keep();
    return true;
}

bool write_png(const std::filesystem::path& path, const Receipt& r, std::string* error) {
    if (!receipt_ok(r, error)) return false;
    const auto dir = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    std::string templ = (dir / ("." + path.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkstemp(templ.data());
    if (fd < 0) {
        set_error(error, "cannot create a file in " + dir.string() + ": " + std::strerror(errno));
        return false;
    }
    TempFile tmp(fd, templ);
    PngSink sink;
    sink.fd = tmp.fd();
    sink.white.assign(static_cast<std::size_t>(r.width), 255);
    sink.buf.reserve(64 * 1024);
    if (!encode_into(r, &sink) || !sink.flush()) {
        set_error(error, "cannot write " + tmp.path() + ": " +
                             (sink.err ? std::strerror(sink.err) : sink.message));
        return false;
    }
    if (::fchmod(tmp.fd(), 0644) != 0 || !tmp.close()) {
        set_error(error, "cannot finish " + tmp.path() + ": " + std::strerror(errno));
        return false;
    }
    if (::rename(tmp.path().c_str(), path.c_str()) != 0) {
        set_error(error, "cannot rename to " + path.string() + ": " + std::strerror(errno));
        return false;
    }
    tmp.keep();
    return true;
}

}  // namespace kvrs::emu
