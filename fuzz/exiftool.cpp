// Fuzz target: the exiftool output handling. The input is split at NUL bytes into the raw
// run's output, the printed run's output, the file list (one per line) and an error text.
#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "exiftool/internal.hpp"
#include "fuzz/fuzz_support.hpp"
#include "json_writer/json_writer.hpp"
#include "text/text.hpp"

namespace {

using fuzz_support::require;

// The raw and printed objects the two runs would give for a -l run's objects: a tag's "num"
// (else "val") and its "val". Absent when a tag is not an object with a "val".
std::optional<std::pair<exiftool::Objects, exiftool::Objects>>
two_runs_of(const exiftool::Objects& listing) {
    std::pair<exiftool::Objects, exiftool::Objects> runs;
    for (const auto& object : listing) {
        model::Json raw = model::Json::object(), printed = model::Json::object();
        for (const auto& [key, value] : object.items()) {
            if (key == "SourceFile") {
                raw[key] = printed[key] = value;
                continue;
            }
            if (!value.is_object() || !value.contains("val")) return std::nullopt;
            raw[key] = value.contains("num") ? value["num"] : value["val"];
            printed[key] = value["val"];
        }
        runs.first.push_back(std::move(raw));
        runs.second.push_back(std::move(printed));
    }
    return runs;
}

// The batch as JSON text, for comparing two of them.
std::string batch_text(const exiftool::BatchResult& batch) {
    std::map<std::string, std::string> sorted;
    for (const auto& [key, entry] : batch) {
        std::string& text = sorted[key];
        if (const auto* error = std::get_if<std::string>(&entry)) {
            text = "error " + *error;
            continue;
        }
        for (const model::RawTag& tag : std::get<std::vector<model::RawTag>>(entry))
            text += json_writer::compact(model::to_json(tag)) + "\n";
    }
    std::string all;
    for (const auto& [key, text] : sorted)
        all += key + "\n" + text + "\n";
    return all;
}

exiftool::ProcessResult result_of(const std::vector<std::string>& pieces, std::size_t index) {
    const std::string out = index < pieces.size() ? pieces[index] : std::string();
    // An output starting with "!" stands for a process that could not start.
    if (!out.empty() && out[0] == '!') return io::Error{ENOENT};
    return exiftool::ProcessOutput{out, pieces.size() > 3 ? pieces[3] : std::string()};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::string> pieces =
        fuzz_support::split(fuzz_support::as_text(data, size), '\0');
    std::vector<std::string> files;
    if (pieces.size() > 2)
        for (std::string& f : fuzz_support::split(pieces[2], '\n'))
            if (!f.empty()) files.push_back(std::move(f));

    const auto raw = exiftool::parse_output(result_of(pieces, 0));
    const auto printed = exiftool::parse_output(result_of(pieces, 1));
    require(raw == exiftool::parse_output(result_of(pieces, 0)), "parse_output is not repeatable");

    const exiftool::BatchResult batch = exiftool::combine_runs(raw, printed, files);
    const bool failed =
        std::holds_alternative<std::string>(raw) || std::holds_alternative<std::string>(printed);
    if (failed) {
        require(batch.size() <= files.size(), "more entries than files");
        for (const std::string& f : files)
            require(batch.count(f) == 1 && std::holds_alternative<std::string>(batch.at(f)),
                    "a file without the batch error");
    }
    for (const auto& [key, entry] : batch)
        if (const auto* tags = std::get_if<std::vector<model::RawTag>>(&entry))
            for (const model::RawTag& tag : *tags)
                require(!tag.raw.is_discarded(), "a tag holds a discarded value");
    // One -l run read by combine_listing gives what the two runs it stands for give.
    if (const auto* objects = std::get_if<exiftool::Objects>(&raw)) {
        const auto listed = exiftool::combine_listing(*objects, files, files);
        const auto runs = two_runs_of(*objects);
        if (listed) {
            require(runs.has_value(), "a listing read although a tag has no value");
            require(batch_text(*listed) ==
                        batch_text(exiftool::combine_runs(runs->first, runs->second, files)),
                    "a listing read differently from its two runs");
        }
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
        const auto matches = exiftool::match_arguments(text::lossy(files[i]), files);
        require(std::find(matches.begin(), matches.end(), i) != matches.end(),
                "a listed file does not match itself");
    }
    return 0;
}
