#include "mxf/internal.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <map>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include "io/io.hpp"
#include "klv/klv.hpp"

namespace mxf {

namespace {

using Bytes = std::span<const std::uint8_t>;
using Uid = std::array<std::uint8_t, 16>;
using Umid = std::array<std::uint8_t, 32>;

constexpr std::size_t kKeySize = 16;
constexpr std::size_t kMaxKlvHeader = kKeySize + 9; // the key and the longest BER length
constexpr std::uint64_t kMinPackValue = 88;         // the partition pack up to its batch header
constexpr std::uint64_t kMaxPackValue = 65536;
constexpr std::uint64_t kHeaderByteCountAt = 32; // within the partition pack's value
constexpr int kMaxLeadingFill = 16; // fill items between the partition pack and the primer

// Keys and labels, compared without their version byte (byte 8, index 7).
constexpr Label kPartitionPack = {0x06, 0x0E, 0x2B, 0x34, 0x02, 0x05, 0x01, 0x01,
                                  0x0D, 0x01, 0x02, 0x01, 0x01, 0x02, 0x00, 0x00};
constexpr std::size_t kPartitionPrefix = 13; // bytes shared by partition packs, primer, RIP
constexpr std::uint8_t kHeaderPartition = 0x02;
constexpr std::uint8_t kPrimerKind = 0x05;
constexpr Label kFill = {0x06, 0x0E, 0x2B, 0x34, 0x01, 0x01, 0x01, 0x01,
                         0x03, 0x01, 0x02, 0x10, 0x01, 0x00, 0x00, 0x00};
constexpr Label kIndexSegment = {0x06, 0x0E, 0x2B, 0x34, 0x02, 0x53, 0x01, 0x01,
                                 0x0D, 0x01, 0x02, 0x01, 0x01, 0x10, 0x01, 0x00};
constexpr Label kStructuralSet = {0x06, 0x0E, 0x2B, 0x34, 0x02, 0x53, 0x01, 0x01,
                                  0x0D, 0x01, 0x01, 0x01, 0x01, 0x01, 0x00, 0x00};
constexpr std::size_t kStructuralPrefix = 14; // byte 14 names the set, byte 15 is zero

bool same(const std::uint8_t* bytes, const Label& label, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
        if (i != 7 && bytes[i] != label[i]) return false;
    return true;
}

// Every SMPTE key begins 06 0E 2B 34.
bool is_smpte(const std::uint8_t* key) {
    return same(key, kFill, 4);
}

bool is_fill(const std::uint8_t* key) {
    return same(key, kFill, kKeySize);
}

// A partition pack, the primer pack or the random index pack.
bool is_pack(const std::uint8_t* key) {
    return same(key, kPartitionPack, kPartitionPrefix);
}

bool is_primer(const std::uint8_t* key) {
    return is_pack(key) && key[13] == kPrimerKind && key[14] == 0x01 && key[15] == 0x00;
}

std::uint64_t load_be(const std::uint8_t* bytes, std::size_t count) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < count; ++i)
        value = (value << 8) | bytes[i];
    return value;
}

// A KLV item's key position and its value, relative to the buffer it was parsed from.
struct Klv {
    std::size_t key = 0;
    std::size_t header = 0; // key and length bytes
    std::uint64_t length = 0;
};

// The key and BER length at `at` in `bytes`; absent when either is cut short, the length is of
// the indefinite form (0x80) or takes more than 8 bytes.
std::optional<Klv> klv_header(Bytes bytes, std::size_t at) {
    if (at > bytes.size() || bytes.size() - at < kKeySize + 1) return std::nullopt;
    const std::optional<klv::Length> length = klv::ber_length(bytes, at + kKeySize, 8);
    if (!length) return std::nullopt;
    return Klv{at, kKeySize + length->size, length->value};
}

// ---- Local sets ----

enum class Kind : std::uint8_t {
    Preface,
    ContentStorage,
    MaterialPackage,
    SourcePackage,
    Track,
    Sequence,
    TimecodeComponent,
    SourceClip,
    MultipleDescriptor,
    PictureDescriptor,
    SoundDescriptor,
};

// The structural sets this reader follows, by byte 14 of their key.
std::optional<Kind> kind_of(std::uint8_t type) {
    switch (type) {
    case 0x2F:
        return Kind::Preface;
    case 0x18:
        return Kind::ContentStorage;
    case 0x36:
        return Kind::MaterialPackage;
    case 0x37:
        return Kind::SourcePackage;
    case 0x39: // event track
    case 0x3A: // static track
    case 0x3B:
        return Kind::Track;
    case 0x0F:
        return Kind::Sequence;
    case 0x14:
        return Kind::TimecodeComponent;
    case 0x11:
        return Kind::SourceClip;
    case 0x44:
        return Kind::MultipleDescriptor;
    case 0x27: // generic picture essence descriptor
    case 0x28: // CDCI
    case 0x29: // RGBA
    case 0x51: // MPEG video
        return Kind::PictureDescriptor;
    case 0x42: // generic sound essence descriptor
    case 0x47: // AES3
    case 0x48: // wave
        return Kind::SoundDescriptor;
    default:
        return std::nullopt;
    }
}

