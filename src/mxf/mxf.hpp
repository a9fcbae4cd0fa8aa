// MXF header metadata: the start timecode, the picture's sample rate, coding label, sizes, frame
// layout and colour, and the sound's channels and sample rate, read from the header partition
// alone (partition pack, primer pack and the local sets of the structural metadata), never from
// the essence.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "io/io.hpp"

namespace mxf {

using Label = std::array<std::uint8_t, 16>;

// Largest header metadata (primer pack, sets and fill) a read accepts: 16 MiB.
inline constexpr std::uint64_t kMaxHeaderBytes = 16u << 20;
// The partition pack may follow a run-in of at most this many bytes.
inline constexpr std::uint64_t kMaxRunIn = 65535;

struct Rational {
    std::int32_t numerator = 0;
    std::int32_t denominator = 0;
    bool operator==(const Rational&) const = default;
};

// A Timecode Component: the start as a frame count at the rounded base.
struct Timecode {
    std::int64_t start = 0;
    std::uint16_t rounded_base = 0; // frames per second, rounded (30 for 29.97)
    bool drop_frame = false;
    bool operator==(const Timecode&) const = default;
};

// A picture's width and height in pixels.
struct Size {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool operator==(const Size&) const = default;
};

// How a picture descriptor lays its frames out. With SeparateFields and MixedFields its heights
// are those of one field. A value outside these is kept as read.
enum class FrameLayout : std::uint8_t {
    FullFrame = 0,
    SeparateFields = 1,
    SingleField = 2,
    MixedFields = 3,
    SegmentedFrame = 4,
};

struct Header {
    // The material package's timecode; a source package's when the material package has none.
    std::optional<Timecode> timecode;
    // Of the first picture essence descriptor reached from the packages in Content Storage
    // order (a multiple descriptor's sub-descriptors in their order).
    std::optional<Rational> sample_rate;
    std::optional<Label> picture_coding;
    // Of the same descriptor: its frame layout; the display size (the display width and height,
    // else the sampled ones, else the stored ones) and the stored size, both of a whole frame (a
    // field's height doubled for separate and mixed fields). A pair with a member missing or
    // zero, or whose frame height does not fit 32 bits, is passed over.
    std::optional<FrameLayout> frame_layout;
    std::optional<Size> display_size;
    std::optional<Size> stored_size;
    // Of the same descriptor: its colour labels as ISO/IEC 23091-2 code points (colour
    // primaries, transfer characteristics, matrix coefficients); absent for a label not known.
    std::optional<int> color_primaries;
    std::optional<int> transfer_characteristic;
    std::optional<int> coding_equations;
    // The sound the first material package's tracks lead to: the channels summed over its
    // sound descriptors (absent when one gives no count, or the sum is zero or does not fit 32
    // bits), and the first one's sampling rate.
    std::optional<std::uint32_t> channel_count;
    std::optional<Rational> audio_sample_rate;
    bool operator==(const Header&) const = default;
};

// The header metadata of the MXF clip in `source`, read from its beginning (run-in, header
// partition pack and header metadata) in a few reads. Absent when it has no header partition
// pack within the run-in, its header metadata is malformed, larger than kMaxHeaderBytes or runs
// past the end, or a read fails. Members the metadata does not give are absent.
std::optional<Header> read(const io::ByteSource& source);

// The codec family of a picture essence coding label: "MPEG-2", "AVC", "HEVC", "ProRes",
// "DNxHD" (VC-3, also DNxHR), "JPEG 2000" or "Uncompressed"; absent for any other label.
std::optional<std::string> codec_family(const Label& label);

// The rational as "24000/1001"; never fails.
std::string to_text(const Rational& rate);

// The label in SMPTE's dotted hexadecimal form, "060e2b34.0401010a.04010202.01040300"; never
// fails.
std::string label_text(const Label& label);

} // namespace mxf
