// The driver: one command per process, JSON lines on standard output.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/cli.hpp"
#include "exiftool/exiftool.hpp"
#include "export/export.hpp"
#include "extract/extract.hpp"
#include "io/io.hpp"
#include "json_writer/json_writer.hpp"
#include "scan/scan.hpp"
#include "text/text.hpp"

namespace {

// Writes one compact JSON line and flushes; a closed output is ignored.
void print_line(const model::Json& value) {
    cli::print_line(json_writer::compact(value));
}

// Largest confirmation document read; anything bigger is not one the front-end wrote.
constexpr std::uintmax_t kMaxConfirmBytes = 64u << 20;

// The --confirm document: an empty object when absent, not a readable regular file (a
// directory, FIFO or device is never opened for reading), over 64 MiB, not UTF-8, not JSON
// or nested too deeply.
model::Json read_confirmations(const std::optional<std::string>& path) {
    if (!path) return model::Json::object();
    auto content = io::read_regular(*path, kMaxConfirmBytes);
    if (!content || !text::is_utf8(*content)) return model::Json::object();
    auto doc = model::parse_json(*content);
    if (auto* value = std::get_if<model::Json>(&doc)) return std::move(*value);
    return model::Json::object();
}

int usage() {
    std::fputs(cli::usage_text, stderr);
    return 2;
}

int run_scan(const std::vector<std::string>& positionals, exiftool::Session& session) {
    flockfile(stdout);
    scan::scan_many(
        positionals, session,
        [](const scan::ScanEvent& event) { print_line(scan::event_json(event)); },
        scan::KeepClips::No);
    funlockfile(stdout);
    return 0;
}

int run(int argc, char** argv) {
    // A reader that went away must not kill us: writes then fail quietly.
    std::signal(SIGPIPE, SIG_IGN);
    // A file-size limit makes writes fail with an error (reported, the old file kept) instead
    // of killing the process halfway.
    std::signal(SIGXFSZ, SIG_IGN);

    const std::vector<std::string> args(argv + 1, argv + argc);
    const cli::Options options = cli::parse(args);
    const model::Json confirmations = read_confirmations(options.confirm);
    // The tool's first worker starts here, while the command is looked at and the paths are
    // discovered; the session ends the workers when the command ends.
    exiftool::Session session(exiftool::locate());

    if (args.empty()) return usage();
    const std::string& command = options.command;
    if (command == "version") {
        model::Json out = model::Json::object();
        out["core"] = std::string(cli::core_version);
        out["exiftool"] = session.version().value_or("unavailable");
        print_line(out);
        return 0;
    }
    if (options.positionals.empty()) return usage();
    if (command == "scan") return run_scan(options.positionals, session);
    if (command == "export") return export_::run_export(options, confirmations, session);
    if (command == "extract") return extract::run(options, confirmations, session);
    if (command == "resolve-csv") return export_::run_resolve_csv(options, confirmations, session);
    if (command == "resolve-plan")
        return export_::run_resolve_plan(options, confirmations, session);
    return usage();
}

} // namespace

int main(int argc, char** argv) {
    // The program's edge: nothing below throws for bad input, but memory can run out.
    try {
        return run(argc, argv);
    } catch (const std::exception& ex) {
        std::fprintf(stderr, "zun-metadata-core: %s\n", ex.what());
    } catch (...) {
        std::fputs("zun-metadata-core: unexpected failure\n", stderr);
    }
    return 1;
}
