// The commands through the built binary over the sample media, and their shared steps in
// process.
#include <cstdlib>

#include <gtest/gtest.h>

#include "../export/fixtures.hpp"
#include "commands/internal.hpp"

namespace {

namespace fs = std::filesystem;
using namespace testing_support;

// A scratch copy of the sample media: media/A001/C0001.MP4, C0002.MOV, notes.txt and
// media/clip with space.avi.
fs::path copy_samples(const TempDir& t) {
    fs::copy(fs::path(ZUN_SOURCE_DIR) / "samples/media", t / "media", fs::copy_options::recursive);
    // The tests below count on exactly these three clips.
    fs::remove_all(t / "media" / "A002");
    return t / "media";
}

nlohmann::json parse(const std::string& line) {
    return nlohmann::json::parse(line, nullptr, false);
}

TEST(ExportCommand, WritesOneSidecarPerClipAndRefusesForeignFiles) {
    TempDir t;
    const auto media = copy_samples(t);
    write_file(media / "A001/C0002.MOV.zun-metadata.json", "my own notes");
    const auto before = fixtures::snapshot(t.path);

    const auto r = run_core({"export", media.string(), "--share"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto out = lines(r.out);
    ASSERT_EQ(out.size(), 3u) << r.out;
    const auto sidecar = media / "A001/C0001.MP4.zun-metadata.json";
    EXPECT_EQ(out[0], "{\"clip\":\"" + (media / "A001/C0001.MP4").string() +
                          "\",\"result\":\"Written(\\\"" + sidecar.string() + "\\\")\"}");
    EXPECT_EQ(parse(out[1])["result"],
              "RefusedForeign(\"" + (media / "A001/C0002.MOV.zun-metadata.json").string() + "\")");
    EXPECT_EQ(parse(out[2])["result"],
              "Written(\"" + (media / "clip with space.avi.zun-metadata.json").string() + "\")");

    const auto doc = parse(read_file(sidecar));
    ASSERT_TRUE(doc.is_object());
    EXPECT_EQ(doc["schema"], "zun-metadata/1");
    EXPECT_EQ(doc["share"], true);
    EXPECT_TRUE(doc["source"]["mtime_ns"].is_string());
    EXPECT_FALSE(doc["fields"].empty());

    const std::map<std::string, std::string> expected = {
        {"media/A001/C0001.MP4.zun-metadata.json", "added"},
        {"media/clip with space.avi.zun-metadata.json", "added"},
    };
    EXPECT_EQ(fixtures::changed(before, fixtures::snapshot(t.path)), expected);
}

TEST(ExportCommand, OutDirMirrorsAndSurvivesAClosedOutput) {
    TempDir t;
    const auto media = copy_samples(t);
    const auto out_dir = t / "out";
    // Standard output closed: the sidecars are still written and the status stays 0.
    const auto r =
        run("/bin/sh", {"-c", "\"$0\" export \"$1\" --out-dir \"$2\" >&-; echo \"status $?\"",
                        ZUN_BINARY, media.string(), out_dir.string()});
    EXPECT_EQ(r.out, "status 0\n") << r.err;
    EXPECT_TRUE(fs::is_regular_file(out_dir / "A001/C0001.MP4.zun-metadata.json"));
    EXPECT_TRUE(fs::is_regular_file(out_dir / "A001/C0002.MOV.zun-metadata.json"));
    EXPECT_TRUE(fs::is_regular_file(out_dir / "clip with space.avi.zun-metadata.json"));
    EXPECT_FALSE(fs::exists(media / "A001/C0001.MP4.zun-metadata.json"));
}

TEST(ResolveCsvCommand, StopsWith101WithoutOutOrWhenUnwritable) {
    TempDir t;
    const auto media = copy_samples(t);
    // A CSV from an earlier run must survive a failed write whole.
    write_file(t / "grade.csv", std::string(4096, 'x'));
    struct Case {
        std::vector<std::string> args;
        std::string diagnostic;
        const char* file_size_limit = nullptr; // in the shell's ulimit blocks
    };
    const std::vector<Case> cases = {
        {{"resolve-csv", media.string()}, "--out required"},
        {{"resolve-csv", media.string(), "--out"}, "--out required"},
        {{"resolve-csv", media.string(), "--out", t.path.string()}, "write csv"},
        {{"resolve-csv", media.string(), "--out", (t / "no/such/dir/x.csv").string()}, "write csv"},
        // The disk fills up halfway through the new CSV.
        {{"resolve-csv", media.string(), "--out", (t / "grade.csv").string()},
         "File too large (os error 27)",
         "1"},
        // The output would replace a clip it was made from.
        {{"resolve-csv", media.string(), "--out", (media / "A001/C0001.MP4").string()},
         "write csv " + (media / "A001/C0001.MP4").string() +
             ": the file is one of the scanned media files"},
    };
    for (const auto& c : cases) {
        const auto before = fixtures::snapshot(t.path);
        std::vector<std::string> limited = {
            "-c",
            "ulimit -f " + std::string(c.file_size_limit ? c.file_size_limit : "unlimited") +
                "; exec \"$0\" \"$@\"",
            ZUN_BINARY};
        limited.insert(limited.end(), c.args.begin(), c.args.end());
        const auto r = run("/bin/sh", limited);
        EXPECT_EQ(r.status, 101) << c.args.back();
        EXPECT_EQ(r.out, "") << c.args.back();
        EXPECT_NE(r.err.find(c.diagnostic), std::string::npos) << r.err;
        EXPECT_TRUE(fixtures::changed(before, fixtures::snapshot(t.path)).empty());
    }
}

TEST(ResolveCsvCommand, WritesTheFileAndTheSummary) {
    TempDir t;
    const auto media = copy_samples(t);
    // Written through a link: the link stays, its target gets the CSV and keeps its mode.
    const auto csv = t / "grade.csv";
    write_file(t / "real.csv", "old");
    fs::permissions(t / "real.csv", fs::perms::owner_read | fs::perms::owner_write);
    fs::create_symlink(t / "real.csv", csv);
    const auto r = run_core({"resolve-csv", media.string(), "--out", csv.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, R"({"excluded_ambiguous":[],"out":")" + csv.string() +
                         R"(","rows":3})"
                         "\n");
    EXPECT_TRUE(fs::is_symlink(csv));
    EXPECT_EQ(fs::status(t / "real.csv").permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(std::distance(fs::directory_iterator(t.path), fs::directory_iterator()), 3)
        << "no temporary file is left behind";
    const auto bytes = read_file(csv);
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(bytes.substr(0, 4), std::string("\xFF\xFE"
                                              "F\0",
                                              4));
    EXPECT_EQ(bytes.substr(bytes.size() - 4), std::string("\r\0\n\0", 4));
}

TEST(ResolvePlanCommand, AppliesConfirmationsAndPrintsOneArray) {
    TempDir t;
    const auto media = copy_samples(t);
    const auto clip = (media / "A001/C0002.MOV").string();
    write_file(t / "confirm.json", "{\"" + clip + R"(": {"curve": "V-Log", "gamut": "V-Gamut"}})");
    const auto r =
        run_core({"resolve-plan", media.string(), "--confirm", (t / "confirm.json").string()});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto out = lines(r.out);
    ASSERT_EQ(out.size(), 1u);
    const auto plans = parse(out[0]);
    ASSERT_TRUE(plans.is_array());
    ASSERT_EQ(plans.size(), 3u);
    // The first clip's Sony document gives a trustworthy curve and gamut; the third has none.
    EXPECT_EQ(plans[0]["input"], parse(R"({"curve":"S-Log3","value":"S-Gamut3.Cine/S-Log3"})"));
    EXPECT_EQ(plans[2]["input"], nullptr);
    EXPECT_EQ(plans[1]["path"], clip);
    EXPECT_EQ(plans[1]["input"], parse(R"({"curve":"V-Log","value":"Panasonic V-Gamut/V-Log"})"));

    fs::create_directories(t / "empty");
    const auto none = run_core({"resolve-plan", (t / "empty").string()});
    EXPECT_EQ(none.out, "[]\n");
}

TEST(ExtractCommand, NotAMediaFileGivesTheNoMetadataObject) {
    TempDir t;
    const auto media = copy_samples(t);
    const auto notes = (media / "A001/notes.txt").string();
    const auto before = fixtures::snapshot(t.path);
    const auto r = run_core({"extract", notes, "--also", (t / "copy.txt").string()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, R"({"error":"not a supported media file","event":"clip","path":")" + notes +
                         R"(","verdict":"no_metadata"})"
                         "\n");
    EXPECT_TRUE(fixtures::changed(before, fixtures::snapshot(t.path)).empty());
}

