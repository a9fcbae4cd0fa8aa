// ISO base media / QuickTime boxes: a one-level walker over an in-memory buffer, bounded
// big-endian loads, a buffered, capped scan of a byte source's top-level box headers, and a
// container parsed once (top-level index and "moov" payload) for the timecode, Sony and
// Canon readers.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "io/io.hpp"

namespace boxes {

using Bytes = std::span<const std::uint8_t>;
using FourCC = std::array<std::uint8_t, 4>;

// Largest single sample any reader loads (1 MiB).
inline constexpr std::uint64_t kMaxSampleSize = 1'048'576;

// One child box: payload is buffer[start, end); offsets relative to the walked buffer.
struct BoxEntry {
    std::size_t start = 0;
    FourCC type{};
    std::size_t end = 0;
};

// Whether a four-character code equals `type` byte for byte (false unless `type` has 4 bytes).
bool type_is(const FourCC& code, std::string_view type);

// The child box at `at` in `buffer`: a level's first child at 0, each next one at the previous
// one's `end`. Absent at the end of the level or at a malformed box (size below its header,
// overrun, overflow, truncated 64-bit size). Walking a level this way holds no list of it.
std::optional<BoxEntry> child_at(Bytes buffer, std::size_t at);

// Payload of the first child of `type`; absent when no child has that type. Borrows `buffer`.
std::optional<Bytes> find(Bytes buffer, std::string_view type);

// All of `bytes` (at most 8; any more are shifted out) as one big-endian unsigned number.
std::uint64_t load_be(Bytes bytes);

// A big-endian 32-bit load at `offset`; absent when the bytes lie outside the buffer.
std::optional<std::uint32_t> u32(Bytes buffer, std::size_t offset);

// One top-level box as seen from its header alone. `size` includes the header.
struct TopBox {
    FourCC type{};
    std::uint64_t offset = 0;
    std::uint64_t header_length = 0;
    std::uint64_t size = 0;
};

// The payload of a top-level box, read whole; absent when larger than `limit` or unreadable.
std::optional<std::vector<std::uint8_t>> read_payload(const io::ByteSource& source,
                                                      const TopBox& box, std::uint64_t limit);

// A QuickTime-structured clip parsed once for all readers.
struct Container {
    io::ByteSource source;                         // the clip's bytes
    std::vector<TopBox> top;                       // the boxes scan_top_level visits, in order
    std::optional<std::vector<std::uint8_t>> moov; // payload of the first "moov", at most 256 MiB
};

// The container of `source`, which it takes over, with its top-level boxes and first "moov"
// payload. A scan that fails keeps the boxes before the fault; memory exhaustion keeps what
// was gathered. Never fails.
Container parse_container(io::ByteSource source);

// The "stbl" payload of a "trak" payload, through its "mdia" and "minf"; absent when one of
// them is missing. Borrows `trak`.
std::optional<Bytes> sample_table(Bytes trak);

// Offset of the first chunk from an "stbl" payload: "stco" (at least 12 bytes, entries > 0)
// or, only when "stco" is missing, "co64" (at least 16 bytes, entries > 0). Else absent.
std::optional<std::uint64_t> first_chunk_offset(Bytes stbl);

// Where the first sample of a track lives in the file.
struct SampleRef {
    std::uint64_t offset = 0;
    std::uint32_t size = 0;
};

// The first sample of the first "trak" in a "moov" payload whose first sample description
// has `format` and whose first sample is 1..kMaxSampleSize bytes. Tracks with a missing
// box, an unusable chunk offset or sample size are passed over. Absent when none qualifies.
std::optional<SampleRef> find_first_sample(Bytes moov, std::string_view format);

} // namespace boxes
