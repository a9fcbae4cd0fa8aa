// Motion-data detection: gyro hints in the clip's tags, Gyroflow CSV logs and
// Betaflight blackbox logs beside the clip, and the clip's Gyroflow project.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "io/io.hpp"
#include "model/model.hpp"

namespace motion {

namespace fs = std::filesystem;

// Largest Gyroflow project file that is read; a larger one is reported with valid_json false.
// Projects are small JSON documents (embedded gyro data is stored compressed), so 64 MiB is
// far above any real one while keeping a hostile file from costing much time or memory.
inline constexpr std::uintmax_t max_project_bytes = std::uintmax_t{64} << 20;

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

// The motion findings of `clip` from its folder and raw tags. Never fails: unreadable
// files and folders contribute nothing. Lists the clip's folder afresh.
model::Motion detect(const fs::path& clip, const std::vector<model::RawTag>& tags);

// As above, but takes the folder listing from `cache` (listing and storing it the first time
// the folder is seen). Gives the same result as the form without a cache.
model::Motion detect(const fs::path& clip, const std::vector<model::RawTag>& tags, DirCache& cache);

// The Gyroflow CSV log at `path`, read in one streaming pass; absent when the file is not a
// readable regular file, is not valid UTF-8 or is not an acceptable log.
std::optional<model::GyroLog> parse_gcsv(const fs::path& path);

} // namespace motion
