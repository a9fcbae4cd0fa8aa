// Fuzz target: the MPEG transport and program stream reader over the input as a file's head.
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <optional>
#include <span>

#include "fuzz/fuzz_support.hpp"
#include "mpeg/mpeg.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using fuzz_support::require;
    const std::span<const std::uint8_t> bytes(data, size);
    const std::optional<mpeg::Stream> stream = mpeg::read(bytes);
    require(mpeg::read(bytes) == stream, "reading twice gives different results");
    if (!stream) return 0;
    require(stream->codec || stream->frame_rate || stream->timecode || !stream->audio.empty(),
            "a result without any value");
    const bool transport = stream->container == mpeg::Container::TransportStream;
    require(transport == stream->packet_size.has_value(), "packet size without packets");
    if (stream->packet_size)
        require(*stream->packet_size == 188 || *stream->packet_size == 192, "odd packet size");
    if (const auto& rate = stream->frame_rate)
        require(rate->numerator > 0 && rate->denominator > 0 &&
                    std::gcd(rate->numerator, rate->denominator) == 1,
                "frame rate not positive or not in lowest terms");
    if (const auto& tc = stream->timecode)
        require(tc->size() == 11 && (*tc)[2] == ':' && (*tc)[5] == ':' &&
                    ((*tc)[8] == ':' || (*tc)[8] == ';'),
                "timecode not written HH:MM:SS:FF");
    if (const auto& picture = stream->picture_size)
        require(picture->width > 0 && picture->height > 0, "empty picture size");
    require(!stream->picture_size || stream->codec, "a picture size without a codec");
    require(stream->audio.size() <= 32, "more than 32 audio streams");
    for (const mpeg::Audio& audio : stream->audio) {
        require(!audio.format.empty(), "audio without a format");
        if (audio.sample_rate) require(*audio.sample_rate >= 7350, "sample rate too low");
        if (audio.channels) require(*audio.channels >= 1 && *audio.channels <= 8, "channels");
    }
    return 0;
}
