#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sony/sony.hpp"
#include "support/bytes.hpp"
#include "support/support.hpp"

namespace {

using namespace testing_support;

std::string doc(std::string_view model) {
    return "<?xml version=\"1.0\"?>\n<NonRealTimeMeta>\n<Device manufacturer=\"Sony\" "
           "modelName=\"" +
           std::string(model) + "\"/>\n</NonRealTimeMeta>\n";
}

// A sample carrying ISO 800.
const Bytes k_sample = {0x00, 0x02, 0x81, 0x0b, 0x00, 0x02, 0x03, 0x20, 0, 0, 0, 0};

struct Mp4 {
    Bytes top{};                                // top-level boxes before the media data
    Bytes in_moov{};                            // boxes inside "moov" before the tracks
    std::optional<Bytes> sample{};              // first rtmd sample, stored in "mdat"
    std::optional<std::uint32_t> sample_size{}; // overrides the size the track declares
    std::uint32_t offset_shift = 0;             // moves the declared chunk offset
};

// ftyp, the extra top-level boxes, mdat, then moov with a video track, a track
// without "mdia" and, when there is a sample, the rtmd track.
Bytes build(const Mp4& m) {
    const Bytes head = cat({box("ftyp", ascii("isom\0\0\0\0")), m.top});
    const Bytes data = m.sample.value_or(Bytes{1, 2, 3});
    const auto offset = static_cast<std::uint32_t>(head.size() + 8) + m.offset_shift;
    Bytes tracks = cat({sample_track("avc1", 0, 4), box("trak", box("tkhd", zeros(8)))});
    if (m.sample) {
        tracks =
            cat({tracks,
                 sample_track("rtmd", offset,
                              m.sample_size.value_or(static_cast<std::uint32_t>(data.size())))});
    }
    return cat({head, box("mdat", data), box("moov", cat({m.in_moov, tracks}))});
}

Bytes meta_with(std::string_view text) {
    return box("meta", cat({be32(0), ascii(text)}));
}

Bytes udta_with(std::string_view text) {
    return box("udta", box("XMLs", ascii(text)));
}

TEST(SonyRead, SidecarBesideContainerGetsTheSample) {
    TempDir dir;
    const auto clip = write_file(dir / "C0001.MP4", build({.sample = k_sample}));
    write_file(dir / "C0001M01.XML", doc("side"));
    const auto s = sony::read(clip);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->origin, "sidecar");
    EXPECT_EQ(s->model_name, "side");
    EXPECT_EQ(s->rtmd.iso, 800u);
}

