#include "mxf/internal.hpp"

#include "io/internal.hpp"
#include "support/bytes.hpp"
#include "support/support.hpp"
#include "tmcd/tmcd.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace testing_support;

namespace {

// The header read from `bytes` in memory.
std::optional<mxf::Header> parse(const Bytes& bytes) {
    return mxf::read(io::ByteSource(bytes));
}

// The header read from the file at `path`, opened the way a scan does; absent when it does not
// open.
std::optional<mxf::Header> read_path(const std::filesystem::path& path) {
    const std::optional<io::ByteSource> source = io::open_source(path);
    if (!source) return std::nullopt;
    return mxf::read(*source);
}

// What a read gave, in one line: the timecode as text with its base, the rate, the family.
std::string summary(const std::optional<mxf::Header>& h) {
    if (!h) return "absent";
    std::string out = "tc ";
    if (h->timecode)
        out += tmcd::counter_to_tc(h->timecode->start, h->timecode->rounded_base,
                                   h->timecode->drop_frame ? tmcd::DropFrame::Yes
                                                           : tmcd::DropFrame::No) +
               "@" + std::to_string(h->timecode->rounded_base);
    else
        out += "-";
    out += " rate " + (h->sample_rate ? mxf::to_text(*h->sample_rate) : "-");
    out += " coding ";
    if (h->picture_coding)
        out += mxf::codec_family(*h->picture_coding).value_or("unknown");
    else
        out += "-";
    return out;
}

// The picture's layout, display and stored sizes and colour code points in one line.
std::string picture(const std::optional<mxf::Header>& h) {
    if (!h) return "absent";
    auto num = [](const auto& v) { return v ? std::to_string(static_cast<int>(*v)) : "-"; };
    auto size = [](const std::optional<mxf::Size>& v) {
        return v ? std::to_string(v->width) + "x" + std::to_string(v->height) : "-";
    };
    return "layout " + num(h->frame_layout) + " display " + size(h->display_size) + " stored " +
           size(h->stored_size) + " colour " + num(h->color_primaries) + "/" +
           num(h->transfer_characteristic) + "/" + num(h->coding_equations);
}

// The sound's channels and sampling rate: "2@48000/1".
std::string sound(const std::optional<mxf::Header>& h) {
    if (!h) return "absent";
    return (h->channel_count ? std::to_string(*h->channel_count) : "-") + "@" +
           (h->audio_sample_rate ? mxf::to_text(*h->audio_sample_rate) : "-");
}

// ---- Building header partitions ----

mxf::Label key(std::uint8_t b4, std::uint8_t b5, std::initializer_list<std::uint8_t> rest) {
    mxf::Label k{0x06, 0x0E, 0x2B, 0x34, b4, b5, 0x01, 0x01};
    std::copy(rest.begin(), rest.end(), k.begin() + 8);
    return k;
}

const mxf::Label kHeaderPack = key(0x02, 0x05, {0x0D, 0x01, 0x02, 0x01, 0x01, 0x02, 0x04, 0x00});
const mxf::Label kBodyPack = key(0x02, 0x05, {0x0D, 0x01, 0x02, 0x01, 0x01, 0x03, 0x04, 0x00});
const mxf::Label kPrimer = key(0x02, 0x05, {0x0D, 0x01, 0x02, 0x01, 0x01, 0x05, 0x01, 0x00});
const mxf::Label kFill = key(0x01, 0x01, {0x03, 0x01, 0x02, 0x10, 0x01, 0x00, 0x00, 0x00});

// A BER length: the short form below 128 unless `bytes` asks for a long form of that many.
Bytes ber(std::uint64_t length, int bytes = 0) {
    if (bytes == 0 && length < 0x80) return u8({static_cast<std::uint8_t>(length)});
    if (bytes == 0)
        for (std::uint64_t rest = length; rest != 0; rest >>= 8)
            ++bytes;
    Bytes out{static_cast<std::uint8_t>(0x80 | bytes)};
    for (int i = bytes - 1; i >= 0; --i)
        out.push_back(i < 8 ? static_cast<std::uint8_t>(length >> (8 * i)) : 0);
    return out;
}

Bytes klv(const mxf::Label& k, const Bytes& value, int ber_bytes = 0) {
    return cat({Bytes(k.begin(), k.end()), ber(value.size(), ber_bytes), value});
}

Bytes item(std::uint16_t tag, const Bytes& value) {
    return cat({be16(tag), be16(static_cast<std::uint16_t>(value.size())), value});
}

Bytes uid(std::uint8_t n) {
    Bytes out(16, 0xA0);
    out[15] = n;
    return out;
}

Bytes refs(std::initializer_list<std::uint8_t> ns) {
    Bytes out = cat({be32(static_cast<std::uint32_t>(ns.size())), be32(16)});
    for (std::uint8_t n : ns)
        out = cat({out, uid(n)});
    return out;
}

// A structural set of type `type` (byte 15 of the key) holding InstanceUID `n` and `items`.
Bytes set(std::uint8_t type, std::uint8_t n, const Bytes& items, int ber_bytes = 0) {
    return klv(key(0x02, 0x53, {0x0D, 0x01, 0x01, 0x01, 0x01, 0x01, type, 0x00}),
               cat({item(0x3C0A, uid(n)), items}), ber_bytes);
}

Bytes rational(std::int32_t n, std::int32_t d) {
    return cat({be32(static_cast<std::uint32_t>(n)), be32(static_cast<std::uint32_t>(d))});
}

const Bytes kMpeg2Label = u8({0x06, 0x0E, 0x2B, 0x34, 0x04, 0x01, 0x01, 0x03, 0x04, 0x01, 0x02,
                              0x02, 0x01, 0x01, 0x11, 0x00});
const Bytes kJ2kLabel = u8({0x06, 0x0E, 0x2B, 0x34, 0x04, 0x01, 0x01, 0x07, 0x04, 0x01, 0x02, 0x02,
                            0x03, 0x01, 0x01, 0x00});

Bytes timecode(std::int64_t start, std::uint16_t base, std::uint8_t drop) {
    return cat({item(0x1501, be64(static_cast<std::uint64_t>(start))), item(0x1502, be16(base)),
                item(0x1503, u8({drop}))});
}

// Track `n` whose sequence n+1 holds the timecode component n+2.
Bytes tc_track(std::uint8_t n, const Bytes& component_items) {
    return cat({set(0x3B, n, item(0x4803, uid(n + 1))),
                set(0x0F, n + 1, item(0x1001, refs({static_cast<std::uint8_t>(n + 2)}))),
                set(0x14, n + 2, component_items)});
}

// CDCI descriptor `n`.
Bytes picture(std::uint8_t n, const Bytes& rate, const Bytes& label) {
    return set(0x28, n, cat({item(0x3001, rate), item(0x3201, label)}));
}

// Preface 1 -> content storage 2 -> material package 3 (tracks 10) and source package 4
// (tracks 30, descriptor 20); `sets` supplies those.
Bytes structure(const Bytes& sets, const Bytes& storage_refs = refs({3, 4})) {
    return cat({set(0x2F, 1, item(0x3B03, uid(2))), set(0x18, 2, item(0x1901, storage_refs)),
                set(0x36, 3, item(0x4403, refs({10}))),
                set(0x37, 4, cat({item(0x4403, refs({30})), item(0x4701, uid(20))})), sets});
}

const Bytes kClipSets =
    cat({tc_track(10, timecode(93079, 25, 0)), picture(20, rational(25, 1), kMpeg2Label)});

// A width item at `tag` and its height at the tag before (stored, sampled, display).
Bytes dims(std::uint16_t tag, std::uint32_t width, std::uint32_t height) {
    return cat({item(tag, be32(width)), item(static_cast<std::uint16_t>(tag - 1), be32(height))});
}

const Bytes kUmid(32, 0x5A);

// Material package 3 (tracks 10, 13, 16) and source package 4 (kUmid, descriptor 20), and
// `sets`; material track n leads through sequence n+1 to source clip n+2.
Bytes av(const Bytes& sets) {
    return cat({set(0x2F, 1, item(0x3B03, uid(2))), set(0x18, 2, item(0x1901, refs({3, 4}))),
                set(0x36, 3, item(0x4403, refs({10, 13, 16}))),
                set(0x37, 4, cat({item(0x4401, kUmid), item(0x4701, uid(20))})), sets});
}
Bytes clip_track(std::uint8_t n, std::uint32_t track, const Bytes& umid = kUmid) {
    return cat({set(0x3B, n, item(0x4803, uid(n + 1))),
                set(0x0F, n + 1, item(0x1001, refs({static_cast<std::uint8_t>(n + 2)}))),
                set(0x11, n + 2, cat({item(0x1101, umid), item(0x1102, be32(track))}))});
}

// Wave descriptor n linked to `track`, of `channels` at `rate` Hz.
Bytes wave(std::uint8_t n, std::uint32_t track, std::uint32_t channels, std::int32_t rate) {
    return set(0x48, n,
               cat({item(0x3006, be32(track)), item(0x3D07, be32(channels)),
                    item(0x3D03, rational(rate, 1))}));
}

struct Layout {
    Bytes run_in;
    Bytes primer_entries; // 18-byte entries
    std::uint32_t primer_count = 0;
    std::uint32_t primer_item_size = 18;
    int ber_bytes = 0;                         // long-form lengths for the packs
    std::optional<std::uint64_t> header_bytes; // else the real count

