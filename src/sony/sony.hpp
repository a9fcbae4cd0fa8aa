// Sony camera metadata: the NonRealTimeMeta XML document (embedded in the
// container or written beside the clip as a sidecar) and the first sample of
// the real-time metadata ("rtmd") track.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "boxes/boxes.hpp"

namespace sony {

// The start of a camera document's root element: a buffer without it holds no document.
inline constexpr std::string_view kRoot = "<NonRealTimeMeta";

// Lens and exposure state decoded from one real-time metadata sample.
// Every member stays absent until its tag is seen with a valid value.
// Fixed texts point into static tables.
struct Rtmd {
    std::optional<double> iris_fnumber;                                  // 0x8000
    std::optional<double> focus_distance;                                // 0x8001, metres
    std::optional<double> focal_length_35mm;                             // 0x8004, mm
    std::optional<double> focal_length;                                  // 0x8005, mm
    std::optional<std::uint16_t> focus_ring_raw;                         // 0x800a, 65535 = full
    std::optional<std::uint16_t> zoom_ring_raw;                          // 0x800b, 65535 = full
    std::optional<std::string_view> ae_mode;                             // 0x8100
    std::optional<std::string_view> af_area;                             // 0x8101
    std::optional<std::uint16_t> sensor_width;                           // 0x8104
    std::optional<std::uint16_t> sensor_height;                          // 0x8105
    std::optional<double> shutter_angle;                                 // 0x8108, degrees
    std::optional<std::pair<std::uint32_t, std::uint32_t>> shutter_time; // 0x8109, num/den s
    std::optional<double> gain_db;                                       // 0x810a
    std::optional<std::uint32_t> iso;                                    // 0x810b
    std::optional<std::uint16_t> extender;                               // 0x810c
    std::optional<std::string_view> wb_mode;                             // 0x810d
    std::optional<std::uint16_t> exposure_index;                         // 0x8115
    std::optional<std::uint8_t> white_balance;                           // 0xe303, raw code
};

// What the camera document says about one clip, with the first rtmd sample.
struct Sony {
    std::string origin; // "embedded" or "sidecar"
    std::optional<std::string> capture_gamma;
    std::optional<std::string> capture_primaries;
    std::optional<std::string> coding_equations;
    std::optional<std::string> manufacturer;
    std::optional<std::string> model_name;
    std::optional<std::string> recording_mode;
    std::optional<bool> cache_rec;
    bool half_step = false;
    std::optional<std::uint32_t> ltc_start; // packed BCD FFSSMMHH
    Rtmd rtmd;
};

// The camera document of the clip at `path`: from `container` (the clip's parsed structure,
// given for movies) when it holds one, else from the "<stem>M01.XML"/"<stem>M01.xml" sidecar
// beside `path`, with the container's first rtmd sample decoded. Absent when no usable
// document exists; never throws.
std::optional<Sony> read(const std::filesystem::path& path, const boxes::Container* container);

// The document of the first top-level "meta" box (payload at most 4 MiB) that holds
// "<NonRealTimeMeta"; absent when no such box exists, its document yields no record,
// or a read fails. Reads only those payloads.
std::optional<Sony> read_top_xml(const boxes::Container& container);

// The record described by `document`, `rtmd` empty. Absent when the text has no
// "<NonRealTimeMeta" or gives none of capture gamma, capture primaries, model name.
std::optional<Sony> parse_nrt(std::string_view document, std::string_view origin);

// The document found inside `buffer` (from "<NonRealTimeMeta" to just after
// "</NonRealTimeMeta>" or the end), parsed with origin "embedded". Absent when
// the buffer holds no document or it yields no record.
std::optional<Sony> parse_embedded(std::span<const std::uint8_t> buffer);

// The "value" attribute of the first `<Item name="NAME"` tag; absent when the
// item, its closing ">" or the attribute is missing.
std::optional<std::string> item(std::string_view document, std::string_view name);

// The first opening tag starting with `prefix`, up to but excluding its ">";
// absent when the prefix or the ">" after it is missing. Borrows from `document`.
std::optional<std::string_view> first_tag(std::string_view document, std::string_view prefix);

// The double-quoted value of `name="..."` inside `tag`, as written; absent when
// the attribute or its closing quote is missing.
std::optional<std::string> attr(std::string_view tag, std::string_view name);

// The start timecode "HH:MM:SS:FF" (";" before the frames when drop-frame)
// from `ltc_start` and `half_step`; absent when `ltc_start` is absent, a units digit is
// above 9, tens of minutes or seconds above 5, or the hours above 23.
std::optional<std::string> ltc_text(const Sony& sony);

// Display name of a capture gamma ("S-Log2", "S-Log3"); absent when unknown.
std::optional<std::string_view> curve_name(std::string_view gamma);

// Display name of capture primaries ("S-Gamut", "S-Gamut3", "S-Gamut3.Cine"); absent when unknown.
std::optional<std::string_view> gamut_name(std::string_view primaries);

// The gamut a capture gamma implies ("S-Gamut3", "S-Gamut3.Cine"); absent when none.
std::optional<std::string_view> gamma_implied_gamut(std::string_view gamma);

// The members decoded from one rtmd sample; decoding stops quietly at a
// terminator or a truncated entry, keeping what was decoded before.
Rtmd parse_rtmd(std::span<const std::uint8_t> sample);

} // namespace sony
