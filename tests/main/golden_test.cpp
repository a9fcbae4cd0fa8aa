// The complete `scan` output for the shipped sample media, with the real exiftool,
// against a reviewed expected file. Volatile members are masked on both sides.
#include "json_writer/json_writer.hpp"
#include "support/support.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <nlohmann/json.hpp>

using nlohmann::json;
namespace fs = std::filesystem;

namespace {

const char* const masked = "<masked>";

// Tags whose values depend on the checkout time, the umask or the exiftool version.
bool volatile_tag(const json& tag) {
    const std::string group = tag.value("group", "");
    const std::string name = tag.value("name", "");
    if (group == "ExifTool" && name == "ExifToolVersion") return true;
    return group == "System" && (name == "FileModifyDate" || name == "FileAccessDate" ||
                                 name == "FileInodeChangeDate" || name == "FilePermissions");
}

enum class Zero { Allowed, Wrong };

// Replaces a timing or file-time member by the mask, but only when it holds what it
// should (an unsigned integer, and above zero where zero means the value was lost),
// so a wrong type or a lost value still shows as a difference.
void mask_count(json& member, Zero zero) {
    if (member.is_number_unsigned() && (zero == Zero::Allowed || member.get<std::uint64_t>() > 0))
        member = masked;
}

// The scan output with times, the tool version and file-system dates masked. Every
// line must be one JSON document already in the printer's canonical form (keys in
// byte order, no blanks), so the masking round trip cannot hide a key-order fault.
std::string masked_output(const std::string& out) {
    std::string result;
    for (const auto& line : testing_support::lines(out)) {
        json doc = json::parse(line, nullptr, false);
        if (doc.is_discarded() || !doc.is_object()) {
            ADD_FAILURE() << "not a JSON object line: " << line;
            result += line + "\n";
            continue;
        }
        EXPECT_EQ(json_writer::compact(doc), line) << "line is not in canonical form";
        if (doc["event"] == "done") mask_count(doc["ms"], Zero::Allowed);
        if (doc["event"] == "clip") {
            json& clip = doc["clip"];
            mask_count(clip["mtime_ns"], Zero::Wrong);
            mask_count(clip["scan_ms"], Zero::Allowed);
            for (json& tag : clip["tags"])
                if (volatile_tag(tag)) {
                    tag["raw"] = masked;
                    tag["printed"] = masked;
                }
        }
        result += json_writer::compact(doc) + "\n";
    }
    return result;
}

} // namespace

TEST(Golden, ScanOfTheShippedSamples) {
    if (!fs::exists("/usr/bin/exiftool")) GTEST_SKIP() << "exiftool is not installed";
    auto r = testing_support::run_core({"scan", "samples/media/A001/notes.txt",
                                        "samples/no-such-card", "samples/media",
                                        "samples/media/A002/./C0003.MOV", "samples/tc/README.md"},
                                       {{"ZUN_EXIFTOOL", "/usr/bin/exiftool"}}, ZUN_SOURCE_DIR);
    ASSERT_EQ(r.status, 0);
    const fs::path expected_file =
        fs::path(ZUN_SOURCE_DIR) / "tests/main/golden/scan_samples.jsonl";
    const std::string got = masked_output(r.out);
    if (const char* update = std::getenv("ZUN_UPDATE_GOLDEN"); update && *update == '1')
        testing_support::write_file(expected_file, got);
    const std::string expected = testing_support::read_file(expected_file);
    ASSERT_FALSE(expected.empty()) << "missing " << expected_file;
    auto got_lines = testing_support::lines(got);
    auto expected_lines = testing_support::lines(expected);
    ASSERT_EQ(got_lines.size(), expected_lines.size());
    for (std::size_t i = 0; i < got_lines.size(); ++i)
        EXPECT_EQ(got_lines[i], expected_lines[i]);
}

