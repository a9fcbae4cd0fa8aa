#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "sony/internal.hpp"
#include "support/bytes.hpp"

namespace {

using testing_support::ascii;

constexpr std::string_view k_document = R"(<?xml version="1.0" encoding="UTF-8"?>
<NonRealTimeMeta xmlns="urn:schemas-professionalDisc:nonRealTimeMeta:ver.2.20" lastUpdate="2024-01-01">
  <LtcChangeTable tcFps="25" halfStep="false">
    <LtcChange frameCount="2000" value="11111111" status="increment"/>
    <LtcChange frameCount="0" value="23595901" status="increment"/>
  </LtcChangeTable>
  <RecordingMode type="normal" cacheRec="false"/>
  <Device manufacturer="Sony" modelName="ILME-FX3" serialNo="123"/>
  <AcquisitionRecord>
    <Group name="CameraUnitMetadataSet">
      <Item name="CaptureGammaEquation" value="s-log3-cine"/>
      <Item name="CaptureColorPrimaries" value="S-Gamut3.Cine"/>
      <Item name="CodingEquations" value="rec709"/>
    </Group>
  </AcquisitionRecord>
</NonRealTimeMeta>)";

std::string with(std::string_view from, std::string_view to) {
    std::string doc(k_document);
    doc.replace(doc.find(from), from.size(), to);
    return doc;
}

TEST(ParseNrt, ReadsEveryMember) {
    const auto s = sony::parse_nrt(k_document, "sidecar");
    ASSERT_TRUE(s);
    EXPECT_EQ(s->origin, "sidecar");
    EXPECT_EQ(s->capture_gamma, "s-log3-cine");
    EXPECT_EQ(s->capture_primaries, "S-Gamut3.Cine");
    EXPECT_EQ(s->coding_equations, "rec709");
    EXPECT_EQ(s->manufacturer, "Sony");
    EXPECT_EQ(s->model_name, "ILME-FX3");
    EXPECT_EQ(s->recording_mode, "normal");
    EXPECT_EQ(s->cache_rec, false);
    EXPECT_FALSE(s->half_step);
    EXPECT_EQ(s->ltc_start, 0x23595901u);
    EXPECT_EQ(sony::ltc_text(*s), "01:59:59:23");
    EXPECT_FALSE(s->rtmd.iso.has_value());
}

TEST(ParseNrt, RecordOnlyWithGammaPrimariesOrModel) {
    EXPECT_FALSE(sony::parse_nrt("<Device manufacturer=\"Sony\"/>", "sidecar"));
    EXPECT_FALSE(sony::parse_nrt("<NonRealTimeMeta><Device manufacturer=\"Sony\"/>", "sidecar"));
    EXPECT_TRUE(sony::parse_nrt("<NonRealTimeMeta><Device modelName=\"FX6\"/>", "x"));
    EXPECT_TRUE(sony::parse_nrt(
        "<NonRealTimeMeta><Item name=\"CaptureColorPrimaries\" value=\"rec709\"/>", "x"));
    EXPECT_TRUE(sony::parse_nrt(
        "<NonRealTimeMeta><Item name=\"CaptureGammaEquation\" value=\"s-log3\">", "x"));
}

TEST(ParseNrt, CacheRecAndHalfStepAreExact) {
    EXPECT_EQ(sony::parse_nrt(with("cacheRec=\"false\"", "cacheRec=\"true\""), "x")->cache_rec,
              true);
    EXPECT_EQ(sony::parse_nrt(with("cacheRec=\"false\"", "cacheRec=\"TRUE\""), "x")->cache_rec,
              false);
    EXPECT_FALSE(
        sony::parse_nrt(with("cacheRec=\"false\"", "other=\"1\""), "x")->cache_rec.has_value());
    const auto no_mode = sony::parse_nrt(with("<RecordingMode ", "<Recording "), "x");
    EXPECT_FALSE(no_mode->cache_rec.has_value());
    EXPECT_FALSE(no_mode->recording_mode.has_value());

    const auto half = sony::parse_nrt(with("halfStep=\"false\"", "halfStep=\"true\""), "x");
    EXPECT_TRUE(half->half_step);
    EXPECT_EQ(sony::ltc_text(*half), "01:59:59:46");
}