enum class Prop : std::uint8_t {
    None,
    InstanceUid,
    ContentStorage, // preface
    Packages,       // content storage
    Tracks,         // package
    Descriptor,     // source package
    Sequence,       // track
    Components,     // sequence
    SubDescriptors, // multiple descriptor
    StartTimecode,
    RoundedBase,
    DropFrame,
    SampleRate,
    PictureCoding,
    TrackId,     // track
    SourceTrack, // source clip
    LinkedTrack, // descriptor
    // Read again from the sets the references lead to (item_of, picture_items).
    PackageUid,    // source package
    SourcePackage, // source clip
    StoredWidth,
    StoredHeight,
    SampledWidth,
    SampledHeight,
    DisplayWidth,
    DisplayHeight,
    FrameLayout,
    ColorPrimaries,
    TransferCharacteristic,
    CodingEquations,
    ChannelCount,
    AudioSamplingRate,
};

struct PropLabel {
    std::uint16_t tag; // the tag the property has when the primer does not list it
    Label label;
    Prop prop;
};

constexpr std::uint8_t kB0 = 0x06, kB1 = 0x0E, kB2 = 0x2B, kB3 = 0x34;

const PropLabel kProps[] = {
    {0x3C0A,
     {kB0, kB1, kB2, kB3, 1, 1, 1, 1, 0x01, 0x01, 0x15, 0x02, 0, 0, 0, 0},
     Prop::InstanceUid},
    {0x3B03,
     {kB0, kB1, kB2, kB3, 1, 1, 1, 2, 0x06, 0x01, 0x01, 0x04, 0x02, 0x01, 0, 0},
     Prop::ContentStorage},
    {0x1901,
     {kB0, kB1, kB2, kB3, 1, 1, 1, 2, 0x06, 0x01, 0x01, 0x04, 0x05, 0x01, 0, 0},
     Prop::Packages},
    {0x4403,
     {kB0, kB1, kB2, kB3, 1, 1, 1, 2, 0x06, 0x01, 0x01, 0x04, 0x06, 0x05, 0, 0},
     Prop::Tracks},
    {0x4701,
     {kB0, kB1, kB2, kB3, 1, 1, 1, 2, 0x06, 0x01, 0x01, 0x04, 0x02, 0x03, 0, 0},
     Prop::Descriptor},
    {0x4803,
     {kB0, kB1, kB2, kB3, 1, 1, 1, 2, 0x06, 0x01, 0x01, 0x04, 0x02, 0x04, 0, 0},
     Prop::Sequence},
    {0x1001,
     {kB0, kB1, kB2, kB3, 1, 1, 1, 2, 0x06, 0x01, 0x01, 0x04, 0x06, 0x09, 0, 0},
     Prop::Components},
    {0x3F01,
     {kB0, kB1, kB2, kB3, 1, 1, 1, 4, 0x06, 0x01, 0x01, 0x04, 0x06, 0x0B, 0, 0},
     Prop::SubDescriptors},
    {0x1501,
     {kB0, kB1, kB2, kB3, 1, 1, 1, 2, 0x07, 0x02, 0x01, 0x03, 0x01, 0x05, 0, 0},
     Prop::StartTimecode},
    {0x1502,
     {kB0, kB1, kB2, kB3, 1, 1, 1, 1, 0x04, 0x04, 0x01, 0x01, 0x02, 0x06, 0, 0},
     Prop::RoundedBase},
    {0x1503,
     {kB0, kB1, kB2, kB3, 1, 1, 1, 1, 0x04, 0x04, 0x01, 0x01, 0x05, 0, 0, 0},
     Prop::DropFrame},
    {0x3001,
     {kB0, kB1, kB2, kB3, 1, 1, 1, 1, 0x04, 0x06, 0x01, 0x01, 0, 0, 0, 0},
     Prop::SampleRate},
    {0x3201,
     {kB0, kB1, kB2, kB3, 1, 1, 1, 2, 0x04, 0x01, 0x06, 0x01, 0, 0, 0, 0},
     Prop::PictureCoding},
    {0x4401,
     {kB0, kB1, kB2, kB3, 1, 1, 1, 1, 0x01, 0x01, 0x15, 0x10, 0, 0, 0, 0},
     Prop::PackageUid},
    {0x4801, {kB0, kB1, kB2, kB3, 1, 1, 1, 2, 0x01, 0x07, 0x01, 0x01, 0, 0, 0, 0}, Prop::TrackId},
    {0x1101,
     {kB0, kB1, kB2, kB3, 1, 1, 1, 2, 0x06, 0x01, 0x01, 0x03, 0x01, 0, 0, 0},
     Prop::SourcePackage},
    {0x1102,
     {kB0, kB1, kB2, kB3, 1, 1, 1, 2, 0x06, 0x01, 0x01, 0x03, 0x02, 0, 0, 0},
     Prop::SourceTrack},
    {0x3006,
     {kB0, kB1, kB2, kB3, 1, 1, 1, 5, 0x06, 0x01, 0x01, 0x03, 0x05, 0, 0, 0},
     Prop::LinkedTrack},
    {0x3203,
     {kB0, kB1, kB2, kB3, 1, 1, 1, 1, 0x04, 0x01, 0x05, 0x02, 0x02, 0, 0, 0},
     Prop::StoredWidth},
    {0x3202,
     {kB0, kB1, kB2, kB3, 1, 1, 1, 1, 0x04, 0x01, 0x05, 0x02, 0x01, 0, 0, 0},
     Prop::StoredHeight},
    {0x3205,
     {kB0, kB1, kB2, kB3, 1, 1, 1, 1, 0x04, 0x01, 0x05, 0x01, 0x08, 0, 0, 0},
     Prop::SampledWidth},
    {0x3204,
     {kB0, kB1, kB2, kB3, 1, 1, 1, 1, 0x04, 0x01, 0x05, 0x01, 0x07, 0, 0, 0},
     Prop::SampledHeight},
    {0x3209,
     {kB0, kB1, kB2, kB3, 1, 1, 1, 1, 0x04, 0x01, 0x05, 0x01, 0x0C, 0, 0, 0},
     Prop::DisplayWidth},
    {0x3208,
     {kB0, kB1, kB2, kB3, 1, 1, 1, 1, 0x04, 0x01, 0x05, 0x01, 0x0B, 0, 0, 0},
     Prop::DisplayHeight},
    {0x320C,
     {kB0, kB1, kB2, kB3, 1, 1, 1, 1, 0x04, 0x01, 0x03, 0x01, 0x04, 0, 0, 0},
     Prop::FrameLayout},
    {0x3219,
     {kB0, kB1, kB2, kB3, 1, 1, 1, 9, 0x04, 0x01, 0x02, 0x01, 0x01, 0x06, 0x01, 0},
     Prop::ColorPrimaries},
    {0x3210,
     {kB0, kB1, kB2, kB3, 1, 1, 1, 2, 0x04, 0x01, 0x02, 0x01, 0x01, 0x01, 0x02, 0},
     Prop::TransferCharacteristic},
    {0x321A,
     {kB0, kB1, kB2, kB3, 1, 1, 1, 2, 0x04, 0x01, 0x02, 0x01, 0x01, 0x03, 0x01, 0},
     Prop::CodingEquations},
    {0x3D07,
     {kB0, kB1, kB2, kB3, 1, 1, 1, 5, 0x04, 0x02, 0x01, 0x01, 0x04, 0, 0, 0},
     Prop::ChannelCount},
    {0x3D03,
     {kB0, kB1, kB2, kB3, 1, 1, 1, 5, 0x04, 0x02, 0x03, 0x01, 0x01, 0x01, 0, 0},
     Prop::AudioSamplingRate},
};

