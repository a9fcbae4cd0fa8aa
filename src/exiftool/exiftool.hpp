// The bridge to the external exiftool program: locate it, ask its version,
// run it over a batch of files and turn its JSON output into raw tags.
#pragma once

#include <optional>
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
// The JSON objects of one run's output, or the batch error text.
std::variant<Objects, std::string> parse_output(const ProcessResult& result);

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

// Runs the raw and the printed run over `files` (the caller's path bytes, handed to the tool
// unchanged apart from safe_file_argument) at the same time and files the tags by combine.
BatchResult read_batch(const std::string& tool, const std::vector<std::string>& files);

// The indexes of the tool arguments (path bytes) that the tool's `file_name` can stand for,
// from the first of three comparisons that matches any: the exact text; ignoring letter case
// and "\" versus "/"; the argument with each byte outside well-formed UTF-8 read as "?".
// Empty when none matches.
std::vector<std::size_t> match_arguments(std::string_view file_name,
                                         const std::vector<std::string>& arguments);

} // namespace exiftool
