#include <sys/stat.h>

#include <gtest/gtest.h>

#include "../export/fixtures.hpp"
#include "extract/internal.hpp"
#include "json_writer/json_writer.hpp"

namespace {

namespace fs = std::filesystem;
using fixtures::clip_at;
using fixtures::field;
using model::Status;
using namespace testing_support;

TEST(Verdict, NeedsAValuedFieldBesidesFileSize) {
    struct Case {
        std::vector<model::Field> fields;
        bool ok;
        std::vector<std::string> readers;
        const char* expected;
    };
    const std::vector<Case> cases = {
        {{field("make", "Sony")}, true, {"exiftool"}, "found"},
        {{field("make", "Sony")}, false, {"zun-sony"}, "partial"},
        {{field("make", "Sony")}, false, {}, "no_metadata"},
        {{field("file_size", "12 MB", Status::Computed)}, true, {"exiftool"}, "no_metadata"},
        {{field("make", "Sony", Status::Unavailable)}, true, {"exiftool"}, "no_metadata"},
        {{field("make", std::nullopt, Status::Computed)}, true, {"exiftool"}, "no_metadata"},
        {{field("file_size", "1 B", Status::Computed), field("iso", "800", Status::SourcesDiffer)},
         true,
         {"exiftool"},
         "found"},
        {{}, true, {"exiftool"}, "no_metadata"},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        auto clip = clip_at("/m/x.MOV");
        clip.fields = cases[i].fields;
        clip.ok = cases[i].ok;
        clip.readers = cases[i].readers;
        EXPECT_EQ(extract::verdict(clip), cases[i].expected) << "case " << i;
    }
}

TEST(FieldSummary, LeavesOutUnavailableFieldsWithoutValue) {
    const std::vector<model::Field> fields = {
        field("make", "Sony"),
        field("lens", std::nullopt, Status::Unavailable, "exiftool", "sony_no_lens"),
        field("iso", "800", Status::Unavailable),
        field("wb_temp", std::nullopt, Status::Computed),
    };
    EXPECT_EQ(
        json_writer::compact(extract::field_summary(fields)),
        R"([{"id":"make","kind":"declared","note":null,"source":"exiftool","status":"found","value":"Sony"},)"
        R"({"id":"iso","kind":"declared","note":null,"source":"exiftool","status":"unavailable","value":"800"},)"
        R"({"id":"wb_temp","kind":null,"note":null,"source":null,"status":"computed","value":null}])");
}

nlohmann::json sidecar_of(const fs::path& path) {
    return nlohmann::json::parse(read_file(path), nullptr, false);
}

TEST(Emit, WritesBesideEveryCopyAndKeepsKeptOnes) {
    TempDir t;
    write_file(t / "A/C0001.MP4", "first copy");
    write_file(t / "B/C0001_b.MP4", "the second copy, longer");
    write_file(t / "K/C0001.MP4", "kept");
    auto clip = clip_at(t / "A/C0001.MP4");
    clip.size = 10;
    clip.error = "partial read";
    clip.ok = false;
    const std::vector<fs::path> copies = {t / "A/C0001.MP4", t / "B/C0001_b.MP4", t / "K/C0001.MP4",
                                          t / "missing/dir/C0001.MP4"};
    const std::vector<fs::path> keep = {t / "K//C0001.MP4", t / "elsewhere.MP4"};

    const auto before = fixtures::snapshot(t.path);
    const auto events = extract::write_sidecars(clip, copies, keep, "12.76", export_::Share::Yes);
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(events[0]["event"], "clip");
    EXPECT_EQ(events[0]["verdict"], "partial");
    EXPECT_EQ(events[0]["error"], "partial read");
    EXPECT_EQ(events[0]["exiftool"], "12.76");
    EXPECT_EQ(json_writer::compact(events[3]),
              R"({"clip":")" + (t / "K/C0001.MP4").string() +
                  R"(","error":null,"event":"sidecar","result":"kept_copied","sidecar":null})");
    for (std::size_t i : {1u, 2u, 4u}) {
        EXPECT_EQ(events[i]["result"], "written") << i;
        EXPECT_EQ(events[i]["clip"], copies[i - 1].string());
    }

    const auto b = sidecar_of(t / "B/C0001_b.MP4.zun-metadata.json");
    ASSERT_FALSE(b.is_discarded());
    EXPECT_EQ(events[2]["sidecar"], (t / "B/C0001_b.MP4.zun-metadata.json").string());
    EXPECT_EQ(b["source"]["name"], "C0001_b.MP4");
    EXPECT_EQ(b["source"]["size"], 23);
    EXPECT_FALSE(b["source"].contains("dir")); // shared
    struct stat st {};
    ASSERT_EQ(::stat((t / "B/C0001_b.MP4").c_str(), &st), 0);
    const auto mtime = static_cast<model::u128>(st.st_mtim.tv_sec) * 1000000000u +
                       static_cast<model::u128>(st.st_mtim.tv_nsec);
    EXPECT_EQ(b["source"]["mtime_ns"], std::to_string(static_cast<unsigned long long>(mtime)));

    // A copy whose file is missing keeps the scanned clip's size and time.
    const auto missing = sidecar_of(t / "missing/dir/C0001.MP4.zun-metadata.json");
    EXPECT_EQ(missing["source"]["size"], 10);
    EXPECT_EQ(missing["source"]["mtime_ns"], "1700000000123456789");

    const std::map<std::string, std::string> expected = {
        {"A/C0001.MP4.zun-metadata.json", "added"},
        {"B/C0001_b.MP4.zun-metadata.json", "added"},
        {"missing", "added"},
        {"missing/dir", "added"},
        {"missing/dir/C0001.MP4.zun-metadata.json", "added"},
    };
    EXPECT_EQ(fixtures::changed(before, fixtures::snapshot(t.path)), expected);
}

