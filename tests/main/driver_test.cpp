// End-to-end tests of the binary with fake exiftool programs.
#include "json_writer/json_writer.hpp"
#include "support/support.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <set>
#include <sys/stat.h>

using nlohmann::json;
using namespace testing_support;
namespace fs = std::filesystem;

namespace {

const std::string usage =
    "usage: zun-metadata-core version | scan <path>... | export <path>... [--out-dir D] [--share] "
    "| extract <copy> [--also <copy>]... [--keep <copy>]... [--share] | resolve-csv <path>... "
    "--out "
    "F [--unique-only] | resolve-plan <path>...\n";

// A stand-in for exiftool: logs each call's arguments and, depending on FAKE_MODE,
// reports every file, skips one, misnames one, or prints garbage.
const char* fake_tool = R"(
case "$FAKE_MODE" in
  silent) echo "  Error: cannot read files  " >&2; exit 1 ;;
  garbage) echo "this is not json"; exit 0 ;;
  object) echo '{"SourceFile":"x"}'; exit 0 ;;
  deep) printf '[{"SourceFile":"x","A:B":'; head -c 50000 /dev/zero | tr '\0' '['
        head -c 50000 /dev/zero | tr '\0' ']'; printf '}]\n'; exit 0 ;;
esac
printf '['
sep=''
for f in "$@"; do
  case "$FAKE_MODE:$f" in
    skip:*b.mov) continue ;;
    rename:*b.mov) f="elsewhere/b.mov" ;;
    upper:*) f=$(printf '%s' "$f" | tr 'a-z' 'A-Z') ;;
  esac
  if [ $numeric = 1 ]; then v=25; else v='"25 fps"'; fi
  printf '%s{"SourceFile":"%s","QuickTime:VideoFrameRate":%s,"File:FileType":"MOV"}' "$sep" "$f" "$v"
  sep=','
done
printf ']\n'
)";

} // namespace

TEST(Driver, UsageErrorsExitTwoWithTheUsageText) {
    FakeTool f(" 99.01", fake_tool);
    for (const auto& args :
         std::vector<std::vector<std::string>>{{},
                                               {"Scan", "x"},
                                               {"unknown"},
                                               {"scan"},
                                               {"scan", "--share"},
                                               {"export", "--out-dir", "x"},
                                               {"resolve-csv", "--out", "f.csv"}}) {
        auto r = run_core(args, f.env());
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, usage);
        EXPECT_EQ(r.out, "");
    }
    // The tool is asked for its version before the command word is looked at.
    run_core({"unknown"}, f.env());
    EXPECT_TRUE(f.calls().empty()); // "-ver" is not logged, but nothing else ran either
}

TEST(Driver, VersionObject) {
    FakeTool f(" 99.01", fake_tool);
    auto r = run_core({"version", "extra", "--share"}, f.env());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "{\"core\":\"0.1.0\",\"exiftool\":\"99.01\"}\n");
    // A tool that cannot be started: with no usable fixed location either, "unavailable".
    const auto broken = write_file(f.tmp / "not-executable", "x");
    auto version = run_core({"version"}, {{"ZUN_EXIFTOOL", broken.string()}});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "{\"core\":\"0.1.0\",\"exiftool\":\"unavailable\"}\n");
}

