// The export, resolve-csv and resolve-plan commands: the clips go to the export library.
#include <cstdio>

#include "commands/internal.hpp"
#include "export/export.hpp"
#include "io/io.hpp"
#include "text/text.hpp"

namespace commands {

using export_::Mirror;
using export_::Share;
using export_::UniqueCsv;
using export_::WriteResult;

int run_export(const cli::Options& options, const model::Json& confirmations,
               exiftool::Session& session) {
    const Share share = options.share ? Share::Yes : Share::No;
    const auto clips = scan_confirmed(options.positionals, confirmations, session);
    const std::string exiftool_version = session.version().value_or("unavailable");
    std::optional<Mirror> mirror;
    // Without a known working directory relative clip directories resolve as if under "/";
    // they still stay inside the output directory.
    if (options.out_dir)
        mirror =
            export_::mirror_for(clips, *options.out_dir, io::current_directory().value_or("/"));
    for (const auto& clip : clips) {
        const WriteResult result = export_::write_sidecar(clip, mirror, exiftool_version, share);
        model::Json line = model::Json::object();
        line["clip"] = clip.path;
        line["result"] = export_::result_text(result);
        print_json(line);
    }
    return 0;
}

int run_resolve_csv(const cli::Options& options, const model::Json& confirmations,
                    exiftool::Session& session) {
    const auto clips = scan_confirmed(options.positionals, confirmations, session);
    const auto& out = options.out;
    if (!out) {
        cli::print_line(stderr, "resolve-csv: --out required");
        return 101;
    }

    UniqueCsv csv;
    if (options.unique_only)
        csv = export_::resolve_csv_unique(clips);
    else
        csv.bytes = export_::resolve_csv(clips);

    if (auto failure = export_::write_csv(*out, csv.bytes, clips)) {
        cli::print_line(stderr, "write csv " + text::lossy(*out) + ": " + *failure);
        return 101;
    }

    model::Json excluded = model::Json::array();
    for (const auto& path : csv.excluded)
        excluded.push_back(path);
    model::Json summary = model::Json::object();
    summary["excluded_ambiguous"] = std::move(excluded);
    summary["out"] = text::lossy(*out);
    summary["rows"] = static_cast<std::uint64_t>(clips.size() - csv.excluded.size());
    print_json(summary);
    return 0;
}

int run_resolve_plan(const cli::Options& options, const model::Json& confirmations,
                     exiftool::Session& session) {
    const auto clips = scan_confirmed(options.positionals, confirmations, session);
    model::Json plans = model::Json::array();
    for (const auto& clip : clips)
        plans.push_back(export_::plan_json(clip));
    print_json(plans);
    return 0;
}

} // namespace commands
