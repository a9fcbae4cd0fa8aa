// Faults injected into whole runs of the binary: a dying or flooding exiftool, files that
// change under the scan, unreadable folders, a reader that hangs up, read-only sidecar targets.
// Each checks what the user sees and that no clip, event or earlier sidecar is lost.
#include "faults/child.hpp"
#include "support/support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using nlohmann::json;
using namespace testing_support;
namespace fs = std::filesystem;

namespace {

constexpr uid_t nobody = 65534;

// A stand-in for exiftool. Reports every file it is given; the files matching one of the
// shell patterns in FAKE_TARGET suffer FAKE_MODE: "kill" (the -n run prints half an object and
// kills itself), "remove" or "truncate" (the file changes before the answer), "huge"
// (a tag value of FAKE_BYTES bytes).
const char* fake_tool = R"(
printf '['
sep=''
for f in "$@"; do
  hit=0
  for p in $FAKE_TARGET; do case "$f" in $p) hit=1 ;; esac; done
  if [ $hit = 1 ]; then
    case "$FAKE_MODE" in
      kill) if [ $numeric = 1 ]; then printf '%s{"SourceFile":"%s","QuickTime:Com' "$sep" "$f"; kill -9 $$; fi ;;
      remove) rm -f "$f" ;;
      truncate) truncate -s 40 "$f" ;;
    esac
  fi
  printf '%s{"SourceFile":"%s","File:FileType":"MOV"' "$sep" "$f"
  if [ $hit = 1 ] && [ "$FAKE_MODE" = huge ]; then
    printf ',"QuickTime:Comment":"'; head -c "$FAKE_BYTES" /dev/zero | tr '\0' x; printf '"'
  fi
  printf '}'
  sep=','
done
printf ']\n'
)";

// The stand-in's variables: FAKE_MODE for the files matching FAKE_TARGET.
std::map<std::string, std::string> fault(const std::string& mode, const std::string& target,
                                         const std::string& bytes = "") {
    return {{"FAKE_MODE", mode}, {"FAKE_TARGET", target}, {"FAKE_BYTES", bytes}};
}

// Environment that makes a child's peak memory follow what it holds. glibc raises its mmap
// threshold after large blocks are freed (up to 32 MiB), after which freed blocks stay in the
// heap and the peak depends on allocation order; a fixed threshold maps and unmaps every large
// block exactly. AddressSanitizer would keep freed blocks in quarantine instead.
std::map<std::string, std::string> exact_peak_memory(std::map<std::string, std::string> env) {
    env["GLIBC_TUNABLES"] = "glibc.malloc.mmap_threshold=131072";
#ifdef ZUN_ENGINE_SANITIZED
    const char* asan = std::getenv("ASAN_OPTIONS");
    env["ASAN_OPTIONS"] = (asan && *asan ? std::string(asan) + ":" : "") + "quarantine_size_mb=0";
#endif
    return env;
}

} // namespace

TEST(Faults, ToolKilledMidBatchFailsOnlyThatBatch) {
    FakeTool f("12.76", fake_tool);
    auto files = media_files(f.media, 40); // batches 0-15, 16-31, 32-39
    auto r = run_core({"scan", f.media.string()}, f.env(fault("kill", "*/c20.mov")));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    auto clips = complete_scan(r.out, 40, 16);
    ASSERT_EQ(clips.size(), 40u);
    for (std::size_t i = 0; i < clips.size(); ++i) {
        const json& clip = clips[i];
        EXPECT_EQ(clip["path"], files[i].string());
        if (i >= 16 && i < 32) {
            // The cut-off output is not JSON: the whole batch carries the parser's complaint.
            EXPECT_EQ(clip["ok"], false) << i;
            EXPECT_TRUE(clip["error"].get<std::string>().starts_with("exiftool json: ")) << i;
            EXPECT_EQ(clip["tags"], json::array()) << i;
            EXPECT_EQ(clip["readers"], json::array()) << i;
        } else {
            EXPECT_EQ(clip["ok"], true) << i;
            EXPECT_EQ(clip["readers"], json::array({"exiftool"})) << i;
        }
        EXPECT_EQ(clip["size"], 18) << i;
    }
}

