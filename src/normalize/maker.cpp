#include <charconv>

#include "normalize/normalize.hpp"
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
    bool usable() const { return !useless(text); }
};

std::optional<Printed> lookup(const TagIndex& idx, std::string_view key) {
    const RawTag* tag = idx.find(key);
    if (tag == nullptr) return std::nullopt;
    Printed out{tag, printed(*tag), {}};
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

} // namespace

std::optional<Field> cndm_field(std::string_view id, std::optional<std::uint8_t> code,
                                CodeName name, std::optional<Field> previous) {
    if (!code) return previous;
    SourceRef source{
        "zun-cndm",       "Canon cndm",       id == "curve" ? "item 0xe211" : "item 0xe212",
        code_text(*code), model::Json(*code), Kind::Decoded};
    const std::optional<std::string_view> named = name(*code);
    if (!named) {
        if (previous && previous->value) return previous;
        Field out = unavailable(id, "color", "cndm_unmapped");
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
        if (norm(*previous->value) != norm(*named)) {
            out.status = Status::SourcesDiffer;
            out.note = "differs";
        }
    }
    return out;
}

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

Field demote_maker_hint(Field field) {
    const auto& p = field.primary;
    if (!p || p->source != "exiftool" || p->group != "Canon" ||
        (p->tag != "CanonLogVersion" && p->tag != "ColorSpace2"))
        return field;
    Field out = unavailable(field.id, field.section, "maker_hint");
    out.alternates.push_back(std::move(*field.primary));
    for (SourceRef& ref : field.alternates)
        out.alternates.push_back(std::move(ref));
    return out;
}

Field container_field(const TagIndex& idx, std::string_view id, std::string_view track_tag) {
    const RawTag* tag = idx.find("Track*:" + std::string(track_tag));
    if (tag == nullptr) return unavailable(id, "color");
    const std::string text = printed(*tag);
    if (useless(text)) return unavailable(id, "color");
    Field out = declared(id, "color", text, *tag, "container_label");
    out.primary->kind = Kind::Container;
    return out;
}

void append_color_block(std::vector<Field>& fields, const TagIndex& idx,
                        const std::optional<cndm::Cndm>& cndm,
                        const std::optional<sony::Sony>& sony) {
    std::optional<Field> pp, curve, gamut;

    if (auto style = lookup(idx, "Panasonic:PhotoStyle"); style && style->usable()) {
        pp = declared("picture_profile", "color", style->text, *style->tag);
        if (contains(style->lower, "v-log")) {
            curve = declared("curve", "color", "V-Log", *style->tag);
            gamut = computed("V-Gamut", "V-Log->V-Gamut", *style->tag);
        }
    }
    // The log version is matched without a usability test: its vocabulary is known.
    if (auto log = lookup(idx, "Canon:CanonLogVersion")) {
        const char* name = nullptr;
        if (contains(log->lower, "v1") || log->lower == "clog")
            name = "Canon Log";
        else if (contains(log->lower, "v2"))
            name = "Canon Log 2";
        else if (contains(log->lower, "v3"))
            name = "Canon Log 3";
        if (name != nullptr) curve = declared("curve", "color", name, *log->tag);
    }
    if (auto space = lookup(idx, "Canon:ColorSpace2")) {
        if (contains(space->lower, "cinemagamut"))
            gamut = declared("gamut", "color", "Cinema Gamut", *space->tag);
        else if (space->usable())
            gamut = declared("gamut", "color", space->text, *space->tag);
    }
    if (!pp)
        if (auto style = lookup(idx, "Canon:PictureStyle"); style && style->usable())
            pp = declared("picture_profile", "color", "Picture Style: " + style->text, *style->tag);
    if (auto control = lookup(idx, "Nikon:PictureControlName"); control && control->usable()) {
        pp = declared("picture_profile", "color", control->text, *control->tag);
        if (contains(control->lower, "n-log")) {
            curve = declared("curve", "color", "N-Log", *control->tag);
            gamut = computed("Rec.2020", "N-Log->Rec.2020", *control->tag);
        }
    }
    if (auto gamma = lookup(idx, "Keys:ViewingGamma"); gamma && gamma->usable())
        curve = declared("curve", "color", gamma->text, *gamma->tag, "viewing_metadata");
    if (auto primaries = lookup(idx, "Keys:ViewingGamut"); primaries && primaries->usable())
        gamut = declared("gamut", "color", primaries->text, *primaries->tag, "viewing_metadata");
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
        if (const RawTag* ul = idx.find("Track*:CaptureGammaEquation")) {
            curve = unavailable("curve", "color", "ul_unmapped");
            curve->alternates.push_back(exiftool_source(*ul, Kind::Container));
        }

    fields.push_back(pp ? std::move(*pp) : unavailable("picture_profile", "color"));
    fields.push_back(curve ? std::move(*curve) : unavailable("curve", "color"));
    fields.push_back(gamut ? std::move(*gamut) : unavailable("gamut", "color"));
}

} // namespace normalize
