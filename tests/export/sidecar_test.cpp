#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "export/internal.hpp"
#include "fixtures.hpp"
#include "json_writer/json_writer.hpp"

namespace {

namespace fs = std::filesystem;
using export_::Share;
using fixtures::clip_at;
using namespace testing_support;

const char* const expected_sidecar = R"({
  "fields": [
    {
      "alternates": [],
      "id": "make",
      "note": null,
      "primary": {
        "group": "Main",
        "kind": "declared",
        "printed": "Sony",
        "raw": "Sony",
        "source": "exiftool",
        "tag": "make"
      },
      "section": "camera",
      "status": "found",
      "value": "Sony"
    }
  ],
  "generator": {
    "app": "ZUN Metadata",
    "exiftool": "12.76",
    "version": "0.1.0"
  },
  "readers": [
    "exiftool"
  ],
  "schema": "zun-metadata/1",
  "share": false,
  "source": {
    "dir": "/m/A001",
    "mtime_ns": "18446744073709551621",
    "name": "C0001.MP4",
    "size": 1234
  },
  "tags": [
    {
      "group": "QuickTime",
      "name": "Make",
      "printed": "Sony",
      "raw": "Sony"
    },
    {
      "group": "Main",
      "name": "SerialNumber",
      "printed": null,
      "raw": 12345
    }
  ]
})";

model::Clip sample_clip() {
    auto clip = clip_at("/m/A001/C0001.MP4");
    clip.mtime_ns = (static_cast<model::u128>(1) << 64) + 5; // needs all 128 bits in decimal
    model::RawTag serial;
    serial.group = "Main";
    serial.name = "SerialNumber";
    serial.raw = 12345;
    clip.tags.push_back(serial);
    clip.error = "ignored";
    clip.scan_ms = 7;
    return clip;
}

TEST(SidecarJson, TextIsByteExact) {
    const auto text = json_writer::pretty(export_::sidecar_json(sample_clip(), "12.76", Share::No));
    EXPECT_EQ(text, expected_sidecar);
}

TEST(SidecarJson, SharedDropsDirectoryAndIdentifyingTags) {
    auto clip = sample_clip();
    for (auto [group, name] :
         std::vector<std::pair<std::string, std::string>>{{"ExifIFD", "InternalSerialNumber"},
                                                          {"System", "FilePath"},
                                                          {"Composite", "GPSLatitude"},
                                                          {"ExifIFD", "OwnerName"},
                                                          {"Canon", "CameraUserID"},
                                                          {"", "SourceFile"},
                                                          {"System", "Directory"},
                                                          {"GPS", "Altitude"},
                                                          {"UserData-Gps", "Speed"},
                                                          {"Sony", "SERIAL"},
                                                          {"System", "FileDirectory"},
                                                          {"QuickTime", "DirectoryIndex"}}) {
        model::RawTag tag;
        tag.group = group;
        tag.name = name;
        tag.raw = 1;
        clip.tags.push_back(tag);
    }
    const auto doc = export_::sidecar_json(clip, "12.76", Share::Yes);
    EXPECT_EQ(doc["share"], true);
    EXPECT_FALSE(doc["source"].contains("dir"));
    EXPECT_EQ(doc["source"]["name"], "C0001.MP4");
    std::vector<std::string> names;
    for (const auto& tag : doc["tags"])
        names.push_back(tag["name"].get<std::string>());
    // Only names merely resembling the filtered ones survive, in their order.
    EXPECT_EQ(names, (std::vector<std::string>{"Make", "FileDirectory", "DirectoryIndex"}));
    EXPECT_EQ(doc["fields"].size(), clip.fields.size());

    const auto full = export_::sidecar_json(clip, "12.76", Share::No);
    EXPECT_EQ(full["tags"].size(), clip.tags.size());
    EXPECT_EQ(full["source"]["dir"], "/m/A001");
}