TEST(ParseNrt, LtcStartRules) {
    const std::pair<std::string_view, std::optional<std::uint32_t>> cases[] = {
        {R"(<LtcChange frameCount="0" value="+0A0B0C0D"/>)", 0x0A0B0C0Du},
        {R"(<LtcChange frameCount="0" value="ff"/>)", 0xFFu},
        {R"(<LtcChange frameCount="0" value=""/>)", std::nullopt},
        {R"(<LtcChange frameCount="0" value="12G4"/>)", std::nullopt},
        {R"(<LtcChange frameCount="0" value="100000000"/>)", std::nullopt},
        {R"(<LtcChange frameCount="0" value="0000000012"/>)", 0x12u},
        // The first frameCount "0" ends the search even without a number.
        {R"(<LtcChange frameCount="0"/><LtcChange frameCount="0" value="01"/>)", std::nullopt},
        {R"(<LtcChange frameCount="00" value="01"/><LtcChange value="02"/>)", std::nullopt},
        {R"(<LtcChange value="1"/><LtcChange frameCount="0" value="02"/>)", 0x02u},
        // No ">" after the tag: the tag runs to the end of the text.
        {R"(<LtcChange frameCount="0" value="03")", 0x03u},
        {R"(<LtcChangeTable frameCount="0" value="04">)", std::nullopt},
    };
    for (const auto& [xml, expected] : cases) {
        SCOPED_TRACE(xml);
        const std::string doc = "<NonRealTimeMeta><Device modelName=\"m\"/>" + std::string(xml);
        EXPECT_EQ(sony::parse_nrt(doc, "x")->ltc_start, expected);
    }
}

TEST(LtcText, FormatsPackedBcd) {
    const struct {
        std::uint32_t packed;
        bool half;
        std::optional<std::string_view> expected;
    } cases[] = {
        {0x23595901, false, "01:59:59:23"},
        {0x23595901, true, "01:59:59:46"},
        {0x00000010, false, "10:00:00:00"},
        {0x63595923, false, "23:59:59;23"}, // bit 6 of the frames byte: drop frame
        {0x00000000, false, "00:00:00:00"},
        {0x39000000, true, "00:00:00:78"}, // frames are not checked against the rate
        // Digits out of range: no timecode.
        {0xFFFFFFFF, true, std::nullopt},
        {0x00000024, false, std::nullopt},
        {0x00006000, false, std::nullopt},
        {0x00600000, false, std::nullopt},
        {0x0000000A, false, std::nullopt},
        {0x00000A00, false, std::nullopt},
        {0x000A0000, false, std::nullopt},
        {0x4A000000, false, std::nullopt},
    };
    for (const auto& c : cases) {
        sony::Sony s;
        s.ltc_start = c.packed;
        s.half_step = c.half;
        EXPECT_EQ(sony::ltc_text(s), c.expected) << std::hex << c.packed;
    }
    EXPECT_FALSE(sony::ltc_text(sony::Sony{}).has_value());
}

