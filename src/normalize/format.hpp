// Display formatting of raw tag values and the agreement tests that compare
// two sources of the same field.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "model/model.hpp"

namespace normalize {

// How an alternate source compares with the primary one.
enum class Agreement { Same, Close, Different };

// Whether `needle` occurs in `haystack`.
bool contains(std::string_view haystack, std::string_view needle);

// The tag's display text: its printed text, else its raw string, else the raw value as compact
// JSON; white space trimmed at both ends. Never fails.
std::string printed(const model::RawTag& tag);

// Whether a text is a placeholder (empty, "n/a", "undef", zero date, "unknown...", "(binary...").
bool useless(std::string_view text);

// The tag's numeric value: a JSON number, or the leading number of a string (digits, "-", ".").
// Absent for other JSON types, unparsable prefixes and values that do not fit a finite double.
std::optional<double> num(const model::RawTag& tag);

// `value` rounded to `decimals` places (exact value, ties to even), then trailing zeros and a
// trailing point removed: 2.8, 2, 23.976.
std::string trim_num(double value, int decimals);

// `value` rounded to exactly `decimals` places (exact value, ties to even), zeros kept: 2.00.
std::string fixed(double value, int decimals);

// `value` truncated toward zero, in decimal, saturated at the 64-bit signed range.
std::string integer_text(double value);

// The letters and digits of `text` (any script), lower-cased; everything else dropped.
std::string norm(std::string_view text);

// Formatters: display text of one tag, absent when the tag is not usable for the field.
std::optional<std::string> fmt_text(const model::RawTag& tag);   // printed text as is
std::optional<std::string> fmt_wbmode(const model::RawTag& tag); // "Kelvin", "Auto" or as printed
std::optional<std::string> fmt_kelvin(const model::RawTag& tag); // "5600 K"; 500 < v < 100000
std::optional<std::string> fmt_iso(const model::RawTag& tag);    // "ISO 800"
std::optional<std::string> fmt_fnum(const model::RawTag& tag);   // "f/2.8"
std::optional<std::string> fmt_focal(const model::RawTag& tag);  // "35 mm"
std::optional<std::string> fmt_shut(const model::RawTag& tag);   // fmt_shutter of the value
std::optional<std::string> fmt_fps(const model::RawTag& tag);    // "23.976 fps"

// Exposure time in seconds as "1/50 s" below half a second, "0.5 s" / "2 s" otherwise; empty
// text for t <= 0.
std::string fmt_shutter(double seconds);

// Agreement tests, primary first: letters and digits with containment; numbers within 1e-6
// (same) or 10 % (close); automatic versus manual white balance; always same.
Agreement same_text(const model::RawTag& primary, const model::RawTag& alternate);
Agreement same_num(const model::RawTag& primary, const model::RawTag& alternate);
Agreement same_wb(const model::RawTag& primary, const model::RawTag& alternate);
Agreement same_any(const model::RawTag& primary, const model::RawTag& alternate);

// Whether the tag's printed text names an automatic white balance (starts with "auto").
bool wb_class(const model::RawTag& tag);

} // namespace normalize
