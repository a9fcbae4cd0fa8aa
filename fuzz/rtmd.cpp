// Fuzz target: the real-time metadata sample decoder.
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_support.hpp"
#include "sony/internal.hpp"

namespace {

using fuzz_support::require;

bool same(const std::optional<double>& a, const std::optional<double>& b) {
    if (a.has_value() != b.has_value()) return false;
    if (!a) return true;
    return (std::isnan(*a) && std::isnan(*b)) || *a == *b;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const sony::Rtmd a = sony::parse_rtmd({data, size});
    const sony::Rtmd b = sony::parse_rtmd({data, size});
    require(same(a.iris_fnumber, b.iris_fnumber) && same(a.focus_distance, b.focus_distance) &&
                same(a.focal_length_35mm, b.focal_length_35mm) &&
                same(a.focal_length, b.focal_length) && same(a.shutter_angle, b.shutter_angle) &&
                same(a.gain_db, b.gain_db) && a.focus_ring_raw == b.focus_ring_raw &&
                a.zoom_ring_raw == b.zoom_ring_raw && a.ae_mode == b.ae_mode &&
                a.af_area == b.af_area && a.sensor_width == b.sensor_width &&
                a.sensor_height == b.sensor_height && a.shutter_time == b.shutter_time &&
                a.iso == b.iso && a.extender == b.extender && a.wb_mode == b.wb_mode &&
                a.exposure_index == b.exposure_index && a.white_balance == b.white_balance,
            "parse_rtmd is not repeatable");
    // Fixed texts come from static tables, never from the sample.
    for (const auto* text : {&a.ae_mode, &a.af_area, &a.wb_mode})
        if (*text)
            require((*text)->data() < reinterpret_cast<const char*>(data) ||
                        (*text)->data() >= reinterpret_cast<const char*>(data) + size,
                    "a fixed text points into the sample");
    return 0;
}
