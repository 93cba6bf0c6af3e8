// Paper geometry, printer conditions and the status reply they produce.
#include "kvrs_emulator.h"

namespace kvrs::emu {

int Paper::width_dots() const {
    const bool narrow = roll_mm == 58;
    if (model == Model::M1A) return narrow ? 360 : 512;
    return narrow ? 400 : 576;
}

std::string Paper::model_name() const {
    return model == Model::M1A ? "KVRS-M1A" : "KVRS-M2A";
}

// Where each condition shows in the 6-byte reply: the byte and the mask the
// filter tests.  Offline has no bit: it silences the printer instead.
namespace {
struct ConditionBits {
    std::string_view name;
    bool Conditions::*flag;
    int byte;
    std::uint8_t mask;
};
constexpr ConditionBits kConditionBits[] = {
    {"cover-open", &Conditions::cover_open, 1, 0x04},
    {"other-error", &Conditions::other_error, 1, 0x20},
    {"cutter-error", &Conditions::cutter_error, 2, 0x08},
    {"unrecoverable-error", &Conditions::unrecoverable_error, 2, 0x20},
    {"recoverable-error", &Conditions::recoverable_error, 2, 0x40},
    {"paper-near-end", &Conditions::paper_near_end, 3, 0x0C},
    {"paper-end", &Conditions::paper_end, 3, 0x60},
    {"other-error-2", &Conditions::other_error_2, 5, 0x04},
    {"offline", &Conditions::offline, -1, 0},
};
}  // namespace

std::array<std::uint8_t, 6> status_reply(const Conditions& c) {
    std::array<std::uint8_t, 6> r{};
    for (const auto& b : kConditionBits)
        if (b.byte >= 0 && c.*b.flag) r[static_cast<std::size_t>(b.byte)] |= b.mask;
    return r;
}

const std::vector<std::string_view>& condition_names() {
    static const std::vector<std::string_view> names = [] {
        std::vector<std::string_view> v;
        for (const auto& b : kConditionBits) v.push_back(b.name);
        return v;
    }();
    return names;
}

bool set_condition(Conditions& c, std::string_view name, bool on) {
    for (const auto& b : kConditionBits)
        if (b.name == name) {
            c.*b.flag = on;
            return true;
        }
    return false;
}

std::string describe(const Conditions& c) {
    std::string out;
    for (const auto& b : kConditionBits)
        if (c.*b.flag) {
            if (!out.empty()) out += ',';
            out += b.name;
        }
    return out.empty() ? "ready" : out;
}

}  // namespace kvrs::emu
