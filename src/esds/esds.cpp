#include "esds/internal.hpp"

#include <array>
#include <new>

#include "boxes/boxes.hpp"

namespace esds {

namespace {

using Bytes = std::span<const std::uint8_t>;

constexpr std::uint8_t kEsDescriptor = 0x03;
constexpr std::uint8_t kDecoderConfig = 0x04;
constexpr std::uint8_t kDecoderSpecificInfo = 0x05;
// Fixed fields of a DecoderConfigDescriptor before its nested descriptors.
constexpr std::size_t kDecoderConfigFields = 13;

constexpr std::array<std::uint32_t, 13> kSampleRates = {
    96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350};

// Reads big-endian bit fields of at most 32 bits; a field past the end is absent.
class BitReader {
  public:
    explicit BitReader(Bytes bytes) : bytes_(bytes) {}

    std::optional<std::uint32_t> take(unsigned count) {
        const std::size_t left = (bytes_.size() - position_ / 8) * 8 - position_ % 8;
        if (count > 32 || count > left) return std::nullopt;
        std::uint32_t value = 0;
        for (unsigned i = 0; i < count; ++i, ++position_) {
            const unsigned bit = (bytes_[position_ / 8] >> (7 - position_ % 8)) & 1u;
            value = (value << 1) | bit;
        }
        return value;
    }