// Local tag -> property: the usual static tags, overridden by what the primer pack says.
using TagMap = std::vector<Prop>;

Prop prop_of_label(const std::uint8_t* label) {
    for (const PropLabel& p : kProps)
        if (same(label, p.label, kKeySize)) return p.prop;
    return Prop::None;
}

// The tag map from a primer pack's value (a batch of 18-byte tag and label entries); absent
// when the batch is malformed.
std::optional<TagMap> read_primer(Bytes value) {
    if (value.size() < 8) return std::nullopt;
    const std::uint64_t count = load_be(value.data(), 4);
    const std::uint64_t size = load_be(value.data() + 4, 4);
    if (size != 18 || count > (value.size() - 8) / 18) return std::nullopt;
    TagMap tags(65536, Prop::None);
    for (const PropLabel& p : kProps)
        tags[p.tag] = p.prop;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* entry = value.data() + 8 + i * 18;
        tags[load_be(entry, 2)] = prop_of_label(entry + 2);
    }
    return tags;
}

// One structural set, with what this reader uses of it.
struct Set {
    Kind kind = Kind::Preface;
    std::optional<Uid> uid;
    std::optional<Uid> link; // content storage, descriptor or sequence
    std::vector<Uid> links;  // packages, tracks, components or sub-descriptors
    std::optional<std::int64_t> start;
    std::optional<std::uint16_t> base;
    bool drop = false;
    std::optional<Rational> rate;
    std::optional<Label> coding;
    std::optional<std::uint32_t> track; // a track's ID, the one a source clip names, or the one
                                        // a descriptor is linked to
    Bytes value; // the items, within the header metadata, read again where they are needed
};

// Whether a set of `kind` carries `prop` as one of the properties read here.
bool carries(Kind kind, Prop prop) {
    switch (prop) {
    case Prop::InstanceUid:
        return true;
    case Prop::ContentStorage:
        return kind == Kind::Preface;
    case Prop::Packages:
        return kind == Kind::ContentStorage;
    case Prop::Tracks:
        return kind == Kind::MaterialPackage || kind == Kind::SourcePackage;
    case Prop::Descriptor:
        return kind == Kind::SourcePackage;
    case Prop::Sequence:
        return kind == Kind::Track;
    case Prop::Components:
        return kind == Kind::Sequence;
    case Prop::SubDescriptors:
        return kind == Kind::MultipleDescriptor;
    case Prop::StartTimecode:
    case Prop::RoundedBase:
    case Prop::DropFrame:
        return kind == Kind::TimecodeComponent;
    case Prop::SampleRate:
    case Prop::PictureCoding:
        return kind == Kind::PictureDescriptor;
    case Prop::TrackId:
        return kind == Kind::Track;
    case Prop::SourceTrack:
        return kind == Kind::SourceClip;
    case Prop::LinkedTrack:
        return kind == Kind::PictureDescriptor || kind == Kind::SoundDescriptor;
    case Prop::PackageUid:
    case Prop::SourcePackage:
    case Prop::StoredWidth:
    case Prop::StoredHeight:
    case Prop::SampledWidth:
    case Prop::SampledHeight:
    case Prop::DisplayWidth:
    case Prop::DisplayHeight:
    case Prop::FrameLayout:
    case Prop::ColorPrimaries:
    case Prop::TransferCharacteristic:
    case Prop::CodingEquations:
    case Prop::ChannelCount:
    case Prop::AudioSamplingRate:
    case Prop::None:
        return false;
    }
    return false;
}

