// UTF-8 text helpers shared by every module: lossy conversion of bytes and
// paths, full Unicode lower-casing and Unicode white-space trimming. None of them fails:
// ill-formed input is replaced, never refused (parse_decimal alone answers "absent").
#pragma once

#include <array>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace text {

// Incremental UTF-8 decoder: feed bytes one at a time, get code points; a byte that cannot
// continue a well-formed sequence is an error. `bytes`/`len` hold the sequence so far.
struct Utf8Decoder {
    enum class Step { Need, Done, Bad };
    char32_t cp = 0;
    int need = 0;
    unsigned char low = 0x80, high = 0xBF; // allowed range of the next continuation byte
    std::array<char, 4> bytes{};
    std::size_t len = 0;

    Step feed(unsigned char b) {
        if (need == 0) {
            len = 0;
            bytes[len++] = static_cast<char>(b);
            low = 0x80;
            high = 0xBF;
            if (b < 0x80) {
                cp = b;
                return Step::Done;
            }
            if (b >= 0xC2 && b <= 0xDF) {
                need = 1;
                cp = b & 0x1Fu;
            } else if (b >= 0xE0 && b <= 0xEF) {
                need = 2;
                cp = b & 0x0Fu;
                if (b == 0xE0) low = 0xA0;
                if (b == 0xED) high = 0x9F;
            } else if (b >= 0xF0 && b <= 0xF4) {
                need = 3;
                cp = b & 0x07u;
                if (b == 0xF0) low = 0x90;
                if (b == 0xF4) high = 0x8F;
            } else {
                return Step::Bad;
            }
            return Step::Need;
        }
        if (b < low || b > high) return Step::Bad;
        low = 0x80;
        high = 0xBF;
        bytes[len++] = static_cast<char>(b);
        cp = (cp << 6) | (b & 0x3Fu);
        return --need == 0 ? Step::Done : Step::Need;
    }
};

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

// Appends the UTF-8 encoding of one code point, which must be a Unicode scalar value.
void append_utf8(std::string& out, char32_t cp);

// Full Unicode lower-casing (U+0130 becomes "i\u0307", a final capital sigma becomes ς).
std::string lower(std::string_view utf8);

// `text` with the ASCII letters A-Z lower-cased; every other byte unchanged.
std::string ascii_lower(std::string_view text);

// Whether `text` equals `lower` (itself lower case) when its ASCII letters are lower-cased.
bool ascii_iequal(std::string_view text, std::string_view lower);

// Which decimal number texts parse_decimal accepts.
enum class DecimalSyntax {
    Fixed,   // optional "-", digits with at most one ".", at least one digit
    General, // as Fixed, then an optional exponent; or inf, infinity, nan, nan(chars), any case
};

// A parsed decimal number: the correctly rounded double, and whether the exact value lay
// beyond the double range (then the value is the rounded infinity or zero).
struct Decimal {
    double value = 0.0;
    bool out_of_range = false;
};

// The number that `text` spells as a whole in `syntax` (the C locale's, whatever the
// process locale); absent when the text is anything else (white space, "+", hex included).
std::optional<Decimal> parse_decimal(std::string_view text, DecimalSyntax syntax);

// Whether `cp` has the Unicode White_Space property.
bool is_white_space(char32_t cp);

// `utf8` without Unicode white space at either end.
std::string_view trim(std::string_view utf8);

// Whether `cp` is alphabetic or numeric (letters, marks that are alphabetic, digits, numbers).
bool is_alphanumeric(char32_t cp);

} // namespace text
