#include "boxes/internal.hpp"
#include "io/internal.hpp"

#include "support/bytes.hpp"
#include "support/support.hpp"

#include <gtest/gtest.h>

#include <string>

using namespace testing_support;

namespace {

// The types of `entries` (children or top-level boxes), joined by commas.
template <class Entries> std::string types_of(const Entries& entries) {
    std::string out;
    for (const auto& e : entries) {
        if (!out.empty()) out += ",";
        out.append(e.type.begin(), e.type.end());
    }
    return out;
}

std::string text_of(std::optional<boxes::Bytes> span) {
    return span ? to_string(*span) : std::string("<absent>");
}

} // namespace

TEST(BoxesChildren, WalkRules) {
    const Bytes a = box("aaaa", ascii("1"));
    struct Case {
        const char* name;
        Bytes buffer;
        std::string types;
    };
    const Case cases[] = {
        {"empty", {}, ""},
        {"shorter than a header", zeros(7), ""},
        {"two boxes", cat({a, box("bbbb", {})}), "aaaa,bbbb"},
        {"size zero runs to the end", cat({a, raw_box(0, "zero", ascii("rest")), a}), "aaaa,zero"},
        {"64-bit size", cat({large_box("larg", ascii("xy")), a}), "larg,aaaa"},
        {"size below header ends walk", cat({a, raw_box(4, "bad!", zeros(8)), a}), "aaaa"},
        {"overrun ends walk", cat({a, raw_box(100, "over", zeros(8))}), "aaaa"},
        {"largesize below 16", cat({a, be32(1), ascii("lg15"), be64(15), zeros(8)}), "aaaa"},
        {"largesize overruns", cat({a, be32(1), ascii("lgov"), be64(40), zeros(8)}), "aaaa"},
        {"largesize overflows", cat({a, be32(1), ascii("lgmx"), be64(UINT64_MAX)}), "aaaa"},
        {"largesize truncated", cat({a, be32(1), ascii("lgtr"), be32(0)}), "aaaa"},
        {"trailing bytes ignored", cat({a, zeros(5)}), "aaaa"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(types_of(boxes::children(c.buffer)), c.types) << c.name;
}

TEST(BoxesChildren, OffsetsAreRelativeToTheBuffer) {
    const Bytes buffer = cat({box("aaaa", ascii("12")), large_box("bbbb", ascii("345"))});
    const auto entries = boxes::children(buffer);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].start, 8u);
    EXPECT_EQ(entries[0].end, 10u);
    EXPECT_EQ(entries[1].start, 26u);
    EXPECT_EQ(entries[1].end, 29u);
}

TEST(BoxesFind, FirstMatchNestedAndAbsent) {
    const Bytes inner = box("minf", box("stbl", ascii("deep")));
    const Bytes buffer = cat({box("free", {}), box("mdia", inner), box("mdia", ascii("second"))});
    EXPECT_EQ(text_of(boxes::find(buffer, "mdia")), to_string(inner));
    auto mdia = boxes::find(buffer, "mdia");
    ASSERT_TRUE(mdia);
    auto minf = boxes::find(*mdia, "minf");
    ASSERT_TRUE(minf);
    EXPECT_EQ(text_of(boxes::find(*minf, "stbl")), "deep");
    EXPECT_EQ(text_of(boxes::find(buffer, "stbl")), "<absent>"); // one level only
    EXPECT_EQ(text_of(boxes::find(buffer, "mdi")), "<absent>");  // type must be 4 bytes
    EXPECT_EQ(text_of(boxes::find(buffer, "MDIA")), "<absent>"); // raw byte comparison
}

TEST(BoxesLoads, BoundsChecked) {
    const Bytes b = u8({0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08});
    EXPECT_EQ(boxes::u16(b, 6), 0x0708u);
    EXPECT_EQ(boxes::u32(b, 4), 0x05060708u);
    EXPECT_EQ(boxes::u64(b, 0), 0x0102030405060708ull);
    EXPECT_FALSE(boxes::u16(b, 7));
    EXPECT_FALSE(boxes::u32(b, 5));
    EXPECT_FALSE(boxes::u64(b, 1));
    EXPECT_FALSE(boxes::u32(b, SIZE_MAX));
}

