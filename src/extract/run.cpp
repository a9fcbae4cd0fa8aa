// The extract command, run after the driver's dispatch.
#include "cli/cli.hpp"
#include "extract/extract.hpp"
#include "json_writer/json_writer.hpp"
#include "scan/scan.hpp"
#include "text/text.hpp"

namespace extract {

int run(const cli::Options& options, const nlohmann::json& confirmations,
        exiftool::Session& session) {
    if (options.positionals.empty()) return 0;
    const std::string& first = options.positionals.front();
    const export_::Share share = options.share ? export_::Share::Yes : export_::Share::No;
    std::vector<fs::path> copies = {fs::path(first)};
    copies.insert(copies.end(), options.also.begin(), options.also.end());
    const std::vector<fs::path> keep(options.keep.begin(), options.keep.end());

    auto clips = scan::scan_many({first}, session, [](const scan::ScanEvent&) {});
    export_::apply_confirmations(clips, confirmations);
    if (clips.empty()) {
        nlohmann::json event = nlohmann::json::object();
        event["error"] = "not a supported media file";
        event["event"] = "clip";
        event["path"] = text::lossy(first);
        event["verdict"] = "no_metadata";
        cli::print_line(json_writer::compact(event));
        return 0;
    }
    const std::string exiftool_version = session.version().value_or("unavailable");
    for (const auto& clip : clips)
        for (const auto& event : emit(clip, copies, keep, exiftool_version, share))
            cli::print_line(json_writer::compact(event));
    return 0;
}

} // namespace extract
