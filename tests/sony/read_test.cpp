#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "scan/internal.hpp"
#include "sony/internal.hpp"
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
std::string build(const Mp4& m) {
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
    return to_string(cat({head, box("mdat", data), box("moov", cat({m.in_moov, tracks}))}));
}

Bytes meta_with(std::string_view text) {
    return box("meta", cat({be32(0), ascii(text)}));
}

Bytes udta_with(std::string_view text) {
    return box("udta", box("XMLs", ascii(text)));
}

// The Sony reading of the clip at `path`, opened and read the way a scan does (the document
// inside is looked for in movies only).
std::optional<sony::Sony> read_clip(const std::filesystem::path& path) {
    return scan::read_media(path).readings.sony;
}

// The files of a folder (name and content), the first of them the clip, and what the Sony
// reader gives for it: "origin model ISO" with "-" for an absent member, or "absent".
struct ReadCase {
    const char* name;
    std::vector<std::pair<std::string, std::string>> files;
    const char* expected;
};

void expect_reads(const std::vector<ReadCase>& cases) {
    for (const auto& c : cases) {
        TempDir dir;
        for (const auto& [name, content] : c.files)
            write_file(dir / name, content);
        const auto s = read_clip(dir / c.files.front().first);
        std::string got = "absent";
        if (s)
            got = s->origin + " " + s->model_name.value_or("-") + " " +
                  (s->rtmd.iso ? std::to_string(*s->rtmd.iso) : "-");
        EXPECT_EQ(got, c.expected) << c.name;
    }
}

TEST(SonyRead, SidecarBesideContainerGetsTheSample) {
    expect_reads({{"MP4 with a sample and a sidecar",
                   {{"C0001.MP4", build({.sample = k_sample})}, {"C0001M01.XML", doc("side")}},
                   "sidecar side 800"}});
}

TEST(SonyRead, SidecarLookup) {
    const std::string clip = "not a container";
    const std::string padded_doc = doc("big") + std::string(5 << 20, ' ');
    expect_reads({
        {"lower-case extension",
         {{"C0001.MXF", clip}, {"C0001M01.xml", doc("lower")}},
         "sidecar lower -"},
        {"upper-case first",
         {{"C0001.MXF", clip}, {"C0001M01.XML", doc("upper")}, {"C0001M01.xml", doc("lower")}},
         "sidecar upper -"},
        {"invalid UTF-8 falls back",
         {{"C0001.MXF", clip},
          {"C0001M01.XML", "\xFF" + doc("bad")},
          {"C0001M01.xml", doc("lower")}},
         "sidecar lower -"},
        {"last extension only", {{"a.b.mxf", clip}, {"a.bM01.XML", doc("stem")}}, "sidecar stem -"},
        {"no M01 suffix", {{"C0001.MXF", clip}, {"C0001.XML", doc("x")}}, "absent"},
        {"no usable members",
         {{"C0001.MXF", clip},
          {"C0001M01.XML", "<NonRealTimeMeta><Device manufacturer=\"Sony\"/>"}},
         "absent"},
        {"oversized sidecar", {{"C0001.MXF", clip}, {"C0001M01.XML", padded_doc}}, "absent"},
        {"nothing beside", {{"C0001.MXF", clip}}, "absent"},
    });
}