TEST(BoxesSampleTables, ChunkOffsetAndSampleSize) {
    struct Case {
        const char* name;
        Bytes tables;
        std::optional<std::uint64_t> offset;
        std::optional<std::uint32_t> size;
    };
    const Case cases[] = {
        {"stco and common size", cat({stco(500), stsz(64)}), 500, 64},
        {"co64 and first entry",
         cat({co64(1ull << 40), box("stsz", cat({be32(0), be32(0), be32(2), be32(33)}))}),
         1ull << 40, 33},
        {"stco with zero entries hides co64", cat({stco(9, 0), co64(7), box("stsz", be32(0))}),
         std::nullopt, std::nullopt},
        {"short stco, zero-count stsz",
         cat({box("stco", cat({be32(0), be32(1)})),
              box("stsz", cat({be32(0), be32(0), be32(0), be32(5)}))}),
         std::nullopt, std::nullopt},
        {"short co64, stsz without entry",
         cat({box("co64", cat({be32(0), be32(1), be32(7)})), stsz(0)}), std::nullopt, std::nullopt},
        {"no tables", {}, std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        const Bytes stbl = cat({box("stsd", {}), c.tables});
        EXPECT_EQ(boxes::first_chunk_offset(stbl), c.offset) << c.name;
        EXPECT_EQ(boxes::first_sample_size(stbl), c.size) << c.name;
    }
}

TEST(BoxesSampleTables, FirstSampleOfFormatSkipsUnusableTracks) {
    const Bytes moov = cat({
        box("mvhd", zeros(20)),
        box("trak", box("tkhd", zeros(8))),                          // no mdia
        sample_track("rtmd", 4096, 200),                             // other format
        track(cat({box("stsd", zeros(15)), stco(4096), stsz(200)})), // stsd too short
        sample_track("cndm", 1, 1048577),                            // oversized sample
        track(cat({stsd("cndm"), stsz(8)})),                         // no chunk offset
        sample_track("cndm", 4096, 200),
    });
    auto found = boxes::find_first_sample(moov, "cndm");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->offset, 4096u);
    EXPECT_EQ(found->size, 200u);
    auto rtmd = boxes::find_first_sample(moov, "rtmd");
    ASSERT_TRUE(rtmd);
    EXPECT_FALSE(boxes::find_first_sample(moov, "tmcd"));
}

namespace {

// The top-level boxes a scan of `content` visits, and in `end` how the scan ended.
std::string scan_bytes(const Bytes& content, boxes::ScanEnd& end) {
    std::string seen;
    end = boxes::scan_top_level(io::ByteSource(content), [&](const boxes::TopBox& b) {
        seen += std::string(b.type.begin(), b.type.end()) + "@" + std::to_string(b.offset) + "+" +
                std::to_string(b.header_length) + "/" + std::to_string(b.size) + " ";
        return boxes::Visit::Continue;
    });
    return seen;
}

} // namespace

TEST(BoxesTopLevel, HeaderScanRules) {
    using boxes::ScanEnd;
    struct Case {
        const char* name;
        Bytes content;
        std::string seen;
        ScanEnd end;
    };
    const Case cases[] = {
        {"empty", {}, "", ScanEnd::Exhausted},
        {"two boxes", cat({box("ftyp", zeros(4)), box("moov", zeros(2))}),
         "ftyp@0+8/12 moov@12+8/10 ", ScanEnd::Exhausted},
        {"size zero to the end", cat({box("ftyp", {}), raw_box(0, "mdat", zeros(30))}),
         "ftyp@0+8/8 mdat@8+8/38 ", ScanEnd::Exhausted},
        {"64-bit size", cat({large_box("mdat", zeros(3)), box("moov", {})}),
         "mdat@0+16/19 moov@19+8/8 ", ScanEnd::Exhausted},
        {"size below header", cat({box("ftyp", {}), raw_box(7, "junk", zeros(8))}), "ftyp@0+8/8 ",
         ScanEnd::Failed},
        {"largesize below 16", cat({be32(1), ascii("mdat"), be64(15), zeros(4)}), "",
         ScanEnd::Failed},
        {"largesize needs 16 bytes", cat({box("ftyp", {}), be32(1), ascii("mdat"), be32(0)}),
         "ftyp@0+8/8 ", ScanEnd::Failed},
        {"box past the end ends the scan", cat({raw_box(100, "mdat", zeros(4)), box("moov", {})}),
         "mdat@0+8/100 ", ScanEnd::Exhausted},
        {"trailing 7 bytes are not a header", cat({box("ftyp", {}), zeros(7)}), "ftyp@0+8/8 ",
         ScanEnd::Exhausted},
        {"huge largesize", cat({be32(1), ascii("mdat"), be64(UINT64_MAX), box("moov", {})}),
         "mdat@0+16/18446744073709551615 ", ScanEnd::Exhausted},
        // The first 1 KiB header window ends inside the 64-bit header at 1016.
        {"64-bit header across the window's end",
         cat({box("free", zeros(1000)), box("skip", {}), large_box("mdat", zeros(3)),
              box("moov", {})}),
         "free@0+8/1008 skip@1008+8/8 mdat@1016+16/19 moov@1035+8/8 ", ScanEnd::Exhausted},
    };
    for (const Case& c : cases) {
        ScanEnd end = ScanEnd::Stopped;
        EXPECT_EQ(scan_bytes(c.content, end), c.seen) << c.name;
        EXPECT_EQ(end, c.end) << c.name;
    }
}

