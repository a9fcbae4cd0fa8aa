#include "normalize/internal.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include "json_writer/json_writer.hpp"
#include "text/text.hpp"

namespace normalize {

bool contains(std::string_view haystack, std::string_view needle) {
    return haystack.find(needle) != std::string_view::npos;
}

std::string display_text(const model::RawTag& tag) {
    if (tag.printed) return std::string(text::trim(*tag.printed));
    if (tag.raw.is_string()) return std::string(text::trim(tag.raw.get_ref<const std::string&>()));
    return std::string(text::trim(json_writer::compact(tag.raw)));
}

bool is_placeholder(std::string_view value) {
    const std::string lower = text::lower(value);
    const std::string_view t = lower;
    return t.empty() || t == "n/a" || t == "undef" || t == "0 0 0 0" ||
           t.starts_with("0000:00:00") || t.starts_with("unknown") || t.starts_with("(binary");
}

std::optional<double> numeric_value(const model::RawTag& tag) {
    if (tag.raw.is_number()) {
        const double value = tag.raw.get<double>();
        if (!std::isfinite(value)) return std::nullopt;
        return value;
    }
    if (!tag.raw.is_string()) return std::nullopt;
    const std::string_view whole = text::trim(tag.raw.get_ref<const std::string&>());
    std::size_t length = 0;
    while (length < whole.size()) {
        const char c = whole[length];
        if (!((c >= '0' && c <= '9') || c == '-' || c == '.')) break;
        ++length;
    }
    const std::string_view prefix = whole.substr(0, length);
    if (prefix.empty()) return std::nullopt;
    // A second point or an inner minus makes the prefix no number at all; so does a value
    // beyond the double range.
    const auto parsed = text::parse_decimal(prefix, text::DecimalSyntax::Fixed);
    if (!parsed || parsed->out_of_range || !std::isfinite(parsed->value)) return std::nullopt;
    return parsed->value;
}

std::string decimal_text(double value, int decimals) {
    std::string out = fixed_text(value, decimals);
    if (out.find('.') != std::string::npos) {
        while (!out.empty() && out.back() == '0')
            out.pop_back();
        while (!out.empty() && out.back() == '.')
            out.pop_back();
    }
    return out;
}

std::string fixed_text(double value, int decimals) {
    // The exact binary value's digits; to_chars rounds ties to even.
    char buf[400];
    auto [end, ec] =
        std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
    if (ec != std::errc{}) return {};
    return std::string(buf, end);
}

std::string integer_text(double value) {
    // Truncate toward zero and saturate at the 64-bit signed range, so a huge value
    // prints as the largest integer instead of overflowing.
    constexpr double kTwoTo63 = 9223372036854775808.0; // 2^63
    std::int64_t whole = 0;
    if (std::isnan(value))
        whole = 0;
    else if (value >= kTwoTo63)
        whole = std::numeric_limits<std::int64_t>::max();
    else if (value <= -kTwoTo63)
        whole = std::numeric_limits<std::int64_t>::min();
    else
        whole = static_cast<std::int64_t>(std::trunc(value));
    return std::to_string(whole);
}

std::string lower_alphanumerics(std::string_view value) {
    std::string kept;
    for (char32_t cp : text::code_points(value))
        if (text::is_alphanumeric(cp)) text::append_utf8(kept, cp);
    return text::lower(kept);
}

std::optional<std::string> format_text(const model::RawTag& tag) {
    std::string out = display_text(tag);
    if (is_placeholder(out)) return std::nullopt;
    return out;
}

std::optional<std::string> format_wb_mode(const model::RawTag& tag) {
    std::string out = display_text(tag);
    if (is_placeholder(out)) return std::nullopt;
    const std::string lower = text::lower(out);
    if (contains(lower, "kelvin") || contains(lower, "temperature")) return "Kelvin";
    if (lower.starts_with("auto")) return "Auto";
    return out;
}

std::optional<std::string> format_kelvin(const model::RawTag& tag) {
    const auto v = numeric_value(tag);
    if (!v || !(*v > 500.0 && *v < 100000.0)) return std::nullopt;
    return integer_text(*v) + " K";
}

std::optional<std::string> format_iso(const model::RawTag& tag) {
    const auto v = numeric_value(tag);
    if (!v || !(*v > 0.0)) return std::nullopt;
    return "ISO " + integer_text(*v);
}

std::optional<std::string> format_f_number(const model::RawTag& tag) {
    const auto v = numeric_value(tag);
    if (!v || !(*v > 0.0)) return std::nullopt;
    return "f/" + decimal_text(*v, 1);
}

std::optional<std::string> format_focal_length(const model::RawTag& tag) {
    const auto v = numeric_value(tag);
    if (!v || !(*v > 0.0)) return std::nullopt;
    return decimal_text(*v, 1) + " mm";
}

std::optional<std::string> format_shutter(const model::RawTag& tag) {
    const auto v = numeric_value(tag);
    if (!v || !(*v > 0.0)) return std::nullopt;
    return shutter_text(*v);
}

std::optional<std::string> format_frame_rate(const model::RawTag& tag) {
    const auto v = numeric_value(tag);
    if (!v || !(*v > 0.0)) return std::nullopt;
    return decimal_text(*v, 3) + " fps";
}

std::string shutter_text(double seconds) {
    if (!(seconds > 0.0)) return {};
    if (seconds >= 0.5) return decimal_text(seconds, 2) + " s";
    // std::round takes halves away from zero.
    return "1/" + integer_text(std::round(1.0 / seconds)) + " s";
}

Agreement compare_text(const model::RawTag& primary, const model::RawTag& alternate) {
    const std::string a = lower_alphanumerics(display_text(primary));
    const std::string b = lower_alphanumerics(display_text(alternate));
    if (a == b || contains(a, b) || contains(b, a)) return Agreement::Same;
    return Agreement::Different;
}

Agreement compare_numbers(const model::RawTag& primary, const model::RawTag& alternate) {
    const auto a = numeric_value(primary);
    const auto b = numeric_value(alternate);
    if (!a || !b) return Agreement::Different;
    const double m = std::max(std::fabs(*a), std::fabs(*b));
    if (m == 0.0) return Agreement::Same;
    const double r = std::fabs(*a - *b) / m;
    if (r < 0.000001) return Agreement::Same;
    if (r <= 0.1) return Agreement::Close;
    return Agreement::Different;
}

namespace {

// Whether the tag's display text names an automatic white balance (starts with "auto").
bool is_auto_white_balance(const model::RawTag& tag) {
    return text::lower(display_text(tag)).starts_with("auto");
}

} // namespace

Agreement compare_white_balance(const model::RawTag& primary, const model::RawTag& alternate) {
    return is_auto_white_balance(primary) == is_auto_white_balance(alternate)
               ? Agreement::Same
               : Agreement::Different;
}

Agreement always_same(const model::RawTag&, const model::RawTag&) {
    return Agreement::Same;
}

} // namespace normalize
