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

} // namespace sony
