// Fuzz target: the exiftool output handling. The input is split at NUL bytes into the raw
// run's output, the printed run's output, the file list (one per line) and an error text.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "exiftool/exiftool.hpp"
#include "fuzz/fuzz_support.hpp"
#include "text/text.hpp"

namespace {

using fuzz_support::require;

exiftool::ProcessResult result_of(const std::vector<std::string>& pieces, std::size_t index) {
    const std::string out = index < pieces.size() ? pieces[index] : std::string();
    // An output starting with "!" stands for a process that could not start.
    if (!out.empty() && out[0] == '!') return out.substr(1);
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

    const exiftool::BatchResult batch = exiftool::combine(raw, printed, files);
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
    for (std::size_t i = 0; i < files.size(); ++i) {
        const auto matches = exiftool::match_arguments(text::lossy(files[i]), files);
        require(std::find(matches.begin(), matches.end(), i) != matches.end(),
                "a listed file does not match itself");
    }
    return 0;
}
