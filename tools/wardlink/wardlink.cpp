// wardlink - a point-of-sale developer's first tool for KVRS printers: list
// USB printers, find network printers, send a file, and ask a printer for
// its real-time status, in direct or service mode.  Built on libwardlink's
// exported interface alone (VEMInterface.h), as an application would be.
#include <VEMInterface.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr char kUsage[] = R"(usage: wardlink [OPTIONS] COMMAND [ARGS]

Talks to KVRS receipt printers through libwardlink.

Commands:
  list-usb                 list the KVRS printers attached by USB (product IDs)
  discover                 find network printers on the local /24 networks (SNMP)
  discover --broadcast     find them by an SNMP broadcast instead
  snmp IP                  ask the printer at IP for its SNMP identity
  send PORT FILE           send the bytes of FILE ("-": standard input) to PORT
  status PORT              ask PORT's printer for its real-time status and
                           print it in words

PORT, with the same parameters the library's open operations take:
  usb:VID:PID[:SERIAL]     e.g. usb:0xF1E0:0x0002 (IDs in hex or decimal)
  serial:DEVICE[:BAUD[:DATABITS:PARITY:STOPBITS:FLOW]]
                           e.g. serial:/dev/ttyS0:38400:8:0:1:0
                           (parity 0 none, 1 odd, 2 even; flow 0 none,
                           1 hardware, 2 software; default 9600:8:0:1:0)
  parallel:DEVICE          e.g. parallel:/dev/parport0
  net:IP[:TCP[:UDP]]       e.g. net:192.168.0.10 (default ports 9100 and 9101)
  file:PATH[:hex]          append to PATH, raw or as hexadecimal text

Options:
  --service                go through the port-sharing daemon wardlinkd
  --single                 direct mode, keeping the device open between locks
  --timeout MS             time-out of the lock and of each transfer (5000)
  --vid ID                 vendor ID for list-usb (default 0xF1E0)
  --port N                 UDP port for the broadcast replies (default: any)
  --log-level N            library log mask: 1 error, 2 warning, 4 debug,
                           8 byte dumps, 16 trace (default 0)
  --log-file PATH          library log file (default: standard output)
  -h, --help               this text

Status: the printer is asked with 10 04 10 (17 01 10 on USB); on a network
printer the command and its answer carry a 4-byte sequence number.  The six
reply bytes are printed in hexadecimal, then each condition that is set:
cover open, paper near end, paper end, cutter error, recoverable error,
unrecoverable error, other error; or "ready" when none stops printing.

Exit status: 0 success, 1 the library reported a failure (its code and
name are printed), 2 bad usage.
)";

struct Options {
    unsigned long mode = SHARE_PORT_LIB;
    unsigned long timeout = 5000;
    int vid = 0xF1E0;
    int port = -1;
    int logLevel = 0;
    const char* logFile = nullptr;
};

const char* code_name(int rc) {
    switch (rc) {
        case VEM_SUCCESS:
            return "VEM_SUCCESS";
        case VEM_INUSED:
            return "VEM_INUSED (port already open)";
        case VEM_NODEVICE:
            return "VEM_NODEVICE (device not found or cannot be opened)";
        case VEM_NOINIT:
            return "VEM_NOINIT (no port, or the daemon cannot be reached)";
        case VEM_ALREADY_LOCK:
            return "VEM_ALREADY_LOCK";
        case VEM_LOCK_TIMEOUT:
            return "VEM_LOCK_TIMEOUT (the port stayed locked by another)";
        case VEM_NOLOCK:
            return "VEM_NOLOCK (port not locked)";
        case VEM_NO_SUPPORT:
            return "VEM_NO_SUPPORT (not supported here)";
        case VEM_ILLEGAL:
            return "VEM_ILLEGAL (invalid argument or internal failure)";
        default:
            return "unknown code";
    }
}

int failed(const char* what, int rc) {
    std::fprintf(stderr, "wardlink: %s failed: %d %s\n", what, rc, code_name(rc));
    return 1;
}

