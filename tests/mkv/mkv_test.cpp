#include "mkv/mkv.hpp"

#include "io/internal.hpp"
#include "support/bytes.hpp"
#include "support/support.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <unistd.h>

using namespace testing_support;

namespace {

std::optional<mkv::Tracks> parse(const Bytes& bytes) {
    return mkv::read(io::ByteSource(bytes));
}

std::optional<mkv::Tracks> read_path(const std::filesystem::path& path) {
    const std::optional<io::ByteSource> source = io::open_source(path);
    return source ? mkv::read(*source) : std::nullopt;
}

// The tracks in one line: "video 1 V_MPEG4/ISO/AVC 64x48 progressive colour m1 t1 p1 r1; ...".
std::string summary(const std::optional<mkv::Tracks>& tracks) {
    if (!tracks) return "absent";
    const auto opt = [](const auto& value) {
        return value ? std::to_string(*value) : std::string("-");
    };
    std::ostringstream out;
    for (const mkv::Track& t : tracks->tracks) {
        if (&t != &tracks->tracks.front()) out << "; ";
        out << (t.type == mkv::kVideo   ? "video"
                : t.type == mkv::kAudio ? "audio"
                                        : "type " + std::to_string(t.type))
            << " " << t.number << " " << (t.codec_id.empty() ? "-" : t.codec_id);
        if (t.pixel_width || t.pixel_height)
            out << " " << opt(t.pixel_width) << "x" << opt(t.pixel_height);
        if (t.display_width) out << " display " << *t.display_width << "x" << *t.display_height;
        if (t.scan)
            out << (t.scan == mkv::Scan::Progressive  ? " progressive"
                    : t.scan == mkv::Scan::Interlaced ? " interlaced"
                                                      : " undetermined");
        if (t.colour)
            out << " colour m" << opt(t.colour->matrix) << " t" << opt(t.colour->transfer) << " p"
                << opt(t.colour->primaries) << " r" << opt(t.colour->range);
        if (t.sampling_frequency) out << " " << *t.sampling_frequency << " Hz";
        if (t.channels) out << " " << *t.channels << " ch";
    }
    return out.str();
}

// ---- Building files ----

Bytes id(std::uint32_t value) {
    Bytes out;
    for (int shift = 24; shift >= 0; shift -= 8)
        if ((value >> shift) != 0 || !out.empty())
            out.push_back(static_cast<std::uint8_t>(value >> shift));
    return out;
}

// An element header with an 8-byte size.
Bytes head(std::uint32_t element, std::uint64_t size) {
    Bytes out = be64(size);
    out[0] = 0x01;
    return cat({id(element), out});
}

// An element with a 1-byte size below 127, else an 8-byte one.
Bytes el(std::uint32_t element, const Bytes& value) {
    if (value.size() >= 127) return cat({head(element, value.size()), value});
    return cat({id(element), u8({static_cast<std::uint8_t>(0x80 | value.size())}), value});
}

Bytes num(std::uint32_t element, std::uint64_t value) {
    return el(element, be64(value));
}

// The header of an element of unknown size (8 size bytes, all value bits set).
Bytes unknown(std::uint32_t element) {
    return head(element, 0x00FFFFFFFFFFFFFF);
}

Bytes file(const Bytes& segment, std::string_view doc_type = "matroska") {
    return cat({el(0x1A45DFA3, el(0x4282, ascii(doc_type))), el(0x18538067, segment)});
}

Bytes entry(std::uint64_t number, unsigned type, std::string_view codec, const Bytes& more = {}) {
    return el(0xAE, cat({num(0xD7, number), num(0x83, type), el(0x86, ascii(codec)), more}));
}

const Bytes kVideo = entry(1, 1, "V_MPEG4/ISO/AVC", el(0xE0, cat({num(0xB0, 64), num(0xBA, 48)})));
const Bytes kTracks = el(0x1654AE6B, kVideo);
const std::string kOne = "video 1 V_MPEG4/ISO/AVC 64x48";

// `count` copies of what `part(i)` gives, in order.
template <typename Part> Bytes many(std::size_t count, Part part) {
    Bytes out;
    for (std::size_t i = 0; i < count; ++i) {
        const Bytes bytes = part(i);
        out.insert(out.end(), bytes.begin(), bytes.end());
    }
    return out;
}

} // namespace

