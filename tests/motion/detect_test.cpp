#include "motion/internal.hpp"

#include <algorithm>
#include <fstream>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "json_writer/json_writer.hpp"
#include "motion/gcsv_fixture.hpp"
#include "support/support.hpp"

namespace {

using namespace testing_support;
using motion_test::log_text;

const char* complete_project = R"({"calibration_data":{"camera_model":"Sony","lens_model":"24mm"},)"
                               R"("offsets":{"1000":12.5},"version":2,"videofile":"C0001.MP4"})";

std::string motion_json(const model::Motion& m) {
    return json_writer::compact(model::to_json(m));
}

std::string project_json(const model::Motion& m) {
    return m.project ? json_writer::compact(model::to_json(*m.project)) : "null";
}

model::RawTag tag(std::string group, std::string name, std::optional<std::string> printed = {}) {
    return {std::move(group), std::move(name), std::move(printed), nullptr};
}

TEST(Detect, LogAndCompleteProjectAreReady) {
    TempDir tmp;
    write_file(tmp / "C0001.MP4", "");
    write_file(tmp / "C0001.gcsv", log_text({}));
    write_file(tmp / "C0001.gyroflow", complete_project);
    std::string dir = tmp.path.string();
    EXPECT_EQ(motion_json(motion::detect(tmp / "C0001.MP4", {})),
              R"({"embedded":[],"external":[{"kind":"Gyroflow CSV","path":")" + dir +
                  R"(/C0001.gcsv"}],"gyro":{"duration_s":1.999,"kind":"GCSV","path":")" + dir +
                  R"(/C0001.gcsv","rate_hz":1000.0,"samples":2000,"vendor":"potatocam"},)"
                  R"("notes":[],"project":{"has_lens":true,"has_sync":true,"has_videofile":true,)"
                  R"("keys":["calibration_data","offsets","version","videofile"],"path":")" +
                  dir + R"(/C0001.gyroflow","valid_json":true},"ready":true})");
}

TEST(Detect, NothingFound) {
    TempDir tmp;
    write_file(tmp / "C0001.MP4", "");
    write_file(tmp / "C0002.gcsv", log_text({}));
    EXPECT_EQ(motion_json(motion::detect(tmp / "C0001.MP4", {tag("QuickTime", "MetaFormat")})),
              R"({"embedded":[],"external":[],"gyro":null,"notes":["none_detected"],)"
              R"("project":null,"ready":false})");
    // A clip in a folder that does not exist finds nothing either.
    EXPECT_EQ(motion::detect(tmp / "gone" / "C0001.MP4", {}).notes,
              std::vector<std::string>{"none_detected"});
}

