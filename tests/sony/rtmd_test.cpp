#include <cstdint>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "sony/internal.hpp"
#include "support/bytes.hpp"

namespace {

using namespace testing_support;

// A sample whose first entry follows the 2-byte offset plus `gap` filler bytes.
struct Sample {
    Bytes bytes;
    explicit Sample(std::uint16_t gap = 0) {
        const auto offset = static_cast<std::uint16_t>(2 + gap);
        bytes = be16(offset);
        bytes.resize(offset, 0xAA);
    }
    Sample& raw(const Bytes& b) {
        bytes.insert(bytes.end(), b.begin(), b.end());
        return *this;
    }
    Sample& entry(std::uint16_t tag, const Bytes& value) {
        return raw(cat({be16(tag), be16(static_cast<std::uint16_t>(value.size())), value}));
    }
    // Terminator, also keeps the last entry clear of the "p + 4 < size" loop bound.
    Sample& end() { return raw({0, 0, 0, 0}); }
    sony::Rtmd parse() const { return sony::parse_rtmd(bytes); }
};

Bytes exposure_label(std::uint8_t mode) {
    return {0x06, 0x0E, 0x2B, 0x34, 0x04, 0x01, 0x01, 0x0B,
            0x05, 0x10, 0x01, 0x01, 0x01, mode, 0x00, 0x00};
}

struct NumberCase {
    std::uint16_t tag;
    Bytes value;
    double expected;
    std::optional<double> sony::Rtmd::*member;
};

TEST(ParseRtmd, DecodesNumericTags) {
    const NumberCase cases[] = {
        {0x8000, {0x40, 0x00}, 64.0, &sony::Rtmd::iris_fnumber},
        {0x8000, {0xE0, 0x00}, 2.0, &sony::Rtmd::iris_fnumber},
        {0x8001, {0xF1, 0x2C}, 30.0, &sony::Rtmd::focus_distance},
        {0x8001, {0x10, 0x05}, 50.0, &sony::Rtmd::focus_distance},
        {0x8005, {0xD0, 0x23}, 35.0, &sony::Rtmd::focal_length},
        {0x8004, {0xC1, 0x67}, 35.9, &sony::Rtmd::focal_length_35mm},
        {0x8108, {0x00, 0x00, 0x2A, 0x30}, 180.0, &sony::Rtmd::shutter_angle},
        {0x810a, {0x01, 0x2C}, 3.0, &sony::Rtmd::gain_db},
    };
    for (const NumberCase& c : cases) {
        SCOPED_TRACE(c.tag);
        const sony::Rtmd r = Sample().entry(c.tag, c.value).end().parse();
        ASSERT_TRUE((r.*c.member).has_value());
        EXPECT_EQ(*(r.*c.member), c.expected);
    }
}

TEST(ParseRtmd, DecodesIntegerTags) {
    const sony::Rtmd r = Sample()
                             .entry(0x800a, {0xFF, 0xFF})
                             .entry(0x800b, {0x80, 0x00})
                             .entry(0x8104, {0x5D, 0x8C})
                             .entry(0x8105, {0x3E, 0x80})
                             .entry(0x8109, {0, 0, 0, 1, 0, 0, 0, 50})
                             .entry(0x810b, {0x03, 0x20})
                             .entry(0x810c, {0x00, 0x64})
                             .entry(0x8115, {0x01, 0xF4})
                             .entry(0xe303, {0x04})
                             .end()
                             .parse();
    EXPECT_EQ(r.focus_ring_raw, 65535);
    EXPECT_EQ(r.zoom_ring_raw, 32768);
    EXPECT_EQ(r.sensor_width, 23948);
    EXPECT_EQ(r.sensor_height, 16000);
    EXPECT_EQ(r.shutter_time, (std::pair<std::uint32_t, std::uint32_t>{1, 50}));
    EXPECT_EQ(r.iso, 800u);
    EXPECT_EQ(r.extender, 100);
    EXPECT_EQ(r.exposure_index, 500);
    EXPECT_EQ(r.white_balance, 4);
    EXPECT_FALSE(r.iris_fnumber.has_value());
}

struct NameCase {
    std::uint16_t tag;
    std::uint8_t code;
    std::optional<std::string_view> expected;
};

TEST(ParseRtmd, NameTables) {
    const NameCase cases[] = {
        {0x8101, 0, "Manual"},     {0x8101, 4, "Single Spot Sensing Auto"},
        {0x8101, 5, std::nullopt}, {0x810d, 1, "Automatic"},
        {0x810d, 2, "Hold"},       {0x810d, 3, "One Push"},
        {0x810d, 4, std::nullopt},
    };
    for (const NameCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.tag << " " << int(c.code));
        const sony::Rtmd r = Sample().entry(c.tag, {c.code}).end().parse();
        EXPECT_EQ(c.tag == 0x8101 ? r.af_area : r.wb_mode, c.expected);
    }
}

