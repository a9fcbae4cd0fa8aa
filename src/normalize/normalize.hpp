// The field engine: turns a clip's raw exiftool tags and the results of the
// container and maker readers into the fixed list of normalised fields, each
// with its primary source, the alternates consulted, a status and a note.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cndm/cndm.hpp"
#include "model/model.hpp"
#include "mxf/mxf.hpp"
#include "normalize/format.hpp"
#include "sony/sony.hpp"
#include "tmcd/tmcd.hpp"

namespace normalize {

// What the engine's own readers found in one clip, one member per reader; a member is absent
// when its reader did not run or found nothing.
struct Readings {
    std::optional<tmcd::StartTimecode> timecode{}; // "zun-tmcd"
    std::optional<cndm::Cndm> canon{};             // "zun-cndm"
    std::optional<sony::Sony> sony{};              // "zun-sony"
    std::optional<mxf::Header> mxf{};              // "zun-mxf"
};

// Every field of one clip, in the fixed order: camera, exposure, colour block, container labels,
// file rows, then (with a Sony record) the Sony-only fields, and "file_size" last. `size` is the
// file size in bytes, `ext` the file-name extension as found. Never fails.
std::vector<model::Field> build_fields(const std::vector<model::RawTag>& tags,
                                       const Readings& readings, std::uint64_t size,
                                       std::string_view ext);

// A value one of the engine's own readers decoded, offered to a field like a tag: `value` is
// what the formatter and the agreement test see, `source` how the field cites it.
struct DecodedSource {
    std::string_view key; // "reader:Name", as a candidate names it
    model::RawTag value;
    model::SourceRef source;
};

// A start timecode read from the container, and how the field cites it.
struct ContainerTimecode {
    std::string text;
    model::SourceRef source;
};

// Read-only lookup over a clip's raw tags and decoded values, borrowed for one call of
// build_fields.
struct TagIndex {
    std::span<const model::RawTag> tags;
    std::span<const DecodedSource> decoded = {};

    // The decoded value named exactly `key`; absent when there is none.
    const DecodedSource* find_decoded(std::string_view key) const;

    // The first tag (in stored order) matching "GROUP:Name"; the group may be "*" (any group),
    // end in "*" (prefix match) or be empty (empty group only). Absent when nothing matches or
    // the key has no ":".
    const model::RawTag* find(std::string_view key) const;
};

// One ranked source of a field: a lookup key (a tag, or a decoded value's key) and the kind of
// source it is.
struct Candidate {
    std::string_view key;
    model::Kind kind = model::Kind::Declared;
};

using Formatter = std::optional<std::string> (*)(const model::RawTag&);
using AgreementTest = Agreement (*)(const model::RawTag&, const model::RawTag&);

// The field resolved from ranked candidates: the first usable one is primary, the others are
// alternates compared with it ("close_values", "differs"). Unavailable when none is usable.
model::Field field(const TagIndex& idx, std::string_view id, std::string_view section,
                   std::span<const Candidate> candidates, Formatter format, AgreementTest agree);

// A source reference to an exiftool tag.
model::SourceRef exiftool_source(const model::RawTag& tag, model::Kind kind);

// A found field whose primary is `tag` (kind declared).
model::Field declared(std::string_view id, std::string_view section, std::string_view value,
                      const model::RawTag& tag, std::optional<std::string_view> note = {});

// The gamut implied by a log profile: status computed, primary the pairing rule, the profile
// tag as the only alternate, note "pair_rule".
model::Field computed(std::string_view value, std::string_view rule, const model::RawTag& tag);

// A field without value, primary or alternates.
model::Field unavailable(std::string_view id, std::string_view section,
                         std::optional<std::string_view> note = {});

// Offers a field to the list: it replaces a same-id field that has no value, is dropped when that
// field has one, and is appended when the id is new.
void fill_merge(std::vector<model::Field>& fields, model::Field offered);

// --- Maker-specific colour mapping ---

using CodeName = std::optional<std::string_view> (*)(std::uint8_t);
using TextName = std::optional<std::string_view> (*)(std::string_view);

// The curve or gamut field after a Canon metadata-track code: the named code wins (keeping the
// previous primary as alternate); an unnamed code keeps a previous value or yields
// "cndm_unmapped". `previous` is returned unchanged when the code is absent.
std::optional<model::Field> cndm_field(std::string_view id, std::optional<std::uint8_t> code,
                                       CodeName name, std::optional<model::Field> previous);

// The curve or gamut field after the Sony document's text: it replaces any previous source
// ("sony_nrt", or "sony_unmapped" without a display name); for the gamut an implied name that
// differs makes the field "sources_differ". `previous` is returned unchanged without a text.
std::optional<model::Field> sony_field(std::string_view id,
                                       const std::optional<std::string>& document, TextName name,
                                       std::string_view label, std::string_view origin,
                                       std::optional<std::string_view> implied,
                                       std::optional<model::Field> previous);

// A field whose primary is a Canon maker-note hint (CanonLogVersion, ColorSpace2) turned into an
// unavailable field listing that hint first among its alternates, note "maker_hint".
model::Field demote_maker_hint(model::Field field);

// Appends "picture_profile", "curve" and "gamut", decided from the maker tags, the Canon
// metadata track and the Sony document (later sources outrank earlier ones).
void append_color_block(std::vector<model::Field>& fields, const TagIndex& idx,
                        const std::optional<cndm::Cndm>& cndm,
                        const std::optional<sony::Sony>& sony);

// A container colour label from the first "Track*:" tag of that name, note "container_label".
model::Field container_field(const TagIndex& idx, std::string_view id, std::string_view track_tag);

// --- Sony document fill ---

// A found field decoded from the Sony document or its real-time metadata.
model::Field decoded_field(std::string_view id, std::string_view section, std::string_view value,
                           std::string_view label, model::Json raw, std::string_view origin);

// Offers every value of the Sony record to `fields` through fill_merge, appending Sony-only
// fields in their fixed order and the "sony_no_lens" / "sony_no_kelvin" notes.
void fill_from_sony(std::vector<model::Field>& fields, const sony::Sony& sony);

} // namespace normalize
