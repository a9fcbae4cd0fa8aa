#include "model/model.hpp"

#include <limits>

namespace model {

namespace {

template <typename T> Json optional_json(const std::optional<T>& value) {
    return value ? Json(to_json(*value)) : Json(nullptr);
}

Json optional_text(const std::optional<std::string>& value) {
    return value ? Json(*value) : Json(nullptr);
}

template <typename T> Json list_json(const std::vector<T>& items) {
    Json out = Json::array();
    for (const auto& item : items)
        out.push_back(to_json(item));
    return out;
}

Json text_list(const std::vector<std::string>& items) {
    Json out = Json::array();
    for (const auto& item : items)
        out.push_back(item);
    return out;
}

} // namespace

const char* kind_text(Kind kind) {
    switch (kind) {
    case Kind::Declared:
        return "declared";
    case Kind::Container:
        return "container";
    case Kind::Computed:
        return "computed";
    case Kind::Decoded:
        return "decoded";
    case Kind::User:
        return "user";
    case Kind::Resolve:
        return "resolve";
    case Kind::Sidecar:
        return "sidecar";
    }
    return "declared";
}

const char* status_text(Status status) {
    switch (status) {
    case Status::Found:
        return "found";
    case Status::Unavailable:
        return "unavailable";
    case Status::SourcesDiffer:
        return "sources_differ";
    case Status::Computed:
        return "computed";
    case Status::Confirmed:
        return "confirmed";
    }
    return "unavailable";
}

std::optional<Kind> kind_from_text(std::string_view text) {
    for (Kind k : {Kind::Declared, Kind::Container, Kind::Computed, Kind::Decoded, Kind::User,
                   Kind::Resolve, Kind::Sidecar})
        if (text == kind_text(k)) return k;
    return std::nullopt;
}

std::optional<Status> status_from_text(std::string_view text) {
    for (Status s : {Status::Found, Status::Unavailable, Status::SourcesDiffer, Status::Computed,
                     Status::Confirmed})
        if (text == status_text(s)) return s;
    return std::nullopt;
}

Json u128_json(u128 value) {
    constexpr auto max = std::numeric_limits<std::uint64_t>::max();
    return Json(static_cast<std::uint64_t>(value > max ? max : value));
}

Json to_json(const SourceRef& ref) {
    Json out = Json::object();
    out["group"] = ref.group;
    out["kind"] = kind_text(ref.kind);
    out["printed"] = optional_text(ref.printed);
    out["raw"] = ref.raw;
    out["source"] = ref.source;
    out["tag"] = ref.tag;
    return out;
}

Json to_json(const Field& field) {
    Json out = Json::object();
    out["alternates"] = list_json(field.alternates);
    out["id"] = field.id;
    out["note"] = optional_text(field.note);
    out["primary"] = optional_json(field.primary);
    out["section"] = field.section;
    out["status"] = status_text(field.status);
    out["value"] = optional_text(field.value);
    return out;
}

Json to_json(const RawTag& tag) {
    Json out = Json::object();
    out["group"] = tag.group;
    out["name"] = tag.name;
    out["printed"] = optional_text(tag.printed);
    out["raw"] = tag.raw;
    return out;
}

Json to_json(const Embedded& hint) {
    Json out = Json::object();
    out["confidence"] = hint.confidence;
    out["evidence"] = hint.evidence;
    out["kind"] = hint.kind;
    return out;
}

Json to_json(const External& file) {
    Json out = Json::object();
    out["kind"] = file.kind;
    out["path"] = file.path;
    return out;
}

Json to_json(const GyroProject& project) {
    Json out = Json::object();
    out["has_lens"] = project.has_lens;
    out["has_sync"] = project.has_sync;
    out["has_videofile"] = project.has_videofile;
    out["keys"] = text_list(project.keys);
    out["path"] = project.path;
    out["valid_json"] = project.valid_json;
    return out;
}

Json to_json(const GyroLog& log) {
    Json out = Json::object();
    out["duration_s"] = log.duration_s;
    out["kind"] = log.kind;
    out["path"] = log.path;
    out["rate_hz"] = log.rate_hz;
    out["samples"] = log.samples;
    out["vendor"] = log.vendor;
    return out;
}

Json to_json(const Motion& motion) {
    Json out = Json::object();
    out["embedded"] = list_json(motion.embedded);
    out["external"] = list_json(motion.external);
    out["gyro"] = optional_json(motion.gyro);
    out["notes"] = text_list(motion.notes);
    out["project"] = optional_json(motion.project);
    out["ready"] = motion.ready;
    return out;
}

Json to_json(const Clip& clip) {
    Json out = Json::object();
    out["dir"] = clip.dir;
    out["error"] = optional_text(clip.error);
    out["ext"] = clip.ext;
    out["fields"] = list_json(clip.fields);
    out["motion"] = optional_json(clip.motion);
    out["mtime_ns"] = u128_json(clip.mtime_ns);
    out["name"] = clip.name;
    out["ok"] = clip.ok;
    out["path"] = clip.path;
    out["readers"] = text_list(clip.readers);
    out["scan_ms"] = u128_json(clip.scan_ms);
    out["size"] = clip.size;
    out["tags"] = list_json(clip.tags);
    return out;
}

} // namespace model
