// Media discovery: arguments in, sorted and de-duplicated media files out.
#include "scan/scan.hpp"

#include <algorithm>
#include <array>
#include <dirent.h>
#include <string_view>
#include <sys/stat.h>
#include <unordered_set>

#include "paths/paths.hpp"
#include "text/text.hpp"

namespace scan {

namespace {

constexpr std::array<std::string_view, 15> media_extensions = {
    "mov", "mp4", "m4v", "mxf", "r3d",  "crm",  "mts", "avi",
    "mkv", "ari", "mpg", "dng", "braw", "m2ts", "mpeg"};

bool stat_follow(const std::string& path, struct stat& st) {
    return ::stat(path.c_str(), &st) == 0;
}

bool is_regular_file(const std::string& path) {
    struct stat st;
    return stat_follow(path, st) && S_ISREG(st.st_mode);
}

bool sorts_before(const std::string& a, const std::string& b) {
    return paths::compare(a, b) < 0;
}

// `dir` joined with `name`, with one separator between them.
std::string join(const std::string& dir, std::string_view name) {
    std::string out = dir;
    if (!out.empty() && out.back() != '/') out += '/';
    out.append(name);
    return out;
}

// The sorted media files at or below `path`, as path bytes. Plain strings keep a large
// card's file list small (a std::filesystem::path also holds its parsed components).
std::vector<std::string> walk_texts(const std::string& path) {
    std::vector<std::string> result;
    if (is_regular_file(path)) {
        if (is_media(path)) result.push_back(path);
        return result;
    }
    std::vector<std::string> stack{path};
    while (!stack.empty()) {
        std::string dir = std::move(stack.back());
        stack.pop_back();
        DIR* handle = ::opendir(dir.c_str());
        if (!handle) continue;
        while (dirent* entry = ::readdir(handle)) {
            std::string_view name = entry->d_name;
            if (name == "." || name == "..") continue;
            // Hidden entries: neither collected nor entered.
            if (name[0] == '.') continue;
            std::string child = join(dir, name);
            unsigned char type = entry->d_type;
            if (type == DT_UNKNOWN) {
                struct stat st;
                if (::lstat(child.c_str(), &st) != 0) continue;
                type = S_ISDIR(st.st_mode)   ? DT_DIR
                       : S_ISLNK(st.st_mode) ? DT_LNK
                       : S_ISREG(st.st_mode) ? DT_REG
                                             : DT_UNKNOWN;
            }
            if (type == DT_DIR) {
                stack.push_back(std::move(child));
            } else if (type == DT_LNK) {
                if (is_regular_file(child) && is_media(child)) result.push_back(std::move(child));
            } else if (type == DT_REG) {
                if (is_media(child)) result.push_back(std::move(child));
            }
        }
        ::closedir(handle);
    }
    std::stable_sort(result.begin(), result.end(), sorts_before);
    return result;
}

// Key under which two spellings of one path (repeated separators, interior ".") meet.
std::string component_key(std::string_view path) {
    std::string key;
    for (const auto& c : paths::components(path)) {
        key += static_cast<char>('0' + static_cast<int>(c.kind));
        key.append(c.text);
        key += '\0';
    }
    return key;
}

} // namespace

bool is_media(const fs::path& path) {
    auto name = paths::file_name(path.native());
    if (!name) return false;
    if (text::is_utf8(*name) && !name->empty() && (*name)[0] == '.') return false;
    auto ext = paths::extension(path.native());
    if (!ext || !text::is_utf8(*ext)) return false;
    std::string lowered = text::lower(*ext);
    return std::find(media_extensions.begin(), media_extensions.end(), lowered) !=
           media_extensions.end();
}

std::vector<fs::path> walk(const fs::path& path) {
    std::vector<fs::path> result;
    for (auto& file : walk_texts(path.native()))
        result.emplace_back(std::move(file));
    return result;
}

Collected collect(const std::vector<std::string>& args) {
    Collected out;
    std::unordered_set<std::string> seen;
    for (const auto& arg : args) {
        std::vector<std::string> found = walk_texts(arg);
        struct stat st;
        if (!stat_follow(arg, st)) {
            out.rejected.push_back({text::lossy(arg), "missing"});
            continue;
        }
        if (found.empty()) {
            out.rejected.push_back(
                {text::lossy(arg), S_ISREG(st.st_mode) ? "unsupported_type" : "no_media"});
            continue;
        }
        for (auto& file : found)
            if (seen.insert(component_key(file)).second) out.media.push_back(std::move(file));
    }
    return out;
}

} // namespace scan
