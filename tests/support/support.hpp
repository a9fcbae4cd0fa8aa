// Test-only helpers: scratch directories, file writing, running the binary.
#pragma once

#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace testing_support {

namespace fs = std::filesystem;

// A fresh directory directly under the system's temporary folder (zun-test-XXXXXX, open
// to other users for reading), removed with its content when the value dies.
struct TempDir {
    fs::path path;
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    fs::path operator/(std::string_view name) const { return path / name; }
};

// Writes `bytes` to `path`, creating parent directories; returns `path`.
fs::path write_file(const fs::path& path, std::string_view bytes);

// Writes `count` small media files c00.mov, c01.mov, ... (18 bytes each) into `dir`.
std::vector<fs::path> media_files(const fs::path& dir, int count);

// Whole content of a file; empty when unreadable.
std::string read_file(const fs::path& path);

// Writes an executable shell script.
void write_script(const fs::path& path, std::string_view body);

// A scratch folder with a stand-in exiftool in bin/ that any user can run, and a media/
// folder for the clips. The tool logs the arguments of every start to bin/starts.log, answers
// "-ver" (and a worker's start) with `version` and exits, appends each batch call's
// arguments as one line to bin/calls.log, drops the fixed batch options, sets `numeric` to 1
// for the raw run (0 for the printed run) and then runs the shell code `body` with the files
// as "$@". Globbing is off.
struct FakeTool {
    TempDir tmp;
    fs::path bin = tmp / "bin";
    fs::path tool = bin / "exiftool";
    fs::path media = tmp / "media";
    FakeTool(std::string_view version, std::string_view body);
    // ZUN_EXIFTOOL naming the tool, and `vars` for its script.
    std::map<std::string, std::string> env(std::map<std::string, std::string> vars = {}) const;
    // The logged batch calls, one line each.
    std::vector<std::string> calls() const;
    // The arguments of every start, one line each.
    std::vector<std::string> starts() const;
};

struct RunResult {
    int status = -1; // exit status, or 128 + signal
    std::string out;
    std::string err;
};

struct RunOptions {
    // Called in the child just before exec, after the environment is set and before the
    // change to `cwd`.
    std::function<void()> in_child;
    // Close our end of the standard-output pipe (keeping what came) after this many bytes.
    std::size_t hang_up_after = std::numeric_limits<std::size_t>::max();
    // Stop reading standard output for `pause_ms` milliseconds once this many bytes came.
    std::size_t pause_after = std::numeric_limits<std::size_t>::max();
    int pause_ms = 0;
};

// Runs `program` with `args`, standard input on /dev/null, the given environment
// variables set (an empty value unsets), and captures both outputs until they close.
RunResult run(const std::string& program, const std::vector<std::string>& args,
              const std::map<std::string, std::string>& env = {}, const fs::path& cwd = {},
              const RunOptions& options = {});

// Runs the built zun-metadata-core binary.
RunResult run_core(const std::vector<std::string>& args,
                   const std::map<std::string, std::string>& env = {}, const fs::path& cwd = {});

// Runs `body` without root's privileges: in a forked child that has switched to the
// unprivileged user 65534 when the tests run as root, directly otherwise. `body` gives an
// empty text on success or a description of what failed; so does the result.
std::string as_unprivileged(const std::function<std::string()>& body);

// Runs `call` on a worker thread until it returns, and reports whether the worker was ever
// found asleep inside open() or openat(), as an open of a FIFO without a writer waits (waits
// for the disk are uninterruptible and do not count). A worker found so is released by opening
// each of `fifos` for writing, so this ends whenever the call itself does; no clock is involved.
// Empty text when it never blocked; otherwise what was seen, or why it could not be watched.
std::string blocking_open(const std::vector<fs::path>& fifos, const std::function<void()>& call);

// The number after `key` (such as "rchar:" or "VmHWM:") in /proc/self/`file`; absent when
// the file or the key is missing.
std::optional<std::uint64_t> proc_self_number(const std::string& file, std::string_view key);

// Splits standard output into its lines (without the line feeds).
std::vector<std::string> lines(const std::string& out);

// Each line of standard output parsed as JSON; a line that is not adds a test failure.
std::vector<nlohmann::json> json_lines(const std::string& out);

// The clip objects of a scan's output, after checking the events around them: nothing lost
// means `rejected` rejected events, then the found event, one clip event per media file and a
// done event that counts them all.
std::vector<nlohmann::json> complete_scan(const std::string& out, std::size_t media,
                                          std::size_t errors, std::size_t rejected = 0);

// Sets or clears the immutable attribute of a file or directory; false when the file
// system or the caller cannot.
bool set_immutable(const fs::path& path, bool on);

// Makes a file or directory immutable, and clears the attribute again when it dies, so the
// scratch tree can be removed. `active` tells whether the attribute could be set.
struct ImmutableGuard {
    fs::path path;
    bool active = false;
    explicit ImmutableGuard(fs::path p) : path(std::move(p)) { active = set_immutable(path, true); }
    ~ImmutableGuard() {
        if (active) set_immutable(path, false);
    }
    ImmutableGuard(const ImmutableGuard&) = delete;
    ImmutableGuard& operator=(const ImmutableGuard&) = delete;
};

} // namespace testing_support