TEST(Faults, HugeToolOutputIsReadWithBoundedMemory) {
    // Large beside the engine's own footprint (about 4 MB, 25 MB under AddressSanitizer): one
    // such value costs about ten times its size at the peak.
    constexpr std::size_t huge = 4'000'000;
    constexpr long huge_kb = static_cast<long>(huge / 1000);
    FakeTool f("12.76", fake_tool);
    auto files = media_files(f.media, 40);
    const std::string bytes = std::to_string(huge);
    auto none = faults::run_binary({"scan", f.media.string()}, exact_peak_memory(f.env()), {});
    // One huge value, then one in each of the three batches: the peak must stay that of one
    // batch, since a batch's output and its clips are released before the next one.
    auto one = faults::run_binary({"scan", f.media.string()},
                                  exact_peak_memory(f.env(fault("huge", "*/c03.mov", bytes))), {});
    auto three = faults::run_binary(
        {"scan", f.media.string()},
        exact_peak_memory(f.env(fault("huge", "*/c03.mov */c20.mov */c35.mov", bytes))), {});
    auto holds_huge_value = [&](const json& clip) {
        for (const auto& tag : clip["tags"])
            if (tag["name"] == "Comment")
                return clip["ok"] == true && tag["raw"].get<std::string>().size() == huge &&
                       tag["printed"].get<std::string>().size() == huge;
        return false;
    };
    const std::vector<std::pair<const faults::ChildResult*, std::vector<std::size_t>>> runs = {
        {&none, {}}, {&one, {3}}, {&three, {3, 20, 35}}};
    for (const auto& [r, big] : runs) {
        ASSERT_EQ(r->status, 0) << r->err;
        auto clips = complete_scan(r->out, 40, 0);
        ASSERT_EQ(clips.size(), 40u);
        for (std::size_t i = 0; i < clips.size(); ++i)
            EXPECT_EQ(holds_huge_value(clips[i]), std::find(big.begin(), big.end(), i) != big.end())
                << i;
    }
    std::printf("peak memory: no huge value %ld kB, one huge batch %ld kB, three %ld kB\n",
                none.max_rss_kb, one.max_rss_kb, three.max_rss_kb);
    // The figures see the value (it is held at least once), so they can show it kept.
    EXPECT_GT(one.max_rss_kb - none.max_rss_kb, huge_kb);
    // Keeping anything of the size of the value from each earlier batch would add at least
    // twice its size.
    EXPECT_LT(three.max_rss_kb, one.max_rss_kb + huge_kb);
    // Two runs of the value, their parsed values, the tags and the printed line.
    EXPECT_LT(one.max_rss_kb - none.max_rss_kb, 16 * huge_kb);
}

TEST(Faults, FileRemovedOrTruncatedAfterDiscovery) {
    const fs::path sample = fs::path(ZUN_SOURCE_DIR) / "samples/media/A001/C0002.MOV";
    struct Case {
        const char* mode;
        std::uint64_t size;
        json readers;
    };
    const Case cases[] = {
        {"remove", 0, json::array({"exiftool"})},
        {"truncate", 40, json::array({"exiftool"})},
        {"", fs::file_size(sample), json::array({"exiftool", "zun-tmcd"})},
    };
    for (const auto& c : cases) {
        FakeTool f("12.76", fake_tool);
        auto files = media_files(f.media, 3);
        fs::copy_file(sample, files[1], fs::copy_options::overwrite_existing);
        auto r = run_core({"scan", f.media.string()}, f.env(fault(c.mode, "*/c01.mov")));
        ASSERT_EQ(r.status, 0) << c.mode;
        auto clips = complete_scan(r.out, 3, 0);
        ASSERT_EQ(clips.size(), 3u) << c.mode;
        const json& changed = clips[1];
        EXPECT_EQ(changed["path"], files[1].string()) << c.mode;
        EXPECT_EQ(changed["ok"], true) << c.mode;
        EXPECT_EQ(changed["size"], c.size) << c.mode;
        EXPECT_EQ(changed["readers"], c.readers) << c.mode;
        if (c.size == 0) {
            EXPECT_EQ(changed["mtime_ns"], 0) << c.mode;
        }
        for (int i : {0, 2})
            EXPECT_EQ(clips[i]["size"], 18) << c.mode;
    }
}