TEST(SidecarPath, MirrorKeepsEverySidecarInsideTheOutputAndApart) {
    struct Case {
        std::vector<const char*> clips;
        std::optional<fs::path> out; // no output directory: beside each clip
        std::vector<const char*> expected;
    };
    const std::vector<Case> cases = {
        {{"/a/x/1.MOV", "/a/y/2.MOV"}, "/o", {"/o/x/1.MOV", "/o/y/2.MOV"}},
        {{"/a/x/1.MOV"}, "/o", {"/o/1.MOV"}},
        {{"/a/x/1.MOV", "/a/xy/2.MOV"}, "/o", {"/o/x/1.MOV", "/o/xy/2.MOV"}},
        {{"/a/x/1.MOV", "/b/y/2.MOV"}, "/o", {"/o/a/x/1.MOV", "/o/b/y/2.MOV"}},
        {{"rel/x/1.MOV", "rel/y/2.MOV"}, "out", {"out/x/1.MOV", "out/y/2.MOV"}},
        {{"1.MOV", "rel/2.MOV"}, "out", {"out/1.MOV", "out/rel/2.MOV"}},
        // Relative directories that never step up mirror as given, "." included.
        {{"./x/1.MOV", "y/2.MOV"}, "out", {"out/./x/1.MOV", "out/y/2.MOV"}},
        // ".." or a mix of absolute and relative: resolved against the working directory /w/d.
        {{"a/x.mov", "../other/y.mov"}, "out", {"out/d/a/x.mov", "out/other/y.mov"}},
        {{"/abs/m1/c.mov", "x/c.mov", "y/c.mov"},
         "o",
         {"o/abs/m1/c.mov", "o/w/d/x/c.mov", "o/w/d/y/c.mov"}},
        {{"/x/../../etc/1.MOV"}, "/o", {"/o/1.MOV"}},
        {{"/a/x/1.MOV", "/a/../b/2.MOV"}, "/o", {"/o/a/x/1.MOV", "/o/b/2.MOV"}},
        {{"d/c.mov", "/m/\xff/c.mov", "c.mov/"},
         std::nullopt,
         {"d/c.mov", "/m/\xff/c.mov", "c.mov"}},
        {{"d/..", "/"}, std::nullopt, {nullptr, nullptr}}, // no file name
    };
    for (const auto& c : cases) {
        std::vector<model::Clip> clips;
        for (const char* path : c.clips) {
            clips.push_back(clip_at("1.MOV"));
            clips.back().path_bytes = path;
        }
        std::optional<export_::Mirror> mirror;
        if (c.out) mirror = export_::mirror_for(clips, *c.out, "/w/d");
        for (std::size_t i = 0; i < clips.size(); ++i) {
            const auto expected =
                c.expected[i]
                    ? std::optional<fs::path>(std::string(c.expected[i]) + ".zun-metadata.json")
                    : std::nullopt;
            EXPECT_EQ(export_::sidecar_path(clips[i], mirror), expected) << c.clips[i];
        }
    }
}

