// The export, resolve-csv and resolve-plan commands, run after the driver's dispatch.
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "cli/cli.hpp"
#include "export/export.hpp"
#include "json_writer/json_writer.hpp"
#include "scan/scan.hpp"
#include "text/text.hpp"

namespace export_ {

namespace {

std::vector<model::Clip> scan_confirmed(const std::vector<std::string>& paths,
                                        const nlohmann::json& confirmations) {
    auto clips = scan::scan_many(paths, [](const scan::ScanEvent&) {});
    apply_confirmations(clips, confirmations);
    return clips;
}

void print_error(std::string_view text) {
    std::string line(text);
    line += '\n';
    (void)std::fwrite(line.data(), 1, line.size(), stderr);
    (void)std::fflush(stderr);
}

// Creates or truncates `path` and writes `bytes`; 0 or the errno of the failure.
int write_whole(const std::string& path, std::string_view bytes) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return errno;
    int err = 0;
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            err = errno;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0 && err == 0) err = errno;
    return err;
}

} // namespace

int run_export(const std::vector<std::string>& args, const std::vector<std::string>& positionals,
               const nlohmann::json& confirmations, const std::string& exiftool_version) {
    std::optional<fs::path> out_dir;
    if (auto value = cli::value_of(args, "--out-dir")) out_dir = fs::path(*value);
    const Share share = cli::has_flag(args, "--share") ? Share::Yes : Share::No;

    const auto clips = scan_confirmed(positionals, confirmations);
    const fs::path root = common_ancestor(clips);
    for (const auto& clip : clips) {
        const WriteResult result = write_sidecar(clip, root, out_dir, exiftool_version, share);
        model::Json line = model::Json::object();
        line["clip"] = clip.path;
        line["result"] = result_text(result);
        cli::print_line(json_writer::compact(line));
    }
    return 0;
}

int run_resolve_csv(const std::vector<std::string>& args,
                    const std::vector<std::string>& positionals,
                    const nlohmann::json& confirmations, const std::string& /*exiftool_version*/) {
    const auto clips = scan_confirmed(positionals, confirmations);
    const bool unique = cli::has_flag(args, "--unique-only");
    const auto out = cli::value_of(args, "--out");
    if (!out) {
        print_error("resolve-csv: --out required");
        return 101;
    }

    UniqueCsv csv;
    if (unique)
        csv = resolve_csv_unique(clips);
    else
        csv.bytes = resolve_csv(clips);

    if (int err = write_whole(*out, csv.bytes); err != 0) {
        print_error("write csv " + text::lossy(*out) + ": " +
                    error_text(std::error_code(err, std::generic_category())));
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

int run_resolve_plan(const std::vector<std::string>& /*args*/,
                     const std::vector<std::string>& positionals,
                     const nlohmann::json& confirmations, const std::string& /*exiftool_version*/) {
    const auto clips = scan_confirmed(positionals, confirmations);
    model::Json plans = model::Json::array();
    for (const auto& clip : clips)
        plans.push_back(plan_json(clip));
    cli::print_line(json_writer::compact(plans));
    return 0;
}

} // namespace export_
