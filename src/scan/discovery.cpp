// Media discovery: arguments in, sorted and de-duplicated media files out.
#include "scan/scan.hpp"

#include <algorithm>
#include <string_view>
#include <unordered_set>

#include "io/io.hpp"
#include "paths/paths.hpp"
#include "scan/internal.hpp"
#include "text/text.hpp"

namespace scan {

namespace {

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
    if (io::is_regular(path)) {
        if (is_media(path)) result.push_back(path);
        return result;
    }
    std::vector<std::string> stack{path};
    while (!stack.empty()) {
        const std::string dir = std::move(stack.back());
        stack.pop_back();
        io::for_each_entry(dir, [&](const io::DirEntry& entry) {
            const std::string_view name = entry.name();
            // Hidden entries: neither collected nor entered.
            if (name[0] == '.') return;
            std::string child = join(dir, name);
            switch (entry.type()) {
            case io::EntryType::Directory:
                stack.push_back(std::move(child));
                break;
            case io::EntryType::Symlink:
                if (io::is_regular(child) && is_media(child)) result.push_back(std::move(child));
                break;
            case io::EntryType::Regular:
                if (is_media(child)) result.push_back(std::move(child));
                break;
            default:
                break;
            }
        });
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
    return media_type(path).has_value();
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
        const auto st = io::status(arg, io::Follow::Links);
        if (!st) {
            out.rejected.push_back({text::lossy(arg), "missing"});
            continue;
        }
        if (found.empty()) {
            out.rejected.push_back({text::lossy(arg), st->type == io::EntryType::Regular
                                                          ? "unsupported_type"
                                                          : "no_media"});
            continue;
        }
        for (auto& file : found)
            if (seen.insert(component_key(file)).second) out.media.push_back(std::move(file));
    }
    return out;
}

} // namespace scan
