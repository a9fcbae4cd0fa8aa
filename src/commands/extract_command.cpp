// The extract command: the clip of the first positional goes to the extract library.
#include "commands/internal.hpp"
#include "export/export.hpp"
#include "extract/extract.hpp"
#include "io/io.hpp"
#include "text/text.hpp"

namespace commands {

int run_extract(const cli::Options& options, const model::Json& confirmations,
                exiftool::Session& session) {
    if (options.positionals.empty()) return 0;
    const std::string& first = options.positionals.front();
    const export_::Share share = options.share ? export_::Share::Yes : export_::Share::No;
    std::vector<std::filesystem::path> copies = {std::filesystem::path(first)};
    copies.insert(copies.end(), options.also.begin(), options.also.end());
    const std::vector<std::filesystem::path> keep(options.keep.begin(), options.keep.end());

    // A folder is no copy of one clip: its clips would all take the folder's path as their
    // copy, and each one's sidecar would overwrite the one before, beside the folder.
    const std::optional<io::FileStatus> status = io::status(first, io::Follow::Links);
    const bool folder = status && status->type == io::EntryType::Directory;
    const auto clips =
        folder ? std::vector<model::Clip>() : scan_confirmed({first}, confirmations, session);
    if (clips.empty()) {
        model::Json event = model::Json::object();
        event["error"] = "not a supported media file";
        event["event"] = "clip";
        event["path"] = text::lossy(first);
        event["verdict"] = "no_metadata";
        print_json(event);
        return 0;
    }
    const std::string exiftool_version = session.version().value_or("unavailable");
    for (const auto& clip : clips)
        for (const auto& event :
             extract::write_sidecars(clip, copies, keep, exiftool_version, share))
            print_json(event);
    return 0;
}

} // namespace commands
