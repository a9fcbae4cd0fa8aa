#include "text/text.hpp"

#include <utf8proc.h>

#include <cerrno>
#include <cstdlib>

namespace text {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Length of the well-formed sequence at `i`, or 0 and the length of the maximal
// ill-formed subpart in `bad`.
std::size_t sequence_at(std::string_view s, std::size_t i, char32_t& cp, std::size_t& bad) {
    Utf8Decoder decoder;
    for (std::size_t k = i; k < s.size(); ++k) {
        switch (decoder.feed(static_cast<unsigned char>(s[k]))) {
        case Utf8Decoder::Step::Done:
            cp = decoder.cp;
            return k - i + 1;
        case Utf8Decoder::Step::Bad:
            bad = decoder.len;
            return 0;
        case Utf8Decoder::Step::Need:
            break;
        }
    }
    bad = decoder.len; // cut off by the end of the text
    return 0;
}

// Cased and case-ignorable approximations for the final-sigma rule.
bool is_cased(char32_t cp) {
    auto cat = utf8proc_category(static_cast<utf8proc_int32_t>(cp));
    return cat == UTF8PROC_CATEGORY_LU || cat == UTF8PROC_CATEGORY_LL ||
           cat == UTF8PROC_CATEGORY_LT;
}

bool is_case_ignorable(char32_t cp) {
    auto cat = utf8proc_category(static_cast<utf8proc_int32_t>(cp));
    return cat == UTF8PROC_CATEGORY_MN || cat == UTF8PROC_CATEGORY_ME ||
           cat == UTF8PROC_CATEGORY_CF || cat == UTF8PROC_CATEGORY_LM ||
           cat == UTF8PROC_CATEGORY_SK || cp == U'\'' || cp == U'.' || cp == U':' || cp == 0x00B7 ||
           cp == 0x2019 || cp == 0x2018;
}

} // namespace