TEST(Faults, UnreadableFoldersAreSkippedForAnUnprivilegedUser) {
    FakeTool f("12.76", fake_tool);
    fs::permissions(f.tmp.path, fs::perms::all);
    auto readable = media_files(f.media / "A", 2);
    media_files(f.media / "B", 2);
    media_files(f.media / "C" / "D", 1);
    media_files(f.media / "E", 1);
    // B cannot be listed or entered; C can be entered but not listed; E can be listed but
    // not entered: its entry keeps the type the listing gave, but the file's size cannot be read.
    fs::permissions(f.media / "B", fs::perms::none);
    fs::permissions(f.media / "C", fs::perms::owner_write | fs::perms::owner_exec |
                                       fs::perms::others_exec | fs::perms::group_exec);
    fs::permissions(f.media / "E", fs::perms::owner_read | fs::perms::others_read);

    auto r = faults::run_binary({"scan", f.media.string(), (f.media / "B").string(),
                                 (f.media / "C" / "D" / "c00.mov").string()},
                                f.env(), {.as_user = nobody});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    auto clips = complete_scan(r.out, 4, 0, 1);
    ASSERT_EQ(clips.size(), 4u);
    EXPECT_EQ(lines(r.out)[0], R"({"event":"rejected","path":")" + (f.media / "B").string() +
                                   R"(","reason":"no_media"})");
    const std::vector<std::pair<fs::path, int>> expected = {{readable[0], 18},
                                                            {readable[1], 18},
                                                            {f.media / "E" / "c00.mov", 0},
                                                            {f.media / "C" / "D" / "c00.mov", 18}};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(clips[i]["path"], expected[i].first.string());
        EXPECT_EQ(clips[i]["size"], expected[i].second);
        EXPECT_EQ(clips[i]["ok"], true);
    }
}

TEST(Faults, ReaderHangingUpDoesNotStopTheScan) {
    FakeTool f("12.76", fake_tool);
    auto files = media_files(f.media, 40);
    // Hang up after the found event: every later line meets a closed pipe.
    auto r = faults::run_binary({"scan", f.media.string()}, f.env(),
                                {.as_user = std::nullopt, .hang_up_after = 1});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    // The last batch was still read, by both runs.
    std::size_t count = 0;
    for (const auto& call : f.calls())
        count += call.find(files.back().string()) != std::string::npos;
    EXPECT_EQ(count, 2u);
}

