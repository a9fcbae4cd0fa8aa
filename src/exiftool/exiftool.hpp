// The bridge to the external exiftool program: locate it, ask its version,
// run it over a batch of files and turn its JSON output into raw tags.
#pragma once

#include <optional>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "model/model.hpp"

namespace exiftool {

// Output of one finished child process.
struct ProcessOutput {
    std::string out;
    std::string err;
};

// Either the process output, or the system's description of why it could not start.
using ProcessResult = std::variant<ProcessOutput, std::string>;

// Starts `program` directly (no shell) with `args`, standard input closed.
// Gives a handle to collect it with `finish`; both pipes are drained together.
struct Running;
std::shared_ptr<Running> start(const std::string& program, const std::vector<std::string>& args);
// Waits for a started process and gives its complete output, or the start failure.
ProcessResult finish(const std::shared_ptr<Running>& running);

// The tool path: $ZUN_EXIFTOOL when it exists, else the first existing fixed location.
std::optional<std::string> locate();

// The tool's trimmed "-ver" output; absent when it cannot be started.
std::optional<std::string> version(const std::string& tool);

// Whether a batch run asks for numeric (-n) values.
enum class Numeric { Yes, No };

using Objects = std::vector<model::Json>;
// One batch run: the JSON objects the tool printed, or the batch error text.
std::variant<Objects, std::string> run(const std::string& tool,
                                       const std::vector<std::string>& files, Numeric numeric);

// Per file: its tags, or the error text of the batch.
using Entry = std::variant<std::vector<model::RawTag>, std::string>;
using BatchResult = std::unordered_map<std::string, Entry>;

// Runs the raw and the printed run over `files` (concurrently) and files the tags
// under the caller's path texts.
BatchResult read_batch(const std::string& tool, const std::vector<std::string>& files);

// The caller's path text that the tool's `file_name` stands for, or `file_name` itself.
std::string canonical_key(const std::string& file_name, const std::vector<std::string>& files);

} // namespace exiftool
