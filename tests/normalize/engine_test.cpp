#include <gtest/gtest.h>

#include <tuple>

#include "json_writer/json_writer.hpp"
#include "normalize/internal.hpp"
#include "normalize/normalize.hpp"
#include "normalize/tags.hpp"

namespace {

const Field& get(const std::vector<Field>& fields, std::string_view id) {
    if (const Field* f = model::find_field(fields, id)) return *f;
    static const Field none{};
    ADD_FAILURE() << "no field " << id;
    return none;
}

std::vector<Field> build(const std::vector<RawTag>& tags,
                         const std::optional<tmcd::StartTimecode>& tc = std::nullopt,
                         const std::optional<cndm::Cndm>& cndm = std::nullopt,
                         const std::optional<sony::Sony>& sony = std::nullopt) {
    return normalize::build_fields(tags, {tc, cndm, sony, std::nullopt}, 0, "");
}

// The ids of the fields, in order, each followed by a blank.
std::string ids(const std::vector<Field>& fields) {
    std::string out;
    for (const Field& f : fields)
        out += f.id + " ";
    return out;
}

TEST(IdxFind, GroupPatterns) {
    const std::vector<RawTag> tags = {
        t("Track2", "VideoFrameRate", 25),
        t("Track1", "VideoFrameRate", 50),
        t("", "Loose", 1),
        t("Track", "Bare", 2),
        t("QuickTime", "Loose", 3),
        t("IFD0", "Make", "Canon"),
    };
    const normalize::TagIndex idx{tags};
    struct Case {
        std::string_view key;
        const RawTag* want;
    };
    const Case cases[] = {
        {"Track*:VideoFrameRate", &tags[0]}, // first stored wins, no group preference
        {"Track1:VideoFrameRate", &tags[1]},
        {"*:Loose", &tags[2]},
        {":Loose", &tags[2]},
        {"QuickTime:Loose", &tags[4]},
        {"Track*:Bare", &tags[3]}, // the prefix itself matches
        {"IFD0:make", nullptr},    // names are case-sensitive
        {"ifd0:Make", nullptr},
        {"Make", nullptr}, // no colon
        {":Make", nullptr},
        {"IFD*:Make", &tags[5]},
        {"*:Missing", nullptr},
    };
    for (const auto& c : cases)
        EXPECT_EQ(idx.find(c.key), c.want) << c.key;
}

TEST(FieldResolution, StatusNotesAndAlternates) {
    // Same text after normalisation: found, one alternate, no note.
    auto f = build({t("IFD0", "Make", "Canon"), t("UserData", "Make", "CANON")});
    const Field& make = get(f, "make");
    EXPECT_EQ(make.value, "Canon");
    EXPECT_EQ(make.status, Status::Found);
    ASSERT_EQ(make.alternates.size(), 1u);
    EXPECT_EQ(make.alternates[0].group, "UserData");
    EXPECT_EQ(make.note, std::nullopt);

    // Close numbers that print differently.
    f = build({t("ExifIFD", "FNumber", 2.8), t("Keys", "Aperture", 2.9)});
    EXPECT_EQ(get(f, "aperture").value, "f/2.8");
    EXPECT_EQ(get(f, "aperture").status, Status::Found);
    EXPECT_EQ(get(f, "aperture").note, "close_values");

    // Close numbers that print the same keep no note.
    f = build({t("ExifIFD", "FNumber", 2.8), t("Canon", "FNumber", 2.81)});
    EXPECT_EQ(get(f, "aperture").note, std::nullopt);
    EXPECT_EQ(get(f, "aperture").alternates.size(), 1u);

    // A difference is not undone by a later close source.
    f = build({t("ExifIFD", "ISO", 800), t("Panasonic", "ISO", 1600), t("Keys", "ISO", 820)});
    const Field& iso = get(f, "iso");
    EXPECT_EQ(iso.value, "ISO 800");
    EXPECT_EQ(iso.status, Status::SourcesDiffer);
    EXPECT_EQ(iso.note, "differs");
    EXPECT_EQ(iso.alternates.size(), 2u);

    // A close source before a differing one: "differs" replaces "close_values".
    f = build({t("ExifIFD", "ISO", 800), t("Panasonic", "ISO", 820), t("Keys", "ISO", 1600)});
    EXPECT_EQ(get(f, "iso").note, "differs");

    // Placeholders are neither primary nor alternate.
    f = build({t("Canon", "LensModel", "x", "n/a"), t("ExifIFD", "LensModel", "x", "Unknown (0)"),
               t("Composite", "LensID", "RF24-70mm F2.8 L IS USM")});
    const Field& lens = get(f, "lens");
    EXPECT_EQ(lens.value, "RF24-70mm F2.8 L IS USM");
    EXPECT_EQ(lens.primary->kind, Kind::Computed);
    EXPECT_TRUE(lens.alternates.empty());

    // The first stored Track group wins.
    f = build({t("Track2", "VideoFrameRate", 25), t("Track1", "VideoFrameRate", 50)});
    EXPECT_EQ(get(f, "frame_rate").value, "25 fps");
    EXPECT_EQ(get(f, "frame_rate").primary->group, "Track2");
    EXPECT_EQ(get(f, "frame_rate").primary->kind, Kind::Container);

    // Dates never differ but list their other sources.
    f = build({t("ExifIFD", "DateTimeOriginal", "2024:05:01 10:00:00"),
               t("QuickTime", "CreateDate", "2023:01:01 00:00:00")});
    EXPECT_EQ(get(f, "date_recorded").status, Status::Found);
    EXPECT_EQ(get(f, "date_recorded").alternates[0].kind, Kind::Container);

    // Automatic against manual white balance differs; Kelvin rejects out-of-range values.
    f = build({t("Canon", "WhiteBalance", 0, "Auto"), t("ExifIFD", "WhiteBalance", 1, "Manual"),
               t("Canon", "ColorTemperature", 100000), t("Keys", "ColorTemperature", 5600)});
    EXPECT_EQ(get(f, "wb_mode").value, "Auto");
    EXPECT_EQ(get(f, "wb_mode").status, Status::SourcesDiffer);
    EXPECT_EQ(get(f, "wb_temp").value, "5600 K");
    EXPECT_TRUE(get(f, "wb_temp").alternates.empty());
}

// Sources that follow the QuickTime and maker tags: RED headers, AVI, MPEG and Matroska.
TEST(FieldResolution, LaterSourcesFillOnlyWhatIsMissing) {
    struct Case {
        std::vector<RawTag> tags;
        std::string_view id;
        std::optional<std::string> want;
        std::string_view group;
        std::size_t alternates;
    };
    const Case cases[] = {
        {{t("Red", "ISO", 1280)}, "iso", "ISO 1280", "Red", 0},
        {{t("Red", "FNumber", 4.9)}, "aperture", "f/4.9", "Red", 0},
        {{t("Red", "FocalLength", 24, "24 mm")}, "focal_length", "24 mm", "Red", 0},
        {{t("Red", "FrameRate", 23.976)}, "frame_rate", "23.976 fps", "Red", 0},
        {{t("ExifIFD", "ISO", 800), t("Red", "ISO", 800)}, "iso", "ISO 800", "ExifIFD", 1},
        {{t("RIFF", "VideoFrameRate", 25)}, "frame_rate", "25 fps", "RIFF", 0},
        {{t("MPEG", "FrameRate", 29.97, "29.97 fps")}, "frame_rate", "29.97 fps", "MPEG", 0},
        {{t("MPEG", "FrameRate", 25), t("Track1", "VideoFrameRate", 25)},
         "frame_rate",
         "25 fps",
         "Track1",
         1},
        {{t("RIFF", "VideoCodec", "MJPG")}, "codec", "MJPG", "RIFF", 0},
        {{t("Track1", "CodecID", "V_MPEG4/ISO/ASP"), t("RIFF", "VideoCodec", "MJPG")},
         "codec",
         "MJPG",
         "RIFF",
         1},
        {{t("Track1", "CodecID", "V_MPEG4/ISO/ASP")}, "codec", "V_MPEG4/ISO/ASP", "Track1", 0},
        {{t("Track1", "CodecID", "x"), t("Track1", "CompressorID", "avc1")},
         "codec",
         "avc1",
         "Track1",
         1},
        {{t("RIFF", "FrameRate", 25), t("MPEG", "VideoCodec", "x")}, "frame_rate", {}, "", 0},
    };
    for (const auto& c : cases) {
        const auto fields = build(c.tags);
        const Field& f = get(fields, c.id);
        EXPECT_EQ(f.value, c.want) << c.id << " " << c.tags[0].group;
        EXPECT_EQ(f.primary ? f.primary->group : "", c.group) << c.id;
        EXPECT_EQ(f.alternates.size(), c.alternates) << c.id;
    }
}

TEST(FieldTable, EmptyInputGivesTheFixedList) {
    const auto f = normalize::build_fields({}, {}, 0, "");
    EXPECT_EQ(ids(f), "make camera_model lens focal_length focus_mode aperture iso shutter "
                      "wb_mode wb_temp tint picture_profile curve gamut container_primaries "
                      "container_transfer container_matrix resolution frame_rate codec timecode "
                      "audio date_recorded file_size ");
    for (std::size_t i = 0; i + 1 < f.size(); ++i) {
        EXPECT_EQ(f[i].status, Status::Unavailable) << f[i].id;
        EXPECT_FALSE(f[i].value) << f[i].id;
    }
    EXPECT_EQ(get(f, "tint").note, "no_source_tag");
    EXPECT_EQ(f.back().value, "0 MB");
    EXPECT_EQ(f.back().note, "");
    EXPECT_EQ(f.back().status, Status::Computed);
}

TEST(FieldTable, FileSize) {
    struct Case {
        std::uint64_t size;
        std::string ext;
        std::string value;
        std::string note;
    };
    const Case cases[] = {
        {1572864, "MOV", "1.5 MB", "mov"},
        {1048576, "Mp4", "1 MB", "mp4"},
        {18446744073709551615u, "", "17592186044416 MB", ""},
        {1, "ARW", "0 MB", "arw"},
    };
    for (const auto& c : cases) {
        const auto f = normalize::build_fields({}, {}, c.size, c.ext);
        EXPECT_EQ(f.back().id, "file_size");
        EXPECT_EQ(f.back().value, c.value) << c.size;
        EXPECT_EQ(f.back().note, c.note);
        EXPECT_FALSE(f.back().primary);
    }
}

TEST(Timecode, ContainerFirstThenTag) {
    const tmcd::StartTimecode tc{"00:59:59;29", 107890, 30, true};
    const RawTag tag = t("QuickTime", "StartTimecode", "01:00:00:00");

    auto f = build({tag}, tc);
    const Field& both = get(f, "timecode");
    EXPECT_EQ(both.value, "00:59:59;29");
    EXPECT_EQ(both.status, Status::Found);
    ASSERT_TRUE(both.primary);
    EXPECT_EQ(both.primary->source, "zun-tmcd");
    EXPECT_EQ(both.primary->group, "QuickTime");
    EXPECT_EQ(both.primary->tag, "tmcd");
    EXPECT_EQ(both.primary->printed, "30 fps DF");
    EXPECT_EQ(both.primary->raw, Json(107890));
    EXPECT_EQ(both.primary->kind, Kind::Decoded);
    ASSERT_EQ(both.alternates.size(), 1u);
    EXPECT_EQ(both.alternates[0].kind, Kind::Container);
    EXPECT_EQ(both.note, std::nullopt);

    f = build({tag});
    EXPECT_EQ(get(f, "timecode").value, "01:00:00:00");
    EXPECT_EQ(get(f, "timecode").primary->kind, Kind::Container);
    EXPECT_EQ(get(f, "timecode").primary->source, "exiftool");

    f = build({}, tmcd::StartTimecode{"01:00:00:00", 86400, 24, false});
    EXPECT_EQ(get(f, "timecode").primary->printed, "24 fps");

    f = build({t("Track3", "StartTimecode", "x", "n/a")});
    EXPECT_EQ(get(f, "timecode").status, Status::Unavailable);
}

// The MXF reader's values: the timecode like the QuickTime track's, the sample rate and coding
// family ranked after the QuickTime tags; an unknown coding label offers no codec.
TEST(Timecode, MxfHeaderValues) {
    mxf::Header header;
    header.timecode = mxf::Timecode{107890, 30, true};
    header.sample_rate = mxf::Rational{30000, 1001};
    header.picture_coding = mxf::Label{0x06, 0x0E, 0x2B, 0x34, 0x04, 0x01, 0x01, 0x03,
                                       0x04, 0x01, 0x02, 0x02, 0x01, 0x01, 0x11, 0x00};
    const RawTag start = t("MXF", "StartTimecode", 3600, "1:00:00");
    auto f = normalize::build_fields({start, t("RIFF", "VideoFrameRate", 29.97)}, {.mxf = header},
                                     0, "mxf");
    const Field& tc = get(f, "timecode");
    EXPECT_EQ(tc.value, "00:59:59;28");
    ASSERT_TRUE(tc.primary);
    EXPECT_EQ(tc.primary->source, "zun-mxf");
    EXPECT_EQ(tc.primary->group, "MXF");
    EXPECT_EQ(tc.primary->tag, "TimecodeComponent");
    EXPECT_EQ(tc.primary->printed, "30 fps DF");
    EXPECT_EQ(tc.primary->raw, Json(107890));
    EXPECT_EQ(tc.primary->kind, Kind::Decoded);
    ASSERT_EQ(tc.alternates.size(), 1u);
    EXPECT_EQ(tc.alternates[0].printed, "1:00:00");
    const Field& rate = get(f, "frame_rate");
    EXPECT_EQ(rate.value, "29.97 fps");
    EXPECT_EQ(rate.primary->raw, Json("30000/1001"));
    EXPECT_EQ(rate.primary->kind, Kind::Decoded);
    ASSERT_EQ(rate.alternates.size(), 1u); // RIFF's 29.97 agrees closely
    EXPECT_EQ(rate.status, Status::Found);
    const Field& codec = get(f, "codec");
    EXPECT_EQ(codec.value, "MPEG-2");
    EXPECT_EQ(codec.primary->raw, Json("060e2b34.04010103.04010202.01011100"));

    header.picture_coding->at(13) = 0x7F; // no family has it
    header.sample_rate = mxf::Rational{25, 0};
    f = normalize::build_fields(
        {t("Track1", "VideoFrameRate", 25)},
        {.timecode = tmcd::StartTimecode{"01:00:00:00", 90000, 25, false}, .mxf = header}, 0,
        "mxf");
    EXPECT_EQ(get(f, "codec").status, Status::Unavailable);
    EXPECT_EQ(get(f, "frame_rate").primary->group, "Track1");
    EXPECT_TRUE(get(f, "frame_rate").alternates.empty());
    EXPECT_EQ(get(f, "timecode").primary->source, "zun-tmcd");
}

// Without a container timecode, exiftool's text is the value only when shaped like a timecode
// (MXF's StartTimecode is printed as a duration); beside one, every tag is an alternate.
TEST(Timecode, ExiftoolTextMustBeShapedLikeATimecode) {
    struct Case {
        std::vector<RawTag> tags;
        std::optional<std::string> want;
        std::string_view group;
    };
    const auto start = [](std::string text) {
        return t("MXF", "StartTimecode", 3723.16, std::move(text));
    };
    const RawTag mkv = t("Matroska", "Timecode", "02:03:04:05");
    const Case cases[] = {
        {{start("01:02:03:04")}, "01:02:03:04", "MXF"},
        {{start("00:59:59;28")}, "00:59:59;28", "MXF"},
        {{start("01:02:03:045")}, "01:02:03:045", "MXF"},
        {{start("1:02:03")}, std::nullopt, ""},
        {{start("01:02:03:4")}, std::nullopt, ""},
        {{start("01:02:03.04")}, std::nullopt, ""},
        {{start("101:02:03:04")}, std::nullopt, ""},
        {{start("01:02:03:0x")}, std::nullopt, ""},
        {{start("1:00:04"), mkv}, "02:03:04:05", "Matroska"},
        {{mkv, start("01:00:00:00")}, "01:00:00:00", "MXF"}, // Matroska's is an alternate
    };
    for (const auto& c : cases) {
        const auto fields = build(c.tags);
        const Field& f = get(fields, "timecode");
        EXPECT_EQ(f.value, c.want) << c.tags[0].printed.value_or("");
        EXPECT_EQ(f.primary ? f.primary->group : "", c.group);
        EXPECT_EQ(f.alternates.size(), c.tags[0].group == "Matroska" ? 1u : 0u);
    }
    const tmcd::StartTimecode tc{"01:00:00:00", 86400, 24, false};
    const auto fields = build({start("1:00:04"), mkv}, tc);
    const Field& beside = get(fields, "timecode");
    EXPECT_EQ(beside.value, "01:00:00:00");
    ASSERT_EQ(beside.alternates.size(), 2u);
    EXPECT_EQ(beside.alternates[0].printed, "1:00:04");
    EXPECT_EQ(beside.alternates[1].tag, "Timecode");
}

// The audio summary, then " <- " and its primary source.
TEST(Audio, ChannelsRateAndDepth) {
    mxf::Header stereo_mxf;
    stereo_mxf.channel_count = 2;
    stereo_mxf.audio_sample_rate = mxf::Rational{48000, 1};
    mpeg::Stream two_streams, surround;
    two_streams.audio = {{"MPEG audio", 48000, 2}, {"AC-3", 48000, 2}};
    surround.audio = {{"AC-3", 48000, 6}};
    const std::vector<esds::AacTrack> mono_aac = {{2, {2, 1, 1, 48000}}};
    const RawTag rate2 = t("Track2", "AudioSampleRate", 48000);
    const RawTag rate3 = t("Track3", "AudioSampleRate", 48000);
    const RawTag single = t("MPEG", "ChannelMode", 3, "Single Channel");
    const std::string tagged = " <- exiftool AudioSampleRate";
    struct Case {
        std::vector<RawTag> tags;
        std::string want;
        normalize::Readings readings = {};
    };
    const Case cases[] = {
        {{}, "-"},
        {{rate2, rate3}, "2 ch \u00b7 48 kHz" + tagged},
        // A QuickTime entry's sample size gives way to its format's: 24-bit PCM, AAC without one.
        {{rate2, t("Track2", "AudioBitsPerSample", 16), t("Track2", "AudioFormat", "in24")},
         "1 ch \u00b7 48 kHz \u00b7 24-bit" + tagged},
        {{rate2, t("Track2", "AudioBitsPerSample", 16), t("Track2", "AudioFormat", "mp4a")},
         "1 ch \u00b7 48 kHz" + tagged},
        {{rate2, rate3, t("Track2", "AudioBitsPerSample", 24)},
         "2 ch \u00b7 48 kHz \u00b7 24-bit" + tagged},
        // Channels count per track, from the track's own group; a group without a rate is none.
        {{t("Track2", "AudioChannels", 2), t("Track2", "AudioSampleRate", 44100),
          t("Track3", "AudioChannels", "2 ch"), t("Track4", "AudioSampleRate", 44100),
          t("Track4", "AudioChannels", "stereo")},
         "3 ch \u00b7 44.1 kHz" + tagged},
        {{rate3, t("Track3", "ChannelCount", 2), t("RIFF", "AudioSampleRate", 48000),
          t("RIFF", "NumChannels", 2)},
         "4 ch \u00b7 48 kHz" + tagged},
        {{t("Track2", "AudioSampleRate", "unknown"), t("Track2", "AudioBitsPerSample", "x")},
         "1 ch \u00b7 0 kHz" + tagged},
        // The printed rate wins when it is a plain positive decimal: AC-3's numeric value is a
        // rate code (0 = 48 kHz).
        {{t("AC3", "AudioSampleRate", 0, "48000")}, "1 ch \u00b7 48 kHz" + tagged},
        {{t("AC3", "AudioSampleRate", 0, " 44100.0 ")}, "1 ch \u00b7 44.1 kHz" + tagged},
        {{t("AC3", "AudioSampleRate", 32000, "48 kHz")}, "1 ch \u00b7 32 kHz" + tagged},
        {{t("AC3", "AudioSampleRate", 32000, "48000.")}, "1 ch \u00b7 32 kHz" + tagged},
        {{t("AC3", "AudioSampleRate", 32000, "-48000")}, "1 ch \u00b7 32 kHz" + tagged},
        {{t("AC3", "AudioSampleRate", 32000, "0")}, "1 ch \u00b7 32 kHz" + tagged},
        {{t("AC3", "AudioSampleRate", 32000, "1e5")}, "1 ch \u00b7 32 kHz" + tagged},
        // MPEG audio: exiftool's SampleRate and channel mode; the reader's streams are tracks of
        // their own or meet exiftool's of their kind, whose frame header they outrank.
        {{t("MPEG", "SampleRate", 44100), single}, "1 ch \u00b7 44.1 kHz <- exiftool SampleRate"},
        {{t("MPEG", "SampleRate", 48000), t("MPEG", "ChannelMode", 1, "Joint Stereo")},
         "2 ch \u00b7 48 kHz <- exiftool SampleRate"},
        {{t("MPEG", "SampleRate", 48000), single},
         "4 ch \u00b7 48 kHz <- exiftool SampleRate",
         {.mpeg = two_streams}},
        {{t("AC3", "AudioSampleRate", 0, "48000")},
         "6 ch \u00b7 48 kHz" + tagged,
         {.mpeg = surround}},
        {{}, "6 ch \u00b7 48 kHz <- zun-mpeg AudioSampleRate", {.mpeg = surround}},
        // An AAC decoder configuration outranks the sample entry's template count.
        {{rate2, t("Track2", "AudioChannels", 2)},
         "1 ch \u00b7 48 kHz" + tagged,
         {.aac = mono_aac}},
        {{rate3, t("Track3", "AudioChannels", 2)},
         "2 ch \u00b7 48 kHz" + tagged,
         {.aac = mono_aac}},
        // MXF sound descriptors count where exiftool gives no channel count, or no sound at all.
        {{rate3}, "2 ch \u00b7 48 kHz" + tagged, {.mxf = stereo_mxf}},
        {{}, "2 ch \u00b7 48 kHz <- zun-mxf AudioSampleRate", {.mxf = stereo_mxf}},
    };
    for (const auto& c : cases) {
        const auto f = normalize::build_fields(c.tags, c.readings, 0, "");
        const Field& audio = get(f, "audio");
        const std::string got =
            audio.value ? *audio.value + " <- " + audio.primary->source + " " + audio.primary->tag
                        : "-";
        EXPECT_EQ(got, c.want);
        EXPECT_EQ(audio.status, audio.value ? Status::Found : Status::Unavailable);
    }
}

// The MXF display size is the resolution; exiftool's stored size (of a field in field layouts)
// beside it does not make the sources differ, another size does.
TEST(Resolution, MxfDisplaySizeBesideTheStoredSize) {
    using L = mxf::FrameLayout;
    const std::tuple<L, const char*, Status> cases[] = {
        {L::FullFrame, "320x192", Status::Found},
        {L::SeparateFields, "320x96", Status::Found},
        {L::MixedFields, "320x192", Status::Found},
        {L::FullFrame, "320x96", Status::SourcesDiffer},
        {L::FullFrame, "640x360", Status::SourcesDiffer}};
    for (const auto& [layout, image_size, want] : cases) {
        mxf::Header header;
        header.frame_layout = layout;
        header.display_size = mxf::Size{320, 180};
        header.stored_size = mxf::Size{320, 192};
        const auto f = normalize::build_fields({t("Composite", "ImageSize", image_size)},
                                               {.mxf = header}, 0, "mxf");
        const Field& size = get(f, "resolution");
        EXPECT_EQ(size.value, "320x180");
        EXPECT_EQ(size.status, want) << image_size;
        EXPECT_EQ(size.note.has_value(), want == Status::SourcesDiffer) << image_size;
        EXPECT_EQ(size.primary->source, "zun-mxf");
        EXPECT_EQ(size.alternates.size(), 1u);
    }
}

// The codec of a Matroska clip is its video track's, cited as exiftool's tag of that id.
TEST(Codec, MatroskaVideoTrack) {
    mkv::Tracks tracks;
    tracks.tracks.resize(2);
    tracks.tracks[0].number = 1;
    tracks.tracks[0].type = mkv::kAudio;
    tracks.tracks[0].codec_id = "A_AAC";
    tracks.tracks[1].number = 2;
    tracks.tracks[1].type = mkv::kVideo;
    tracks.tracks[1].codec_id = "V_MPEG4/ISO/AVC";
    const std::vector<RawTag> tags = {t("Track1", "CodecID", "A_AAC"),
                                      t("Track2", "VideoCodecID", "V_MPEG4/ISO/AVC")};
    const Field tagged = get(normalize::build_fields(tags, {.mkv = tracks}, 0, "mkv"), "codec");
    EXPECT_EQ(tagged.value, "V_MPEG4/ISO/AVC");
    EXPECT_EQ(tagged.primary->source + " " + tagged.primary->tag, "exiftool VideoCodecID");
    EXPECT_TRUE(tagged.alternates.empty());
    const Field read = get(normalize::build_fields({tags[0]}, {.mkv = tracks}, 0, "mkv"), "codec");
    EXPECT_EQ(read.value, "V_MPEG4/ISO/AVC");
    EXPECT_EQ(read.primary->source, "zun-mkv");
}

// Formats only one maker writes name the maker; a RED header names the codec too; exiftool's
// composite date dates a clip no other tag dates.
TEST(FormatRules, MakeCodecAndDate) {
    struct Case {
        std::string ext;
        std::vector<RawTag> tags;
        std::optional<std::string> make, codec, date;
    };
    const RawTag red_model = t("Red", "CameraModel", "KOMODO 6K");
    const RawTag built_date = t("Composite", "DateTimeOriginal", "2026:01:02 03:04:05");
    const Case cases[] = {
        {"R3D", {red_model, built_date}, "RED", "REDCODE", "2026:01:02 03:04:05"},
        {"r3d", {}, std::nullopt, std::nullopt, std::nullopt},
        {"ari", {}, "ARRI", std::nullopt, std::nullopt},
        {"CRM", {t("IFD0", "Make", "Canon Inc.")}, "Canon Inc.", std::nullopt, std::nullopt},
        {"crm",
         {built_date, t("QuickTime", "CreateDate", "2026:02:03 04:05:06")},
         "Canon",
         std::nullopt,
         "2026:02:03 04:05:06"},
        {"braw", {}, std::nullopt, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        const auto f = normalize::build_fields(c.tags, {}, 0, c.ext);
        const Field& make = get(f, "make");
        EXPECT_EQ(make.value, c.make) << c.ext;
        EXPECT_EQ(get(f, "codec").value, c.codec) << c.ext;
        EXPECT_EQ(get(f, "date_recorded").value, c.date) << c.ext;
        if (make.status == Status::Computed) {
            EXPECT_EQ(make.primary->source, "zun-rule");
            EXPECT_EQ(make.primary->kind, Kind::Computed);
            EXPECT_EQ(make.alternates.size(), c.ext == "R3D" ? 1u : 0u) << c.ext;
        }
    }
}

TEST(FillMerge, FillsGapsOnly) {
    std::vector<Field> fields = {normalize::unavailable_field("a", "s"),
                                 normalize::declared_field("b", "s", "kept", t("G", "T", 1))};
    normalize::offer_field(fields,
                           normalize::decoded_field("a", "s", "new a", "L", Json(1), "embedded"));
    normalize::offer_field(fields,
                           normalize::decoded_field("b", "s", "new b", "L", Json(1), "embedded"));
    normalize::offer_field(fields,
                           normalize::decoded_field("c", "s", "new c", "L", Json(1), "sidecar"));
    ASSERT_EQ(fields.size(), 3u);
    EXPECT_EQ(fields[0].value, "new a");
    EXPECT_EQ(fields[0].primary->group, "Sony NRT");
    EXPECT_EQ(fields[1].value, "kept");
    EXPECT_EQ(fields[2].value, "new c");
    EXPECT_EQ(fields[2].primary->group, "Sony NRT sidecar");
}

} // namespace
