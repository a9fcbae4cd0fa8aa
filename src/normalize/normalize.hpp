// The field engine: turns a clip's raw exiftool tags and the results of the
// container and maker readers into the fixed list of normalised fields, each
// with its primary source, the alternates consulted, a status and a note.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "cndm/cndm.hpp"
#include "esds/esds.hpp"
#include "mkv/mkv.hpp"
#include "model/model.hpp"
#include "mpeg/mpeg.hpp"
#include "mxf/mxf.hpp"
#include "sony/sony.hpp"
#include "tmcd/tmcd.hpp"

namespace normalize {

// What the engine's own readers found in one clip, one member per reader; a member is absent
// when its reader did not run or found nothing.
struct Readings {
    std::optional<tmcd::StartTimecode> timecode{};    // "zun-tmcd"
    std::optional<cndm::Cndm> canon{};                // "zun-cndm"
    std::optional<sony::Sony> sony{};                 // "zun-sony"
    std::optional<mxf::Header> mxf{};                 // "zun-mxf"
    std::optional<mpeg::Stream> mpeg{};               // "zun-mpeg"
    std::optional<mkv::Tracks> mkv{};                 // "zun-mkv"
    std::optional<std::vector<esds::AacTrack>> aac{}; // "zun-esds"
};

// Every field of one clip, in the fixed order: camera, exposure, colour block, container labels,
// file rows, then (with a Sony record) the Sony-only fields, and "file_size" last. `size` is the
// file size in bytes, `ext` the file-name extension as found. Never fails.
std::vector<model::Field> build_fields(const std::vector<model::RawTag>& tags,
                                       const Readings& readings, std::uint64_t size,
                                       std::string_view ext);

} // namespace normalize
