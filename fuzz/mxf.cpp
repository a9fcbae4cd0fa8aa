// Fuzz target: the MXF header metadata reader over the input as a byte source.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "fuzz/fuzz_support.hpp"
#include "io/io.hpp"
#include "mxf/mxf.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using fuzz_support::require;
    const std::span<const std::uint8_t> bytes(data, size);
    const io::ByteSource source(bytes);
    const std::optional<mxf::Header> header = mxf::read(source);
    require(mxf::read(source) == header, "reading twice gives different headers");
    if (!header) return 0;
    if (header->timecode) require(header->timecode->rounded_base > 0, "timecode without a base");
    if (header->sample_rate) {
        require(header->sample_rate->numerator > 0 && header->sample_rate->denominator > 0,
                "sample rate not positive");
        require(!mxf::to_text(*header->sample_rate).empty(), "empty rate text");
    }
    for (const std::optional<mxf::Size>& size : {header->display_size, header->stored_size})
        if (size) require(size->width > 0 && size->height > 0, "empty picture size");
    if (header->stored_size) require(header->display_size.has_value(), "stored size alone");
    for (const std::optional<int>& code :
         {header->color_primaries, header->transfer_characteristic, header->coding_equations})
        if (code) require(*code >= 0 && *code <= 18, "colour code point out of range");
    if (header->channel_count) require(*header->channel_count > 0, "no channels");
    if (header->audio_sample_rate)
        require(header->audio_sample_rate->numerator > 0 &&
                    header->audio_sample_rate->denominator > 0,
                "audio sample rate not positive");
    if (header->picture_coding)
        if (const std::optional<std::string> family = mxf::codec_family(*header->picture_coding))
            require(!family->empty(), "empty codec family");
    return 0;
}
