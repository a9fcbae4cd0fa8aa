#include "normalize/internal.hpp"

namespace normalize {

namespace {

using model::Field;
using model::Json;
using model::Kind;
using model::SourceRef;
using model::Status;

// Display name of the white-balance code of real-time metadata tag 0xe303.
std::optional<std::string> white_balance_name(std::uint8_t code) {
    switch (code) {
    case 1:
        return "Incandescent";
    case 2:
        return "Fluorescent";
    case 4:
        return "Daylight";
    case 5:
        return "Cloudy";
    case 6:
        return "Custom";
    case 255:
        return "Preset";
    default:
        return std::nullopt;
    }
}

// "32768 (50.00 %)": a lens ring position with its share of full travel.
std::string ring_text(std::uint16_t raw) {
    return std::to_string(raw) + " (" + fixed_text(raw * 100.0 / 65535.0, 2) + " %)";
}

// Gives the first field with `id` a note when it has neither value nor note.
void note_if_empty(std::vector<Field>& fields, std::string_view id, std::string_view note) {
    Field* field = model::find_field(fields, id);
    if (field && !field->value && !field->note) field->note = std::string(note);
}

} // namespace

Field decoded_field(std::string_view id, std::string_view section, std::string_view value,
                    std::string_view label, Json raw, std::string_view origin) {
    Field out;
    out.id = id;
    out.section = section;
    out.value = std::string(value);
    out.primary =
        SourceRef{"zun-sony",         origin == "sidecar" ? "Sony NRT sidecar" : "Sony NRT",
                  std::string(label), std::string(value),
                  std::move(raw),     Kind::Decoded};
    out.status = Status::Found;
    return out;
}

namespace {

// A decoded value offered for a field: its display text and the value as the source gave it.
struct Offer {
    std::string value;
    Json raw;
};

enum class Note { None, FirstFrame };

// One field the Sony record can fill: where its value comes from and how it is labelled.
struct SonyRow {
    std::string_view id;
    std::string_view section;
    std::string_view label;
    Note note;
    std::optional<Offer> (*extract)(const sony::Sony&);
};

// The value with its display text; absent when the value is.
template <typename T, typename F> std::optional<Offer> offer(const std::optional<T>& v, F show) {
    if (!v) return std::nullopt;
    return Offer{show(*v), Json(*v)};
}

std::string as_text(std::string_view v) {
    return std::string(v);
}

std::string millimetres(double v) {
    return decimal_text(v, 1) + " mm";
}

std::string thousandths_to_millimetres(std::uint16_t v) {
    return fixed_text(v / 1000.0, 3) + " mm";
}

std::optional<double> positive(const std::optional<double>& v) {
    return v && *v > 0.0 ? v : std::nullopt;
}

// Offered in this order, before "focus_mode".
const SonyRow kSonyCameraRows[] = {
    {"make", "camera", "Device manufacturer", Note::None,
     [](const sony::Sony& s) { return offer(s.manufacturer, as_text); }},
    {"camera_model", "camera", "Device modelName", Note::None,
     [](const sony::Sony& s) { return offer(s.model_name, as_text); }},
    {"aperture", "exposure", "rtmd 0x8000", Note::None,
     [](const sony::Sony& s) {
         return offer(s.rtmd.iris_fnumber, [](double f) { return "f/" + decimal_text(f, 1); });
     }},
    {"shutter", "exposure", "rtmd 0x8109", Note::None,
     [](const sony::Sony& s) -> std::optional<Offer> {
         const auto& t = s.rtmd.shutter_time;
         if (!t || t->first == 0 || t->second == 0) return std::nullopt;
         return Offer{shutter_text(static_cast<double>(t->first) / static_cast<double>(t->second)),
                      Json(std::to_string(t->first) + "/" + std::to_string(t->second))};
     }},
    {"iso", "exposure", "rtmd 0x810b", Note::None,
     [](const sony::Sony& s) -> std::optional<Offer> {
         const auto& v = s.rtmd.iso;
         if (!v || *v == 0) return std::nullopt;
         return Offer{"ISO " + std::to_string(*v), Json(*v)};
     }},
    {"focal_length", "camera", "rtmd 0x8005", Note::FirstFrame,
     [](const sony::Sony& s) { return offer(positive(s.rtmd.focal_length), millimetres); }},
    {"focal_eq", "camera", "rtmd 0x8004", Note::FirstFrame,
     [](const sony::Sony& s) { return offer(positive(s.rtmd.focal_length_35mm), millimetres); }},
    {"focus_distance", "camera", "rtmd 0x8001", Note::FirstFrame,
     [](const sony::Sony& s) {
         return offer(positive(s.rtmd.focus_distance),
                      [](double d) { return decimal_text(d, 2) + " m"; });
     }},
    {"af_area", "camera", "rtmd 0x8101", Note::FirstFrame,
     [](const sony::Sony& s) { return offer(s.rtmd.af_area, as_text); }},
};

// Offered in this order, after "focus_mode" and before "wb_mode".
const SonyRow kAcquisitionRows[] = {
    {"iris_number", "acq", "rtmd 0x8000", Note::FirstFrame,
     [](const sony::Sony& s) {
         return offer(s.rtmd.iris_fnumber, [](double f) { return fixed_text(f, 2); });
     }},
    {"shutter_angle", "acq", "rtmd 0x8108", Note::FirstFrame,
     [](const sony::Sony& s) {
         return offer(s.rtmd.shutter_angle, [](double a) { return fixed_text(a, 2) + "\u00b0"; });
     }},
    {"gain_db", "acq", "rtmd 0x810a", Note::FirstFrame,
     [](const sony::Sony& s) {
         return offer(s.rtmd.gain_db, [](double g) { return fixed_text(g, 2) + " dB"; });
     }},
    {"exposure_index", "acq", "rtmd 0x8115", Note::FirstFrame,
     [](const sony::Sony& s) {
         return offer(s.rtmd.exposure_index, [](std::uint16_t e) { return std::to_string(e); });
     }},
    {"focus_ring", "acq", "rtmd 0x800a", Note::FirstFrame,
     [](const sony::Sony& s) { return offer(s.rtmd.focus_ring_raw, ring_text); }},
    {"zoom_ring", "acq", "rtmd 0x800b", Note::FirstFrame,
     [](const sony::Sony& s) { return offer(s.rtmd.zoom_ring_raw, ring_text); }},
    {"sensor_width", "acq", "rtmd 0x8104", Note::FirstFrame,
     [](const sony::Sony& s) { return offer(s.rtmd.sensor_width, thousandths_to_millimetres); }},
    {"sensor_height", "acq", "rtmd 0x8105", Note::FirstFrame,
     [](const sony::Sony& s) { return offer(s.rtmd.sensor_height, thousandths_to_millimetres); }},
    {"extender", "acq", "rtmd 0x810c", Note::FirstFrame,
     [](const sony::Sony& s) {
         return offer(s.rtmd.extender, [](std::uint16_t e) { return std::to_string(e) + " %"; });
     }},
    {"rec_mode", "acq", "RecordingMode type", Note::None,
     [](const sony::Sony& s) { return offer(s.recording_mode, as_text); }},
    {"cache_rec", "acq", "RecordingMode cacheRec", Note::None,
     [](const sony::Sony& s) {
         return offer(s.cache_rec, [](bool on) { return std::string(on ? "Yes" : "No"); });
     }},
    {"coding_equations", "color", "CodingEquations", Note::None,
     [](const sony::Sony& s) -> std::optional<Offer> {
         if (!s.coding_equations) return std::nullopt;
         const std::string& text = *s.coding_equations;
         return Offer{text == "rec709"    ? "Rec.709"
                      : text == "rec2020" ? "Rec.2020"
                                          : text,
                      Json(text)};
     }},
    {"ae_mode", "exposure", "rtmd 0x8100", Note::FirstFrame,
     [](const sony::Sony& s) { return offer(s.rtmd.ae_mode, as_text); }},
};

// Offered last.
const SonyRow kTimecodeRow = {"timecode", "file", "LtcChange (frame 0)", Note::None,
                              [](const sony::Sony& s) -> std::optional<Offer> {
                                  auto ltc = sony::ltc_text(s);
                                  if (!ltc) return std::nullopt;
                                  return Offer{std::move(*ltc), Json(*s.ltc_start)};
                              }};

constexpr std::string_view kFirstFrame = "first_frame";

void offer_row(std::vector<Field>& fields, const sony::Sony& sony, const SonyRow& row) {
    std::optional<Offer> found = row.extract(sony);
    if (!found) return;
    Field field = decoded_field(row.id, row.section, found->value, row.label, std::move(found->raw),
                                sony.origin);
    if (row.note == Note::FirstFrame) field.note = std::string(kFirstFrame);
    offer_field(fields, std::move(field));
}

} // namespace

void fill_from_sony(std::vector<Field>& fields, const sony::Sony& sony) {
    const sony::Rtmd& r = sony.rtmd;
    for (const SonyRow& row : kSonyCameraRows)
        offer_row(fields, sony, row);
    if (sony.model_name)
        offer_field(fields, unavailable_field("focus_mode", "camera", "sony_no_focusmode"));
    for (const SonyRow& row : kAcquisitionRows)
        offer_row(fields, sony, row);
    if (r.wb_mode) {
        const std::string label(*r.wb_mode);
        Field field = decoded_field("wb_mode", "color", label == "Automatic" ? "Auto" : label,
                                    "rtmd 0x810d", Json(label), sony.origin);
        field.note = std::string(kFirstFrame);
        if (r.white_balance)
            field.alternates.push_back(SourceRef{"exiftool", "Sony rtmd", "0xe303 WhiteBalance",
                                                 white_balance_name(*r.white_balance),
                                                 Json(*r.white_balance), Kind::Decoded});
        offer_field(fields, std::move(field));
    }
    if (sony.manufacturer || sony.model_name) {
        note_if_empty(fields, "lens", "sony_no_lens");
        note_if_empty(fields, "wb_temp", "sony_no_kelvin");
    }
    offer_row(fields, sony, kTimecodeRow);
}

} // namespace normalize
