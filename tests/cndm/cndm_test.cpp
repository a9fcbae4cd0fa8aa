#include "cndm/internal.hpp"

#include "support/bytes.hpp"
#include "support/support.hpp"

#include <gtest/gtest.h>

using namespace testing_support;

namespace {

const Bytes kUl = u8({0x06, 0x0E, 0x2B, 0x34});

std::string describe(const cndm::Cndm& c) {
    auto code = [](const std::optional<std::uint8_t>& v) {
        return v ? std::to_string(*v) : std::string("-");
    };
    return "curve " + code(c.curve) + " gamut " + code(c.gamut);
}

} // namespace

TEST(CndmParseSample, Packets) {
    const Bytes curve7 = cndm_item(0xe211, 1, 7);
    const Bytes gamut2 = cndm_item(0xe212, 2, 2);
    struct Case {
        const char* name;
        Bytes sample;
        const char* expected;
    };
    const Case cases[] = {
        {"curve and gamut", klv_packet(cat({curve7, gamut2})), "curve 7 gamut 2"},
        {"items in two packets", cat({klv_packet(curve7), klv_packet(gamut2)}), "curve 7 gamut 2"},
        {"later item replaces earlier", klv_packet(cat({curve7, cndm_item(0xe211, 1, 2)})),
         "curve 2 gamut -"},
        {"other items skipped", klv_packet(cat({be16(0x8001), be16(3), zeros(3), gamut2})),
         "curve - gamut 2"},
        {"curve tag with gamut label kind", klv_packet(cndm_item(0xe211, 2, 7)), "curve - gamut -"},
        {"gamut tag with curve label kind", klv_packet(cndm_item(0xe212, 1, 2)), "curve - gamut -"},
        {"label prefix wrong",
         klv_packet(cat({be16(0xe211), be16(16), u8({6, 0x0E, 0x2B, 0x35}), zeros(4),
                         u8({0x0E, 0x15, 0, 1, 7}), zeros(3)})),
         "curve - gamut -"},
        {"label byte 10 wrong",
         klv_packet(
             cat({be16(0xe211), be16(16), kUl, zeros(4), u8({0x0E, 0x15, 1, 1, 7}), zeros(3)})),
         "curve - gamut -"},
        {"item length not 16",
         klv_packet(
             cat({be16(0xe211), be16(17), kUl, zeros(4), u8({0x0E, 0x15, 0, 1, 7}), zeros(4)})),
         "curve - gamut -"},
        {"long-form length 0x82", cat({kUl, zeros(12), u8({0x82}), be16(40), curve7, gamut2}),
         "curve 7 gamut 2"},
        {"long-form length bytes missing", cat({kUl, zeros(12), u8({0x84, 0, 0})}),
         "curve - gamut -"},
        {"length 0x85 stops, earlier codes stand",
         cat({klv_packet(curve7), kUl, zeros(12), u8({0x85}), gamut2}), "curve 7 gamut -"},
        {"length 0x80 stops", cat({klv_packet(curve7), kUl, zeros(12), u8({0x80}), gamut2}),
         "curve 7 gamut -"},
        {"length beyond the sample is cut to its end",
         cat({kUl, zeros(12), u8({0x7f}), curve7, gamut2}), "curve 7 gamut 2"},
        {"item running past the packet leaves it",
         cat({kUl, zeros(12), u8({19}), Bytes(curve7.begin(), curve7.end() - 1),
              klv_packet(gamut2)}),
         "curve - gamut 2"},
        {"garbage before the first label skipped", cat({ascii("junk\x06\x0e"), klv_packet(gamut2)}),
         "curve - gamut 2"},
        {"garbage between packets stops", cat({klv_packet(curve7), ascii("x"), klv_packet(gamut2)}),
         "curve 7 gamut -"},
        {"too short after the label", cat({kUl, zeros(12)}), "curve - gamut -"},
        {"no label", ascii("no label anywhere in here"), "curve - gamut -"},
        {"three bytes", u8({6, 0x0E, 0x2B}), "curve - gamut -"},
        {"empty", {}, "curve - gamut -"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(describe(cndm::parse_sample(c.sample)), c.expected) << c.name;
}

TEST(CndmParseSample, EveryTruncationEndsCleanly) {
    const Bytes sample = cat({ascii("zz"), klv_packet(cndm_item(0xe211, 1, 7)),
                              cat({kUl, zeros(12), u8({0x81, 20}), cndm_item(0xe212, 2, 2)})});
    EXPECT_EQ(describe(cndm::parse_sample(sample)), "curve 7 gamut 2");
    for (std::size_t n = 0; n < sample.size(); ++n) {
        const cndm::Cndm c = cndm::parse_sample(std::span(sample).first(n));
        // The curve item is complete from byte 2 + 17 + 20 on; the gamut only in the full sample.
        EXPECT_EQ(c.curve.has_value(), n >= 39) << n;
        EXPECT_FALSE(c.gamut) << n;
    }
}

TEST(CndmNames, DisplayNames) {
    EXPECT_EQ(cndm::curve_name(2), "Canon Log 2");
    EXPECT_EQ(cndm::curve_name(7), "Canon Log 3");
    EXPECT_EQ(cndm::gamut_name(2), "Cinema Gamut");
    for (int code = 0; code < 256; ++code) {
        const auto c = static_cast<std::uint8_t>(code);
        EXPECT_EQ(cndm::curve_name(c).has_value(), code == 2 || code == 7) << code;
        EXPECT_EQ(cndm::gamut_name(c).has_value(), code == 2) << code;
    }
}

TEST(CndmRead, Tracks) {
    const Bytes sample = klv_packet(cat({cndm_item(0xe211, 1, 7), cndm_item(0xe212, 2, 2)}));
    const Bytes head = cat({box("ftyp", ascii("isom")), box("mdat", sample)});
    const auto at = static_cast<std::uint32_t>(12 + 8);
    const auto n = static_cast<std::uint32_t>(sample.size());
    const Bytes good = sample_track("cndm", at, n); // the track that holds the sample
    // The head, then a "moov" holding `tracks`.
    auto movie = [&](const Bytes& tracks) { return cat({head, box("moov", tracks)}); };
    struct Case {
        const char* name;
        Bytes content;
        const char* expected;
    };
    const Case cases[] = {
        {"one cndm track", movie(good), "curve 7 gamut 2"},
        {"track without mdia is passed over",
         movie(cat({box("trak", box("tkhd", zeros(4))), good})), "curve 7 gamut 2"},
        {"other formats passed over", movie(cat({sample_track("avc1", 0, 1), good})),
         "curve 7 gamut 2"},
        {"oversized sample passed over", movie(cat({sample_track("cndm", 0, 1'048'577), good})),
         "curve 7 gamut 2"},
        {"first qualifying track decides", movie(cat({sample_track("cndm", 0, 8), good})),
         "curve - gamut -"},
        {"sample beyond the file", movie(sample_track("cndm", at, 4096)), "absent"},
        {"no cndm track", movie(sample_track("rtmd", at, n)), "absent"},
        {"no moov", head, "absent"},
        {"empty file", {}, "absent"},
    };
    for (const Case& c : cases) {
        const auto found = cndm::read(boxes::parse_container(io::ByteSource(c.content)));
        EXPECT_EQ(found ? describe(*found) : "absent", c.expected) << c.name;
    }
}
