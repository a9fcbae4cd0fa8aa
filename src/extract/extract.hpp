// Sidecars for a clip that exists as several copies: from the clip read off one copy, write a
// sidecar beside it and beside every further copy, keep the copies the caller keeps.
#pragma once

#include <filesystem>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "export/export.hpp"
#include "model/model.hpp"

namespace extract {

namespace fs = std::filesystem;

// Writes the sidecars of every copy not in `keep` and returns the events: the clip event,
// then one sidecar event per copy in order (none when the clip has no metadata). A copy whose
// sidecar cannot be written gives an "error" event; the others are still written.
std::vector<nlohmann::json> write_sidecars(const model::Clip& clip,
                                           const std::vector<fs::path>& copies,
                                           const std::vector<fs::path>& keep,
                                           std::string_view exiftool_version, export_::Share share);

} // namespace extract
