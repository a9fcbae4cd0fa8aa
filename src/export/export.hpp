// Export and interchange of clips already read: sidecar files, the grading-application CSV
// and its plan, and the user's confirmations of curve and gamut.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

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
// resolved against `cwd`; the root is their deepest common ancestor. Never fails.
Mirror mirror_for(const std::vector<model::Clip>& clips, const fs::path& out_dir, std::string cwd);

// Writes the clip's sidecar through a synced temporary file and a rename. Refuses when a
// foreign file stands at the sidecar path; reports file-system failures as `Error`.
WriteResult write_sidecar(const model::Clip& clip, const std::optional<Mirror>& mirror,
                          std::string_view exiftool_version, Share share);

// The printed form of a result: Written("/a/b.zun-metadata.json") and so on. Never fails.
std::string result_text(const WriteResult& result);

// ---- Grading-application CSV ----

// The whole CSV file (UTF-16LE with byte-order mark, CR LF records) for the clips. Touches no
// file; never fails.
std::string resolve_csv(const std::vector<model::Clip>& clips);

struct UniqueCsv {
    std::string bytes;
    std::vector<std::string> excluded; // path texts of clips left out as ambiguous
};

// The CSV of the clips whose file name is unambiguous, and the paths of the ambiguous ones.
UniqueCsv resolve_csv_unique(const std::vector<model::Clip>& clips);

// Touches no file; never fails.
// Writes the CSV `bytes` of `clips` to the file `out`; the error text of a failure, absent on
// success. A regular file or a path where nothing stands is replaced through a temporary file
// and a rename (beside the link's target when `out` is a symbolic link), so a failed write
// leaves the previous CSV whole. Anything else (a FIFO, a device, the file behind our own
// standard output or error) is written in place. Refused, touching nothing, when `out` is one
// of the clips' media files.
std::optional<std::string> write_csv(const std::string& out, std::string_view bytes,
                                     const std::vector<model::Clip>& clips);

// ---- Confirmations ----

// Applies the confirmation document (an object keyed by clip path) to every clip;
// anything of the wrong shape is ignored.
void apply_confirmations(std::vector<model::Clip>& clips, const nlohmann::json& confirmations);

// ---- Resolve plan ----

// The plan object of one clip: its path, the CSV's values and the input colour space (null
// unless its curve and gamut are confirmed or read by a maker reader and form a known pair).
// Never fails.
model::Json plan_json(const model::Clip& clip);

} // namespace export_
