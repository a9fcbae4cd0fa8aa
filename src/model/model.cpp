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

Field* find_field(std::vector<Field>& fields, std::string_view id) {
    for (Field& field : fields)
        if (field.id == id) return &field;
    return nullptr;
}

const Field* find_field(const std::vector<Field>& fields, std::string_view id) {
    for (const Field& field : fields)
        if (field.id == id) return &field;
    return nullptr;
}

std::optional<u128> epoch_ns(std::int64_t seconds, std::int64_t nanoseconds) {
    if (seconds < 0 || nanoseconds < 0) return std::nullopt;
    return static_cast<u128>(seconds) * 1'000'000'000u + static_cast<u128>(nanoseconds);
}

Json u128_json(u128 value) {
    constexpr auto kLargest = std::numeric_limits<std::uint64_t>::max();
    return Json(static_cast<std::uint64_t>(value > kLargest ? kLargest : value));
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

namespace model {

namespace {

// Builds the value from parser events without recursion, refusing nesting past the limit.
class DepthLimitedBuilder : public nlohmann::json_sax<Json> {
  public:
    Json root;
    std::string error;

    explicit DepthLimitedBuilder(std::optional<Omit> omit) : omit_(omit) {}

    bool null() override { return put(Json(nullptr)); }
    bool boolean(bool value) override { return put(Json(value)); }
    bool number_integer(number_integer_t value) override { return put(Json(value)); }
    bool number_unsigned(number_unsigned_t value) override { return put(Json(value)); }
    bool number_float(number_float_t value, const string_t&) override { return put(Json(value)); }
    bool string(string_t& value) override { return put(Json(std::move(value))); }
    bool binary(binary_t& value) override { return put(Json::binary(std::move(value))); }
    bool start_object(std::size_t) override { return open(Json::object()); }
    bool start_array(std::size_t) override { return open(Json::array()); }
    bool end_object() override { return close(); }
    bool end_array() override { return close(); }
    bool key(string_t& name) override {
        pending_key_ = std::move(name);
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const Json::exception& ex) override {
        error = ex.what();
        // Drop the library's "[json.exception.parse_error.101] " prefix.
        if (auto end = error.find("] "); !error.empty() && error[0] == '[' && end != error.npos)
            error.erase(0, end + 2);
        return false;
    }

  private:
    // Open arrays and objects, innermost last. Objects keep their members in nodes that do
    // not move, and an array only grows while it is innermost, so the pointers stay valid.
    std::vector<Json*> open_;
    std::string pending_key_;
    std::optional<Omit> omit_;

    Json* place(Json value) {
        if (open_.empty()) {
            root = std::move(value);
            return &root;
        }
        Json& parent = *open_.back();
        if (parent.is_array()) {
            parent.push_back(std::move(value));
            return &parent.back();
        }
        // A repeated key: the last one wins.
        auto& members = parent.get_ref<Json::object_t&>();
        return &members.insert_or_assign(std::move(pending_key_), std::move(value)).first->second;
    }
    bool put(Json value) {
        const bool omitted = omit_ && open_.size() == omit_->depth + 1 &&
                             open_.back()->is_object() && pending_key_ == omit_->key;
        if (!omitted) place(std::move(value));
        return true;
    }
    bool open(Json container) {
        if (open_.size() >= kMaxJsonDepth) {
            error = "nesting deeper than " + std::to_string(kMaxJsonDepth) + " levels";
            return false;
        }
        open_.push_back(place(std::move(container)));
        return true;
    }
    bool close() {
        open_.pop_back();
        return true;
    }
};

} // namespace

std::variant<Json, std::string> parse_json(std::string_view text, std::optional<Omit> omit) {
    DepthLimitedBuilder builder(omit);
    bool parsed = false;
    try {
        parsed = Json::sax_parse(text.begin(), text.end(), &builder);
    } catch (const std::exception& ex) {
        builder.error = ex.what(); // out of memory
    }
    if (!parsed) return builder.error.empty() ? std::string("invalid JSON") : builder.error;
    return std::move(builder.root);
}

} // namespace model
