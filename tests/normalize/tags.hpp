// Shared by the field-engine tests: short names and a raw-tag maker.
#pragma once

#include <optional>
#include <string>

#include "normalize/normalize.hpp"

namespace {

using model::Field;
using model::Json;
using model::Kind;
using model::RawTag;
using model::Status;

// A raw tag as exiftool would report it; `printed` absent unless given.
inline RawTag t(std::string group, std::string name, Json raw,
                std::optional<std::string> printed = std::nullopt) {
    return RawTag{std::move(group), std::move(name), std::move(printed), std::move(raw)};
}

} // namespace
