// MPEG transport and program streams (.mts, .m2ts, .mpg, .mpeg): the video codec, picture size,
// frame rate and first GOP timecode, and the format, sample rate and channel count of each audio
// stream, read from the first bytes of the file. A pure parser over bytes: the caller reads the
// head.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace mpeg {

// The most of a file's head `read` looks at (4 MiB); the caller need not read more, and bytes
// past this are ignored.
inline constexpr std::size_t kReadLimit = std::size_t{4} << 20;

enum class Container : std::uint8_t {
    TransportStream, // 188-byte packets, or 192-byte ones with a 4-byte timestamp (M2TS)
    ProgramStream,   // pack headers, MPEG-1 or MPEG-2
    VideoElementary, // a bare MPEG-1/2 video stream beginning with a sequence header
};

struct Rational {
    std::uint32_t numerator = 0;
    std::uint32_t denominator = 0;
    bool operator==(const Rational&) const = default;
};

// A picture's width and height in pixels.
struct Size {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool operator==(const Size&) const = default;
};

struct Audio {
    std::string format; // "AC-3", "MPEG audio" (layers I to III) or "AAC" (ADTS)
    std::optional<std::uint32_t> sample_rate;
    std::optional<unsigned> channels; // the LFE channel counted: 6 for AC-3 3/2 with LFE
    bool operator==(const Audio&) const = default;
};

struct Stream {
    Container container = Container::TransportStream;
    std::optional<unsigned> packet_size; // transport streams: 188 or 192
    // "MPEG-1", "MPEG-2", "AVC" or "HEVC": from the first video stream's sequence header or
    // parameter set, else from its stream type.
    std::optional<std::string> codec;
    std::optional<Rational> frame_rate; // in lowest terms, e.g. 30000/1001
    // The first GOP header's time code, "HH:MM:SS:FF" (";" before the frames for drop frame).
    std::optional<std::string> timecode;
    // The first video stream's picture size: an MPEG-1/2 sequence header's (with its extension's
    // high bits), or an AVC/HEVC parameter set's after cropping.
    std::optional<Size> picture_size;
    std::vector<Audio> audio; // in program map order (transport), first-seen order (program)
    bool operator==(const Stream&) const = default;
};

// What the head of an MPEG file says: absent when it is no transport stream, program stream or
// MPEG video stream (no run of sync bytes, pack header or sequence header near its start), or
// when it is one but gives neither a video codec nor an audio stream. A truncated or damaged
// stream gives what was found before the damage; members it does not give are absent. Never
// throws, never reads past `head`, and stops after kReadLimit bytes.
std::optional<Stream> read(std::span<const std::uint8_t> head);

// The rational as "30000/1001"; never fails.
std::string to_text(const Rational& rate);

} // namespace mpeg