std::optional<std::uint32_t> u32_of(Bytes value) {
    if (value.size() != 4) return std::nullopt;
    return static_cast<std::uint32_t>(load_be(value.data(), 4));
}

std::optional<Rational> rational_of(Bytes value) {
    if (value.size() != 8) return std::nullopt;
    return Rational{static_cast<std::int32_t>(load_be(value.data(), 4)),
                    static_cast<std::int32_t>(load_be(value.data() + 4, 4))};
}

std::optional<Label> label_of(Bytes value) {
    if (value.size() != 16) return std::nullopt;
    Label label{};
    std::copy(value.begin(), value.end(), label.begin());
    return label;
}

std::optional<Umid> umid_of(Bytes value) {
    if (value.size() != 32) return std::nullopt;
    Umid umid{};
    std::copy(value.begin(), value.end(), umid.begin());
    return umid;
}

std::optional<Uid> uid_of(Bytes value) {
    if (value.size() != 16) return std::nullopt;
    Uid uid{};
    std::copy(value.begin(), value.end(), uid.begin());
    return uid;
}

// A batch or array of strong references: count, item size 16, then the items. Absent when
// malformed.
std::optional<std::vector<Uid>> uids_of(Bytes value) {
    if (value.size() < 8) return std::nullopt;
    const std::uint64_t count = load_be(value.data(), 4);
    if (load_be(value.data() + 4, 4) != 16 || count > (value.size() - 8) / 16) return std::nullopt;
    std::vector<Uid> out(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < out.size(); ++i)
        std::memcpy(out[i].data(), value.data() + 8 + i * 16, 16);
    return out;
}

void store(Set& set, Prop prop, Bytes value) {
    switch (prop) {
    case Prop::InstanceUid:
        set.uid = uid_of(value);
        break;
    case Prop::ContentStorage:
    case Prop::Descriptor:
    case Prop::Sequence:
        set.link = uid_of(value);
        break;
    case Prop::Packages:
    case Prop::Tracks:
    case Prop::Components:
    case Prop::SubDescriptors:
        set.links = uids_of(value).value_or(std::vector<Uid>{});
        break;
    case Prop::StartTimecode:
        if (value.size() == 8) set.start = static_cast<std::int64_t>(load_be(value.data(), 8));
        break;
    case Prop::RoundedBase:
        if (value.size() == 2) set.base = static_cast<std::uint16_t>(load_be(value.data(), 2));
        break;
    case Prop::DropFrame:
        if (value.size() == 1) set.drop = value[0] != 0;
        break;
    case Prop::SampleRate:
        if (value.size() == 8)
            set.rate = Rational{static_cast<std::int32_t>(load_be(value.data(), 4)),
                                static_cast<std::int32_t>(load_be(value.data() + 4, 4))};
        break;
    case Prop::PictureCoding:
        if (value.size() == 16) {
            Label label{};
            std::copy(value.begin(), value.end(), label.begin());
            set.coding = label;
        }
        break;
    case Prop::TrackId:
    case Prop::SourceTrack:
    case Prop::LinkedTrack:
        set.track = u32_of(value);
        break;
    default: // read again where needed
        break;
    }
}

// The set of `kind` in a local set's value (2-byte tags, 2-byte lengths); absent when an item
// runs past the set's end, so a set with lying item lengths is passed over whole.
std::optional<Set> read_set(Kind kind, Bytes value, const TagMap& tags) {
    Set set;
    set.kind = kind;
    set.value = value;
    const klv::SetEnd end = klv::walk_local_set(value, [&](const klv::LocalItem& item) {
        const Prop prop = tags[item.tag];
        if (carries(kind, prop)) store(set, prop, item.value);
    });
    if (end == klv::SetEnd::Cut) return std::nullopt;
    return set;
}

// The structural sets of the header metadata and the tag map they were read with.
struct Metadata {
    TagMap tags;
    std::vector<Set> sets;
};

// The structural sets of the header metadata in `window`, which starts with the primer pack.
// The walk ends at the window's end or at the first item that cannot be header metadata (a
// partition or index table segment, an essence element). Absent when the primer pack is
// malformed, a key is not a SMPTE key, or an item's length is malformed or runs past the window.
std::optional<Metadata> walk(Bytes window) {
    std::optional<Klv> primer = klv_header(window, 0);
    if (!primer || !is_primer(window.data()) || primer->length > window.size() - primer->header)
        return std::nullopt;
    std::optional<TagMap> tags =
        read_primer(window.subspan(primer->header, static_cast<std::size_t>(primer->length)));
    if (!tags) return std::nullopt;
    std::vector<Set> sets;
    std::size_t at = primer->header + static_cast<std::size_t>(primer->length);
    while (at < window.size()) {
        if (window.size() - at < kKeySize) return std::nullopt;
        const std::uint8_t* key = window.data() + at;
        if (!is_smpte(key)) return std::nullopt;
        if ((is_pack(key) && !is_primer(key)) || same(key, kIndexSegment, kKeySize) ||
            (key[4] == 0x01 && !is_fill(key)))
            break;
        const std::optional<Klv> item = klv_header(window, at);
        if (!item || item->length > window.size() - at - item->header) return std::nullopt;
        const Bytes value =
            window.subspan(at + item->header, static_cast<std::size_t>(item->length));
        if (same(key, kStructuralSet, kStructuralPrefix) && key[15] == 0x00)
            if (const std::optional<Kind> kind = kind_of(key[14]))
                if (std::optional<Set> set = read_set(*kind, value, *tags))
                    sets.push_back(std::move(*set));
        at += item->header + static_cast<std::size_t>(item->length);
    }
    return Metadata{std::move(*tags), std::move(sets)};
}

