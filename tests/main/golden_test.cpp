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
// wrote into them (samples/formats/README.md): timecode, frame rate, codec, audio, readers.
TEST(Golden, ContainerFormatsGiveTimecodeRateCodecAndAudio) {
    if (!fs::exists("/usr/bin/exiftool")) GTEST_SKIP() << "exiftool is not installed";
    struct Expect {
        const char* timecode;
        const char* frame_rate;
        const char* codec;
        const char* audio;
        const char* last_reader;
    };
    const std::map<std::string, Expect> expected = {
        {"mpeg2_25p.mxf", {"01:02:03:04", "25 fps", "MPEG-2", nullptr, "zun-mxf"}},
        {"dnxhr_lb_23976.mxf", {"01:00:00:00", "23.976 fps", "DNxHD", nullptr, "zun-mxf"}},
        {"h264_2997df.mxf", {"00:59:59;28", "29.97 fps", "AVC", nullptr, "zun-mxf"}},
        {"jpeg2000_50p.mxf", {"10:11:12:13", "50 fps", "JPEG 2000", nullptr, "zun-mxf"}},
        {"mpeg2_5994df.mxf",
         {"00:10:00;02", "59.94 fps", "MPEG-2", "1 ch \u00b7 48 kHz", "zun-mxf"}},
        {"mpeg2_320x180.mxf", {"00:00:00:00", "25 fps", "MPEG-2", nullptr, "zun-mxf"}},
        {"mpeg2_25i_tff.mxf", {"00:00:00:00", "25 fps", "MPEG-2", nullptr, "zun-mxf"}},
        {"d10_720x608_25i.mxf", {"00:00:00:00", "25 fps", "MPEG-2", nullptr, "zun-mxf"}},
        // Two channels in the file (mxf::read counts 2); the audio field does not take exiftool's
        // MXF ChannelCount and counts the one sound track instead.
        {"mpeg2_pcm_stereo.mxf",
         {"00:00:00:00", "25 fps", "MPEG-2", "1 ch \u00b7 48 kHz", "zun-mxf"}},
        {"dnxhr_lb_opatom.mxf", {"00:00:00:00", "25 fps", "DNxHD", nullptr, "zun-mxf"}},
        {"pcm_s24_opatom.mxf", {"00:00:00:00", nullptr, nullptr, "1 ch \u00b7 48 kHz", "zun-mxf"}},
        {"mpeg2_bt709.mxf", {"00:00:00:00", "25 fps", "MPEG-2", nullptr, "zun-mxf"}},
        {"mpeg2_pq.mxf", {"00:00:00:00", "25 fps", "MPEG-2", nullptr, "zun-mxf"}},
        {"mpeg2_hlg.mxf", {"00:00:00:00", "25 fps", "MPEG-2", nullptr, "zun-mxf"}},
        {"mpeg2_bt601.mxf", {"00:00:00:00", "25 fps", "MPEG-2", nullptr, "zun-mxf"}},
        {"mjpeg_25.avi", {nullptr, "25 fps", "MJPG", "1 ch \u00b7 48 kHz", "exiftool"}},
        {"mpeg2_25.mpg", {"00:00:00:00", "25 fps", "MPEG-2", nullptr, "zun-mpeg"}},
        {"mpeg4_24_tc.mkv", {"02:03:04:05", "24 fps", "V_MPEG4/ISO/ASP", nullptr, "exiftool"}},
        // Stereo AC-3: the audio field does not count the reader's channels yet.
        {"mpeg2_2997_ac3.m2ts",
         {"00:00:00:00", "29.97 fps", "MPEG-2", "1 ch \u00b7 48 kHz", "zun-mpeg"}},
        {"h264_2997i_ac3.m2ts", {nullptr, "29.97 fps", "AVC", "1 ch \u00b7 48 kHz", "zun-mpeg"}},
        {"mpeg1_24_mp2mono.mpg", {"00:00:00:00", "24 fps", "MPEG-1", nullptr, "zun-mpeg"}},
        {"mpeg2_25_tc_mp2_ac3.mpg", {"01:02:03:04", "25 fps", "MPEG-2", nullptr, "zun-mpeg"}},
        {"qt_tc_25.CRM", {"03:04:05:06", "25 fps", "mp4v", nullptr, "zun-tmcd"}},
        {"qt_tc_25.braw", {"03:04:05:06", "25 fps", "mp4v", nullptr, "zun-tmcd"}},
        // Mono AAC: the audio field takes the sample entry's template count (2) and sample size
        // (16); the AudioSpecificConfig says 1 channel, and AAC has no sample size.
        {"mpeg4_25_aacmono.mp4",
         {nullptr, "25 fps", "mp4v", "2 ch \u00b7 48 kHz \u00b7 16-bit", "exiftool"}},
        // The QuickTime sound description (version 1) holds the 6 channels; "16-bit" as above.
        {"mpeg4_25_aac51.mov",
         {nullptr, "25 fps", "mp4v", "6 ch \u00b7 48 kHz \u00b7 16-bit", "exiftool"}},
        // Matroska codecs come from exiftool's first CodecID tag for now: with the audio track
        // first that is the audio's, and mkvmerge's order of elements makes exiftool name the
        // tag VideoCodecID, which is not read. The mkv reader is to give the video track's.
        {"aac_first_mpeg4.mkv",
         {nullptr, "25 fps", "A_AAC", "2 ch \u00b7 44.1 kHz \u00b7 32-bit", "exiftool"}},
        {"remux_bt709.mkv", {nullptr, "25 fps", nullptr, nullptr, "exiftool"}},
        {"h264_bt709.mkv", {nullptr, "25 fps", "V_MPEG4/ISO/AVC", nullptr, "exiftool"}},
        {"h264_pq.mkv", {nullptr, "25 fps", "V_MPEG4/ISO/AVC", nullptr, "exiftool"}},
        {"h264_hlg.mkv", {nullptr, "25 fps", "V_MPEG4/ISO/AVC", nullptr, "exiftool"}},
        {"h264_bt601_tff.mkv", {nullptr, "29.97 fps", "V_MPEG4/ISO/AVC", nullptr, "exiftool"}},
    };
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
        const Expect& want = it->second;
        std::map<std::string, json> fields;
        for (const json& field : clip["fields"])
            fields[field["id"].get<std::string>()] = field["value"];
        const auto value = [](const char* text) { return text ? json(text) : json(nullptr); };
        EXPECT_EQ(fields["timecode"], value(want.timecode)) << it->first;
        EXPECT_EQ(fields["frame_rate"], value(want.frame_rate)) << it->first;
        EXPECT_EQ(fields["codec"], value(want.codec)) << it->first;
        EXPECT_EQ(fields["audio"], value(want.audio)) << it->first;
        EXPECT_EQ(clip["readers"].back(), want.last_reader) << it->first;
    }
    EXPECT_EQ(seen, expected.size());
}
