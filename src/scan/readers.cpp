// The media table and the reader table: which container each media extension names, which
// readers each kind of container gets, how each reader reads a clip and when it counts as
// having given data. A new reader is a row of kReaders, a member of normalize::Readings and
// its read function.
#include "scan/internal.hpp"

#include <algorithm>

#include "boxes/boxes.hpp"
#include "cndm/cndm.hpp"
#include "esds/esds.hpp"
#include "io/io.hpp"
#include "mkv/mkv.hpp"
#include "mpeg/mpeg.hpp"
#include "mxf/mxf.hpp"
#include "paths/paths.hpp"
#include "sony/sony.hpp"
#include "text/text.hpp"
#include "tmcd/tmcd.hpp"

namespace scan {

namespace {

using Kind = ContainerKind;

// The files a scan takes (discovery's list), by extension in any letter case.
constexpr MediaType kMediaTypes[] = {
    {"mov", Kind::QuickTimeMovie}, {"mp4", Kind::QuickTimeMovie},
    {"m4v", Kind::QuickTimeMovie}, {"mxf", Kind::Mxf},
    {"r3d", Kind::Other},          {"crm", Kind::CameraRaw},
    {"mts", Kind::Mpeg},           {"avi", Kind::Other},
    {"mkv", Kind::Matroska},       {"ari", Kind::Other},
    {"mpg", Kind::Mpeg},           {"dng", Kind::Other},
    {"braw", Kind::CameraRaw},     {"m2ts", Kind::Mpeg},
    {"mpeg", Kind::Mpeg},
};

// A set of container kinds, one bit each.
using Kinds = unsigned;

constexpr Kinds bit(Kind kind) {
    return 1u << static_cast<unsigned>(kind);
}

constexpr Kinds kQuickTime = bit(Kind::QuickTimeMovie) | bit(Kind::CameraRaw);
constexpr Kinds kEveryKind =
    kQuickTime | bit(Kind::Mxf) | bit(Kind::Mpeg) | bit(Kind::Matroska) | bit(Kind::Other);

// One clip as its readers see it.
struct Clip {
    const std::filesystem::path& path;
    Kind kind;
    const io::ByteSource* source;      // the opened clip; null when not opened or unopenable
    const boxes::Container* container; // its QuickTime structure, parsed once; else null
};

// One of the engine's own readers: its name in a clip's `readers`, the container kinds it
// reads, and the function that reads a clip into its member of the readings and tells whether
// it gave data.
struct Reader {
    std::string_view name;
    Kinds kinds;
    bool (*read)(const Clip& clip, normalize::Readings& out);
};

bool read_timecode(const Clip& clip, normalize::Readings& out) {
    if (!clip.container) return false;
    out.timecode = tmcd::read_start_timecode(*clip.container);
    return out.timecode.has_value();
}

// A Canon track without a curve or gamut code gives nothing.
bool read_canon(const Clip& clip, normalize::Readings& out) {
    if (!clip.container) return false;
    out.canon = cndm::read(*clip.container);
    return out.canon && (out.canon->curve || out.canon->gamut);
}

// The document beside any clip; the one inside only in movies.
bool read_sony(const Clip& clip, normalize::Readings& out) {
    out.sony = sony::read(clip.path, clip.kind == Kind::QuickTimeMovie ? clip.container : nullptr);
    return out.sony.has_value();
}

// Header metadata that gives none of timecode, picture rate, coding, size, colour and sound
// gives nothing.
bool read_mxf(const Clip& clip, normalize::Readings& out) {
    if (!clip.source) return false;
    out.mxf = mxf::read(*clip.source);
    if (!out.mxf) return false;
    const mxf::Header& header = *out.mxf;
    return header.timecode || header.sample_rate || header.picture_coding || header.display_size ||
           header.color_primaries || header.transfer_characteristic || header.coding_equations ||
           header.channel_count;
}

// The head of a transport or program stream; a stream that gives none of codec, frame rate,
// timecode and audio gives nothing.
bool read_mpeg(const Clip& clip, normalize::Readings& out) {
    if (!clip.source) return false;
    const std::uint64_t length = std::min<std::uint64_t>(clip.source->size(), mpeg::kReadLimit);
    const auto head = clip.source->read(0, length, mpeg::kReadLimit);
    if (!head) return false;
    out.mpeg = mpeg::read(*head);
    return out.mpeg.has_value();
}

// Any track entry that could be read is data (mkv::read is absent without one).
bool read_matroska(const Clip& clip, normalize::Readings& out) {
    if (!clip.source) return false;
    out.mkv = mkv::read(*clip.source);
    return out.mkv.has_value();
}

// The AAC decoder configurations of the sample entries.
bool read_aac(const Clip& clip, normalize::Readings& out) {
    if (!clip.container) return false;
    out.aac = esds::read(*clip.container);
    return out.aac.has_value();
}

// In the order a clip's `readers` name them, after "exiftool".
constexpr Reader kReaders[] = {
    {"zun-tmcd", kQuickTime, read_timecode},  {"zun-cndm", kQuickTime, read_canon},
    {"zun-sony", kEveryKind, read_sony},      {"zun-mxf", bit(Kind::Mxf), read_mxf},
    {"zun-mpeg", bit(Kind::Mpeg), read_mpeg}, {"zun-mkv", bit(Kind::Matroska), read_matroska},
    {"zun-esds", kQuickTime, read_aac},
};

} // namespace

std::optional<MediaType> media_type(const std::filesystem::path& path) {
    const std::optional<std::string_view> ext = paths::extension(path.native());
    if (!ext || !text::is_utf8(*ext)) return std::nullopt;
    const std::string lowered = text::lower(*ext);
    for (const MediaType& type : kMediaTypes)
        if (type.extension == lowered) return type;
    return std::nullopt;
}

MediaReadings read_media(const std::filesystem::path& file) {
    MediaReadings out;
    const std::optional<MediaType> type = media_type(file);
    if (!type) return out;
    std::optional<io::ByteSource> source;
    if (type->container != Kind::Other) source = io::open_source(file);
    // The boxes are walked once for all the QuickTime readers; the container keeps the source.
    std::optional<boxes::Container> container;
    if (source && (bit(type->container) & kQuickTime) != 0) {
        container.emplace(boxes::parse_container(std::move(*source)));
        source.reset();
    }
    const io::ByteSource* bytes = source ? &*source : nullptr;
    if (container) bytes = &container->source;
    const Clip clip{file, type->container, bytes, container ? &*container : nullptr};
    for (const Reader& reader : kReaders)
        if ((reader.kinds & bit(type->container)) != 0 && reader.read(clip, out.readings))
            out.readers.emplace_back(reader.name);
    return out;
}

} // namespace scan