int usage_error(const char* msg, const char* arg = "") {
    std::fprintf(stderr, "wardlink: %s%s\nTry 'wardlink --help'.\n", msg, arg);
    return 2;
}

bool parse_int(const std::string& s, int& out) {
    if (s.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(s.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v < -2147483648L || v > 2147483647L) return false;
    out = static_cast<int>(v);
    return true;
}

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> out;
    std::size_t at = 0;
    for (;;) {
        const std::size_t next = s.find(sep, at);
        out.push_back(s.substr(at, next - at));
        if (next == std::string::npos) return out;
        at = next + 1;
    }
}

// A port given on the command line.
struct Port {
    InterfaceList kind = INTF_NONE;
    std::string name;  // device, address, file or serial number
    int a = 0, b = 0, c = 0, d = 0, e = 0;
};

// Parses PORT; false with a message on stderr.
bool parse_port(const std::string& text, Port& p) {
    const std::size_t colon = text.find(':');
    const std::string scheme = text.substr(0, colon);
    const std::string rest = colon == std::string::npos ? "" : text.substr(colon + 1);
    auto bad = [&] { return usage_error("bad PORT: ", text.c_str()), false; };
    if (rest.empty()) return bad();
    if (scheme == "usb") {
        auto f = split(rest, ':');
        p.kind = INTF_USB;
        if (f.size() < 2 || f.size() > 3 || !parse_int(f[0], p.a) || !parse_int(f[1], p.b))
            return bad();
        if (f.size() == 3) p.name = f[2];
        return true;
    }
    if (scheme == "net") {
        auto f = split(rest, ':');
        p.kind = INTF_ETH, p.name = f[0], p.a = 9100, p.b = 9101;
        if (f.size() > 3 || (f.size() > 1 && !parse_int(f[1], p.a)) ||
            (f.size() > 2 && !parse_int(f[2], p.b)))
            return bad();
        return true;
    }
    if (scheme == "serial") {
        // The device path may itself hold no ':'; settings follow it.
        auto f = split(rest, ':');
        p.kind = INTF_RS232, p.name = f[0];
        int v[5] = {9600, 8, 0, 1, 0};
        if (f.size() != 1 && f.size() != 2 && f.size() != 6) return bad();
        for (std::size_t i = 1; i < f.size(); ++i)
            if (!parse_int(f[i], v[i - 1])) return bad();
        p.a = v[0], p.b = v[1], p.c = v[2], p.d = v[3], p.e = v[4];
        return true;
    }
    if (scheme == "parallel") {
        p.kind = INTF_PARRALLEL, p.name = rest;
        return true;
    }
    if (scheme == "file") {
        p.kind = INTF_FILE, p.name = rest, p.a = 1;
        if (rest.size() > 4 && rest.compare(rest.size() - 4, 4, ":hex") == 0)
            p.name = rest.substr(0, rest.size() - 4), p.a = 0;
        return true;
    }
    return bad();
}

int open_port(const Port& p) {
    switch (p.kind) {
        case INTF_USB:
            return init_usb(p.a, p.b, p.name.empty() ? nullptr : p.name.c_str());
        case INTF_RS232:
            return init_serial(p.name.c_str(), p.a, p.b, p.c, p.d, p.e);
        case INTF_PARRALLEL:
            return init_parallel(p.name.c_str());
        case INTF_ETH:
            return init_network(p.name.c_str(), p.a, p.b);
        default:
            return init_file(p.name.c_str(), p.a);
    }
}

int list_usb(const Options& o) {
    int pids[64];
    unsigned int count = 0;
    const int rc = scan_usb_printer(o.vid, pids, 64, &count);
    if (rc != VEM_SUCCESS) return failed("scan_usb_printer", rc);
    std::printf("%u USB printer(s) of vendor 0x%04X\n", count, static_cast<unsigned>(o.vid));
    for (unsigned int i = 0; i < count && i < 64; ++i)
        std::printf("  usb:0x%04X:0x%04X\n", static_cast<unsigned>(o.vid),
                    static_cast<unsigned>(pids[i]));
    return 0;
}

