// Sidecars for a clip that exists as several copies: read one copy, write a sidecar
// beside it and beside every further copy, keep the copies the caller keeps.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/cli.hpp"
#include "export/export.hpp"
#include "model/model.hpp"

namespace extract {

namespace fs = std::filesystem;

// "found", "partial" or "no_metadata": whether the clip carries usable metadata.
std::string verdict(const model::Clip& clip);

// One summary object per field that has a value or a status other than "unavailable".
nlohmann::json field_summary(const std::vector<model::Field>& fields);

// The scanned clip retargeted at another copy: its path, directory and name, and the copy's
// size and modification time when its metadata can be read.
model::Clip copy_clip(const model::Clip& clip, const fs::path& copy);

// Writes the sidecars of every copy not in `keep` and returns the events: the clip event,
// then one sidecar event per copy in order (none when the clip has no metadata).
std::vector<nlohmann::json> emit(const model::Clip& clip, const std::vector<fs::path>& copies,
                                 const std::vector<fs::path>& keep,
                                 std::string_view exiftool_version, export_::Share share);

// `extract`: scans the first positional and prints the events of every clip. Returns 0.
int run(const cli::Options& options, const nlohmann::json& confirmations,
        exiftool::Session& session);

} // namespace extract
