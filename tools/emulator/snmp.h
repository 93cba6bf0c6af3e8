// snmp.h - the emulator's SNMP agent: BER decoding of GetRequest and
// GetNextRequest for the two MIB-II objects a printer is asked about, and the
// GetResponse that answers them.
//
// The drivers send hand-built 40-byte SNMPv1 requests and read the answer at
// fixed offsets, assuming it has the same layout as their request:
//
//   offset  bytes                     meaning
//    0      30 LL                     message SEQUENCE
//    2      02 01 00                  version 0 (SNMPv1)
//    5      04 06 "zelmix"            community (echoed)
//   13      A2 LL                     GetResponse-PDU
//   15      02 01 03                  request-id (echoed byte for byte)
//   18      02 01 00                  error-status
//   21      02 01 00                  error-index
//   24      30 LL 30 LL               variable-bindings, one VarBind
//   28      06 08 2B 06 01 02 01 01 0X 00   the OID asked for
//   38      TT LL                     value tag and length
//   40      ...                       value contents
//
// So every length this agent writes uses the one-byte form whenever the value
// fits (below 128), and the request-id is echoed exactly as it was encoded.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kvrs::emu::snmp {

using Oid = std::vector<std::uint32_t>;

struct AgentConfig {
    std::string sys_descr;  // sysDescr.0
    Oid sys_object_id;      // sysObjectID.0
};

// "1.3.6.1.4.1.X" -> arcs; nullopt when malformed (fewer than two arcs, a
// first arc above 2, or a second above 39 under arcs 0 and 1).
std::optional<Oid> parse_oid(std::string_view text);
std::string format_oid(const Oid& oid);

// BER contents of an OBJECT IDENTIFIER and back.
std::vector<std::uint8_t> encode_oid(const Oid& oid);
std::optional<Oid> decode_oid(std::span<const std::uint8_t> contents);

// Answers one request datagram.  nullopt when the datagram is not an
// SNMPv1/v2c GetRequest or GetNextRequest (malformed, another version or
// another PDU): a real agent stays silent then too.
std::optional<std::vector<std::uint8_t>> answer(std::span<const std::uint8_t> request,
                                                const AgentConfig& agent);

}  // namespace kvrs::emu::snmp
