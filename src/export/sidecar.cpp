// Sidecar documents, their location and the safe write through a temporary file.
#include <cerrno>
#include <charconv>

#include "export/internal.hpp"
#include "io/io.hpp"
#include "json_writer/json_writer.hpp"
#include "paths/paths.hpp"
#include "text/text.hpp"

namespace export_ {

namespace {

using model::Json;

constexpr std::string_view kSidecarSuffix = ".zun-metadata.json";
constexpr std::string_view kSchema = "zun-metadata/1";
constexpr std::string_view kSchemaPrefix = "zun-metadata/";
// An existing file larger than this is not read back; it cannot be one of our sidecars.
constexpr std::uintmax_t kMaxExistingSize = std::uintmax_t{64} << 20;

std::string decimal_text(model::u128 value) {
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(value % 10)));
        value /= 10;
    } while (value != 0);
    return digits;
}

// What stands at the sidecar path.
enum class Existing {
    Proceed, // nothing, a directory, or a path that cannot be inspected: later steps decide
    Own,     // one of our sidecars
    Foreign, // anything else: left alone
};

bool is_own_sidecar(const std::string& bytes) {
    auto parsed = model::parse_json(bytes);
    const Json* doc = std::get_if<Json>(&parsed);
    if (!doc || !doc->is_object()) return false;
    auto it = doc->find("schema");
    if (it == doc->end() || !it->is_string()) return false;
    const auto& value = it->get_ref<const std::string&>();
    return value.size() >= 13 && value.starts_with(kSchemaPrefix);
}

Existing inspect(const fs::path& path) {
    auto st = io::status(path, io::Follow::NoLinks);
    if (!st) return Existing::Proceed;
    if (st->type == io::EntryType::Symlink) st = io::status(path, io::Follow::Links);
    if (!st) return Existing::Foreign; // a dangling or looping link is not ours to replace
    if (st->type == io::EntryType::Directory) return Existing::Proceed;
    if (st->type != io::EntryType::Regular) return Existing::Foreign; // FIFOs, sockets, devices
    auto bytes = io::read_regular(path, kMaxExistingSize);
    if (!bytes || !text::is_utf8(*bytes)) return Existing::Foreign;
    return is_own_sidecar(*bytes) ? Existing::Own : Existing::Foreign;
}

void append_escaped(std::string& out, std::string_view text) {
    for (char32_t cp : text::code_points(text)) {
        switch (cp) {
        case U'"':
            out += "\\\"";
            break;
        case U'\\':
            out += "\\\\";
            break;
        case U'\n':
            out += "\\n";
            break;
        case U'\r':
            out += "\\r";
            break;
        case U'\t':
            out += "\\t";
            break;
        default:
            if (cp < 0x20 || cp == 0x7f) {
                char buf[8];
                auto [end, ec] =
                    std::to_chars(buf, buf + sizeof buf, static_cast<unsigned>(cp), 16);
                (void)ec;
                out += "\\u{";
                out.append(buf, end);
                out += '}';
            } else {
                text::append_utf8(out, cp);
            }
        }
    }
}

// Whether a tag is kept in a shared sidecar (serials, paths, owners and GPS data are not).
bool keep_when_shared(const model::RawTag& tag) {
    const std::string name = text::lower(tag.name);
    for (std::string_view word : {"serial", "filepath", "gps", "owner", "userid"})
        if (name.find(word) != std::string::npos) return false;
    if (name == "sourcefile" || name == "directory") return false;
    return text::lower(tag.group).find("gps") == std::string::npos;
}

} // namespace

Json sidecar_json(const model::Clip& clip, std::string_view exiftool_version, Share share) {
    Json fields = Json::array();
    for (const auto& field : clip.fields)
        fields.push_back(model::to_json(field));
    Json tags = Json::array();
    for (const auto& tag : clip.tags)
        if (share == Share::No || keep_when_shared(tag)) tags.push_back(model::to_json(tag));
    Json readers = Json::array();
    for (const auto& reader : clip.readers)
        readers.push_back(reader);

    Json source = Json::object();
    if (share == Share::No) source["dir"] = clip.dir;
    source["mtime_ns"] = decimal_text(clip.mtime_ns);
    source["name"] = clip.name;
    source["size"] = clip.size;

    Json doc = Json::object();
    doc["fields"] = std::move(fields);
    doc["generator"] = {{"app", "ZUN Metadata"},
                        {"exiftool", std::string(exiftool_version)},
                        {"version", std::string(model::kCoreVersion)}};
    doc["readers"] = std::move(readers);
    doc["schema"] = std::string(kSchema);
    doc["share"] = share == Share::Yes;
    doc["source"] = std::move(source);
    doc["tags"] = std::move(tags);
    return doc;
}

