// What the two parts of the exiftool bridge share and no other module sees: the tool's
// arguments, its output parsed and filed under the caller's paths, and the fresh runs that
// read a batch when the workers cannot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "exiftool/exiftool.hpp"
#include "io/io.hpp"
#include "model/model.hpp"

namespace exiftool {

using io::ProcessOutput;
using io::ProcessResult;

// The tool's "-ver" output, trimmed; absent when the tool cannot be started.
std::optional<std::string> ask_version(const std::string& tool);

// Whether a batch run asks for numeric (-n) values.
enum class Numeric { Yes, No };

// The tool's arguments for a batch run over `files` (as they are to be passed). Never fails.
std::vector<std::string> batch_arguments(const std::vector<std::string>& files, Numeric numeric);

// A file path in a form the tool cannot mistake for an option: "./" is put in front
// of a relative path that begins with "-".
std::string safe_file_argument(const std::string& path);

using Objects = std::vector<model::Json>;
// What a run printed: plain values, or a -l listing, whose tags' "desc" members are left out.
enum class Form { Plain, Listing };
// The error text of a run that printed nothing at all.
inline constexpr std::string_view kNoAnswer = "exiftool: no answer";

// The JSON objects of one run's output, or the batch error text: the tool's own error output
// when it printed nothing else, kNoAnswer when it printed nothing at all, "exiftool json: ..."
// when the output is not a JSON array.
std::variant<Objects, std::string> parse_output(const ProcessResult& result,
                                                Form form = Form::Plain);

// One batch run: the JSON objects the tool printed, or the batch error text.
std::variant<Objects, std::string>
run_batch(const std::string& tool, const std::vector<std::string>& files, Numeric numeric);

// Files the outputs of a raw and a printed run under the caller's paths (`files`, as bytes).
// An answer goes to every caller path that was passed to the tool as the same argument; an
// answer that matches no argument is filed under the tool's own name. A failed run gives every
// file its error text.
BatchResult combine_runs(const std::variant<Objects, std::string>& raw,
                         const std::variant<Objects, std::string>& printed,
                         const std::vector<std::string>& files);

// Like combine_runs, for a run that was passed the names `passed` (one per caller path)
// instead of safe_file_argument of each; empty when the two lists differ in length.
BatchResult combine_runs(const std::variant<Objects, std::string>& raw,
                         const std::variant<Objects, std::string>& printed,
                         const std::vector<std::string>& files,
                         const std::vector<std::string>& passed);

// Runs the raw and the printed run over `files` (the caller's path bytes, handed to the tool
// unchanged apart from safe_file_argument) at the same time and files the tags by
// combine_runs.
BatchResult read_batch(const std::string& tool, const std::vector<std::string>& files);

// The indexes of the tool arguments (path bytes) that the tool's `file_name` can stand for,
// from the first of three comparisons that matches any: the exact text; ignoring letter case
// and "\" versus "/"; the argument with each byte outside well-formed UTF-8 read as "?".
// Empty when none matches.
std::vector<std::size_t> match_arguments(std::string_view file_name,
                                         const std::vector<std::string>& arguments);

// The names a worker is sent for `files`: safe_file_argument of each, and "./" before a name
// without a folder part that begins with white space or "#" (an argument file drops leading
// white space and skips lines that begin with "#"). Absent when a name cannot travel in an
// argument file unchanged: a line break or carriage return in it, or such a first byte before
// a folder part, where "./" would change the folder the tool reports.
std::optional<std::vector<std::string>> worker_arguments(std::span<const std::string> files);

// The argument-file lines of one batch command over the names `passed`, numbered `id`.
std::string worker_command(const std::vector<std::string>& passed, std::uint64_t id);

// Files the objects of one -l run under the caller's paths (`files`, passed to the tool as
// `passed`) as combine_runs files a raw and a printed run: a tag's raw value is its "num"
// (else its "val") and its printed value its "val". Absent when a tag is not an object with a
// "val" member, an object does not name its file, or the two lists differ in length.
std::optional<BatchResult> combine_listing(const Objects& objects,
                                           const std::vector<std::string>& files,
                                           const std::vector<std::string>& passed);

} // namespace exiftool
