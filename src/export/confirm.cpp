// The user's confirmations of gamma curve and colour gamut.
#include "export/internal.hpp"

namespace export_ {

namespace {

void confirm_field(model::Clip& clip, std::string_view id, const std::string& value) {
    model::Field* field = model::find_field(clip.fields, id);
    if (!field) return;
    if (field->primary) field->alternates.insert(field->alternates.begin(), *field->primary);
    model::SourceRef user;
    user.source = "user";
    user.tag = std::string(id);
    user.raw = value;
    user.kind = model::Kind::User;
    field->primary = std::move(user);
    field->value = value;
    field->status = model::Status::Confirmed;
    field->note = "user_confirmed";
}

std::optional<std::string> string_member(const nlohmann::json& entry, const char* key) {
    auto it = entry.find(key);
    if (it == entry.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

} // namespace

void apply_confirmation(model::Clip& clip, const std::optional<std::string>& curve,
                        const std::optional<std::string>& gamut) {
    if (curve) confirm_field(clip, "curve", *curve);
    if (gamut) confirm_field(clip, "gamut", *gamut);
}

void apply_confirmations(std::vector<model::Clip>& clips, const nlohmann::json& confirmations) {
    if (!confirmations.is_object()) return;
    for (auto& clip : clips) {
        auto it = confirmations.find(clip.path);
        if (it == confirmations.end() || !it->is_object()) continue;
        apply_confirmation(clip, string_member(*it, "curve"), string_member(*it, "gamut"));
    }
}

} // namespace export_
