// UTF-8 text helpers shared by every module: lossy conversion of bytes and
// paths, full Unicode lower-casing and Unicode white-space trimming.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace text {

// Whether `bytes` is well-formed UTF-8.
bool is_utf8(std::string_view bytes);

// `bytes` as UTF-8 with every ill-formed sequence replaced by U+FFFD (one per maximal subpart).
std::string lossy(std::string_view bytes);

// `bytes` with every byte that is not part of a well-formed sequence replaced by
// `replacement_byte`, one per byte (how exiftool reports such file names: "?").
std::string replace_bytes(std::string_view bytes, char replacement_byte);

// A path's bytes as text, invalid UTF-8 replaced by U+FFFD.
std::string path_text(const std::filesystem::path& path);

// Decodes well-formed UTF-8 into code points; ill-formed bytes become U+FFFD.
std::vector<char32_t> code_points(std::string_view utf8);

// Appends the UTF-8 encoding of one code point.
void append_utf8(std::string& out, char32_t cp);

// Full Unicode lower-casing (U+0130 becomes "i\u0307", a final capital sigma becomes ς).
std::string lower(std::string_view utf8);

// Whether `cp` has the Unicode White_Space property.
bool is_white_space(char32_t cp);

// `utf8` without Unicode white space at either end.
std::string_view trim(std::string_view utf8);

// Whether `cp` is alphabetic or numeric (letters, marks that are alphabetic, digits, numbers).
bool is_alphanumeric(char32_t cp);

} // namespace text