TEST(CommonAncestor, DeepestSharedDirectory) {
    struct Case {
        std::vector<fs::path> dirs;
        const char* expected;
    };
    const std::vector<Case> cases = {
        {{}, ""},
        {{"/a/x"}, "/a/x"},
        {{"/a/x", "/a/y"}, "/a"},
        {{"/a/x/deep", "/a/x", "/a/x/other"}, "/a/x"},
        {{"/a/x", "/b/y"}, "/"},
        {{"/a/xy", "/a/x"}, "/a"},
        {{"rel/x", "rel/y"}, "rel"},
        {{"rel/x", "/a"}, ""},
        {{"/a", "rel"}, "/"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(export_::common_ancestor(c.dirs), fs::path(c.expected))
            << (c.dirs.empty() ? "(none)" : c.dirs.front());
}

TEST(ResultText, QuotesAndEscapesThePath) {
    EXPECT_EQ(export_::result_text(export_::Written{"/media/A001/C0001.MP4.zun-metadata.json"}),
              "Written(\"/media/A001/C0001.MP4.zun-metadata.json\")");
    EXPECT_EQ(export_::result_text(export_::RefusedForeign{"/m/a\"b\\c\nd\re\tf\x01g"}),
              "RefusedForeign(\"/m/a\\\"b\\\\c\\nd\\re\\tf\\u{1}g\")");
    EXPECT_EQ(export_::result_text(export_::Written{fs::path("/m/\xff.json")}),
              "Written(\"/m/\xEF\xBF\xBD.json\")");
    EXPECT_EQ(export_::result_text(export_::Error{"Permission denied (os error 13)"}),
              "Error(\"Permission denied (os error 13)\")");
}

// ---- Writing on a real file system ----

std::string written_path(const export_::WriteResult& result) {
    const auto* w = std::get_if<export_::Written>(&result);
    return w ? w->path.string() : std::string("(not written)");
}

TEST(WriteSidecar, WritesBesideTheClipAndReplacesOwnSidecars) {
    TempDir t;
    const auto clip = clip_at(t / "A001/C0001.MP4");
    const fs::path target = t / "A001/C0001.MP4.zun-metadata.json";
    const auto expected = json_writer::pretty(export_::sidecar_json(clip, "12.76", Share::No));

    // Missing directory, then every form of our own earlier sidecar, is replaced.
    for (const char* existing :
         {"", R"({"schema":"zun-metadata/1","fields":[]})", R"({"schema":"zun-metadata/99-beta"})",
          R"({"schema":"zun-metadata/"})"}) {
        if (*existing) write_file(target, existing);
        auto result = export_::write_sidecar(clip, std::nullopt, "12.76", Share::No);
        EXPECT_EQ(written_path(result), target.string()) << existing;
        EXPECT_EQ(read_file(target), expected) << existing;
    }
    EXPECT_EQ(expected.back(), '}');
    // Only the sidecar is left: no temporary file stays behind.
    EXPECT_EQ(fixtures::snapshot(t.path).size(), 2u); // A001 and the sidecar
}

TEST(WriteSidecar, RefusesForeignAndSpecialEntriesAndLeavesThemUntouched) {
    TempDir t;
    const auto clip = clip_at(t / "C0001.MP4");
    const fs::path target = t / "C0001.MP4.zun-metadata.json";
    auto expect_refused = [&](const std::string& what) {
        const auto before = fixtures::snapshot(t.path);
        auto result = export_::write_sidecar(clip, std::nullopt, "v", Share::No);
        const auto* refused = std::get_if<export_::RefusedForeign>(&result);
        ASSERT_NE(refused, nullptr) << what;
        EXPECT_EQ(refused->path, target);
        EXPECT_TRUE(fixtures::changed(before, fixtures::snapshot(t.path)).empty()) << what;
        fs::remove(target);
    };
    const std::vector<std::string> foreign = {
        "not json at all",
        R"({"schema":"other/1"})",
        R"({"schema":5})",
        R"({"fields":[]})",
        R"(["zun-metadata/1"])",
        R"({"schema":"zun-metadata"})", // 12 bytes, no slash
        R"({"schema":"Zun-metadata/1"})",
        "",
        std::string("{\"schema\":\"zun-metadata/1\",\"x\":\"\xff\"}"), // not UTF-8
    };
    for (const auto& content : foreign) {
        write_file(target, content);
        expect_refused(content);
    }

    // Too large to be read back: cannot be ours (sparse, so cheap to make).
    write_file(target, "{\"schema\":\"zun-metadata/1\"}");
    ASSERT_EQ(::truncate(target.c_str(), 65 * 1024 * 1024), 0);
    expect_refused("oversized");

    ASSERT_EQ(::mkfifo(target.c_str(), 0644), 0);
    expect_refused("fifo"); // must neither hang on open nor be renamed over

    fs::create_symlink(t / "nowhere", target);
    expect_refused("dangling link");
}

TEST(WriteSidecar, UnreadableRegularFileIsRefused) {
    TempDir t;
    const auto clip = clip_at(t / "C0001.MP4");
    const fs::path target = t / "C0001.MP4.zun-metadata.json";
    write_file(target, "{\"schema\":\"zun-metadata/1\"}");
    fs::permissions(target, fs::perms::none);
    // The directory is writable for the unprivileged user, so only the refusal protects the file.
    fs::permissions(t.path, fs::perms::all);
    auto failure = as_unprivileged([&]() -> std::string {
        auto result = export_::write_sidecar(clip, std::nullopt, "v", Share::No);
        return std::holds_alternative<export_::RefusedForeign>(result) ? "" : "not refused";
    });
    EXPECT_EQ(failure, "");
    fs::permissions(target, fs::perms::owner_read);
    EXPECT_EQ(read_file(target), "{\"schema\":\"zun-metadata/1\"}");
}

TEST(WriteSidecar, FailuresAreReportedPerClipAndTouchNothingElse) {
    TempDir t;
    write_file(t / "media/ro/4.MOV", "clip");
    write_file(t / "media/file", "a regular file standing where a directory is needed");
    fs::create_directories(t / "media/dirhere/2.MOV.zun-metadata.json");
    write_file(t / "media/foreign/5.MOV.zun-metadata.json", "{\"schema\":\"theirs\"}");
    // Unwritable for this process: by its mode for a user, by the immutable attribute for root.
    ImmutableGuard ro(t / "media/ro");
    if (::geteuid() != 0)
        fs::permissions(t / "media/ro", fs::perms::owner_read | fs::perms::owner_exec);
    else if (!ro.active)
        GTEST_SKIP() << "cannot make a directory read-only on this file system";

    const std::vector<model::Clip> clips = {
        clip_at(t / "media/ok/1.MOV"),      clip_at(t / "media/dirhere/2.MOV"),
        clip_at(t / "media/file/3.MOV"),    clip_at(t / "media/ro/4.MOV"),
        clip_at(t / "media/foreign/5.MOV"), clip_at(t / "media/ok/6.MOV"),
    };
    const auto before = fixtures::snapshot(t.path);
    std::vector<export_::WriteResult> results;
    for (const auto& clip : clips)
        results.push_back(export_::write_sidecar(clip, std::nullopt, "v", Share::No));

    EXPECT_EQ(written_path(results[0]), (t / "media/ok/1.MOV.zun-metadata.json").string());
    EXPECT_EQ(export_::result_text(results[1]), "Error(\"Is a directory (os error 21)\")");
    ASSERT_TRUE(std::holds_alternative<export_::Error>(results[2]));
    EXPECT_NE(std::get<export_::Error>(results[2]).message.find("(os error "), std::string::npos);
    ASSERT_TRUE(std::holds_alternative<export_::Error>(results[3]));
    const auto& denied = std::get<export_::Error>(results[3]).message;
    EXPECT_TRUE(denied == "Operation not permitted (os error 1)" ||
                denied == "Permission denied (os error 13)")
        << denied;
    EXPECT_TRUE(std::holds_alternative<export_::RefusedForeign>(results[4]));
    EXPECT_EQ(written_path(results[5]), (t / "media/ok/6.MOV.zun-metadata.json").string());

    const auto diff = fixtures::changed(before, fixtures::snapshot(t.path));
    const std::map<std::string, std::string> expected = {
        {"media/ok", "added"},
        {"media/ok/1.MOV.zun-metadata.json", "added"},
        {"media/ok/6.MOV.zun-metadata.json", "added"},
    };
    EXPECT_EQ(diff, expected);
}

TEST(WriteSidecar, OutDirWithoutSharedRootStaysInside) {
    TempDir t;
    const auto clip = clip_at(t / "media/x/1.MOV");
    const fs::path out = t / "out";
    const auto before = fixtures::snapshot(t.path);
    // An empty root is what relative clips sharing no directory produce.
    const export_::Mirror mirror{out, fs::path(), export_::DirForm::AsGiven, ""};
    auto result = export_::write_sidecar(clip, mirror, "v", Share::Yes);
    const fs::path expected = out / t.path.relative_path() / "media/x/1.MOV.zun-metadata.json";
    EXPECT_EQ(written_path(result), expected.string());
    for (const auto& [path, what] : fixtures::changed(before, fixtures::snapshot(t.path)))
        EXPECT_TRUE(path.starts_with("out")) << path << " " << what;
    const auto doc = nlohmann::json::parse(read_file(expected), nullptr, false);
    ASSERT_FALSE(doc.is_discarded());
    EXPECT_EQ(doc["share"], true);
}

TEST(WriteSidecar, ClipWithoutFileNameIsAnError) {
    TempDir t;
    auto clip = clip_at(t / "x.MOV");
    clip.path_bytes = (t / "x.MOV/..").string();
    const auto before = fixtures::snapshot(t.path);
    auto result = export_::write_sidecar(clip, std::nullopt, "v", Share::No);
    EXPECT_TRUE(std::holds_alternative<export_::Error>(result));
    EXPECT_TRUE(fixtures::changed(before, fixtures::snapshot(t.path)).empty());
}

} // namespace
