// The export, resolve-csv and resolve-plan commands, run after the driver's dispatch.
#include <cerrno>
#include <cstdio>
#include <unistd.h>

#include "cli/cli.hpp"
#include "export/export.hpp"
#include "io/io.hpp"
#include "json_writer/json_writer.hpp"
#include "scan/scan.hpp"
#include "text/text.hpp"

namespace export_ {

namespace {

std::vector<model::Clip> scan_confirmed(const std::vector<std::string>& paths,
                                        const nlohmann::json& confirmations,
                                        exiftool::Session& session) {
    auto clips = scan::scan_many(paths, session, [](const scan::ScanEvent&) {});
    apply_confirmations(clips, confirmations);
    return clips;
}

void print_error(std::string_view text) {
    std::string line(text);
    line += '\n';
    (void)std::fwrite(line.data(), 1, line.size(), stderr);
    (void)std::fflush(stderr);
}

// Writes the CSV to `out`; the error text of a failure, absent on success. A regular file or
// a path where nothing stands is replaced through a temporary file and a rename (beside the
// link's target when `out` is a symbolic link), so a failed write leaves the previous CSV
// whole. Anything else (a FIFO, a device, the file behind our own standard output) is written
// in place. A scanned media file is never overwritten.
std::optional<std::string> write_csv(const std::string& out, std::string_view bytes,
                                     const std::vector<model::Clip>& clips) {
    const std::optional<io::FileStatus> target = io::status(out, io::Follow::Links);
    if (target)
        for (const auto& clip : clips) {
            auto media = io::status(clip.path_bytes, io::Follow::Links);
            if (media && io::same_file(*media, *target))
                return std::string("the file is one of the scanned media files");
        }
    bool replace = target && target->type == io::EntryType::Regular;
    for (int fd : {STDOUT_FILENO, STDERR_FILENO}) {
        auto stream = io::descriptor_status(fd);
        if (replace && stream && io::same_file(*stream, *target)) replace = false;
    }
    const bool nothing = !target && !io::status(out, io::Follow::NoLinks);

    io::Status failed;
    if (nothing) {
        failed = io::replace_file(out, bytes, std::nullopt);
    } else if (replace) {
        // Through links to the file itself, so that the link stays a link.
        auto real = io::real_path(out);
        if (const io::Error* error = std::get_if<io::Error>(&real)) return io::error_text(*error);
        failed = io::replace_file(std::get<std::string>(real), bytes, target->permissions);
        // A writable file in a folder we may not create files in is still written, in place.
        if (failed && (failed->number == EACCES || failed->number == EPERM))
            failed = io::write_in_place(out, bytes);
    } else {
        failed = io::write_in_place(out, bytes);
    }
    if (failed) return io::error_text(*failed);
    return std::nullopt;
}

} // namespace

int run_export(const cli::Options& options, const nlohmann::json& confirmations,
               exiftool::Session& session) {
    const Share share = options.share ? Share::Yes : Share::No;
    const auto clips = scan_confirmed(options.positionals, confirmations, session);
    const std::string exiftool_version = session.version().value_or("unavailable");
    std::optional<Mirror> mirror;
    // Without a known working directory relative clip directories resolve as if under "/";
    // they still stay inside the output directory.
    if (options.out_dir)
        mirror = mirror_for(clips, *options.out_dir, io::current_directory().value_or("/"));
    for (const auto& clip : clips) {
        const WriteResult result = write_sidecar(clip, mirror, exiftool_version, share);
        model::Json line = model::Json::object();
        line["clip"] = clip.path;
        line["result"] = result_text(result);
        cli::print_line(json_writer::compact(line));
    }
    return 0;
}

int run_resolve_csv(const cli::Options& options, const nlohmann::json& confirmations,
                    exiftool::Session& session) {
    const auto clips = scan_confirmed(options.positionals, confirmations, session);
    const auto& out = options.out;
    if (!out) {
        print_error("resolve-csv: --out required");
        return 101;
    }

    UniqueCsv csv;
    if (options.unique_only)
        csv = resolve_csv_unique(clips);
    else
        csv.bytes = resolve_csv(clips);

    if (auto failure = write_csv(*out, csv.bytes, clips)) {
        print_error("write csv " + text::lossy(*out) + ": " + *failure);
        return 101;
    }

    model::Json excluded = model::Json::array();
    for (const auto& path : csv.excluded)
        excluded.push_back(path);
    model::Json summary = model::Json::object();
    summary["excluded_ambiguous"] = std::move(excluded);
    summary["out"] = text::lossy(*out);
    summary["rows"] = static_cast<std::uint64_t>(clips.size() - csv.excluded.size());
    cli::print_line(json_writer::compact(summary));
    return 0;
}

int run_resolve_plan(const cli::Options& options, const nlohmann::json& confirmations,
                     exiftool::Session& session) {
    const auto clips = scan_confirmed(options.positionals, confirmations, session);
    model::Json plans = model::Json::array();
    for (const auto& clip : clips)
        plans.push_back(plan_json(clip));
    cli::print_line(json_writer::compact(plans));
    return 0;
}

} // namespace export_
