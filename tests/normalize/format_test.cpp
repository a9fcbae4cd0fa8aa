#include <gtest/gtest.h>

#include "normalize/internal.hpp"

namespace {

using model::Json;
using model::RawTag;
using normalize::Agreement;

RawTag tag(Json raw, std::optional<std::string> printed = std::nullopt) {
    return RawTag{"G", "T", std::move(printed), std::move(raw)};
}

TEST(DisplayText, PrefersPrintedThenRawStringThenCompactJson) {
    struct Case {
        RawTag tag;
        std::string want;
    };
    const Case cases[] = {
        {tag(Json(5), " Five \n"), "Five"},
        {tag(Json("  raw text\t")), "raw text"},
        {tag(Json(42)), "42"},
        {tag(Json(2.8)), "2.8"},
        {tag(Json(5.0)), "5.0"},
        {tag(Json(1e-7)), "1e-7"},
        {tag(Json(true)), "true"},
        {tag(Json(nullptr)), "null"},
        {tag(Json::parse(R"([1,"a"])")), R"([1,"a"])"},
        {tag(Json::parse(R"({"b":1,"a":2})")), R"({"a":2,"b":1})"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(normalize::display_text(c.tag), c.want) << c.want;
}

TEST(IsPlaceholder, PlaceholderTexts) {
    for (std::string_view t : {"", "n/a", "N/A", "undef", "0 0 0 0", "0000:00:00 00:00:00",
                               "unknown", "Unknown (0)", "UNKNOWN lens", "(Binary data 12 bytes)"})
        EXPECT_TRUE(normalize::is_placeholder(t)) << t;
    for (std::string_view t : {"0", "n/a ", "0000:00:01", "unknow", "(bin", "Canon", "0 0 0"})
        EXPECT_FALSE(normalize::is_placeholder(t)) << t;
}

TEST(NumericValue, NumbersAndLeadingNumericPrefixesNeverThePrintedText) {
    struct Case {
        RawTag tag;
        std::optional<double> want;
    };
    const Case cases[] = {
        {tag(Json(" 29.97 ")), 29.97},
        {tag(Json("-0.5EV")), -0.5},
        {tag(Json("25.000 fps")), 25.0},
        {tag(Json("1/50")), 1.0},
        {tag(Json("-.5")), -0.5},
        {tag(Json("7.")), 7.0},
        {tag(Json("1.2.3")), std::nullopt},
        {tag(Json("1-2")), std::nullopt},
        {tag(Json("-")), std::nullopt},
        {tag(Json("")), std::nullopt},
        {tag(Json("f/2.8")), std::nullopt},
        {tag(Json("ISO 800")), std::nullopt},
        {tag(Json(std::string(400, '9'))), std::nullopt}, // beyond any double
        {tag(Json(true)), std::nullopt},
        {tag(Json(nullptr)), std::nullopt},
        {tag(Json::array({1})), std::nullopt},
        {tag(Json(800)), 800.0},
        {tag(Json(-3)), -3.0},
        {tag(Json(std::uint64_t{18446744073709551615u})), 18446744073709551615.0},
        {tag(Json(0.0125)), 0.0125},
        {tag(Json(4), "f/2.8"), 4.0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(normalize::numeric_value(c.tag), c.want) << c.tag.raw.dump();
}

TEST(DecimalText, RoundsExactValueTiesToEvenAndTrims) {
    struct Case {
        double value;
        int decimals;
        std::string want;
    };
    const Case cases[] = {
        {2.8, 1, "2.8"},       {2.0, 1, "2"},
        {23.976, 3, "23.976"}, {25.0, 3, "25"},
        {0.0, 1, "0"},         {1.5, 1, "1.5"},
        {48.0, 1, "48"},       {0.25, 1, "0.2"},
        {0.35, 1, "0.3"},      {0.45, 1, "0.5"},
        {100.0, 1, "100"},     {0.125, 2, "0.12"},
        {0.375, 2, "0.38"},    {2.675, 2, "2.67"},
        {1.25, 2, "1.25"},     {1e20, 1, "100000000000000000000"},
        {-2.5, 1, "-2.5"},     {23.9999, 3, "24"},
        {1.05, 1, "1.1"},      {29.97002997, 3, "29.97"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(normalize::decimal_text(c.value, c.decimals), c.want)
            << c.value << "/" << c.decimals;
}

TEST(FixedText, KeepsZeros) {
    EXPECT_EQ(normalize::fixed_text(2.0, 2), "2.00");
    EXPECT_EQ(normalize::fixed_text(35.9, 3), "35.900");
    EXPECT_EQ(normalize::fixed_text(0.125, 2), "0.12");
    EXPECT_EQ(normalize::integer_text(-0.7), "0");
    EXPECT_EQ(normalize::integer_text(1e19), "9223372036854775807");
    EXPECT_EQ(normalize::integer_text(-1e30), "-9223372036854775808");
    EXPECT_EQ(normalize::integer_text(9007199254740993.0), "9007199254740992");
}

TEST(LowerAlphanumerics, KeepsUnicodeLettersAndDigitsLowerCased) {
    EXPECT_EQ(normalize::lower_alphanumerics("Canon EOS C70"), "canoneosc70");
    EXPECT_EQ(normalize::lower_alphanumerics("S-Log3.Cine / 2"), "slog3cine2");
    EXPECT_EQ(normalize::lower_alphanumerics("ÄRGER Über-Straße"), "ärgerüberstraße");
    EXPECT_EQ(normalize::lower_alphanumerics("ΣΊΣΥΦΟΣ"), "σίσυφος");
    EXPECT_EQ(normalize::lower_alphanumerics("ソニー α7"), "ソニーα7");
    EXPECT_EQ(normalize::lower_alphanumerics(" -/ ° "), "");
}

TEST(Formatters, TableOfInputsAndOutputs) {
    using Fmt = std::optional<std::string> (*)(const RawTag&);
    struct Case {
        const char* name;
        Fmt fmt;
        RawTag tag;
        std::optional<std::string> want;
    };
    const Case cases[] = {
        {"text", normalize::format_text, tag(Json("x"), " Canon "), "Canon"},
        {"text n/a", normalize::format_text, tag(Json("x"), "n/a"), std::nullopt},
        {"wb temp", normalize::format_wb_mode, tag(Json(9), "Color Temperature"), "Kelvin"},
        {"wb kelvin", normalize::format_wb_mode, tag(Json(9), "Manual (KELVIN)"), "Kelvin"},
        {"wb awb", normalize::format_wb_mode, tag(Json(0), "Auto (AWB)"), "Auto"},
        {"wb daylight", normalize::format_wb_mode, tag(Json(1), "Daylight"), "Daylight"},
        {"wb n/a", normalize::format_wb_mode, tag(Json(1), "n/a"), std::nullopt},
        {"kelvin 5600.7", normalize::format_kelvin, tag(Json(5600.7)), "5600 K"},
        {"kelvin 500", normalize::format_kelvin, tag(Json(500)), std::nullopt},
        {"kelvin 100000", normalize::format_kelvin, tag(Json(100000)), std::nullopt},
        {"kelvin 99999", normalize::format_kelvin, tag(Json(99999)), "99999 K"},
        {"kelvin 501", normalize::format_kelvin, tag(Json("501 K")), "501 K"},
        {"iso 799.9", normalize::format_iso, tag(Json(799.9)), "ISO 799"},
        {"iso 0", normalize::format_iso, tag(Json(0)), std::nullopt},
        {"iso text", normalize::format_iso, tag(Json("ISO 800")), std::nullopt},
        {"fnum 2.8", normalize::format_f_number, tag(Json(2.8)), "f/2.8"},
        {"fnum 4", normalize::format_f_number, tag(Json(4)), "f/4"},
        {"fnum -1", normalize::format_f_number, tag(Json(-1)), std::nullopt},
        {"focal 35", normalize::format_focal_length, tag(Json(35.0)), "35 mm"},
        {"focal 24.5", normalize::format_focal_length, tag(Json("24.5 mm")), "24.5 mm"},
        {"focal 0", normalize::format_focal_length, tag(Json(0)), std::nullopt},
        {"shut 0.5", normalize::format_shutter, tag(Json(0.5)), "0.5 s"},
        {"shut 0.49", normalize::format_shutter, tag(Json(0.49)), "1/2 s"},
        {"shut 1", normalize::format_shutter, tag(Json(1)), "1 s"},
        {"shut 0.0125", normalize::format_shutter, tag(Json(0.0125)), "1/80 s"},
        {"shut 0", normalize::format_shutter, tag(Json(0)), std::nullopt},
        {"fps 23.976", normalize::format_frame_rate, tag(Json(23.976)), "23.976 fps"},
        {"fps 25", normalize::format_frame_rate, tag(Json(25)), "25 fps"},
        {"fps 29.97002997", normalize::format_frame_rate, tag(Json(29.97002997)), "29.97 fps"},
        {"fps 0", normalize::format_frame_rate, tag(Json(0.0)), std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.fmt(c.tag), c.want) << c.name;
}

TEST(ShutterText, FractionsRoundHalvesAwayFromZero) {
    struct Case {
        double t;
        std::string want;
    };
    const Case cases[] = {
        {0.02, "1/50 s"},
        {1.0 / 48, "1/48 s"},
        {0.4, "1/3 s"},
        {0.5, "0.5 s"},
        {2.0, "2 s"},
        {1.25, "1.25 s"},
        {0.0, ""},
        {-1.0, ""},
        {1e-20, "1/9223372036854775807 s"}, // no integer overflow
    };
    for (const auto& c : cases)
        EXPECT_EQ(normalize::shutter_text(c.t), c.want) << c.t;
}

TEST(Agreement, Tests) {
    struct Case {
        const char* name;
        Agreement (*test)(const RawTag&, const RawTag&);
        RawTag a;
        RawTag b;
        Agreement want;
    };
    const Case cases[] = {
        {"text containment", normalize::compare_text, tag(Json("Canon EOS C70")),
         tag(Json("EOS C70")), Agreement::Same},
        {"text case", normalize::compare_text, tag(Json("Canon")), tag(Json("CANON")),
         Agreement::Same},
        {"text empty agrees", normalize::compare_text, tag(Json("Sony")), tag(Json("--")),
         Agreement::Same},
        {"text differ", normalize::compare_text, tag(Json("Sony")), tag(Json("Canon")),
         Agreement::Different},
        {"num close", normalize::compare_numbers, tag(Json(5600)), tag(Json(5700)),
         Agreement::Close},
        {"num differ", normalize::compare_numbers, tag(Json(5600)), tag(Json(3200)),
         Agreement::Different},
        {"num zeros", normalize::compare_numbers, tag(Json(0)), tag(Json(0)), Agreement::Same},
        {"num 0 1", normalize::compare_numbers, tag(Json(0)), tag(Json(1)), Agreement::Different},
        {"num tiny", normalize::compare_numbers, tag(Json(2.8)), tag(Json("2.8000001")),
         Agreement::Same},
        {"num 10%", normalize::compare_numbers, tag(Json(100)), tag(Json(90)), Agreement::Close},
        {"num 11%", normalize::compare_numbers, tag(Json(100)), tag(Json(89)),
         Agreement::Different},
        {"num absent", normalize::compare_numbers, tag(Json(2.8)), tag(Json("f/2.8")),
         Agreement::Different},
        {"wb presets", normalize::compare_white_balance, tag(Json("Daylight")),
         tag(Json("Tungsten")), Agreement::Same},
        {"wb auto manual", normalize::compare_white_balance, tag(Json("Auto")),
         tag(Json("Daylight")), Agreement::Different},
        {"wb autos", normalize::compare_white_balance, tag(Json(0), "AUTO"),
         tag(Json("Auto (AWB)")), Agreement::Same},
        {"any", normalize::always_same, tag(Json("2024")), tag(Json(7)), Agreement::Same},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.test(c.a, c.b), c.want) << c.name;
}

} // namespace
