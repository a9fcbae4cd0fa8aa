// What the two motion readers share and no other module sees, for their tests too.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "model/model.hpp"
#include "motion/motion.hpp"

namespace motion {

// Largest Gyroflow project file that is read; a larger one is reported with valid_json false.
// Projects are small JSON documents (embedded gyro data is stored compressed), so 64 MiB is
// far above any real one while keeping a hostile file from costing much time or memory.
inline constexpr std::uintmax_t kMaxProjectBytes = std::uintmax_t{64} << 20;

// The motion findings of `clip` as detect gives them with a cache of its own: the clip's
// folder is listed afresh. Never fails.
model::Motion detect(const fs::path& clip, const std::vector<model::RawTag>& tags);

// The Gyroflow CSV log at `path`, read in one streaming pass; absent when the file is not a
// readable regular file, is not valid UTF-8 or is not an acceptable log.
std::optional<model::GyroLog> parse_gcsv(const fs::path& path);

} // namespace motion
