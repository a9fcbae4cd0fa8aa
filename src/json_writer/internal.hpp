// The number printer behind compact and pretty, for the writer's tests.
#pragma once

#include <string>

#include "json_writer/json_writer.hpp"

namespace json_writer {

// Shortest text that reads back to the same double, always with a point or an
// exponent: 2.8, 5.0, 0.00001, 1e-7, 1e16. Non-finite values give "null".
std::string number_text(double value);

} // namespace json_writer