TEST(SonyRead, EmbeddedDocument) {
    const std::string big_meta_doc = doc("big-meta") + std::string(5 << 20, ' ');
    const std::pair<std::string, std::string> sidecar = {"aM01.XML", doc("side")};
    // A container with the sample.
    auto mp4 = [](Mp4 m) {
        m.sample = k_sample;
        return build(m);
    };
    expect_reads({
        {"top-level meta",
         {{"a.mp4", mp4({.top = meta_with(doc("meta"))})}, sidecar},
         "embedded meta 800"},
        {"inside moov",
         {{"a.MOV", mp4({.in_moov = udta_with(doc("moov"))})}, sidecar},
         "embedded moov 800"},
        {"first meta without the document is passed over",
         {{"a.m4v", mp4({.top = cat({meta_with("nothing"), meta_with(doc("second"))})})}},
         "embedded second 800"},
        {"meta wins over moov",
         {{"a.mp4", mp4({.top = meta_with(doc("meta")), .in_moov = udta_with(doc("moov"))})}},
         "embedded meta 800"},
        {"unusable meta document, moov searched",
         {{"a.mp4", mp4({.top = meta_with("<NonRealTimeMeta><Device manufacturer=\"S\"/>"),
                         .in_moov = udta_with(doc("moov"))})}},
         "embedded moov 800"},
        {"5 MiB meta skipped", {{"a.mp4", mp4({.top = meta_with(big_meta_doc)})}}, "absent"},
        {"5 MiB meta skipped, moov found",
         {{"a.mp4", mp4({.top = meta_with(big_meta_doc), .in_moov = udta_with(doc("moov"))})}},
         "embedded moov 800"},
        {"not a container extension", {{"a.mxf", mp4({.top = meta_with(doc("meta"))})}}, "absent"},
        {"rtmd track without any document", {{"a.mp4", mp4({})}}, "absent"},
    });
}

TEST(SonyRead, UnusableSampleLeavesRtmdEmpty) {
    const std::pair<const char*, Mp4> cases[] = {
        {"declared size zero", {.sample = k_sample, .sample_size = 0}},
        {"declared size above 1 MiB", {.sample = k_sample, .sample_size = (1u << 20) + 1}},
        {"declared size past the end", {.sample = k_sample, .sample_size = 4096}},
        {"offset past the end", {.sample = k_sample, .offset_shift = 100000}},
        {"no rtmd track", {}},
    };
    for (auto [name, mp4] : cases) {
        mp4.top = meta_with(doc("meta"));
        expect_reads({{name, {{"a.mp4", build(mp4)}}, "embedded meta -"}});
    }
}

TEST(SonyRead, MalformedContainersFallBackToTheSidecar) {
    const std::string good = build({.in_moov = udta_with(doc("moov")), .sample = k_sample});
    const std::pair<std::string, Bytes> cases[] = {
        {"empty", {}},
        {"seven bytes", {0, 0, 0, 8, 'f', 't', 'y'}},
        {"truncated moov", ascii(good.substr(0, good.size() - 10))},
        {"moov larger than the file", raw_box(0x7FFFFFFF, "moov", ascii(doc("moov")))},
        {"64-bit size past the end",
         cat({be32(1), ascii("moov"), be64(~0ull), ascii(doc("moov"))})},
        {"size below header", cat({raw_box(4, "moov", ascii(doc("moov")))})},
        {"meta larger than the file", raw_box(4000, "meta", ascii(doc("meta")))},
    };
    for (const auto& [name, bytes] : cases) {
        const std::pair<std::string, std::string> clip = {"a.mp4", to_string(bytes)};
        expect_reads({{name.c_str(), {clip}, "absent"},
                      {name.c_str(), {clip, {"aM01.xml", doc("side")}}, "sidecar side -"}});
    }
}

TEST(SonyRead, MissingPathsGiveNothing) {
    TempDir dir;
    EXPECT_FALSE(read_clip(dir / "missing.mp4"));
    std::filesystem::create_directory(dir / "dir.mp4");
    EXPECT_FALSE(read_clip(dir / "dir.mp4"));
    std::filesystem::create_directory(dir / "xM01.XML");
    write_file(dir / "xM01.xml", doc("lower"));
    EXPECT_EQ(read_clip(dir / "x.mxf")->model_name, "lower");
    EXPECT_FALSE(read_clip(""));
    EXPECT_FALSE(sony::read("", nullptr));
}

TEST(SonyRead, SkipsHugeMediaDataBySeeking) {
    // A sparse 3 GiB "mdat" with a 64-bit size before "moov": only its header is read.
    TempDir dir;
    const std::uint64_t media = 3ull << 30;
    const Bytes head = cat({box("ftyp", ascii("isom")), be32(1), ascii("mdat"), be64(media + 16)});
    const Bytes moov = box("moov", udta_with(doc("far")));
    const auto clip = dir / "big.mp4";
    ASSERT_TRUE(write_sparse(clip, {{0, head}, {head.size() + media, moov}},
                             head.size() + media + moov.size()));
    const auto s = read_clip(clip);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->model_name, "far");
}

} // namespace
