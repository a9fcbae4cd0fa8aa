// The one JSON printer of the system: compact lines for standard output, the
// two-space pretty form for sidecar files. Keys come out in byte order because
// the value type keeps objects ordered that way.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace json_writer {

// Compact text: no spaces, no newline at the end. Never fails.
std::string compact(const nlohmann::json& value);

// Two-space indented text, no trailing newline; empty arrays and objects stay "[]" and "{}".
// Never fails.
std::string pretty(const nlohmann::json& value);

} // namespace json_writer