// ---- Following the strong references ----

class Graph {
  public:
    explicit Graph(const std::vector<Set>& sets) : sets_(sets), seen_(sets.size(), 0) {
        for (std::size_t i = 0; i < sets.size(); ++i)
            if (sets[i].uid) index_.emplace(*sets[i].uid, i); // the first set of a UID counts
    }

    // The set `uid` refers to, if it is of `kind`.
    const Set* find(const std::optional<Uid>& uid, Kind kind) const {
        const Set* set = find(uid);
        return set && set->kind == kind ? set : nullptr;
    }

    const Set* find(const std::optional<Uid>& uid) const {
        if (!uid) return nullptr;
        const auto it = index_.find(*uid);
        return it == index_.end() ? nullptr : &sets_[it->second];
    }

    // True the first time it is asked about `set`: each set's references are followed once,
    // so shared or circular references cannot multiply the work.
    bool first_visit(const Set* set) {
        std::uint8_t& seen = seen_[static_cast<std::size_t>(set - sets_.data())];
        if (seen != 0) return false;
        seen = 1;
        return true;
    }

    // Every set may be visited again (a new pass over the references).
    void forget_visits() { std::fill(seen_.begin(), seen_.end(), 0); }

    const std::vector<Set>& sets() const { return sets_; }

    const Set* preface() const {
        for (const Set& set : sets_)
            if (set.kind == Kind::Preface) return &set;
        return nullptr;
    }

  private:
    const std::vector<Set>& sets_;
    std::map<Uid, std::size_t> index_;
    std::vector<std::uint8_t> seen_;
};

std::optional<Timecode> timecode_of(const Set& component) {
    if (!component.start || !component.base || *component.base == 0) return std::nullopt;
    return Timecode{*component.start, *component.base, component.drop};
}

// The first usable Timecode Component on the package's tracks, in track order: a track's
// sequence, or the component the track refers to directly.
std::optional<Timecode> package_timecode(Graph& graph, const Set& package) {
    for (const Uid& ref : package.links) {
        const Set* track = graph.find(ref, Kind::Track);
        if (!track || !graph.first_visit(track)) continue;
        const Set* sequence = graph.find(track->link);
        if (!sequence) continue;
        if (sequence->kind == Kind::TimecodeComponent) {
            if (std::optional<Timecode> tc = timecode_of(*sequence)) return tc;
            continue;
        }
        if (sequence->kind != Kind::Sequence || !graph.first_visit(sequence)) continue;
        for (const Uid& component_ref : sequence->links)
            if (const Set* component = graph.find(component_ref, Kind::TimecodeComponent))
                if (std::optional<Timecode> tc = timecode_of(*component)) return tc;
    }
    return std::nullopt;
}

// The picture descriptor of a source package: its descriptor, or the first picture
// sub-descriptor of its multiple descriptor.
const Set* package_picture(Graph& graph, const Set& package) {
    const Set* descriptor = graph.find(package.link);
    if (!descriptor) return nullptr;
    if (descriptor->kind == Kind::PictureDescriptor) return descriptor;
    if (descriptor->kind != Kind::MultipleDescriptor || !graph.first_visit(descriptor))
        return nullptr;
    for (const Uid& ref : descriptor->links)
        if (const Set* sub = graph.find(ref, Kind::PictureDescriptor)) return sub;
    return nullptr;
}

// ---- Items read again from the sets the references lead to ----

// The value of the set's last item of `prop`; absent when it has none.
std::optional<Bytes> item_of(const Set& set, Prop prop, const TagMap& tags) {
    std::optional<Bytes> out;
    klv::walk_local_set(set.value, [&](const klv::LocalItem& item) {
        if (tags[item.tag] == prop) out = item.value;
    });
    return out;
}

// A width and height as a descriptor gives them.
struct Pair {
    std::optional<std::uint32_t> width;
    std::optional<std::uint32_t> height;
};

struct PictureItems {
    Pair stored;
    Pair sampled;
    Pair display;
    std::optional<FrameLayout> layout;
    std::optional<Label> primaries;
    std::optional<Label> transfer;
    std::optional<Label> equations;
};

// A picture descriptor's sizes, layout and colour labels; an item of the wrong size counts as
// missing.
PictureItems picture_items(const Set& picture, const TagMap& tags) {
    PictureItems out;
    klv::walk_local_set(picture.value, [&](const klv::LocalItem& item) {
        switch (tags[item.tag]) {
        case Prop::StoredWidth:
            out.stored.width = u32_of(item.value);
            break;
        case Prop::StoredHeight:
            out.stored.height = u32_of(item.value);
            break;
        case Prop::SampledWidth:
            out.sampled.width = u32_of(item.value);
            break;
        case Prop::SampledHeight:
            out.sampled.height = u32_of(item.value);
            break;
        case Prop::DisplayWidth:
            out.display.width = u32_of(item.value);
            break;
        case Prop::DisplayHeight:
            out.display.height = u32_of(item.value);
            break;
        case Prop::FrameLayout:
            out.layout = std::nullopt;
            if (item.value.size() == 1) out.layout = static_cast<FrameLayout>(item.value[0]);
            break;
        case Prop::ColorPrimaries:
            out.primaries = label_of(item.value);
            break;
        case Prop::TransferCharacteristic:
            out.transfer = label_of(item.value);
            break;
        case Prop::CodingEquations:
            out.equations = label_of(item.value);
            break;
        default:
            break;
        }
    });
    return out;
}

