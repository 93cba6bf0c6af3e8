// What the filter relies on in the queue PPDs, read back through libcups the
// way the filter and CUPS's rasterizers read them.  cupstestppd checks the
// syntax; these tests check the contract: the model's short name in the
// NickName, rolls exactly as wide as the model prints, the custom size's
// string parameter, decimal choices within the filter's ranges, and colour
// models that give the raster formats the filter reads.

// libcups marks the PPD interface deprecated; it is what the filter uses.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

#include <cups/ppd.h>
#include <cups/raster.h>
#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>

namespace {

struct PpdCloser {
    void operator()(ppd_file_t* p) const { ppdClose(p); }
};
using Ppd = std::unique_ptr<ppd_file_t, PpdCloser>;

struct Model {
    const char* path;
    const char* shortName;
    const char* otherShortName;
    int dots80;
    int dots58;
    int fontSizeMax;  // the KVRS-M1A cannot print with the second font
};

// Test names and failure messages show the model, not the record's bytes.
void PrintTo(const Model& m, std::ostream* os) { *os << m.shortName; }

const Model kModels[] = {
    {KVRS_PPD_M2A, "KVRSM2A", "KVRSM1A", 576, 400, 1},
    {KVRS_PPD_M1A, "KVRSM1A", "KVRSM2A", 512, 360, 0},
};

// The filter's numeric options: name, largest value, default, and whether
// the PPD offers every value (LogLevel and LogCount offer a subset).
struct NumericOption {
    const char* name;
    int max;
    int def;
    bool every;
};
const NumericOption kOptions[] = {
    {"LogCount", 1000, 0, false},   {"LogLevel", 255, 0, false},
    {"CutSetting", 6, 0, true},     {"CutType", 1, 1, true},
    {"CDPin", 2, 0, true},          {"CDOpen", 1, 1, true},
    {"CDPulse", 9, 3, true},        {"FontSize", 1, 0, true},
    {"PaperConservation", 3, 1, true}, {"BmpFormat", 1, 0, true},
    {"DitherType", 3, 0, true},
};

Ppd open(const Model& m) {
    Ppd p(ppdOpenFile(m.path));
    if (!p) {
        ADD_FAILURE() << "cannot open " << m.path;
    }
    return p;
}

// A whole keyword of decimal digits, as the filter reads choices.
bool decimal(std::string_view s, int* out) {
    if (s.empty()) {
        return false;
    }
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), *out);
    return ec == std::errc() && end == s.data() + s.size();
}

// Rasterizes a header the way CUPS's own raster filters do (the PPD's
// setpagedevice code for the marked choices).
cups_page_header2_t headerFor(ppd_file_t* p, const char* pageSize, const char* colorModel) {
    ppdMarkDefaults(p);
    ppdMarkOption(p, "PageSize", pageSize);
    ppdMarkOption(p, "ColorModel", colorModel);
    cups_page_header2_t h{};
    EXPECT_EQ(0, cupsRasterInterpretPPD(&h, p, 0, nullptr, nullptr))
        << pageSize << " " << colorModel << ": " << cupsRasterErrorString();
    return h;
}

class PpdContents : public ::testing::TestWithParam<Model> {};

TEST_P(PpdContents, NamesTheModelAndTheFilter) {
    const Model& m = GetParam();
    Ppd p = open(m);
    ASSERT_TRUE(p);
    ppd_attr_t* nick = ppdFindAttr(p.get(), "NickName", nullptr);
    ASSERT_NE(nullptr, nick);
    std::string_view nickName(nick->value);
    EXPECT_NE(std::string_view::npos, nickName.find(m.shortName)) << nickName;
    EXPECT_EQ(std::string_view::npos, nickName.find(m.otherShortName)) << nickName;

    ppd_attr_t* filter = ppdFindAttr(p.get(), "cupsFilter2", nullptr);
    ASSERT_NE(nullptr, filter);
    std::string_view f(filter->value);
    EXPECT_EQ(0u, f.find("application/vnd.cups-raster ")) << f;
    EXPECT_TRUE(f.ends_with(" rastertovem")) << f;

    ppd_option_t* res = ppdFindOption(p.get(), "Resolution");
    ASSERT_NE(nullptr, res);
    EXPECT_STREQ("203dpi", res->defchoice);
}