TEST(XmlHelpers, ItemsTagsAndAttributes) {
    EXPECT_EQ(sony::item(R"(<Item name="A" value="1"/><Item name="AB" value="2"/>)", "AB"), "2");
    EXPECT_EQ(sony::item(R"(<Item name="A" value=" spaced &amp; "/>)", "A"), " spaced &amp; ");
    EXPECT_FALSE(sony::item(R"(<Item name="A" value="1")", "A"));
    EXPECT_FALSE(sony::item(R"(<Item name='A' value="1"/>)", "A"));
    EXPECT_FALSE(sony::item(R"(<Item name="A" other="1"/>)", "A"));

    EXPECT_EQ(sony::first_tag("x<Device a=\"1\"/>y>", "<Device "), "<Device a=\"1\"/");
    EXPECT_FALSE(sony::first_tag("<Device a=\"1\"", "<Device "));
    EXPECT_FALSE(sony::first_tag("<Devices>", "<Device "));

    EXPECT_EQ(sony::attr(R"(<R subtype="a" type="b")", "type"), "a");
    EXPECT_EQ(sony::attr(R"(<R type="" x="1")", "type"), "");
    EXPECT_FALSE(sony::attr(R"(<R type = "a")", "type"));
    EXPECT_FALSE(sony::attr(R"(<R type="a)", "type"));
    EXPECT_FALSE(sony::attr(R"(<R type='a')", "type"));
}

TEST(DisplayNames, CurveAndGamut) {
    EXPECT_EQ(sony::curve_name("S-Log2"), "S-Log2");
    EXPECT_EQ(sony::curve_name("s-log3"), "S-Log3");
    EXPECT_EQ(sony::curve_name("S-LOG3-CINE"), "S-Log3");
    EXPECT_FALSE(sony::curve_name(" s-log3"));
    EXPECT_FALSE(sony::curve_name("hlg"));
    EXPECT_EQ(sony::gamut_name("S-Gamut"), "S-Gamut");
    EXPECT_EQ(sony::gamut_name("s-gamut3"), "S-Gamut3");
    EXPECT_EQ(sony::gamut_name("S-Gamut3-Cine"), "S-Gamut3.Cine");
    EXPECT_FALSE(sony::gamut_name("S-Gamut3.Cine"));
    EXPECT_EQ(sony::gamma_implied_gamut("S-Log3"), "S-Gamut3");
    EXPECT_EQ(sony::gamma_implied_gamut("s-log3-cine"), "S-Gamut3.Cine");
    EXPECT_FALSE(sony::gamma_implied_gamut("s-log2"));
}

TEST(ParseEmbedded, FindsDocumentInsideBinary) {
    std::string buffer("\x00\x01junk", 6);
    buffer += with("ILME-FX3", "FX\xFF");
    buffer += "<Device modelName=\"after-end\"/>";
    const auto s = sony::parse_embedded(ascii(buffer));
    ASSERT_TRUE(s);
    EXPECT_EQ(s->origin, "embedded");
    EXPECT_EQ(s->model_name, "FX\xEF\xBF\xBD"); // invalid byte replaced by U+FFFD

    // Without the closing element the document runs to the end of the buffer.
    const auto open = sony::parse_embedded(ascii("<NonRealTimeMeta><Device modelName=\"m\">"));
    ASSERT_TRUE(open);
    EXPECT_EQ(open->model_name, "m");

    // Elements after the closing element are not part of the document.
    EXPECT_FALSE(
        sony::parse_embedded(ascii("<NonRealTimeMeta></NonRealTimeMeta><Device modelName=\"m\">")));
    EXPECT_FALSE(sony::parse_embedded(ascii("<NonRealTimeMet")));
    EXPECT_FALSE(sony::parse_embedded({}));
}

TEST(ParseNrt, HostileTextStaysFastAndSafe) {
    // Many unterminated tags and an enormous attribute value: linear scans, no crash.
    std::string doc = "<NonRealTimeMeta>";
    for (int i = 0; i < 200000; ++i)
        doc += "<LtcChange frameCount=\"1\" value=\"x\">";
    doc += "<Device modelName=\"" + std::string(4 << 20, 'a');
    const auto s = sony::parse_nrt(doc, "x");
    EXPECT_FALSE(s.has_value()); // the model name has no closing quote
    std::string unclosed = "<NonRealTimeMeta>";
    for (int i = 0; i < 200000; ++i)
        unclosed += "<Item name=\"CaptureGammaEquation\" value=\"";
    EXPECT_FALSE(sony::parse_nrt(unclosed, "x").has_value());
}

} // namespace