TEST(Driver, ScanStreamsEventsInBatchesOfSixteen) {
    FakeTool f(" 99.01", fake_tool);
    const auto files = media_files(f.media, 17);
    write_file(f.media / "readme.txt", "x");
    auto r = run_core({"scan", (f.tmp / "missing").string(), f.media.string(), "--share",
                       (f.media / "readme.txt").string()},
                      f.env());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    auto docs = json_lines(r.out);
    ASSERT_EQ(docs.size(), 2u + 1u + 17u + 1u);
    auto out_lines = lines(r.out);
    EXPECT_EQ(out_lines[0], "{\"event\":\"rejected\",\"path\":\"" + (f.tmp / "missing").string() +
                                "\",\"reason\":\"missing\"}");
    EXPECT_EQ(docs[1]["reason"], "unsupported_type");
    EXPECT_EQ(out_lines[2], "{\"count\":17,\"event\":\"found\"}");
    for (int i = 0; i < 17; ++i) {
        const json& clip = docs[3 + i]["clip"];
        EXPECT_EQ(docs[3 + i]["event"], "clip");
        EXPECT_EQ(clip["path"], files[i].string());
        EXPECT_EQ(clip["name"], files[i].filename().string());
        EXPECT_EQ(clip["dir"], f.media.string());
        EXPECT_EQ(clip["ext"], "mov");
        EXPECT_EQ(clip["ok"], true);
        EXPECT_EQ(clip["error"], nullptr);
        EXPECT_EQ(clip["size"], 18);
        EXPECT_GT(clip["mtime_ns"].get<std::uint64_t>(), 1'600'000'000'000'000'000u);
        EXPECT_EQ(clip["readers"], json::array({"exiftool"}));
        EXPECT_TRUE(clip["motion"].is_object());
        ASSERT_EQ(clip["tags"].size(), 2u);
        EXPECT_EQ(json_writer::compact(clip["tags"][1]),
                  R"({"group":"QuickTime","name":"VideoFrameRate","printed":"25 fps","raw":25})");
    }
    EXPECT_TRUE(
        out_lines.back().starts_with("{\"clips\":17,\"errors\":0,\"event\":\"done\",\"ms\":"));

    // A probe of each worker (one per core and batch, started together; the stand-in answers
    // none), then two runs per batch: batches of 16 and 1, the exact argument list. A scan does
    // not ask for the version.
    const auto starts = f.starts();
    const auto workers = static_cast<std::size_t>(std::min(::sysconf(_SC_NPROCESSORS_ONLN), 2L));
    ASSERT_EQ(starts.size(), workers + 4);
    for (std::size_t i = 0; i < workers; ++i)
        EXPECT_EQ(starts[i], "-ver -stay_open True -@ -");
    auto calls = f.calls();
    ASSERT_EQ(calls.size(), 4u);
    std::string first16;
    for (int i = 0; i < 16; ++i)
        first16 += " " + files[i].string();
    const std::string last1 = " " + files[16].string();
    const std::string opts = "-json -G1 -a -u -q -q -api largefilesupport=1";
    // The two runs of a batch may start in either order; sorted, the raw run ("-n") is first.
    std::sort(calls.begin(), calls.begin() + 2);
    std::sort(calls.begin() + 2, calls.end());
    EXPECT_EQ(calls, (std::vector<std::string>{opts + " -n" + first16, opts + first16,
                                               opts + " -n" + last1, opts + last1}));
}

TEST(Driver, BadToolOutputBecomesPerFileErrors) {
    struct Case {
        const char* mode;
        const char* error_a; // error text of a.mov (null: ok)
        const char* error_b; // error text of b.mov
    };
    const Case cases[] = {
        {"silent", "Error: cannot read files", "Error: cannot read files"},
        {"garbage", "exiftool json: ", "exiftool json: "},
        {"object", "exiftool json: invalid type: object, expected an array",
         "exiftool json: invalid type: object, expected an array"},
        {"deep", "exiftool json: nesting deeper than 512 levels",
         "exiftool json: nesting deeper than 512 levels"},
        {"skip", nullptr, "no result for file"},
        {"rename", nullptr, "no result for file"},
        {"upper", nullptr, nullptr},
    };
    for (const auto& c : cases) {
        FakeTool f(" 99.01", fake_tool);
        write_file(f.media / "a.mov", "x");
        write_file(f.media / "b.mov", "x");
        auto r = run_core({"scan", f.media.string()}, f.env({{"FAKE_MODE", c.mode}}));
        ASSERT_EQ(r.status, 0) << c.mode;
        const auto clips = complete_scan(r.out, 2, (c.error_a != nullptr) + (c.error_b != nullptr));
        ASSERT_EQ(clips.size(), 2u) << c.mode;
        for (int i = 0; i < 2; ++i) {
            const json& clip = clips[i];
            const char* expected = i == 0 ? c.error_a : c.error_b;
            if (!expected) {
                EXPECT_EQ(clip["ok"], true) << c.mode;
                EXPECT_EQ(clip["error"], nullptr) << c.mode;
                continue;
            }
            EXPECT_EQ(clip["ok"], false) << c.mode;
            EXPECT_EQ(clip["tags"], json::array()) << c.mode;
            EXPECT_EQ(clip["readers"], json::array()) << c.mode;
            EXPECT_TRUE(clip["error"].get<std::string>().starts_with(expected))
                << c.mode << ": " << clip["error"];
        }
    }
}

TEST(Driver, MissingOrUnstartableToolMarksEveryFile) {
    FakeTool f(" 99.01", fake_tool);
    write_file(f.media / "a.mov", "x");
    const auto plain = write_file(f.tmp / "plain", "not a program");
    auto r = run_core({"scan", f.media.string()}, {{"ZUN_EXIFTOOL", plain.string()}});
    const auto clips = complete_scan(r.out, 1, 1);
    ASSERT_EQ(clips.size(), 1u);
    EXPECT_EQ(clips[0]["error"], "exiftool: Permission denied (os error 13)");
}