void print_device(const EthernetDeviceInfo& d) {
    std::printf("  net:%s  %s  (%s)\n", d.strIpAdEntAddr, d.strSysDescr, d.strSysObjectId);
}

int discover(const Options& o, bool broadcast) {
    std::vector<EthernetDeviceInfo> found(256);
    unsigned int count = 0;
    const int rc = broadcast ? brdcst_eth_printer(found.data(), 256, &count, o.port)
                             : scan_eth_printer(found.data(), 256, &count);
    if (rc != VEM_SUCCESS) return failed(broadcast ? "brdcst_eth_printer" : "scan_eth_printer", rc);
    std::printf("%u network printer(s)\n", count);
    for (unsigned int i = 0; i < count && i < found.size(); ++i) print_device(found[i]);
    return 0;
}

int snmp(const char* ip) {
    EthernetDeviceInfo d{};
    const int rc = scan_eth_snmp(ip, &d);
    if (rc != VEM_SUCCESS) return failed("scan_eth_snmp", rc);
    print_device(d);
    return 0;
}

// Opens, locks, runs fn, unlocks and closes; the first failure wins.
template <typename Fn>
int with_port(const Port& p, const Options& o, Fn fn) {
    int rc = open_port(p);
    if (rc != VEM_SUCCESS) return failed("open", rc);
    rc = intf_lock(o.timeout);
    if (rc != VEM_SUCCESS) {
        init_close();
        return failed("intf_lock", rc);
    }
    const int result = fn();
    rc = intf_unlock();
    const int closed = init_close();
    if (result != 0) return result;
    if (rc != VEM_SUCCESS) return failed("intf_unlock", rc);
    if (closed != VEM_SUCCESS) return failed("init_close", closed);
    return 0;
}

int send_file(const Port& p, const Options& o, const char* path) {
    std::FILE* in = std::strcmp(path, "-") == 0 ? stdin : std::fopen(path, "rb");
    if (in == nullptr) {
        std::fprintf(stderr, "wardlink: cannot open %s: %s\n", path, std::strerror(errno));
        return 1;
    }
    std::vector<unsigned char> data;
    unsigned char chunk[65536];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, in)) > 0;)
        data.insert(data.end(), chunk, chunk + n);
    const bool readError = std::ferror(in) != 0;
    if (in != stdin) std::fclose(in);
    if (readError) return std::fprintf(stderr, "wardlink: cannot read %s\n", path), 1;
    if (data.empty()) return std::printf("nothing to send\n"), 0;
    return with_port(p, o, [&] {
        // Blocks of 64 KiB, as the CUPS backend sends them.
        unsigned long total = 0;
        for (std::size_t at = 0; at < data.size(); at += 65536) {
            const int n = static_cast<int>(std::min<std::size_t>(65536, data.size() - at));
            unsigned long sent = 0;
            const int rc = intf_send_data(data.data() + at, n, &sent, o.timeout);
            total += sent;
            if (rc != VEM_SUCCESS) {
                std::fprintf(stderr, "wardlink: %lu of %zu bytes sent\n", total, data.size());
                return failed("intf_send_data", rc);
            }
        }
        std::printf("%lu bytes sent\n", total);
        return 0;
    });
}

// The status reply's conditions: (byte, mask, words, stops printing).
struct Condition {
    int byte;
    unsigned char mask;
    const char* words;
    bool stops;
};
constexpr Condition kConditions[] = {
    {1, 0x04, "cover open", true},   {1, 0x20, "other error", true},
    {2, 0x08, "cutter error", true}, {2, 0x20, "unrecoverable error", true},
    {5, 0x04, "other error", true},  {3, 0x0C, "paper near end", false},
    {3, 0x60, "paper end", true},    {2, 0x40, "recoverable error", true},
};

// Prints the six status bytes in words; returns the number of conditions
// that stop printing.
int describe_status(const unsigned char* s) {
    std::printf("status: %02X %02X %02X %02X %02X %02X\n", s[0], s[1], s[2], s[3], s[4], s[5]);
    int stops = 0;
    bool any = false;
    for (const Condition& c : kConditions) {
        if ((s[c.byte] & c.mask) == 0) continue;
        std::printf("  %s\n", c.words);
        any = true;
        stops += c.stops ? 1 : 0;
    }
    if (stops == 0) std::printf("  ready%s\n", any ? " (with the warning above)" : "");
    return stops;
}

