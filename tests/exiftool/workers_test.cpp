// The persistent workers against today's two runs per batch, with the real exiftool: the same
// scan output, byte for byte, apart from the timings.
#include "scan/internal.hpp"
#include "support/support.hpp"
#include "text/text.hpp"

#include <algorithm>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

using nlohmann::json;
using testing_support::lines;
using testing_support::read_file;
using testing_support::run_core;
using testing_support::TempDir;
using testing_support::write_file;
using testing_support::write_script;
namespace fs = std::filesystem;

namespace {

const fs::path samples = fs::path(ZUN_SOURCE_DIR) / "samples";

// The scan output with the timings (each clip's scan_ms, the done event's ms) set to 0.
std::string without_timings(const std::string& out) {
    std::string result;
    for (const auto& line : lines(out)) {
        json doc = json::parse(line, nullptr, false);
        if (doc.is_object() && doc["event"] == "done") doc["ms"] = 0;
        if (doc.is_object() && doc["event"] == "clip") doc["clip"]["scan_ms"] = 0;
        result += doc.dump() + "\n";
    }
    return result;
}

// A stand-in exiftool that speaks the -stay_open protocol after half a second, so that every
// worker is still starting when the scan asks for its first batch. It appends the first file of
// each batch it answers to "batches" beside it. With FAKE_EXIT_AFTER_BATCH set, it exits after
// each batch's answer, 0.3 s times its start's number later (the first worker is gone while
// the second still lingers).
const char* slow_stay_open_tool = R"(#!/bin/sh
dir=$(dirname "$0")
echo >> "$dir/starts"
index=$(wc -l < "$dir/starts")
sleep 0.5
echo 12.76
state=none
marker=
files=
while IFS= read -r arg; do
    case $state in
    files)
        if [ "$arg" = -echo4 ]; then state=marker; else files="$files$arg
"; fi
        continue ;;
    marker) marker=$arg; state=none; continue ;;
    esac
    case $arg in
    -l) state=files; files= ;;
    False) exit 0 ;;
    -execute*)
        if [ -z "$marker" ]; then
            echo 12.76
            printf '{ready%s}\n' "${arg#-execute}"
            continue
        fi
        printf '%s' "$files" | head -n 1 >> "$dir/batches"
        printf '['
        printf '%s' "$files" | {
            sep=
            while IFS= read -r f; do
                printf '%s{"SourceFile":"%s","File:FileType":{"val":"MOV"}}' "$sep" "$f"
                sep=,
            done
        }
        printf ']\n'
        printf '%s\n' "$marker" >&2
        printf '{ready%s}\n' "${arg#-execute}"
        marker=
        if [ -n "$FAKE_EXIT_AFTER_BATCH" ]; then
            i=0
            while [ $i -lt $index ]; do sleep 0.3; i=$((i + 1)); done
            exit 0
        fi ;;
    esac
done
)";

} // namespace