    Layout& with_run_in(std::size_t n) { return run_in = zeros(n), *this; }
    Layout& with_primer(const Bytes& entries, std::uint32_t count, std::uint32_t size = 18) {
        primer_entries = entries, primer_count = count, primer_item_size = size;
        return *this;
    }
    Layout& with_ber_bytes(int n) { return ber_bytes = n, *this; }
    Layout& with_header_bytes(std::uint64_t n) { return header_bytes = n, *this; }
};

// A file's beginning: run-in, header partition pack, fill, primer pack and `metadata`.
Bytes file(const Bytes& metadata, const Layout& layout = {}) {
    const Bytes primer =
        klv(kPrimer,
            cat({be32(layout.primer_count), be32(layout.primer_item_size), layout.primer_entries}),
            layout.ber_bytes);
    const std::uint64_t count = layout.header_bytes.value_or(primer.size() + metadata.size());
    const Bytes pack = cat({be16(1), be16(3), be32(1), be64(0), be64(0), be64(0), be64(count),
                            be64(0), be32(0), be64(0), be32(0), zeros(16), be32(0), be32(16)});
    return cat({layout.run_in, klv(kHeaderPack, pack, layout.ber_bytes), klv(kFill, zeros(20)),
                primer, metadata});
}

// The header byte count of `metadata` behind an empty primer pack.
std::uint64_t count_of(const Bytes& metadata) {
    return klv(kPrimer, cat({be32(0), be32(18)})).size() + metadata.size();
}

} // namespace