TEST(Detect, ProjectFlags) {
    struct Case {
        const char* what;
        std::string project;
        const char* expected; // valid_json, has_videofile, has_sync, has_lens as 0/1, then keys
    };
    const Case cases[] = {
        {"complete", complete_project, "1111 calibration_data,offsets,version,videofile"},
        {"no offsets", R"({"videofile":"a","calibration_data":{"lens_model":"x"}})",
         "1101 calibration_data,videofile"},
        {"empty offsets", R"({"videofile":1,"offsets":{},"calibration_data":{"lens_model":"x"}})",
         "1101 calibration_data,offsets,videofile"},
        {"offsets not an object", R"({"offsets":[{"a":1}]})", "1000 offsets"},
        {"later duplicate key wins", R"({"offsets":{"a":1},"offsets":{}})", "1000 offsets"},
        {"videofile null counts", R"({"videofile":null})", "1100 videofile"},
        {"blank camera model, lens model",
         R"({"calibration_data":{"camera_model":" \u3000",)"
         R"("lens_model":"24mm"}})",
         "1001 calibration_data"},
        {"camera model not a string", R"({"calibration_data":{"camera_model":5}})",
         "1000 calibration_data"},
        {"camera model replaced by a non-string",
         R"({"calibration_data":{"camera_model":"A","camera_model":["B"]}})",
         "1000 calibration_data"},
        {"nested camera model does not count",
         R"({"calibration_data":{"x":{"camera_model":"A"}},"camera_model":"B"})",
         "1000 calibration_data,camera_model"},
        {"blank lens models", R"({"calibration_data":{"camera_model":"","lens_model":"\t"}})",
         "1000 calibration_data"},
        {"calibration data not an object", R"({"calibration_data":["camera_model","A"]})",
         "1000 calibration_data"},
        {"keys in byte order", R"({"b":1,"\u00e9":2,"Z":3,"a":{"q":1}})", "1000 Z,a,b,\xC3\xA9"},
        {"array document", R"([{"videofile":1}])", "1000 "},
        {"string document", R"("videofile")", "1000 "},
        {"invalid JSON", R"({"videofile":1,})", "0000 "},
        {"trailing text", R"({"videofile":1} {})", "0000 "},
        {"empty file", "", "0000 "},
        {"number overflow", R"({"videofile":1e999})", "0000 "},
        {"invalid UTF-8 in a string", "{\"videofile\":\"caf\xE9\"}", "0000 "},
        {"nesting at the limit", std::string(512, '[') + std::string(512, ']'), "1000 "},
        {"nesting past the limit", std::string(513, '[') + std::string(513, ']'), "0000 "},
        {"hostile nesting", std::string(100000, '[') + std::string(100000, ']'), "0000 "},
    };
    for (const auto& c : cases) {
        TempDir tmp;
        write_file(tmp / "C0001.gyroflow", c.project);
        auto m = motion::detect(tmp / "C0001.MP4", {});
        ASSERT_TRUE(m.project) << c.what;
        const auto& p = *m.project;
        std::string got = {char('0' + p.valid_json), char('0' + p.has_videofile),
                           char('0' + p.has_sync), char('0' + p.has_lens), ' '};
        for (std::size_t i = 0; i < p.keys.size(); ++i)
            got += (i ? "," : "") + p.keys[i];
        EXPECT_EQ(got, c.expected) << c.what;
        EXPECT_EQ(p.path, (tmp / "C0001.gyroflow").string());
        // A project, even a broken one, means something was detected.
        EXPECT_TRUE(m.notes.empty()) << c.what;
        EXPECT_FALSE(m.ready);
    }
}

TEST(Detect, ProjectCandidates) {
    TempDir tmp;
    // The stem candidate wins over the full-name candidate.
    write_file(tmp / "A.MP4.gyroflow", "{}");
    write_file(tmp / "A.gyroflow", complete_project);
    EXPECT_TRUE(motion::detect(tmp / "A.MP4", {}).project->has_sync);
    // A folder or a FIFO with the stem name is no project; the full-name one is used.
    fs::create_directory(tmp / "B.gyroflow");
    write_file(tmp / "B.MP4.gyroflow", complete_project);
    EXPECT_EQ(motion::detect(tmp / "B.MP4", {}).project->path, (tmp / "B.MP4.gyroflow").string());
    ASSERT_EQ(::mkfifo((tmp / "C.gyroflow").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo((tmp / "C.MP4.gyroflow").c_str(), 0600), 0);
    std::optional<model::Motion> fifos;
    EXPECT_EQ(blocking_open({tmp / "C.gyroflow", tmp / "C.MP4.gyroflow"},
                            [&] { fifos = motion::detect(tmp / "C.MP4", {}); }),
              "");
    ASSERT_TRUE(fifos);
    EXPECT_EQ(project_json(*fifos), "null");
    // A symbolic link to a project counts; a dangling one does not.
    fs::create_symlink("A.gyroflow", tmp / "D.gyroflow");
    fs::create_symlink("nowhere", tmp / "E.gyroflow");
    EXPECT_TRUE(motion::detect(tmp / "D.MP4", {}).project->valid_json);
    EXPECT_EQ(project_json(motion::detect(tmp / "E.MP4", {})), "null");
}

TEST(Detect, OversizedProjectIsNotRead) {
    TempDir tmp;
    std::string body = complete_project;
    body.resize(motion::kMaxProjectBytes, ' ');
    write_file(tmp / "A.gyroflow", body);
    EXPECT_TRUE(motion::detect(tmp / "A.MP4", {}).project->valid_json);
    // One byte more (appended rather than writing the whole file again).
    std::ofstream(tmp / "A.gyroflow", std::ios::binary | std::ios::app) << ' ';
    ASSERT_EQ(fs::file_size(tmp / "A.gyroflow"), motion::kMaxProjectBytes + 1);
    EXPECT_EQ(project_json(motion::detect(tmp / "A.MP4", {})),
              R"({"has_lens":false,"has_sync":false,"has_videofile":false,"keys":[],"path":")" +
                  (tmp / "A.gyroflow").string() + R"(","valid_json":false})");
}

