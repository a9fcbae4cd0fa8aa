// What the MXF reader's own file shares with its tests.
#pragma once

#include <optional>

#include "mxf/mxf.hpp"

namespace mxf {

// The ISO/IEC 23091-2 code point of a colour primaries, transfer characteristic or coding
// equations label; absent for any other label.
std::optional<int> primaries_code(const Label& label);
std::optional<int> transfer_code(const Label& label);
std::optional<int> equations_code(const Label& label);

} // namespace mxf
