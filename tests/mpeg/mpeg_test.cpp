#include "mpeg/mpeg.hpp"

#include "support/bytes.hpp"
#include "support/support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <string_view>
#include <type_traits>

using namespace testing_support;

namespace {

template <typename T> std::string or_dash(const std::optional<T>& value) {
    if (!value) return "-";
    if constexpr (std::is_same_v<T, std::string>)
        return *value;
    else if constexpr (std::is_same_v<T, mpeg::Rational>)
        return mpeg::to_text(*value);
    else if constexpr (std::is_same_v<T, mpeg::Size>)
        return std::to_string(value->width) + "x" + std::to_string(value->height);
    else
        return std::to_string(*value);
}

// A read in one line: container (with packet size), codec, size, rate, timecode, then each audio
// stream's format, rate and channels.
std::string summary(const std::optional<mpeg::Stream>& s) {
    if (!s) return "absent";
    const char* const containers[] = {"TS", "PS", "ES"};
    std::string out = containers[static_cast<int>(s->container)] + or_dash(s->packet_size);
    out += " " + or_dash(s->codec) + " " + or_dash(s->picture_size) + " " + or_dash(s->frame_rate) +
           " " + or_dash(s->timecode);
    for (const mpeg::Audio& a : s->audio)
        out += ", " + a.format + " " + or_dash(a.sample_rate) + " " + or_dash(a.channels);
    return out;
}

// Whether every value `part` gives is the one `whole` gives: a cut stream may lose values but
// must never change them.
bool within(const mpeg::Stream& part, const mpeg::Stream& whole) {
    const auto same = [](const auto& a, const auto& b) { return !a || a == b; };
    if (part.container != whole.container || part.packet_size != whole.packet_size ||
        !same(part.codec, whole.codec) || !same(part.frame_rate, whole.frame_rate) ||
        !same(part.picture_size, whole.picture_size) || !same(part.timecode, whole.timecode) ||
        part.audio.size() > whole.audio.size())
        return false;
    for (std::size_t i = 0; i < part.audio.size(); ++i)
        if (part.audio[i].format != whole.audio[i].format ||
            !same(part.audio[i].sample_rate, whole.audio[i].sample_rate) ||
            !same(part.audio[i].channels, whole.audio[i].channels))
            return false;
    return true;
}

// ---- Building streams ----

// A transport packet of `pid` holding `payload`, padded with 0xFF (cut at 184 bytes).
Bytes packet(unsigned pid, bool start, Bytes payload) {
    payload.resize(184, 0xFF);
    return cat({u8({0x47, static_cast<std::uint8_t>((start ? 0x40 : 0) | pid >> 8),
                    static_cast<std::uint8_t>(pid), 0x10}),
                payload});
}

// A PSI section after a zero pointer field: `table` with syntax, `body` and a CRC placeholder
// (not checked by the reader); `length` overrides the section length.
Bytes section(std::uint8_t table, const Bytes& body, int length = -1) {
    const unsigned n = length < 0 ? static_cast<unsigned>(body.size() + 9) : unsigned(length);
    return cat({u8({0, table, static_cast<std::uint8_t>(0xB0 | n >> 8), std::uint8_t(n)}),
                u8({0, 1, 0xC1, 0, 0}), body, zeros(4)});
}

Bytes pid13(unsigned pid) {
    return be16(static_cast<std::uint16_t>(0xE000 | pid));
}

Bytes pat(unsigned pmt_pid) {
    return packet(0, true, section(0x00, cat({be16(1), pid13(pmt_pid)})));
}

// A PMT on `pid` listing (stream type, PID) pairs without descriptors.
Bytes pmt(unsigned pid, std::initializer_list<std::pair<std::uint8_t, unsigned>> streams) {
    Bytes body = cat({pid13(0x1FFF), be16(0xF000)});
    for (const auto& [type, es_pid] : streams)
        body = cat({body, u8({type}), pid13(es_pid), be16(0xF000)});
    return packet(pid, true, section(0x02, body));
}

// A PES packet of stream `id` with an empty MPEG-2 header and the length field `length`.
Bytes pes(std::uint8_t id, std::uint16_t length, const Bytes& payload) {
    return cat({u8({0, 0, 1, id}), be16(length), u8({0x80, 0x00, 0x00}), payload});
}

Bytes from_hex(std::string_view hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(
            static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    return out;
}

// A transport stream whose one video stream, of stream `type`, holds `nal` after a start code.
Bytes ts_video(std::uint8_t type, const Bytes& nal) {
    const Bytes data = pes(0xE0, 0, cat({u8({0, 0, 0, 1}), nal}));
    Bytes out = cat({pat(0x100), pmt(0x100, {{type, 0x101}})});
    for (std::size_t at = 0; at < data.size(); at += 184)
        out = cat({out, packet(0x101, at == 0,
                               Bytes(data.begin() + static_cast<std::ptrdiff_t>(at),
                                     data.begin() + static_cast<std::ptrdiff_t>(
                                                        std::min(at + 184, data.size()))))});
    return out;
}

// Sequence parameter sets written by hand through the optional parts of their syntax, each
// read in full by ffmpeg 5.1's trace_headers with the same values. AVC: High profile with
// scaling lists (one ending early), POC type 1 with three offsets, fields, cropping, every VUI
// part; timing 1001/48000 (24000/1001 frames). HEVC: two sub-layers with their profile and level,
// conformance window, scaling lists (coded and copied), PCM, four reference picture sets of
// which three are predicted (one predicted picture drops out at delta 0, one set is empty),
// two long-term pictures, default display window; timing 1001/30000.
const Bytes kAvcSps =
    from_hex("67640028ada69a69a69a69c2214d34d34d34d34d34d34d34d34d34d34d34d34d34d34d34d3150a88"
             "43886227abffc0010000fd40404069c00000fa40002ee021");
const Bytes kHevcSps =
    from_hex("42010301600000030090000003000003005dc00001600000030090000003000003005aa020831d5e"
             "595caf7225d6b5ad68ab5ad6b455ad6b5a26b5ad6b5ad6b5ad6b5ad6b5ad6b455ad6b5ad6b5ad6b5"
             "ad6b5ad6b5a2ad6b5ad6b5ad6b5ad6b5ad6b5ad4cb5ad6b5ad6b5ad6b5ad6b5ad6b4532d6b5ad6b5"
             "ad6b5ad6b5ad6b5ad14cb5ad6b5ad6b5ad6b5ad6b5ad6b44ccb5ad6b5ad6b5ad6b5ad6b5ad6b5dde"
             "856b5adf4127b0584bffc00040005a808080f14b800001f480003a9804");

// A GOP header with time code 10:00:00:00.
const Bytes kGop = u8({0, 0, 1, 0xB8, 0x28, 0x08, 0x00, 0x00});
const Bytes kPack = u8({0, 0, 1, 0xBA, 0x44, 0, 4, 0, 4, 1, 1, 0x89, 0xC3, 0xF8});

} // namespace

TEST(MpegRead, FfmpegFixtures) {
    const std::pair<const char*, const char*> cases[] = {
        {"h264_25_aac.ts", "TS188 AVC 64x48 25/1 -, AAC 48000 2"},
        {"h264_2997i_ac3.m2ts", "TS192 AVC 64x64 30000/1001 -, AC-3 48000 2"},
        {"mpeg2_2997_ac3.m2ts", "TS192 MPEG-2 64x48 30000/1001 00:00:00:00, AC-3 48000 2"},
        {"mpeg2_25_tc_mp2mono24k.ts", "TS188 MPEG-2 64x48 25/1 10:00:00:00, MPEG audio 24000 1"},
        {"mpeg2_2997df_ac3_51.ts", "TS188 MPEG-2 64x48 30000/1001 01:00:00;00, AC-3 48000 6"},
        {"hevc_50_ac3mono.ts", "TS188 HEVC 64x48 50/1 -, AC-3 48000 1"},
        {"mpeg2_25_tc_mp2_ac3.mpg",
         "PS- MPEG-2 64x48 25/1 01:02:03:04, MPEG audio 48000 2, AC-3 48000 2"},
        {"mpeg1_24_mp2mono.mpg", "PS- MPEG-1 64x48 24/1 00:00:00:00, MPEG audio 44100 1"},
        {"mpeg2_25.mpg", "PS- MPEG-2 64x48 25/1 00:00:00:00"},
        {"mpeg2_15_tc.m2v", "ES- MPEG-2 64x48 15/1 00:00:01:14"},
    };
    EXPECT_EQ(summary(mpeg::read(ts_video(0x1B, kAvcSps))), "TS188 AVC 62x56 24000/1001 -");
    EXPECT_EQ(summary(mpeg::read(ts_video(0x24, kHevcSps))), "TS188 HEVC 62x44 30000/1001 -");
    // Headers far into the video stream are still read: collecting stops only once the ones
    // read so far lie whole within it (the GOP header here comes after 200 KiB of pictures).
    const Bytes filler(200 << 10, 0xFF);
    EXPECT_EQ(
        summary(mpeg::read(ts_video(0x1B, cat({u8({0x0C}), filler, u8({0, 0, 1}), kAvcSps})))),
        "TS188 AVC 62x56 24000/1001 -");
    const Bytes m2v = format_sample("mpeg2_15_tc.m2v");
    const auto gop = std::search(m2v.begin(), m2v.end(), kGop.begin(), kGop.begin() + 4);
    EXPECT_EQ(summary(mpeg::read(ts_video(0x02, cat({Bytes(m2v.begin() + 3, gop), filler, kGop})))),
              "TS188 MPEG-2 64x48 15/1 10:00:00:00");
    for (const auto& [file, expected] : cases) {
        const Bytes bytes = format_sample(file);
        const std::optional<mpeg::Stream> whole = mpeg::read(bytes);
        EXPECT_EQ(summary(whole), expected) << file;
        if (!whole) continue;
        // Cut anywhere (at every byte of the first KiB, where the headers lie), each file gives
        // absent or a part of its values.
        for (std::size_t n = 0; n < bytes.size(); n += n < 1024 ? 1 : 5) {
            const Bytes cut(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
            const std::optional<mpeg::Stream> part = mpeg::read(cut);
            EXPECT_TRUE(!part || within(*part, *whole)) << file << " cut at " << n;
        }
    }
}

TEST(MpegRead, HostileInputGivesAbsentOrPart) {
    const Bytes ts = format_sample("mpeg2_25_tc_mp2mono24k.ts");
    const std::string ts_whole = "TS188 MPEG-2 64x48 25/1 10:00:00:00, MPEG audio 24000 1";
    const auto at = [&](std::size_t packets) {
        return ts.begin() + static_cast<std::ptrdiff_t>(packets * 188);
    };
    Bytes every_189; // a stray byte after every packet
    for (std::size_t i = 0; i + 1 < ts.size() / 188; ++i)
        every_189 = cat({every_189, Bytes(at(i), at(i + 1)), u8({0x47})});
    Bytes repeated_pmt = pat(0x100);
    for (int i = 0; i < 3000; ++i)
        repeated_pmt = cat({repeated_pmt, pmt(0x100, {{0x1B, 0x100}, {0x04, 0}})});
    struct Case {
        const char* name;
        Bytes bytes;
        std::string summary;
    };
    const Case cases[] = {
        {"empty", {}, "absent"},
        {"one sync byte", u8({0x47}), "absent"},
        {"garbage", Bytes(5000, 0x5A), "absent"},
        {"sync bytes only", Bytes(188 * 20, 0x47), "absent"},
        {"junk between packets: resynchronised",
         cat({Bytes(ts.begin(), at(3)), u8({1, 2, 3}), Bytes(at(3), ts.end())}), ts_whole},
        {"leading junk", cat({Bytes(100, 0x47), ts}), ts_whole},
        {"packets of 189 bytes", every_189, "absent"},
        {"PMT lists itself and the PAT, again and again", repeated_pmt, "absent"},
        {"PMT without PES: the stream type gives the codec",
         cat({pat(0x100), pmt(0x100, {{0x1B, 0x101}, {0x81, 0x102}})}),
         "TS188 AVC - - -, AC-3 - -"},
        {"PAT section length 4095",
         cat({packet(0, true, section(0x00, cat({be16(1), pid13(0x100)}), 0xFFF)),
              pmt(0x100, {{0x02, 0x101}}), Bytes(188 * 100, 0x47)}),
         "absent"},
        {"PMT section length past the packet",
         cat({pat(0x100), packet(0x100, true,
                                 section(0x02,
                                         cat({pid13(0x1FFF), be16(0xF000), u8({0x02}), pid13(0x101),
                                              be16(0xF000)}),
                                         1000))}),
         "absent"},
        {"PES length past the end (transport)",
         cat({pat(0x100), pmt(0x100, {{0x02, 0x101}}),
              packet(0x101, true, pes(0xE0, 60000, kGop))}),
         "TS188 MPEG-2 - - 10:00:00:00"},
        {"PES length past the end (program)", cat({kPack, pes(0xE0, 60000, kGop)}),
         "PS- - - - 10:00:00:00"},
        {"PES header longer than its packet",
         cat({kPack, u8({0, 0, 1, 0xE0, 0, 5, 0x80, 0x00, 0xFF}), kGop}), "absent"},
        {"packs only", cat({kPack, kPack, kPack, kPack}), "absent"},
        {"unknown private substream", cat({kPack, pes(0xBD, 12, cat({u8({0x20, 1, 0, 1}), kGop}))}),
         "absent"},
        {"sequence header at the end: codec unknown",
         u8({0, 0, 1, 0xB3, 4, 0, 0x30, 0x23, 0xFF, 0xFF, 0xE0, 0x18}), "absent"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(summary(mpeg::read(c.bytes)), c.summary) << c.name;

    // A PMT over two packets listing 40 audio streams: the first 32 are kept.
    Bytes body = cat({pid13(0x1FFF), be16(0xF000)});
    for (unsigned pid = 0x200; pid < 0x228; ++pid)
        body = cat({body, u8({0x03}), pid13(pid), be16(0xF000)});
    const Bytes map = section(0x02, body);
    const auto split = map.begin() + 184;
    const std::optional<mpeg::Stream> many =
        mpeg::read(cat({pat(0x100), packet(0x100, true, Bytes(map.begin(), split)),
                        packet(0x100, false, Bytes(split, map.end()))}));
    ASSERT_TRUE(many);
    EXPECT_EQ(many->audio.size(), 32u);
}