TEST(Driver, DashNamesReachTheToolAsFiles) {
    FakeTool f(" 99.01", fake_tool);
    write_file(f.media / "-delete_original.mov", "x");
    write_file(f.media / "-.mov", "x");
    // "-.mov" and "./-.mov" reach the tool as the same argument; both get its answer.
    auto r = run_core({"scan", "-delete_original.mov", "-.mov", "./-.mov"}, f.env(), f.media);
    const auto clips = complete_scan(r.out, 3, 0);
    ASSERT_EQ(clips.size(), 3u) << r.out;
    for (const auto& clip : clips)
        EXPECT_EQ(clip["ok"], true) << clip["path"];
    EXPECT_EQ(clips[0]["path"], "-delete_original.mov");
    EXPECT_EQ(clips[1]["path"], "-.mov");
    EXPECT_EQ(clips[2]["path"], "./-.mov");
    for (const auto& call : f.calls()) {
        EXPECT_NE(call.find(" ./-delete_original.mov ./-.mov ./-.mov"), std::string::npos) << call;
        EXPECT_EQ(call.find(" -delete_original"), std::string::npos) << call;
    }
}

TEST(Driver, ClosedStandardOutputDoesNotKillTheScan) {
    FakeTool f(" 99.01", fake_tool);
    for (int i = 0; i < 40; ++i)
        write_file(f.media / ("c" + std::to_string(i) + ".mov"), "x");
    auto r = run("/bin/bash",
                 {"-c", "\"$0\" scan \"$1\" | head -n 1; echo \"status=${PIPESTATUS[0]}\"",
                  ZUN_BINARY, f.media.string()},
                 f.env());
    auto out = lines(r.out);
    ASSERT_EQ(out.size(), 2u) << r.out;
    EXPECT_EQ(out[0], "{\"count\":40,\"event\":\"found\"}");
    EXPECT_EQ(out[1], "status=0");
}

TEST(Driver, RealExiftoolOnTheShippedSamples) {
    if (!fs::exists("/usr/bin/exiftool")) GTEST_SKIP() << "exiftool is not installed";
    auto r = run_core({"scan", "samples/media"}, {{"ZUN_EXIFTOOL", "/usr/bin/exiftool"}},
                      ZUN_SOURCE_DIR);
    ASSERT_EQ(r.status, 0);
    auto docs = json_lines(r.out);
    ASSERT_EQ(docs.size(), 6u) << r.out;
    EXPECT_EQ(docs[0], json({{"count", 4}, {"event", "found"}}));
    const json& mp4 = docs[1]["clip"];
    EXPECT_EQ(mp4["path"], "samples/media/A001/C0001.MP4");
    EXPECT_EQ(mp4["ok"], true);
    const json& mov = docs[2]["clip"];
    EXPECT_EQ(mov["readers"], json::array({"exiftool", "zun-tmcd"}));
    EXPECT_EQ(docs[3]["clip"]["name"], "C0003.MOV");
    EXPECT_EQ(docs[4]["clip"]["name"], "clip with space.avi");
    bool has_file_type = false;
    for (const auto& tag : mov["tags"])
        if (tag["group"] == "File" && tag["name"] == "FileType") {
            has_file_type = true;
            EXPECT_EQ(tag["raw"], "MOV");
            EXPECT_EQ(tag["printed"], "MOV");
        }
    EXPECT_TRUE(has_file_type);
    EXPECT_EQ(docs[5]["errors"], 0);
}

TEST(Driver, UnusableConfirmationDocumentsAreIgnored) {
    FakeTool f(" 99.01", fake_tool);
    write_file(f.media / "a.mov", "x");
    const auto plain = run_core({"resolve-plan", f.media.string()}, f.env());
    ASSERT_EQ(plain.status, 0);
    const auto fifo = f.tmp / "fifo.json";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    write_file(f.tmp / "deep.json", std::string(100000, '[') + std::string(100000, ']'));
    write_file(f.tmp / "big.json", "{}");
    fs::resize_file(f.tmp / "big.json", (64u << 20) + 1);
    // A directory, a FIFO without a writer, an endless device, hostile nesting, over 64 MiB.
    for (const fs::path& confirm :
         {f.media, fifo, fs::path("/dev/zero"), f.tmp / "deep.json", f.tmp / "big.json"}) {
        const auto version = run_core({"version", "--confirm", confirm.string()}, f.env());
        EXPECT_EQ(version.status, 0) << confirm;
        EXPECT_EQ(version.out, "{\"core\":\"0.1.0\",\"exiftool\":\"99.01\"}\n") << confirm;
        const auto plan =
            run_core({"resolve-plan", f.media.string(), "--confirm", confirm.string()}, f.env());
        EXPECT_EQ(plan.status, 0) << confirm;
        EXPECT_EQ(plan.out, plain.out) << confirm;
    }
}

