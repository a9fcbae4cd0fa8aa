// What the command files share and no other module sees: the confirmations, the scan, the
// printing and one function per command.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli/cli.hpp"
#include "commands/commands.hpp"
#include "exiftool/exiftool.hpp"
#include "model/model.hpp"

namespace commands {

// The --confirm document: an empty object when absent, not a readable regular file (a
// directory, FIFO or device is never opened for reading), over 64 MiB, not UTF-8, not JSON
// or nested too deeply. Never fails.
model::Json read_confirmations(const std::optional<std::string>& path);

// The clips of every media file under `paths`, with `confirmations` applied. Never fails as a
// whole: per-file failures are recorded in the clips.
std::vector<model::Clip> scan_confirmed(const std::vector<std::string>& paths,
                                        const model::Json& confirmations,
                                        exiftool::Session& session);

// Writes `value` as one compact JSON line to standard output and flushes; a closed output
// makes the write fail quietly.
void print_json(const model::Json& value);

// `version`: prints the core's and exiftool's versions. Returns 0.
int run_version(exiftool::Session& session);

// `scan`: streams the scan's events, one line each, as they happen. Returns 0.
int run_scan(const std::vector<std::string>& paths, exiftool::Session& session);

// `export`: one sidecar per clip, one result line each. Returns 0.
int run_export(const cli::Options& options, const model::Json& confirmations,
               exiftool::Session& session);

// `extract`: reads the first positional and prints the events of its clip, writing the
// sidecars of every copy not kept; one short clip event, and nothing written, when it is not
// a media file (a folder included). Returns 0.
int run_extract(const cli::Options& options, const model::Json& confirmations,
                exiftool::Session& session);

// `resolve-csv`: writes the CSV to the --out file and prints the summary. Returns 0, or 101
// (with a diagnostic on standard error) without --out or when the file cannot be written.
int run_resolve_csv(const cli::Options& options, const model::Json& confirmations,
                    exiftool::Session& session);

// `resolve-plan`: prints one array of plan objects. Returns 0.
int run_resolve_plan(const cli::Options& options, const model::Json& confirmations,
                     exiftool::Session& session);

} // namespace commands
