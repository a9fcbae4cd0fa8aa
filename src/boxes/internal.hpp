// What the box walker's own files share and its tests call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "boxes/boxes.hpp"

namespace boxes {

// Largest "moov" payload any reader loads (256 MiB).
inline constexpr std::uint64_t kMaxMoovPayload = 268'435'456;
// Most top-level boxes one scan visits; fragmented recordings have a few thousand.
inline constexpr std::size_t kMaxTopBoxes = 100'000;

// The child boxes of one level, in order, as child_at gives them: a malformed box ends the
// list; the entries before it are kept.
std::vector<BoxEntry> children(Bytes buffer);

// Big-endian 16- and 64-bit loads at `offset`; absent when the bytes lie outside the buffer.
std::optional<std::uint16_t> u16(Bytes buffer, std::size_t offset);
std::optional<std::uint64_t> u64(Bytes buffer, std::size_t offset);

enum class Visit { Continue, Stop };

enum class ScanEnd {
    Stopped,   // the visitor asked to stop
    Exhausted, // no more headers: end of file, or a box ending past the end of the file
    Failed,    // a read error, a header shorter than needed, or a size below its header
};

// Walks the top-level box headers of `source`, calling `visit` for each. Headers are served
// from a window read at the current offset (1 KiB, doubling up to 64 KiB while the headers lie
// densely back to back); a box that skips past the window costs one read at the next header.
// Size 0 runs to the end of the source, size 1 takes the 64-bit size. A visited box that ends
// past the end of the source ends the scan after the visit; so does the kMaxTopBoxes-th box.
ScanEnd scan_top_level(const io::ByteSource& source,
                       const std::function<Visit(const TopBox&)>& visit);

// Size of the first sample from an "stbl" payload's "stsz": the common size when non-zero,
// else the first entry. Absent when "stsz" is missing, short or has no samples.
std::optional<std::uint32_t> first_sample_size(Bytes stbl);

} // namespace boxes
