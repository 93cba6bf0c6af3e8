// snmp.cpp - BER codec and request handling of the emulator's SNMP agent.
#include "snmp.h"

#include <algorithm>
#include <charconv>

namespace kvrs::emu::snmp {

namespace {

constexpr std::uint8_t kInteger = 0x02;
constexpr std::uint8_t kOctetString = 0x04;
constexpr std::uint8_t kNull = 0x05;
constexpr std::uint8_t kObjectId = 0x06;
constexpr std::uint8_t kSequence = 0x30;
constexpr std::uint8_t kGetRequest = 0xA0;
constexpr std::uint8_t kGetNextRequest = 0xA1;
constexpr std::uint8_t kGetResponse = 0xA2;
// SNMPv2c exceptions carried in a VarBind's value.
constexpr std::uint8_t kNoSuchObject = 0x80;
constexpr std::uint8_t kEndOfMibView = 0x82;
// SNMPv1 error-status noSuchName.
constexpr std::uint8_t kNoSuchName = 2;

const Oid kSysDescr = {1, 3, 6, 1, 2, 1, 1, 1, 0};
const Oid kSysObjectId = {1, 3, 6, 1, 2, 1, 1, 2, 0};

// One decoded TLV: its tag, its contents and the whole encoding.
struct Tlv {
    std::uint8_t tag = 0;
    std::span<const std::uint8_t> contents;
    std::span<const std::uint8_t> whole;
};

// Reads consecutive TLVs from a span.  Only single-byte tags occur in SNMP.
class Reader {
  public:
    explicit Reader(std::span<const std::uint8_t> data) : data_(data) {}
    bool at_end() const { return pos_ == data_.size(); }

    std::optional<Tlv> next() {
        std::size_t start = pos_;
        if (data_.size() - pos_ < 2) {
            return std::nullopt;
        }
        std::uint8_t tag = data_[pos_++];
        if ((tag & 0x1F) == 0x1F) {
            return std::nullopt;  // multi-byte tags are not SNMP
        }
        std::size_t len = data_[pos_++];
        if (len & 0x80) {
            std::size_t count = len & 0x7F;
            if (count == 0 || count > 3 || data_.size() - pos_ < count) {
                return std::nullopt;  // indefinite or absurd lengths
            }
            len = 0;
            for (std::size_t i = 0; i < count; ++i) {
                len = (len << 8) | data_[pos_++];
            }
        }
        if (data_.size() - pos_ < len) {
            return std::nullopt;
        }
        Tlv t;
        t.tag = tag;
        t.contents = data_.subspan(pos_, len);
        pos_ += len;
        t.whole = data_.subspan(start, pos_ - start);
        return t;
    }

    std::optional<Tlv> expect(std::uint8_t tag) {
        auto t = next();
        if (!t || t->tag != tag) {
            return std::nullopt;
        }
        return t;
    }

  private:
    std::span<const std::uint8_t> data_;
    std::size_t pos_ = 0;
};

std::optional<long long> small_integer(std::span<const std::uint8_t> c) {
    if (c.empty() || c.size() > 4) {
        return std::nullopt;
    }
    long long v = (c[0] & 0x80) ? -1 : 0;
    for (auto b : c) {
        v = v * 256 + b;
    }
    return v;
}

// Appends a TLV with the shortest length form: one byte below 128.
void put_tlv(std::vector<std::uint8_t>& out, std::uint8_t tag,
             std::span<const std::uint8_t> contents) {
    out.push_back(tag);
    std::size_t n = contents.size();
    if (n < 0x80) {
        out.push_back(static_cast<std::uint8_t>(n));
    } else if (n <= 0xFF) {
        out.push_back(0x81);
        out.push_back(static_cast<std::uint8_t>(n));
    } else {
        out.push_back(0x82);
        out.push_back(static_cast<std::uint8_t>(n >> 8));
        out.push_back(static_cast<std::uint8_t>(n));
    }
    out.insert(out.end(), contents.begin(), contents.end());
}

void put_raw(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
}

struct Binding {
    Oid oid;
    std::span<const std::uint8_t> oid_contents;  // as received
};

}  // namespace

std::optional<Oid> parse_oid(std::string_view text) {
    Oid oid;
    while (!text.empty()) {
        auto dot = text.find('.');
        std::string_view part = text.substr(0, dot);
        std::uint32_t v = 0;
        auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), v);
        if (part.empty() || ec != std::errc() || end != part.data() + part.size()) {
            return std::nullopt;
        }
        oid.push_back(v);
        if (dot == std::string_view::npos) {
            break;
        }
        text.remove_prefix(dot + 1);
        if (text.empty()) {
            return std::nullopt;  // trailing dot
        }
    }
    if (oid.size() < 2 || oid[0] > 2 || (oid[0] < 2 && oid[1] > 39)) {
        return std::nullopt;
    }
    return oid;
}

