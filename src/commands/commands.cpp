// The commands' entry and what they share: the confirmations, the scan and the printing.
#include <cstdio>

#include "commands/internal.hpp"
#include "exiftool/exiftool.hpp"
#include "export/export.hpp"
#include "io/io.hpp"
#include "json_writer/json_writer.hpp"
#include "scan/scan.hpp"
#include "text/text.hpp"

namespace commands {

namespace {

// Largest confirmation document read; anything bigger is not one the front-end wrote.
constexpr std::uintmax_t kMaxConfirmBytes = 64u << 20;

// Prints the usage text on standard error; returns the exit status of a usage error, 2.
int usage_error() {
    std::fputs(cli::kUsageText, stderr);
    return 2;
}

} // namespace

void print_json(const model::Json& value) {
    cli::print_line(stdout, json_writer::compact(value));
}

model::Json read_confirmations(const std::optional<std::string>& path) {
    if (!path) return model::Json::object();
    auto content = io::read_regular(*path, kMaxConfirmBytes);
    if (!content || !text::is_utf8(*content)) return model::Json::object();
    auto doc = model::parse_json(*content);
    if (auto* value = std::get_if<model::Json>(&doc)) return std::move(*value);
    return model::Json::object();
}

std::vector<model::Clip> scan_confirmed(const std::vector<std::string>& paths,
                                        const model::Json& confirmations,
                                        exiftool::Session& session) {
    auto clips = scan::scan_many(paths, session, [](const scan::ScanEvent&) {});
    export_::apply_confirmations(clips, confirmations);
    return clips;
}

int run_version(exiftool::Session& session) {
    model::Json out = model::Json::object();
    out["core"] = std::string(model::kCoreVersion);
    out["exiftool"] = session.version().value_or("unavailable");
    print_json(out);
    return 0;
}

int run_scan(const std::vector<std::string>& paths, exiftool::Session& session) {
    flockfile(stdout);
    scan::scan_many(
        paths, session, [](const scan::ScanEvent& event) { print_json(scan::event_json(event)); },
        scan::KeepClips::No);
    funlockfile(stdout);
    return 0;
}

int run(const cli::Options& options) {
    const model::Json confirmations = read_confirmations(options.confirm);
    // The tool's first worker starts here, while the command is looked at and the paths are
    // discovered; its version is awaited only where it is printed or written.
    exiftool::Session session(exiftool::locate());

    // No arguments at all: the parser leaves the command word empty.
    const std::string& command = options.command;
    if (command.empty()) return usage_error();
    if (command == "version") return run_version(session);
    if (options.positionals.empty()) return usage_error();
    if (command == "scan") return run_scan(options.positionals, session);
    if (command == "export") return run_export(options, confirmations, session);
    if (command == "extract") return run_extract(options, confirmations, session);
    if (command == "resolve-csv") return run_resolve_csv(options, confirmations, session);
    if (command == "resolve-plan") return run_resolve_plan(options, confirmations, session);
    return usage_error();
}

} // namespace commands
