// fakeusb.cpp - the fake USB bus behind the libusb-1.0 API (see fakeusb.h).
#include "fakeusb.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <libusb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "VEMFd.h"
#include "kvrs_emulator.h"

#define FAKE_API extern "C" __attribute__((visibility("default")))

namespace {

using Clock = std::chrono::steady_clock;
namespace emu = kvrs::emu;

constexpr std::size_t kMaxReceived = 16u << 20;  // per device, for fakeusb_received
constexpr std::uint8_t kStrManufacturer = 1, kStrProduct = 2, kStrSerial = 3;

struct EndpointDesc {
    int iface = 0, alt = 0;
    std::uint8_t addr = 0;
    std::uint8_t type = LIBUSB_TRANSFER_TYPE_BULK;
};

// One device line of the configuration.
struct DeviceDesc {
    std::string name;
    int vid = 0xF1E0, pid = 0x0002;
    std::optional<std::string> serial;
    std::optional<emu::Model> model;
    int paper_mm = 80;
    int bus = 1, addr = 0;
    std::vector<EndpointDesc> endpoints;
    bool kernel = false, present = true;
    int claim_err = 0, detach_err = 0, open_err = 0, config_err = 0;
    bool timeout_out = false, timeout_in = false, timeout_ctrl = false;
    long out_limit = -1, status_limit = -1;
    std::string in;  // raw bytes
    emu::Conditions conditions;
};

// A device on the bus and what it remembers across configuration changes.
struct Device {
    DeviceDesc desc;
    bool kernel_attached = false;
    bool present = true;
    int generation = 0;     // bumped at every plug-in: older handles are dead
    std::set<int> claimed;  // interfaces claimed (by any handle of this process)
    std::string in_queue;
    std::string received;
    int jobs = 0;

    std::set<int> interfaces() const {
        std::set<int> s;
        for (const auto& e : desc.endpoints) s.insert(e.iface);
        if (s.empty()) s.insert(0);
        return s;
    }
    const EndpointDesc* endpoint(std::uint8_t addr) const {
        for (const auto& e : desc.endpoints)
            if (e.addr == addr) return &e;
        return nullptr;
    }
    emu::Paper paper() const {
        emu::Paper p;
        p.model =
            desc.model ? *desc.model : (desc.pid == 0x0001 ? emu::Model::M1A : emu::Model::M2A);
        p.roll_mm = desc.paper_mm;
        return p;
    }
};

}  // namespace

// The opaque libusb types, as this fake has them.
struct libusb_context {
    int refs = 0;
};
struct libusb_device {
    std::shared_ptr<Device> dev;
    int generation = 0;
    int refs = 1;
};
struct libusb_device_handle {
    libusb_device* device = nullptr;
    std::set<int> claimed;
    std::unique_ptr<emu::Job> job;
};

