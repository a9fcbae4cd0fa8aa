// What the parts of the export library share and no other module sees: the pieces of a sidecar
// and its path, of the CSV, of a confirmation and of the plan.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "export/export.hpp"
#include "model/model.hpp"

namespace export_ {

// ---- Sidecar files ----

// The sidecar document of a clip. Touches no file; never fails.
model::Json sidecar_json(const model::Clip& clip, std::string_view exiftool_version, Share share);

// Where the clip's sidecar goes: beside the clip's own path bytes, or under the mirror.
// Absent when the clip's path has no file name.
std::optional<fs::path> sidecar_path(const model::Clip& clip, const std::optional<Mirror>& mirror);

// The deepest directory that is a component-wise prefix of every directory; empty for none.
fs::path common_ancestor(const std::vector<fs::path>& dirs);

// ---- Grading-application CSV ----

// (column header, value) pairs of one clip, for columns 3 to 10 in column order.
using ResolvedValues = std::vector<std::pair<std::string, std::string>>;

// The clip's values for the grading application; a column without a usable value is left out.
ResolvedValues resolve_values(const model::Clip& clip);

// The number part of a text: from the first ASCII digit, the run of digits and dots; empty
// when the text has no digit.
std::string leading_number(std::string_view text);

// A cell quoted for CSV when it holds a comma, a double quote, a line feed or a carriage return.
std::string quote_cell(std::string_view cell);

// UTF-8 text as UTF-16LE bytes preceded by the byte-order mark; ill-formed input becomes U+FFFD.
std::string utf16le_with_bom(std::string_view utf8);

// ---- Confirmations ----

// Overwrites the clip's "curve" and/or "gamut" field with a user-confirmed value; a field the
// clip does not have is left absent.
void apply_confirmation(model::Clip& clip, const std::optional<std::string>& curve,
                        const std::optional<std::string>& gamut);

// ---- Resolve plan ----

// (input colour space name, curve value) when the clip's curve and gamut are trustworthy
// and form a known pair; absent otherwise.
std::optional<std::pair<std::string, std::string>> resolve_input_space(const model::Clip& clip);

} // namespace export_
