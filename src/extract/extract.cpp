// Events and sidecars for the copies of one clip.
#include "extract/internal.hpp"
#include "io/io.hpp"
#include "paths/paths.hpp"
#include "text/text.hpp"

namespace extract {

namespace {

using model::Json;

bool has_metadata(const model::Clip& clip) {
    for (const auto& field : clip.fields)
        if (field.id != "file_size" && field.value && field.status != model::Status::Unavailable)
            return true;
    return false;
}

// Compared component by component, as discovery compares paths: repeated separators, "."
// components inside the path and a trailing separator do not count.
bool is_kept(const fs::path& copy, const std::vector<fs::path>& keep) {
    for (const auto& path : keep)
        if (paths::compare(path.native(), copy.native()) == 0) return true;
    return false;
}

Json optional_text(const std::optional<std::string>& value) {
    return value ? Json(*value) : Json(nullptr);
}

Json sidecar_event(const fs::path& copy, const char* result, Json sidecar, Json error) {
    Json event = Json::object();
    event["clip"] = text::path_text(copy);
    event["error"] = std::move(error);
    event["event"] = "sidecar";
    event["result"] = result;
    event["sidecar"] = std::move(sidecar);
    return event;
}

} // namespace

std::string verdict(const model::Clip& clip) {
    if (!has_metadata(clip)) return "no_metadata";
    if (clip.ok) return "found";
    if (!clip.readers.empty()) return "partial";
    return "no_metadata";
}

Json field_summary(const std::vector<model::Field>& fields) {
    Json out = Json::array();
    for (const auto& field : fields) {
        if (!field.value && field.status == model::Status::Unavailable) continue;
        Json item = Json::object();
        item["id"] = field.id;
        item["kind"] = field.primary ? Json(model::kind_text(field.primary->kind)) : Json(nullptr);
        item["note"] = optional_text(field.note);
        item["source"] = field.primary ? Json(field.primary->source) : Json(nullptr);
        item["status"] = model::status_text(field.status);
        item["value"] = optional_text(field.value);
        out.push_back(std::move(item));
    }
    return out;
}

model::Clip copy_clip(const model::Clip& clip, const fs::path& copy) {
    model::Clip out = clip;
    const std::string& bytes = copy.native();
    out.path_bytes = bytes;
    out.path = text::lossy(bytes);
    out.dir = text::lossy(paths::parent(bytes).value_or(""));
    out.name = text::lossy(paths::file_name(bytes).value_or(""));
    if (auto st = io::status(copy, io::Follow::Links)) {
        out.size = st->size;
        if (auto ns = model::epoch_ns(st->mtime_sec, st->mtime_nsec)) out.mtime_ns = *ns;
    }
    return out;
}

std::vector<Json> write_sidecars(const model::Clip& clip, const std::vector<fs::path>& copies,
                                 const std::vector<fs::path>& keep,
                                 std::string_view exiftool_version, export_::Share share) {
    std::vector<Json> events;
    const std::string clip_verdict = verdict(clip);
    Json readers = Json::array();
    for (const auto& reader : clip.readers)
        readers.push_back(reader);
    Json event = Json::object();
    event["error"] = optional_text(clip.error);
    event["event"] = "clip";
    event["exiftool"] = std::string(exiftool_version);
    event["fields"] = field_summary(clip.fields);
    event["name"] = clip.name;
    event["path"] = clip.path;
    event["readers"] = std::move(readers);
    event["verdict"] = clip_verdict;
    events.push_back(std::move(event));
    if (clip_verdict == "no_metadata") return events;

    for (const auto& copy : copies) {
        if (is_kept(copy, keep)) {
            events.push_back(sidecar_event(copy, "kept_copied", nullptr, nullptr));
            continue;
        }
        const model::Clip target = copy_clip(clip, copy);
        const auto result = export_::write_sidecar(target, std::nullopt, exiftool_version, share);
        if (const auto* w = std::get_if<export_::Written>(&result))
            events.push_back(sidecar_event(copy, "written", text::path_text(w->path), nullptr));
        else if (const auto* r = std::get_if<export_::RefusedForeign>(&result))
            events.push_back(
                sidecar_event(copy, "refused_foreign", text::path_text(r->path), nullptr));
        else
            events.push_back(sidecar_event(copy, "error", nullptr,
                                           text::lossy(std::get<export_::Error>(result).message)));
    }
    return events;
}

} // namespace extract