TEST(MkvSamples, FfmpegAndMkvmergeFixtures) {
    struct Case {
        const char* file;
        std::string summary;
        std::uint64_t first_video;
    };
    const Case cases[] = {
        {"aac_first_mpeg4.mkv",
         "audio 1 A_AAC 44100 Hz 2 ch; video 2 V_MPEG4/ISO/ASP 64x48 progressive colour m- t- p- "
         "r1",
         2},
        {"h264_bt709.mkv", "video 1 V_MPEG4/ISO/AVC 64x48 progressive colour m1 t1 p1 r1", 1},
        {"h264_pq.mkv", "video 1 V_MPEG4/ISO/AVC 64x48 progressive colour m9 t16 p9 r1", 1},
        {"h264_hlg.mkv", "video 1 V_MPEG4/ISO/AVC 64x48 progressive colour m9 t18 p9 r2", 1},
        {"h264_bt601_tff.mkv", "video 1 V_MPEG4/ISO/AVC 64x48 interlaced colour m6 t6 p6 r1", 1},
        {"remux_bt709.mkv", "video 1 V_MPEG4/ISO/AVC 64x48 display 128x48 colour m1 t1 p1 r1", 1},
        {"vp9_opus.webm",
         "video 1 V_VP9 64x48 display 85x48 progressive colour m0 t- p- r2; audio 2 A_OPUS 48000 "
         "Hz 1 ch",
         1},
    };
    for (const Case& c : cases) {
        const std::optional<mkv::Tracks> tracks = read_path(kFormatSamples / c.file);
        EXPECT_EQ(summary(tracks), c.summary) << c.file;
        EXPECT_EQ(parse(format_sample(c.file)), tracks) << c.file;
        const mkv::Track* video = tracks ? mkv::first_video(*tracks) : nullptr;
        EXPECT_EQ(video ? video->number : 0, c.first_video) << c.file;
    }
}

// Every cut of a file gives nothing before its Tracks element is whole, all of it after.
TEST(MkvSamples, CutFiles) {
    for (const auto& [name, tracks_end] :
         {std::pair{"aac_first_mpeg4.mkv", 524}, std::pair{"remux_bt709.mkv", 4447}}) {
        const Bytes whole = format_sample(name);
        const std::optional<mkv::Tracks> all = parse(whole);
        ASSERT_TRUE(all) << name;
        for (std::size_t n = 0; n <= whole.size(); ++n)
            ASSERT_EQ(parse(Bytes(whole.begin(), whole.begin() + static_cast<long>(n))),
                      n >= static_cast<std::size_t>(tracks_end) ? all : std::nullopt)
                << name << " cut at " << n;
    }
}

