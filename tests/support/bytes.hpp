// Test-only byte builder for boxes and samples: big-endian integers, raw text, boxes with
// normal, 64-bit or hand-set sizes, and concatenation.
#pragma once

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace testing_support {

using Bytes = std::vector<std::uint8_t>;

Bytes be16(std::uint16_t v);
Bytes be32(std::uint32_t v);
Bytes be64(std::uint64_t v);
Bytes u8(std::initializer_list<std::uint8_t> values);
Bytes ascii(std::string_view text);
Bytes zeros(std::size_t count);

// The shipped format sample clips (samples/formats).
inline const std::filesystem::path kFormatSamples =
    std::filesystem::path(ZUN_SOURCE_DIR) / "samples" / "formats";

// The bytes of the format sample `name`.
Bytes format_sample(std::string_view name);

// The parts joined in order.
Bytes cat(std::initializer_list<Bytes> parts);

// A box with a 32-bit size field covering header and payload.
Bytes box(std::string_view type, const Bytes& payload);
// A box with size 1 and a 64-bit largesize.
Bytes large_box(std::string_view type, const Bytes& payload);
// A box whose 32-bit size field is `size` whatever the payload (for malformed input).
Bytes raw_box(std::uint32_t size, std::string_view type, const Bytes& payload);

// Sample tables: a one-entry chunk-offset table ("stco" with `count` entries declared, or
// "co64"), a sample-size table of one common size, and a sample description of `format`.
Bytes stco(std::uint32_t offset, std::uint32_t count = 1);
Bytes co64(std::uint64_t offset);
Bytes stsz(std::uint32_t size);
Bytes stsd(std::string_view format);

// A track (trak > mdia > minf > stbl) holding the sample tables `tables`.
Bytes track(const Bytes& tables);
// A track whose one sample of `size` bytes in `format` lies at `offset` in the file.
Bytes sample_track(std::string_view format, std::uint32_t offset, std::uint32_t size);

// Canon metadata: a local item whose 16-byte label value carries `code`, with label byte 11 =
// `kind`; a KLV packet (16-byte key, short-form BER length) around `value`.
Bytes cndm_item(std::uint16_t tag, std::uint8_t kind, std::uint8_t code);
Bytes klv_packet(const Bytes& value);

// The bytes as a string.
std::string to_string(std::span<const std::uint8_t> bytes);

// Writes `bytes` to `path`, creating parent directories; returns `path`.
std::filesystem::path write_file(const std::filesystem::path& path,
                                 std::span<const std::uint8_t> bytes);

// Makes `path` a file of `size` bytes holding each part at its offset and holes elsewhere
// (where the file system keeps sparse files); false when it cannot.
bool write_sparse(const std::filesystem::path& path,
                  const std::vector<std::pair<std::uint64_t, Bytes>>& parts, std::uint64_t size);

} // namespace testing_support
