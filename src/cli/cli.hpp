// Command-line handling of the driver: positionals, option values and flags, and the line printer.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

// The usage text, with its line feed.
extern const char* const kUsageText;

// The command line, parsed once for the driver and every command.
struct Options {
    std::string command;                  // the first argument; empty when there is none
    std::vector<std::string> positionals; // the arguments after the command word that are
                                          // neither options nor option values
    std::optional<std::string> confirm;   // --confirm FILE
    std::optional<std::string> out_dir;   // --out-dir D
    std::optional<std::string> out;       // --out F
    std::vector<std::string> also;        // every --also COPY
    std::vector<std::string> keep;        // every --keep COPY
    bool share = false;                   // --share
    bool unique_only = false;             // --unique-only
};

// The options of `args` (the process arguments without the program name). Never fails:
// unknown options are ignored and a value option without a value is absent.
Options parse(const std::vector<std::string>& args);

// Writes `text` and a line feed to `stream` (standard output or error) and flushes. A closed
// stream (SIGPIPE is ignored by the driver) makes the write fail quietly.
void print_line(std::FILE* stream, std::string_view text);

} // namespace cli
