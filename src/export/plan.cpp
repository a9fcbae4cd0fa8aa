// What the grading-application CSV would carry per clip, with its input colour space.
#include "export/internal.hpp"

namespace export_ {

namespace {

// Confirmed by the user, or found by one of the maker metadata readers.
bool trustworthy(const model::Field& field) {
    if (field.status == model::Status::Confirmed) return true;
    return field.status == model::Status::Found && field.primary &&
           (field.primary->source == "zun-sony" || field.primary->source == "zun-cndm");
}

std::optional<std::string> input_space(const std::string& gamut, const std::string& curve) {
    if (gamut == "S-Gamut" && curve == "S-Log2") return "S-Gamut/S-Log2";
    if ((gamut == "S-Gamut3" || gamut == "S-Gamut3.Cine") && curve == "S-Log3")
        return gamut + "/S-Log3";
    if (gamut == "V-Gamut" && curve == "V-Log") return "Panasonic V-Gamut/V-Log";
    if (gamut == "Cinema Gamut" && (curve == "Canon Log 2" || curve == "Canon Log 3"))
        return "Canon Cinema Gamut/" + curve;
    return std::nullopt;
}

} // namespace

std::optional<std::pair<std::string, std::string>> resolve_input_space(const model::Clip& clip) {
    const model::Field* curve = model::find_field(clip.fields, "curve");
    const model::Field* gamut = model::find_field(clip.fields, "gamut");
    if (!curve || !gamut || !trustworthy(*curve) || !trustworthy(*gamut)) return std::nullopt;
    if (!curve->value || !gamut->value) return std::nullopt;
    auto name = input_space(*gamut->value, *curve->value);
    if (!name) return std::nullopt;
    return std::pair(std::move(*name), *curve->value);
}

model::Json plan_json(const model::Clip& clip) {
    model::Json values = model::Json::array();
    for (const auto& [header, value] : resolve_values(clip))
        values.push_back(model::Json::array({header, value}));
    model::Json input = nullptr;
    if (auto space = resolve_input_space(clip))
        input = {{"curve", space->second}, {"value", space->first}};
    model::Json plan = model::Json::object();
    plan["dir"] = clip.dir;
    plan["input"] = std::move(input);
    plan["name"] = clip.name;
    plan["path"] = clip.path;
    plan["values"] = std::move(values);
    return plan;
}

} // namespace export_
