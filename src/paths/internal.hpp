// Path operations no other module needs, kept for the tests of the lexical rules.
#pragma once

#include <optional>
#include <string_view>

#include "paths/paths.hpp"

namespace paths {

// The file name without its extension; absent when there is no file name.
std::optional<std::string_view> stem(std::string_view path);

} // namespace paths