TEST(MxfSamples, FfmpegFixtures) {
    struct Case {
        const char* file;
        std::string summary;
        std::string picture;
        std::string sound = "-@-";
    };
    const std::string mpeg2 = "tc 00:00:00:00@25 rate 25/1 coding MPEG-2";
    const std::string square = "layout 0 display 64x64 stored 64x64 colour ";
    const std::string dnxhr = "layout 0 display 256x120 stored 256x128 colour -/-/-";
    const Case cases[] = {
        {"mpeg2_25p.mxf", "tc 01:02:03:04@25 rate 25/1 coding MPEG-2", square + "-/-/-"},
        {"dnxhr_lb_23976.mxf", "tc 01:00:00:00@24 rate 24000/1001 coding DNxHD", dnxhr},
        {"h264_2997df.mxf", "tc 00:59:59;28@30 rate 30000/1001 coding AVC", square + "-/-/-"},
        {"jpeg2000_50p.mxf", "tc 10:11:12:13@50 rate 50/1 coding JPEG 2000", square + "-/-/-"},
        // Picture and sound in a multiple descriptor.
        {"mpeg2_5994df.mxf", "tc 00:10:00;02@60 rate 60000/1001 coding MPEG-2", square + "-/-/-",
         "1@48000/1"},
        {"mpeg2_320x180.mxf", mpeg2, "layout 0 display 320x180 stored 320x192 colour -/-/-"},
        // Heights of one field in the file.
        {"mpeg2_25i_tff.mxf", mpeg2, "layout 1 display 64x64 stored 64x64 colour -/-/-"},
        {"d10_720x608_25i.mxf", mpeg2, "layout 1 display 720x576 stored 720x608 colour -/-/-"},
        {"mpeg2_pcm_stereo.mxf", mpeg2, square + "-/-/-", "2@48000/1"},
        {"dnxhr_lb_opatom.mxf", "tc 00:00:00:00@25 rate 25/1 coding DNxHD", dnxhr},
        {"pcm_s24_opatom.mxf", "tc 00:00:00:00@25 rate - coding -",
         "layout - display - stored - colour -/-/-", "1@48000/1"},
        {"mpeg2_bt709.mxf", mpeg2, square + "1/1/1"},
        {"mpeg2_pq.mxf", mpeg2, square + "9/16/9"},
        {"mpeg2_hlg.mxf", mpeg2, square + "9/18/9"},
        {"mpeg2_bt601.mxf", mpeg2, square + "6/1/6"},
    };
    for (const Case& c : cases) {
        const auto header = read_path(kFormatSamples / c.file);
        EXPECT_EQ(summary(header), c.summary) << c.file;
        EXPECT_EQ(picture(header), c.picture) << c.file;
        EXPECT_EQ(sound(header), c.sound) << c.file;
        EXPECT_EQ(parse(format_sample(c.file)), header) << c.file;
    }
}

