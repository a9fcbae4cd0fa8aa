// KLV building blocks shared by the MXF, Canon and Sony readers: BER lengths and local sets
// (items of a 2-byte tag, a 2-byte length and the value), read over bounded spans.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

namespace klv {

using Bytes = std::span<const std::uint8_t>;

// A BER length: its value and the bytes it takes.
struct Length {
    std::uint64_t value = 0;
    std::size_t size = 0;
};

// The BER length at `at`: one byte below 0x80, or 0x81..0x88 followed by that many big-endian
// bytes. Absent when it is cut short, of the indefinite form (0x80), or has more length bytes
// than `max_bytes` (never more than 8).
std::optional<Length> ber_length(Bytes bytes, std::size_t at, std::size_t max_bytes);

// One local-set item; `end` is the offset just past its value.
struct LocalItem {
    std::uint16_t tag = 0;
    Bytes value;
    std::size_t end = 0;
};

// The item at `at` in `set`; absent when fewer than 4 bytes remain there or its value runs
// past the end of `set`.
std::optional<LocalItem> local_item(Bytes set, std::size_t at);

// How a walk over a local set ended.
enum class SetEnd {
    Complete, // the items fill the set exactly
    Cut,      // an item's header or value runs past the end; the items before it were visited
};

// Calls `visit` for each item of `set` in order, one forward pass.
SetEnd walk_local_set(Bytes set, const std::function<void(const LocalItem&)>& visit);

} // namespace klv
