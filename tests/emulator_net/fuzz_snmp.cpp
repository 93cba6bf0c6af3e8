// The SNMP agent decodes whatever arrives on its UDP port: arbitrary bytes
// must never crash it, and whatever it answers must be a well-formed message.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "snmp.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const kvrs::emu::snmp::AgentConfig agent{"KVRS-M2A Receipt Printer",
                                                    {1, 3, 6, 1, 4, 1, 64101, 1, 2}};
    auto a = kvrs::emu::snmp::answer(std::span(data, size), agent);
    if (a && (a->size() < 2 || (*a)[0] != 0x30)) {
        std::abort();
    }
    return 0;
}