TEST(Detect, UnreadableProject) {
    TempDir tmp;
    write_file(tmp / "A.gyroflow", complete_project);
    fs::permissions(tmp / "A.gyroflow", fs::perms::none);
    auto failure = as_unprivileged([&]() -> std::string {
        auto m = motion::detect(tmp / "A.MP4", {});
        if (!m.project) return "project not reported";
        return m.project->valid_json ? "unreadable project counted as valid JSON" : "";
    });
    EXPECT_EQ(failure, "");
}

TEST(Detect, CompanionFiles) {
    TempDir tmp;
    const char* companions[] = {"C0001.gcsv", "C0001.MP4.BBL", "C0001.Bfl", "C0001.MP4.GcSv"};
    const char* strangers[] = {
        "C0001X.gcsv", "c0001.gcsv", "C0001.gcsv.txt", "C0001.txt", "C0001.MP4.gyroflow.bbl",
        "C0001",       "other.bfl",  "C0001.gcsvx"};
    for (const char* n : companions)
        write_file(tmp / n, "not a log");
    for (const char* n : strangers)
        write_file(tmp / n, log_text({}));
    auto m = motion::detect(tmp / "C0001.MP4", {});
    // Entries come in the folder's listing order.
    std::vector<std::string> expected;
    for (const auto& entry : fs::directory_iterator(tmp.path))
        if (std::find(std::begin(companions), std::end(companions), entry.path().filename()) !=
            std::end(companions))
            expected.push_back(entry.path().string());
    std::vector<std::string> got;
    for (const auto& e : m.external) {
        got.push_back(e.path);
        bool gcsv = e.path.ends_with("gcsv") || e.path.ends_with("GcSv");
        EXPECT_EQ(e.kind, gcsv ? "Gyroflow CSV" : "Betaflight blackbox") << e.path;
    }
    EXPECT_EQ(got, expected);
    // No log parsed: listed, but no gyro and no notes.
    EXPECT_FALSE(m.gyro);
    EXPECT_TRUE(m.notes.empty());
}

TEST(Detect, ClipWithoutExtension) {
    TempDir tmp;
    write_file(tmp / "C0001.gcsv", log_text({}));
    write_file(tmp / "C0001.gyroflow", "{}");
    auto m = motion::detect(tmp / "C0001", {});
    ASSERT_EQ(m.external.size(), 1u);
    EXPECT_TRUE(m.gyro);
    ASSERT_TRUE(m.project);
    EXPECT_EQ(m.project->path, (tmp / "C0001.gyroflow").string());
}

TEST(Detect, BlackboxOnly) {
    TempDir tmp;
    write_file(tmp / "C0001.MP4.bbl", log_text({}));
    EXPECT_EQ(motion_json(motion::detect(tmp / "C0001.MP4", {})),
              R"({"embedded":[],"external":[{"kind":"Betaflight blackbox","path":")" +
                  (tmp / "C0001.MP4.bbl").string() +
                  R"("}],"gyro":null,"notes":[],"project":null,"ready":false})");
}

