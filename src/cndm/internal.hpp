// What the Canon reader's own file shares with its tests.
#pragma once

#include <cstdint>
#include <span>

#include "cndm/cndm.hpp"

namespace cndm {

// The codes found in one sample's KLV packets; members stay absent when not found.
Cndm parse_sample(std::span<const std::uint8_t> sample);

} // namespace cndm
