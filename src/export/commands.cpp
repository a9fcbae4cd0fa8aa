// The export, resolve-csv and resolve-plan commands, run after the driver's dispatch.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

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

void print_line(std::string_view text) {
    // A reader that went away must not kill the process with SIGPIPE; the write fails instead.
    static const bool ignored = [] {
        std::signal(SIGPIPE, SIG_IGN);
        return true;
    }();
    (void)ignored;
    std::string line(text);
    line += '\n';
    (void)std::fwrite(line.data(), 1, line.size(), stdout);
    (void)std::fflush(stdout);
}

std::optional<std::string> option_value(const std::vector<std::string>& args,
                                        std::string_view option) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] != option) continue;
        if (i + 1 < args.size()) return args[i + 1];
        return std::nullopt;
    }
    return std::nullopt;
}

std::vector<std::string> option_values(const std::vector<std::string>& args,
                                       std::string_view option) {
    std::vector<std::string> values;
    for (std::size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == option) values.push_back(args[i + 1]);
    return values;
}

bool has_flag(const std::vector<std::string>& args, std::string_view flag) {
    for (const auto& arg : args)
        if (arg == flag) return true;
    return false;
}

int run_export(const std::vector<std::string>& args, const std::vector<std::string>& positionals,
               const nlohmann::json& confirmations, const std::string& exiftool_version) {
    std::optional<fs::path> out_dir;
    if (auto value = option_value(args, "--out-dir")) out_dir = fs::path(*value);
    const Share share = has_flag(args, "--share") ? Share::Yes : Share::No;

    const auto clips = scan_confirmed(positionals, confirmations);
    const fs::path root = common_ancestor(clips);
    for (const auto& clip : clips) {
        const WriteResult result = write_sidecar(clip, root, out_dir, exiftool_version, share);
        model::Json line = model::Json::object();
        line["clip"] = clip.path;
        line["result"] = result_text(result);
        print_line(json_writer::compact(line));
    }
    return 0;
}

int run_resolve_csv(const std::vector<std::string>& args,
                    const std::vector<std::string>& positionals,
                    const nlohmann::json& confirmations, const std::string& /*exiftool_version*/) {
    const auto clips = scan_confirmed(positionals, confirmations);
    const bool unique = has_flag(args, "--unique-only");
    const auto out = option_value(args, "--out");
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
    print_line(json_writer::compact(summary));
    return 0;
}

int run_resolve_plan(const std::vector<std::string>& /*args*/,
                     const std::vector<std::string>& positionals,
                     const nlohmann::json& confirmations, const std::string& /*exiftool_version*/) {
    const auto clips = scan_confirmed(positionals, confirmations);
    model::Json plans = model::Json::array();
    for (const auto& clip : clips)
        plans.push_back(plan_json(clip));
    print_line(json_writer::compact(plans));
    return 0;
}

} // namespace export_