TEST(Detect, FirstParsingLogIsUsed) {
    TempDir tmp;
    // Whatever the listing order, only one of the two logs parses.
    write_file(tmp / "C0001.gcsv", log_text({.rows = 19}));
    write_file(tmp / "C0001.MP4.gcsv", log_text({.rows = 100}));
    fs::create_directory(tmp / "C0001.MP4.GCSV");
    auto m = motion::detect(tmp / "C0001.MP4", {});
    EXPECT_EQ(m.external.size(), 3u);
    ASSERT_TRUE(m.gyro);
    EXPECT_EQ(m.gyro->samples, 100u);
    EXPECT_EQ(m.gyro->path, (tmp / "C0001.MP4.gcsv").string());
}

TEST(Detect, Readiness) {
    struct Case {
        const char* what;
        std::string project; // empty: no project file
        bool ready;
    };
    const Case cases[] = {
        {"complete project", complete_project, true},
        {"no project", "", false},
        {"no offsets", R"({"videofile":"a","calibration_data":{"lens_model":"x"}})", false},
        {"empty offsets",
         R"({"videofile":"a","offsets":{},"calibration_data":{"camera_model":"x"}})", false},
        {"no videofile", R"({"offsets":{"1":1},"calibration_data":{"camera_model":"x"}})", false},
        {"no lens", R"({"videofile":"a","offsets":{"1":1}})", false},
        {"broken project", "{", false},
    };
    for (const auto& c : cases) {
        TempDir tmp;
        write_file(tmp / "C0001.gcsv", log_text({}));
        if (!c.project.empty()) write_file(tmp / "C0001.gyroflow", c.project);
        auto m = motion::detect(tmp / "C0001.MP4", {});
        ASSERT_TRUE(m.gyro) << c.what;
        EXPECT_EQ(m.ready, c.ready) << c.what;
        EXPECT_EQ(m.notes, c.ready ? std::vector<std::string>{}
                                   : std::vector<std::string>{"gyro_needs_project"})
            << c.what;
    }
    // A complete project without a log is not ready, and notes nothing.
    TempDir tmp;
    write_file(tmp / "C0001.gyroflow", complete_project);
    auto m = motion::detect(tmp / "C0001.MP4", {});
    EXPECT_FALSE(m.ready);
    EXPECT_TRUE(m.notes.empty());
}

TEST(Detect, EmbeddedHints) {
    struct Case {
        const char* what;
        std::vector<model::RawTag> tags;
        std::vector<std::string> hints; // "kind|evidence"
        std::vector<std::string> notes;
    };
    std::vector<model::RawTag> seven;
    for (int i = 0; i < 7; ++i)
        seven.push_back(tag("Group" + std::to_string(i), "GyroData"));
    const Case cases[] = {
        {"stream, value lower-cased",
         {tag("QuickTime", "MetaFormat", "RTMD")},
         {"stream|QuickTime:MetaFormat = rtmd"},
         {}},
        {"every stream format",
         {tag("Track1", "metaformat", "gpmd"), tag("Track2", "MetaFormat", "DJMD"),
          tag("Track3", "MetaFormat", "camm")},
         {"stream|Track1:metaformat = gpmd", "stream|Track2:MetaFormat = djmd",
          "stream|Track3:MetaFormat = camm"},
         {}},
        {"other meta formats and missing values are no stream",
         {tag("QuickTime", "MetaFormat", "mebx"), tag("QuickTime", "MetaFormat")},
         {},
         {"none_detected"}},
        {"meta format in a vendor group",
         {tag("GoPro", "MetaFormat", "tmcd")},
         {"vendor group|GoPro:MetaFormat"},
         {}},
        {"vendor groups",
         {tag("GoPro", "Model"), tag("Insta360Pro", "Gyro"), tag("XGoPro", "Model")},
         {"vendor group|GoPro:Model", "vendor group|Insta360Pro:Gyro"},
         {}},
        {"gyro in the name", {tag("Sony", "GyroscopeInfo")}, {"tag|Sony:GyroscopeInfo"}, {}},
        {"seven gyro tags give six hints",
         seven,
         {"tag|Group0:GyroData", "tag|Group1:GyroData", "tag|Group2:GyroData",
          "tag|Group3:GyroData", "tag|Group4:GyroData", "tag|Group5:GyroData"},
         {}},
        {"same evidence once",
         {tag("A", "Gyro"), tag("A", "Gyro"), tag("QuickTime", "MetaFormat", "RTMD"),
          tag("QuickTime", "MetaFormat", "rtmd")},
         {"tag|A:Gyro", "stream|QuickTime:MetaFormat = rtmd"},
         {}},
        {"accelerometer note once",
         {tag("A", "AccelerometerData"), tag("B", "accelerometerX"), tag("C", "Accel")},
         {},
         {"accel_snapshot", "none_detected"}},
    };
    for (const auto& c : cases) {
        TempDir tmp;
        auto m = motion::detect(tmp / "C0001.MP4", c.tags);
        std::vector<std::string> hints;
        for (const auto& e : m.embedded) {
            EXPECT_EQ(e.confidence, "hint");
            hints.push_back(e.kind + "|" + e.evidence);
        }
        EXPECT_EQ(hints, c.hints) << c.what;
        EXPECT_EQ(m.notes, c.notes) << c.what;
    }
}

