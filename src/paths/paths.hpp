// Lexical path operations on path bytes, component by component: repeated
// separators and interior "." components are not components, a leading "."
// of a relative path is. None of them touches the file system or fails.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace paths {

// Component kinds, in the order they sort.
enum class ComponentKind { Root, CurDir, ParentDir, Normal };

struct Component {
    ComponentKind kind = ComponentKind::Normal;
    std::string_view text;
};

// The components of `path`, in order; empty for the empty path.
std::vector<Component> components(std::string_view path);

// Component-wise comparison, each component by its bytes: <0, 0 or >0.
int compare(std::string_view a, std::string_view b);

// The final component when it is a normal name; absent for "/", "..", "." or "".
std::optional<std::string_view> file_name(std::string_view path);

// `path` without its final component, as a prefix of the original text (trailing
// separators and "." dropped); absent when `path` is a root or empty.
std::optional<std::string_view> parent(std::string_view path);

// The part of the file name after its last "." (not a leading one); absent when none.
std::optional<std::string_view> extension(std::string_view path);

// Whether the path has a ".." component.
bool has_parent_component(std::string_view path);

// `path` as an absolute path: `cwd` (itself absolute) joined in front when it is relative,
// then "." components dropped and each ".." removing the component before it (".." at the
// root stays at the root). Purely textual: links are not looked at.
std::string resolve(std::string_view path, std::string_view cwd);

} // namespace paths
