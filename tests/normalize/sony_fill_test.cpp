#include <gtest/gtest.h>

#include "json_writer/json_writer.hpp"
#include "normalize/normalize.hpp"
#include "normalize/tags.hpp"

namespace {

const Field* find(const std::vector<Field>& fields, std::string_view id) {
    for (const Field& f : fields)
        if (f.id == id) return &f;
    return nullptr;
}

std::vector<Field> build(const std::vector<RawTag>& tags, const sony::Sony& sony) {
    return normalize::build_fields(tags, std::nullopt, std::nullopt, sony, 0, "");
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
    const Field* aperture = find(f, "aperture");
    ASSERT_TRUE(aperture);
    EXPECT_EQ(aperture->value, "f/2.8");
    EXPECT_EQ(aperture->status, Status::SourcesDiffer);
    EXPECT_EQ(aperture->primary->source, "exiftool");
    EXPECT_EQ(aperture->alternates.size(), 1u);
    ASSERT_TRUE(find(f, "iris_number"));
    EXPECT_EQ(find(f, "iris_number")->value, "4.00");
}

TEST(SonyFill, FillsGapsWithDecodedValues) {
    sony::Sony s = model_only();
    s.rtmd.iris_fnumber = 4.0;
    const auto f = build({}, s);
    const Field* aperture = find(f, "aperture");
    EXPECT_EQ(aperture->value, "f/4");
    EXPECT_EQ(aperture->note, std::nullopt);
    EXPECT_EQ(aperture->primary->source, "zun-sony");
    EXPECT_EQ(aperture->primary->group, "Sony NRT");
    EXPECT_EQ(aperture->primary->tag, "rtmd 0x8000");
    EXPECT_EQ(aperture->primary->kind, Kind::Decoded);
    EXPECT_EQ(find(f, "iris_number")->note, "first_frame");
    EXPECT_EQ(find(f, "lens")->note, "sony_no_lens");
    EXPECT_EQ(find(f, "wb_temp")->note, "sony_no_kelvin");
    EXPECT_EQ(find(f, "focus_mode")->note, "sony_no_focusmode");
    EXPECT_EQ(find(f, "focus_mode")->status, Status::Unavailable);
    EXPECT_EQ(find(f, "camera_model")->value, "ILME-FX6V");
}

TEST(SonyFill, ReasonNotesOnlyWithoutValueOrNote) {
    const auto f = build({t("ExifIFD", "LensModel", "FE 24mm F1.4 GM"),
                          t("Nikon", "FocusMode", "AF-C"), t("Canon", "ColorTemperature", 5600)},
                         model_only());
    EXPECT_EQ(find(f, "lens")->note, std::nullopt);
    EXPECT_EQ(find(f, "focus_mode")->value, "AF-C");
    EXPECT_EQ(find(f, "focus_mode")->note, std::nullopt);
    EXPECT_EQ(find(f, "wb_temp")->note, std::nullopt);

    sony::Sony bare;
    bare.origin = "sidecar";
    bare.capture_gamma = "s-log3";
    const auto g = build({}, bare);
    EXPECT_EQ(find(g, "lens")->note, std::nullopt);
    EXPECT_EQ(find(g, "focus_mode")->note, std::nullopt);
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
        const Field* field = find(f, c.id);
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
    const Field* wb = find(f, "wb_mode");
    EXPECT_EQ(wb->value, "Auto");
    EXPECT_EQ(wb->note, "first_frame");
    ASSERT_EQ(wb->alternates.size(), 1u);
    EXPECT_EQ(json_writer::compact(model::to_json(wb->alternates[0])),
              R"({"group":"Sony rtmd","kind":"decoded","printed":"Daylight","raw":4,)"
              R"("source":"exiftool","tag":"0xe303 WhiteBalance"})");

    s.rtmd.white_balance = 3;
    f = build({}, s);
    EXPECT_EQ(find(f, "wb_mode")->alternates.at(0).printed, std::nullopt);
    EXPECT_EQ(find(f, "wb_mode")->alternates.at(0).raw, Json(3));
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
    EXPECT_EQ(find(f, "timecode")->value, "01:00:00:00");
    EXPECT_EQ(find(f, "timecode")->primary->tag, "LtcChange (frame 0)");
    EXPECT_EQ(find(f, "timecode")->primary->raw, Json(1));

    // The container timecode is kept over the document's.
    const auto g = normalize::build_fields(
        {}, tmcd::StartTimecode{"10:00:00:00", 864000, 24, false}, std::nullopt, s, 0, "");
    EXPECT_EQ(find(g, "timecode")->value, "10:00:00:00");
    EXPECT_EQ(find(g, "timecode")->primary->source, "zun-tmcd");
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

    const auto fields = normalize::build_fields(tags, tc, std::nullopt, s, 1572864, "MP4");

    // clang-format off
    const std::vector<std::string> want = {
R"J({"alternates":[],"id":"make","note":null,"primary":{"group":"Sony NRT","kind":"decoded","printed":"Sony","raw":"Sony","source":"zun-sony","tag":"Device manufacturer"},"section":"camera","status":"found","value":"Sony"})J",
R"J({"alternates":[],"id":"camera_model","note":null,"primary":{"group":"Sony NRT","kind":"decoded","printed":"ILME-FX3","raw":"ILME-FX3","source":"zun-sony","tag":"Device modelName"},"section":"camera","status":"found","value":"ILME-FX3"})J",
R"J({"alternates":[],"id":"lens","note":"sony_no_lens","primary":null,"section":"camera","status":"unavailable","value":null})J",
R"J({"alternates":[],"id":"focal_length","note":"first_frame","primary":{"group":"Sony NRT","kind":"decoded","printed":"24.5 mm","raw":24.5,"source":"zun-sony","tag":"rtmd 0x8005"},"section":"camera","status":"found","value":"24.5 mm"})J",
R"J({"alternates":[],"id":"focus_mode","note":"sony_no_focusmode","primary":null,"section":"camera","status":"unavailable","value":null})J",
R"J({"alternates":[],"id":"aperture","note":null,"primary":{"group":"Sony NRT","kind":"decoded","printed":"f/4","raw":4.0,"source":"zun-sony","tag":"rtmd 0x8000"},"section":"exposure","status":"found","value":"f/4"})J",
R"J({"alternates":[],"id":"iso","note":null,"primary":{"group":"Sony NRT","kind":"decoded","printed":"ISO 800","raw":800,"source":"zun-sony","tag":"rtmd 0x810b"},"section":"exposure","status":"found","value":"ISO 800"})J",
R"J({"alternates":[],"id":"shutter","note":null,"primary":{"group":"Sony NRT","kind":"decoded","printed":"1/50 s","raw":"1/50","source":"zun-sony","tag":"rtmd 0x8109"},"section":"exposure","status":"found","value":"1/50 s"})J",
R"J({"alternates":[{"group":"Sony rtmd","kind":"decoded","printed":"Daylight","raw":4,"source":"exiftool","tag":"0xe303 WhiteBalance"}],"id":"wb_mode","note":"first_frame","primary":{"group":"Sony NRT","kind":"decoded","printed":"Preset","raw":"Preset","source":"zun-sony","tag":"rtmd 0x810d"},"section":"color","status":"found","value":"Preset"})J",
R"J({"alternates":[],"id":"wb_temp","note":"sony_no_kelvin","primary":null,"section":"color","status":"unavailable","value":null})J",
R"J({"alternates":[],"id":"tint","note":"no_source_tag","primary":null,"section":"color","status":"unavailable","value":null})J",
R"J({"alternates":[],"id":"picture_profile","note":null,"primary":null,"section":"color","status":"unavailable","value":null})J",
R"J({"alternates":[],"id":"curve","note":"sony_nrt","primary":{"group":"Sony NRT","kind":"decoded","printed":"s-log3-cine","raw":"s-log3-cine","source":"zun-sony","tag":"CaptureGammaEquation"},"section":"color","status":"found","value":"S-Log3"})J",
R"J({"alternates":[],"id":"gamut","note":"sony_nrt","primary":{"group":"Sony NRT","kind":"decoded","printed":"s-gamut3-cine","raw":"s-gamut3-cine","source":"zun-sony","tag":"CaptureColorPrimaries"},"section":"color","status":"found","value":"S-Gamut3.Cine"})J",
R"J({"alternates":[],"id":"container_primaries","note":"container_label","primary":{"group":"Track1","kind":"container","printed":"BT.709","raw":1,"source":"exiftool","tag":"ColorPrimaries"},"section":"color","status":"found","value":"BT.709"})J",
R"J({"alternates":[],"id":"container_transfer","note":"container_label","primary":{"group":"Track1","kind":"container","printed":"BT.709","raw":1,"source":"exiftool","tag":"TransferCharacteristics"},"section":"color","status":"found","value":"BT.709"})J",
R"J({"alternates":[],"id":"container_matrix","note":"container_label","primary":{"group":"Track1","kind":"container","printed":"BT.709","raw":1,"source":"exiftool","tag":"MatrixCoefficients"},"section":"color","status":"found","value":"BT.709"})J",
R"J({"alternates":[],"id":"resolution","note":null,"primary":{"group":"Composite","kind":"container","printed":"3840x2160","raw":"3840 2160","source":"exiftool","tag":"ImageSize"},"section":"file","status":"found","value":"3840x2160"})J",
R"J({"alternates":[],"id":"frame_rate","note":null,"primary":{"group":"Track1","kind":"container","printed":"23.976","raw":23.976,"source":"exiftool","tag":"VideoFrameRate"},"section":"file","status":"found","value":"23.976 fps"})J",
R"J({"alternates":[],"id":"codec","note":null,"primary":{"group":"Track1","kind":"container","printed":"avc1","raw":"avc1","source":"exiftool","tag":"CompressorID"},"section":"file","status":"found","value":"avc1"})J",
R"J({"alternates":[],"id":"timecode","note":null,"primary":{"group":"QuickTime","kind":"decoded","printed":"24 fps","raw":86400,"source":"zun-tmcd","tag":"tmcd"},"section":"file","status":"found","value":"01:00:00:00"})J",
R"J({"alternates":[],"id":"audio","note":null,"primary":{"group":"Track2","kind":"container","printed":"48000","raw":48000,"source":"exiftool","tag":"AudioSampleRate"},"section":"file","status":"found","value":"2 ch · 48 kHz · 16-bit"})J",
R"J({"alternates":[{"group":"Track1","kind":"container","printed":"2024:05:01 10:00:00","raw":"2024:05:01 10:00:00","source":"exiftool","tag":"TrackCreateDate"}],"id":"date_recorded","note":null,"primary":{"group":"QuickTime","kind":"container","printed":"2024:05:01 10:00:00","raw":"2024:05:01 10:00:00","source":"exiftool","tag":"CreateDate"},"section":"file","status":"found","value":"2024:05:01 10:00:00"})J",
R"J({"alternates":[],"id":"focal_eq","note":"first_frame","primary":{"group":"Sony NRT","kind":"decoded","printed":"24.5 mm","raw":24.5,"source":"zun-sony","tag":"rtmd 0x8004"},"section":"camera","status":"found","value":"24.5 mm"})J",
R"J({"alternates":[],"id":"focus_distance","note":"first_frame","primary":{"group":"Sony NRT","kind":"decoded","printed":"1.25 m","raw":1.25,"source":"zun-sony","tag":"rtmd 0x8001"},"section":"camera","status":"found","value":"1.25 m"})J",
R"J({"alternates":[],"id":"af_area","note":"first_frame","primary":{"group":"Sony NRT","kind":"decoded","printed":"Full Screen Sensing Auto","raw":"Full Screen Sensing Auto","source":"zun-sony","tag":"rtmd 0x8101"},"section":"camera","status":"found","value":"Full Screen Sensing Auto"})J",
R"J({"alternates":[],"id":"iris_number","note":"first_frame","primary":{"group":"Sony NRT","kind":"decoded","printed":"4.00","raw":4.0,"source":"zun-sony","tag":"rtmd 0x8000"},"section":"acq","status":"found","value":"4.00"})J",
R"J({"alternates":[],"id":"shutter_angle","note":"first_frame","primary":{"group":"Sony NRT","kind":"decoded","printed":"180.00°","raw":180.0,"source":"zun-sony","tag":"rtmd 0x8108"},"section":"acq","status":"found","value":"180.00°"})J",
R"J({"alternates":[],"id":"gain_db","note":"first_frame","primary":{"group":"Sony NRT","kind":"decoded","printed":"0.00 dB","raw":0.0,"source":"zun-sony","tag":"rtmd 0x810a"},"section":"acq","status":"found","value":"0.00 dB"})J",
R"J({"alternates":[],"id":"exposure_index","note":"first_frame","primary":{"group":"Sony NRT","kind":"decoded","printed":"800","raw":800,"source":"zun-sony","tag":"rtmd 0x8115"},"section":"acq","status":"found","value":"800"})J",
R"J({"alternates":[],"id":"focus_ring","note":"first_frame","primary":{"group":"Sony NRT","kind":"decoded","printed":"32768 (50.00 %)","raw":32768,"source":"zun-sony","tag":"rtmd 0x800a"},"section":"acq","status":"found","value":"32768 (50.00 %)"})J",
R"J({"alternates":[],"id":"sensor_width","note":"first_frame","primary":{"group":"Sony NRT","kind":"decoded","printed":"35.900 mm","raw":35900,"source":"zun-sony","tag":"rtmd 0x8104"},"section":"acq","status":"found","value":"35.900 mm"})J",
R"J({"alternates":[],"id":"sensor_height","note":"first_frame","primary":{"group":"Sony NRT","kind":"decoded","printed":"24.000 mm","raw":24000,"source":"zun-sony","tag":"rtmd 0x8105"},"section":"acq","status":"found","value":"24.000 mm"})J",
R"J({"alternates":[],"id":"rec_mode","note":null,"primary":{"group":"Sony NRT","kind":"decoded","printed":"normal","raw":"normal","source":"zun-sony","tag":"RecordingMode type"},"section":"acq","status":"found","value":"normal"})J",
R"J({"alternates":[],"id":"cache_rec","note":null,"primary":{"group":"Sony NRT","kind":"decoded","printed":"No","raw":false,"source":"zun-sony","tag":"RecordingMode cacheRec"},"section":"acq","status":"found","value":"No"})J",
R"J({"alternates":[],"id":"coding_equations","note":null,"primary":{"group":"Sony NRT","kind":"decoded","printed":"Rec.709","raw":"rec709","source":"zun-sony","tag":"CodingEquations"},"section":"color","status":"found","value":"Rec.709"})J",
R"J({"alternates":[],"id":"ae_mode","note":"first_frame","primary":{"group":"Sony NRT","kind":"decoded","printed":"Manual","raw":"Manual","source":"zun-sony","tag":"rtmd 0x8100"},"section":"exposure","status":"found","value":"Manual"})J",
R"J({"alternates":[],"id":"file_size","note":"mp4","primary":null,"section":"file","status":"computed","value":"1.5 MB"})J",
    };
    // clang-format on
    ASSERT_EQ(fields.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i)
        EXPECT_EQ(json_writer::compact(model::to_json(fields[i])), want[i]) << "field " << i;
}

} // namespace
