// The emulator's SNMP agent, fed the exact requests the drivers send and
// what a general SNMP client sends.  The drivers read the answer at fixed
// offsets (value tag at 38, contents at 40), so the layout is pinned here.
#include "snmp.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>
#include <vector>

namespace kvrs::emu::snmp {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The drivers' 40-byte GetRequest, community "zelmix", request-id 3.
Bytes driver_request(std::uint8_t last_arc_before_zero) {
    return {0x30,
            0x26,
            0x02,
            0x01,
            0x00,
            0x04,
            0x06,
            'z',
            'e',
            'l',
            'm',
            'i',
            'x',
            0xA0,
            0x19,
            0x02,
            0x01,
            0x03,
            0x02,
            0x01,
            0x00,
            0x02,
            0x01,
            0x00,
            0x30,
            0x0E,
            0x30,
            0x0C,
            0x06,
            0x08,
            0x2B,
            0x06,
            0x01,
            0x02,
            0x01,
            0x01,
            last_arc_before_zero,
            0x00,
            0x05,
            0x00};
}

std::string hex(const Bytes& b) {
    std::string s;
    char x[4];
    for (auto v : b) {
        std::snprintf(x, sizeof x, "%02X ", v);
        s += x;
    }
    return s;
}

AgentConfig agent() {
    return {"KVRS-M2A Receipt Printer", *parse_oid("1.3.6.1.4.1.64101.1.2")};
}

// The drivers' own decoding of a sysObjectID answer: "1.3" and then the
// base-128 sub-identifiers from offset 41 on.
std::string driver_decode_oid(const Bytes& a) {
    std::string s = "1.3";
    std::uint64_t v = 0;
    for (std::size_t i = 41; i < a.size(); ++i) {
        v = v * 128 + (a[i] & 0x7F);
        if (!(a[i] & 0x80)) {
            s += "." + std::to_string(v);
            v = 0;
        }
    }
    return s;
}

TEST(SnmpAgent, DriverTemplatesGetTheirValueAtOffsets38And40) {
    const Bytes oid_req = driver_request(0x02);
    auto a = answer(oid_req, agent());
    ASSERT_TRUE(a) << hex(oid_req);
    SCOPED_TRACE(hex(*a));
    // Same envelope as the request, response PDU, echoed id and community.
    EXPECT_EQ((*a)[0], 0x30);
    EXPECT_EQ((*a)[1], a->size() - 2);
    EXPECT_EQ(Bytes(a->begin() + 2, a->begin() + 13),
              Bytes(oid_req.begin() + 2, oid_req.begin() + 13));
    EXPECT_EQ((*a)[13], 0xA2);
    EXPECT_EQ(Bytes(a->begin() + 15, a->begin() + 24),
              (Bytes{0x02, 0x01, 0x03, 0x02, 0x01, 0x00, 0x02, 0x01, 0x00}));
    EXPECT_EQ(Bytes(a->begin() + 28, a->begin() + 38),
              Bytes(oid_req.begin() + 28, oid_req.begin() + 38));
    EXPECT_EQ((*a)[38], 0x06);
    EXPECT_EQ((*a)[39], a->size() - 40);
    EXPECT_EQ((*a)[40], 0x2B);
    EXPECT_EQ(driver_decode_oid(*a), "1.3.6.1.4.1.64101.1.2");
    EXPECT_LE(a->size(), 64u);  // the probe reads at most 64 bytes

    auto d = answer(driver_request(0x01), agent());
    ASSERT_TRUE(d);
    SCOPED_TRACE(hex(*d));
    EXPECT_EQ((*d)[38], 0x04);
    EXPECT_EQ((*d)[39], 24);
    EXPECT_EQ(std::string(d->begin() + 40, d->end()), "KVRS-M2A Receipt Printer");
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
         {"", "1", "1.", ".1.3", "1..3", "3.1", "1.40", "1.3.x", "1.3.99999999999"}) {
        EXPECT_FALSE(parse_oid(bad)) << bad;
    }
    EXPECT_FALSE(decode_oid(Bytes{0x2B, 0x86}));        // sub-identifier cut off
    EXPECT_FALSE(decode_oid(Bytes{0x2B, 0x80, 0x01}));  // non-minimal
}

