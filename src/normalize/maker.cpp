#include <charconv>

#include "normalize/internal.hpp"
#include "text/text.hpp"

namespace normalize {

namespace {

using model::Field;
using model::Kind;
using model::RawTag;
using model::SourceRef;
using model::Status;

// A tag's printed text with its lower-cased form, for vocabulary tests.
struct Printed {
    const RawTag* tag = nullptr;
    std::string text;
    std::string lower;
    bool usable() const { return !is_placeholder(text); }
};

std::optional<Printed> lookup(const TagIndex& index, std::string_view key) {
    const RawTag* tag = index.find(key);
    if (tag == nullptr) return std::nullopt;
    Printed out{tag, display_text(*tag), {}};
    out.lower = text::lower(out.text);
    return out;
}

std::string sony_group(std::string_view origin) {
    return origin == "sidecar" ? "Sony NRT sidecar" : "Sony NRT";
}

std::string code_text(std::uint8_t code) {
    std::string out = "code ";
    if (code < 10) out += '0';
    out += std::to_string(code);
    return out;
}

using CodeName = std::optional<std::string_view> (*)(std::uint8_t);
using TextName = std::optional<std::string_view> (*)(std::string_view);

// The curve or gamut field after a Canon metadata-track code: the named code wins (keeping the
// previous primary as alternate); an unnamed code keeps a previous value or yields
// "cndm_unmapped". `previous` is returned unchanged when the code is absent.
std::optional<Field> cndm_field(std::string_view id, std::optional<std::uint8_t> code,
                                CodeName name, std::optional<Field> previous) {
    if (!code) return previous;
    SourceRef source{
        "zun-cndm",       "Canon cndm",       id == "curve" ? "item 0xe211" : "item 0xe212",
        code_text(*code), model::Json(*code), Kind::Decoded};
    const std::optional<std::string_view> named = name(*code);
    if (!named) {
        if (previous && previous->value) return previous;
        Field out = unavailable_field(id, "color", "cndm_unmapped");
        out.alternates.push_back(std::move(source));
        return out;
    }
    Field out;
    out.id = id;
    out.section = "color";
    out.value = std::string(*named);
    out.primary = std::move(source);
    out.status = Status::Found;
    out.note = "cndm_derived";
    if (previous && previous->primary && previous->value) {
        out.alternates.push_back(*previous->primary);
        if (lower_alphanumerics(*previous->value) != lower_alphanumerics(*named)) {
            out.status = Status::SourcesDiffer;
            out.note = "differs";
        }
    }
    return out;
}

// The curve or gamut field after the Sony document's text: it replaces any previous source
// ("sony_nrt", or "sony_unmapped" without a display name); for the gamut an implied name that
// differs makes the field "sources_differ". `previous` is returned unchanged without a text.
std::optional<Field> sony_field(std::string_view id, const std::optional<std::string>& document,
                                TextName name, std::string_view label, std::string_view origin,
                                std::optional<std::string_view> implied,
                                std::optional<Field> previous) {
    if (!document) return previous;
    SourceRef source{"zun-sony", sony_group(origin),     std::string(label),
                     *document,  model::Json(*document), Kind::Decoded};
    Field out;
    out.id = id;
    out.section = "color";
    const std::optional<std::string_view> named = name(*document);
    if (!named) {
        out.status = Status::Unavailable;
        out.alternates.push_back(std::move(source));
        out.note = "sony_unmapped";
        return out;
    }
    out.value = std::string(*named);
    out.primary = std::move(source);
    out.status = Status::Found;
    out.note = "sony_nrt";
    if (implied && id == "gamut" && *implied != *named) {
        out.status = Status::SourcesDiffer;
        out.note = "differs";
        out.alternates.push_back(
            SourceRef{"zun-sony", "Sony NRT", "CaptureGammaEquation (implied gamut)",
                      std::string(*implied), model::Json(std::string(*implied)), Kind::Decoded});
    }
    return out;
}

// A field whose primary is a Canon maker-note hint (CanonLogVersion, ColorSpace2) turned into an
// unavailable field listing that hint first among its alternates, note "maker_hint".
Field demote_maker_hint(Field field) {
    const auto& p = field.primary;
    if (!p || p->source != "exiftool" || p->group != "Canon" ||
        (p->tag != "CanonLogVersion" && p->tag != "ColorSpace2"))
        return field;
    Field out = unavailable_field(field.id, field.section, "maker_hint");
    out.alternates.push_back(std::move(*field.primary));
    for (SourceRef& ref : field.alternates)
        out.alternates.push_back(std::move(ref));
    return out;
}

} // namespace

Field container_field(const TagIndex& index, std::string_view id, std::string_view track_tag) {
    const RawTag* tag = index.find("Track*:" + std::string(track_tag));
    if (tag == nullptr) return unavailable_field(id, "color");
    const std::string text = display_text(*tag);
    if (is_placeholder(text)) return unavailable_field(id, "color");
    Field out = declared_field(id, "color", text, *tag, "container_label");
    out.primary->kind = Kind::Container;
    return out;
}

void append_color_block(std::vector<Field>& fields, const TagIndex& index,
                        const std::optional<cndm::Cndm>& cndm,
                        const std::optional<sony::Sony>& sony) {
    std::optional<Field> profile, curve, gamut;

    if (auto style = lookup(index, "Panasonic:PhotoStyle"); style && style->usable()) {
        profile = declared_field("picture_profile", "color", style->text, *style->tag);
        if (contains(style->lower, "v-log")) {
            curve = declared_field("curve", "color", "V-Log", *style->tag);
            gamut = implied_gamut("V-Gamut", "V-Log->V-Gamut", *style->tag);
        }
    }
    // The log version is matched without a usability test: its vocabulary is known.
    if (auto log = lookup(index, "Canon:CanonLogVersion")) {
        const char* name = nullptr;
        if (contains(log->lower, "v1") || log->lower == "clog")
            name = "Canon Log";
        else if (contains(log->lower, "v2"))
            name = "Canon Log 2";
        else if (contains(log->lower, "v3"))
            name = "Canon Log 3";
        if (name != nullptr) curve = declared_field("curve", "color", name, *log->tag);
    }
    if (auto space = lookup(index, "Canon:ColorSpace2")) {
        if (contains(space->lower, "cinemagamut"))
            gamut = declared_field("gamut", "color", "Cinema Gamut", *space->tag);
        else if (space->usable())
            gamut = declared_field("gamut", "color", space->text, *space->tag);
    }
    if (!profile)
        if (auto style = lookup(index, "Canon:PictureStyle"); style && style->usable())
            profile = declared_field("picture_profile", "color", "Picture Style: " + style->text,
                                     *style->tag);
    if (auto control = lookup(index, "Nikon:PictureControlName"); control && control->usable()) {
        profile = declared_field("picture_profile", "color", control->text, *control->tag);
        if (contains(control->lower, "n-log")) {
            curve = declared_field("curve", "color", "N-Log", *control->tag);
            gamut = implied_gamut("Rec.2020", "N-Log->Rec.2020", *control->tag);
        }
    }
    if (auto gamma = lookup(index, "Keys:ViewingGamma"); gamma && gamma->usable())
        curve = declared_field("curve", "color", gamma->text, *gamma->tag, "viewing_metadata");
    if (auto primaries = lookup(index, "Keys:ViewingGamut"); primaries && primaries->usable())
        gamut =
            declared_field("gamut", "color", primaries->text, *primaries->tag, "viewing_metadata");
    if (cndm) {
        curve = cndm_field("curve", cndm->curve, cndm::curve_name, std::move(curve));
        gamut = cndm_field("gamut", cndm->gamut, cndm::gamut_name, std::move(gamut));
    }
    if (sony) {
        curve = sony_field("curve", sony->capture_gamma, sony::curve_name, "CaptureGammaEquation",
                           sony->origin, std::nullopt, std::move(curve));
        std::optional<std::string_view> implied;
        if (sony->capture_gamma) implied = sony::gamma_implied_gamut(*sony->capture_gamma);
        gamut = sony_field("gamut", sony->capture_primaries, sony::gamut_name,
                           "CaptureColorPrimaries", sony->origin, implied, std::move(gamut));
    }
    if (curve) curve = demote_maker_hint(std::move(*curve));
    if (gamut) gamut = demote_maker_hint(std::move(*gamut));
    if (!curve)
        if (const RawTag* ul = index.find("Track*:CaptureGammaEquation")) {
            curve = unavailable_field("curve", "color", "ul_unmapped");
            curve->alternates.push_back(exiftool_source(*ul, Kind::Container));
        }

    fields.push_back(profile ? std::move(*profile) : unavailable_field("picture_profile", "color"));
    fields.push_back(curve ? std::move(*curve) : unavailable_field("curve", "color"));
    fields.push_back(gamut ? std::move(*gamut) : unavailable_field("gamut", "color"));
}

} // namespace normalize