namespace {

// Whether `path` begins with `prefix`, compared component by component.
bool begins_with(const fs::path& path, const fs::path& prefix) {
    auto p = path.begin();
    for (auto it = prefix.begin(); it != prefix.end(); ++it, ++p)
        if (p == path.end() || *p != *it) return false;
    return true;
}

// The directory bytes of the clip's own path; empty when it has none.
std::string own_dir(const model::Clip& clip) {
    return std::string(paths::parent(clip.path_bytes).value_or(""));
}

// The clip directory in the mirror's form.
fs::path mirror_form(const std::string& dir, const Mirror& mirror) {
    return fs::path(mirror.form == DirForm::Resolved ? paths::resolve(dir, mirror.cwd) : dir);
}

} // namespace

Mirror mirror_for(const std::vector<model::Clip>& clips, const fs::path& out_dir, std::string cwd) {
    Mirror mirror{out_dir, {}, DirForm::AsGiven, std::move(cwd)};
    bool absolute = false;
    bool relative = false;
    bool parent_steps = false;
    for (const auto& clip : clips) {
        const std::string dir = own_dir(clip);
        (!dir.empty() && dir[0] == '/' ? absolute : relative) = true;
        parent_steps = parent_steps || paths::has_parent_component(dir);
    }
    // Directories as given are mirrored safely only when they are all of one kind and never
    // step up: otherwise ".." or a mix of roots could leave the output directory or map two
    // directories onto one.
    if (parent_steps || (absolute && relative)) mirror.form = DirForm::Resolved;
    std::vector<fs::path> dirs;
    dirs.reserve(clips.size());
    for (const auto& clip : clips)
        dirs.push_back(mirror_form(own_dir(clip), mirror));
    mirror.root = common_ancestor(dirs);
    return mirror;
}

std::optional<fs::path> sidecar_path(const model::Clip& clip, const std::optional<Mirror>& mirror) {
    const std::optional<std::string_view> name = paths::file_name(clip.path_bytes);
    if (!name) return std::nullopt;
    std::string file(*name);
    file += kSidecarSuffix;
    if (!mirror) return fs::path(own_dir(clip)) / file;

    const fs::path dir = mirror_form(own_dir(clip), *mirror);
    fs::path mirrored;
    if (begins_with(dir, mirror->root)) {
        auto it = dir.begin();
        for (auto r = mirror->root.begin(); r != mirror->root.end(); ++r)
            ++it;
        for (; it != dir.end(); ++it) {
            // A root left in the mirrored part (clips sharing no root) would make the join
            // jump out of the output directory.
            if (it->empty() || *it == dir.root_directory() || *it == dir.root_name()) continue;
            mirrored /= *it;
        }
    }
    return mirror->out_dir / mirrored / file;
}

fs::path common_ancestor(const std::vector<fs::path>& dirs) {
    if (dirs.empty()) return {};
    fs::path root = dirs.front();
    for (std::size_t i = 1; i < dirs.size(); ++i) {
        while (!begins_with(dirs[i], root)) {
            fs::path parent = root.parent_path();
            if (parent == root) break;
            root = std::move(parent);
        }
    }
    return root;
}

WriteResult write_sidecar(const model::Clip& clip, const std::optional<Mirror>& mirror,
                          std::string_view exiftool_version, Share share) {
    const std::optional<fs::path> located = sidecar_path(clip, mirror);
    if (!located) return Error{"clip has no file name"};
    const fs::path& target = *located;

    switch (inspect(target)) {
    case Existing::Foreign:
        return RefusedForeign{target};
    case Existing::Own:
    case Existing::Proceed:
        break;
    }

    const fs::path parent = target.parent_path();
    if (!parent.empty())
        if (io::Status failed = io::create_directories(parent))
            return Error{io::error_text(*failed)};

    const std::string text = json_writer::pretty(sidecar_json(clip, exiftool_version, share));

    if (io::Status failed = io::replace_file(target, text, std::nullopt))
        return Error{io::error_text(*failed)};
    return Written{target};
}

std::string result_text(const WriteResult& result) {
    std::string out;
    auto quoted = [&](const char* variant, std::string_view value) {
        out += variant;
        out += "(\"";
        append_escaped(out, value);
        out += "\")";
    };
    if (const auto* w = std::get_if<Written>(&result))
        quoted("Written", text::path_text(w->path));
    else if (const auto* r = std::get_if<RefusedForeign>(&result))
        quoted("RefusedForeign", text::path_text(r->path));
    else
        quoted("Error", text::lossy(std::get<Error>(result).message));
    return out;
}

} // namespace export_
