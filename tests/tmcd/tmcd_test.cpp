#include "io/internal.hpp"
#include "tmcd/tmcd.hpp"

#include "boxes/boxes.hpp"

#include "support/bytes.hpp"
#include "support/support.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace testing_support;
using tmcd::DropFrame;

TEST(TmcdCounterToTc, Formatting) {
    struct Case {
        std::int64_t counter;
        std::uint32_t quanta;
        DropFrame drop;
        const char* text;
    };
    const Case cases[] = {
        {0, 24, DropFrame::No, "00:00:00:00"},
        {86'400, 24, DropFrame::No, "01:00:00:00"},
        {90'000 + 25 * 61 + 7, 25, DropFrame::No, "01:01:01:07"},
        {1'800, 30, DropFrame::Yes, "00:01:00;02"},
        {1'799, 30, DropFrame::Yes, "00:00:59;29"},
        {17'982, 30, DropFrame::Yes, "00:10:00;00"},
        {17'981, 30, DropFrame::Yes, "00:09:59;29"},
        {107'892, 30, DropFrame::Yes, "01:00:00;00"},
        {107'891, 30, DropFrame::Yes, "00:59:59;29"},
        {3'600, 60, DropFrame::Yes, "00:01:00;04"},
        {35'964, 60, DropFrame::Yes, "00:10:00;00"},
        {108'000, 30, DropFrame::No, "01:00:00:00"}, // no correction without the flag
        {90'000, 25, DropFrame::Yes, "01:00:00;00"}, // flag at 25: ";" but no correction
        {86'400, 24, DropFrame::Yes, "01:00:00;00"},
        {-1, 24, DropFrame::No, "00:00:00:00"},
        {-5'000, 30, DropFrame::Yes, "00:00:00;00"},
        {8'640'000, 24, DropFrame::No, "100:00:00:00"},
        {2'147'483'647, 30, DropFrame::Yes, "19904:00:42;19"},
        {5, 0, DropFrame::No, "00:00:00:00"}, // invalid rate never divides by zero
        {INT64_MAX, 30, DropFrame::Yes, "85487080013854:22:15;29"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(tmcd::counter_to_tc(c.counter, c.quanta, c.drop), c.text)
            << c.counter << " @" << c.quanta;
}

namespace {

Bytes hdlr(std::string_view handler) {
    return box("hdlr", cat({be32(0), be32(0), ascii(handler), zeros(12)}));
}

Bytes tmcd_stsd(std::uint8_t frames, std::uint32_t flags) {
    return box("stsd", cat({be32(0), be32(1), be32(34), ascii("tmcd"), zeros(6), be16(1), be32(0),
                            be32(flags), be32(30000), be32(1001), u8({frames, 0})}));
}

Bytes trak(const Bytes& handler, const Bytes& stbl_children) {
    return box("trak", cat({box("tkhd", zeros(12)),
                            box("mdia", cat({box("mdhd", zeros(8)), handler,
                                             box("minf", box("stbl", stbl_children))}))}));
}

Bytes tc_trak(std::uint8_t frames, std::uint32_t flags, const Bytes& chunk) {
    return trak(hdlr("tmcd"), cat({tmcd_stsd(frames, flags), chunk}));
}

// ftyp (16 bytes), then an mdat whose payload starts with the counters at 24 and 28.
const Bytes kHead = cat(
    {box("ftyp", cat({ascii("qt  "), zeros(4)})), box("mdat", cat({be32(86'400), be32(107'892)}))});
constexpr std::uint32_t kFirst = 24;
constexpr std::uint32_t kSecond = 28;

// A 25 fps timecode "moov" followed by an "mdat" holding `sample`.
Bytes moov_first(const Bytes& sample) {
    const std::size_t moov_size = box("moov", tc_trak(25, 0, stco(0))).size();
    return cat({box("moov", tc_trak(25, 0, stco(static_cast<std::uint32_t>(moov_size + 8)))),
                box("mdat", sample)});
}

std::string describe(const std::optional<tmcd::StartTimecode>& tc) {
    if (!tc) return "absent";
    return tc->text + " " + std::to_string(tc->counter) + " " + std::to_string(tc->frame_quanta) +
           (tc->drop_frame ? " df" : " ndf");
}

std::optional<tmcd::StartTimecode> read_bytes(std::span<const std::uint8_t> content) {
    return tmcd::read_start_timecode(boxes::parse_container(io::ByteSource(content)));
}

// The file at `path`, opened and parsed the way a scan does.
std::optional<tmcd::StartTimecode> read_path(const std::filesystem::path& path) {
    std::optional<io::ByteSource> source = io::open_source(path);
    if (!source) return std::nullopt;
    return tmcd::read_start_timecode(boxes::parse_container(std::move(*source)));
}

} // namespace

TEST(TmcdRead, TrackSelectionAndLayouts) {
    const Bytes video = trak(hdlr("vide"), cat({box("stsd", zeros(60)), stco(kSecond)}));
    const Bytes tc24 = tc_trak(24, 0, stco(kFirst));
    const Bytes tc30 = tc_trak(30, 1, stco(kSecond));
    const char* at24 = "01:00:00:00 86400 24 ndf"; // the counter at kFirst, 24 fps
    const char* at30 = "01:00:00;00 107892 30 df"; // the counter at kSecond, 30 fps drop frame
    // The head, then a "moov" holding `tracks`.
    auto movie = [&](const Bytes& tracks) { return cat({kHead, box("moov", tracks)}); };
    struct Case {
        const char* name;
        Bytes content;
        const char* expected;
    };
    const Case cases[] = {
        {"plain 24 fps", movie(tc24), at24},
        {"drop frame 30 via co64", movie(tc_trak(30, 1, co64(kSecond))), at30},
        {"flags other than bit 0 ignored", movie(tc_trak(24, 0xfffffffe, stco(kFirst))), at24},
        {"moov size 0 runs to the end", cat({kHead, raw_box(0, "moov", tc24)}), at24},
        {"moov with 64-bit size", cat({kHead, large_box("moov", tc24)}), at24},
        {"moov before the media data", moov_first(be32(90'000)), "01:00:00:00 90000 25 ndf"},
        {"video track first", movie(cat({video, tc24})), at24},
        {"trak without mdia first is fatal", movie(cat({box("trak", box("tkhd", zeros(4))), tc24})),
         "absent"},
        {"missing stsd is fatal", movie(cat({trak(hdlr("tmcd"), stco(kFirst)), tc24})), "absent"},
        {"short hdlr skipped", movie(cat({trak(box("hdlr", zeros(11)), {}), tc24})), at24},
        {"stsd of 40 bytes skipped",
         movie(cat({trak(hdlr("tmcd"), cat({box("stsd", zeros(40)), stco(0)})), tc30})), at30},
        {"zero frames skipped", movie(cat({tc_trak(0, 0, stco(kFirst)), tc30})), at30},
        {"stco without entries skipped, co64 ignored",
         movie(cat({tc_trak(24, 0, cat({stco(kFirst, 0), co64(kFirst)})), tc30})), at30},
        {"first timecode track wins", movie(cat({tc24, tc30})), at24},
        {"negative counter",
         cat({box("mdat", be32(0xffffffff)), box("moov", tc_trak(24, 0, stco(8)))}),
         "00:00:00:00 -1 24 ndf"},
        {"child of size 4 ends the moov walk", movie(cat({raw_box(4, "free", {}), tc24})),
         "absent"},
        {"chunk offset past the end", movie(tc_trak(24, 0, stco(100'000))), "absent"},
        {"sample cut by the end of file", moov_first(u8({0, 1})), "absent"},
        {"no timecode track", movie(video), "absent"},
        {"no moov", kHead, "absent"},
        {"moov past the end of the file", cat({kHead, raw_box(5000, "moov", tc24)}), "absent"},
        {"top-level size below header", cat({raw_box(3, "ftyp", {}), box("moov", tc24)}), "absent"},
        {"empty file", {}, "absent"},
        {"seven bytes", zeros(7), "absent"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(describe(read_bytes(c.content)), c.expected) << c.name;
}

TEST(TmcdRead, UnreadablePaths) {
    TempDir dir;
    EXPECT_FALSE(read_path(dir / "missing.mov"));
    EXPECT_FALSE(read_path(dir.path));
}

// Every truncation and every single-byte corruption of a valid file must end cleanly.
TEST(TmcdRead, TruncatedAndCorruptedInputEndCleanly) {
    const Bytes valid = cat(
        {kHead, box("moov", cat({trak(hdlr("vide"), stco(0)), tc_trak(30, 1, co64(kSecond))}))});
    EXPECT_EQ(describe(read_bytes(valid)), "01:00:00;00 107892 30 df");
    // "moov" is the last box, so every truncation cuts it short.
    for (std::size_t n = 0; n < valid.size(); ++n)
        EXPECT_FALSE(read_bytes(std::span(valid).first(n))) << n;
    for (std::size_t i = 0; i < valid.size(); ++i) {
        for (std::uint8_t v : {0x00, 0x01, 0xff}) {
            Bytes bad = valid;
            bad[i] = v;
            if (auto tc = read_bytes(bad)) {
                EXPECT_NE(tc->frame_quanta, 0u) << i; // zero-frame descriptions are never used
                EXPECT_EQ(tc->text.find(';') != std::string::npos, tc->drop_frame) << i;
            }
        }
    }
}

TEST(TmcdRead, HugeSparseFileCostsOnlyHeaderReads) {
    TempDir dir;
    const auto path = dir / "huge.mov";
    const std::uint64_t mdat_size = 20'000'000'000ull;
    const Bytes moov = box("moov", tc_trak(24, 0, co64(16 + 16)));
    ASSERT_TRUE(write_sparse(path,
                             {{0, box("ftyp", cat({ascii("qt  "), zeros(4)}))},
                              {16, cat({be32(1), ascii("mdat"), be64(mdat_size), be32(86'400)})},
                              {16 + mdat_size, moov}},
                             16 + mdat_size + moov.size()));
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    ASSERT_EQ(static_cast<std::uint64_t>(st.st_size), 16 + mdat_size + moov.size());
    if (static_cast<std::uint64_t>(st.st_blocks) * 512 > 64u << 20)
        GTEST_SKIP() << "file system does not keep the file sparse";

    const auto before = proc_self_number("io", "rchar:");
    const io::Counts io_before = io::counts();
    auto tc = read_path(path);
    const io::Counts io_after = io::counts();
    const auto after = proc_self_number("io", "rchar:");
    ASSERT_TRUE(tc);
    EXPECT_EQ(tc->text, "01:00:00:00");
    // The headers before and after the media data, the "moov" payload and the sample.
    EXPECT_LE(io_after.reads - io_before.reads, 4u);
    EXPECT_LT(io_after.bytes - io_before.bytes, 4096u);
    if (before && after) {
        EXPECT_LT(*after - *before, 4096u);
    }
}

TEST(TmcdRead, OversizedMoovIsRefusedWithoutReadingIt) {
    // A real (sparse) 300 MiB "moov" whose payload is over the 256 MiB cap.
    TempDir dir;
    const auto path = dir / "bigmoov.mov";
    const std::uint64_t payload = (256ull << 20) + 1;
    const Bytes head =
        raw_box(static_cast<std::uint32_t>(payload + 8), "moov", tc_trak(24, 0, stco(0)));
    ASSERT_TRUE(write_sparse(path, {{0, head}}, payload + 8));
    const auto before = proc_self_number("io", "rchar:");
    EXPECT_FALSE(read_path(path));
    const auto after = proc_self_number("io", "rchar:");
    if (before && after) {
        EXPECT_LT(*after - *before, 4096u);
    }
}

// A "moov" flooded with empty boxes before its timecode track is walked box by box, never listed
// whole: the peak memory grows by far less than a list of its 4 million boxes (96 MiB) would.
TEST(TmcdRead, FloodedMoovIsWalkedWithoutListingIt) {
    constexpr std::uint32_t kFloodBoxes = 4'000'000;
    const Bytes track = tc_trak(24, 0, stco(kFirst));
    const Bytes empty = box("free", {});
    Bytes content = kHead;
    content.reserve(kHead.size() + 8 + kFloodBoxes * empty.size() + track.size());
    const Bytes moov_header =
        cat({be32(8 + kFloodBoxes * 8 + static_cast<std::uint32_t>(track.size())), ascii("moov")});
    content.insert(content.end(), moov_header.begin(), moov_header.end());
    for (std::uint32_t i = 0; i < kFloodBoxes; ++i)
        content.insert(content.end(), empty.begin(), empty.end());
    content.insert(content.end(), track.begin(), track.end());
    const boxes::Container container = boxes::parse_container(io::ByteSource(content));
    ASSERT_TRUE(container.moov);

    const auto before = proc_self_number("status", "VmHWM:");
    const auto tc = tmcd::read_start_timecode(container);
    const auto canon = boxes::find_first_sample(*container.moov, "cndm");
    const auto trak = boxes::find(*container.moov, "trak");
    const auto after = proc_self_number("status", "VmHWM:");
    EXPECT_EQ(describe(tc), "01:00:00:00 86400 24 ndf");
    EXPECT_FALSE(canon);
    EXPECT_TRUE(trak);
    if (before && after) {
        EXPECT_LT(*after - *before, 16u << 10); // KiB
    }
}