TEST(Emit, ReportsRefusalsAndErrorsAndGoesOn) {
    TempDir t;
    write_file(t / "A/C0001.MP4", "clip");
    write_file(t / "B/C0001.MP4.zun-metadata.json", "somebody else's notes");
    write_file(t / "F", "regular file where a directory is needed");
    const auto clip = clip_at(t / "A/C0001.MP4");
    const std::vector<fs::path> copies = {t / "B/C0001.MP4", t / "F/C0001.MP4", t / "A/C0001.MP4"};

    const auto before = fixtures::snapshot(t.path);
    const auto events = extract::write_sidecars(clip, copies, {}, "v", export_::Share::No);
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[1]["result"], "refused_foreign");
    EXPECT_EQ(events[1]["sidecar"], (t / "B/C0001.MP4.zun-metadata.json").string());
    EXPECT_EQ(events[2]["result"], "error");
    EXPECT_TRUE(events[2]["sidecar"].is_null());
    EXPECT_NE(events[2]["error"].get<std::string>().find("(os error "), std::string::npos);
    EXPECT_EQ(events[3]["result"], "written");
    const std::map<std::string, std::string> expected = {
        {"A/C0001.MP4.zun-metadata.json", "added"}};
    EXPECT_EQ(fixtures::changed(before, fixtures::snapshot(t.path)), expected);
}

TEST(Emit, CopiesFollowThePathRulesOfDiscovery) {
    TempDir t;
    const auto clip = clip_at(write_file(t / "A/C0001.MP4", "clip"));
    // Interior "." and trailing separators do not count; a path without a file name is an
    // error and writes nothing, at the file-system root least of all.
    const std::vector<std::pair<fs::path, std::string>> cases = {
        {t.path.string() + "/K/./C0001.MP4", "kept_copied"},
        {t.path.string() + "/C/C0001.MP4/",
         "written " + (t / "C/C0001.MP4.zun-metadata.json").string()},
        {t.path.string() + "/D/.", "written " + (t / "D.zun-metadata.json").string()},
        {t.path.string() + "/E/..", "error clip has no file name"},
        {"/.", "error clip has no file name"},
        {"/", "error clip has no file name"},
    };
    std::vector<fs::path> copies;
    for (const auto& c : cases)
        copies.push_back(c.first);
    const auto before = fixtures::snapshot(t.path);
    const auto events =
        extract::write_sidecars(clip, copies, {t / "K/C0001.MP4"}, "v", export_::Share::No);
    ASSERT_EQ(events.size(), cases.size() + 1);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& e = events[i + 1];
        std::string got = e["result"].get<std::string>();
        if (e["sidecar"].is_string()) got += " " + e["sidecar"].get<std::string>();
        if (e["error"].is_string()) got += " " + e["error"].get<std::string>();
        EXPECT_EQ(got, cases[i].second) << cases[i].first;
    }
    const std::map<std::string, std::string> expected = {{"C", "added"},
                                                         {"C/C0001.MP4.zun-metadata.json", "added"},
                                                         {"D.zun-metadata.json", "added"}};
    EXPECT_EQ(fixtures::changed(before, fixtures::snapshot(t.path)), expected);
    EXPECT_FALSE(fs::exists("/..zun-metadata.json"));
}

TEST(Emit, NoMetadataWritesNothing) {
    TempDir t;
    auto clip = clip_at(write_file(t / "A/C0001.MP4", "clip"));
    clip.fields = {field("file_size", "4 B", Status::Computed)};
    const auto before = fixtures::snapshot(t.path);
    const auto events = extract::write_sidecars(clip, {t / "A/C0001.MP4", t / "B/C0001.MP4"}, {},
                                                "v", export_::Share::No);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["verdict"], "no_metadata");
    EXPECT_EQ(json_writer::compact(events[0]).substr(0, 40),
              R"({"error":null,"event":"clip","exiftool":)");
    EXPECT_TRUE(fixtures::changed(before, fixtures::snapshot(t.path)).empty());
}

} // namespace
