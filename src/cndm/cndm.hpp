// Canon metadata track ("cndm"): transfer curve and colour gamut codes from the first sample.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "boxes/boxes.hpp"

namespace cndm {

struct Cndm {
    std::optional<std::uint8_t> curve; // local item 0xe211
    std::optional<std::uint8_t> gamut; // local item 0xe212
};

// The codes of the first sample of the container's first "cndm" track; absent when it has
// no "moov" payload, no qualifying track, or the sample cannot be read. A present result
// may hold neither code.
std::optional<Cndm> read(const boxes::Container& container);

// Display name of a transfer-curve code ("Canon Log 2", "Canon Log 3"); absent otherwise.
std::optional<std::string_view> curve_name(std::uint8_t code);

// Display name of a gamut code ("Cinema Gamut"); absent otherwise.
std::optional<std::string_view> gamut_name(std::uint8_t code);

} // namespace cndm
