#include "motion/internal.hpp"

#include <algorithm>
#include <set>
#include <string_view>

#include "io/io.hpp"
#include "text/text.hpp"

namespace motion {

namespace {

constexpr std::size_t kMaxHints = 6;
constexpr const char* kGcsvKind = "Gyroflow CSV";
constexpr const char* kBlackboxKind = "Betaflight blackbox";

// What a project document says, gathered while it is parsed, without building the document:
// a project is allowed to be large, and only a few members matter.
struct ProjectScan {
    bool root_object = false;
    std::size_t depth = 0; // containers open
    std::set<std::string> keys;
    std::string top_key; // last key of the top-level object
    std::string sub_key; // last key of an object directly inside it
    bool has_videofile = false;
    bool offsets_filled = false;
    std::optional<std::string> camera_model;
    std::optional<std::string> lens_model;

    using Json = nlohmann::json;

    // The lens member a value at depth 2 belongs to, if any.
    std::optional<std::string>* lens_member() {
        if (depth != 2 || top_key != "calibration_data") return nullptr;
        if (sub_key == "camera_model") return &camera_model;
        if (sub_key == "lens_model") return &lens_model;
        return nullptr;
    }

    bool scalar() {
        // A non-string value replaces an earlier string of the same key.
        if (auto* member = lens_member()) member->reset();
        return true;
    }
    bool null() { return scalar(); }
    bool boolean(bool) { return scalar(); }
    bool number_integer(Json::number_integer_t) { return scalar(); }
    bool number_unsigned(Json::number_unsigned_t) { return scalar(); }
    bool number_float(Json::number_float_t, const Json::string_t&) { return scalar(); }
    bool binary(Json::binary_t&) { return scalar(); }
    bool string(Json::string_t& value) {
        if (auto* member = lens_member()) *member = value;
        return true;
    }
    bool open() {
        if (depth >= model::kMaxJsonDepth) return false; // unusable, like invalid JSON
        if (auto* member = lens_member()) member->reset();
        ++depth;
        return true;
    }
    bool start_object(std::size_t) {
        if (depth == 0) root_object = true;
        return open();
    }
    bool start_array(std::size_t) { return open(); }
    bool end_object() {
        --depth;
        return true;
    }
    bool end_array() {
        --depth;
        return true;
    }
    bool key(Json::string_t& name) {
        if (depth == 1) {
            // A repeated key replaces the earlier member, as in the parsed document.
            keys.insert(name);
            top_key = name;
            sub_key.clear();
            if (name == "videofile") has_videofile = true;
            if (name == "offsets") offsets_filled = false;
            if (name == "calibration_data") {
                camera_model.reset();
                lens_model.reset();
            }
        } else if (depth == 2) {
            sub_key = name;
            if (top_key == "offsets") offsets_filled = true;
        }
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const Json::exception&) { return false; }
};

bool non_blank(const std::optional<std::string>& value) {
    return value && !text::trim(*value).empty();
}

model::GyroProject read_project(const fs::path& path) {
    model::GyroProject project;
    project.path = text::path_text(path);
    auto content = io::read_regular(path, kMaxProjectBytes);
    if (!content || !text::is_utf8(*content)) return project;
    ProjectScan scan;
    bool parsed = false;
    try {
        parsed = nlohmann::json::sax_parse(content->begin(), content->end(), &scan);
    } catch (const std::exception&) {
        // Out of memory while collecting keys: treat like an unreadable file.
        parsed = false;
    }
    if (!parsed) return project;
    project.valid_json = true;
    if (!scan.root_object) return project;
    project.keys.assign(scan.keys.begin(), scan.keys.end());
    project.has_videofile = scan.has_videofile;
    project.has_sync = scan.offsets_filled;
    project.has_lens = non_blank(scan.camera_model) || non_blank(scan.lens_model);
    return project;
}

// The first project candidate that is a regular file: stem + ".gyroflow", then name + ".gyroflow".
std::optional<model::GyroProject> find_project(const fs::path& dir, const std::string& stem,
                                               const std::string& name) {
    for (const std::string& base : {stem, name}) {
        fs::path candidate = dir / (base + ".gyroflow");
        if (io::is_regular(candidate)) return read_project(candidate);
    }
    return std::nullopt;
}

// The companion kind of a file name, judged by its last extension in any case. As for paths,
// a leading dot alone does not start an extension.
const char* companion_kind(std::string_view name, std::size_t dot) {
    if (dot == std::string_view::npos || dot == 0) return nullptr;
    std::string_view ext = name.substr(dot + 1);
    if (text::ascii_iequal(ext, "gcsv")) return kGcsvKind;
    if (text::ascii_iequal(ext, "bbl") || text::ascii_iequal(ext, "bfl")) return kBlackboxKind;
    return nullptr;
}

// The companion candidates of `dir` in listing order; none when it cannot be listed. An error
// part-way keeps what was listed before it. Lists with readdir: a card folder holds thousands
// of entries, and only the few with a companion extension need more than their name.
DirListing list_folder(const fs::path& dir) {
    DirListing listing;
    io::for_each_entry(dir, [&](const io::DirEntry& entry) {
        const std::string_view name = entry.name();
        const std::size_t dot = name.rfind('.');
        const char* kind = companion_kind(name, dot);
        if (!kind) return;
        Companion found{std::string(name), std::string(name.substr(0, dot)), kind, entry.type()};
        listing.by_stem[found.stem].push_back(listing.companions.size());
        listing.companions.push_back(std::move(found));
    });
    return listing;
}

void add_hints(const std::vector<model::RawTag>& tags, model::Motion& out) {
    for (const auto& tag : tags) {
        std::string name = text::lower(tag.name);
        std::string group = text::lower(tag.group);
        std::string printed = text::lower(tag.printed.value_or(""));
        std::string evidence = tag.group + ":" + tag.name;
        const char* kind = nullptr;
        if (name == "metaformat" &&
            (printed == "gpmd" || printed == "djmd" || printed == "camm" || printed == "rtmd")) {
            kind = "stream";
            evidence += " = " + printed;
        } else if (group.starts_with("gopro") || group.starts_with("insta360")) {
            kind = "vendor group";
        } else if (name.find("gyro") != std::string::npos) {
            kind = "tag";
        }
        if (kind && out.embedded.size() < kMaxHints &&
            std::none_of(out.embedded.begin(), out.embedded.end(),
                         [&](const model::Embedded& e) { return e.evidence == evidence; }))
            out.embedded.push_back({"hint", evidence, kind});
        if (name.starts_with("accelerometer") &&
            std::find(out.notes.begin(), out.notes.end(), "accel_snapshot") == out.notes.end())
            out.notes.emplace_back("accel_snapshot");
    }
}

} // namespace

model::Motion detect(const fs::path& clip, const std::vector<model::RawTag>& tags,
                     DirCache& cache) {
    model::Motion out;
    fs::path dir = clip.parent_path();
    if (dir.empty()) dir = ".";
    const std::string name = clip.filename().native();
    const std::string stem = clip.filename().stem().native();

    out.project = find_project(dir, stem, name);

    auto found = cache.folders.find(dir.native());
    if (found == cache.folders.end())
        found = cache.folders.emplace(dir.native(), list_folder(dir)).first;
    const DirListing& listing = found->second;
    std::vector<std::size_t> matches;
    for (const std::string& key : {stem, name}) {
        auto hit = listing.by_stem.find(key);
        if (hit != listing.by_stem.end())
            matches.insert(matches.end(), hit->second.begin(), hit->second.end());
        if (stem == name) break;
    }
    std::sort(matches.begin(), matches.end());
    std::vector<const Companion*> gcsv;
    for (std::size_t index : matches) {
        const Companion& entry = listing.companions[index];
        fs::path path = dir / entry.name;
        out.external.push_back({entry.kind, text::path_text(path)});
        // Folders and special files never hold a log; parse_gcsv would refuse them anyway.
        if (entry.kind == kGcsvKind && entry.type != EntryType::Directory &&
            entry.type != EntryType::Other)
            gcsv.push_back(&entry);
    }

    add_hints(tags, out);

    for (const Companion* entry : gcsv) {
        out.gyro = parse_gcsv(dir / entry->name);
        if (out.gyro) break;
    }

    const auto& p = out.project;
    out.ready = out.gyro && p && p->valid_json && p->has_videofile && p->has_sync && p->has_lens;
    if (out.gyro && !out.ready) out.notes.emplace_back("gyro_needs_project");
    if (out.embedded.empty() && out.external.empty() && !out.project)
        out.notes.emplace_back("none_detected");
    return out;
}

model::Motion detect(const fs::path& clip, const std::vector<model::RawTag>& tags) {
    DirCache fresh;
    return detect(clip, tags, fresh);
}

} // namespace motion