TEST(ExtractCommand, AFolderIsNotACopy) {
    TempDir t;
    const auto media = copy_samples(t);
    const auto before = fixtures::snapshot(t.path);
    // Its two clips would both take the folder's path as their copy: one sidecar beside the
    // folder, the second overwriting the first.
    const auto r = run_core({"extract", (media / "A001").string(), "--also", (t / "B").string()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, R"({"error":"not a supported media file","event":"clip","path":")" +
                         (media / "A001").string() +
                         R"(","verdict":"no_metadata"})"
                         "\n");
    EXPECT_TRUE(fixtures::changed(before, fixtures::snapshot(t.path)).empty());
}

TEST(ReadConfirmations, ParsesTheDocumentAndIgnoresTextThatIsNotUtf8) {
    TempDir t;
    const std::string doc = R"({"/m/a.MOV":{"curve":"V-Log"}})";
    write_file(t / "ok.json", doc);
    // The same document with a Latin-1 byte in a path.
    write_file(t / "latin1.json", "{\"/m/caf\xE9.MOV\":{\"curve\":\"V-Log\"}}");
    EXPECT_EQ(commands::read_confirmations((t / "ok.json").string()), parse(doc));
    EXPECT_EQ(commands::read_confirmations((t / "latin1.json").string()), "{}"_json);
    EXPECT_EQ(commands::read_confirmations((t / "missing.json").string()), "{}"_json);
    EXPECT_EQ(commands::read_confirmations(std::nullopt), "{}"_json);
}

TEST(ScanConfirmed, AppliesTheDocumentToTheClipsItNames) {
    TempDir t;
    write_script(t / "tool", "#!/bin/sh\nprintf '[]\\n'\n");
    const auto a = write_file(t / "card/a.mov", "x").string();
    write_file(t / "card/b.mov", "x");
    const auto confirmations = parse("{\"" + a + R"(":{"curve":"V-Log","gamut":"V-Gamut"}})");
    exiftool::Session session((t / "tool").string());
    auto clips = commands::scan_confirmed({(t / "card").string()}, confirmations, session);
    ASSERT_EQ(clips.size(), 2u);
    ASSERT_EQ(clips[0].path, a);
    const model::Field* curve = model::find_field(clips[0].fields, "curve");
    const model::Field* other = model::find_field(clips[1].fields, "curve");
    ASSERT_TRUE(curve && other);
    EXPECT_EQ(curve->value, "V-Log");
    EXPECT_EQ(curve->status, model::Status::Confirmed);
    EXPECT_EQ(other->value, std::nullopt);
    EXPECT_NE(other->status, model::Status::Confirmed);
}

} // namespace
