#include "mkv/mkv.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <new>
#include <span>

namespace mkv {

namespace {

using Bytes = std::span<const std::uint8_t>;

// Element IDs, written with their length marker as they appear in the file.
constexpr std::uint32_t kEbml = 0x1A45DFA3;
constexpr std::uint32_t kDocType = 0x4282;
constexpr std::uint32_t kVoid = 0xEC;
constexpr std::uint32_t kSegment = 0x18538067;
constexpr std::uint32_t kSeekHead = 0x114D9B74;
constexpr std::uint32_t kSeek = 0x4DBB;
constexpr std::uint32_t kSeekId = 0x53AB;
constexpr std::uint32_t kSeekPosition = 0x53AC;
constexpr std::uint32_t kTracks = 0x1654AE6B;
constexpr std::uint32_t kCluster = 0x1F43B675;
constexpr std::uint32_t kTrackEntry = 0xAE;
constexpr std::uint32_t kTrackNumber = 0xD7;
constexpr std::uint32_t kTrackType = 0x83;
constexpr std::uint32_t kCodecId = 0x86;
constexpr std::uint32_t kVideoId = 0xE0;
constexpr std::uint32_t kPixelWidth = 0xB0;
constexpr std::uint32_t kPixelHeight = 0xBA;
constexpr std::uint32_t kDisplayWidth = 0x54B0;
constexpr std::uint32_t kDisplayHeight = 0x54BA;
constexpr std::uint32_t kDisplayUnit = 0x54B2;
constexpr std::uint32_t kFlagInterlaced = 0x9A;
constexpr std::uint32_t kColour = 0x55B0;
constexpr std::uint32_t kMatrix = 0x55B1;
constexpr std::uint32_t kRange = 0x55B9;
constexpr std::uint32_t kTransfer = 0x55BA;
constexpr std::uint32_t kPrimaries = 0x55BB;
constexpr std::uint32_t kAudioId = 0xE1;
constexpr std::uint32_t kSamplingFrequency = 0xB5;
constexpr std::uint32_t kChannels = 0x9F;

constexpr std::size_t kMaxHeader = 12;           // a 4-byte ID and an 8-byte size
constexpr std::uint64_t kMaxEbmlHeader = 4096;   // the EBML header's body
constexpr std::uint64_t kMaxSeekHead = 64 << 10; // a larger SeekHead is passed over
constexpr std::uint64_t kHeadBytes = 64 << 10;   // read at once: the Tracks usually lie in it
constexpr int kMaxBeforeSegment = 16;            // Void elements between the header and Segment
constexpr unsigned kMaxCodePoint = 255;

// An element's ID, its size (absent when unknown: all value bits set) and the bytes both take.
struct Header {
    std::uint32_t id = 0;
    std::optional<std::uint64_t> size;
    std::size_t length = 0;
};

// The element header at the start of `bytes`. Absent when cut short, when the ID's first byte
// is zero or marks more than 4 bytes, or the size's first byte is zero.
std::optional<Header> header_of(Bytes bytes) {
    if (bytes.empty() || bytes[0] == 0) return std::nullopt;
    const std::size_t id_width = static_cast<std::size_t>(std::countl_zero(bytes[0])) + 1;
    if (id_width > 4 || bytes.size() <= id_width || bytes[id_width] == 0) return std::nullopt;
    const std::size_t size_width = static_cast<std::size_t>(std::countl_zero(bytes[id_width])) + 1;
    if (bytes.size() - id_width < size_width) return std::nullopt;
    Header header;
    for (std::size_t i = 0; i < id_width; ++i)
        header.id = (header.id << 8) | bytes[i];
    std::uint64_t size = bytes[id_width] & (0xFFu >> size_width);
    for (std::size_t i = 1; i < size_width; ++i)
        size = (size << 8) | bytes[id_width + i];
    const std::uint64_t unknown = (std::uint64_t{1} << (7 * size_width)) - 1;
    if (size != unknown) header.size = size;
    header.length = id_width + size_width;
    return header;
}

// The element count shared by every walk of one read.
class Budget {
  public:
    // False once kMaxElements elements have been taken.
    bool take() {
        if (elements_ == kMaxElements) return false;
        ++elements_;
        return true;
    }

