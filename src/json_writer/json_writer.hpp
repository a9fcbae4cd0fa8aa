// The one JSON printer of the system: compact lines for standard output, the
// two-space pretty form for sidecar files. Keys come out in byte order because
// the value type keeps objects ordered that way.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace json_writer {

// Compact text: no spaces, no newline at the end.
std::string compact(const nlohmann::json& value);

// Two-space indented text, no trailing newline; empty arrays and objects stay "[]" and "{}".
std::string pretty(const nlohmann::json& value);

// Shortest text that reads back to the same double, always with a point or an
// exponent: 2.8, 5.0, 0.00001, 1e-7, 1e16. Non-finite values give "null".
std::string number(double value);

// Appends `text` as a JSON string: only '"', '\' and control characters are escaped.
void append_string(std::string& out, std::string_view text);

} // namespace json_writer
