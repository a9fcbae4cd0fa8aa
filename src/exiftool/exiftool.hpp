// The bridge to the external exiftool program: locate it, ask its version,
// run it over a batch of files and turn its JSON output into raw tags.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
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

// A batch's entries and the tool time they took.
struct BatchRead {
    BatchResult result;
    std::chrono::nanoseconds took{0};
};

struct Pool;

// The tool for one command: its path, its version and its persistent workers. The driver
// makes one where the version is first asked and hands it to what needs the tool; the workers
// end when the session does (each is told "-stay_open False", its input is closed, and after a
// second's grace its process group is ended, so neither a worker that ignores the request nor
// what a wrapper script started outlives the command).
class Session {
  public:
    // A session over `tool` (none: no tool was found). Its first worker is started and asked
    // its version at once, without waiting for the answer.
    explicit Session(std::optional<std::string> tool);
    ~Session();
    Session(Session&&) noexcept;
    Session& operator=(Session&&) noexcept;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // The tool's path; absent when none was found.
    const std::optional<std::string>& tool() const { return tool_; }

    // The tool's version text, waited for the first time it is asked: from the first worker's
    // answers (its start's "-ver" output and its probe's, the same text twice), else asked the
    // plain way (a tool that cannot work as a worker, answers that differ); absent when the
    // tool cannot be started or none was found.
    std::optional<std::string> version();

  private:
    friend class Batches;
    std::optional<std::string> tool_;
    std::unique_ptr<Pool> pool_;
    std::optional<std::optional<std::string>> version_; // once asked
};

// The tool's answers for a list of files, batch after batch, in order. One worker per online
// core (at most one per batch, at most 8) starts with the stream; each takes a whole batch as
// soon as it has answered its probe, up to one batch per worker ahead of the one awaited. A
// worker that exits without a word is replaced and its batch handed out once more; one that
// exits, answers only in part or stays silent for the deadline while it is waited on fails
// that batch alone, with the error text parse_output gives for what it wrote (or "exiftool: no
// answer within N ms", "exiftool ended by signal N", "exiftool exited without an answer"), and
// is replaced; so is one whose answer is not JSON. A batch is read by read_batch instead when
// no worker is left, its names cannot travel in the argument file, or the answer cannot be
// split exactly.
class Batches {
  public:
    // The batches of `size` files over `files` (kept by reference: they must outlive the
    // stream) through `session`, which must also outlive it.
    Batches(Session& session, std::span<const std::string> files, std::size_t size);

    // The next batch's entries and the tool time they took; absent after the last. Without a
    // tool, every batch has no entries.
    std::optional<BatchRead> next();

  private:
    // Hands the batches before `end` to idle workers, in order, as far as they take them.
    void submit_before(std::size_t end);
    std::span<const std::string> files_of(std::size_t batch) const;

    Session& session_;
    std::span<const std::string> files_;
    std::size_t size_;
    std::size_t count_;              // batches in all
    std::uint64_t first_ticket_ = 0; // the pool's ticket of the first batch
    std::size_t index_ = 0;          // the next one to give
    std::size_t submitted_ = 0;
    std::size_t ahead_ = 1;
};

} // namespace exiftool
