#include "text/text.hpp"

#include <gtest/gtest.h>

TEST(Text, LossyReplacesEachMaximalIllFormedSubpart) {
    EXPECT_EQ(text::lossy("plain"), "plain");
    EXPECT_EQ(text::lossy("a\xff"
                          "b"),
              "a\xef\xbf\xbd"
              "b");
    // A truncated three-byte sequence is one replacement; a lone continuation byte is one each.
    EXPECT_EQ(text::lossy("\xe2\x82"
                          "x"),
              "\xef\xbf\xbd"
              "x");
    EXPECT_EQ(text::lossy("\x80\x80"), "\xef\xbf\xbd\xef\xbf\xbd");
    // Surrogates and overlong forms are ill-formed.
    EXPECT_EQ(text::lossy("\xed\xa0\x80"), "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd");
    EXPECT_EQ(text::lossy("\xc0\xaf"), "\xef\xbf\xbd\xef\xbf\xbd");
    EXPECT_TRUE(text::is_utf8("\xe2\x82\xac\xf0\x9f\x8e\xa5"));
    EXPECT_FALSE(text::is_utf8("\xf4\x90\x80\x80"));
}

TEST(Text, FullLowerCasing) {
    EXPECT_EQ(text::lower("MOV"), "mov");
    EXPECT_EQ(text::lower("\xc3\x89T\xc3\x89"), "\xc3\xa9t\xc3\xa9"); // ÉTÉ
    EXPECT_EQ(text::lower("\xc4\xb0"), "i\xcc\x87");                  // İ -> i + combining dot
    EXPECT_EQ(text::lower("\xce\x9f\xce\xa3"), "\xce\xbf\xcf\x82");   // ΟΣ -> ος (final)
    EXPECT_EQ(text::lower("\xce\xa3\xce\x9f"), "\xcf\x83\xce\xbf");   // ΣΟ -> σο
    EXPECT_EQ(text::lower("\xe1\xba\x9e"), "\xc3\x9f");               // ẞ -> ß
}

TEST(Text, TrimUsesUnicodeWhiteSpace) {
    EXPECT_EQ(text::trim(" \t\n12.57\r\n"), "12.57");
    EXPECT_EQ(text::trim("\xc2\xa0"
                         "a b\xe3\x80\x80"),
              "a b");
    EXPECT_EQ(text::trim("\n"), "");
    EXPECT_EQ(text::trim("\xe2\x80\x8b"
                         "x"),
              "\xe2\x80\x8b"
              "x"); // zero-width space is not white
}

TEST(Text, DecimalsInTheCLibrarySpellingOnly) {
    using text::DecimalSyntax;
    struct Case {
        const char* text;
        DecimalSyntax syntax;
        const char* expected; // the value printed with %.17g, "out" when out of range, or null
    };
    const Case cases[] = {
        {"1.", DecimalSyntax::Fixed, "1"},
        {"-.5", DecimalSyntax::Fixed, "-0.5"},
        {"0.1", DecimalSyntax::Fixed, "0.10000000000000001"},
        {"1.2.3", DecimalSyntax::Fixed, nullptr},
        {"1-2", DecimalSyntax::Fixed, nullptr},
        {"-", DecimalSyntax::Fixed, nullptr},
        {"1e5", DecimalSyntax::Fixed, nullptr},
        {"1e5", DecimalSyntax::General, "100000"},
        {"1E-2", DecimalSyntax::General, "0.01"},
        {"1e", DecimalSyntax::General, nullptr},
        {"+1", DecimalSyntax::General, nullptr},
        {" 1", DecimalSyntax::General, nullptr},
        {"0x10", DecimalSyntax::General, nullptr},
        {"-Infinity", DecimalSyntax::General, "-inf"},
        {"nan(x_1)", DecimalSyntax::General, "nan"},
        {"nan(x-1)", DecimalSyntax::General, nullptr},
        {"inf", DecimalSyntax::Fixed, nullptr},
        {"1e400", DecimalSyntax::General, "out"},
        {"1e-400", DecimalSyntax::General, "out"},
    };
    for (const auto& c : cases) {
        const auto got = text::parse_decimal(c.text, c.syntax);
        std::string shown = "absent";
        if (got && got->out_of_range) {
            shown = "out";
        } else if (got) {
            char buf[64];
            std::snprintf(buf, sizeof buf, "%.17g", got->value);
            shown = buf;
        }
        EXPECT_EQ(shown, c.expected ? c.expected : "absent") << c.text;
    }
}
