// Receipt pictures (PNG through libpng) and files that appear complete.
#include <fcntl.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

std::vector<std::uint8_t> encode_png(const Receipt& r, std::string* error) {
    if (r.width <= 0 || r.height <= 0 || r.width > 100000 || r.height > kMaxReceiptRows ||
        r.pixels.size() != static_cast<std::size_t>(r.width) * static_cast<std::size_t>(r.height)) {
        set_error(error, "receipt has no rows or inconsistent sizes");
        return {};
    }
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(r.width);
    image.height = static_cast<png_uint_32>(r.height);
    image.format = PNG_FORMAT_GRAY;
    png_alloc_size_t size = 0;
    // First pass sizes the file, second pass writes it.
    if (!png_image_write_to_memory(&image, nullptr, &size, 0, r.pixels.data(), 0, nullptr)) {
        set_error(error, std::string("libpng: ") + image.message);
        png_image_free(&image);
        return {};
    }
    std::vector<std::uint8_t> out(size);
    if (!png_image_write_to_memory(&image, out.data(), &size, 0, r.pixels.data(), 0, nullptr)) {
        set_error(error, std::string("libpng: ") + image.message);
        png_image_free(&image);
        return {};
    }
    out.resize(size);
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
    const auto png = encode_png(r, error);
    if (png.empty()) return false;
    return write_file_atomic(path, png, error);
}

}  // namespace kvrs::emu
