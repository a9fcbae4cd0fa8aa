// Clips built in code and directory snapshots for the export tests.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include <sys/stat.h>

#include "model/model.hpp"
#include "support/support.hpp"

namespace fixtures {

namespace fs = std::filesystem;

inline model::SourceRef source(std::string name, std::string tag, std::string raw) {
    model::SourceRef ref;
    ref.source = std::move(name);
    ref.group = "Main";
    ref.tag = std::move(tag);
    ref.printed = raw;
    ref.raw = raw;
    ref.kind = model::Kind::Declared;
    return ref;
}

// A field with a value taken from `from` ("exiftool", "zun-sony", ...).
inline model::Field field(std::string id, std::optional<std::string> value,
                          model::Status status = model::Status::Found,
                          std::string from = "exiftool",
                          std::optional<std::string> note = std::nullopt) {
    model::Field f;
    f.id = id;
    f.section = "camera";
    f.value = value;
    f.status = status;
    f.note = std::move(note);
    if (value) f.primary = source(std::move(from), id, *value);
    return f;
}

// A scanned-looking clip for the media file at `file`.
inline model::Clip clip_at(const fs::path& file) {
    model::Clip clip;
    clip.path_bytes = file.string();
    clip.path = file.string();
    clip.dir = file.parent_path().string();
    clip.name = file.filename().string();
    clip.ext = file.extension().string().substr(file.has_extension() ? 1 : 0);
    clip.size = 1234;
    clip.mtime_ns = 1700000000123456789ULL;
    clip.ok = true;
    clip.fields.push_back(field("make", "Sony"));
    clip.readers = {"exiftool"};
    model::RawTag tag;
    tag.group = "QuickTime";
    tag.name = "Make";
    tag.printed = "Sony";
    tag.raw = "Sony";
    clip.tags.push_back(tag);
    return clip;
}

// Every entry below `root` (not following links) with its type and, for files, content.
inline std::map<std::string, std::string> snapshot(const fs::path& root) {
    std::map<std::string, std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        const fs::path& p = it->path();
        struct stat st {};
        if (::lstat(p.c_str(), &st) != 0) continue;
        std::string what;
        if (S_ISREG(st.st_mode) && st.st_size > (1 << 20))
            what = "large file:" + std::to_string(st.st_size);
        else if (S_ISREG(st.st_mode))
            what = "file:" + testing_support::read_file(p);
        else if (S_ISDIR(st.st_mode))
            what = "dir";
        else if (S_ISLNK(st.st_mode))
            what = "link:" + fs::read_symlink(p, ec).string();
        else
            what = "other:" + std::to_string(st.st_mode & S_IFMT);
        what += ":mode" + std::to_string(st.st_mode & 07777);
        out[fs::relative(p, root, ec).string()] = what;
    }
    return out;
}

// Entries that differ between two snapshots (added, removed or changed).
inline std::map<std::string, std::string> changed(const std::map<std::string, std::string>& before,
                                                  const std::map<std::string, std::string>& after) {
    std::map<std::string, std::string> diff;
    for (const auto& [path, what] : after) {
        auto it = before.find(path);
        if (it == before.end())
            diff[path] = "added";
        else if (it->second != what)
            diff[path] = "changed";
    }
    for (const auto& [path, what] : before)
        if (!after.count(path)) diff[path] = "removed";
    return diff;
}

} // namespace fixtures
