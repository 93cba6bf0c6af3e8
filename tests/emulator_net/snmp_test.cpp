// The emulator's SNMP agent, fed the exact requests the drivers send and
// what a general SNMP client sends.  The drivers read the answer at fixed
// offsets (value tag at 38, contents at 40), so the layout is pinned here.
#include "snmp.h"

#include <gtest/gtest.h>

#include "net_helpers.h"

namespace kvrs::emu::snmp {
namespace {

using test::Bytes;
using test::driver_request;
using test::hexdump;

AgentConfig agent() {
    return {"KVRS-M2A Receipt Printer", *parse_oid("1.3.6.1.4.1.64101.1.2")};
}

Bytes slice(const Bytes& b, std::size_t from, std::size_t to) {
    return Bytes(b.begin() + std::ptrdiff_t(from),
                 b.begin() + std::ptrdiff_t(std::min(to, b.size())));
}

// The drivers' own decoding of a sysObjectID answer: "1.3" and then the
// base-128 sub-identifiers from offset 41 on.
std::string driver_decode_oid(const Bytes& a) {
    std::string s = "1.3";
    std::uint64_t v = 0;
    for (std::size_t i = 41; i < a.size(); ++i) {
        v = v * 128 + (a[i] & 0x7F);
        if (!(a[i] & 0x80)) s += "." + std::to_string(v), v = 0;
    }
    return s;
}

TEST(SnmpAgent, DriverTemplatesGetTheirValueAtOffsets38And40) {
    const Bytes oid_req = driver_request(0x02);
    auto a = answer(oid_req, agent());
    ASSERT_TRUE(a) << hexdump(oid_req);
    SCOPED_TRACE(hexdump(*a));
    // Same envelope as the request, response PDU, echoed id and community,
    // error status and index 0, the request's name.
    EXPECT_EQ(slice(*a, 0, 2), (Bytes{0x30, static_cast<std::uint8_t>(a->size() - 2)}));
    EXPECT_EQ(slice(*a, 2, 13), slice(oid_req, 2, 13));
    EXPECT_EQ((*a)[13], 0xA2);
    EXPECT_EQ(slice(*a, 15, 24), slice(oid_req, 15, 24));
    EXPECT_EQ(slice(*a, 28, 38), slice(oid_req, 28, 38));
    EXPECT_EQ(slice(*a, 38, 41), (Bytes{0x06, static_cast<std::uint8_t>(a->size() - 40), 0x2B}));
    EXPECT_EQ(driver_decode_oid(*a), "1.3.6.1.4.1.64101.1.2");
    EXPECT_LE(a->size(), 64u);  // the probe reads at most 64 bytes

    auto d = answer(driver_request(0x01), agent());
    ASSERT_TRUE(d);
    EXPECT_EQ(slice(*d, 38, 40), (Bytes{0x04, 24})) << hexdump(*d);
    EXPECT_EQ(std::string(d->begin() + 40, d->end()), "KVRS-M2A Receipt Printer");

    // snmpget's form: request-id 0x12345678, community "public".  A
    // description of 120 characters needs long-form lengths, still valid.
    const Bytes req = {0x30, 0x29, 0x02, 0x01, 0x00, 0x04, 0x06, 'p',  'u',  'b',  'l',
                       'i',  'c',  0xA0, 0x1C, 0x02, 0x04, 0x12, 0x34, 0x56, 0x78, 0x02,
                       0x01, 0x00, 0x02, 0x01, 0x00, 0x30, 0x0E, 0x30, 0x0C, 0x06, 0x08,
                       0x2B, 0x06, 0x01, 0x02, 0x01, 0x01, 0x01, 0x00, 0x05, 0x00};
    AgentConfig big = agent();
    big.sys_descr = std::string(120, 'K');
    auto l = answer(req, big);
    ASSERT_TRUE(l);
    EXPECT_EQ(slice(*l, 0, 3), (Bytes{0x30, 0x81, static_cast<std::uint8_t>(l->size() - 3)}));
    EXPECT_EQ(slice(*l, 6, 14), slice(req, 5, 13)) << hexdump(*l);
    EXPECT_EQ(slice(*l, 17, 23), slice(req, 15, 21)) << hexdump(*l);
}

TEST(SnmpAgent, UnknownObjectsAndOtherPdus) {
    // v1 GetRequest for sysUpTime.0: noSuchName, index 1, bindings echoed.
    const Bytes req = driver_request(0x03);
    auto a = answer(req, agent());
    ASSERT_TRUE(a);
    EXPECT_EQ((*a)[13], 0xA2);
    EXPECT_EQ(slice(*a, 18, 24), (Bytes{0x02, 0x01, 0x02, 0x02, 0x01, 0x01})) << hexdump(*a);
    EXPECT_EQ(slice(*a, 24, a->size()), slice(req, 24, req.size()));

    // v2c: the binding carries noSuchObject instead.
    Bytes v2 = req;
    v2[4] = 0x01;
    auto b = answer(v2, agent());
    ASSERT_TRUE(b);
    EXPECT_EQ((*b)[20], 0x00);
    EXPECT_EQ((*b)[38], 0x80);

    // GetNext from sysDescr.0 gives sysObjectID.0; past it: noSuchName.
    Bytes next = driver_request(0x01);
    next[13] = 0xA1;
    auto n = answer(next, agent());
    ASSERT_TRUE(n);
    EXPECT_EQ(slice(*n, 36, 39), (Bytes{0x02, 0x00, 0x06}));
    next[36] = 0x02;
    auto end = answer(next, agent());
    ASSERT_TRUE(end);
    EXPECT_EQ((*end)[20], 0x02);

    // SetRequest, other versions, cut-off requests and trailing bytes are
    // not answered.
    for (const auto& [at, value] : {std::pair{13, 0xA3}, {4, 0x03}}) {
        Bytes bad = req;
        bad[static_cast<std::size_t>(at)] = static_cast<std::uint8_t>(value);
        EXPECT_FALSE(answer(bad, agent())) << hexdump(bad);
    }
    for (std::size_t n = 0; n < req.size(); ++n)
        EXPECT_FALSE(answer(std::span(req.data(), n), agent())) << "first " << n << " bytes";
    EXPECT_FALSE(answer(test::cat({req, {0}}), agent()));
}

TEST(SnmpAgent, OidsEncodeLikeBer) {
    // A sub-identifier of 300 takes two bytes, 0x82 0x2C.
    EXPECT_EQ(encode_oid(*parse_oid("1.3.6.1.2.1.25.300")),
              (Bytes{0x2B, 0x06, 0x01, 0x02, 0x01, 0x19, 0x82, 0x2C}));
    for (const char* text : {"1.3.6.1.4.1.64101.1.2", "0.0", "2.999.1", "1.3.4294967295"}) {
        auto oid = parse_oid(text);
        ASSERT_TRUE(oid) << text;
        auto back = decode_oid(encode_oid(*oid));
        ASSERT_TRUE(back) << text;
        EXPECT_EQ(format_oid(*back), text);
    }
    for (const char* bad :
         {"", "1", "1.", ".1.3", "1..3", "3.1", "1.40", "1.3.x", "1.3.99999999999"})
        EXPECT_FALSE(parse_oid(bad)) << bad;
    EXPECT_FALSE(decode_oid(Bytes{0x2B, 0x86}));        // sub-identifier cut off
    EXPECT_FALSE(decode_oid(Bytes{0x2B, 0x80, 0x01}));  // non-minimal
}

}  // namespace
}  // namespace kvrs::emu::snmp
