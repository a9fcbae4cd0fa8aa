// What the AAC configuration reader's own file shares with its tests and fuzz target.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "esds/esds.hpp"

namespace esds {

// The configuration at the start of an AudioSpecificConfig; absent when the bytes end before
// the channel configuration (or, for SBR or PS, before the extension's rate).
std::optional<AacConfig> parse_audio_specific_config(std::span<const std::uint8_t> bytes);

// The AudioSpecificConfig in an "esds" payload (version and flags first): ES_Descriptor →
// DecoderConfigDescriptor with object type 0x40, 0x66, 0x67 or 0x68 → DecoderSpecificInfo.
// Absent when a descriptor is malformed, runs past its parent or one is missing.
std::optional<std::span<const std::uint8_t>>
audio_specific_config(std::span<const std::uint8_t> esds);

} // namespace esds