TEST_P(PpdContents, RollsAreAsWideAsTheModelPrints) {
    const Model& m = GetParam();
    Ppd p = open(m);
    ASSERT_TRUE(p);
    // The width in dots must not depend on rounding: width * 203 / 72
    // lies in [dots, dots + 0.5).
    for (auto [name, dots] : {std::pair{"VEMP80", m.dots80}, std::pair{"VEMP58", m.dots58}}) {
        ppd_size_t* size = ppdPageSize(p.get(), name);
        ASSERT_NE(nullptr, size) << name;
        double exact = size->width * 203.0 / 72.0;
        EXPECT_GE(exact, dots) << name;
        EXPECT_LT(exact, dots + 0.5) << name;
        EXPECT_EQ(0.0f, size->left) << name;
        EXPECT_FLOAT_EQ(size->width, size->right) << name;

        for (const char* color : {"Gray", "Black"}) {
            cups_page_header2_t h = headerFor(p.get(), name, color);
            EXPECT_EQ(static_cast<unsigned>(dots), h.cupsWidth) << name << " " << color;
            EXPECT_EQ(203u, h.HWResolution[0]);
            EXPECT_EQ(203u, h.HWResolution[1]);
        }
    }
    ppd_option_t* ps = ppdFindOption(p.get(), "PageSize");
    ASSERT_NE(nullptr, ps);
    EXPECT_STREQ("VEMP80", ps->defchoice);
    // A custom width can never be wider than the 80 mm roll.
    EXPECT_LE(std::floor(p->custom_max[0] * 203.0 / 72.0), m.dots80);
}

TEST_P(PpdContents, CustomSizeCarriesTheStringTheFilterReads) {
    Ppd p = open(GetParam());
    ASSERT_TRUE(p);
    ppdMarkDefaults(p.get());
    ppd_coption_t* custom = ppdFindCustomOption(p.get(), "PageSize");
    ASSERT_NE(nullptr, custom);
    ppd_cparam_t* text = ppdFindCustomParam(custom, "PageSize");
    ASSERT_NE(nullptr, text);
    EXPECT_EQ(PPD_CUSTOM_STRING, text->type);
    // The rasterizers still find the usual parameters.
    EXPECT_NE(nullptr, ppdFindCustomParam(custom, "Width"));
    EXPECT_NE(nullptr, ppdFindCustomParam(custom, "Height"));
}

TEST_P(PpdContents, ColorModelsGiveTheRastersTheFilterReads) {
    Ppd p = open(GetParam());
    ASSERT_TRUE(p);
    ppd_option_t* cm = ppdFindOption(p.get(), "ColorModel");
    ASSERT_NE(nullptr, cm);
    EXPECT_STREQ("Gray", cm->defchoice);

    // Gray: 8 bits of luminance, 0 = black.
    cups_page_header2_t gray = headerFor(p.get(), "VEMP80", "Gray");
    EXPECT_EQ(CUPS_CSPACE_W, gray.cupsColorSpace);
    EXPECT_EQ(8u, gray.cupsBitsPerColor);
    EXPECT_EQ(8u, gray.cupsBitsPerPixel);
    EXPECT_EQ(gray.cupsWidth, gray.cupsBytesPerLine);
    // Black: 1 bit, set = black.
    cups_page_header2_t black = headerFor(p.get(), "VEMP80", "Black");
    EXPECT_EQ(CUPS_CSPACE_K, black.cupsColorSpace);
    EXPECT_EQ(1u, black.cupsBitsPerColor);
    EXPECT_EQ((black.cupsWidth + 7) / 8, black.cupsBytesPerLine);
    EXPECT_EQ(CUPS_ORDER_CHUNKED, black.cupsColorOrder);
}

TEST_P(PpdContents, NumericOptionsHaveDecimalChoicesInRange) {
    const Model& m = GetParam();
    Ppd p = open(m);
    ASSERT_TRUE(p);
    for (const NumericOption& o : kOptions) {
        SCOPED_TRACE(o.name);
        ppd_option_t* opt = ppdFindOption(p.get(), o.name);
        ASSERT_NE(nullptr, opt);
        int max = std::string_view(o.name) == "FontSize" ? m.fontSizeMax : o.max;
        int def = -1;
        ASSERT_TRUE(decimal(opt->defchoice, &def)) << opt->defchoice;
        EXPECT_EQ(o.def, def);
        bool seen[1001] = {};
        for (int i = 0; i < opt->num_choices; ++i) {
            const ppd_choice_t& c = opt->choices[i];
            int v = -1;
            ASSERT_TRUE(decimal(c.choice, &v)) << c.choice;
            ASSERT_GE(v, 0);
            ASSERT_LE(v, max) << c.choice;
            EXPECT_FALSE(seen[v]) << "duplicate " << c.choice;
            seen[v] = true;
            // A readable text, not the bare number.
            EXPECT_STRNE(c.choice, c.text);
        }
        if (o.every) {
            for (int v = 0; v <= max; ++v) {
                EXPECT_TRUE(seen[v]) << "no choice " << v;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Models, PpdContents, ::testing::ValuesIn(kModels),
                         [](const auto& info) { return std::string(info.param.shortName); });

}  // namespace
