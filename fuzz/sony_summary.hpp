// A text that stands for a Sony reader result, so two reads can be compared.
#pragma once

#include <optional>
#include <string>

#include "sony/internal.hpp"

namespace fuzz_support {

inline std::string sony_summary(const std::optional<sony::Sony>& s) {
    if (!s) return "-";
    std::string out = s->origin;
    for (const auto* field : {&s->capture_gamma, &s->capture_primaries, &s->coding_equations,
                              &s->manufacturer, &s->model_name, &s->recording_mode})
        out += "|" + field->value_or("<none>");
    out += "|" + std::to_string(s->cache_rec.value_or(false)) +
           std::to_string(s->cache_rec.has_value()) + std::to_string(s->half_step);
    out +=
        "|" + std::to_string(s->ltc_start.value_or(0)) + std::to_string(s->ltc_start.has_value());
    out += "|" + std::to_string(s->rtmd.iso.value_or(0));
    return out;
}

} // namespace fuzz_support