bool is_utf8(std::string_view bytes) {
    char32_t cp = 0;
    std::size_t bad = 0;
    for (std::size_t i = 0; i < bytes.size();) {
        std::size_t n = sequence_at(bytes, i, cp, bad);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

namespace {

// How much of an ill-formed part one replacement stands for.
enum class Span { MaximalSubpart, Byte };

// `bytes` with well-formed sequences copied and each ill-formed span replaced by `with`.
std::string replace_ill_formed(std::string_view bytes, std::string_view with, Span span) {
    std::string out;
    out.reserve(bytes.size());
    char32_t cp = 0;
    std::size_t bad = 0;
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t n = sequence_at(bytes, i, cp, bad);
        if (n == 0) {
            out += with;
            i += span == Span::MaximalSubpart ? bad : 1;
        } else {
            out.append(bytes.substr(i, n));
            i += n;
        }
    }
    return out;
}

} // namespace

std::string lossy(std::string_view bytes) {
    return replace_ill_formed(bytes, "\xEF\xBF\xBD", Span::MaximalSubpart); // U+FFFD
}

std::string replace_bytes(std::string_view bytes, char replacement_byte) {
    return replace_ill_formed(bytes, std::string_view(&replacement_byte, 1), Span::Byte);
}

std::string path_text(const std::filesystem::path& path) {
    return lossy(path.native());
}

std::vector<char32_t> code_points(std::string_view utf8) {
    std::vector<char32_t> out;
    out.reserve(utf8.size());
    char32_t cp = 0;
    std::size_t bad = 0;
    for (std::size_t i = 0; i < utf8.size();) {
        std::size_t n = sequence_at(utf8, i, cp, bad);
        if (n == 0) {
            out.push_back(kReplacement);
            i += bad;
        } else {
            out.push_back(cp);
            i += n;
        }
    }
    return out;
}

std::string ascii_lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool ascii_iequal(std::string_view text, std::string_view lower) {
    return text.size() == lower.size() && ascii_lower(text) == lower;
}

namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Whether `s` is "-"?, digits with at most one ".", at least one digit, then (General only)
// an optional exponent.
bool decimal_shape(std::string_view s, DecimalSyntax syntax) {
    std::size_t i = !s.empty() && s[0] == '-' ? 1 : 0;
    std::size_t digits = 0;
    bool point = false;
    for (; i < s.size(); ++i) {
        if (is_digit(s[i]))
            ++digits;
        else if (s[i] == '.' && !point)
            point = true;
        else
            break;
    }
    if (digits == 0) return false;
    if (i == s.size()) return true;
    if (syntax != DecimalSyntax::General || (s[i] != 'e' && s[i] != 'E')) return false;
    if (++i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    if (i == s.size()) return false;
    for (; i < s.size(); ++i)
        if (!is_digit(s[i])) return false;
    return true;
}

// Whether `s` is an infinity or a NaN as the C library spells them.
bool special_shape(std::string_view s) {
    if (!s.empty() && s[0] == '-') s.remove_prefix(1);
    const std::string word = ascii_lower(s);
    if (word == "inf" || word == "infinity" || word == "nan") return true;
    if (!word.starts_with("nan(") || !word.ends_with(')')) return false;
    for (char c : std::string_view(word).substr(4, word.size() - 5))
        if (!is_digit(c) && !(c >= 'a' && c <= 'z') && c != '_') return false;
    return true;
}

} // namespace

std::optional<Decimal> parse_decimal(std::string_view text, DecimalSyntax syntax) {
    if (!decimal_shape(text, syntax) && !(syntax == DecimalSyntax::General && special_shape(text)))
        return std::nullopt;
    // The shapes above are what strtod reads in the C locale, and this program never sets
    // another one; strtod rounds correctly and marks values beyond the range with ERANGE.
    const std::string copy(text);
    char* end = nullptr;
    errno = 0;
    Decimal out;
    out.value = std::strtod(copy.c_str(), &end);
    if (end != copy.c_str() + copy.size()) return std::nullopt;
    out.out_of_range = errno == ERANGE;
    return out;
}

std::string lower(std::string_view utf8) {
    // ASCII fast path: most extensions and file names never leave it.
    bool ascii = true;
    for (char c : utf8)
        if (static_cast<unsigned char>(c) >= 0x80) {
            ascii = false;
            break;
        }
    if (ascii) return ascii_lower(utf8);
    auto cps = code_points(utf8);
    std::string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < cps.size(); ++i) {
        char32_t cp = cps[i];
        if (cp == 0x0130) {
            out += 'i';
            append_utf8(out, 0x0307);
            continue;
        }
        if (cp == 0x03A3) {
            // Final sigma: preceded by a cased letter and not followed by one,
            // case-ignorable characters skipped on both sides.
            bool before = false, after = false;
            for (std::size_t j = i; j-- > 0;) {
                if (is_case_ignorable(cps[j])) continue;
                before = is_cased(cps[j]);
                break;
            }
            for (std::size_t j = i + 1; j < cps.size(); ++j) {
                if (is_case_ignorable(cps[j])) continue;
                after = is_cased(cps[j]);
                break;
            }
            append_utf8(out, before && !after ? 0x03C2 : 0x03C3);
            continue;
        }
        append_utf8(out,
                    static_cast<char32_t>(utf8proc_tolower(static_cast<utf8proc_int32_t>(cp))));
    }
    return out;
}

bool is_white_space(char32_t cp) {
    return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
           cp == 0x205F || cp == 0x3000;
}

std::string_view trim(std::string_view utf8) {
    char32_t cp = 0;
    std::size_t bad = 0;
    std::size_t start = 0;
    while (start < utf8.size()) {
        std::size_t n = sequence_at(utf8, start, cp, bad);
        if (n == 0 || !is_white_space(cp)) break;
        start += n;
    }
    std::size_t end = utf8.size();
    while (end > start) {
        // Step back to the start of the last sequence.
        std::size_t b = end - 1;
        while (b > start && (static_cast<unsigned char>(utf8[b]) & 0xC0) == 0x80 && end - b < 4)
            --b;
        std::size_t n = sequence_at(utf8, b, cp, bad);
        if (n != end - b || !is_white_space(cp)) break;
        end = b;
    }
    return utf8.substr(start, end - start);
}

bool is_alphanumeric(char32_t cp) {
    auto cat = utf8proc_category(static_cast<utf8proc_int32_t>(cp));
    switch (cat) {
    case UTF8PROC_CATEGORY_LU:
    case UTF8PROC_CATEGORY_LL:
    case UTF8PROC_CATEGORY_LT:
    case UTF8PROC_CATEGORY_LM:
    case UTF8PROC_CATEGORY_LO:
    case UTF8PROC_CATEGORY_NL:
    case UTF8PROC_CATEGORY_ND:
    case UTF8PROC_CATEGORY_NO:
        return true;
    default:
        return false;
    }
}

} // namespace text