// What `scan` makes of clips in the professional and other containers, against what ffmpeg
// wrote into them (samples/formats/README.md): resolution | frame rate | codec | timecode |
// audio | colour primaries/transfer/matrix | last reader, "-" where absent.
TEST(Golden, ContainerFormatsGivePictureAndSound) {
    if (!fs::exists("/usr/bin/exiftool")) GTEST_SKIP() << "exiftool is not installed";
    const std::map<std::string, std::string> expected = {
        {"aac_first_mpeg4.mkv",
         "64x48 | 25 fps | V_MPEG4/ISO/ASP | - | 2 ch \u00b7 44.1 kHz \u00b7 32-bit | - | zun-mkv"},
        // The display size; exiftool's 720x304 is the stored size of one field.
        {"d10_720x608_25i.mxf", "720x576 | 25 fps | MPEG-2 | 00:00:00:00 | - | - | zun-mxf"},
        {"dnxhr_lb_23976.mxf", "256x120 | 23.976 fps | DNxHD | 01:00:00:00 | - | - | zun-mxf"},
        {"dnxhr_lb_opatom.mxf", "256x120 | 25 fps | DNxHD | 00:00:00:00 | - | - | zun-mxf"},
        {"h264_2997df.mxf", "64x64 | 29.97 fps | AVC | 00:59:59;28 | - | - | zun-mxf"},
        // Exiftool gives no picture size for this AVC stream; its parameter set does.
        {"h264_2997i_ac3.m2ts", "64x64 | 29.97 fps | AVC | - | 2 ch \u00b7 48 kHz | - | zun-mpeg"},
        {"h264_bt601_tff.mkv",
         "64x48 | 29.97 fps | V_MPEG4/ISO/AVC | - | - | 601/601/601 | zun-mkv"},
        {"h264_bt709.mkv", "64x48 | 25 fps | V_MPEG4/ISO/AVC | - | - | 709/709/709 | zun-mkv"},
        {"h264_hlg.mkv", "64x48 | 25 fps | V_MPEG4/ISO/AVC | - | - | 2020/HLG/2020nc | zun-mkv"},
        {"h264_pq.mkv", "64x48 | 25 fps | V_MPEG4/ISO/AVC | - | - | 2020/PQ/2020nc | zun-mkv"},
        {"jpeg2000_50p.mxf", "64x64 | 50 fps | JPEG 2000 | 10:11:12:13 | - | - | zun-mxf"},
        {"mjpeg_25.avi", "64x48 | 25 fps | MJPG | - | 2 ch \u00b7 48 kHz | - | exiftool"},
        {"mpeg1_24_mp2mono.mpg",
         "64x48 | 24 fps | MPEG-1 | 00:00:00:00 | 1 ch \u00b7 44.1 kHz | - | zun-mpeg"},
        {"mpeg2_25.mpg", "64x48 | 25 fps | MPEG-2 | 00:00:00:00 | - | - | zun-mpeg"},
        // MP2 stereo and AC-3 stereo: exiftool reads a false MPEG audio header (layer I, one
        // channel); the stream's own frame header counts.
        {"mpeg2_25_tc_mp2_ac3.mpg",
         "64x48 | 25 fps | MPEG-2 | 01:02:03:04 | 4 ch \u00b7 48 kHz | - | zun-mpeg"},
        {"mpeg2_25i_tff.mxf", "64x64 | 25 fps | MPEG-2 | 00:00:00:00 | - | - | zun-mxf"},
        {"mpeg2_25p.mxf", "64x64 | 25 fps | MPEG-2 | 01:02:03:04 | - | - | zun-mxf"},
        {"mpeg2_2997_ac3.m2ts",
         "64x48 | 29.97 fps | MPEG-2 | 00:00:00:00 | 2 ch \u00b7 48 kHz | - | zun-mpeg"},
        {"mpeg2_320x180.mxf", "320x180 | 25 fps | MPEG-2 | 00:00:00:00 | - | - | zun-mxf"},
        {"mpeg2_5994df.mxf",
         "64x64 | 59.94 fps | MPEG-2 | 00:10:00;02 | 1 ch \u00b7 48 kHz | - | zun-mxf"},
        {"mpeg2_bt601.mxf", "64x64 | 25 fps | MPEG-2 | 00:00:00:00 | - | 601/709/601 | zun-mxf"},
        {"mpeg2_bt709.mxf", "64x64 | 25 fps | MPEG-2 | 00:00:00:00 | - | 709/709/709 | zun-mxf"},
        {"mpeg2_hlg.mxf", "64x64 | 25 fps | MPEG-2 | 00:00:00:00 | - | 2020/HLG/2020nc | zun-mxf"},
        {"mpeg2_pcm_stereo.mxf",
         "64x64 | 25 fps | MPEG-2 | 00:00:00:00 | 2 ch \u00b7 48 kHz | - | zun-mxf"},
        {"mpeg2_pq.mxf", "64x64 | 25 fps | MPEG-2 | 00:00:00:00 | - | 2020/PQ/2020nc | zun-mxf"},
        {"mpeg4_24_tc.mkv", "64x48 | 24 fps | V_MPEG4/ISO/ASP | 02:03:04:05 | - | - | zun-mkv"},
        {"mpeg4_25_aac51.mov", "64x48 | 25 fps | mp4v | - | 6 ch \u00b7 48 kHz | - | zun-esds"},
        // The sample entry says 2 channels and 16 bits (template values); the decoder
        // configuration says one channel, and AAC has no sample size.
        {"mpeg4_25_aacmono.mp4", "64x48 | 25 fps | mp4v | - | 1 ch \u00b7 48 kHz | - | zun-esds"},
        {"pcm_s24_opatom.mxf", "- | - | - | 00:00:00:00 | 1 ch \u00b7 48 kHz | - | zun-mxf"},
        {"qt_tc_25.CRM", "64x48 | 25 fps | mp4v | 03:04:05:06 | - | - | zun-tmcd"},
        {"qt_tc_25.braw", "64x48 | 25 fps | mp4v | 03:04:05:06 | - | - | zun-tmcd"},
        {"remux_bt709.mkv", "64x48 | 25 fps | V_MPEG4/ISO/AVC | - | - | 709/709/709 | zun-mkv"},
    };
    // Colour label names, shortened for the table; any other name stands as printed.
    const std::map<std::string, std::string> label = {
        {"BT.709", "709"},
        {"BT.601", "601"},
        {"BT.2020, BT.2100", "2020"},
        {"BT.2100 HLG, ARIB STD-B67", "HLG"},
        {"SMPTE ST 2084, ITU BT.2100 PQ", "PQ"},
        {"BT.2020 non-constant luminance, BT.2100 YCbCr", "2020nc"}};
    auto r = testing_support::run_core({"scan", "samples/formats"},
                                       {{"ZUN_EXIFTOOL", "/usr/bin/exiftool"}}, ZUN_SOURCE_DIR);
    ASSERT_EQ(r.status, 0);
    std::size_t seen = 0;
    for (const auto& line : testing_support::lines(r.out)) {
        const json doc = json::parse(line);
        if (doc["event"] != "clip") continue;
        const json& clip = doc["clip"];
        const auto it = expected.find(clip["name"].get<std::string>());
        ASSERT_NE(it, expected.end()) << clip["name"];
        ++seen;
        std::map<std::string, json> fields;
        for (const json& field : clip["fields"])
            fields[field["id"].get<std::string>()] = field["value"];
        const auto text = [](const json& value) {
            return value.is_null() ? std::string("-") : value.get<std::string>();
        };
        std::string colour = "-";
        if (!fields["container_primaries"].is_null()) {
            colour.clear();
            for (const char* id :
                 {"container_primaries", "container_transfer", "container_matrix"}) {
                const std::string name = text(fields[id]);
                colour += (colour.empty() ? "" : "/") + (label.count(name) ? label.at(name) : name);
            }
        }
        std::string got;
        for (const char* id : {"resolution", "frame_rate", "codec", "timecode", "audio"})
            got += text(fields[id]) + " | ";
        got += colour + " | " + clip["readers"].back().get<std::string>();
        EXPECT_EQ(got, it->second) << it->first;
    }
    EXPECT_EQ(seen, expected.size());
}
