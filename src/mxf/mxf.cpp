#include "mxf/mxf.hpp"

#include <algorithm>
#include <cstring>
#include <map>
#include <new>
#include <vector>

#include "io/io.hpp"
#include "klv/klv.hpp"

namespace mxf {

namespace {

using Bytes = std::span<const std::uint8_t>;
using Uid = std::array<std::uint8_t, 16>;

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
    MultipleDescriptor,
    PictureDescriptor,
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
    case 0x44:
        return Kind::MultipleDescriptor;
    case 0x27: // generic picture essence descriptor
    case 0x28: // CDCI
    case 0x29: // RGBA
    case 0x51: // MPEG video
        return Kind::PictureDescriptor;
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
};

struct PropLabel {
    std::uint16_t tag; // the tag the property has when the primer does not list it
    Label label;
    Prop prop;
};

constexpr std::uint8_t B0 = 0x06, B1 = 0x0E, B2 = 0x2B, B3 = 0x34;

const PropLabel kProps[] = {
    {0x3C0A, {B0, B1, B2, B3, 1, 1, 1, 1, 0x01, 0x01, 0x15, 0x02, 0, 0, 0, 0}, Prop::InstanceUid},
    {0x3B03,
     {B0, B1, B2, B3, 1, 1, 1, 2, 0x06, 0x01, 0x01, 0x04, 0x02, 0x01, 0, 0},
     Prop::ContentStorage},
    {0x1901,
     {B0, B1, B2, B3, 1, 1, 1, 2, 0x06, 0x01, 0x01, 0x04, 0x05, 0x01, 0, 0},
     Prop::Packages},
    {0x4403, {B0, B1, B2, B3, 1, 1, 1, 2, 0x06, 0x01, 0x01, 0x04, 0x06, 0x05, 0, 0}, Prop::Tracks},
    {0x4701,
     {B0, B1, B2, B3, 1, 1, 1, 2, 0x06, 0x01, 0x01, 0x04, 0x02, 0x03, 0, 0},
     Prop::Descriptor},
    {0x4803,
     {B0, B1, B2, B3, 1, 1, 1, 2, 0x06, 0x01, 0x01, 0x04, 0x02, 0x04, 0, 0},
     Prop::Sequence},
    {0x1001,
     {B0, B1, B2, B3, 1, 1, 1, 2, 0x06, 0x01, 0x01, 0x04, 0x06, 0x09, 0, 0},
     Prop::Components},
    {0x3F01,
     {B0, B1, B2, B3, 1, 1, 1, 4, 0x06, 0x01, 0x01, 0x04, 0x06, 0x0B, 0, 0},
     Prop::SubDescriptors},
    {0x1501,
     {B0, B1, B2, B3, 1, 1, 1, 2, 0x07, 0x02, 0x01, 0x03, 0x01, 0x05, 0, 0},
     Prop::StartTimecode},
    {0x1502,
     {B0, B1, B2, B3, 1, 1, 1, 1, 0x04, 0x04, 0x01, 0x01, 0x02, 0x06, 0, 0},
     Prop::RoundedBase},
    {0x1503, {B0, B1, B2, B3, 1, 1, 1, 1, 0x04, 0x04, 0x01, 0x01, 0x05, 0, 0, 0}, Prop::DropFrame},
    {0x3001, {B0, B1, B2, B3, 1, 1, 1, 1, 0x04, 0x06, 0x01, 0x01, 0, 0, 0, 0}, Prop::SampleRate},
    {0x3201, {B0, B1, B2, B3, 1, 1, 1, 2, 0x04, 0x01, 0x06, 0x01, 0, 0, 0, 0}, Prop::PictureCoding},
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
    case Prop::None:
        return false;
    }
    return false;
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
    case Prop::None:
        break;
    }
}

// The set of `kind` in a local set's value (2-byte tags, 2-byte lengths); absent when an item
// runs past the set's end, so a set with lying item lengths is passed over whole.
std::optional<Set> read_set(Kind kind, Bytes value, const TagMap& tags) {
    Set set;
    set.kind = kind;
    const klv::SetEnd end = klv::walk_local_set(value, [&](const klv::LocalItem& item) {
        const Prop prop = tags[item.tag];
        if (carries(kind, prop)) store(set, prop, item.value);
    });
    if (end == klv::SetEnd::Cut) return std::nullopt;
    return set;
}

// The structural sets of the header metadata in `window`, which starts with the primer pack.
// The walk ends at the window's end or at the first item that cannot be header metadata (a
// partition or index table segment, an essence element). Absent when the primer pack is
// malformed, a key is not a SMPTE key, or an item's length is malformed or runs past the window.
std::optional<std::vector<Set>> walk(Bytes window) {
    std::optional<Klv> primer = klv_header(window, 0);
    if (!primer || !is_primer(window.data()) || primer->length > window.size() - primer->header)
        return std::nullopt;
    const std::optional<TagMap> tags =
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
    return sets;
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

Header resolve(const std::vector<Set>& sets) {
    Header header;
    Graph graph(sets);
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
            break;
        }
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
    const std::optional<std::vector<Set>> sets = walk(*window);
    if (!sets) return std::nullopt;
    return resolve(*sets);
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
    // Registered labels: 06 0E 2B 34 04 01 01 vv, then the coding node.
    constexpr Label labels = {0x06, 0x0E, 0x2B, 0x34, 0x04, 0x01, 0x01, 0x00,
                              0x04, 0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00};
    if (!same(label.data(), labels, 11)) return std::nullopt;
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

std::string to_text(const Rational& rate) {
    return std::to_string(rate.numerator) + "/" + std::to_string(rate.denominator);
}

std::string label_text(const Label& label) {
    static constexpr char hex_digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < label.size(); ++i) {
        if (i > 0 && i % 4 == 0) out += '.';
        out += hex_digits[label[i] >> 4];
        out += hex_digits[label[i] & 0x0F];
    }
    return out;
}

} // namespace mxf