TEST(Faults, ExportIntoPartlyReadOnlyTargets) {
    FakeTool f("12.76", fake_tool);
    auto in_a = media_files(f.media / "A", 2);
    auto in_b = media_files(f.media / "B", 2);
    auto first = run_core({"export", f.media.string()}, f.env());
    ASSERT_EQ(first.status, 0);
    ASSERT_EQ(lines(first.out).size(), 4u);
    auto sidecar = [](const fs::path& clip) {
        return fs::path(clip.string() + ".zun-metadata.json");
    };
    const std::string before_a0 = read_file(sidecar(in_a[0]));
    const std::string before_b1 = read_file(sidecar(in_b[1]));
    ASSERT_NE(before_a0, "");
    // Newer clips, so a successful write is visible in the sidecar.
    for (const auto& clip : {in_a[0], in_a[1], in_b[0], in_b[1]})
        write_file(clip, "a longer movie than before");
    fs::remove(sidecar(in_a[1]));

    // A refuses every new entry; in B only the existing sidecar of c01 cannot be replaced.
    ImmutableGuard lock_a(f.media / "A");
    ImmutableGuard lock_b1(sidecar(in_b[1]));
    if (!lock_a.active || !lock_b1.active)
        GTEST_SKIP() << "the immutable attribute is not available here";
    auto r = run_core({"export", f.media.string()}, f.env());
    EXPECT_EQ(r.status, 0);
    auto docs = json_lines(r.out);
    ASSERT_EQ(docs.size(), 4u);
    const std::string denied = "Error(\"Operation not permitted (os error 1)\")";
    const std::vector<std::pair<fs::path, std::string>> expected = {
        {in_a[0], denied},
        {in_a[1], denied},
        {in_b[0], "Written(\"" + sidecar(in_b[0]).string() + "\")"},
        {in_b[1], denied},
    };
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(docs[i]["clip"], expected[i].first.string());
        EXPECT_EQ(docs[i]["result"], expected[i].second);
    }
    // Earlier sidecars are untouched, no temporary file is left, and the write that could
    // go ahead holds the new size.
    EXPECT_EQ(read_file(sidecar(in_a[0])), before_a0);
    EXPECT_FALSE(fs::exists(sidecar(in_a[1])));
    EXPECT_EQ(read_file(sidecar(in_b[1])), before_b1);
    for (const auto& entry : fs::directory_iterator(f.media / "B"))
        EXPECT_FALSE(entry.path().string().ends_with(".tmp")) << entry.path();
    json written = json::parse(read_file(sidecar(in_b[0])), nullptr, false);
    EXPECT_EQ(written["source"]["size"], 26);
}

TEST(Faults, PrintingScanMemoryDoesNotGrowWithClips) {
#ifdef ZUN_ENGINE_SANITIZED
    GTEST_SKIP() << "AddressSanitizer keeps freed memory in quarantine, so peak memory means "
                    "nothing here; the plain build runs this check";
#endif
    FakeTool f("12.76", fake_tool);
    media_files(f.media / "small", 200);
    media_files(f.media / "large", 2000);
    auto small = faults::run_binary({"scan", (f.media / "small").string()}, f.env(), {});
    auto large = faults::run_binary({"scan", (f.media / "large").string()}, f.env(), {});
    ASSERT_EQ(small.status, 0);
    ASSERT_EQ(large.status, 0);
    EXPECT_EQ(complete_scan(large.out, 2000, 0).size(), 2000u);
    std::printf("peak memory: 200 clips %ld kB, 2000 clips %ld kB\n", small.max_rss_kb,
                large.max_rss_kb);
    // Only the discovered path list grows (under a kilobyte a file); a kept clip costs over
    // ten kilobytes, so keeping the clips would add tens of megabytes here.
    EXPECT_LT(large.max_rss_kb - small.max_rss_kb, 2048);
}

namespace {

// A stand-in exiftool that speaks the -stay_open protocol. It logs each start ("PID ARGS") to
// starts.log beside it and answers each batch with one -l object per file; a batch with a
// file matching one of the patterns in FAKE_TARGET suffers FAKE_MODE there: "kill" (it kills
// itself mid-object), "hang", "garbage" (a complete answer whose output is not JSON),
// "kill-engine" (it kills the engine that started it, then hangs) or "large" (a 100 kB value
// for that file). Whatever the files, FAKE_MODE "blank" prints an empty line after the end
// marker (as exiftool 12.10 to 12.14 do), "stay" ignores "-stay_open False" and the end of
// its input, and "exit" exits after each batch's answer.
const char* stay_open_tool = R"(#!/usr/bin/env python3
import fnmatch, os, signal, sys, time
args = sys.argv[1:]
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "starts.log"), "a") as log:
    log.write("%d %s\n" % (os.getpid(), " ".join(args)))
