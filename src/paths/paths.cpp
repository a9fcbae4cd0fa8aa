#include "paths/internal.hpp"

#include <algorithm>

namespace paths {

namespace {

// Length of the part before the body: a root separator and a leading "." of a relative path.
std::size_t prefix_length(std::string_view path, bool& root, bool& cur_dir) {
    root = !path.empty() && path[0] == '/';
    cur_dir = !root && !path.empty() && path[0] == '.' && (path.size() == 1 || path[1] == '/');
    return (root || cur_dir) ? 1 : 0;
}

bool is_body_component(std::string_view part) {
    return !part.empty() && part != ".";
}

} // namespace

std::vector<Component> components(std::string_view path) {
    std::vector<Component> out;
    bool root, cur_dir;
    std::size_t pos = prefix_length(path, root, cur_dir);
    if (root) out.push_back({ComponentKind::Root, path.substr(0, 1)});
    if (cur_dir) out.push_back({ComponentKind::CurDir, path.substr(0, 1)});
    while (pos <= path.size()) {
        std::size_t end = path.find('/', pos);
        if (end == std::string_view::npos) end = path.size();
        std::string_view part = path.substr(pos, end - pos);
        if (is_body_component(part))
            out.push_back({part == ".." ? ComponentKind::ParentDir : ComponentKind::Normal, part});
        pos = end + 1;
    }
    return out;
}

int compare(std::string_view a, std::string_view b) {
    auto ca = components(a);
    auto cb = components(b);
    std::size_t n = std::min(ca.size(), cb.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (ca[i].kind != cb[i].kind) return ca[i].kind < cb[i].kind ? -1 : 1;
        int c = ca[i].text.compare(cb[i].text);
        if (c != 0) return c < 0 ? -1 : 1;
    }
    if (ca.size() == cb.size()) return 0;
    return ca.size() < cb.size() ? -1 : 1;
}

namespace {

// End of `path` once trailing separators and "." components of the body are dropped.
std::size_t trimmed_end(std::string_view path, std::size_t body_start) {
    std::size_t end = path.size();
    while (end > body_start) {
        std::size_t sep = path.rfind('/', end - 1);
        std::size_t start =
            (sep == std::string_view::npos || sep < body_start) ? body_start : sep + 1;
        std::string_view part = path.substr(start, end - start);
        if (is_body_component(part)) break;
        // Drop the empty or "." part and the separator before it.
        end = start > body_start ? start - 1 : body_start;
    }
    return end;
}

} // namespace

std::optional<std::string_view> file_name(std::string_view path) {
    auto comps = components(path);
    if (comps.empty() || comps.back().kind != ComponentKind::Normal) return std::nullopt;
    return comps.back().text;
}

std::optional<std::string_view> parent(std::string_view path) {
    bool root, cur_dir;
    std::size_t body_start = prefix_length(path, root, cur_dir);
    std::size_t end = trimmed_end(path, body_start);
    if (end > body_start) {
        // Drop the last component and one separator, then trim again.
        std::size_t sep = path.rfind('/', end - 1);
        std::size_t cut = (sep == std::string_view::npos || sep < body_start) ? body_start : sep;
        return path.substr(0, trimmed_end(path.substr(0, cut), body_start));
    }
    if (cur_dir) return path.substr(0, 0);
    return std::nullopt;
}

namespace {

// Splits a file name at its last dot: (stem, extension).
std::pair<std::string_view, std::optional<std::string_view>> split_name(std::string_view name) {
    if (name == "..") return {name, std::nullopt};
    std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return {name, std::nullopt};
    return {name.substr(0, dot), name.substr(dot + 1)};
}

} // namespace

std::optional<std::string_view> extension(std::string_view path) {
    auto name = file_name(path);
    if (!name) return std::nullopt;
    return split_name(*name).second;
}

std::optional<std::string_view> stem(std::string_view path) {
    auto name = file_name(path);
    if (!name) return std::nullopt;
    return split_name(*name).first;
}

bool has_parent_component(std::string_view path) {
    for (const Component& c : components(path))
        if (c.kind == ComponentKind::ParentDir) return true;
    return false;
}

std::string resolve(std::string_view path, std::string_view cwd) {
    std::vector<std::string_view> names;
    auto take = [&](std::string_view p) {
        for (const Component& c : components(p)) {
            if (c.kind == ComponentKind::ParentDir) {
                if (!names.empty()) names.pop_back();
            } else if (c.kind == ComponentKind::Normal) {
                names.push_back(c.text);
            }
        }
    };
    if (path.empty() || path[0] != '/') take(cwd);
    take(path);
    std::string out;
    for (std::string_view name : names) {
        out += '/';
        out += name;
    }
    return out.empty() ? "/" : out;
}

} // namespace paths
