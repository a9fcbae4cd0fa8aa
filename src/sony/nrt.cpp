// The NonRealTimeMeta document: plain substring searches for the few elements
// and attributes needed, no XML tree. Every search is a forward scan that
// resumes past its previous match, so hostile text stays linear.
#include <array>
#include <string>
#include <string_view>

#include "sony/internal.hpp"
#include "text/text.hpp"
#include "tmcd/tmcd.hpp"

namespace sony {

namespace {

constexpr std::string_view kRootEnd = "</NonRealTimeMeta>";

// An unsigned 32-bit number from hexadecimal digits with an optional leading "+".
std::optional<std::uint32_t> parse_hex32(std::string_view s) {
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : s) {
        unsigned digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return std::nullopt;
        }
        value = value * 16 + digit;
        if (value > 0xFFFFFFFFu) return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

// The first "<LtcChange " tag whose frameCount is exactly "0": its hexadecimal value.
std::optional<std::uint32_t> ltc_start_of(std::string_view document) {
    constexpr std::string_view kPrefix = "<LtcChange ";
    std::size_t from = 0;
    while (from < document.size()) {
        std::size_t at = document.find(kPrefix, from);
        if (at == std::string_view::npos) break;
        std::size_t close = document.find('>', at);
        std::string_view tag = document.substr(
            at, close == std::string_view::npos ? std::string_view::npos : close - at);
        if (attr(tag, "frameCount") == "0") {
            std::optional<std::string> value = attr(tag, "value");
            return value ? parse_hex32(*value) : std::nullopt;
        }
        if (close == std::string_view::npos) break;
        from = close;
    }
    return std::nullopt;
}

struct NameRow {
    std::string_view key;
    std::string_view name;
};

template <std::size_t N>
std::optional<std::string_view> lookup(const std::array<NameRow, N>& table,
                                       std::string_view input) {
    const std::string key = text::ascii_lower(input);
    for (const NameRow& row : table) {
        if (row.key == key) return row.name;
    }
    return std::nullopt;
}

} // namespace

std::optional<std::string> attr(std::string_view tag, std::string_view name) {
    std::string pattern;
    pattern.reserve(name.size() + 2);
    pattern.append(name).append("=\"");
    std::size_t at = tag.find(pattern);
    if (at == std::string_view::npos) return std::nullopt;
    std::size_t begin = at + pattern.size();
    std::size_t end = tag.find('"', begin);
    if (end == std::string_view::npos) return std::nullopt;
    return std::string(tag.substr(begin, end - begin));
}

std::optional<std::string_view> first_tag(std::string_view document, std::string_view prefix) {
    std::size_t at = document.find(prefix);
    if (at == std::string_view::npos) return std::nullopt;
    std::size_t close = document.find('>', at);
    if (close == std::string_view::npos) return std::nullopt;
    return document.substr(at, close - at);
}

std::optional<std::string> item(std::string_view document, std::string_view name) {
    std::string pattern;
    pattern.reserve(name.size() + 13);
    pattern.append("<Item name=\"").append(name).push_back('"');
    std::optional<std::string_view> tag = first_tag(document, pattern);
    if (!tag) return std::nullopt;
    return attr(*tag, "value");
}

std::optional<Sony> parse_nrt(std::string_view document, std::string_view origin) {
    if (document.find(kRoot) == std::string_view::npos) return std::nullopt;

    Sony sony;
    sony.origin = std::string(origin);
    sony.capture_gamma = item(document, "CaptureGammaEquation");
    sony.capture_primaries = item(document, "CaptureColorPrimaries");
    sony.coding_equations = item(document, "CodingEquations");

    if (std::optional<std::string_view> tag = first_tag(document, "<RecordingMode ")) {
        sony.recording_mode = attr(*tag, "type");
        if (std::optional<std::string> cache = attr(*tag, "cacheRec")) {
            sony.cache_rec = *cache == "true";
        }
    }
    if (std::optional<std::string_view> tag = first_tag(document, "<Device ")) {
        sony.manufacturer = attr(*tag, "manufacturer");
        sony.model_name = attr(*tag, "modelName");
    }
    if (std::optional<std::string_view> tag = first_tag(document, "<LtcChangeTable")) {
        sony.half_step = attr(*tag, "halfStep") == "true";
    }
    sony.ltc_start = ltc_start_of(document);

    if (!sony.capture_gamma && !sony.capture_primaries && !sony.model_name) return std::nullopt;
    return sony;
}

std::optional<Sony> parse_embedded(std::span<const std::uint8_t> buffer) {
    const std::string_view bytes(reinterpret_cast<const char*>(buffer.data()), buffer.size());
    std::size_t begin = bytes.find(kRoot);
    if (begin == std::string_view::npos) return std::nullopt;
    std::size_t end = bytes.find(kRootEnd, begin);
    end = end == std::string_view::npos ? bytes.size() : end + kRootEnd.size();
    return parse_nrt(text::lossy(bytes.substr(begin, end - begin)), "embedded");
}

std::optional<std::string> ltc_text(const Sony& sony) {
    if (!sony.ltc_start) return std::nullopt;
    const std::uint32_t packed = *sony.ltc_start;
    const unsigned h = packed & 0xFF;
    const unsigned m = (packed >> 8) & 0xFF;
    const unsigned s = (packed >> 16) & 0xFF;
    const unsigned f = (packed >> 24) & 0xFF;

    // A units digit above 9, tens of minutes or seconds above 5 or hours past 23 is no
    // timecode: a corrupt value, not one to print as 45:85:85.
    if ((h & 0xF) > 9 || (m & 0xF) > 9 || (s & 0xF) > 9 || (f & 0xF) > 9) return std::nullopt;
    if (((m >> 4) & 0x7) > 5 || ((s >> 4) & 0x7) > 5) return std::nullopt;
    const unsigned hours = ((h >> 4) & 0x3) * 10 + (h & 0xF);
    if (hours > 23) return std::nullopt;
    const unsigned minutes = ((m >> 4) & 0x7) * 10 + (m & 0xF);
    const unsigned seconds = ((s >> 4) & 0x7) * 10 + (s & 0xF);
    unsigned frames = ((f >> 4) & 0x3) * 10 + (f & 0xF);
    if (sony.half_step) frames <<= 1;
    const bool drop = (f & 0x40) != 0;

    return tmcd::timecode_text(hours, minutes, seconds, frames,
                               drop ? tmcd::DropFrame::Yes : tmcd::DropFrame::No);
}

std::optional<std::string_view> curve_name(std::string_view gamma) {
    static constexpr std::array<NameRow, 3> kTable{{
        {"s-log2", "S-Log2"},
        {"s-log3", "S-Log3"},
        {"s-log3-cine", "S-Log3"},
    }};
    return lookup(kTable, gamma);
}

std::optional<std::string_view> gamut_name(std::string_view primaries) {
    static constexpr std::array<NameRow, 3> kTable{{
        {"s-gamut", "S-Gamut"},
        {"s-gamut3", "S-Gamut3"},
        {"s-gamut3-cine", "S-Gamut3.Cine"},
    }};
    return lookup(kTable, primaries);
}

std::optional<std::string_view> gamma_implied_gamut(std::string_view gamma) {
    static constexpr std::array<NameRow, 2> kTable{{
        {"s-log3", "S-Gamut3"},
        {"s-log3-cine", "S-Gamut3.Cine"},
    }};
    return lookup(kTable, gamma);
}

} // namespace sony