  private:
    std::uint64_t elements_ = 0;
};

enum class Step { Next, Stop, Malformed };
enum class Walk { Complete, Stopped, Malformed };

// Calls `visit(id, value)` for each child element in `body`, in order, one forward pass. The
// walk is Malformed when a child is cut short, of unknown size, runs past the body's end, the
// element budget is spent, or `visit` says so.
template <typename Visit> Walk each_child(Bytes body, Budget& budget, Visit&& visit) {
    std::size_t at = 0;
    while (at < body.size()) {
        if (!budget.take()) return Walk::Malformed;
        const Bytes rest = body.subspan(at);
        const std::optional<Header> header =
            header_of(rest.first(std::min(rest.size(), kMaxHeader)));
        if (!header || !header->size || *header->size > rest.size() - header->length)
            return Walk::Malformed;
        const Bytes value = rest.subspan(header->length, static_cast<std::size_t>(*header->size));
        at += header->length + value.size();
        const Step step = visit(header->id, value);
        if (step == Step::Stop) return Walk::Stopped;
        if (step == Step::Malformed) return Walk::Malformed;
    }
    return Walk::Complete;
}

// ---- Element values ----

// An unsigned integer of 0 to 8 big-endian bytes (none is 0).
std::optional<std::uint64_t> uint_of(Bytes value) {
    if (value.size() > 8) return std::nullopt;
    std::uint64_t out = 0;
    for (const std::uint8_t byte : value)
        out = (out << 8) | byte;
    return out;
}

// A float of 0, 4 or 8 bytes (none is 0).
std::optional<double> float_of(Bytes value) {
    const std::optional<std::uint64_t> bits = uint_of(value);
    if (!bits) return std::nullopt;
    if (value.size() == 4) return std::bit_cast<float>(static_cast<std::uint32_t>(*bits));
    if (value.size() == 8) return std::bit_cast<double>(*bits);
    if (value.empty()) return 0.0;
    return std::nullopt;
}

// An unsigned integer above zero (where zero would mean nothing, as for a size).
std::optional<std::uint64_t> positive(Bytes value) {
    const std::optional<std::uint64_t> number = uint_of(value);
    return number && *number > 0 ? number : std::nullopt;
}

// A code point or type of at most kMaxCodePoint.
std::optional<unsigned> code_point(Bytes value) {
    const std::optional<std::uint64_t> number = uint_of(value);
    if (!number || *number > kMaxCodePoint) return std::nullopt;
    return static_cast<unsigned>(*number);
}

// A string up to its first zero byte (the padding); empty when longer than `limit`.
std::string text_of(Bytes value, std::size_t limit) {
    const auto end = std::find(value.begin(), value.end(), std::uint8_t{0});
    const auto length = static_cast<std::size_t>(end - value.begin());
    if (length > limit) return {};
    return std::string(value.begin(), end);
}

// ---- Track entries ----

Step read_colour(Bytes body, Budget& budget, Colour& colour) {
    const Walk walk = each_child(body, budget, [&](std::uint32_t id, Bytes value) {
        if (id == kMatrix) colour.matrix = code_point(value);
        if (id == kTransfer) colour.transfer = code_point(value);
        if (id == kPrimaries) colour.primaries = code_point(value);
        if (id == kRange) colour.range = code_point(value);
        return Step::Next;
    });
    return walk == Walk::Complete ? Step::Next : Step::Malformed;
}

Step read_video(Bytes body, Budget& budget, Track& track) {
    std::optional<std::uint64_t> width;
    std::optional<std::uint64_t> height;
    std::optional<std::uint64_t> unit = 0; // pixels unless the element says otherwise
    const Walk walk = each_child(body, budget, [&](std::uint32_t id, Bytes value) {
        switch (id) {
        case kPixelWidth:
            track.pixel_width = positive(value);
            break;
        case kPixelHeight:
            track.pixel_height = positive(value);
            break;
        case kDisplayWidth:
            width = positive(value);
            break;
        case kDisplayHeight:
            height = positive(value);
            break;
        case kDisplayUnit:
            unit = uint_of(value);
            break;
        case kFlagInterlaced:
            if (const std::optional<std::uint64_t> flag = uint_of(value); flag && *flag <= 2)
                track.scan = static_cast<Scan>(*flag);
            else
                track.scan.reset();
            break;
        case kColour:
            track.colour = Colour{};
            return read_colour(value, budget, *track.colour);
        default:
            break;
        }
        return Step::Next;
    });
    if (unit == 0 && width && height) {
        track.display_width = width;
        track.display_height = height;
    }
    return walk == Walk::Complete ? Step::Next : Step::Malformed;
}

Step read_audio(Bytes body, Budget& budget, Track& track) {
    const Walk walk = each_child(body, budget, [&](std::uint32_t id, Bytes value) {
        if (id == kSamplingFrequency) {
            const std::optional<double> rate = float_of(value);
            track.sampling_frequency.reset();
            if (rate && std::isfinite(*rate) && *rate > 0) track.sampling_frequency = rate;
        }
        if (id == kChannels) track.channels = positive(value);
        return Step::Next;
    });
    return walk == Walk::Complete ? Step::Next : Step::Malformed;
}

// The track of one TrackEntry's body; absent when it is malformed or has no track number.
std::optional<Track> read_entry(Bytes body, Budget& budget) {
    Track track;
    const Walk walk = each_child(body, budget, [&](std::uint32_t id, Bytes value) {
        switch (id) {
        case kTrackNumber:
            track.number = uint_of(value).value_or(0);
            break;
        case kTrackType:
            track.type = code_point(value).value_or(0);
            break;
        case kCodecId:
            track.codec_id = text_of(value, kMaxCodecId);
            break;
        case kVideoId:
            return read_video(value, budget, track);
        case kAudioId:
            return read_audio(value, budget, track);
        default:
            break;
        }
        return Step::Next;
    });
    if (walk != Walk::Complete || track.number == 0) return std::nullopt;
    return track;
}

// The tracks of a Tracks element's body. An entry that cannot be read is passed over; the
// list ends where the body's framing breaks or the limits are reached.
Tracks read_tracks(Bytes body, Budget& budget) {
    Tracks out;
    each_child(body, budget, [&](std::uint32_t id, Bytes value) {
        if (id != kTrackEntry) return Step::Next;
        if (std::optional<Track> track = read_entry(value, budget))
            out.tracks.push_back(std::move(*track));
        return out.tracks.size() == kMaxTracks ? Step::Stop : Step::Next;
    });
    return out;
}

// ---- The source ----

// The source's first bytes, kept to serve the reads near the start (where the Tracks of
// ordinary files lie) without reading again, and the count of bytes read against kReadLimit.
class Input {
  public:
    explicit Input(const io::ByteSource& source) : source_(source) {}