TEST(ParseRtmd, ExposureModeLabel) {
    const std::pair<std::uint8_t, std::optional<std::string_view>> cases[] = {
        {0, std::nullopt},         {1, "Manual"},
        {2, "Full Auto"},          {3, "Gain Priority Auto"},
        {4, "Iris Priority Auto"}, {5, "Shutter Priority Auto"},
        {6, std::nullopt},
    };
    for (const auto& [mode, expected] : cases) {
        SCOPED_TRACE(int(mode));
        EXPECT_EQ(Sample().entry(0x8100, exposure_label(mode)).end().parse().ae_mode, expected);
    }
    Bytes wrong_family = exposure_label(3);
    wrong_family[12] = 0x02;
    EXPECT_FALSE(Sample().entry(0x8100, wrong_family).end().parse().ae_mode.has_value());
}

TEST(ParseRtmd, LaterEntriesReplaceOrReset) {
    // A later 0x8100 of the wrong length clears the mode; a wrong-length 0x8000 is ignored.
    const sony::Rtmd r = Sample()
                             .entry(0x8100, exposure_label(3))
                             .entry(0x8000, {0x40, 0x00})
                             .entry(0x8000, {0xE0, 0x00, 0x00, 0x00})
                             .entry(0x810b, {0x00, 0x64})
                             .entry(0x810b, {0x03, 0x20})
                             .entry(0x8100, {0x00, 0x01})
                             .end()
                             .parse();
    EXPECT_FALSE(r.ae_mode.has_value());
    EXPECT_EQ(r.iris_fnumber, 64.0);
    EXPECT_EQ(r.iso, 800u);

    const sony::Rtmd kept = Sample().entry(0x8100, exposure_label(3)).end().parse();
    EXPECT_EQ(kept.ae_mode, "Gain Priority Auto");
}

TEST(ParseRtmd, LabelsSetHeadersAndOffset) {
    Bytes label(16, 0x11);
    label[0] = 0x06;
    label[1] = 0x0E;
    const sony::Rtmd r = Sample(5)
                             .raw(label)
                             .raw({0x83, 0x00, 0x00, 0x0C})
                             .entry(0x810b, {0x01, 0x90})
                             .entry(0x9999, {1, 2, 3})
                             .entry(0x810a, {0x00, 0x00})
                             .end()
                             .parse();
    EXPECT_EQ(r.iso, 400u);
    EXPECT_EQ(r.gain_db, 0.0);
}

TEST(ParseRtmd, StopsEarlyAndKeepsDecodedMembers) {
    // Terminator: later entries are not decoded.
    const sony::Rtmd term =
        Sample().entry(0x810b, {0x01, 0x90}).raw({0, 0}).entry(0x810a, {0x01, 0x2C}).parse();
    EXPECT_EQ(term.iso, 400u);
    EXPECT_FALSE(term.gain_db.has_value());

    // A length running past the end stops decoding.
    Sample overrun;
    overrun.entry(0x810b, {0x01, 0x90}).raw({0x81, 0x0a, 0x00, 0x40, 0x01, 0x2C});
    EXPECT_EQ(overrun.parse().iso, 400u);
    EXPECT_FALSE(overrun.parse().gain_db.has_value());

    // A truncated universal label stops decoding.
    Sample label;
    label.entry(0x8101, {0x02}).raw({0x06, 0x0E, 1, 2, 3, 4, 5, 6});
    EXPECT_EQ(label.parse().af_area, "Full Screen Sensing Auto");
}

TEST(ParseRtmd, TooShortOrBadOffsetGivesEmptyRecord) {
    const Bytes inputs[] = {
        {},
        {0x00, 0x02, 0x81},
        {0x00, 0x02, 0x81, 0x0b},
        {0x00, 0x04, 0x00, 0x00, 0x81, 0x0b, 0x00, 0x02},
        {0xFF, 0xFF, 0x81, 0x0b, 0x00, 0x02, 0x01, 0x90, 0, 0},
    };
    for (const Bytes& in : inputs) {
        const sony::Rtmd r = sony::parse_rtmd(in);
        EXPECT_FALSE(r.iso || r.ae_mode || r.iris_fnumber || r.gain_db) << in.size();
    }
}

TEST(ParseRtmd, ArbitraryBytesNeverOverrun) {
    // Every prefix of a valid sample, and a cheap pseudo-random stream, decodes without fault.
    const Bytes full = Sample()
                           .entry(0x8100, exposure_label(2))
                           .raw({0x83, 0x00, 0x00, 0x08})
                           .entry(0x8109, {0, 0, 0, 1, 0, 0, 0, 25})
                           .end()
                           .bytes;
    for (std::size_t n = 0; n <= full.size(); ++n) {
        sony::parse_rtmd(std::span(full).first(n));
    }
    EXPECT_EQ(sony::parse_rtmd(full).shutter_time->second, 25u);
    Bytes noise(4096);
    std::uint32_t state = 12345;
    for (std::uint8_t& b : noise) {
        state = state * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(state >> 24);
    }
    noise[0] = 0;
    noise[1] = 2;
    sony::parse_rtmd(noise);
}

} // namespace
