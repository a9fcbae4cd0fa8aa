#include "json_writer/internal.hpp"

#include <gtest/gtest.h>

using nlohmann::json;

TEST(JsonWriterNumbers, ShortestRoundTripLayout) {
    const std::pair<double, const char*> cases[] = {
        {2.8, "2.8"},
        {5.0, "5.0"},
        {0.00001, "0.00001"},
        {1e-7, "1e-7"},
        {1e15, "1000000000000000.0"},
        {1e16, "1e16"},
        {1.2345678901234568e20, "1.2345678901234568e20"},
        {-0.5, "-0.5"},
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {1.999, "1.999"},
        {1000.0, "1000.0"},
        {0.1 + 0.2, "0.30000000000000004"},
        {123456.789, "123456.789"},
        {0.0001234, "0.0001234"},
        {1.5e-5, "0.000015"},
        {1.5e-6, "1.5e-6"},
        {1.7976931348623157e308, "1.7976931348623157e308"},
        {5e-324, "5e-324"},
        {-2.5e17, "-2.5e17"},
    };
    for (const auto& [value, expected] : cases) {
        EXPECT_EQ(json_writer::number_text(value), expected) << value;
        EXPECT_EQ(std::strtod(json_writer::number_text(value).c_str(), nullptr), value) << expected;
    }
    EXPECT_EQ(json_writer::number_text(std::numeric_limits<double>::infinity()), "null");
    EXPECT_EQ(json_writer::number_text(std::nan("")), "null");
}

TEST(JsonWriterValues, IntegersStringsAndKeyOrder) {
    json v = json::object();
    v["zeta"] = 1;
    v["Alpha"] = -3;
    v["beta"] = json::array({std::uint64_t{18446744073709551615ull}, 2.0, nullptr, true});
    v["\xc3\xa9t\xc3\xa9"] = "x";
    EXPECT_EQ(json_writer::compact(v),
              "{\"Alpha\":-3,\"beta\":[18446744073709551615,2.0,null,true],\"zeta\":1,"
              "\"\xc3\xa9t\xc3\xa9\":\"x\"}");
}

TEST(JsonWriterValues, EscapesOnlyQuotesBackslashAndControls) {
    std::string raw = "a\"b\\c\b\f\n\r\t";
    raw += '\x01';
    raw += '\x1f';
    raw += "\x7f/\xc3\xbc\xe2\x82\xac";
    EXPECT_EQ(json_writer::compact(json(raw)),
              "\"a\\\"b\\\\c\\b\\f\\n\\r\\t\\u0001\\u001f\x7f/\xc3\xbc\xe2\x82\xac\"");
}

TEST(JsonWriterPretty, TwoSpaceIndentNoTrailingNewline) {
    json v = json::object();
    v["a"] = json::array({1, json::object()});
    v["b"] = json::object({{"c", json::array()}, {"d", "e"}});
    EXPECT_EQ(json_writer::pretty(v), "{\n"
                                      "  \"a\": [\n"
                                      "    1,\n"
                                      "    {}\n"
                                      "  ],\n"
                                      "  \"b\": {\n"
                                      "    \"c\": [],\n"
                                      "    \"d\": \"e\"\n"
                                      "  }\n"
                                      "}");
    EXPECT_EQ(json_writer::compact(v), "{\"a\":[1,{}],\"b\":{\"c\":[],\"d\":\"e\"}}");
}