    std::uint64_t size() const { return source_.size(); }

    bool load_head() {
        const std::uint64_t count = std::min(source_.size(), kHeadBytes);
        std::optional<std::vector<std::uint8_t>> head = source_.read(0, count, kHeadBytes);
        if (!head) return false;
        head_ = std::move(*head);
        used_ = count;
        return true;
    }

    // The `count` bytes at `offset`: in the head, or read into `holder`. Absent when they lie
    // past the end of the source, would take the bytes read past kReadLimit, or a read fails.
    std::optional<Bytes> view(std::uint64_t offset, std::uint64_t count,
                              std::vector<std::uint8_t>& holder) {
        if (offset <= head_.size() && count <= head_.size() - offset)
            return Bytes(head_).subspan(static_cast<std::size_t>(offset),
                                        static_cast<std::size_t>(count));
        if (count > kReadLimit - used_) return std::nullopt;
        std::optional<std::vector<std::uint8_t>> bytes =
            source_.read(offset, count, kReadLimit - used_);
        if (!bytes) return std::nullopt;
        used_ += count;
        holder = std::move(*bytes);
        return Bytes(holder);
    }

    // The header of the element at `offset`, which must lie before `end`.
    std::optional<Header> header_at(std::uint64_t offset, std::uint64_t end) {
        if (offset >= end) return std::nullopt;
        std::vector<std::uint8_t> holder;
        const std::optional<Bytes> bytes =
            view(offset, std::min<std::uint64_t>(kMaxHeader, end - offset), holder);
        if (!bytes) return std::nullopt;
        return header_of(*bytes);
    }

