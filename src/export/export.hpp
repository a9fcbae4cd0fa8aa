// Export and interchange: sidecar files, the grading-application CSV and its
// plan, and the user's confirmations of curve and gamut.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/cli.hpp"
#include "exiftool/exiftool.hpp"
#include "model/model.hpp"

namespace export_ {

namespace fs = std::filesystem;

// Whether a sidecar is meant for sharing (no directory, no identifying tags).
enum class Share { No, Yes };

// ---- Sidecar files ----

// The sidecar now holds the new document.
struct Written {
    fs::path path;
};
// A file that is not one of our sidecars stands at the path; nothing was written.
struct RefusedForeign {
    fs::path path;
};
// A file-system error stopped the write.
struct Error {
    std::string message;
};
using WriteResult = std::variant<Written, RefusedForeign, Error>;

// The sidecar document of a clip. Touches no file.
model::Json sidecar_json(const model::Clip& clip, std::string_view exiftool_version, Share share);

// Whether a tag is kept in a shared sidecar (serials, paths, owners and GPS data are not).
bool keep_when_shared(const model::RawTag& tag);

// How clip directories are compared when they are mirrored under an output directory.
enum class DirForm {
    AsGiven,  // as the paths were given: all relative or all absolute, none with ".."
    Resolved, // made absolute against the working directory, "." and ".." resolved by text
};

// Where sidecars go under an output directory: each clip's directory (in `form`) below
// `root`, joined to `out_dir`. The mirrored part never carries a root or "..", so it stays
// inside `out_dir`, and clips in different directories never share a sidecar path.
struct Mirror {
    fs::path out_dir;
    fs::path root;
    DirForm form = DirForm::AsGiven;
    std::string cwd; // joined in front of relative directories in the resolved form
};

// The mirror of `clips` under `out_dir`: directories as given when that is safe, otherwise
// resolved against `cwd`; the root is their deepest common ancestor.
Mirror mirror_for(const std::vector<model::Clip>& clips, const fs::path& out_dir, std::string cwd);

// Where the clip's sidecar goes: beside the clip's own path bytes, or under the mirror.
// Absent when the clip's path has no file name.
std::optional<fs::path> sidecar_path(const model::Clip& clip, const std::optional<Mirror>& mirror);

// Writes the clip's sidecar through a synced temporary file and a rename. Refuses when a
// foreign file stands at the sidecar path; reports file-system failures as `Error`.
WriteResult write_sidecar(const model::Clip& clip, const std::optional<Mirror>& mirror,
                          std::string_view exiftool_version, Share share);

// The deepest directory that is a component-wise prefix of every directory; empty for none.
fs::path common_ancestor(const std::vector<fs::path>& dirs);

// Whether `path` begins with `prefix`, compared component by component.
bool begins_with(const fs::path& path, const fs::path& prefix);

// The printed form of a result: Written("/a/b.zun-metadata.json") and so on.
std::string result_text(const WriteResult& result);

// ---- Grading-application CSV ----

// (column header, value) pairs of one clip, for columns 3 to 10 in column order.
using ResolvedValues = std::vector<std::pair<std::string, std::string>>;

// The clip's values for the grading application; a column without a usable value is left out.
ResolvedValues resolve_values(const model::Clip& clip);

// The number part of a text: from the first ASCII digit, the run of digits and dots.
std::string leading_number(std::string_view text);

// A cell quoted for CSV when it holds a comma, a double quote, a line feed or a carriage return.
std::string quote_cell(std::string_view cell);

// The whole CSV file (UTF-16LE with byte-order mark, CR LF records) for the clips.
std::string resolve_csv(const std::vector<model::Clip>& clips);

struct UniqueCsv {
    std::string bytes;
    std::vector<std::string> excluded; // path texts of clips left out as ambiguous
};

// The CSV of the clips whose file name is unambiguous, and the paths of the ambiguous ones.
UniqueCsv resolve_csv_unique(const std::vector<model::Clip>& clips);

// UTF-8 text as UTF-16LE bytes preceded by the byte-order mark; ill-formed input becomes U+FFFD.
std::string utf16le_with_bom(std::string_view utf8);

// ---- Confirmations ----

// Overwrites the clip's "curve" and/or "gamut" field with a user-confirmed value.
void apply_confirmation(model::Clip& clip, const std::optional<std::string>& curve,
                        const std::optional<std::string>& gamut);

// Applies the confirmation document (an object keyed by clip path) to every clip;
// anything of the wrong shape is ignored.
void apply_confirmations(std::vector<model::Clip>& clips, const nlohmann::json& confirmations);

// ---- Resolve plan ----

// (input colour space name, curve value) when the clip's curve and gamut are trustworthy
// and form a known pair; absent otherwise.
std::optional<std::pair<std::string, std::string>> resolve_input_space(const model::Clip& clip);

// The plan object of one clip.
model::Json plan_json(const model::Clip& clip);

// ---- Commands ----

// `export`: one sidecar per scanned clip, one result line each. Returns the exit status (0).
int run_export(const cli::Options& options, const nlohmann::json& confirmations,
               exiftool::Session& session);

// `resolve-csv`: writes the CSV to the --out file and prints the summary. Returns 0, or 101
// (with a diagnostic on standard error) without --out or when the file cannot be written.
int run_resolve_csv(const cli::Options& options, const nlohmann::json& confirmations,
                    exiftool::Session& session);

// `resolve-plan`: prints one array of plan objects. Returns 0.
int run_resolve_plan(const cli::Options& options, const nlohmann::json& confirmations,
                     exiftool::Session& session);

} // namespace export_