int status(const Port& p, const Options& o) {
    return with_port(p, o, [&] {
        constexpr int kReply = 6;
        unsigned char cmd[7] = {0x10, 0x04, 0x10};
        if (p.kind == INTF_USB) cmd[0] = 0x17, cmd[1] = 0x01;
        int nCmd = 3, nReply = kReply;
        static unsigned int seq = 1;
        if (p.kind == INTF_ETH) {
            // The network printer wants a sequence number in front of the
            // command and answers with the same one in front of its reply.
            const unsigned char body[3] = {cmd[0], cmd[1], cmd[2]};
            for (int i = 0; i < 4; ++i) cmd[i] = static_cast<unsigned char>(seq >> (8 * i));
            std::memcpy(cmd + 4, body, 3);
            nCmd = 7, nReply = kReply + 4;
        }
        unsigned char reply[16] = {};
        unsigned long got = 0;
        const int rc = intf_send_rtc(cmd, nCmd, reply, nReply, &got, o.timeout);
        if (rc != VEM_SUCCESS) return failed("intf_send_rtc", rc);
        const unsigned char* s = reply;
        if (p.kind == INTF_ETH) {
            unsigned int echoed = 0;
            for (int i = 3; i >= 0; --i) echoed = (echoed << 8) | reply[i];
            if (got >= 4 && echoed != seq)
                std::fprintf(stderr, "wardlink: reply to sequence %u, sent %u\n", echoed, seq);
            s += 4, got = got >= 4 ? got - 4 : 0;
        }
        if (got < kReply) {
            std::fprintf(stderr, "wardlink: status reply of %lu bytes, expected %d\n", got, kReply);
            return 1;
        }
        describe_status(s);
        return 0;
    });
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    std::vector<std::string> args;
    bool broadcast = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](int& out) { return i + 1 < argc && parse_int(argv[++i], out); };
        int v = 0;
        if (a == "-h" || a == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--service") {
            o.mode = SHARE_PORT_SVR;
        } else if (a == "--single") {
            o.mode = SINGLE_APP;
        } else if (a == "--broadcast") {
            broadcast = true;
        } else if (a == "--timeout") {
            if (!value(v) || v < 0) return usage_error("bad --timeout");
            o.timeout = static_cast<unsigned long>(v);
        } else if (a == "--vid") {
            if (!value(o.vid)) return usage_error("bad --vid");
        } else if (a == "--port") {
            if (!value(o.port)) return usage_error("bad --port");
        } else if (a == "--log-level") {
            if (!value(o.logLevel)) return usage_error("bad --log-level");
        } else if (a == "--log-file") {
            if (i + 1 >= argc) return usage_error("--log-file needs a path");
            o.logFile = argv[++i];
        } else if (a.size() > 1 && a[0] == '-' && a != "-") {
            return usage_error("unknown option ", a.c_str());
        } else {
            args.push_back(a);
        }
    }
    if (args.empty()) return usage_error("no command");

    // The mode first: it cannot change once a port is open.
    if (int rc = init_intf_type(o.mode); rc != VEM_SUCCESS) return failed("init_intf_type", rc);
    if (o.logFile != nullptr) init_LogFilename(o.logFile);
    init_LogLevel(o.logLevel);

    const std::string& cmd = args[0];
    if (cmd == "list-usb" && args.size() == 1) return list_usb(o);
    if (cmd == "discover" && args.size() == 1) return discover(o, broadcast);
    if (cmd == "snmp" && args.size() == 2) return snmp(args[1].c_str());
    Port p;
    if (cmd == "send" && args.size() == 3)
        return parse_port(args[1], p) ? send_file(p, o, args[2].c_str()) : 2;
    if (cmd == "status" && args.size() == 2) return parse_port(args[1], p) ? status(p, o) : 2;
    return usage_error("bad command line: ", cmd.c_str());
}