TEST(Detect, NamesThatAreNotUtf8) {
    TempDir tmp;
    write_file(tmp / "C\xFF.gcsv", log_text({}));
    write_file(tmp / "C\xFF.gyroflow", complete_project);
    auto m = motion::detect(tmp / "C\xFF.MP4", {});
    ASSERT_EQ(m.external.size(), 1u);
    EXPECT_EQ(m.external[0].path, tmp.path.string() + "/C\xEF\xBF\xBD.gcsv");
    ASSERT_TRUE(m.gyro);
    EXPECT_EQ(m.gyro->path, m.external[0].path);
    EXPECT_TRUE(m.ready);
}

TEST(DetectCache, SameResultsAsFreshListing) {
    TempDir tmp;
    const char* folders[] = {"card1", "card2"};
    std::vector<fs::path> clips;
    for (const char* folder : folders) {
        for (int i = 0; i < 60; ++i) {
            std::string stem = "C" + std::to_string(1000 + i);
            clips.push_back(write_file(tmp / folder / (stem + ".MP4"), ""));
            if (i % 3 == 0) write_file(tmp / folder / (stem + ".gcsv"), log_text({.rows = 25}));
            if (i % 4 == 0) write_file(tmp / folder / (stem + ".MP4.BFL"), "");
            if (i % 5 == 0) write_file(tmp / folder / (stem + ".MP4.gcsv"), "broken");
            if (i % 6 == 0) write_file(tmp / folder / (stem + ".gyroflow"), complete_project);
        }
    }
    clips.push_back(tmp / "card1" / "missing" / "C9.MP4");
    std::vector<model::RawTag> tags = {tag("QuickTime", "MetaFormat", "rtmd")};
    motion::DirCache cache;
    int with_logs = 0;
    for (const auto& clip : clips) {
        auto fresh = motion::detect(clip, tags);
        auto cached = motion::detect(clip, tags, cache);
        EXPECT_EQ(motion_json(cached), motion_json(fresh)) << clip;
        with_logs += fresh.gyro.has_value();
    }
    EXPECT_EQ(with_logs, 40);
    EXPECT_EQ(cache.folders.size(), 3u);
}

TEST(DetectCache, ListingIsKeptForTheScan) {
    TempDir tmp;
    write_file(tmp / "A.gcsv", log_text({}));
    motion::DirCache cache;
    EXPECT_EQ(motion::detect(tmp / "A.MP4", {}, cache).external.size(), 1u);
    // A file added after the folder was listed is not seen through the same cache.
    write_file(tmp / "B.gcsv", log_text({}));
    EXPECT_TRUE(motion::detect(tmp / "B.MP4", {}, cache).external.empty());
    EXPECT_EQ(motion::detect(tmp / "B.MP4", {}).external.size(), 1u);
}

} // namespace
