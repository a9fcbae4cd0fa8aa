// AAC channel configuration of ISO/QuickTime audio tracks: the AudioSpecificConfig carried in
// the "esds" box of an "mp4a" sample entry, whose channel count is often a template value (2)
// while the configuration gives the real one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "boxes/boxes.hpp"

namespace esds {

// Most "trak" boxes a read visits; later ones are not looked at.
inline constexpr std::size_t kMaxTracks = 256;

// The leading fields of an AudioSpecificConfig.
struct AacConfig {
    unsigned object_type = 0;           // audio object type, 0..95 (2 is AAC LC, 5 SBR, 29 PS)
    unsigned channel_configuration = 0; // as coded, 0..15
    // Channels the decoder puts out: 1..6 the same, 7 → 8, 11 → 7, 12 → 8, 13 → 24, 14 → 8;
    // 2 for configuration 1 with parametric stereo (object type 29, or SBR and PS signalled
    // in a sync extension after an AAC LC configuration); absent for 0 (a program config
    // element decides) and reserved values.
    std::optional<unsigned> channels;
    // Output sampling rate in Hz: from the frequency index or the explicit 24-bit rate, the
    // extension's rate for explicitly signalled SBR or PS; absent when reserved or zero.
    std::optional<std::uint32_t> sample_rate;
    bool operator==(const AacConfig&) const = default;
};

// One audio track with an AAC configuration.
struct AacTrack {
    std::uint32_t track = 0; // 1-based position of the "trak" among moov's "trak" boxes
    AacConfig config;        // channel_configuration never 0
    bool operator==(const AacTrack&) const = default;
};

// The AAC tracks of the container, in file order: each "trak" (at most kMaxTracks) whose
// first sample description is "mp4a" with an "esds" box (directly or inside a QuickTime
// "wave" box) whose decoder config is MPEG-4 audio or MPEG-2 AAC and whose AudioSpecificConfig
// has a non-zero channel configuration. Absent when there is no "moov" payload or no track
// qualifies; malformed boxes and descriptors pass their track over.
std::optional<std::vector<AacTrack>> read(const boxes::Container& container);

} // namespace esds
