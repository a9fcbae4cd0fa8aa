#include "tmcd/tmcd.hpp"

#include "boxes/boxes.hpp"

#include "support/bytes.hpp"
#include "support/support.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

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

std::string read_bytes(const Bytes& content) {
    TempDir dir;
    return describe(tmcd::read_start_timecode(write_file(dir / "clip.mov", content)));
}

} // namespace

TEST(TmcdRead, TrackSelectionAndLayouts) {
    const Bytes video = trak(hdlr("vide"), cat({box("stsd", zeros(60)), stco(kSecond)}));
    struct Case {
        const char* name;
        Bytes content;
        const char* expected;
    };
    const Case cases[] = {
        {"plain 24 fps", cat({kHead, box("moov", tc_trak(24, 0, stco(kFirst)))}),
         "01:00:00:00 86400 24 ndf"},
        {"drop frame 30 via co64", cat({kHead, box("moov", tc_trak(30, 1, co64(kSecond)))}),
         "01:00:00;00 107892 30 df"},
        {"flags other than bit 0 ignored",
         cat({kHead, box("moov", tc_trak(24, 0xfffffffe, stco(kFirst)))}),
         "01:00:00:00 86400 24 ndf"},
        {"moov size 0 runs to the end",
         cat({kHead, raw_box(0, "moov", tc_trak(24, 0, stco(kFirst)))}),
         "01:00:00:00 86400 24 ndf"},
        {"moov with 64-bit size", cat({kHead, large_box("moov", tc_trak(24, 0, stco(kFirst)))}),
         "01:00:00:00 86400 24 ndf"},
        {"moov before the media data", moov_first(be32(90'000)), "01:00:00:00 90000 25 ndf"},
        {"video track first", cat({kHead, box("moov", cat({video, tc_trak(24, 0, stco(kFirst))}))}),
         "01:00:00:00 86400 24 ndf"},
        {"trak without mdia first is fatal",
         cat({kHead, box("moov",
                         cat({box("trak", box("tkhd", zeros(4))), tc_trak(24, 0, stco(kFirst))}))}),
         "absent"},
        {"missing stsd is fatal",
         cat({kHead,
              box("moov", cat({trak(hdlr("tmcd"), stco(kFirst)), tc_trak(24, 0, stco(kFirst))}))}),
         "absent"},
        {"short hdlr skipped",
         cat({kHead,
              box("moov", cat({trak(box("hdlr", zeros(11)), {}), tc_trak(24, 0, stco(kFirst))}))}),
         "01:00:00:00 86400 24 ndf"},
        {"stsd of 40 bytes skipped",
         cat({kHead, box("moov", cat({trak(hdlr("tmcd"), cat({box("stsd", zeros(40)), stco(0)})),
                                      tc_trak(30, 1, stco(kSecond))}))}),
         "01:00:00;00 107892 30 df"},
        {"zero frames skipped",
         cat({kHead,
              box("moov", cat({tc_trak(0, 0, stco(kFirst)), tc_trak(30, 1, stco(kSecond))}))}),
         "01:00:00;00 107892 30 df"},
        {"stco without entries skipped, co64 ignored",
         cat({kHead, box("moov", cat({tc_trak(24, 0, cat({stco(kFirst, 0), co64(kFirst)})),
                                      tc_trak(30, 1, stco(kSecond))}))}),
         "01:00:00;00 107892 30 df"},
        {"first timecode track wins",
         cat({kHead,
              box("moov", cat({tc_trak(24, 0, stco(kFirst)), tc_trak(30, 1, stco(kSecond))}))}),
         "01:00:00:00 86400 24 ndf"},
        {"negative counter",
         cat({box("mdat", be32(0xffffffff)), box("moov", tc_trak(24, 0, stco(8)))}),
         "00:00:00:00 -1 24 ndf"},
        {"child of size 4 ends the moov walk",
         cat({kHead, box("moov", cat({raw_box(4, "free", {}), tc_trak(24, 0, stco(kFirst))}))}),
         "absent"},
        {"chunk offset past the end", cat({kHead, box("moov", tc_trak(24, 0, stco(100'000)))}),
         "absent"},
        {"sample cut by the end of file", moov_first(u8({0, 1})), "absent"},
        {"no timecode track", cat({kHead, box("moov", video)}), "absent"},
        {"no moov", kHead, "absent"},
        {"moov past the end of the file",
         cat({kHead, raw_box(5000, "moov", tc_trak(24, 0, stco(kFirst)))}), "absent"},
        {"top-level size below header",
         cat({raw_box(3, "ftyp", {}), box("moov", tc_trak(24, 0, stco(kFirst)))}), "absent"},
        {"empty file", {}, "absent"},
        {"seven bytes", zeros(7), "absent"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(read_bytes(c.content), c.expected) << c.name;
}

TEST(TmcdRead, UnreadablePaths) {
    TempDir dir;
    EXPECT_FALSE(tmcd::read_start_timecode(dir / "missing.mov"));
    EXPECT_FALSE(tmcd::read_start_timecode(dir.path));
}

// Every truncation and every single-byte corruption of a valid file must end cleanly.
TEST(TmcdRead, TruncatedAndCorruptedInputEndCleanly) {
    const Bytes valid = cat(
        {kHead, box("moov", cat({trak(hdlr("vide"), stco(0)), tc_trak(30, 1, co64(kSecond))}))});
    TempDir dir;
    // Fresh names: rewriting one truncated file makes ext4 flush it on every close.
    std::size_t file_no = 0;
    auto read_variant = [&](std::span<const std::uint8_t> bytes) {
        return tmcd::read_start_timecode(
            write_file(dir / ("v" + std::to_string(file_no++) + ".mov"), bytes));
    };
    EXPECT_EQ(describe(read_variant(valid)), "01:00:00;00 107892 30 df");
    // "moov" is the last box, so every truncation cuts it short.
    for (std::size_t n = 0; n < valid.size(); ++n)
        EXPECT_FALSE(read_variant(std::span(valid).first(n))) << n;
    for (std::size_t i = 0; i < valid.size(); ++i) {
        for (std::uint8_t v : {0x00, 0x01, 0xff}) {
            Bytes bad = valid;
            bad[i] = v;
            if (auto tc = read_variant(bad)) {
                EXPECT_NE(tc->frame_quanta, 0u) << i; // zero-frame descriptions are never used
                EXPECT_EQ(tc->text.find(';') != std::string::npos, tc->drop_frame) << i;
            }
        }
    }
}

namespace {

// Bytes this process has read through read-like system calls so far (Linux), if known.
std::optional<std::uint64_t> bytes_read_so_far() {
    std::ifstream io("/proc/self/io");
    std::string key;
    std::uint64_t value = 0;
    while (io >> key >> value)
        if (key == "rchar:") return value;
    return std::nullopt;
}

bool write_at(int fd, const Bytes& bytes, std::uint64_t offset) {
    return ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)) ==
           static_cast<ssize_t>(bytes.size());
}

} // namespace

TEST(TmcdRead, HugeSparseFileCostsOnlyHeaderReads) {
    TempDir dir;
    const auto path = dir / "huge.mov";
    const std::uint64_t mdat_size = 20'000'000'000ull;
    const Bytes moov = box("moov", tc_trak(24, 0, co64(16 + 16)));
    int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    bool ok = write_at(fd, box("ftyp", cat({ascii("qt  "), zeros(4)})), 0) &&
              write_at(fd, cat({be32(1), ascii("mdat"), be64(mdat_size), be32(86'400)}), 16) &&
              write_at(fd, moov, 16 + mdat_size);
    struct stat st {};
    ok = ok && ::fstat(fd, &st) == 0;
    ::close(fd);
    ASSERT_TRUE(ok);
    ASSERT_EQ(static_cast<std::uint64_t>(st.st_size), 16 + mdat_size + moov.size());
    if (static_cast<std::uint64_t>(st.st_blocks) * 512 > 64u << 20)
        GTEST_SKIP() << "file system does not keep the file sparse";

    const auto before = bytes_read_so_far();
    const io::Counts io_before = io::counts();
    auto tc = tmcd::read_start_timecode(path);
    const io::Counts io_after = io::counts();
    const auto after = bytes_read_so_far();
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
    int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    const Bytes track = tc_trak(24, 0, stco(0));
    bool ok =
        write_at(fd, cat({be32(static_cast<std::uint32_t>(payload + 8)), ascii("moov"), track}),
                 0) &&
        ::ftruncate(fd, static_cast<off_t>(payload + 8)) == 0;
    ::close(fd);
    ASSERT_TRUE(ok);
    const auto before = bytes_read_so_far();
    EXPECT_FALSE(tmcd::read_start_timecode(path));
    const auto after = bytes_read_so_far();
    if (before && after) {
        EXPECT_LT(*after - *before, 4096u);
    }
}