TEST(SnmpAgent, UnknownObjectsAndOtherPdus) {
    // v1 GetRequest for sysUpTime.0: noSuchName, index 1, bindings echoed.
    Bytes req = driver_request(0x03);
    auto a = answer(req, agent());
    ASSERT_TRUE(a);
    SCOPED_TRACE(hex(*a));
    EXPECT_EQ((*a)[13], 0xA2);
    EXPECT_EQ(Bytes(a->begin() + 18, a->begin() + 24), (Bytes{0x02, 0x01, 0x02, 0x02, 0x01, 0x01}));
    EXPECT_EQ(Bytes(a->begin() + 24, a->end()), Bytes(req.begin() + 24, req.end()));

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
    EXPECT_EQ((*n)[36], 0x02);
    EXPECT_EQ((*n)[38], 0x06);
    next[36] = 0x02;
    auto end = answer(next, agent());
    ASSERT_TRUE(end);
    EXPECT_EQ((*end)[20], 0x02);

    // SetRequest, traps and other versions are not answered.
    Bytes set = req;
    set[13] = 0xA3;
    EXPECT_FALSE(answer(set, agent()));
    Bytes v3 = req;
    v3[4] = 0x03;
    EXPECT_FALSE(answer(v3, agent()));
}

TEST(SnmpAgent, EchoesLongIdsAndCommunities) {
    // request-id 0x12345678 and community "public", as snmpget sends them.
    Bytes req = {0x30, 0x29, 0x02, 0x01, 0x00, 0x04, 0x06, 'p',  'u',  'b',  'l',
                 'i',  'c',  0xA0, 0x1C, 0x02, 0x04, 0x12, 0x34, 0x56, 0x78, 0x02,
                 0x01, 0x00, 0x02, 0x01, 0x00, 0x30, 0x0E, 0x30, 0x0C, 0x06, 0x08,
                 0x2B, 0x06, 0x01, 0x02, 0x01, 0x01, 0x01, 0x00, 0x05, 0x00};
    auto a = answer(req, agent());
    ASSERT_TRUE(a);
    SCOPED_TRACE(hex(*a));
    EXPECT_EQ(Bytes(a->begin() + 5, a->begin() + 13), Bytes(req.begin() + 5, req.begin() + 13));
    EXPECT_EQ(Bytes(a->begin() + 15, a->begin() + 21), Bytes(req.begin() + 15, req.begin() + 21));

    // A description of 120 characters needs long-form lengths, still valid.
    AgentConfig big = agent();
    big.sys_descr = std::string(120, 'K');
    auto l = answer(driver_request(0x01), big);
    ASSERT_TRUE(l);
    EXPECT_EQ((*l)[1], 0x81);
    EXPECT_EQ((*l)[2], l->size() - 3);
}

TEST(SnmpAgent, TruncatedAndDamagedRequestsAreIgnored) {
    const Bytes req = driver_request(0x02);
    for (std::size_t n = 0; n < req.size(); ++n) {
        EXPECT_FALSE(answer(std::span(req.data(), n), agent())) << "first " << n << " bytes";
    }
    // Every single byte flipped: never a crash; answers only to requests
    // that still decode.
    for (std::size_t i = 0; i < req.size(); ++i) {
        for (std::uint8_t v : {0x00, 0x7F, 0x80, 0x81, 0xFF}) {
            Bytes b = req;
            b[i] = v;
            auto a = answer(b, agent());
            if (a) {
                EXPECT_EQ((*a)[0], 0x30);
            }
        }
    }
    Bytes trailing = req;
    trailing.push_back(0);
    EXPECT_FALSE(answer(trailing, agent()));
}

}  // namespace
}  // namespace kvrs::emu::snmp