// The size of a whole frame: the height doubled where it is a field's. Absent when a member is
// missing or zero, or the frame's height does not fit 32 bits.
std::optional<Size> frame_size(const Pair& pair, std::optional<FrameLayout> layout) {
    if (!pair.width || !pair.height || *pair.width == 0 || *pair.height == 0) return std::nullopt;
    const bool per_field =
        layout == FrameLayout::SeparateFields || layout == FrameLayout::MixedFields;
    const std::uint64_t height = std::uint64_t{*pair.height} << (per_field ? 1 : 0);
    if (height > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
    return Size{*pair.width, static_cast<std::uint32_t>(height)};
}

// The sizes, layout and colour of the picture descriptor chosen for the rate and coding.
void take_picture(const Set& picture, const TagMap& tags, Header& header) {
    const PictureItems items = picture_items(picture, tags);
    header.frame_layout = items.layout;
    header.stored_size = frame_size(items.stored, items.layout);
    header.display_size = frame_size(items.display, items.layout);
    if (!header.display_size) header.display_size = frame_size(items.sampled, items.layout);
    if (!header.display_size) header.display_size = header.stored_size;
    if (items.primaries) header.color_primaries = primaries_code(*items.primaries);
    if (items.transfer) header.transfer_characteristic = transfer_code(*items.transfer);
    if (items.equations) header.coding_equations = equations_code(*items.equations);
}

// The first source clip of a track: in its sequence, or the clip it refers to directly.
const Set* track_clip(Graph& graph, const Set& track) {
    const Set* next = graph.find(track.link);
    if (!next) return nullptr;
    if (next->kind == Kind::SourceClip) return next;
    if (next->kind != Kind::Sequence || !graph.first_visit(next)) return nullptr;
    for (const Uid& ref : next->links)
        if (const Set* clip = graph.find(ref, Kind::SourceClip)) return clip;
    return nullptr;
}

// Sound sub-descriptors by their multiple descriptor and the track they are linked to (the
// first of a pair counts), so that a track finds its own in one look-up.
using Linked = std::map<std::pair<const Set*, std::uint32_t>, const Set*>;

Linked linked_sound(const Graph& graph) {
    Linked linked;
    for (const Set& set : graph.sets()) {
        if (set.kind != Kind::MultipleDescriptor) continue;
        for (const Uid& ref : set.links) {
            const Set* sub = graph.find(ref, Kind::SoundDescriptor);
            if (sub && sub->track) linked.emplace(std::pair{&set, *sub->track}, sub);
        }
    }
    return linked;
}

std::optional<Umid> umid_item(const Set& set, Prop prop, const TagMap& tags) {
    const std::optional<Bytes> value = item_of(set, prop, tags);
    return value ? umid_of(*value) : std::nullopt;
}

// The sound descriptors the material package's tracks lead to, each once, in track order. A
// track's source clip names a source package and one of its tracks, which the package's sound
// descriptor describes, or the sound sub-descriptor of its multiple descriptor linked to that
// track. Tracks, sequences and clips are visited once each, so each set is read once.
std::vector<const Set*> material_sound(Graph& graph, const Set& material,
                                       const std::vector<const Set*>& sources, const TagMap& tags) {
    std::map<Umid, const Set*> packages;
    for (const Set* package : sources)
        if (const std::optional<Umid> umid = umid_item(*package, Prop::PackageUid, tags))
            packages.emplace(*umid, package);
    const Linked linked = linked_sound(graph);
    std::vector<const Set*> sound;
    for (const Uid& ref : material.links) {
        const Set* track = graph.find(ref, Kind::Track);
        if (!track || !graph.first_visit(track)) continue;
        const Set* clip = track_clip(graph, *track);
        if (!clip || !graph.first_visit(clip)) continue;
        const std::optional<Umid> umid = umid_item(*clip, Prop::SourcePackage, tags);
        const auto package = umid ? packages.find(*umid) : packages.end();
        if (package == packages.end()) continue;
        const Set* descriptor = graph.find(package->second->link);
        if (descriptor && descriptor->kind == Kind::MultipleDescriptor) {
            const auto sub = clip->track ? linked.find({descriptor, *clip->track}) : linked.end();
            descriptor = sub == linked.end() ? nullptr : sub->second;
        }
        if (descriptor && descriptor->kind == Kind::SoundDescriptor &&
            graph.first_visit(descriptor))
            sound.push_back(descriptor);
    }
    return sound;
}

// The channels summed over the sound descriptors (absent when one gives no count, or the sum is
// zero or does not fit 32 bits) and the first one's sampling rate.
void take_sound(const std::vector<const Set*>& sound, const TagMap& tags, Header& header) {
    std::uint64_t channels = 0;
    bool counted = !sound.empty();
    for (const Set* descriptor : sound) {
        const std::optional<Bytes> count_item = item_of(*descriptor, Prop::ChannelCount, tags);
        const std::optional<Bytes> rate_item = item_of(*descriptor, Prop::AudioSamplingRate, tags);
        const std::optional<std::uint32_t> count = count_item ? u32_of(*count_item) : std::nullopt;
        const std::optional<Rational> rate = rate_item ? rational_of(*rate_item) : std::nullopt;
        if (descriptor == sound.front() && rate && rate->numerator > 0 && rate->denominator > 0)
            header.audio_sample_rate = rate;
        if (count)
            channels += *count;
        else
            counted = false;
    }
    if (counted && channels > 0 && channels <= std::numeric_limits<std::uint32_t>::max())
        header.channel_count = static_cast<std::uint32_t>(channels);
}

Header resolve(const Metadata& metadata) {
    Header header;
    Graph graph(metadata.sets);
    const Set* preface = graph.preface();
    const Set* storage = preface ? graph.find(preface->link, Kind::ContentStorage) : nullptr;
    if (!storage) return header;
    std::vector<const Set*> material;
    std::vector<const Set*> sources;
    for (const Uid& ref : storage->links) {
        const Set* package = graph.find(ref);
        if (!package || !graph.first_visit(package)) continue;
        if (package->kind == Kind::MaterialPackage) material.push_back(package);
        if (package->kind == Kind::SourcePackage) sources.push_back(package);
    }
    // The material package's timecode is the clip's. Without one, a file or physical source
    // package's timecode stands in (the first in Content Storage order that has one).
    for (const std::vector<const Set*>* packages : {&material, &sources}) {
        for (const Set* package : *packages)
            if ((header.timecode = package_timecode(graph, *package))) break;
        if (header.timecode) break;
    }
    // With two picture descriptors, the first reached counts.
    for (const Set* package : sources) {
        if (const Set* picture = package_picture(graph, *package)) {
            if (picture->rate && picture->rate->numerator > 0 && picture->rate->denominator > 0)
                header.sample_rate = picture->rate;
            header.picture_coding = picture->coding;
            take_picture(*picture, metadata.tags, header);
            break;
        }
    }
    if (!material.empty()) {
        graph.forget_visits();
        take_sound(material_sound(graph, *material.front(), sources, metadata.tags), metadata.tags,
                   header);
    }
    return header;
}

// ---- Locating the header metadata ----

// The source's first bytes (the run-in and what follows it), kept to serve the small reads near
// the start without reading the source again.
class Input {
  public:
    explicit Input(const io::ByteSource& source) : source_(source) {}

    bool load_head() {
        constexpr std::uint64_t kHead = kMaxRunIn + kKeySize;
        std::optional<std::vector<std::uint8_t>> head =
            source_.read(0, std::min<std::uint64_t>(source_.size(), kHead), kHead);
        if (!head) return false;
        head_ = std::move(*head);
        return true;
    }
    const std::vector<std::uint8_t>& head() const { return head_; }
    std::uint64_t length() const { return source_.size(); }

    // Exactly `count` bytes at `offset`; absent, before anything is allocated, when they lie
    // past the end of the source or `count` exceeds `limit`.
    std::optional<std::vector<std::uint8_t>> get(std::uint64_t offset, std::uint64_t count,
                                                 std::uint64_t limit) const {
        if (count > limit) return std::nullopt;
        if (offset <= head_.size() && count <= head_.size() - offset)
            return std::vector<std::uint8_t>(head_.begin() + static_cast<std::ptrdiff_t>(offset),
                                             head_.begin() +
                                                 static_cast<std::ptrdiff_t>(offset + count));
        return source_.read(offset, count, limit);
    }

    // The key and length of the item at `offset`; absent when cut short or malformed.
    std::optional<Klv> klv_at(std::uint64_t offset, std::vector<std::uint8_t>& bytes) const {
        if (offset > length()) return std::nullopt;
        std::optional<std::vector<std::uint8_t>> got =
            get(offset, std::min<std::uint64_t>(kMaxKlvHeader, length() - offset), kMaxKlvHeader);
        if (!got) return std::nullopt;
        bytes = std::move(*got);
        return klv_header(bytes, 0);
    }

  private:
    const io::ByteSource& source_;
    std::vector<std::uint8_t> head_;
};

// Offset of the header partition pack's key within the run-in; absent when there is none.
std::optional<std::size_t> find_header_partition(const std::vector<std::uint8_t>& head) {
    if (head.size() < kKeySize) return std::nullopt;
    const std::size_t last = std::min<std::size_t>(kMaxRunIn, head.size() - kKeySize);
    for (std::size_t at = 0; at <= last; ++at) {
        const std::uint8_t* key = head.data() + at;
        if (key[0] == 0x06 && is_pack(key) && key[13] == kHeaderPartition) return at;
    }
    return std::nullopt;
}

std::optional<Header> parse_source(const io::ByteSource& source) {
    Input input(source);
    const std::uint64_t length = source.size();
    if (!input.load_head()) return std::nullopt;
    const std::optional<std::size_t> pack_at = find_header_partition(input.head());
    if (!pack_at) return std::nullopt;
    std::vector<std::uint8_t> bytes;
    const std::optional<Klv> pack = input.klv_at(*pack_at, bytes);
    if (!pack || pack->length < kMinPackValue || pack->length > kMaxPackValue) return std::nullopt;
    const std::uint64_t value_at = *pack_at + pack->header; // within the input: it was read
    if (pack->length > length - value_at) return std::nullopt;
    const std::optional<std::vector<std::uint8_t>> fixed =
        input.get(value_at, kHeaderByteCountAt + 8, kMinPackValue);
    if (!fixed) return std::nullopt;
    const std::uint64_t header_bytes = load_be(fixed->data() + kHeaderByteCountAt, 8);
    if (header_bytes == 0 || header_bytes > kMaxHeaderBytes) return std::nullopt;

    // Fill may align the primer pack; the header byte count runs from the primer's key.
    std::uint64_t at = value_at + pack->length;
    for (int i = 0;; ++i) {
        const std::optional<Klv> item = input.klv_at(at, bytes);
        if (!item || i == kMaxLeadingFill) return std::nullopt;
        if (is_primer(bytes.data())) break;
        if (!is_fill(bytes.data()) || item->length > length - at - item->header)
            return std::nullopt;
        at += item->header + item->length;
    }
    const std::optional<std::vector<std::uint8_t>> window =
        input.get(at, header_bytes, kMaxHeaderBytes);
    if (!window) return std::nullopt;
    const std::optional<Metadata> metadata = walk(*window);
    if (!metadata) return std::nullopt;
    return resolve(*metadata);
}

} // namespace

