// Fuzz target: the AAC configuration reader over the container parsed from the input (twice:
// the results must agree), and the input itself as an "esds" payload and as an
// AudioSpecificConfig.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "boxes/boxes.hpp"
#include "esds/internal.hpp"
#include "fuzz/fuzz_support.hpp"
#include "io/io.hpp"

namespace {

using fuzz_support::require;

void check(const esds::AacConfig& config) {
    require(config.object_type <= 95, "object type above 95");
    require(config.channel_configuration <= 15, "channel configuration above 15");
    if (config.channels) require(*config.channels >= 1 && *config.channels <= 24, "channels");
    require(!config.channels || config.channel_configuration != 0, "channels for config 0");
    if (config.sample_rate)
        require(*config.sample_rate > 0 && *config.sample_rate < (1u << 24), "sample rate");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);

    const boxes::Container container = boxes::parse_container(io::ByteSource(bytes));
    const std::optional<std::vector<esds::AacTrack>> tracks = esds::read(container);
    require(esds::read(container) == tracks, "reading twice gives different tracks");
    if (tracks) {
        require(!tracks->empty() && tracks->size() <= esds::kMaxTracks, "track count");
        std::uint32_t previous = 0;
        for (const esds::AacTrack& track : *tracks) {
            require(track.track > previous && track.track <= esds::kMaxTracks, "track order");
            previous = track.track;
            require(track.config.channel_configuration != 0, "channel configuration 0");
            check(track.config);
        }
    }

    if (std::optional<std::span<const std::uint8_t>> asc = esds::audio_specific_config(bytes))
        require(asc->data() >= data && asc->data() + asc->size() <= data + size,
                "configuration outside the payload");
    if (std::optional<esds::AacConfig> config = esds::parse_audio_specific_config(bytes)) {
        check(*config);
        require(size >= 2, "configuration from fewer than 13 bits");
    }
    return 0;
}