std::string format_oid(const Oid& oid) {
    std::string s;
    for (std::size_t i = 0; i < oid.size(); ++i) {
        if (i) {
            s += '.';
        }
        s += std::to_string(oid[i]);
    }
    return s;
}

std::vector<std::uint8_t> encode_oid(const Oid& oid) {
    std::vector<std::uint8_t> out;
    if (oid.size() < 2) {
        return out;
    }
    auto put_arc = [&out](std::uint64_t v) {
        std::uint8_t tmp[10];
        int n = 0;
        do {
            tmp[n++] = static_cast<std::uint8_t>(v & 0x7F);
            v >>= 7;
        } while (v);
        while (n > 1) {
            out.push_back(tmp[--n] | 0x80);
        }
        out.push_back(tmp[0]);
    };
    put_arc(std::uint64_t{oid[0]} * 40 + oid[1]);
    for (std::size_t i = 2; i < oid.size(); ++i) {
        put_arc(oid[i]);
    }
    return out;
}

std::optional<Oid> decode_oid(std::span<const std::uint8_t> contents) {
    Oid oid;
    std::uint64_t v = 0;
    bool first = true;
    bool open = false;
    for (auto b : contents) {
        if (!open && b == 0x80) {
            return std::nullopt;  // non-minimal encoding
        }
        v = (v << 7) | (b & 0x7F);
        if (v > 0xFFFFFFFFull + 80) {
            return std::nullopt;
        }
        open = (b & 0x80) != 0;
        if (open) {
            continue;
        }
        if (first) {
            std::uint32_t a = v < 40 ? 0 : v < 80 ? 1 : 2;
            oid.push_back(a);
            oid.push_back(static_cast<std::uint32_t>(v - 40ull * a));
            first = false;
        } else {
            if (v > 0xFFFFFFFFull) {
                return std::nullopt;
            }
            oid.push_back(static_cast<std::uint32_t>(v));
        }
        v = 0;
    }
    if (open || first) {
        return std::nullopt;
    }
    return oid;
}

