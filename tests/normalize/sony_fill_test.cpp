#include <gtest/gtest.h>

#include "json_writer/json_writer.hpp"
#include "normalize/normalize.hpp"
#include "normalize/tags.hpp"
#include "support/support.hpp"

namespace {

using model::find_field;

std::vector<Field> build(const std::vector<RawTag>& tags, const sony::Sony& sony) {
    return normalize::build_fields(tags, {.sony = sony}, 0, "");
}

sony::Sony model_only(std::string origin = "embedded") {
    sony::Sony s;
    s.origin = std::move(origin);
    s.model_name = "ILME-FX6V";
    return s;
}

TEST(SonyFill, ExiftoolValuesAreNeverReplaced) {
    sony::Sony s = model_only();
    s.rtmd.iris_fnumber = 4.0;
    const auto f = build({t("ExifIFD", "FNumber", 2.8), t("Keys", "Aperture", 3.5)}, s);
    const Field* aperture = find_field(f, "aperture");
    ASSERT_TRUE(aperture);
    EXPECT_EQ(aperture->value, "f/2.8");
    EXPECT_EQ(aperture->status, Status::SourcesDiffer);
    EXPECT_EQ(aperture->primary->source, "exiftool");
    EXPECT_EQ(aperture->alternates.size(), 1u);
    ASSERT_TRUE(find_field(f, "iris_number"));
    EXPECT_EQ(find_field(f, "iris_number")->value, "4.00");

    // A start timecode that exiftool printed as a duration leaves the field to the LTC start.
    s.ltc_start = 0x04030201u;
    const auto g = build({t("MXF", "StartTimecode", 3723.16, "1:02:03")}, s);
    EXPECT_EQ(find_field(g, "timecode")->value, "01:02:03:04");
    EXPECT_EQ(find_field(g, "timecode")->primary->source, "zun-sony");
}

TEST(SonyFill, FillsGapsWithDecodedValues) {
    sony::Sony s = model_only();
    s.rtmd.iris_fnumber = 4.0;
    const auto g = build({}, s);
    const Field* aperture = find_field(g, "aperture");
    EXPECT_EQ(aperture->value, "f/4");
    EXPECT_EQ(aperture->note, std::nullopt);
    EXPECT_EQ(aperture->primary->source, "zun-sony");
    EXPECT_EQ(aperture->primary->group, "Sony NRT");
    EXPECT_EQ(aperture->primary->tag, "rtmd 0x8000");
    EXPECT_EQ(aperture->primary->kind, Kind::Decoded);
    EXPECT_EQ(find_field(g, "iris_number")->note, "first_frame");
    EXPECT_EQ(find_field(g, "lens")->note, "sony_no_lens");
    EXPECT_EQ(find_field(g, "wb_temp")->note, "sony_no_kelvin");
    EXPECT_EQ(find_field(g, "focus_mode")->note, "sony_no_focusmode");
    EXPECT_EQ(find_field(g, "focus_mode")->status, Status::Unavailable);
    EXPECT_EQ(find_field(g, "camera_model")->value, "ILME-FX6V");
}

TEST(SonyFill, ReasonNotesOnlyWithoutValueOrNote) {
    const auto f = build({t("ExifIFD", "LensModel", "FE 24mm F1.4 GM"),
                          t("Nikon", "FocusMode", "AF-C"), t("Canon", "ColorTemperature", 5600)},
                         model_only());
    EXPECT_EQ(find_field(f, "lens")->note, std::nullopt);
    EXPECT_EQ(find_field(f, "focus_mode")->value, "AF-C");
    EXPECT_EQ(find_field(f, "focus_mode")->note, std::nullopt);
    EXPECT_EQ(find_field(f, "wb_temp")->note, std::nullopt);

    sony::Sony bare;
    bare.origin = "sidecar";
    bare.capture_gamma = "s-log3";
    const auto g = build({}, bare);
    EXPECT_EQ(find_field(g, "lens")->note, std::nullopt);
    EXPECT_EQ(find_field(g, "focus_mode")->note, std::nullopt);
}

TEST(SonyFill, DisplayTexts) {
    struct Case {
        const char* id;
        void (*set)(sony::Sony&);
        std::optional<std::string> value;
        Json raw;
    };
    const Case cases[] = {
        {"focus_ring", [](sony::Sony& s) { s.rtmd.focus_ring_raw = 32768; }, "32768 (50.00 %)",
         Json(32768)},
        {"zoom_ring", [](sony::Sony& s) { s.rtmd.zoom_ring_raw = 65535; }, "65535 (100.00 %)",
         Json(65535)},
        {"shutter",
         [](sony::Sony& s) {
             s.rtmd.shutter_time = std::pair{0u, 50u};
         },
         std::nullopt, Json()},
        {"shutter",
         [](sony::Sony& s) {
             s.rtmd.shutter_time = std::pair{1u, 0u};
         },
         std::nullopt, Json()},
        {"shutter",
         [](sony::Sony& s) {
             s.rtmd.shutter_time = std::pair{2u, 1u};
         },
         "2 s", Json("2/1")},
        {"iso", [](sony::Sony& s) { s.rtmd.iso = 0; }, std::nullopt, Json()},
        {"iso", [](sony::Sony& s) { s.rtmd.iso = 12800; }, "ISO 12800", Json(12800)},
        {"focal_length", [](sony::Sony& s) { s.rtmd.focal_length = 0.0; }, std::nullopt, Json()},
        {"focus_distance", [](sony::Sony& s) { s.rtmd.focus_distance = 0.125; }, "0.12 m",
         Json(0.125)},
        {"gain_db", [](sony::Sony& s) { s.rtmd.gain_db = -3.0; }, "-3.00 dB", Json(-3.0)},
        {"sensor_height", [](sony::Sony& s) { s.rtmd.sensor_height = 0; }, "0.000 mm", Json(0)},
        {"extender", [](sony::Sony& s) { s.rtmd.extender = 200; }, "200 %", Json(200)},
        {"cache_rec", [](sony::Sony& s) { s.cache_rec = true; }, "Yes", Json(true)},
        {"coding_equations", [](sony::Sony& s) { s.coding_equations = "rec2020"; }, "Rec.2020",
         Json("rec2020")},
        {"coding_equations", [](sony::Sony& s) { s.coding_equations = "Rec709"; }, "Rec709",
         Json("Rec709")},
        {"wb_mode", [](sony::Sony& s) { s.rtmd.wb_mode = "Automatic"; }, "Auto", Json("Automatic")},
        {"wb_mode", [](sony::Sony& s) { s.rtmd.wb_mode = "One Push"; }, "One Push",
         Json("One Push")},
        {"timecode", [](sony::Sony& s) { s.ltc_start = 0x23595901u; }, "01:59:59:23",
         Json(0x23595901u)},
    };
    for (const auto& c : cases) {
        sony::Sony s = model_only();
        c.set(s);
        const auto f = build({}, s);
        const Field* field = find_field(f, c.id);
        const std::string label = std::string(c.id) + " " + c.raw.dump();
        if (!c.value) {
            // Either absent or left as the engine's unavailable row.
            if (field) {
                EXPECT_FALSE(field->value) << label;
            }
            continue;
        }
        ASSERT_TRUE(field) << label;
        EXPECT_EQ(field->value, c.value) << label;
        EXPECT_EQ(field->primary->printed, c.value) << label;
        EXPECT_EQ(field->primary->raw, c.raw) << label;
        EXPECT_EQ(field->status, Status::Found) << label;
    }
}

TEST(SonyFill, WhiteBalanceAlternate) {
    sony::Sony s = model_only();
    s.rtmd.wb_mode = "Automatic";
    s.rtmd.white_balance = 4;
    auto f = build({}, s);
    const Field* wb = find_field(f, "wb_mode");
    EXPECT_EQ(wb->value, "Auto");
    EXPECT_EQ(wb->note, "first_frame");
    ASSERT_EQ(wb->alternates.size(), 1u);
    EXPECT_EQ(json_writer::compact(model::to_json(wb->alternates[0])),
              R"({"group":"Sony rtmd","kind":"decoded","printed":"Daylight","raw":4,)"
              R"("source":"exiftool","tag":"0xe303 WhiteBalance"})");

    s.rtmd.white_balance = 3;
    f = build({}, s);
    EXPECT_EQ(find_field(f, "wb_mode")->alternates.at(0).printed, std::nullopt);
    EXPECT_EQ(find_field(f, "wb_mode")->alternates.at(0).raw, Json(3));
}

TEST(SonyFill, SidecarGroupAndAppendOrder) {
    sony::Sony s = model_only("sidecar");
    s.manufacturer = "Sony";
    s.rtmd.ae_mode = "Manual";
    s.rtmd.iris_fnumber = 2.0;
    s.rtmd.focal_length_35mm = 50.0;
    s.ltc_start = 0x00000001u;
    const auto f = build({}, s);
    std::vector<std::string> tail;
    for (std::size_t i = 23; i < f.size(); ++i)
        tail.push_back(f[i].id);
    EXPECT_EQ(tail, (std::vector<std::string>{"focal_eq", "iris_number", "ae_mode", "file_size"}));
    for (const Field& field : f)
        if (field.primary && field.primary->source == "zun-sony") {
            EXPECT_EQ(field.primary->group, "Sony NRT sidecar") << field.id;
        }
    EXPECT_EQ(find_field(f, "timecode")->value, "01:00:00:00");
    EXPECT_EQ(find_field(f, "timecode")->primary->tag, "LtcChange (frame 0)");
    EXPECT_EQ(find_field(f, "timecode")->primary->raw, Json(1));

    // The container timecode is kept over the document's.
    const auto g = normalize::build_fields(
        {}, {.timecode = tmcd::StartTimecode{"10:00:00:00", 864000, 24, false}, .sony = s}, 0, "");
    EXPECT_EQ(find_field(g, "timecode")->value, "10:00:00:00");
    EXPECT_EQ(find_field(g, "timecode")->primary->source, "zun-tmcd");
}

// One realistic Sony FX3 clip, every field as the front-end receives it.
TEST(WholeClip, SonyMp4CompactJson) {
    const std::vector<RawTag> tags = {
        t("QuickTime", "CreateDate", "2024:05:01 10:00:00", "2024:05:01 10:00:00"),
        t("Track1", "TrackCreateDate", "2024:05:01 10:00:00", "2024:05:01 10:00:00"),
        t("Track1", "CompressorID", "avc1", "avc1"),
        t("Track1", "VideoFrameRate", 23.976, "23.976"),
        t("Track1", "ColorPrimaries", 1, "BT.709"),
        t("Track1", "TransferCharacteristics", 1, "BT.709"),
        t("Track1", "MatrixCoefficients", 1, "BT.709"),
        t("Track2", "AudioChannels", 2, "2"),
        t("Track2", "AudioBitsPerSample", 16, "16"),
        t("Track2", "AudioSampleRate", 48000, "48000"),
        t("Composite", "ImageSize", "3840 2160", "3840x2160"),
    };
    sony::Sony s;
    s.origin = "embedded";
    s.manufacturer = "Sony";
    s.model_name = "ILME-FX3";
    s.capture_gamma = "s-log3-cine";
    s.capture_primaries = "s-gamut3-cine";
    s.coding_equations = "rec709";
    s.recording_mode = "normal";
    s.cache_rec = false;
    s.ltc_start = 0x00000001u;
    s.rtmd.iris_fnumber = 4.0;
    s.rtmd.focus_distance = 1.25;
    s.rtmd.focal_length = 24.5;
    s.rtmd.focal_length_35mm = 24.5;
    s.rtmd.focus_ring_raw = 32768;
    s.rtmd.ae_mode = "Manual";
    s.rtmd.af_area = "Full Screen Sensing Auto";
    s.rtmd.sensor_width = 35900;
    s.rtmd.sensor_height = 24000;
    s.rtmd.shutter_angle = 180.0;
    s.rtmd.shutter_time = std::pair{1u, 50u};
    s.rtmd.gain_db = 0.0;
    s.rtmd.iso = 800;
    s.rtmd.wb_mode = "Preset";
    s.rtmd.exposure_index = 800;
    s.rtmd.white_balance = 4;
    const tmcd::StartTimecode tc{"01:00:00:00", 86400, 24, false};

    const auto fields = normalize::build_fields(tags, {.timecode = tc, .sony = s}, 1572864, "MP4");

    // One field a line, as the clip record prints it.
    const auto want = testing_support::lines(testing_support::read_file(
        std::string(ZUN_SOURCE_DIR) + "/tests/normalize/golden/sony_clip_fields.jsonl"));
    ASSERT_EQ(fields.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i)
        EXPECT_EQ(json_writer::compact(model::to_json(fields[i])), want[i]) << "field " << i;
}

} // namespace
