// The look-ups cli::parse is made of, for the command-line tests.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cli.hpp"

namespace cli {

// Arguments after the command word that are neither options nor option values. Never fails.
std::vector<std::string> positionals(const std::vector<std::string>& args);

// The argument after the first occurrence of `option`; absent when there is none
// or that occurrence is the last argument.
std::optional<std::string> value_of(const std::vector<std::string>& args, std::string_view option);

// The argument after every occurrence of `option` that has one, in order.
std::vector<std::string> values_of(const std::vector<std::string>& args, std::string_view option);

// Whether any argument equals `flag`.
bool has_flag(const std::vector<std::string>& args, std::string_view flag);

} // namespace cli