print("12.76", flush=True)
if "-stay_open" not in args:
    sys.exit(0)
mode = os.environ.get("FAKE_MODE", "")
targets = os.environ.get("FAKE_TARGET", "").split()
out = sys.stdout
command = []
for line in sys.stdin:
    arg = line.rstrip("\n")
    if arg == "False" and command[-1:] == ["-stay_open"] and mode != "stay":
        sys.exit(0)
    if not arg.startswith("-execute"):
        command.append(arg)
        continue
    if command == ["-ver"]:
        out.write("12.76\n")
    else:
        files = command[command.index("-l") + 1:command.index("-echo4")]
        out.write("[")
        for i, f in enumerate(files):
            extra = ""
            if any(fnmatch.fnmatch(f, p) for p in targets):
                out.flush()
                if mode == "kill":
                    out.write('{"SourceFile":"%s","File:Fi' % f)
                    out.flush()
                    os.kill(os.getpid(), signal.SIGKILL)
                if mode == "kill-engine":
                    os.kill(os.getppid(), signal.SIGKILL)
                if mode in ("hang", "kill-engine"):
                    time.sleep(3600)
                if mode == "garbage":
                    out.write("garbage")
                if mode == "large":
                    extra = ',"QuickTime:Comment":{"val":"%s"}' % ("x" * 100000)
            out.write('%s{"SourceFile":"%s","File:FileType":{"desc":"File Type","val":"MOV"}%s}'
                      % ("," if i else "", f, extra))
        out.write("]\n")
        sys.stderr.write(command[command.index("-echo4") + 1] + ("\n\n" if mode == "blank" else "\n"))
        sys.stderr.flush()
    out.write("{ready%s}\n" % arg[len("-execute"):])
    out.flush()
    if mode == "exit" and command != ["-ver"]:
        sys.exit(0)
    command = []
if mode == "stay":
    time.sleep(3600)
)";

// Whether process `pid` still runs `program` (and is not merely waiting to be reaped).
bool still_running(const std::string& pid, const std::string& program) {
    const std::string stat = read_file("/proc/" + pid + "/stat");
    const auto close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] == 'Z')
        return false;
    return read_file("/proc/" + pid + "/cmdline").find(program) != std::string::npos;
}

} // namespace