TEST(SonyRead, SidecarLookup) {
    const std::string padded_doc = doc("big") + std::string(5 << 20, ' ');
    const struct {
        const char* name;
        const char* clip;
        std::vector<std::pair<std::string, std::string>> files;
        std::optional<std::string> model;
    } cases[] = {
        {"lower-case extension", "C0001.MXF", {{"C0001M01.xml", doc("lower")}}, "lower"},
        {"upper-case first",
         "C0001.MXF",
         {{"C0001M01.XML", doc("upper")}, {"C0001M01.xml", doc("lower")}},
         "upper"},
        {"invalid UTF-8 falls back",
         "C0001.MXF",
         {{"C0001M01.XML", "\xFF" + doc("bad")}, {"C0001M01.xml", doc("lower")}},
         "lower"},
        {"last extension only", "a.b.mxf", {{"a.bM01.XML", doc("stem")}}, "stem"},
        {"no M01 suffix", "C0001.MXF", {{"C0001.XML", doc("x")}}, std::nullopt},
        {"no usable members",
         "C0001.MXF",
         {{"C0001M01.XML", "<NonRealTimeMeta><Device manufacturer=\"Sony\"/>"}},
         std::nullopt},
        {"oversized sidecar", "C0001.MXF", {{"C0001M01.XML", padded_doc}}, std::nullopt},
        {"nothing beside", "C0001.MXF", {}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const auto clip = write_file(dir / c.clip, "not a container");
        for (const auto& [name, text] : c.files)
            write_file(dir / name, text);
        const auto s = sony::read(clip);
        ASSERT_EQ(s.has_value(), c.model.has_value());
        if (s) {
            EXPECT_EQ(s->model_name, c.model);
            EXPECT_EQ(s->origin, "sidecar");
            EXPECT_FALSE(s->rtmd.iso.has_value());
        }
    }
}

TEST(SonyRead, EmbeddedDocument) {
    const std::string big_meta_doc = doc("big-meta") + std::string(5 << 20, ' ');
    const struct {
        const char* name;
        const char* clip;
        Mp4 mp4;
        bool sidecar;
        std::optional<std::string> model;
        std::optional<std::string> origin;
    } cases[] = {
        {"top-level meta", "a.mp4", {.top = meta_with(doc("meta"))}, true, "meta", "embedded"},
        {"inside moov", "a.MOV", {.in_moov = udta_with(doc("moov"))}, true, "moov", "embedded"},
        {"first meta without the document is passed over",
         "a.m4v",
         {.top = cat({meta_with("nothing"), meta_with(doc("second"))})},
         false,
         "second",
         "embedded"},
        {"meta wins over moov",
         "a.mp4",
         {.top = meta_with(doc("meta")), .in_moov = udta_with(doc("moov"))},
         false,
         "meta",
         "embedded"},
        {"unusable meta document, moov searched",
         "a.mp4",
         {.top = meta_with("<NonRealTimeMeta><Device manufacturer=\"S\"/>"),
          .in_moov = udta_with(doc("moov"))},
         false,
         "moov",
         "embedded"},
        {"5 MiB meta skipped",
         "a.mp4",
         {.top = meta_with(big_meta_doc)},
         false,
         std::nullopt,
         std::nullopt},
        {"5 MiB meta skipped, moov found",
         "a.mp4",
         {.top = meta_with(big_meta_doc), .in_moov = udta_with(doc("moov"))},
         false,
         "moov",
         "embedded"},
        {"not a container extension",
         "a.mxf",
         {.top = meta_with(doc("meta"))},
         false,
         std::nullopt,
         std::nullopt},
        {"rtmd track without any document", "a.mp4", {}, false, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        Mp4 mp4 = c.mp4;
        mp4.sample = k_sample;
        const auto clip = write_file(dir / c.clip, build(mp4));
        if (c.sidecar) write_file(dir / "aM01.XML", doc("side"));
        const auto s = sony::read(clip);
        ASSERT_EQ(s.has_value(), c.model.has_value());
        if (!s) continue;
        EXPECT_EQ(s->model_name, c.model);
        EXPECT_EQ(s->origin, c.origin);
        EXPECT_EQ(s->rtmd.iso, 800u);
    }
}

TEST(SonyRead, UnusableSampleLeavesRtmdEmpty) {
    const struct {
        const char* name;
        Mp4 mp4;
    } cases[] = {
        {"declared size zero", {.sample = k_sample, .sample_size = 0}},
        {"declared size above 1 MiB", {.sample = k_sample, .sample_size = (1u << 20) + 1}},
        {"declared size past the end", {.sample = k_sample, .sample_size = 4096}},
        {"offset past the end", {.sample = k_sample, .offset_shift = 100000}},
        {"no rtmd track", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        Mp4 mp4 = c.mp4;
        mp4.top = meta_with(doc("meta"));
        const auto s = sony::read(write_file(dir / "a.mp4", build(mp4)));
        ASSERT_TRUE(s);
        EXPECT_EQ(s->model_name, "meta");
        EXPECT_FALSE(s->rtmd.iso.has_value());
    }
}

TEST(SonyRead, MalformedContainersFallBackToTheSidecar) {
    const Bytes good = build({.in_moov = udta_with(doc("moov")), .sample = k_sample});
    const Bytes truncated(good.begin(), good.end() - 10);
    const struct {
        const char* name;
        Bytes bytes;
    } cases[] = {
        {"empty", {}},
        {"seven bytes", {0, 0, 0, 8, 'f', 't', 'y'}},
        {"truncated moov", truncated},
        {"moov larger than the file", raw_box(0x7FFFFFFF, "moov", ascii(doc("moov")))},
        {"64-bit size past the end",
         cat({be32(1), ascii("moov"), be64(~0ull), ascii(doc("moov"))})},
        {"size below header", cat({raw_box(4, "moov", ascii(doc("moov")))})},
        {"meta larger than the file", raw_box(4000, "meta", ascii(doc("meta")))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const auto clip = write_file(dir / "a.mp4", c.bytes);
        EXPECT_FALSE(sony::read(clip).has_value());
        write_file(dir / "aM01.xml", doc("side"));
        const auto s = sony::read(clip);
        ASSERT_TRUE(s);
        EXPECT_EQ(s->origin, "sidecar");
        EXPECT_FALSE(s->rtmd.iso.has_value());
    }
}

TEST(SonyRead, MissingPathsGiveNothing) {
    TempDir dir;
    EXPECT_FALSE(sony::read(dir / "missing.mp4"));
    std::filesystem::create_directory(dir / "dir.mp4");
    EXPECT_FALSE(sony::read(dir / "dir.mp4"));
    std::filesystem::create_directory(dir / "xM01.XML");
    write_file(dir / "xM01.xml", doc("lower"));
    EXPECT_EQ(sony::read(dir / "x.mxf")->model_name, "lower");
    EXPECT_FALSE(sony::read(""));
}

TEST(SonyRead, SkipsHugeMediaDataBySeeking) {
    // A sparse 3 GiB "mdat" with a 64-bit size before "moov": only its header is read.
    TempDir dir;
    const std::uint64_t media = 3ull << 30;
    const auto clip =
        write_file(dir / "big.mp4",
                   cat({box("ftyp", ascii("isom")), be32(1), ascii("mdat"), be64(media + 16)}));
    std::error_code ec;
    std::filesystem::resize_file(clip, std::filesystem::file_size(clip) + media, ec);
    ASSERT_FALSE(ec);
    std::ofstream(clip, std::ios::binary | std::ios::app)
        << to_string(box("moov", udta_with(doc("far"))));
    const auto s = sony::read(clip);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->model_name, "far");
}

} // namespace
