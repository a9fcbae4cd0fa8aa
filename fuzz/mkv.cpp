// Fuzz target: the Matroska track reader over the input as a byte source.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "fuzz/fuzz_support.hpp"
#include "io/io.hpp"
#include "mkv/mkv.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using fuzz_support::require;
    const std::span<const std::uint8_t> bytes(data, size);
    const io::ByteSource source(bytes);
    const std::optional<mkv::Tracks> tracks = mkv::read(source);
    require(mkv::read(source) == tracks, "reading twice gives different tracks");
    if (!tracks) return 0;
    require(!tracks->tracks.empty() && tracks->tracks.size() <= mkv::kMaxTracks,
            "track count out of range");
    const mkv::Track* video = nullptr;
    for (const mkv::Track& track : tracks->tracks) {
        if (!video && track.type == mkv::kVideo) video = &track;
        require(track.number > 0, "track number 0");
        require(track.type <= 255, "track type above 255");
        require(track.codec_id.size() <= mkv::kMaxCodecId, "codec id too long");
        require(track.codec_id.find('\0') == std::string::npos, "zero byte in the codec id");
        require(track.pixel_width != 0 && track.pixel_height != 0, "zero picture size");
        require(track.display_width.has_value() == track.display_height.has_value(),
                "half a display size");
        if (track.colour)
            for (const std::optional<unsigned>& value :
                 {track.colour->matrix, track.colour->transfer, track.colour->primaries,
                  track.colour->range})
                require(!value || *value <= 255, "colour code point above 255");
        if (track.sampling_frequency)
            require(std::isfinite(*track.sampling_frequency) && *track.sampling_frequency > 0,
                    "sampling frequency not finite and positive");
        require(track.channels != 0, "zero channels");
    }
    require(mkv::first_video(*tracks) == video, "first_video is not the first video track");
    return 0;
}