  private:
    const io::ByteSource& source_;
    std::vector<std::uint8_t> head_;
    std::uint64_t used_ = 0;
};

bool is_matroska(Bytes ebml_body, Budget& budget) {
    bool matroska = false;
    const Walk walk = each_child(ebml_body, budget, [&](std::uint32_t id, Bytes value) {
        if (id != kDocType) return Step::Next;
        const std::string type = text_of(value, 16);
        matroska = type == "matroska" || type == "webm";
        return Step::Stop;
    });
    return walk != Walk::Malformed && matroska;
}

// The offset of the Tracks element within the segment data, from a SeekHead's body.
std::optional<std::uint64_t> seek_tracks(Bytes body, Budget& budget) {
    constexpr std::uint8_t kTracksId[] = {0x16, 0x54, 0xAE, 0x6B};
    std::optional<std::uint64_t> found;
    each_child(body, budget, [&](std::uint32_t id, Bytes seek) {
        if (id != kSeek) return Step::Next;
        bool tracks = false;
        std::optional<std::uint64_t> position;
        const Walk walk = each_child(seek, budget, [&](std::uint32_t child, Bytes value) {
            if (child == kSeekId) tracks = std::ranges::equal(value, kTracksId);
            if (child == kSeekPosition) position = uint_of(value);
            return Step::Next;
        });
        if (walk != Walk::Complete) return Step::Malformed;
        if (!tracks || !position) return Step::Next;
        found = position;
        return Step::Stop;
    });
    return found;
}

std::optional<Tracks> parse(const io::ByteSource& source) {
    Input input(source);
    Budget budget;
    if (!input.load_head()) return std::nullopt;
    std::vector<std::uint8_t> holder;

    const std::optional<Header> ebml = input.header_at(0, input.size());
    if (!ebml || ebml->id != kEbml || !ebml->size || *ebml->size > kMaxEbmlHeader)
        return std::nullopt;
    const std::optional<Bytes> ebml_body = input.view(ebml->length, *ebml->size, holder);
    if (!ebml_body || !is_matroska(*ebml_body, budget)) return std::nullopt;

    // The Segment, after at most a few Void elements.
    std::uint64_t at = ebml->length + *ebml->size;
    std::optional<Header> segment;
    for (int i = 0; i <= kMaxBeforeSegment; ++i) {
        segment = input.header_at(at, input.size());
        if (!segment || segment->id != kVoid || !segment->size) break;
        if (*segment->size > input.size() - at - segment->length) return std::nullopt;
        at += segment->length + *segment->size;
    }
    if (!segment || segment->id != kSegment) return std::nullopt;
    const std::uint64_t start = at + segment->length;
    // An unknown size, or one past the end of a cut file, reaches the end of the source.
    std::uint64_t end = input.size();
    if (segment->size && *segment->size < input.size() - start) end = start + *segment->size;

    // The Segment's top-level elements, in order, up to Tracks. A Cluster before Tracks is
    // skipped, or left for Tracks' position when a SeekHead gave it (further on only, so the
    // walk always moves forward).
    std::optional<std::uint64_t> tracks_at;
    at = start;
    while (at < end) {
        if (!budget.take()) return std::nullopt;
        const std::optional<Header> element = input.header_at(at, end);
        if (!element) return std::nullopt;
        const bool jump = element->id == kCluster && tracks_at && *tracks_at > at;
        if (jump) {
            at = *tracks_at;
            continue;
        }
        // Only a Cluster may be of unknown size here; it reaches the Segment's end.
        if (!element->size) return std::nullopt;
        const std::uint64_t value_at = at + element->length;
        if (*element->size > end - value_at) return std::nullopt;
        if (element->id == kTracks) {
            const std::optional<Bytes> body = input.view(value_at, *element->size, holder);
            if (!body) return std::nullopt;
            Tracks tracks = read_tracks(*body, budget);
            if (tracks.tracks.empty()) return std::nullopt;
            return tracks;
        }
        if (element->id == kSeekHead && !tracks_at && *element->size <= kMaxSeekHead) {
            const std::optional<Bytes> body = input.view(value_at, *element->size, holder);
            if (!body) return std::nullopt;
            if (const std::optional<std::uint64_t> offset = seek_tracks(*body, budget))
                if (*offset < end - start) tracks_at = start + *offset;
        }
        at = value_at + *element->size;
    }
    return std::nullopt;
}

} // namespace

std::optional<Tracks> read(const io::ByteSource& source) {
    try {
        return parse(source);
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

const Track* first_video(const Tracks& tracks) {
    for (const Track& track : tracks.tracks)
        if (track.type == kVideo) return &track;
    return nullptr;
}

} // namespace mkv