  private:
    Bytes bytes_;
    std::size_t position_ = 0;
};

// An audio object type: 5 bits, 31 escaping to 32 plus the next 6 bits.
std::optional<unsigned> object_type(BitReader& bits) {
    std::optional<std::uint32_t> type = bits.take(5);
    if (type != 31u) return type;
    std::optional<std::uint32_t> extended = bits.take(6);
    if (!extended) return std::nullopt;
    return 32 + *extended;
}

// A sampling rate: a 4-bit index into the table, 15 escaping to an explicit 24-bit rate; 0
// for a reserved index. Absent when the bits run out.
std::optional<std::uint32_t> sample_rate(BitReader& bits) {
    std::optional<std::uint32_t> index = bits.take(4);
    if (!index) return std::nullopt;
    if (*index < kSampleRates.size()) return kSampleRates[*index];
    if (*index != 15) return 0;
    return bits.take(24);
}

std::optional<unsigned> channels_of(unsigned configuration) {
    if (configuration >= 1 && configuration <= 6) return configuration;
    switch (configuration) {
    case 7:
    case 12:
    case 14:
        return 8;
    case 11:
        return 7;
    case 13:
        return 24;
    default:
        return std::nullopt;
    }
}

// Whether an AAC LC configuration goes on, after its GASpecificConfig, with a backward-compatible
// sync extension that signals SBR and then parametric stereo: a mono core decoded to stereo.
bool signals_parametric_stereo(BitReader& bits) {
    const std::optional<std::uint32_t> frame_length = bits.take(1);
    const std::optional<std::uint32_t> core_coder = bits.take(1);
    if (!frame_length || !core_coder || (*core_coder == 1 && !bits.take(14))) return false;
    if (bits.take(1) != 0u) return false; // extension flag: none for AAC LC
    if (bits.take(11) != 0x2B7u || object_type(bits) != 5u || bits.take(1) != 1u) return false;
    if (!sample_rate(bits)) return false;
    return bits.take(11) == 0x548u && bits.take(1) == 1u;
}

struct Descriptor {
    std::uint8_t tag = 0;
    Bytes body;
    std::size_t end = 0; // where the next descriptor starts
};

// The descriptor at `at`: a tag byte, then a size of 1..4 bytes, 7 bits each, the high bit
// saying another follows. Absent at the end, or when the size is malformed or overruns `bytes`.
std::optional<Descriptor> descriptor_at(Bytes bytes, std::size_t at) {
    if (at >= bytes.size()) return std::nullopt;
    const std::uint8_t tag = bytes[at];
    std::size_t i = at + 1;
    std::size_t size = 0;
    for (int n = 0;; ++n) {
        if (n == 4 || i >= bytes.size()) return std::nullopt;
        const std::uint8_t byte = bytes[i++];
        size = (size << 7) | (byte & 0x7fu);
        if ((byte & 0x80u) == 0) break;
    }
    if (size > bytes.size() - i) return std::nullopt;
    return Descriptor{tag, bytes.subspan(i, size), i + size};
}

// The body of the first descriptor tagged `tag` in a run of descriptors; absent when none
// comes before the run ends or breaks.
std::optional<Bytes> find_descriptor(Bytes bytes, std::uint8_t tag) {
    for (std::optional<Descriptor> d = descriptor_at(bytes, 0); d; d = descriptor_at(bytes, d->end))
        if (d->tag == tag) return d->body;
    return std::nullopt;
}

// The descriptors nested in an ES_Descriptor body, past its optional fields.
std::optional<Bytes> es_children(Bytes es) {
    if (es.size() < 3) return std::nullopt;
    const std::uint8_t flags = es[2];
    std::size_t at = 3;
    if ((flags & 0x80u) != 0) at += 2; // dependsOn_ES_ID
    if ((flags & 0x40u) != 0) {        // URL: a length byte and the URL
        if (at >= es.size()) return std::nullopt;
        at += 1 + static_cast<std::size_t>(es[at]);
    }
    if ((flags & 0x20u) != 0) at += 2; // OCR_ES_Id
    if (at > es.size()) return std::nullopt;
    return es.subspan(at);
}

bool is_aac(std::uint8_t object_type_indication) {
    return object_type_indication == 0x40 ||
           (object_type_indication >= 0x66 && object_type_indication <= 0x68);
}

// The "esds" payload of an "mp4a" sample entry's payload; `stsd_version` tells an ISO entry
// of version 1 (same layout as 0) from a QuickTime one (16 more bytes).
std::optional<Bytes> entry_esds(Bytes entry, std::uint32_t stsd_version) {
    std::optional<std::uint32_t> word = boxes::u32(entry, 8);
    if (!word) return std::nullopt;
    std::size_t fields = 0;
    switch (*word >> 16) {
    case 0:
        fields = 28;
        break;
    case 1:
        fields = stsd_version == 1 ? 28 : 44;
        break;
    case 2:
        fields = 64;
        break;
    default:
        return std::nullopt;
    }
    if (entry.size() < fields) return std::nullopt;
    const Bytes children = entry.subspan(fields);
    if (std::optional<Bytes> found = boxes::find(children, "esds")) return found;
    std::optional<Bytes> wave = boxes::find(children, "wave");
    return wave ? boxes::find(*wave, "esds") : std::nullopt;
}

// The configuration of one "trak" payload; absent when it has none that qualifies.
std::optional<AacConfig> track_config(Bytes trak) {
    std::optional<Bytes> stbl = boxes::sample_table(trak);
    std::optional<Bytes> stsd = stbl ? boxes::find(*stbl, "stsd") : std::nullopt;
    if (!stsd) return std::nullopt;
    std::optional<std::uint32_t> version = boxes::u32(*stsd, 0);
    std::optional<std::uint32_t> count = boxes::u32(*stsd, 4);
    if (!version || !count || *count == 0) return std::nullopt;
    std::optional<boxes::BoxEntry> entry = boxes::child_at(*stsd, 8);
    if (!entry || !boxes::type_is(entry->type, "mp4a")) return std::nullopt;
    std::optional<Bytes> esds =
        entry_esds(stsd->subspan(entry->start, entry->end - entry->start), *version >> 24);
    std::optional<Bytes> asc = esds ? audio_specific_config(*esds) : std::nullopt;
    std::optional<AacConfig> config = asc ? parse_audio_specific_config(*asc) : std::nullopt;
    if (!config || config->channel_configuration == 0) return std::nullopt;
    return config;
}

} // namespace

std::optional<AacConfig> parse_audio_specific_config(std::span<const std::uint8_t> bytes) {
    BitReader bits(bytes);
    AacConfig out;
    std::optional<unsigned> type = object_type(bits);
    if (!type) return std::nullopt;
    out.object_type = *type;
    std::optional<std::uint32_t> rate = sample_rate(bits);
    std::optional<std::uint32_t> configuration = bits.take(4);
    if (!rate || !configuration) return std::nullopt;
    out.channel_configuration = *configuration;
    out.channels = channels_of(*configuration);
    // Parametric stereo decodes one coded channel to two: explicit (object type 29) or in a
    // sync extension.
    if (*configuration == 1 &&
        (out.object_type == 29 || (out.object_type == 2 && signals_parametric_stereo(bits))))
        out.channels = 2;
    // Explicit SBR (5) and PS (29) carry the output rate next.
    if (out.object_type == 5 || out.object_type == 29) {
        rate = sample_rate(bits);
        if (!rate) return std::nullopt;
    }
    if (*rate != 0) out.sample_rate = *rate;
    return out;
}

std::optional<std::span<const std::uint8_t>>
audio_specific_config(std::span<const std::uint8_t> esds) {
    if (esds.size() < 4) return std::nullopt;
    std::optional<Bytes> es = find_descriptor(esds.subspan(4), kEsDescriptor);
    std::optional<Bytes> nested = es ? es_children(*es) : std::nullopt;
    std::optional<Bytes> decoder = nested ? find_descriptor(*nested, kDecoderConfig) : std::nullopt;
    if (!decoder || decoder->size() < kDecoderConfigFields || !is_aac((*decoder)[0]))
        return std::nullopt;
    return find_descriptor(decoder->subspan(kDecoderConfigFields), kDecoderSpecificInfo);
}

std::optional<std::vector<AacTrack>> read(const boxes::Container& container) {
    if (!container.moov) return std::nullopt;
    const Bytes moov(*container.moov);
    std::vector<AacTrack> out;
    std::uint32_t position = 0;
    try {
        for (std::optional<boxes::BoxEntry> box = boxes::child_at(moov, 0);
             box && position < kMaxTracks; box = boxes::child_at(moov, box->end)) {
            if (!boxes::type_is(box->type, "trak")) continue;
            ++position;
            if (std::optional<AacConfig> config =
                    track_config(moov.subspan(box->start, box->end - box->start)))
                out.push_back(AacTrack{position, *config});
        }
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
    if (out.empty()) return std::nullopt;
    return out;
}

} // namespace esds