TEST(Faults, FailingWorkersFailTheirBatchOnlyAndNoneOutlivesTheScan) {
    struct Case {
        const char* mode;
        bool wrapped;              // started through a shell script that does not exec the tool
        const char* deadline;      // ZUN_EXIFTOOL_DEADLINE_MS
        int pause_ms;              // the reader stops this long once output has come
        std::size_t hang_up_after; // bytes of output before the reader hangs up
        int status;
        const char* batch_error; // what each clip of c20's batch (clips 16 to 31) says, if it fails
    };
    const std::size_t never = std::numeric_limits<std::size_t>::max();
    // An hour: a run that finishes did not wait for it.
    const char* hour = "3600000";
    const Case cases[] = {
        {"", false, "5000", 0, never, 0, nullptr},
        {"", false, "5000", 0, 1, 0, nullptr}, // a reader that hangs up early
        {"kill", false, "5000", 0, never, 0, "exiftool ended by signal 9"},
        {"hang", false, "5000", 0, never, 0, "exiftool: no answer within 5000 ms"},
        {"hang", true, "3000", 0, never, 0, "exiftool: no answer within 3000 ms"},
        {"garbage", false, "5000", 0, never, 0, "exiftool json: "},
        {"kill-engine", false, "5000", 0, never, 128 + 9, nullptr},
        // Answers larger than a pipe while the reader stops for longer than the deadline: the
        // engine, blocked on its own output, stops draining the workers, which is no fault of
        // theirs.
        {"large", false, "2000", 3000, never, 0, nullptr},
        {"blank", false, hour, 0, never, 0, nullptr},
        {"stay", false, hour, 0, never, 0, nullptr},
        {"stay", true, hour, 0, never, 0, nullptr},
        {"exit", false, hour, 0, never, 0, nullptr},
    };
    // One worker per core, at most one per batch.
    const auto workers = static_cast<std::size_t>(std::min(::sysconf(_SC_NPROCESSORS_ONLN), 3L));
    for (const auto& c : cases) {
        const std::string label = std::string(c.mode) + (c.wrapped ? " (wrapped)" : "");
        TempDir tmp;
        const fs::path tool = tmp / "bin/exiftool";
        const fs::path real = c.wrapped ? tmp / "bin/real-exiftool" : tool;
        testing_support::write_script(real, stay_open_tool);
        if (c.wrapped)
            testing_support::write_script(tool, "#!/bin/sh\n\"" + real.string() + "\" \"$@\"\n");
        const auto files = testing_support::media_files(tmp / "media", 40);
        const bool everywhere = std::string_view(c.mode) == "large";
        const auto r = faults::run_binary({"scan", (tmp / "media").string()},
                                          {{"ZUN_EXIFTOOL", tool.string()},
                                           {"ZUN_EXIFTOOL_DEADLINE_MS", c.deadline},
                                           {"FAKE_MODE", c.mode},
                                           {"FAKE_TARGET", everywhere ? "*" : "*/c20.mov"}},
                                          {.as_user = std::nullopt,
                                           .hang_up_after = c.hang_up_after,
                                           .pause_after = c.pause_ms > 0 ? 1 : never,
                                           .pause_ms = c.pause_ms});
        ASSERT_EQ(r.status, c.status) << label << r.err;
        if (c.status == 0 && c.hang_up_after == never) {
            EXPECT_EQ(r.err, "") << label;
            const auto clips = complete_scan(r.out, 40, c.batch_error ? 16 : 0);
            ASSERT_EQ(clips.size(), 40u) << label;
            for (std::size_t i = 0; i < clips.size(); ++i) {
                EXPECT_EQ(clips[i]["path"], files[i].string());
                if (c.batch_error && i >= 16 && i < 32) {
                    EXPECT_EQ(clips[i]["ok"], false) << label << i;
                    EXPECT_TRUE(clips[i]["error"].get<std::string>().starts_with(c.batch_error))
                        << label << i << clips[i]["error"];
                } else {
                    EXPECT_EQ(clips[i]["ok"], true) << label << i << clips[i]["error"];
                    EXPECT_EQ(clips[i]["readers"], json::array({"exiftool"})) << label << i;
                    EXPECT_EQ(clips[i]["tags"].size(), everywhere ? 2u : 1u) << label << i;
                }
            }
        }
        // Every start was a worker (the version came from the first, and no batch fell back to
        // fresh runs); a failed one was replaced, and so was one that exited after each batch.
        std::vector<std::string> pids;
        for (const auto& start : lines(read_file(tool.parent_path() / "starts.log"))) {
            const std::string args = start.substr(start.find(' ') + 1);
            EXPECT_EQ(args, "-ver -stay_open True -@ -");
            pids.push_back(start.substr(0, start.find(' ')));
        }
        if (std::string_view(c.mode) == "exit") {
            EXPECT_GE(pids.size(), 3u) << label; // one worker per batch at least
        } else if (c.status == 0) {
            EXPECT_EQ(pids.size(), workers + (c.batch_error ? 1 : 0)) << label;
        }
        // The engine ends its workers, and what a wrapper started; when the engine itself is
        // killed, its guard ends them, a moment later.
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        auto running = [&] {
            return std::any_of(pids.begin(), pids.end(), [&](const std::string& pid) {
                return still_running(pid, real.string());
            });
        };
        if (c.status != 0)
            while (running() && std::chrono::steady_clock::now() < give_up)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_FALSE(running()) << label;
    }
}
