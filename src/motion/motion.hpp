// Motion-data detection: gyro hints in the clip's tags, Gyroflow CSV logs and
// Betaflight blackbox logs beside the clip, and the clip's Gyroflow project.
#pragma once

#include <cstddef>
#include <filesystem>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "io/io.hpp"
#include "model/model.hpp"

namespace motion {

namespace fs = std::filesystem;

// A directory entry's own type (symbolic links are not followed).
using io::EntryType;

// A folder entry whose extension makes it a possible companion log.
struct Companion {
    std::string name; // file name, native bytes
    std::string stem; // name without its last extension, native bytes
    std::string kind; // "Gyroflow CSV" or "Betaflight blackbox"
    EntryType type = EntryType::Unknown;
};

// The companion candidates of one folder in listing order, indexed by stem.
struct DirListing {
    std::vector<Companion> companions;
    std::unordered_map<std::string, std::vector<std::size_t>> by_stem;
};

// Folder listings remembered for one scan, keyed by the folder path's native text.
// Lets a batch list each folder once instead of once per clip.
struct DirCache {
    std::map<std::string, DirListing> folders;
};

// The motion findings of `clip` from its folder and raw tags, with the folder listing taken
// from `cache` (listed and stored the first time the folder is seen). Never fails: unreadable
// files and folders contribute nothing.
model::Motion detect(const fs::path& clip, const std::vector<model::RawTag>& tags, DirCache& cache);

} // namespace motion