TEST(BoxesTopLevel, FindAndReadPayloadWithinLimits) {
    const Bytes content =
        cat({box("ftyp", zeros(4)), box("moov", ascii("payload")), box("moov", ascii("2nd"))});
    const auto container = boxes::parse_container(io::ByteSource(content));
    EXPECT_EQ(container.source.size(), content.size());
    ASSERT_EQ(container.top.size(), 3u);
    const boxes::TopBox& moov = container.top[1];
    EXPECT_EQ(moov.offset, 12u);
    auto payload = boxes::read_payload(container.source, moov, 7);
    ASSERT_TRUE(payload);
    EXPECT_EQ(to_string(*payload), "payload");
    EXPECT_FALSE(boxes::read_payload(container.source, moov, 6)); // over the caller's limit
    EXPECT_EQ(to_string(container.moov.value_or(Bytes{})), "payload");
}

namespace {

// `total` bytes of empty 8-byte "free" boxes with `middle` placed after the first `before`.
Bytes flood(std::size_t before, const Bytes& middle, std::size_t total) {
    const Bytes one = box("free", {});
    Bytes out;
    out.reserve(total);
    while (out.size() < total) {
        if (out.size() == before * one.size()) out.insert(out.end(), middle.begin(), middle.end());
        out.insert(out.end(), one.begin(), one.end());
    }
    return out;
}

} // namespace

TEST(BoxesContainer, IndexAndFirstMoov) {
    struct Case {
        const char* name;
        Bytes content;
        std::string types;
        const char* moov; // "<absent>" when there is none
    };
    const Case cases[] = {
        {"first of two moov boxes",
         cat({box("ftyp", {}), box("moov", ascii("one")), box("meta", {}),
              box("moov", ascii("2"))}),
         "ftyp,moov,meta,moov", "one"},
        {"boxes after a moov that overruns the file",
         cat({box("ftyp", {}), raw_box(100, "moov", zeros(4))}), "ftyp,moov", "<absent>"},
        {"moov overrunning the file by far",
         cat({box("ftyp", {}), raw_box(1000, "moov", zeros(10))}), "ftyp,moov", "<absent>"},
        {"fault after the moov keeps it", cat({box("moov", ascii("x")), raw_box(3, "bad!", {})}),
         "moov", "x"},
        {"fault before the moov", cat({raw_box(3, "bad!", {}), box("moov", ascii("x"))}), "",
         "<absent>"},
        {"empty", {}, "", "<absent>"},
    };
    for (const Case& c : cases) {
        const auto container = boxes::parse_container(io::ByteSource(c.content));
        EXPECT_EQ(types_of(container.top), c.types) << c.name;
        EXPECT_EQ(text_of(container.moov), c.moov) << c.name;
    }
}

// 16 MiB of 8-byte boxes: the index stops at the cap, and the whole parse costs a few dozen
// reads of at most 64 KiB instead of one read per box.
TEST(BoxesContainer, FloodStopsAtTheCapWithFewReads) {
    constexpr std::size_t kFlood = 16u << 20;
    const Bytes moov = box("moov", ascii("found"));
    struct Case {
        const char* name;
        Bytes middle;
        std::size_t after;   // boxes before `middle`
        const char* payload; // "<absent>" when there is none
    };
    const Case cases[] = {
        {"no moov", {}, 0, "<absent>"},
        {"moov before the cap", moov, 60'000, "found"},
        {"moov after the cap", moov, 150'000, "<absent>"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const auto path = write_file(dir / "flood.mov", flood(c.after, c.middle, kFlood));
        const io::Counts before = io::counts();
        std::optional<io::ByteSource> source = io::open_source(path);
        ASSERT_TRUE(source) << c.name;
        const auto container = boxes::parse_container(std::move(*source));
        const io::Counts after = io::counts();
        EXPECT_EQ(container.top.size(), boxes::kMaxTopBoxes) << c.name;
        EXPECT_EQ(text_of(container.moov), c.payload) << c.name;
        EXPECT_EQ(after.opens - before.opens, 1u) << c.name;
        EXPECT_LE(after.reads - before.reads, 40u) << c.name;
        EXPECT_LE(after.bytes - before.bytes, 1u << 20) << c.name;
    }
}
