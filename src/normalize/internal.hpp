// What the parts of the field engine share and no other module sees: display formatting of raw
// tag values, the agreement tests that compare two sources of one field, the tag index and the
// field builders.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cndm/cndm.hpp"
#include "model/model.hpp"
#include "normalize/normalize.hpp"
#include "sony/sony.hpp"

namespace normalize {

// ---- Formatting ----

// How an alternate source compares with the primary one.
enum class Agreement { Same, Close, Different };

// Whether `needle` occurs in `haystack`.
bool contains(std::string_view haystack, std::string_view needle);

// The tag's display text: its printed text, else its raw string, else the raw value as compact
// JSON; white space trimmed at both ends. Never fails.
std::string display_text(const model::RawTag& tag);

// Whether a text is a placeholder (empty, "n/a", "undef", zero date, "unknown...", "(binary...").
bool is_placeholder(std::string_view text);

// The tag's numeric value: a JSON number, or the leading number of a string (digits, "-", ".").
// Absent for other JSON types, unparsable prefixes and values that do not fit a finite double.
std::optional<double> numeric_value(const model::RawTag& tag);

// `value` rounded to `decimals` places (exact value, ties to even), then trailing zeros and a
// trailing point removed: 2.8, 2, 23.976. Empty when the text does not fit 400 characters.
std::string decimal_text(double value, int decimals);

// `value` rounded to exactly `decimals` places (exact value, ties to even), zeros kept: 2.00.
// Empty when the text does not fit 400 characters.
std::string fixed_text(double value, int decimals);

// `value` truncated toward zero, in decimal, saturated at the 64-bit signed range.
std::string integer_text(double value);

// The letters and digits of `text` (any script), lower-cased; everything else dropped.
std::string lower_alphanumerics(std::string_view text);

// Formatters: display text of one tag, absent when the tag is not usable for the field.
std::optional<std::string> format_text(const model::RawTag& tag);         // display text as is
std::optional<std::string> format_wb_mode(const model::RawTag& tag);      // "Kelvin", "Auto", as is
std::optional<std::string> format_kelvin(const model::RawTag& tag);       // "5600 K"; 500 < v < 1e5
std::optional<std::string> format_iso(const model::RawTag& tag);          // "ISO 800"
std::optional<std::string> format_f_number(const model::RawTag& tag);     // "f/2.8"
std::optional<std::string> format_focal_length(const model::RawTag& tag); // "35 mm"
std::optional<std::string> format_shutter(const model::RawTag& tag);    // shutter_text of the value
std::optional<std::string> format_frame_rate(const model::RawTag& tag); // "23.976 fps"

// Exposure time in seconds as "1/50 s" below half a second, "0.5 s" / "2 s" otherwise; empty
// text for seconds <= 0.
std::string shutter_text(double seconds);

// Agreement tests, primary first: letters and digits with containment; numbers within 1e-6
// (same) or 10 % (close); automatic versus manual white balance; always the same.
Agreement compare_text(const model::RawTag& primary, const model::RawTag& alternate);
Agreement compare_numbers(const model::RawTag& primary, const model::RawTag& alternate);
Agreement compare_white_balance(const model::RawTag& primary, const model::RawTag& alternate);
Agreement always_same(const model::RawTag& primary, const model::RawTag& alternate);

// ---- Tag index and field builders ----

// A value one of the engine's own readers decoded, offered to a field like a tag: `value` is
// what the formatter and the agreement test see, `source` how the field cites it.
struct DecodedSource {
    std::string_view key; // "reader:Name", as a candidate names it
    model::RawTag value;
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
model::Field resolve_field(const TagIndex& index, std::string_view id, std::string_view section,
                           std::span<const Candidate> candidates, Formatter format,
                           AgreementTest agree);

// A source reference to an exiftool tag.
model::SourceRef exiftool_source(const model::RawTag& tag, model::Kind kind);

// A found field whose primary is `tag` (kind declared).
model::Field declared_field(std::string_view id, std::string_view section, std::string_view value,
                            const model::RawTag& tag, std::optional<std::string_view> note = {});

// The gamut implied by a log profile: status computed, primary the pairing rule, the profile
// tag as the only alternate, note "pair_rule".
model::Field implied_gamut(std::string_view value, std::string_view rule, const model::RawTag& tag);

// A field without value, primary or alternates.
model::Field unavailable_field(std::string_view id, std::string_view section,
                               std::optional<std::string_view> note = {});

// Offers a field to the list: it replaces a same-id field that has no value, is dropped when that
// field has one, and is appended when the id is new.
void offer_field(std::vector<model::Field>& fields, model::Field offered);

// ---- Maker-specific colour mapping ----

// Appends "picture_profile", "curve" and "gamut", decided from the maker tags, the Canon
// metadata track and the Sony document (later sources outrank earlier ones).
void append_color_block(std::vector<model::Field>& fields, const TagIndex& index,
                        const std::optional<cndm::Cndm>& cndm,
                        const std::optional<sony::Sony>& sony);

// A container colour label from the first "Track*:" tag of that name, note "container_label".
model::Field container_field(const TagIndex& index, std::string_view id,
                             std::string_view track_tag);

// ---- Container picture and sound ----

// One of a container's three colour labels.
enum class ColourLabel { Primaries, Transfer, Matrix };

// The colour label `id` from a code point the MXF reader (first) or the Matroska reader read,
// named as exiftool names it in a QuickTime "colr" box; note "container_label". Absent when
// neither gives a code point with a name.
std::optional<model::Field> decoded_label_field(const Readings& readings, std::string_view id,
                                                ColourLabel which);

// "N ch · R kHz[ · B-bit]": the channels summed over the audio tracks (exiftool's rate tags,
// MPEG audio, the MPEG reader's streams), each counted by its channel tags, its decoder
// configuration or its stream header, else as one; the first track's rate. Unavailable when no
// track has a rate.
model::Field audio_field(const TagIndex& index, const Readings& readings);

// ---- Sony document fill ----

// A found field decoded from the Sony document or its real-time metadata.
model::Field decoded_field(std::string_view id, std::string_view section, std::string_view value,
                           std::string_view label, model::Json raw, std::string_view origin);

// Offers every value of the Sony record to `fields` through offer_field, appending Sony-only
// fields in their fixed order and the "sony_no_lens" / "sony_no_kelvin" notes.
void fill_from_sony(std::vector<model::Field>& fields, const sony::Sony& sony);

} // namespace normalize