TEST(MxfWalk, HeaderMetadataLayouts) {
    const std::string clip = "tc 01:02:03:04@25 rate 25/1 coding MPEG-2";
    // Tag 0x8001 listed for the sample rate; tag 0x3001 listed as something else.
    const Bytes dynamic_rate = cat({be16(0x8001), u8({0x06, 0x0E, 0x2B, 0x34, 0x01, 0x01, 0x01,
                                                      0x01, 0x04, 0x06, 0x01, 0x01, 0, 0, 0, 0})});
    const Bytes other_3001 = cat({be16(0x3001), zeros(16)});
    struct Case {
        const char* name;
        Bytes bytes;
        std::string summary;
    };
    const Case cases[] = {
        {"short lengths", file(structure(kClipSets)), clip},
        {"long-form lengths (1, 3 and 8 bytes)",
         file(cat({set(0x2F, 1, item(0x3B03, uid(2)), 1),
                   set(0x18, 2, item(0x1901, refs({3, 4})), 3),
                   set(0x36, 3, item(0x4403, refs({10})), 8),
                   set(0x37, 4, cat({item(0x4403, refs({30})), item(0x4701, uid(20))}), 4),
                   kClipSets}),
              Layout().with_ber_bytes(8)),
         clip},
        {"run-in of 65535 bytes", file(structure(kClipSets), Layout().with_run_in(65535)), clip},
        {"run-in of 65536 bytes", file(structure(kClipSets), Layout().with_run_in(65536)),
         "absent"},
        {"primer maps a dynamic tag",
         file(structure(
                  cat({tc_track(10, timecode(93079, 25, 0)),
                       set(0x28, 20,
                           cat({item(0x8001, rational(50, 1)), item(0x3001, rational(25, 1))}))})),
              Layout().with_primer(cat({dynamic_rate, other_3001}), 2)),
         "tc 01:02:03:04@25 rate 50/1 coding -"},
        {"walk ends at the next partition",
         cat({file(structure(kClipSets), Layout().with_header_bytes(100000)),
              klv(kBodyPack, zeros(88)), zeros(100000)}),
         clip},
        {"track refers to the component directly (29.97 drop frame)",
         file(structure(
             cat({set(0x3B, 10, item(0x4803, uid(12))), set(0x14, 12, timecode(107890, 30, 1))}))),
         "tc 00:59:59;28@30 rate - coding -"},
        {"only the source package has a timecode (59.94 drop frame)",
         file(structure(
             cat({set(0x3B, 30, item(0x4803, uid(31))), set(0x0F, 31, item(0x1001, refs({32}))),
                  set(0x14, 32, timecode(35966, 60, 1))}))),
         "tc 00:10:00;02@60 rate - coding -"},
        {"the material package's timecode wins",
         file(structure(cat({kClipSets, set(0x3B, 30, item(0x4803, uid(31))),
                             set(0x0F, 31, item(0x1001, refs({32}))),
                             set(0x14, 32, timecode(35966, 60, 1))}))),
         clip},
        {"timecode track without a component",
         file(structure(
             cat({set(0x3B, 10, item(0x4803, uid(11))), set(0x0F, 11, item(0x1001, refs({}))),
                  picture(20, rational(25, 1), kMpeg2Label)}))),
         "tc - rate 25/1 coding MPEG-2"},
        {"two picture descriptors: the first referenced",
         file(structure(cat({set(0x44, 20, item(0x3F01, refs({22, 21}))),
                             picture(21, rational(50, 1), kJ2kLabel),
                             picture(22, rational(25, 1), kMpeg2Label)}))),
         "tc - rate 25/1 coding MPEG-2"},
        {"shared and circular references",
         file(structure(cat({set(0x3B, 10, item(0x4803, uid(11))),
                             set(0x0F, 11, item(0x1001, refs({11, 10, 11}))),
                             set(0x44, 20, item(0x3F01, refs({20, 20})))}),
                        refs({3, 3, 4, 3, 4}))),
         "tc - rate - coding -"},
        {"zero denominator", file(structure(picture(20, rational(25, 0), kMpeg2Label))),
         "tc - rate - coding MPEG-2"},
        {"no preface", file(cat({set(0x18, 2, item(0x1901, refs({3, 4}))), kClipSets})),
         "tc - rate - coding -"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(summary(parse(c.bytes)), c.summary) << c.name;
}

TEST(MxfWalk, BadInputGivesAbsent) {
    const Bytes good = format_sample("mpeg2_25p.mxf"); // pack 0..155, fill to 512, metadata to 5120
    const Bytes lying_item =
        cat({set(0x3B, 10, item(0x4803, uid(11))), set(0x0F, 11, item(0x1001, refs({12}))),
             set(0x14, 12, cat({timecode(93079, 25, 0), be16(0x1501), be16(40), be64(0)})),
             picture(20, rational(25, 1), kMpeg2Label)});
    const mxf::Label cdci = key(0x02, 0x53, {0x0D, 0x01, 0x01, 0x01, 0x01, 0x01, 0x28, 0x00});
    const Bytes huge_length = cat({Bytes(cdci.begin(), cdci.end()), u8({0x88}), Bytes(8, 0xFF)});
    const Bytes clip = structure(kClipSets);
    auto cut = [&](std::size_t n) { return Bytes(good.begin(), good.begin() + n); };
    struct Case {
        const char* name;
        Bytes bytes;
        std::string summary;
    };
    const Case cases[] = {
        {"cut inside the partition pack key", cut(10), "absent"},
        {"cut inside the partition pack", cut(100), "absent"},
        {"cut inside the fill", cut(300), "absent"},
        {"cut inside the primer pack", cut(700), "absent"},
        {"cut inside the sets", cut(3000), "absent"},
        {"cut one byte before the metadata's end", cut(5119), "absent"},
        {"cut at the metadata's end", cut(5120), "tc 01:02:03:04@25 rate 25/1 coding MPEG-2"},
        {"zero length", {}, "absent"},
        {"garbage", Bytes(5000, 0x5A), "absent"},
        {"not MXF", ascii("RIFF....AVI LIST this is no material exchange format"), "absent"},
        {"footer partition only",
         klv(key(0x02, 0x05, {0x0D, 0x01, 0x02, 0x01, 0x01, 0x04, 0x04, 0}), zeros(88)), "absent"},
        {"partition pack too short", klv(kHeaderPack, zeros(87)), "absent"},
        {"header byte count zero", file(clip, Layout().with_header_bytes(0)), "absent"},
        {"header byte count past the end",
         file(clip, Layout().with_header_bytes(count_of(clip) + 1)), "absent"},
        {"set length of 2^64-1", file(cat({clip, huge_length})), "absent"},
        {"set length in 9 bytes", file(cat({clip, set(0x28, 40, {}, 9)})), "absent"},
        {"indefinite length", file(cat({clip, Bytes(kFill.begin(), kFill.end()), u8({0x80})})),
         "absent"},
        {"set length past the metadata's end",
         file(clip, Layout().with_header_bytes(count_of(clip) - 1)), "absent"},
        {"primer entries of 17 bytes", file(clip, Layout().with_primer({}, 0, 17)), "absent"},
        {"not a SMPTE key in the metadata", file(cat({clip, zeros(40)})), "absent"},
        {"item length past its set: the set is passed over", file(structure(lying_item)),
         "tc - rate 25/1 coding MPEG-2"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(summary(parse(c.bytes)), c.summary) << c.name;
        TempDir dir;
        write_file(dir / "clip.mxf", to_string(c.bytes));
        EXPECT_EQ(summary(read_path(dir / "clip.mxf")), c.summary) << c.name << " (file)";
    }
}

TEST(MxfDescriptors, PictureAndSound) {
    auto pic = [](const Bytes& items) { return file(structure(set(0x28, 20, items))); };
    auto layout = [](std::uint8_t value) { return item(0x320C, u8({value})); };
    // Multiple descriptor 20 over the sub-descriptors `subs`.
    auto multi = [](std::initializer_list<std::uint8_t> subs, const Bytes& sets) {
        return file(av(cat({set(0x44, 20, item(0x3F01, refs(subs))), sets})));
    };
    const Bytes hd = cat({dims(0x3203, 1920, 1088), dims(0x3205, 1440, 1080)});
    const Bytes to_2_and_3 = cat({clip_track(10, 2), clip_track(13, 3)});
    const std::string none = "layout - display - stored - colour -/-/- sound ";
    struct Case {
        const char* name;
        Bytes bytes;
        std::string picture_sound;
    };
    const Case cases[] = {
        {"display size first", pic(cat({hd, dims(0x3209, 1920, 1080), layout(0)})),
         "layout 0 display 1920x1080 stored 1920x1088 colour -/-/- sound -@-"},
        {"no display size", pic(hd),
         "layout - display 1440x1080 stored 1920x1088 colour -/-/- sound -@-"},
        {"stored size, single field", pic(cat({dims(0x3203, 720, 304), layout(2)})),
         "layout 2 display 720x304 stored 720x304 colour -/-/- sound -@-"},
        {"mixed fields", pic(cat({dims(0x3203, 720, 304), dims(0x3209, 720, 288), layout(3)})),
         "layout 3 display 720x576 stored 720x608 colour -/-/- sound -@-"},
        {"zero sizes, a width of 3 bytes, a layout of 2, labels of 15 and 17 bytes or not colour",
         pic(cat({dims(0x3203, 0, 1088), item(0x3209, u8({0, 7, 0x80})), item(0x3208, be32(1080)),
                  dims(0x3205, 1920, 0), item(0x320C, u8({1, 0})), item(0x3219, zeros(15)),
                  item(0x3210, zeros(17)), item(0x321A, kMpeg2Label)})),
         none + "-@-"},
        {"field height too large to double",
         pic(cat({dims(0x3203, 720, 0x80000000), dims(0x3209, 720, 288), layout(1)})),
         "layout 1 display 720x576 stored - colour -/-/- sound -@-"},
        {"descriptor cut inside an item: passed over",
         pic(cat({dims(0x3203, 720, 576), be16(0x3209), be16(8), be32(720)})), none + "-@-"},
        {"sound summed over the tracks (track 2 twice, 9 unused), the first track's rate",
         multi({22, 23, 24},
               cat({clip_track(10, 3), clip_track(13, 2), clip_track(16, 2), wave(22, 2, 2, 48000),
                    wave(23, 3, 4, 96000), wave(24, 9, 8, 48000)})),
         none + "6@96000/1"},
        {"a count of 2 bytes and a zero denominator in the first",
         multi({22, 23}, cat({to_2_and_3, wave(23, 3, 2, 96000),
                              set(0x47, 22,
                                  cat({item(0x3006, be32(2)), item(0x3D07, be16(2)),
                                       item(0x3D03, rational(48000, 0))}))})),
         none + "-@-"},
        {"channel counts past 32 bits",
         multi({22, 23}, cat({to_2_and_3, wave(22, 2, 2, 48000), wave(23, 3, 0xFFFFFFFF, 48000)})),
         none + "-@48000/1"},
        {"clips naming another package and a UMID of 31 bytes",
         multi({22}, cat({clip_track(10, 2, Bytes(32, 0x11)), clip_track(13, 2, Bytes(31, 0x5A)),
                          wave(22, 2, 2, 48000)})),
         none + "-@-"},
    };
    for (const Case& c : cases) {
        const auto header = parse(c.bytes);
        EXPECT_EQ(picture(header) + " sound " + sound(header), c.picture_sound) << c.name;
    }
}

// Labels the fixtures do not carry, and labels of no code point (primaries/transfer/equations).
TEST(MxfColour, CodePointsOfLabels) {
    auto codes = [](std::uint8_t version, std::uint8_t family, std::uint8_t value,
                    std::uint8_t byte14 = 0) {
        const mxf::Label l{6, 0x0E, 0x2B, 0x34, 4,      1,     1,     version,
                           4, 1,    1,    1,    family, value, byte14};
        auto num = [](std::optional<int> v) { return v ? std::to_string(*v) : "-"; };
        return num(mxf::primaries_code(l)) + "/" + num(mxf::transfer_code(l)) + "/" +
               num(mxf::equations_code(l));
    };
    EXPECT_EQ(codes(0x06, 3, 0x02) + " " + codes(0x0D, 3, 0x06) + " " + codes(0x0D, 3, 0x0A),
              "5/-/- 12/-/- 11/-/-"); // BT.601 625, P3 D65, DCI-P3
    EXPECT_EQ(codes(0x01, 1, 0x01) + " " + codes(0x06, 1, 0x06) + " " + codes(0x0E, 1, 0x09),
              "-/5/- -/8/- -/14/-"); // BT.470 B and G, linear, BT.2020
    EXPECT_EQ(codes(0x0D, 2, 0x05) + " " + codes(0x0D, 3, 0x07) + " " + codes(0x01, 1, 2, 1) + " " +
                  codes(0x01, 4, 0x02),
              "-/-/0 -/-/- -/-/- -/-/-"); // GBR; no code point, a byte past the item, a family
}

TEST(MxfRead, UnreadablePathsAndFifo) {
    TempDir dir;
    EXPECT_FALSE(read_path(dir / "missing.mxf"));
    EXPECT_FALSE(read_path(dir.path));
    const auto fifo = dir / "pipe.mxf";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::optional<mxf::Header> header{mxf::Header{}};
    EXPECT_EQ(blocking_open({fifo}, [&] { header = read_path(fifo); }), "");
    EXPECT_FALSE(header);
}

// Header metadata of exactly 16 MiB is read; one byte more is refused.
TEST(MxfRead, HeaderMetadataLimit) {
    const Bytes metadata = structure(kClipSets);
    // A fill item pads the metadata to the limit: its key, a 5-byte length, then zeros.
    const std::uint64_t fill = mxf::kMaxHeaderBytes - count_of(metadata) - 16 - 5;
    for (std::uint64_t extra : {0, 1}) {
        TempDir dir;
        const auto path = dir / "big.mxf";
        const Bytes bytes =
            cat({file(metadata, Layout().with_header_bytes(mxf::kMaxHeaderBytes + extra)),
                 Bytes(kFill.begin(), kFill.end()), ber(fill + extra, 4)});
        write_file(path, to_string(bytes));
        ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(bytes.size() + fill + extra + 1000)),
                  0);
        EXPECT_EQ(summary(read_path(path)),
                  extra == 0 ? "tc 01:02:03:04@25 rate 25/1 coding MPEG-2" : "absent")
            << extra;
    }
}

// A 20 GB sparse clip costs the header reads only.
TEST(MxfRead, HugeSparseFileReadsTheHeaderOnly) {
    TempDir dir;
    const auto path = dir / "huge.mxf";
    write_file(path, read_file(kFormatSamples / "mpeg2_25p.mxf"));
    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(20'000'000'000)), 0);
    const io::Counts before = io::counts();
    const auto header = read_path(path);
    const io::Counts after = io::counts();
    EXPECT_EQ(summary(header), "tc 01:02:03:04@25 rate 25/1 coding MPEG-2");
    EXPECT_EQ(after.opens - before.opens, 1u);
    EXPECT_LE(after.reads - before.reads, 4u);
    EXPECT_LE(after.bytes - before.bytes, 128u << 10);
}

TEST(MxfCodec, FamiliesOfPictureCodingLabels) {
    auto label = [](std::uint8_t version, std::initializer_list<std::uint8_t> node) {
        mxf::Label l{0x06, 0x0E, 0x2B, 0x34, 0x04, 0x01, 0x01, version};
        std::copy(node.begin(), node.end(), l.begin() + 8);
        return l;
    };
    struct Case {
        mxf::Label label;
        std::optional<std::string> family;
    };
    const Case cases[] = {
        {label(0x03, {0x04, 0x01, 0x02, 0x02, 0x01, 0x01, 0x11, 0x00}), "MPEG-2"}, // MP@ML
        {label(0x01, {0x04, 0x01, 0x02, 0x02, 0x01, 0x02, 0x01, 0x01}), "MPEG-2"}, // D-10
        {label(0x03, {0x04, 0x01, 0x02, 0x02, 0x01, 0x04, 0x03, 0x00}), "MPEG-2"}, // 422P@HL
        {label(0x0A, {0x04, 0x01, 0x02, 0x02, 0x01, 0x32, 0x21, 0x01}), "AVC"},    // AVC-Intra 50
        {label(0x0D, {0x04, 0x01, 0x02, 0x02, 0x01, 0x31, 0x40, 0x01}), "AVC"},    // High
        {label(0x0D, {0x04, 0x01, 0x02, 0x02, 0x01, 0x41, 0x20, 0x01}), "HEVC"},   // Main 10
        {label(0x0D, {0x04, 0x01, 0x02, 0x02, 0x03, 0x06, 0x03, 0x00}), "ProRes"}, // 422
        {label(0x0A, {0x04, 0x01, 0x02, 0x02, 0x71, 0x01, 0x00, 0x00}), "DNxHD"},  // VC-3 1235
        {label(0x0D, {0x04, 0x01, 0x02, 0x02, 0x03, 0x01, 0x08, 0x01}), "JPEG 2000"},    // HTJ2K
        {label(0x0A, {0x04, 0x01, 0x02, 0x01, 0x01, 0x02, 0x02, 0x01}), "Uncompressed"}, // v210
        {label(0x01, {0x04, 0x01, 0x02, 0x02, 0x02, 0x01, 0x02, 0x00}), std::nullopt},   // DV
        {label(0x03, {0x04, 0x01, 0x02, 0x02, 0x01, 0x20, 0x02, 0x03}), std::nullopt},   // MPEG-4
        {label(0x01, {0x04, 0x02, 0x02, 0x01, 0x00, 0x00, 0x00, 0x00}), std::nullopt},   // sound
        {mxf::Label{}, std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(mxf::codec_family(c.label), c.family) << c.family.value_or("none");
    EXPECT_EQ(mxf::to_text({24000, 1001}), "24000/1001");
}
