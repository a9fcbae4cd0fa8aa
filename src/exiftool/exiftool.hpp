// The bridge to the external exiftool program: locate it, ask its version,
// run it over a batch of files and turn its JSON output into raw tags.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "io/io.hpp"
#include "model/model.hpp"

namespace exiftool {

using io::ProcessOutput;
using io::ProcessResult;

// The tool path: $ZUN_EXIFTOOL when it exists, else the first existing fixed location.
std::optional<std::string> locate();

// The tool's "-ver" output, trimmed; absent when the tool cannot be started.
std::optional<std::string> version(const std::string& tool);

// Whether a batch run asks for numeric (-n) values.
enum class Numeric { Yes, No };

// The tool's arguments for a batch run over `files` (as they are to be passed).
std::vector<std::string> batch_arguments(const std::vector<std::string>& files, Numeric numeric);

// A file path in a form the tool cannot mistake for an option: "./" is put in front
// of a relative path that begins with "-".
std::string safe_file_argument(const std::string& path);

using Objects = std::vector<model::Json>;
// What a run printed: plain values, or a -l listing, whose tags' "desc" members are left out.
enum class Form { Plain, Listing };
// The error text of a run that printed nothing at all.
inline constexpr std::string_view no_answer = "exiftool: no answer";

// The JSON objects of one run's output, or the batch error text: the tool's own error output
// when it printed nothing else, no_answer when it printed nothing at all.
std::variant<Objects, std::string> parse_output(const ProcessResult& result,
                                                Form form = Form::Plain);

// One batch run: the JSON objects the tool printed, or the batch error text.
std::variant<Objects, std::string> run(const std::string& tool,
                                       const std::vector<std::string>& files, Numeric numeric);

// Per file: its tags, or the error text of the batch.
using Entry = std::variant<std::vector<model::RawTag>, std::string>;
// Entries keyed by the caller's path bytes.
using BatchResult = std::unordered_map<std::string, Entry>;

// Files the outputs of a raw and a printed run under the caller's paths (`files`, as bytes).
// An answer goes to every caller path that was passed to the tool as the same argument; an
// answer that matches no argument is filed under the tool's own name.
BatchResult combine(const std::variant<Objects, std::string>& raw,
                    const std::variant<Objects, std::string>& printed,
                    const std::vector<std::string>& files);

// Like combine, for a run that was passed the names `passed` (one per caller path) instead
// of safe_file_argument of each.
BatchResult combine(const std::variant<Objects, std::string>& raw,
                    const std::variant<Objects, std::string>& printed,
                    const std::vector<std::string>& files, const std::vector<std::string>& passed);

// Runs the raw and the printed run over `files` (the caller's path bytes, handed to the tool
// unchanged apart from safe_file_argument) at the same time and files the tags by combine.
BatchResult read_batch(const std::string& tool, const std::vector<std::string>& files);

// The indexes of the tool arguments (path bytes) that the tool's `file_name` can stand for,
// from the first of three comparisons that matches any: the exact text; ignoring letter case
// and "\" versus "/"; the argument with each byte outside well-formed UTF-8 read as "?".
// Empty when none matches.
std::vector<std::size_t> match_arguments(std::string_view file_name,
                                         const std::vector<std::string>& arguments);

// ---- Persistent workers ----
// A worker is one `TOOL -ver -stay_open True -@ -` process that reads one command at a time
// from its standard input: a batch's arguments with -l (each value printed and, where it
// differs, numeric) in place of the raw and printed pair, a marker echoed to its standard
// error, and a numbered -execute whose "{readyN}" ends its output.

// How long a worker may take over one command: $ZUN_EXIFTOOL_DEADLINE_MS when it is a
// positive whole number, else ten minutes.
std::chrono::milliseconds answer_deadline();

// The names a worker is sent for `files`: safe_file_argument of each, and "./" before a name
// without a folder part that begins with white space or "#" (an argument file drops leading
// white space and skips lines that begin with "#"). Absent when a name cannot travel in an
// argument file unchanged: a line break or carriage return in it, or such a first byte before
// a folder part, where "./" would change the folder the tool reports.
std::optional<std::vector<std::string>> worker_arguments(std::span<const std::string> files);

// The argument-file lines of one batch command over the names `passed`, numbered `id`.
std::string worker_command(const std::vector<std::string>& passed, std::uint64_t id);

// Files the objects of one -l run under the caller's paths (`files`, passed to the tool as
// `passed`) as combine files a raw and a printed run: a tag's raw value is its "num" (else its
// "val") and its printed value its "val". Absent when a tag is not an object with a "val"
// member or an object does not name its file.
std::optional<BatchResult> combine_listing(const Objects& objects,
                                           const std::vector<std::string>& files,
                                           const std::vector<std::string>& passed);

// A batch handed to a worker.
struct Job {
    std::vector<std::string> passed; // the names sent
    bool finished = false;
    // parse_output of its standard output before "{readyN}" and standard error before the
    // marker (or of what it wrote before it failed)
    std::variant<Objects, std::string> parsed;
    std::chrono::steady_clock::time_point sent;
    std::chrono::nanoseconds took{0}; // from sending to the answer (or the failure)
};

struct Worker {
    io::Child child;
    std::uint64_t command = 0;           // the number of the command in flight; 0 when idle
    std::optional<std::uint64_t> ticket; // the batch in flight; none while the probe runs
    std::chrono::steady_clock::time_point sent;
    // How long the engine has waited on the command in flight without the worker reading or
    // writing anything: the deadline counts this, so time the engine spends elsewhere (blocked
    // on its own output, say) never counts against a worker.
    std::chrono::nanoseconds quiet{0};
    bool served = false; // it has answered a batch
};

// The workers of one scan and the batches handed to them, by ticket. Workers still running
// when the value dies are ended by their process ids; the guard ends them should this process
// die first (it is declared last, so it goes first, while the workers' ids are still theirs).
struct Pool {
    std::string tool;
    std::chrono::milliseconds deadline{0};
    std::vector<Worker> workers;
    std::map<std::uint64_t, Job> jobs;
    std::uint64_t next_command = 1;
    std::optional<std::string> version; // what the first worker's answers gave as its version
    std::set<std::uint64_t> retried;    // batches handed out again after a silent exit
    std::optional<io::Child> guard;
};

// Starts a worker of `tool` (or takes the one start_version kept) and probes it with "-ver" and
// a numbered -execute; once it has answered, starts `count` - 1 more, whose probes are answered
// while batches run (one that fails its probe is ended). A pool without workers when the first
// fails to answer within the deadline or the guard cannot be started (or start_version found
// so): every batch is then read by read_batch.
Pool start_pool(const std::string& tool, std::size_t count);

// The tool's version text, taken from the answers of the first worker of the coming scan,
// which is kept for start_pool: one start of the tool fewer than version() and a worker. When
// the tool cannot work as a worker, or its answers are not the version twice, version() asks
// it; absent when it cannot be started.
std::optional<std::string> start_version(const std::string& tool);

// Stops the worker start_version kept when no scan took it.
void release_kept_pool();

// Hands batch `ticket` over `files` to an idle worker. False, with nothing sent, when no
// worker is idle or a name cannot travel (worker_arguments).
bool submit(Pool& pool, std::uint64_t ticket, std::span<const std::string> files);

// Whether batch `ticket` was handed to a worker and is not answered yet.
bool in_flight(const Pool& pool, std::uint64_t ticket);

// Waits until some worker has written something, answered or failed (or the nearest deadline),
// and settles what it can; returns at once when no worker is busy.
void wait(Pool& pool);

// A batch's entries and the tool time they took.
struct BatchRead {
    BatchResult result;
    std::chrono::nanoseconds took{0};
};

// The entries of batch `ticket` over `files`, waiting for its worker (a batch not handed over
// yet goes to the next idle one). A worker that exits without a word is replaced and the batch
// handed out once more; one that exits, answers only in part or stays silent for the deadline
// while it is waited on fails this batch alone, with the error text parse_output gives for what
// it wrote (or "exiftool: no answer within N ms", "exiftool exited without an answer"), and is
// replaced; so is one whose answer is not JSON. A worker that exits while idle after serving a
// batch is replaced before it is given another. Read by read_batch instead when no worker is
// left, the names cannot travel or the answer cannot be split exactly.
BatchRead collect(Pool& pool, std::uint64_t ticket, const std::vector<std::string>& files);

// Tells every worker "-stay_open False", closes its input and waits a short grace (a second)
// for it to exit; then its process group is ended, so neither a worker that ignores the
// request nor what a wrapper script started outlives the call. The pool is empty afterwards.
void stop_pool(Pool& pool);

} // namespace exiftool
