// The extract command, run after the driver's dispatch.
#include "cli/cli.hpp"
#include "extract/extract.hpp"
#include "json_writer/json_writer.hpp"
#include "scan/scan.hpp"
#include "text/text.hpp"

namespace extract {

int run(const std::vector<std::string>& args, const std::vector<std::string>& positionals,
        const nlohmann::json& confirmations, const std::string& exiftool_version) {
    if (positionals.empty()) return 0;
    const export_::Share share =
        cli::has_flag(args, "--share") ? export_::Share::Yes : export_::Share::No;
    std::vector<fs::path> copies = {fs::path(positionals.front())};
    for (const auto& also : cli::values_of(args, "--also"))
        copies.emplace_back(also);
    std::vector<fs::path> keep;
    for (const auto& path : cli::values_of(args, "--keep"))
        keep.emplace_back(path);

    auto clips = scan::scan_many({positionals.front()}, [](const scan::ScanEvent&) {});
    export_::apply_confirmations(clips, confirmations);
    if (clips.empty()) {
        nlohmann::json event = nlohmann::json::object();
        event["error"] = "not a supported media file";
        event["event"] = "clip";
        event["path"] = text::lossy(positionals.front());
        event["verdict"] = "no_metadata";
        cli::print_line(json_writer::compact(event));
        return 0;
    }
    for (const auto& clip : clips)
        for (const auto& event : emit(clip, copies, keep, exiftool_version, share))
            cli::print_line(json_writer::compact(event));
    return 0;
}

} // namespace extract
