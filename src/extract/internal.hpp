// What an extract's events are made of, which no other module needs.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "extract/extract.hpp"
#include "model/model.hpp"

namespace extract {

// "found", "partial" or "no_metadata": whether the clip carries usable metadata.
std::string verdict(const model::Clip& clip);

// One summary object per field that has a value or a status other than "unavailable".
nlohmann::json field_summary(const std::vector<model::Field>& fields);

// The scanned clip retargeted at another copy: its path, directory and name, and the copy's
// size and modification time when its metadata can be read.
model::Clip copy_clip(const model::Clip& clip, const fs::path& copy);

} // namespace extract