TEST(Driver, OutDirKeepsEverySidecarInsideAndApart) {
    FakeTool f(" 99.01", fake_tool);
    const fs::path cwd = f.tmp / "w/d";
    for (const char* clip :
         {"w/d/a/x.mov", "w/other/y.mov", "w/d/x/c.mov", "w/d/y/c.mov", "abs/m1/c.mov"})
        write_file(f.tmp / clip, "x");
    struct Case {
        std::vector<std::string> clips;
        std::vector<std::string> expected; // printed sidecar paths; empty: only checked
    };
    const std::vector<Case> cases = {
        {{"a/x.mov", "../other/y.mov", "x/c.mov", "y/c.mov", (f.tmp / "abs/m1/c.mov").string()},
         {}},
        {{"x/c.mov", "../d/y/c.mov"},
         {"out/x/c.mov.zun-metadata.json", "out/y/c.mov.zun-metadata.json"}},
        // All relative without "..": the mirror is what it always was.
        {{"a/x.mov", "x/c.mov"},
         {"out/a/x.mov.zun-metadata.json", "out/x/c.mov.zun-metadata.json"}},
    };
    for (const auto& c : cases) {
        fs::remove_all(cwd / "out");
        std::vector<std::string> args = {"export"};
        args.insert(args.end(), c.clips.begin(), c.clips.end());
        args.insert(args.end(), {"--out-dir", "out"});
        const auto r = run_core(args, f.env(), cwd);
        ASSERT_EQ(r.status, 0) << r.err;
        const auto docs = json_lines(r.out);
        ASSERT_EQ(docs.size(), c.clips.size()) << r.out;
        std::set<std::string> written;
        for (std::size_t i = 0; i < docs.size(); ++i) {
            const std::string result = docs[i]["result"];
            ASSERT_TRUE(result.starts_with("Written(\"out/")) << result;
            const std::string path = result.substr(9, result.size() - 11);
            EXPECT_EQ(path.find(".."), std::string::npos) << path;
            EXPECT_TRUE(fs::is_regular_file(cwd / path)) << path;
            EXPECT_TRUE(written.insert(path).second) << "shared sidecar " << path;
            if (!c.expected.empty()) {
                EXPECT_EQ(path, c.expected[i]);
            }
        }
        std::size_t files = 0;
        for (const auto& entry : fs::recursive_directory_iterator(f.tmp.path))
            files += entry.path().string().ends_with(".zun-metadata.json");
        EXPECT_EQ(files, c.clips.size()) << "a sidecar outside the output directory";
    }
}

TEST(Driver, NamesOutsideUtf8AreReadAndWrittenAtTheirRealPaths) {
    if (!fs::exists("/usr/bin/exiftool")) GTEST_SKIP() << "exiftool is not installed";
    TempDir t;
    const fs::path sample = fs::path(ZUN_SOURCE_DIR) / "samples/media/A002/C0003.MOV";
    const std::vector<std::string> clips = {"d\xff/c.mov", "a\xff.mov", "a\xfe.mov",
                                            "b\xe2\x82z.mov"};
    for (const auto& clip : clips) {
        fs::create_directories((t / clip).parent_path());
        fs::copy_file(sample, t / clip);
    }
    const std::map<std::string, std::string> env = {{"ZUN_EXIFTOOL", "/usr/bin/exiftool"}};
    const auto scan = run_core({"scan", t.path.string()}, env);
    for (const auto& clip : complete_scan(scan.out, clips.size(), 0)) {
        EXPECT_EQ(clip["ok"], true) << clip["path"];
        EXPECT_EQ(clip["readers"], json::array({"exiftool", "zun-tmcd"}));
    }

    const auto exported = run_core({"export", t.path.string()}, env);
    ASSERT_EQ(lines(exported.out).size(), clips.size()) << exported.out;
    std::set<std::string> entries;
    for (const auto& entry : fs::recursive_directory_iterator(t.path))
        entries.insert(fs::relative(entry.path(), t.path).string());
    std::set<std::string> expected = {"d\xff"};
    for (const auto& clip : clips) {
        expected.insert(clip);
        expected.insert(clip + ".zun-metadata.json");
    }
    EXPECT_EQ(entries, expected);
}