namespace {

struct ConfigHolder {
    libusb_config_descriptor desc{};
    std::vector<libusb_interface> ifaces;
    std::vector<std::vector<libusb_interface_descriptor>> alts;
    std::vector<std::vector<std::vector<libusb_endpoint_descriptor>>> eps;
};

struct Bus {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<std::shared_ptr<Device>> devices;  // configuration order
    std::string output, journal_file, journal;
    libusb_context default_ctx;
    std::set<libusb_context*> contexts;
    std::set<libusb_device_handle*> handles;
    std::map<const libusb_config_descriptor*, std::unique_ptr<ConfigHolder>> configs;
    // The configuration file and the version of it last read.
    std::string config_path;
    bool env_read = false;
    struct stat config_stat {};
    bool have_stat = false;
};

Bus& bus() {
    static Bus* b = new Bus;  // never destroyed: handles may be closed from other destructors
    return *b;
}

// ---- Journal ----------------------------------------------------------------

void note(Bus& b, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void note(Bus& b, const char* fmt, ...) {
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    const int n = std::vsnprintf(line, sizeof line - 1, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    std::size_t len = std::min(static_cast<std::size_t>(n), sizeof line - 2);
    line[len++] = '\n';
    b.journal.append(line, len);
    if (!b.journal_file.empty()) {
        vem::UniqueFd fd(
            ::open(b.journal_file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
        if (fd) (void)vem::write_full(fd.get(), line, len);
    }
}

// ---- Configuration ------------------------------------------------------------

constexpr std::pair<std::string_view, int> kErrors[] = {
    {"io", LIBUSB_ERROR_IO},
    {"invalid-param", LIBUSB_ERROR_INVALID_PARAM},
    {"access", LIBUSB_ERROR_ACCESS},
    {"no-device", LIBUSB_ERROR_NO_DEVICE},
    {"not-found", LIBUSB_ERROR_NOT_FOUND},
    {"busy", LIBUSB_ERROR_BUSY},
    {"timeout", LIBUSB_ERROR_TIMEOUT},
    {"overflow", LIBUSB_ERROR_OVERFLOW},
    {"pipe", LIBUSB_ERROR_PIPE},
    {"interrupted", LIBUSB_ERROR_INTERRUPTED},
    {"no-mem", LIBUSB_ERROR_NO_MEM},
    {"not-supported", LIBUSB_ERROR_NOT_SUPPORTED},
    {"other", LIBUSB_ERROR_OTHER},
};

bool parse_error(std::string_view v, int* out) {
    if (v == "ok") return *out = 0, true;
    for (const auto& [name, code] : kErrors)
        if (name == v) return *out = code, true;
    return false;
}

bool parse_long(std::string_view v, long* out, int base = 0) {
    std::string s(v);
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(s.c_str(), &end, base);
    if (s.empty() || *end != '\0' || errno != 0) return false;
    *out = n;
    return true;
}

std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> out;
    while (!s.empty()) {
        const auto p = s.find(sep);
        out.push_back(s.substr(0, p));
        if (p == std::string_view::npos) break;
        s.remove_prefix(p + 1);
    }
    return out;
}

bool parse_endpoints(std::string_view v, std::vector<EndpointDesc>* out) {
    out->clear();
    for (auto item : split(v, ',')) {
        EndpointDesc e;
        if (const auto colon = item.find(':'); colon != std::string_view::npos) {
            const auto where = split(item.substr(0, colon), '.');
            long i = 0, a = 0;
            if (where.empty() || where.size() > 2 || !parse_long(where[0], &i, 10) ||
                (where.size() == 2 && !parse_long(where[1], &a, 10)) || i < 0 || i > 31 || a < 0 ||
                a > 31)
                return false;
            e.iface = static_cast<int>(i), e.alt = static_cast<int>(a);
            item.remove_prefix(colon + 1);
        }
        const auto slash = item.find('/');
        long addr = 0;
        if (slash == std::string_view::npos || !parse_long(item.substr(0, slash), &addr, 16) ||
            addr <= 0 || addr > 0xFF || (addr & 0x70) != 0)
            return false;
        e.addr = static_cast<std::uint8_t>(addr);
        const auto type = item.substr(slash + 1);
        if (type == "bulk")
            e.type = LIBUSB_TRANSFER_TYPE_BULK;
        else if (type == "int")
            e.type = LIBUSB_TRANSFER_TYPE_INTERRUPT;
        else if (type == "ctrl")
            e.type = LIBUSB_TRANSFER_TYPE_CONTROL;
        else if (type == "iso")
            e.type = LIBUSB_TRANSFER_TYPE_ISOCHRONOUS;
        else
            return false;
        out->push_back(e);
    }
    return true;
}

bool parse_hex(std::string_view v, std::string* out) {
    out->clear();
    std::string digits;
    for (char c : v)
        if (c != ' ' && c != ':') digits += c;
    if (digits.size() % 2 != 0) return false;
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        long byte = 0;
        if (!parse_long(std::string_view(digits).substr(i, 2), &byte, 16)) return false;
        *out += static_cast<char>(byte);
    }
    return true;
}

bool parse_device_key(DeviceDesc& d, std::string_view key, std::string_view v) {
    long n = 0;
    if (key == "vid" || key == "pid") {
        if (!parse_long(v, &n) || n < 0 || n > 0xFFFF) return false;
        (key == "vid" ? d.vid : d.pid) = static_cast<int>(n);
    } else if (key == "serial") {
        d.serial = std::string(v);
    } else if (key == "model") {
        if (v != "M1A" && v != "M2A") return false;
        d.model = v == "M1A" ? emu::Model::M1A : emu::Model::M2A;
    } else if (key == "paper") {
        if (v != "80" && v != "58") return false;
        d.paper_mm = v == "80" ? 80 : 58;
    } else if (key == "bus" || key == "addr") {
        if (!parse_long(v, &n) || n < 0 || n > 255) return false;
        (key == "bus" ? d.bus : d.addr) = static_cast<int>(n);
    } else if (key == "endpoints") {
        return parse_endpoints(v, &d.endpoints);
    } else if (key == "kernel" || key == "present") {
        if (v != "0" && v != "1") return false;
        (key == "kernel" ? d.kernel : d.present) = v == "1";
    } else if (key == "claim") {
        return parse_error(v, &d.claim_err);
    } else if (key == "detach") {
        return parse_error(v, &d.detach_err);
    } else if (key == "open") {
        return parse_error(v, &d.open_err);
    } else if (key == "config") {
        return parse_error(v, &d.config_err);
    } else if (key == "timeout") {
        d.timeout_out = d.timeout_in = d.timeout_ctrl = false;
        if (v == "none") return true;
        for (auto t : split(v, ',')) {
            if (t == "out" || t == "all") d.timeout_out = true;
            if (t == "in" || t == "all") d.timeout_in = true;
            if (t == "ctrl" || t == "all") d.timeout_ctrl = true;
            if (t != "out" && t != "in" && t != "ctrl" && t != "all") return false;
        }
    } else if (key == "out-limit" || key == "status-limit") {
        if (!parse_long(v, &n, 10) || n < 0) return false;
        (key == "out-limit" ? d.out_limit : d.status_limit) = n;
    } else if (key == "in") {
        return parse_hex(v, &d.in);
    } else if (key == "conditions") {
        d.conditions = {};
        if (v == "ready") return true;
        for (auto c : split(v, ','))
            if (!emu::set_condition(d.conditions, c, true)) return false;
    } else {
        return false;
    }
    return true;
}

struct Parsed {
    std::string output, journal;
    std::vector<DeviceDesc> devices;
};

bool parse_config(const std::string& text, Parsed* p, std::string* why) {
    std::istringstream in(text);
    std::string line;
    int lineno = 0;
    while (std::getline(in, line)) {
        ++lineno;
        std::istringstream words(line);
        std::string w;
        if (!(words >> w) || w[0] == '#') continue;
        const auto fail = [&](const std::string& what) {
            *why = "line " + std::to_string(lineno) + ": " + what;
            return false;
        };
        if (w == "output" || w == "journal") {
            std::string path;
            if (!(words >> path)) return fail("missing path");
            (w == "output" ? p->output : p->journal) = path;
        } else if (w == "device") {
            DeviceDesc d;
            if (!(words >> d.name)) return fail("missing device name");
            for (const auto& other : p->devices)
                if (other.name == d.name) return fail("device " + d.name + " twice");
            d.addr = static_cast<int>(p->devices.size()) + 1;
            d.endpoints = {{0, 0, 0x81, LIBUSB_TRANSFER_TYPE_BULK},
                           {0, 0, 0x02, LIBUSB_TRANSFER_TYPE_BULK},
                           {0, 0, 0x83, LIBUSB_TRANSFER_TYPE_INTERRUPT}};
            while (words >> w) {
                const auto eq = w.find('=');
                if (eq == std::string::npos ||
                    !parse_device_key(d, std::string_view(w).substr(0, eq),
                                      std::string_view(w).substr(eq + 1)))
                    return fail("bad setting " + w);
            }
            p->devices.push_back(std::move(d));
        } else {
            return fail("unknown word " + w);
        }
    }
    return true;
}

void finish_job(Bus& b, libusb_device_handle* h);

// Applies a parsed configuration: devices keep what they remember.
void apply(Bus& b, Parsed&& p) {
    b.output = std::move(p.output);
    b.journal_file = std::move(p.journal);
    std::vector<std::shared_ptr<Device>> next;
    for (auto& desc : p.devices) {
        std::shared_ptr<Device> d;
        for (auto& old : b.devices)
            if (old && old->desc.name == desc.name) d = old, old.reset();
        if (!d) {
            d = std::make_shared<Device>();
            d->desc.kernel = !desc.kernel;  // forces the edge below
            d->present = false;
            d->desc.present = false;
        }
        if (desc.kernel != d->desc.kernel) d->kernel_attached = desc.kernel;
        if (desc.in != d->desc.in) d->in_queue += desc.in;
        if (desc.present && !d->present) ++d->generation, d->claimed.clear();
        d->present = desc.present;
        d->desc = std::move(desc);
        next.push_back(std::move(d));
    }
    for (auto& gone : b.devices)  // left the configuration: unplugged
        if (gone) gone->present = false, next.push_back(gone);
    b.devices = std::move(next);
    b.cv.notify_all();
}

// Re-reads VEM_FAKEUSB_CONFIG when the file changed.  Caller holds the lock.
void refresh(Bus& b) {
    if (!b.env_read) {
        b.env_read = true;
        if (const char* p = std::getenv("VEM_FAKEUSB_CONFIG"); p != nullptr) b.config_path = p;
    }
    if (b.config_path.empty()) return;
    struct stat st {};
    if (::stat(b.config_path.c_str(), &st) != 0) return;
    if (b.have_stat && st.st_ino == b.config_stat.st_ino && st.st_size == b.config_stat.st_size &&
        st.st_mtim.tv_sec == b.config_stat.st_mtim.tv_sec &&
        st.st_mtim.tv_nsec == b.config_stat.st_mtim.tv_nsec)
        return;
    b.config_stat = st;
    b.have_stat = true;
    std::ifstream f(b.config_path);
    std::stringstream text;
    text << f.rdbuf();
    Parsed p;
    std::string why;
    if (parse_config(text.str(), &p, &why))
        apply(b, std::move(p));
    else
        note(b, "config-error %s", why.c_str());
}

// Locks the bus and brings the configuration up to date.
std::unique_lock<std::mutex> enter() {
    Bus& b = bus();
    std::unique_lock lock(b.mu);
    refresh(b);
    return lock;
}

// ---- Contexts -------------------------------------------------------------------

// The context a call names; null (and a misuse line) for the default one
// when nobody holds it.
libusb_context* context(Bus& b, libusb_context* ctx, const char* call) {
    if (ctx == nullptr) {
        if (b.default_ctx.refs > 0) return &b.default_ctx;
        note(b, "misuse %s on the default context while it is not initialised", call);
        return nullptr;
    }
    if (b.contexts.count(ctx) == 0) {
        note(b, "misuse %s on an unknown context", call);
        return nullptr;
    }
    return ctx;
}

// ---- Devices and handles --------------------------------------------------------

const char* name_of(const libusb_device_handle* h) {
    return h->device->dev->desc.name.c_str();
}

bool alive(const libusb_device* d) {
    return d->dev->present && d->generation == d->dev->generation;
}

// The handle if it is one of ours; else null and a misuse line.
libusb_device_handle* known(Bus& b, libusb_device_handle* h, const char* call) {
    if (h != nullptr && b.handles.count(h) != 0) return h;
    note(b, "misuse %s on a handle that is not open", call);
    return nullptr;
}

void unref(libusb_device* d) {
    if (d != nullptr && --d->refs == 0) delete d;
}

void finish_job(Bus& b, libusb_device_handle* h) {
    if (!h->job) return;
    if (!b.output.empty()) {
        for (const auto& path : h->job->finish()) note(b, "job %s %s", name_of(h), path.c_str());
        for (const auto& e : h->job->errors()) note(b, "job %s error %s", name_of(h), e.c_str());
    }
    h->job.reset();
}

emu::Job& job_of(Bus& b, libusb_device_handle* h) {
    if (!h->job) {
        Device& d = *h->device->dev;
        char name[160];
        std::snprintf(name, sizeof name, "%s-%d-%04d", d.desc.name.c_str(),
                      static_cast<int>(::getpid()), ++d.jobs);
        std::weak_ptr<Device> w = h->device->dev;
        h->job = std::make_unique<emu::Job>(emu::Job::Config{
            .paper = d.paper(),
            .out_dir = b.output,
            .name = name,
            // Called from feed(), with the bus locked.
            .reply =
                [w](std::span<const std::uint8_t> r) {
                    if (auto dev = w.lock()) dev->in_queue.append(r.begin(), r.end());
                },
            .conditions =
                [w] {
                    auto dev = w.lock();
                    return dev ? dev->desc.conditions : emu::Conditions{};
                },
            .on_event = {},
        });
    }
    return *h->job;
}

// Waits (bus locked) until done() holds or the time-out passes (0: no
// limit), picking up configuration changes meanwhile.  True if done() held.
template <typename Pred>
bool wait_until(std::unique_lock<std::mutex>& lock, unsigned int timeout_ms, Pred done) {
    Bus& b = bus();
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        auto slice = std::chrono::milliseconds(20);
        if (timeout_ms != 0) {
            const auto left = deadline - Clock::now();
            if (left <= Clock::duration::zero()) return false;
            slice = std::min(slice, std::chrono::duration_cast<std::chrono::milliseconds>(left) +
                                        std::chrono::milliseconds(1));
        }
        b.cv.wait_for(lock, slice);
        refresh(b);
    }
    return true;
}

// Checks that a transfer on endpoint `ep` of handle h may run.  Returns 0
// or a libusb error.
int transfer_check(Bus& b, libusb_device_handle* h, unsigned char ep, int type, const char* call) {
    if (!alive(h->device)) return LIBUSB_ERROR_NO_DEVICE;
    const EndpointDesc* e = h->device->dev->endpoint(ep);
    if (e == nullptr || e->type != type) {
        note(b, "misuse %s on endpoint %02X that the device does not have", call, ep);
        return LIBUSB_ERROR_NOT_FOUND;
    }
    if (h->claimed.count(e->iface) == 0) {
        note(b, "misuse %s on endpoint %02X of interface %d, not claimed", call, ep, e->iface);
        return LIBUSB_ERROR_IO;
    }
    return 0;
}

// The reply of the emulator to a status request carried by a control
// transfer; nullopt for a request the printer does not know.
std::optional<std::string> status_answer(const Device& d, std::uint8_t bRequest,
                                         std::uint16_t wValue) {
    std::uint8_t cmd[3] = {0x10, 0x04, 0};
    if (bRequest == 0x17 && wValue == 0x0110) {
        cmd[2] = 0x10;  // the own backend's form of DLE EOT 16
    } else if (bRequest == 0x10 && (wValue >> 8) == 0x04) {
        cmd[2] = static_cast<std::uint8_t>(wValue & 0xFF);
    } else {
        return std::nullopt;
    }
    std::string reply;
    const emu::Conditions c = d.desc.conditions;
    emu::Interpreter interp(
        d.paper(),
        emu::Interpreter::Callbacks{
            .reply = [&](std::span<const std::uint8_t> r) { reply.append(r.begin(), r.end()); },
            .conditions = [c] { return c; },
            .event = {},
            .receipt = {},
        });
    interp.set_font(nullptr);
    interp.feed(cmd);
    return reply;
}

void copy_out(const std::string& s, char* buf, std::size_t size) {
    if (buf == nullptr || size == 0) return;
    const std::size_t n = std::min(s.size(), size - 1);
    std::memcpy(buf, s.data(), n);
    buf[n] = '\0';
}

std::vector<std::shared_ptr<Device>> present_devices(Bus& b) {
    std::vector<std::shared_ptr<Device>> v;
    for (const auto& d : b.devices)
        if (d->present) v.push_back(d);
    return v;
}

int open_device(Bus& b, libusb_device* dev, libusb_device_handle** out) {
    int rc = 0;
    if (!alive(dev))
        rc = LIBUSB_ERROR_NO_DEVICE;
    else if (dev->dev->desc.open_err != 0)
        rc = dev->dev->desc.open_err;
    note(b, "open %s -> %d", dev->dev->desc.name.c_str(), rc);
    if (rc != 0) return rc;
    auto* h = new libusb_device_handle;
    h->device = dev;
    ++dev->refs;
    b.handles.insert(h);
    *out = h;
    return 0;
}

std::string hex_setup(uint8_t t, uint8_t r, uint16_t v, uint16_t i, uint16_t l) {
    char s[40];
    std::snprintf(s, sizeof s, "%02X %02X %04X %04X %04X", t, r, v, i, l);
    return s;
}

}  // namespace

// ---- The libusb API -------------------------------------------------------------

FAKE_API int libusb_init(libusb_context** ctx) {
    auto lock = enter();
    Bus& b = bus();
    if (ctx != nullptr) {
        *ctx = new libusb_context;
        (*ctx)->refs = 1;
        b.contexts.insert(*ctx);
        note(b, "init context");
        return 0;
    }
    ++b.default_ctx.refs;
    note(b, "init refs=%d", b.default_ctx.refs);
    return 0;
}

FAKE_API void libusb_exit(libusb_context* ctx) {
    auto lock = enter();
    Bus& b = bus();
    if (ctx != nullptr) {
        if (b.contexts.erase(ctx) == 0) return note(b, "misuse libusb_exit of an unknown context");
        delete ctx;
        return note(b, "exit context");
    }
    if (b.default_ctx.refs == 0) return note(b, "misuse libusb_exit without libusb_init");
    --b.default_ctx.refs;
    note(b, "exit refs=%d", b.default_ctx.refs);
    if (b.default_ctx.refs == 0 && !b.handles.empty())
        note(b, "misuse libusb_exit with %zu handles still open", b.handles.size());
}

FAKE_API void libusb_set_debug(libusb_context*, int) {}

FAKE_API int libusb_set_option(libusb_context*, enum libusb_option, ...) {
    return 0;
}

FAKE_API const struct libusb_version* libusb_get_version(void) {
    static const libusb_version v{1, 0, 26, 0, "-fake", "https://invalid.example/"};
    return &v;
}

FAKE_API int libusb_has_capability(uint32_t capability) {
    return capability == LIBUSB_CAP_HAS_CAPABILITY ||
           capability == LIBUSB_CAP_SUPPORTS_DETACH_KERNEL_DRIVER;
}

FAKE_API const char* libusb_error_name(int errcode) {
    static const char* const names[] = {
        "LIBUSB_ERROR_IO",          "LIBUSB_ERROR_INVALID_PARAM", "LIBUSB_ERROR_ACCESS",
        "LIBUSB_ERROR_NO_DEVICE",   "LIBUSB_ERROR_NOT_FOUND",     "LIBUSB_ERROR_BUSY",
        "LIBUSB_ERROR_TIMEOUT",     "LIBUSB_ERROR_OVERFLOW",      "LIBUSB_ERROR_PIPE",
        "LIBUSB_ERROR_INTERRUPTED", "LIBUSB_ERROR_NO_MEM",        "LIBUSB_ERROR_NOT_SUPPORTED"};
    if (errcode == 0) return "LIBUSB_SUCCESS";
    if (errcode <= -1 && errcode >= -12) return names[-errcode - 1];
    return "LIBUSB_ERROR_OTHER";
}

FAKE_API const char* libusb_strerror(int errcode) {
    return libusb_error_name(errcode);
}

FAKE_API ssize_t libusb_get_device_list(libusb_context* ctx, libusb_device*** list) {
    auto lock = enter();
    Bus& b = bus();
    if (context(b, ctx, "libusb_get_device_list") == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    if (list == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    const auto devs = present_devices(b);
    auto** l = new libusb_device*[devs.size() + 1];
    for (std::size_t i = 0; i < devs.size(); ++i)
        l[i] = new libusb_device{devs[i], devs[i]->generation, 1};
    l[devs.size()] = nullptr;
    *list = l;
    note(b, "list n=%zu", devs.size());
    return static_cast<ssize_t>(devs.size());
}

FAKE_API void libusb_free_device_list(libusb_device** list, int unref_devices) {
    if (list == nullptr) return;
    auto lock = enter();
    if (unref_devices)
        for (libusb_device** d = list; *d != nullptr; ++d) unref(*d);
    delete[] list;
}

FAKE_API libusb_device* libusb_ref_device(libusb_device* dev) {
    auto lock = enter();
    ++dev->refs;
    return dev;
}

FAKE_API void libusb_unref_device(libusb_device* dev) {
    auto lock = enter();
    unref(dev);
}

FAKE_API int libusb_get_device_descriptor(libusb_device* dev, libusb_device_descriptor* desc) {
    auto lock = enter();
    const DeviceDesc& s = dev->dev->desc;
    *desc = libusb_device_descriptor{};
    desc->bLength = LIBUSB_DT_DEVICE_SIZE;
    desc->bDescriptorType = LIBUSB_DT_DEVICE;
    desc->bcdUSB = 0x0200;
    desc->bMaxPacketSize0 = 64;
    desc->idVendor = static_cast<uint16_t>(s.vid);
    desc->idProduct = static_cast<uint16_t>(s.pid);
    desc->bcdDevice = 0x0100;
    desc->iManufacturer = kStrManufacturer;
    desc->iProduct = kStrProduct;
    desc->iSerialNumber = s.serial ? kStrSerial : 0;
    desc->bNumConfigurations = 1;
    return 0;
}

FAKE_API int libusb_get_config_descriptor(libusb_device* dev, uint8_t config_index,
                                          libusb_config_descriptor** config) {
    auto lock = enter();
    Bus& b = bus();
    const DeviceDesc& s = dev->dev->desc;
    if (config_index != 0) return LIBUSB_ERROR_NOT_FOUND;
    if (s.config_err != 0) return s.config_err;

    auto c = std::make_unique<ConfigHolder>();
    std::map<int, std::map<int, std::vector<libusb_endpoint_descriptor>>> layout;
    for (int i : dev->dev->interfaces()) layout[i][0];
    for (const auto& e : s.endpoints) {
        libusb_endpoint_descriptor d{};
        d.bLength = LIBUSB_DT_ENDPOINT_SIZE;
        d.bDescriptorType = LIBUSB_DT_ENDPOINT;
        d.bEndpointAddress = e.addr;
        d.bmAttributes = e.type;
        d.wMaxPacketSize = 64;
        layout[e.iface][e.alt].push_back(d);
    }
    for (auto& [iface, alts] : layout) {
        c->eps.emplace_back();
        c->alts.emplace_back();
        for (auto& [alt, eps] : alts) {
            c->eps.back().push_back(std::move(eps));
            libusb_interface_descriptor a{};
            a.bLength = LIBUSB_DT_INTERFACE_SIZE;
            a.bDescriptorType = LIBUSB_DT_INTERFACE;
            a.bInterfaceNumber = static_cast<uint8_t>(iface);
            a.bAlternateSetting = static_cast<uint8_t>(alt);
            a.bInterfaceClass = LIBUSB_CLASS_PRINTER;
            c->alts.back().push_back(a);
        }
    }
    for (std::size_t i = 0; i < c->alts.size(); ++i) {
        for (std::size_t a = 0; a < c->alts[i].size(); ++a) {
            c->alts[i][a].bNumEndpoints = static_cast<uint8_t>(c->eps[i][a].size());
            c->alts[i][a].endpoint = c->eps[i][a].data();
        }
        c->ifaces.push_back(
            libusb_interface{c->alts[i].data(), static_cast<int>(c->alts[i].size())});
    }
    c->desc.bLength = LIBUSB_DT_CONFIG_SIZE;
    c->desc.bDescriptorType = LIBUSB_DT_CONFIG;
    c->desc.bNumInterfaces = static_cast<uint8_t>(c->ifaces.size());
    c->desc.bConfigurationValue = 1;
    c->desc.interface = c->ifaces.data();
    *config = &c->desc;
    b.configs[&c->desc] = std::move(c);
    return 0;
}

FAKE_API int libusb_get_active_config_descriptor(libusb_device* dev,
                                                 libusb_config_descriptor** config) {
    return libusb_get_config_descriptor(dev, 0, config);
}

FAKE_API void libusb_free_config_descriptor(libusb_config_descriptor* config) {
    if (config == nullptr) return;
    auto lock = enter();
    Bus& b = bus();
    if (b.configs.erase(config) == 0) note(b, "misuse libusb_free_config_descriptor of a stranger");
}

FAKE_API uint8_t libusb_get_bus_number(libusb_device* dev) {
    auto lock = enter();  // a reload may change the description
    return static_cast<uint8_t>(dev->dev->desc.bus);
}
FAKE_API uint8_t libusb_get_device_address(libusb_device* dev) {
    auto lock = enter();  // a reload may change the description
    return static_cast<uint8_t>(dev->dev->desc.addr);
}
FAKE_API uint8_t libusb_get_port_number(libusb_device* dev) {
    auto lock = enter();  // a reload may change the description
    return static_cast<uint8_t>(dev->dev->desc.addr);
}
FAKE_API int libusb_get_device_speed(libusb_device*) {
    return LIBUSB_SPEED_HIGH;
}
FAKE_API int libusb_get_max_packet_size(libusb_device*, unsigned char) {
    return 64;
}

FAKE_API int libusb_open(libusb_device* dev, libusb_device_handle** dev_handle) {
    auto lock = enter();
    return open_device(bus(), dev, dev_handle);
}

FAKE_API libusb_device_handle* libusb_open_device_with_vid_pid(libusb_context* ctx,
                                                               uint16_t vendor_id,
                                                               uint16_t product_id) {
    auto lock = enter();
    Bus& b = bus();
    if (context(b, ctx, "libusb_open_device_with_vid_pid") == nullptr) return nullptr;
    for (const auto& d : present_devices(b)) {
        if (d->desc.vid != vendor_id || d->desc.pid != product_id) continue;
        auto* dev = new libusb_device{d, d->generation, 1};
        libusb_device_handle* h = nullptr;
        open_device(b, dev, &h);
        unref(dev);
        return h;
    }
    note(b, "open %04x:%04x -> %d", vendor_id, product_id, LIBUSB_ERROR_NOT_FOUND);
    return nullptr;
}

FAKE_API void libusb_close(libusb_device_handle* dev_handle) {
    if (dev_handle == nullptr) return;
    auto lock = enter();
    Bus& b = bus();
    libusb_device_handle* h = known(b, dev_handle, "libusb_close");
    if (h == nullptr) return;
    finish_job(b, h);
    if (alive(h->device))
        for (int i : h->claimed) h->device->dev->claimed.erase(i);
    note(b, "close %s", name_of(h));
    b.handles.erase(h);
    unref(h->device);
    delete h;
}

FAKE_API libusb_device* libusb_get_device(libusb_device_handle* dev_handle) {
    return dev_handle->device;
}

FAKE_API int libusb_get_configuration(libusb_device_handle*, int* config) {
    *config = 1;
    return 0;
}
FAKE_API int libusb_set_configuration(libusb_device_handle* dev_handle, int) {
    auto lock = enter();
    return known(bus(), dev_handle, "libusb_set_configuration") && alive(dev_handle->device)
               ? 0
               : LIBUSB_ERROR_NO_DEVICE;
}
FAKE_API int libusb_set_auto_detach_kernel_driver(libusb_device_handle*, int) {
    return 0;
}
FAKE_API int libusb_set_interface_alt_setting(libusb_device_handle* dev_handle, int, int) {
    auto lock = enter();
    return alive(dev_handle->device) ? 0 : LIBUSB_ERROR_NO_DEVICE;
}
FAKE_API int libusb_clear_halt(libusb_device_handle* dev_handle, unsigned char) {
    auto lock = enter();
    return alive(dev_handle->device) ? 0 : LIBUSB_ERROR_NO_DEVICE;
}
FAKE_API int libusb_reset_device(libusb_device_handle* dev_handle) {
    auto lock = enter();
    return alive(dev_handle->device) ? 0 : LIBUSB_ERROR_NO_DEVICE;
}

FAKE_API int libusb_kernel_driver_active(libusb_device_handle* dev_handle, int interface_number) {
    auto lock = enter();
    Bus& b = bus();
    libusb_device_handle* h = known(b, dev_handle, "libusb_kernel_driver_active");
    if (h == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    Device& d = *h->device->dev;
    int rc = d.kernel_attached ? 1 : 0;
    if (!alive(h->device))
        rc = LIBUSB_ERROR_NO_DEVICE;
    else if (d.interfaces().count(interface_number) == 0)
        rc = LIBUSB_ERROR_NOT_FOUND;
    note(b, "kernel-active %s if=%d -> %d", name_of(h), interface_number, rc);
    return rc;
}

FAKE_API int libusb_detach_kernel_driver(libusb_device_handle* dev_handle, int interface_number) {
    auto lock = enter();
    Bus& b = bus();
    libusb_device_handle* h = known(b, dev_handle, "libusb_detach_kernel_driver");
    if (h == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    Device& d = *h->device->dev;
    int rc = 0;
    if (!alive(h->device))
        rc = LIBUSB_ERROR_NO_DEVICE;
    else if (d.interfaces().count(interface_number) == 0 || !d.kernel_attached)
        rc = LIBUSB_ERROR_NOT_FOUND;
    else if (d.desc.detach_err != 0)
        rc = d.desc.detach_err;
    else
        d.kernel_attached = false;
    note(b, "detach %s if=%d -> %d", name_of(h), interface_number, rc);
    return rc;
}

FAKE_API int libusb_attach_kernel_driver(libusb_device_handle* dev_handle, int interface_number) {
    auto lock = enter();
    Bus& b = bus();
    libusb_device_handle* h = known(b, dev_handle, "libusb_attach_kernel_driver");
    if (h == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    Device& d = *h->device->dev;
    int rc = 0;
    if (!alive(h->device))
        rc = LIBUSB_ERROR_NO_DEVICE;
    else if (d.interfaces().count(interface_number) == 0)
        rc = LIBUSB_ERROR_NOT_FOUND;
    else if (d.kernel_attached || d.claimed.count(interface_number) != 0)
        rc = LIBUSB_ERROR_BUSY;
    else
        d.kernel_attached = true;
    note(b, "attach %s if=%d -> %d", name_of(h), interface_number, rc);
    return rc;
}

FAKE_API int libusb_claim_interface(libusb_device_handle* dev_handle, int interface_number) {
    auto lock = enter();
    Bus& b = bus();
    libusb_device_handle* h = known(b, dev_handle, "libusb_claim_interface");
    if (h == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    Device& d = *h->device->dev;
    int rc = 0;
    if (!alive(h->device))
        rc = LIBUSB_ERROR_NO_DEVICE;
    else if (d.interfaces().count(interface_number) == 0)
        rc = LIBUSB_ERROR_NOT_FOUND;
    else if (h->claimed.count(interface_number) != 0)
        rc = 0;  // claiming twice is allowed
    else if (d.kernel_attached || d.claimed.count(interface_number) != 0)
        rc = LIBUSB_ERROR_BUSY;
    else if (d.desc.claim_err != 0)
        rc = d.desc.claim_err;
    if (rc == 0) h->claimed.insert(interface_number), d.claimed.insert(interface_number);
    note(b, "claim %s if=%d -> %d", name_of(h), interface_number, rc);
    return rc;
}

FAKE_API int libusb_release_interface(libusb_device_handle* dev_handle, int interface_number) {
    auto lock = enter();
    Bus& b = bus();
    libusb_device_handle* h = known(b, dev_handle, "libusb_release_interface");
    if (h == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    int rc = 0;
    if (!alive(h->device))
        rc = LIBUSB_ERROR_NO_DEVICE;
    else if (h->claimed.count(interface_number) == 0)
        rc = LIBUSB_ERROR_NOT_FOUND;
    else
        h->claimed.erase(interface_number), h->device->dev->claimed.erase(interface_number);
    note(b, "release %s if=%d -> %d", name_of(h), interface_number, rc);
    return rc;
}

FAKE_API int libusb_bulk_transfer(libusb_device_handle* dev_handle, unsigned char endpoint,
                                  unsigned char* data, int length, int* transferred,
                                  unsigned int timeout) {
    auto lock = enter();
    Bus& b = bus();
    libusb_device_handle* h = known(b, dev_handle, "libusb_bulk_transfer");
    if (h == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    int done = 0;
    const bool in = (endpoint & LIBUSB_ENDPOINT_IN) != 0;
    int rc =
        length < 0 || (data == nullptr && length > 0)
            ? LIBUSB_ERROR_INVALID_PARAM
            : transfer_check(b, h, endpoint, LIBUSB_TRANSFER_TYPE_BULK, "libusb_bulk_transfer");
    Device& d = *h->device->dev;
    const auto gone = [&] { return !alive(h->device); };
    if (rc == 0 && !in) {
        long take = length;
        if (d.desc.timeout_out) take = 0;
        if (d.desc.out_limit >= 0) take = std::min<long>(take, d.desc.out_limit);
        done = static_cast<int>(take);
        if (done > 0) {
            job_of(b, h).feed(std::span<const std::uint8_t>(data, static_cast<std::size_t>(done)));
            if (d.received.size() < kMaxReceived)
                d.received.append(reinterpret_cast<const char*>(data),
                                  std::min<std::size_t>(static_cast<std::size_t>(done),
                                                        kMaxReceived - d.received.size()));
        }
        if (done < length) {
            // The device stops taking data: the transfer ends at the time-out.
            wait_until(lock, timeout, gone);
            rc = gone() ? LIBUSB_ERROR_NO_DEVICE : LIBUSB_ERROR_TIMEOUT;
        }
        b.cv.notify_all();
    } else if (rc == 0) {
        const bool got = wait_until(
            lock, timeout, [&] { return gone() || (!d.desc.timeout_in && !d.in_queue.empty()); });
        if (gone()) {
            rc = LIBUSB_ERROR_NO_DEVICE;
        } else if (!got) {
            rc = LIBUSB_ERROR_TIMEOUT;
        } else {
            done = static_cast<int>(
                std::min<std::size_t>(static_cast<std::size_t>(length), d.in_queue.size()));
            std::memcpy(data, d.in_queue.data(), static_cast<std::size_t>(done));
            d.in_queue.erase(0, static_cast<std::size_t>(done));
        }
    }
    if (transferred != nullptr) *transferred = done;
    note(b, "bulk-%s %s ep=%02X len=%d done=%d -> %d", in ? "in" : "out", name_of(h), endpoint,
         length, done, rc);
    return rc;
}

FAKE_API int libusb_interrupt_transfer(libusb_device_handle* dev_handle, unsigned char endpoint,
                                       unsigned char*, int length, int* transferred,
                                       unsigned int timeout) {
    auto lock = enter();
    Bus& b = bus();
    libusb_device_handle* h = known(b, dev_handle, "libusb_interrupt_transfer");
    if (h == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    if (transferred != nullptr) *transferred = 0;
    int rc =
        transfer_check(b, h, endpoint, LIBUSB_TRANSFER_TYPE_INTERRUPT, "libusb_interrupt_transfer");
    if (rc == 0) {
        // The printer never reports anything on its interrupt endpoint.
        wait_until(lock, timeout, [&] { return !alive(h->device); });
        rc = alive(h->device) ? LIBUSB_ERROR_TIMEOUT : LIBUSB_ERROR_NO_DEVICE;
    }
    note(b, "interrupt %s ep=%02X len=%d -> %d", name_of(h), endpoint, length, rc);
    return rc;
}

FAKE_API int libusb_control_transfer(libusb_device_handle* dev_handle, uint8_t request_type,
                                     uint8_t bRequest, uint16_t wValue, uint16_t wIndex,
                                     unsigned char* data, uint16_t wLength, unsigned int timeout) {
    auto lock = enter();
    Bus& b = bus();
    libusb_device_handle* h = known(b, dev_handle, "libusb_control_transfer");
    if (h == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    Device& d = *h->device->dev;
    const auto gone = [&] { return !alive(h->device); };
    int rc = 0;
    std::optional<std::string> answer;
    if (gone()) {
        rc = LIBUSB_ERROR_NO_DEVICE;
    } else if (wLength > 0 && data == nullptr) {
        rc = LIBUSB_ERROR_INVALID_PARAM;
    } else if (request_type != 0xC1 || !(answer = status_answer(d, bRequest, wValue))) {
        rc = LIBUSB_ERROR_PIPE;  // the printer stalls requests it does not know
    } else if (d.desc.timeout_ctrl || answer->empty()) {
        // No answer (offline printer, or a request it ignores): time-out.
        wait_until(lock, timeout, gone);
        rc = gone() ? LIBUSB_ERROR_NO_DEVICE : LIBUSB_ERROR_TIMEOUT;
    } else {
        std::size_t n = std::min<std::size_t>(answer->size(), wLength);
        if (d.desc.status_limit >= 0) n = std::min<std::size_t>(n, d.desc.status_limit);
        if (n > 0) std::memcpy(data, answer->data(), n);
        rc = static_cast<int>(n);
    }
    note(b, "control %s %s -> %d", d.desc.name.c_str(),
         hex_setup(request_type, bRequest, wValue, wIndex, wLength).c_str(), rc);
    return rc;
}

FAKE_API int libusb_get_string_descriptor_ascii(libusb_device_handle* dev_handle,
                                                uint8_t desc_index, unsigned char* data,
                                                int length) {
    auto lock = enter();
    Bus& b = bus();
    libusb_device_handle* h = known(b, dev_handle, "libusb_get_string_descriptor_ascii");
    if (h == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    const Device& d = *h->device->dev;
    std::optional<std::string> s;
    if (desc_index == kStrManufacturer) s = "KVRS";
    if (desc_index == kStrProduct) s = d.paper().model_name();
    if (desc_index == kStrSerial) s = d.desc.serial;
    int rc = 0;
    if (!alive(h->device))
        rc = LIBUSB_ERROR_NO_DEVICE;
    else if (!s || data == nullptr || length <= 0)
        rc = s ? LIBUSB_ERROR_INVALID_PARAM : LIBUSB_ERROR_PIPE;
    else {
        // Like libusb: at most length - 1 characters, NUL-terminated.
        rc = static_cast<int>(
            std::min<std::size_t>(s->size(), static_cast<std::size_t>(length - 1)));
        std::memcpy(data, s->data(), static_cast<std::size_t>(rc));
        data[rc] = 0;
    }
    note(b, "string %s index=%d -> %d", name_of(h), desc_index, rc);
    return rc;
}

// ---- Control of the fake ----------------------------------------------------------

FAKE_API int fakeusb_configure(const char* text, char* err, size_t errsize) {
    auto lock = enter();
    Bus& b = bus();
    Parsed p;
    std::string why;
    if (!parse_config(text != nullptr ? text : "", &p, &why)) {
        copy_out(why, err, errsize);
        note(b, "config-error %s", why.c_str());
        return -1;
    }
    apply(b, std::move(p));
    return 0;
}

FAKE_API void fakeusb_reset(void) {
    auto lock = enter();
    Bus& b = bus();
    for (auto* h : b.handles) finish_job(b, h);
    for (auto& d : b.devices) d->present = false;
    b.devices.clear();
    b.journal.clear();
    b.output.clear();
    b.journal_file.clear();
    b.cv.notify_all();
}

FAKE_API size_t fakeusb_journal(char* buf, size_t size) {
    auto lock = enter();
    copy_out(bus().journal, buf, size);
    return bus().journal.size();
}

FAKE_API void fakeusb_clear_journal(void) {
    auto lock = enter();
    bus().journal.clear();
}

FAKE_API size_t fakeusb_received(const char* name, char* buf, size_t size) {
    auto lock = enter();
    for (const auto& d : bus().devices)
        if (name != nullptr && d->desc.name == name) {
            copy_out(d->received, buf, size);
            return d->received.size();
        }
    copy_out("", buf, size);
    return 0;
}

FAKE_API int fakeusb_context_refs(void) {
    auto lock = enter();
    return bus().default_ctx.refs;
}

FAKE_API int fakeusb_open_handles(void) {
    auto lock = enter();
    return static_cast<int>(bus().handles.size());
}

FAKE_API int fakeusb_active(void) {
    // The libusb_init that the process resolves must live in this library.
    Dl_info mine{}, theirs{};
    void* used = ::dlsym(RTLD_DEFAULT, "libusb_init");
    return used != nullptr && ::dladdr(reinterpret_cast<void*>(&fakeusb_active), &mine) != 0 &&
           ::dladdr(used, &theirs) != 0 && mine.dli_fbase == theirs.dli_fbase;
}
