// Events: typed fields and their JSON form.
#include <charconv>
#include <cstdio>

#include "kvrs_emulator.h"

namespace kvrs::emu {

namespace {

void append_json_string(std::string& out, std::string_view s) {
    out += '"';
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += ch;  // UTF-8 passes through unchanged
                }
        }
    }
    out += '"';
}

// A field marked numeric is written bare only if it really is an integer,
// so json() stays valid whatever a caller put into `fields`.
bool is_integer(std::string_view s) {
    // JSON has no leading zeros ("-0" and "0" are fine).
    const std::string_view digits = s.starts_with('-') ? s.substr(1) : s;
    if (digits.size() > 1 && digits[0] == '0') return false;
    long long v = 0;
    const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    return !s.empty() && ec == std::errc() && p == s.data() + s.size();
}

}  // namespace

std::optional<long long> Event::num(std::string_view key) const {
    for (const auto& [k, v] : fields)
        if (k == key) {
            long long n = 0;
            const auto [p, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
            if (ec != std::errc() || p != v.data() + v.size()) return std::nullopt;
            return n;
        }
    return std::nullopt;
}

std::optional<std::string> Event::str(std::string_view key) const {
    for (const auto& [k, v] : fields)
        if (k == key) return v;
    return std::nullopt;
}

void Event::add(std::string key, std::string value) {
    fields.emplace_back(std::move(key), std::move(value));
}

void Event::add_num(std::string key, long long value) {
    if (fields.size() < 64) numeric_fields |= std::uint64_t{1} << fields.size();
    fields.emplace_back(std::move(key), std::to_string(value));
}

std::string Event::json() const {
    std::string out = "{\"kind\":";
    append_json_string(out, kind);
    out += ",\"offset\":";
    out += std::to_string(offset);
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const auto& [k, v] = fields[i];
        out += ',';
        append_json_string(out, k);
        out += ':';
        const bool numeric = i < 64 && (numeric_fields >> i & 1) != 0;
        if (numeric && is_integer(v))
            out += v;
        else
            append_json_string(out, v);
    }
    out += '}';
    return out;
}

}  // namespace kvrs::emu