std::optional<Header> read(const io::ByteSource& source) {
    try {
        return parse_source(source);
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

std::optional<std::string> codec_family(const Label& label) {
    // Registered kCodingPrefix: 06 0E 2B 34 04 01 01 vv, then the coding node.
    constexpr Label kCodingPrefix = {0x06, 0x0E, 0x2B, 0x34, 0x04, 0x01, 0x01, 0x00,
                                     0x04, 0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00};
    if (!same(label.data(), kCodingPrefix, 11)) return std::nullopt;
    const std::uint8_t kind = label[11]; // 01 uncompressed, 02 compressed
    const std::uint8_t scheme = label[12];
    const std::uint8_t variant = label[13];
    if (kind == 0x01) return "Uncompressed";
    if (kind != 0x02) return std::nullopt;
    if (scheme == 0x01) { // MPEG compression
        if (variant >= 0x01 && variant <= 0x05) return "MPEG-2";
        if (variant >= 0x30 && variant <= 0x3F) return "AVC";
        if (variant >= 0x40 && variant <= 0x4F) return "HEVC";
        return std::nullopt;
    }
    if (scheme == 0x03) { // individual picture coding schemes
        if (variant == 0x01) return "JPEG 2000";
        if (variant == 0x06) return "ProRes";
        return std::nullopt;
    }
    if (scheme == 0x71) return "DNxHD"; // VC-3
    return std::nullopt;
}

namespace {

// A colour label's last item and the ISO/IEC 23091-2 code point it stands for.
struct CodePoint {
    std::uint8_t item;
    int code;
};

constexpr CodePoint kPrimaries[] = {
    {0x01, 6},  // SMPTE 170M (BT.601 525)
    {0x02, 5},  // BT.470 System B, G (BT.601 625)
    {0x03, 1},  // BT.709
    {0x04, 9},  // BT.2020
    {0x05, 10}, // SMPTE ST 428-1 (CIE XYZ)
    {0x06, 12}, // P3 D65
    {0x0A, 11}, // DCI-P3
};

constexpr CodePoint kTransfer[] = {
    {0x01, 5},  // BT.470 System B, G (gamma 2.8)
    {0x02, 1},  // BT.709 (also written for BT.601's curve, which is the same)
    {0x03, 7},  // SMPTE 240M
    {0x05, 12}, // BT.1361 extended colour gamut
    {0x06, 8},  // linear
    {0x07, 17}, // SMPTE ST 428-1
    {0x08, 11}, // IEC 61966-2-4 (xvYCC)
    {0x09, 14}, // BT.2020 (one label for 10 and 12 bits, whose curves are the same)
    {0x0A, 16}, // SMPTE ST 2084 (PQ)
    {0x0B, 18}, // ARIB STD-B67 (HLG)
};

constexpr CodePoint kEquations[] = {
    {0x01, 6}, // BT.601
    {0x02, 1}, // BT.709
    {0x03, 7}, // SMPTE 240M
    {0x04, 8}, // YCgCo
    {0x05, 0}, // GBR (identity)
    {0x06, 9}, // BT.2020 non-constant luminance
};

// Colour labels are 06 0E 2B 34 04 01 01 vv 04 01 01 01, the family (01 transfer
// characteristic, 02 coding equations, 03 colour primaries), the item, 00 00.
std::optional<int> color_code(const Label& label, std::uint8_t family,
                              std::span<const CodePoint> codes) {
    constexpr Label kColorPrefix = {0x06, 0x0E, 0x2B, 0x34, 0x04, 0x01, 0x01, 0x00,
                                    0x04, 0x01, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00};
    if (!same(label.data(), kColorPrefix, 12) || label[12] != family || label[14] != 0 ||
        label[15] != 0)
        return std::nullopt;
    for (const CodePoint& code : codes)
        if (code.item == label[13]) return code.code;
    return std::nullopt;
}

} // namespace

std::optional<int> primaries_code(const Label& label) {
    return color_code(label, 0x03, kPrimaries);
}

std::optional<int> transfer_code(const Label& label) {
    return color_code(label, 0x01, kTransfer);
}

std::optional<int> equations_code(const Label& label) {
    return color_code(label, 0x02, kEquations);
}

std::string to_text(const Rational& rate) {
    return std::to_string(rate.numerator) + "/" + std::to_string(rate.denominator);
}

std::string label_text(const Label& label) {
    static constexpr char kHexDigits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < label.size(); ++i) {
        if (i > 0 && i % 4 == 0) out += '.';
        out += kHexDigits[label[i] >> 4];
        out += kHexDigits[label[i] & 0x0F];
    }
    return out;
}

} // namespace mxf
