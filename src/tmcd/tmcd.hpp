// Start timecode of QuickTime / ISO base media files, read from the timecode track.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "boxes/boxes.hpp"

namespace tmcd {

struct StartTimecode {
    std::string text;               // e.g. 01:00:00:00 or 00:59:59;29
    std::int64_t counter = 0;       // the sample's frame counter, signed 32-bit widened
    std::uint32_t frame_quanta = 0; // frames per second of the timecode (1..255)
    bool drop_frame = false;        // the sample description's drop-frame flag
};

enum class DropFrame { No, Yes };

// The start timecode of the container's first usable timecode track; absent without a
// "moov" payload, on a failed sample read, a missing box or an unsupported layout.
std::optional<StartTimecode> read_start_timecode(const boxes::Container& container);

// "HH:MM:SS:FF" (";" before the frames when drop frame), each number zero-padded to two
// digits at least; hours may have more.
std::string timecode_text(std::uint64_t hours, std::uint64_t minutes, std::uint64_t seconds,
                          std::uint64_t frames, DropFrame drop);

// Frame counter as HH:MM:SS:FF (";" before the frames when drop frame). Negative counters
// count as 0; drop-frame numbering is applied at 30 and 60 frames only; hours are not
// wrapped. A frame_quanta of 0 formats as 00:00:00:00.
std::string counter_to_tc(std::int64_t counter, std::uint32_t frame_quanta, DropFrame drop);

} // namespace tmcd