TEST(ExiftoolWorkers, SameOutputAsTheTwoRunsPerBatch) {
    const fs::path real = "/usr/bin/exiftool";
    if (!fs::exists(real)) GTEST_SKIP() << "exiftool is not installed";
    TempDir t;
    const fs::path card = t / "card";
    fs::copy(samples, card, fs::copy_options::recursive);
    // Files the tool cannot read as media, an XMP structure (the tool writes its fields
    // flattened), a name outside UTF-8, and enough clips for three batches.
    write_file(card / "x/empty.mov", "");
    write_file(card / "x/text.mov", "not a movie\n");
    write_file(card / "x/trunc.mov", read_file(samples / "media/A001/C0002.MOV").substr(0, 100));
    fs::copy_file(samples / "media/A001/C0001.MP4", card / "x/xmp.mp4");
    const auto wrote = testing_support::run(
        real.string(),
        {"-q", "-overwrite_original",
         "-XMP-iptcCore:CreatorContactInfo={CiAdrCity=Paris,CiEmailWork=a@b.c}",
         "-XMP-dc:Subject=one", "-XMP-dc:Subject=two", (card / "x/xmp.mp4").string()});
    ASSERT_EQ(wrote.status, 0) << wrote.err;
    fs::copy_file(samples / "tc/tc25.mp4", card / "x/n\xff.mp4");
    // Copies of one clip, so that the five names below fill up the last of three or more
    // batches: the two that cannot travel in an argument file then share that batch.
    const std::size_t media = scan::collect({card.string()}).media.size();
    std::size_t pad = (16 - (media + 5) % 16) % 16;
    if (media + 5 + pad < 48) pad += 16;
    fs::create_directories(card / "y");
    for (std::size_t i = 0; i < pad; ++i)
        fs::copy_file(samples / "tc/tc24.mov", card / "y" / ("c" + std::to_string(i) + ".mov"));
    // Names an argument file cannot carry as they are: "./" goes in front of the first three;
    // the last two, in the last batch, make it a batch of two fresh runs.
    for (const char* name : {" lead.mov", "#hash.mov", "-dash.mov", "#d/y.mov", "z/a\nb.mov"}) {
        fs::create_directories((t / name).parent_path());
        fs::copy_file(samples / "media/A002/C0003.MOV", t / name);
    }
    // Access times an hour ahead of every other time of the files: reading a file then leaves
    // its access time alone, so the tool reports the same one in every run.
    const timespec ahead[2] = {{::time(nullptr) + 3600, 0}, {0, UTIME_OMIT}};
    for (const auto& entry : fs::recursive_directory_iterator(t.path))
        if (entry.is_regular_file()) {
            ASSERT_EQ(::utimensat(AT_FDCWD, entry.path().c_str(), ahead, 0), 0) << entry.path();
        }

    write_script(t / "bin/logging",
                 "#!/bin/sh\nprintf '%s\\n' \"$*\" >> \"$(dirname \"$0\")/calls\"\n"
                 "exec " +
                     real.string() + " \"$@\"\n");
    // Refuses the probe, so the scan takes today's two runs per batch.
    write_script(t / "bin/refusing",
                 "#!/bin/sh\nfor a; do [ \"$a\" = -stay_open ] && exit 0; done\n"
                 "exec " +
                     real.string() + " \"$@\"\n");
    const std::vector<std::string> args = {"scan",        " lead.mov", "#hash.mov", "-dash.mov",
                                           card.string(), "#d/y.mov",  "z/a\nb.mov"};
    const auto workers = run_core(args, {{"ZUN_EXIFTOOL", (t / "bin/logging").string()}}, t.path);
    const auto exact = run_core(args, {{"ZUN_EXIFTOOL", (t / "bin/refusing").string()}}, t.path);
    ASSERT_EQ(workers.status, 0) << workers.err;
    ASSERT_EQ(exact.status, 0) << exact.err;
    EXPECT_EQ(workers.err, exact.err);
    const auto got = lines(without_timings(workers.out));
    const auto expected = lines(without_timings(exact.out));
    ASSERT_EQ(got.size(), media + pad + 5 + 2) << workers.out;
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t i = 0; i < got.size(); ++i)
        EXPECT_EQ(got[i], expected[i]) << i;

    // The output covers what it should: failed reads reported per file, the structure's fields.
    const std::string out = workers.out;
    for (const char* needle : {"File is empty", "\"CreatorCity\"", "\"Subject\"", "lead.mov"})
        EXPECT_NE(out.find(needle), std::string::npos) << needle;
    // The workers read the first two batches; only the last went through two fresh runs. The
    // version came from the first worker's answers, not from a start of its own.
    std::size_t probes = 0, runs = 0, versions = 0;
    for (const auto& call : lines(read_file(t / "bin/calls"))) {
        probes += call == "-ver -stay_open True -@ -";
        runs += call.starts_with("-json ");
        versions += call == "-ver";
    }
    EXPECT_GE(probes, 1u);
    EXPECT_EQ(runs, 2u);
    EXPECT_EQ(versions, 0u);
    // Asked of a worker or the plain way, the version reads the same.
    const auto plain = testing_support::run(real.string(), {"-ver"});
    const std::string version_line =
        R"({"core":"0.1.0","exiftool":")" + std::string(text::trim(plain.out)) + "\"}\n";
    for (const char* wrapper : {"bin/logging", "bin/refusing"})
        EXPECT_EQ(run_core({"version"}, {{"ZUN_EXIFTOOL", (t / wrapper).string()}}).out,
                  version_line)
            << wrapper;
}

// A batch the scan had to hand out itself, because no worker was ready to take it ahead, is
// read once: it used to be handed out again once read, costing a second run of the tool (and,
// for a batch the tool fails on, a second worker ended and replaced).
TEST(ExiftoolWorkers, EachBatchIsSentOnce) {
    TempDir t;
    write_script(t / "bin/exiftool", slow_stay_open_tool);
    const auto files = testing_support::media_files(t / "media", 40);
    const auto r = run_core({"scan", (t / "media").string()},
                            {{"ZUN_EXIFTOOL", (t / "bin/exiftool").string()}});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const auto clips = testing_support::complete_scan(r.out, 40, 0);
    ASSERT_EQ(clips.size(), 40u);
    for (const auto& clip : clips)
        EXPECT_EQ(clip["tags"].size(), 1u) << clip["path"];
    auto batches = lines(read_file(t / "bin/batches"));
    std::sort(batches.begin(), batches.end());
    EXPECT_EQ(batches, (std::vector<std::string>{files[0].string(), files[16].string(),
                                                 files[32].string()}));
}

// A tool that exits after each answer is given the next batch while it is still ending, now and
// then, by a worker that looked alive: the batch goes to another worker, as often as workers
// that had served end that way, and no clip fails. It used to count as the batch's one retry, so
// a second such worker failed the batch ("exiftool exited without an answer").
TEST(ExiftoolWorkers, AWorkerEndingAfterItsAnswerCostsNoClip) {
    TempDir t;
    write_script(t / "bin/exiftool", slow_stay_open_tool);
    testing_support::media_files(t / "media", 48);
    const auto r =
        run_core({"scan", (t / "media").string()},
                 {{"ZUN_EXIFTOOL", (t / "bin/exiftool").string()}, {"FAKE_EXIT_AFTER_BATCH", "1"}});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const auto clips = testing_support::complete_scan(r.out, 48, 0);
    ASSERT_EQ(clips.size(), 48u);
    for (const auto& clip : clips) {
        EXPECT_EQ(clip["ok"], true) << clip["path"] << clip["error"];
        EXPECT_EQ(clip["tags"].size(), 1u) << clip["path"];
    }
    // Every batch was answered once, by a worker that then ended.
    EXPECT_EQ(lines(read_file(t / "bin/batches")).size(), 3u);
}
