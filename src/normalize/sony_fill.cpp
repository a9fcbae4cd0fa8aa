#include "normalize/normalize.hpp"

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
    return std::to_string(raw) + " (" + fixed(raw * 100.0 / 65535.0, 2) + " %)";
}

// Gives the first field with `id` a note when it has neither value nor note.
void note_if_empty(std::vector<Field>& fields, std::string_view id, std::string_view note) {
    for (Field& field : fields) {
        if (field.id != id) continue;
        if (!field.value && !field.note) field.note = std::string(note);
        return;
    }
}

} // namespace

Field dec(std::string_view id, std::string_view section, std::string_view value,
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

void fill_from_sony(std::vector<Field>& fields, const sony::Sony& sony) {
    const sony::Rtmd& r = sony.rtmd;
    const std::string_view origin = sony.origin;
    // Offers one decoded value, with an optional note.
    auto offer = [&](std::string_view id, std::string_view section, const std::string& value,
                     std::string_view label, Json raw,
                     std::optional<std::string_view> note = std::nullopt) {
        Field field = dec(id, section, value, label, std::move(raw), origin);
        if (note) field.note = std::string(*note);
        fill_merge(fields, std::move(field));
    };
    constexpr std::string_view first = "first_frame";

    if (sony.manufacturer)
        offer("make", "camera", *sony.manufacturer, "Device manufacturer",
              Json(*sony.manufacturer));
    if (sony.model_name)
        offer("camera_model", "camera", *sony.model_name, "Device modelName",
              Json(*sony.model_name));
    if (r.iris_fnumber)
        offer("aperture", "exposure", "f/" + trim_num(*r.iris_fnumber, 1), "rtmd 0x8000",
              Json(*r.iris_fnumber));
    if (r.shutter_time && r.shutter_time->first != 0 && r.shutter_time->second != 0) {
        const auto [numerator, denominator] = *r.shutter_time;
        offer("shutter", "exposure",
              fmt_shutter(static_cast<double>(numerator) / static_cast<double>(denominator)),
              "rtmd 0x8109", Json(std::to_string(numerator) + "/" + std::to_string(denominator)));
    }
    if (r.iso && *r.iso != 0)
        offer("iso", "exposure", "ISO " + std::to_string(*r.iso), "rtmd 0x810b", Json(*r.iso));
    if (r.focal_length && *r.focal_length > 0.0)
        offer("focal_length", "camera", trim_num(*r.focal_length, 1) + " mm", "rtmd 0x8005",
              Json(*r.focal_length), first);
    if (r.focal_length_35mm && *r.focal_length_35mm > 0.0)
        offer("focal_eq", "camera", trim_num(*r.focal_length_35mm, 1) + " mm", "rtmd 0x8004",
              Json(*r.focal_length_35mm), first);
    if (r.focus_distance && *r.focus_distance > 0.0)
        offer("focus_distance", "camera", trim_num(*r.focus_distance, 2) + " m", "rtmd 0x8001",
              Json(*r.focus_distance), first);
    if (r.af_area)
        offer("af_area", "camera", std::string(*r.af_area), "rtmd 0x8101",
              Json(std::string(*r.af_area)), first);
    if (sony.model_name)
        fill_merge(fields, unavailable("focus_mode", "camera", "sony_no_focusmode"));
    if (r.iris_fnumber)
        offer("iris_number", "acq", fixed(*r.iris_fnumber, 2), "rtmd 0x8000", Json(*r.iris_fnumber),
              first);
    if (r.shutter_angle)
        offer("shutter_angle", "acq", fixed(*r.shutter_angle, 2) + "\u00b0", "rtmd 0x8108",
              Json(*r.shutter_angle), first);
    if (r.gain_db)
        offer("gain_db", "acq", fixed(*r.gain_db, 2) + " dB", "rtmd 0x810a", Json(*r.gain_db),
              first);
    if (r.exposure_index)
        offer("exposure_index", "acq", std::to_string(*r.exposure_index), "rtmd 0x8115",
              Json(*r.exposure_index), first);
    if (r.focus_ring_raw)
        offer("focus_ring", "acq", ring_text(*r.focus_ring_raw), "rtmd 0x800a",
              Json(*r.focus_ring_raw), first);
    if (r.zoom_ring_raw)
        offer("zoom_ring", "acq", ring_text(*r.zoom_ring_raw), "rtmd 0x800b",
              Json(*r.zoom_ring_raw), first);
    if (r.sensor_width)
        offer("sensor_width", "acq", fixed(*r.sensor_width / 1000.0, 3) + " mm", "rtmd 0x8104",
              Json(*r.sensor_width), first);
    if (r.sensor_height)
        offer("sensor_height", "acq", fixed(*r.sensor_height / 1000.0, 3) + " mm", "rtmd 0x8105",
              Json(*r.sensor_height), first);
    if (r.extender)
        offer("extender", "acq", std::to_string(*r.extender) + " %", "rtmd 0x810c",
              Json(*r.extender), first);
    if (sony.recording_mode)
        offer("rec_mode", "acq", *sony.recording_mode, "RecordingMode type",
              Json(*sony.recording_mode));
    if (sony.cache_rec)
        offer("cache_rec", "acq", *sony.cache_rec ? "Yes" : "No", "RecordingMode cacheRec",
              Json(*sony.cache_rec));
    if (sony.coding_equations) {
        const std::string& text = *sony.coding_equations;
        const std::string shown = text == "rec709"    ? "Rec.709"
                                  : text == "rec2020" ? "Rec.2020"
                                                      : text;
        offer("coding_equations", "color", shown, "CodingEquations", Json(text));
    }
    if (r.ae_mode)
        offer("ae_mode", "exposure", std::string(*r.ae_mode), "rtmd 0x8100",
              Json(std::string(*r.ae_mode)), first);
    if (r.wb_mode) {
        const std::string label(*r.wb_mode);
        Field field = dec("wb_mode", "color", label == "Automatic" ? "Auto" : label, "rtmd 0x810d",
                          Json(label), origin);
        field.note = std::string(first);
        if (r.white_balance)
            field.alternates.push_back(SourceRef{"exiftool", "Sony rtmd", "0xe303 WhiteBalance",
                                                 white_balance_name(*r.white_balance),
                                                 Json(*r.white_balance), Kind::Decoded});
        fill_merge(fields, std::move(field));
    }
    if (sony.manufacturer || sony.model_name) {
        note_if_empty(fields, "lens", "sony_no_lens");
        note_if_empty(fields, "wb_temp", "sony_no_kelvin");
    }
    if (auto ltc = sony::ltc_text(sony))
        offer("timecode", "file", *ltc, "LtcChange (frame 0)", Json(*sony.ltc_start));
}

} // namespace normalize
