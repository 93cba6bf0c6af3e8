// net_helpers.h - what the emulator program's unit and end-to-end tests share:
// the byte helpers of the core's tests and the drivers' SNMP request.
#pragma once

#include "../emulator_core/streams.h"

namespace kvrs::emu::test {

// The drivers' 40-byte GetRequest, community "zelmix", request-id 3, for
// 1.3.6.1.2.1.1.<arc>.0 (1 sysDescr, 2 sysObjectID).
inline Bytes driver_request(std::uint8_t arc) {
    Bytes b{0x30, 0x26, 0x02, 0x01, 0x00, 0x04, 0x06, 'z',  'e',  'l',  'm',  'i',  'x',  0xA0,
            0x19, 0x02, 0x01, 0x03, 0x02, 0x01, 0x00, 0x02, 0x01, 0x00, 0x30, 0x0E, 0x30, 0x0C,
            0x06, 0x08, 0x2B, 0x06, 0x01, 0x02, 0x01, 0x01, 0x00, 0x00, 0x05, 0x00};
    b[36] = arc;
    return b;
}

}  // namespace kvrs::emu::test
