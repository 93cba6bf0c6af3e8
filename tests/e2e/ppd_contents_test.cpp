// What the filter relies on in the queue PPDs (cupstestppd checks the syntax),
// read back through libcups as the filter and CUPS's rasterizers read them.
// libcups marks the PPD interface deprecated; it is what the filter uses.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

#include <cups/ppd.h>
#include <cups/raster.h>
#include <gtest/gtest.h>

#include <charconv>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>

namespace {

struct Model {
    const char *path, *shortName, *otherShortName;
    int dots80, dots58, fontSizeMax;  // the KVRS-M1A cannot print with the second font
};
const Model kModels[] = {{KVRS_PPD_M2A, "KVRSM2A", "KVRSM1A", 576, 400, 1},
                         {KVRS_PPD_M1A, "KVRSM1A", "KVRSM2A", 512, 360, 0}};

class PpdContents : public ::testing::TestWithParam<Model> {
  protected:
    void SetUp() override { ASSERT_TRUE(ppd_) << "cannot open " << GetParam().path; }
    // The raster header CUPS's own raster filters make for these choices.
    cups_page_header2_t Header(const char* pageSize, const char* colorModel) {
        ppdMarkDefaults(ppd_.get());
        ppdMarkOption(ppd_.get(), "PageSize", pageSize);
        ppdMarkOption(ppd_.get(), "ColorModel", colorModel);
        cups_page_header2_t h{};
        EXPECT_EQ(0, cupsRasterInterpretPPD(&h, ppd_.get(), 0, nullptr, nullptr))
            << pageSize << " " << colorModel << ": " << cupsRasterErrorString();
        return h;
    }
    std::unique_ptr<ppd_file_t, decltype(&ppdClose)> ppd_{ppdOpenFile(GetParam().path), ppdClose};
};

// The NickName (which selects the model in the filter) names this model only;
// the custom size carries the string parameter the filter reads.
TEST_P(PpdContents, ModelNameAndCustomSize) {
    ppd_attr_t* nick = ppdFindAttr(ppd_.get(), "NickName", nullptr);
    ASSERT_NE(nullptr, nick);
    const std::string_view name(nick->value);
    EXPECT_TRUE(name.find(GetParam().shortName) != name.npos &&
                name.find(GetParam().otherShortName) == name.npos)
        << name;
    ppd_coption_t* custom = ppdFindCustomOption(ppd_.get(), "PageSize");
    ASSERT_NE(nullptr, custom);
    ppd_cparam_t* text = ppdFindCustomParam(custom, "PageSize");
    ASSERT_NE(nullptr, text);
    EXPECT_EQ(PPD_CUSTOM_STRING, text->type);
}

// Each roll rasterizes to exactly the model's printable dots at 203 dpi, in
// both colour models: Gray as 8-bit luminance, Black as 1 bit, set = black.
TEST_P(PpdContents, RollWidthsAndColorSpaces) {
    const Model& m = GetParam();
    ppd_option_t* pageSize = ppdFindOption(ppd_.get(), "PageSize");
    for (auto [name, dots] : {std::pair{"VEMP80", m.dots80}, std::pair{"VEMP58", m.dots58}}) {
        ppd_size_t* size = ppdPageSize(ppd_.get(), name);
        ASSERT_NE(nullptr, size) << name;
        // Ghostscript takes the size from the choice's code, libcups from PaperDimension.
        char code[64];
        std::snprintf(code, sizeof code, "/PageSize[%g %g]", size->width, size->length);
        EXPECT_NE(nullptr, std::strstr(ppdFindChoice(pageSize, name)->code, code)) << code;
        // Whatever the rasterizer's rounding: width * 203 / 72 in [dots, dots + 0.5).
        EXPECT_TRUE(size->width * 203.0 / 72 >= dots && size->width * 203.0 / 72 < dots + 0.5);
        const cups_page_header2_t gray = Header(name, "Gray"), black = Header(name, "Black");
        EXPECT_TRUE(gray.cupsWidth == unsigned(dots) && black.cupsWidth == unsigned(dots))
            << name << ": " << gray.cupsWidth << ", " << black.cupsWidth;
        EXPECT_TRUE(gray.HWResolution[0] == 203 && gray.HWResolution[1] == 203);
        EXPECT_TRUE(gray.cupsColorSpace == CUPS_CSPACE_W && gray.cupsBitsPerPixel == 8 &&
                    gray.cupsBytesPerLine == gray.cupsWidth);
        EXPECT_TRUE(black.cupsColorSpace == CUPS_CSPACE_K && black.cupsBitsPerColor == 1 &&
                    black.cupsColorOrder == CUPS_ORDER_CHUNKED);
    }
    EXPECT_STREQ("VEMP80", pageSize->defchoice);
    EXPECT_STREQ("Gray", ppdFindOption(ppd_.get(), "ColorModel")->defchoice);
    EXPECT_LE(int(ppd_->custom_max[0] * 203.0 / 72.0), m.dots80) << "custom wider than 80 mm";
}

// The filter reads its numeric options as decimal numbers: every choice must
// be one, within the filter's range, and the defaults are the intended ones.
TEST_P(PpdContents, NumericOptionsHaveDecimalChoicesInRange) {
    // clang-format off
    const struct { const char* name; int max, def; } options[] = {
        {"LogCount", 1000, 1}, {"LogLevel", 255, 0}, {"CutSetting", 6, 0}, {"CutType", 1, 1},
        {"CDPin", 2, 0}, {"CDOpen", 1, 1}, {"CDPulse", 9, 3}, {"BmpFormat", 1, 0},
        {"FontSize", GetParam().fontSizeMax, 0}, {"PaperConservation", 3, 3}, {"DitherType", 3, 3}};
    // clang-format on
    auto decimal = [](std::string_view s, int& v) {
        auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
        return !s.empty() && ec == std::errc() && end == s.data() + s.size();
    };
    for (const auto& o : options) {
        SCOPED_TRACE(o.name);
        ppd_option_t* opt = ppdFindOption(ppd_.get(), o.name);
        ASSERT_NE(nullptr, opt);
        int def = -1;
        EXPECT_TRUE(decimal(opt->defchoice, def) && def == o.def) << opt->defchoice;
        for (const ppd_choice_t& c : std::span(opt->choices, opt->num_choices)) {
            int v = -1;
            EXPECT_TRUE(decimal(c.choice, v) && v >= 0 && v <= o.max) << c.choice;
            EXPECT_STRNE(c.choice, c.text) << "a readable text, not the bare number";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Models, PpdContents, ::testing::ValuesIn(kModels),
                         [](const auto& info) { return std::string(info.param.shortName); });

}  // namespace
