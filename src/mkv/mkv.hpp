// Matroska (and WebM) track headers: each track's number, type and codec id, a video track's
// picture size, scan and colour description, an audio track's sampling rate and channels. Read
// from the EBML header and the Segment's Tracks element alone, never from the clusters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "io/io.hpp"

namespace mkv {

// Most bytes a read takes from the source in all (the headers walked and the Tracks element).
inline constexpr std::uint64_t kReadLimit = 8u << 20;
// Most elements a read visits in all, at every level.
inline constexpr std::uint64_t kMaxElements = 65536;
// Most tracks a read keeps; later entries are not read.
inline constexpr std::size_t kMaxTracks = 256;
// Longest codec id kept; a longer one is refused (the track keeps an empty id).
inline constexpr std::size_t kMaxCodecId = 256;

// Track types.
inline constexpr unsigned kVideo = 1;
inline constexpr unsigned kAudio = 2;
inline constexpr unsigned kSubtitle = 17;

// How a video track is scanned, as its FlagInterlaced says.
enum class Scan : std::uint8_t { Undetermined = 0, Interlaced = 1, Progressive = 2 };

// Colour description code points (matrix coefficients, transfer characteristics and colour
// primaries as in H.273: 1 is BT.709, 6 BT.601 525, 9 BT.2020, 16 PQ, 18 HLG), and the range
// (1 broadcast, 2 full). A member is absent when the file does not give it or gives a value
// above 255.
struct Colour {
    std::optional<unsigned> matrix;
    std::optional<unsigned> transfer;
    std::optional<unsigned> primaries;
    std::optional<unsigned> range;
    bool operator==(const Colour&) const = default;
};

// One track entry. Members the entry does not give (or gives as zero where zero means
// nothing, or out of range) are absent.
struct Track {
    std::uint64_t number = 0; // never 0
    unsigned type = 0;        // kVideo, kAudio, kSubtitle, another type, or 0 when not given
    std::string codec_id;     // "V_MPEG4/ISO/AVC", "A_AAC"; empty when absent or too long
    // Video.
    std::optional<std::uint64_t> pixel_width;
    std::optional<std::uint64_t> pixel_height;
    // The display size, only when it is given in pixels (not as an aspect ratio or in
    // centimetres or inches), both members or neither.
    std::optional<std::uint64_t> display_width;
    std::optional<std::uint64_t> display_height;
    std::optional<Scan> scan;
    std::optional<Colour> colour; // present when the track has a Colour element
    // Audio.
    std::optional<double> sampling_frequency; // Hz, finite and positive
    std::optional<std::uint64_t> channels;
    bool operator==(const Track&) const = default;
};

struct Tracks {
    std::vector<Track> tracks; // in file order, at most kMaxTracks
    bool operator==(const Tracks&) const = default;
};

// The tracks of the Matroska or WebM file in `source`: the EBML header (its DocType must be
// "matroska" or "webm"), then the first Segment's top-level elements in order up to its
// Tracks element. A Cluster met before Tracks is skipped, or jumped over to the position a
// SeekHead gave for Tracks; an unknown-size Cluster (it reaches the Segment's end) can only be
// jumped over. At most kReadLimit bytes are read and kMaxElements elements visited in all;
// at most kMaxTracks tracks are kept. A track entry whose content is malformed (an element cut
// short, of unknown size, or running past its parent's end) or that has no track number is
// passed over; the list ends where the Tracks element's own framing breaks or a limit is
// reached. Absent when the source is not Matroska or WebM, has no Segment, no whole Tracks
// element within the limits before the end, no track that could be read, or a read fails.
std::optional<Tracks> read(const io::ByteSource& source);

// The first track of type video, in file order; null when there is none. Never fails.
const Track* first_video(const Tracks& tracks);

} // namespace mkv
