// Fuzz target: the MXF header metadata reader over the input as bytes and, written to a file,
// by path; both must agree.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

#include "fuzz/fuzz_support.hpp"
#include "mxf/mxf.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using fuzz_support::require;
    const std::span<const std::uint8_t> bytes(data, size);
    const std::optional<mxf::Header> header = mxf::parse(bytes);
    require(mxf::parse(bytes) == header, "parsing twice gives different headers");
    const std::filesystem::path path = fuzz_support::write_scratch("clip.mxf", bytes);
    require(mxf::read(path) == header, "the file's read differs from the bytes' parse");
    if (!header) return 0;
    if (header->timecode) require(header->timecode->rounded_base > 0, "timecode without a base");
    if (header->sample_rate) {
        require(header->sample_rate->numerator > 0 && header->sample_rate->denominator > 0,
                "sample rate not positive");
        require(!mxf::to_text(*header->sample_rate).empty(), "empty rate text");
    }
    if (header->picture_coding)
        if (const std::optional<std::string> family = mxf::codec_family(*header->picture_coding))
            require(!family->empty(), "empty codec family");
    return 0;
}