std::optional<std::vector<std::uint8_t>> answer(std::span<const std::uint8_t> request,
                                                const AgentConfig& agent) {
    // Message: SEQUENCE { version, community, PDU }.
    Reader top(request);
    auto msg = top.expect(kSequence);
    if (!msg || !top.at_end()) {
        return std::nullopt;
    }
    Reader m(msg->contents);
    auto version_tlv = m.expect(kInteger);
    auto community = m.expect(kOctetString);
    auto pdu = m.next();
    if (!version_tlv || !community || !pdu || !m.at_end()) {
        return std::nullopt;
    }
    auto version = small_integer(version_tlv->contents);
    if (!version || (*version != 0 && *version != 1)) {
        return std::nullopt;  // SNMPv1 and v2c only
    }
    const bool v1 = *version == 0;
    if (pdu->tag != kGetRequest && pdu->tag != kGetNextRequest) {
        return std::nullopt;
    }
    const bool next = pdu->tag == kGetNextRequest;

    // PDU: request-id, error-status, error-index, variable-bindings.
    Reader p(pdu->contents);
    auto request_id = p.expect(kInteger);
    auto err_status = p.expect(kInteger);
    auto err_index = p.expect(kInteger);
    auto bindings_tlv = p.expect(kSequence);
    if (!request_id || !err_status || !err_index || !bindings_tlv || !p.at_end() ||
        request_id->contents.empty() || request_id->contents.size() > 4) {
        return std::nullopt;
    }
    std::vector<Binding> bindings;
    Reader b(bindings_tlv->contents);
    while (!b.at_end()) {
        auto vb = b.expect(kSequence);
        if (!vb) {
            return std::nullopt;
        }
        Reader v(vb->contents);
        auto name = v.expect(kObjectId);
        auto value = v.next();
        if (!name || !value || !v.at_end()) {
            return std::nullopt;
        }
        auto oid = decode_oid(name->contents);
        if (!oid) {
            return std::nullopt;
        }
        bindings.push_back({*oid, name->contents});
        if (bindings.size() > 32) {
            return std::nullopt;
        }
    }

    // The two objects this agent knows, in lexicographic order.
    const std::vector<std::uint8_t> descr(agent.sys_descr.begin(), agent.sys_descr.end());
    const std::vector<std::uint8_t> object_id = encode_oid(agent.sys_object_id);
    struct Object {
        const Oid* oid;
        std::uint8_t tag;
        const std::vector<std::uint8_t>* value;
    };
    const Object objects[] = {{&kSysDescr, kOctetString, &descr},
                              {&kSysObjectId, kObjectId, &object_id}};

    std::uint8_t error_status = 0;
    std::uint8_t error_index = 0;
    std::vector<std::uint8_t> varbinds;
    for (std::size_t i = 0; i < bindings.size(); ++i) {
        const Object* found = nullptr;
        for (const auto& o : objects) {
            if (next ? std::lexicographical_compare(bindings[i].oid.begin(), bindings[i].oid.end(),
                                                    o.oid->begin(), o.oid->end())
                     : bindings[i].oid == *o.oid) {
                found = &o;
                break;
            }
        }
        std::vector<std::uint8_t> vb;
        if (found) {
            std::vector<std::uint8_t> name =
                next ? encode_oid(*found->oid)
                     : std::vector<std::uint8_t>(bindings[i].oid_contents.begin(),
                                                 bindings[i].oid_contents.end());
            put_tlv(vb, kObjectId, name);
            put_tlv(vb, found->tag, *found->value);
        } else {
            put_tlv(vb, kObjectId, bindings[i].oid_contents);
            if (v1) {
                if (error_status == 0) {
                    error_status = kNoSuchName;
                    error_index = static_cast<std::uint8_t>(i + 1);
                }
                put_tlv(vb, kNull, {});
            } else {
                put_tlv(vb, next ? kEndOfMibView : kNoSuchObject, {});
            }
        }
        put_tlv(varbinds, kSequence, vb);
    }
    if (error_status != 0) {
        // An SNMPv1 error answer carries the request's bindings unchanged.
        varbinds.assign(bindings_tlv->contents.begin(), bindings_tlv->contents.end());
    }

    std::vector<std::uint8_t> pdu_out;
    put_raw(pdu_out, request_id->whole);
    const std::uint8_t es[] = {error_status};
    const std::uint8_t ei[] = {error_index};
    put_tlv(pdu_out, kInteger, es);
    put_tlv(pdu_out, kInteger, ei);
    put_tlv(pdu_out, kSequence, varbinds);

    std::vector<std::uint8_t> body;
    put_raw(body, version_tlv->whole);
    put_tlv(body, kOctetString, community->contents);
    put_tlv(body, kGetResponse, pdu_out);

    std::vector<std::uint8_t> out;
    put_tlv(out, kSequence, body);
    return out;
}

}  // namespace kvrs::emu::snmp