TEST(MkvWalk, BuiltAndHostileInputs) {
    // A SeekHead giving Tracks' position, then an unknown-size Cluster of 1000 bytes.
    const auto seek = [](std::uint64_t at) {
        return el(0x114D9B74, el(0x4DBB, cat({el(0x53AB, id(0x1654AE6B)), num(0x53AC, at)})));
    };
    const Bytes cluster = cat({unknown(0x1F43B675), zeros(1000)});
    const std::uint64_t tracks_at = seek(0).size() + cluster.size();
    // 10,000 elements, each holding the next, around a TrackNumber.
    const Bytes nested =
        cat({many(10000, [](std::size_t i) { return head(0x4321, 10 + (9999 - i) * 10); }),
             num(0xD7, 5)});
    const Bytes voids = many(mkv::kMaxElements, [](std::size_t) { return el(0xEC, {}); });
    const auto first_voids = [&](std::size_t n) {
        return Bytes(voids.begin(), voids.begin() + static_cast<long>(2 * n));
    };
    const Bytes audio = entry(2, 2, "A_PCM/INT/LIT",
                              el(0xE1, cat({el(0xB5, u8({0x47, 0x3B, 0x80, 0x00})), // 48000.0f
                                            num(0x9F, 6)})));
    struct Case {
        const char* name;
        Bytes bytes;
        std::string summary;
    };
    const Case cases[] = {
        {"plain", file(kTracks), kOne},
        {"webm", file(kTracks, "webm"), kOne},
        {"another document type", file(kTracks, "matroskb"), "absent"},
        {"empty", {}, "absent"},
        {"EBML header only", el(0x1A45DFA3, el(0x4282, ascii("matroska"))), "absent"},
        {"garbage", Bytes(5000, 0x5A), "absent"},
        {"no Tracks", file(el(0x1549A966, zeros(10))), "absent"},
        {"Void before the Segment",
         cat({el(0x1A45DFA3, el(0x4282, ascii("matroska"))), el(0xEC, zeros(3)),
              el(0x18538067, kTracks)}),
         kOne},
        {"unknown-size Segment",
         cat({el(0x1A45DFA3, el(0x4282, ascii("matroska"))), unknown(0x18538067), kTracks}), kOne},
        {"unknown-size Tracks", file(cat({unknown(0x1654AE6B), kVideo})), "absent"},
        {"Tracks past the end", file(cat({id(0x1654AE6B), u8({0x42, 0x00}), kVideo})), "absent"},
        {"Tracks past the Segment's end",
         cat({el(0x1A45DFA3, el(0x4282, ascii("matroska"))), head(0x18538067, kTracks.size() - 1),
              kTracks}),
         "absent"},
        {"entry past the end of Tracks: the entries before it stay",
         file(el(0x1654AE6B, cat({kVideo, id(0xAE), u8({0x90}), num(0xD7, 2)}))), kOne},
        {"unknown-size Video: its entry is passed over",
         file(
             el(0x1654AE6B, cat({entry(7, 1, "V_X", cat({unknown(0xE0), num(0xB0, 1)})), kVideo}))),
         kOne},
        {"no track number", file(el(0x1654AE6B, el(0xAE, num(0x83, 1)))), "absent"},
        {"codec id of 257 bytes refused, 256 kept",
         file(el(0x1654AE6B,
                 cat({entry(1, 17, std::string(257, 'S')), entry(2, 17, std::string(256, 'S'))}))),
         "type 17 1 -; type 17 2 " + std::string(256, 'S')},
        {"4-byte sampling frequency, display in centimetres, colour code point 256",
         file(el(
             0x1654AE6B,
             cat({audio,
                  entry(3, 1, "V",
                        el(0xE0, cat({num(0x54B0, 9), num(0x54BA, 5), num(0x54B2, 1), num(0x9A, 3),
                                      el(0x55B0, cat({num(0x55B1, 256), num(0x55BA, 255)}))})))}))),
         "audio 2 A_PCM/INT/LIT 48000 Hz 6 ch; video 3 V colour m- t255 p- r-"},
        {"10,000 nested elements inside an entry", file(el(0x1654AE6B, entry(1, 1, "V", nested))),
         "video 1 V"},
        {"10,000 nested unknown-size Clusters",
         file(many(10000, [](std::size_t) { return unknown(0x1F43B675); })), "absent"},
        {"Cluster before Tracks", file(cat({el(0x1F43B675, zeros(1000)), kTracks})), kOne},
        {"unknown-size Cluster before Tracks", file(cat({cluster, kTracks})), "absent"},
        {"unknown-size Cluster jumped over by the SeekHead",
         file(cat({seek(tracks_at), cluster, kTracks})), kOne},
        {"SeekHead pointing back", file(cat({seek(0), cluster, kTracks})), "absent"},
        // The DocType and the seven elements of Tracks make nine with the Voids.
        {"elements up to the limit, then Tracks",
         file(cat({first_voids(mkv::kMaxElements - 9), kTracks})), kOne},
        {"elements past the limit, then Tracks",
         file(cat({first_voids(mkv::kMaxElements - 8), kTracks})), "absent"},
        {"Tracks of 4 MiB", file(el(0x1654AE6B, cat({kVideo, el(0xEC, zeros(4 << 20))}))), kOne},
        {"Tracks past the read limit",
         file(el(0x1654AE6B, cat({kVideo, el(0xEC, zeros(mkv::kReadLimit))}))), "absent"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(summary(parse(c.bytes)), c.summary) << c.name;
}

// 100,000 tiny entries: the first kMaxTracks are kept.
TEST(MkvWalk, ManyTrackEntries) {
    const Bytes entries = many(100000, [](std::size_t i) { return el(0xAE, num(0xD7, i + 1)); });
    const std::optional<mkv::Tracks> tracks = parse(file(el(0x1654AE6B, entries)));
    ASSERT_TRUE(tracks);
    ASSERT_EQ(tracks->tracks.size(), mkv::kMaxTracks);
    EXPECT_EQ(tracks->tracks.back().number, mkv::kMaxTracks);
    EXPECT_EQ(mkv::first_video(*tracks), nullptr);
}

// A 20 GB sparse file costs the head read only.
TEST(MkvRead, HugeSparseFileReadsTheHeadOnly) {
    TempDir dir;
    const auto path = dir / "huge.mkv";
    write_file(path, read_file(kFormatSamples / "h264_bt709.mkv"));
    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(20'000'000'000)), 0);
    const io::Counts before = io::counts();
    const std::optional<mkv::Tracks> tracks = read_path(path);
    const io::Counts after = io::counts();
    ASSERT_TRUE(tracks);
    EXPECT_EQ(tracks, read_path(kFormatSamples / "h264_bt709.mkv"));
    EXPECT_LE(after.bytes - before.bytes, 64u << 10);
}
