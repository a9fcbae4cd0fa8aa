// The commands: each reads its paths, applies the user's confirmations and prints its lines on
// standard output. The entry asks exiftool's version first and then picks the command.
#pragma once

#include "cli/cli.hpp"

namespace commands {

// The whole command: reads the --confirm document, opens the exiftool session (its first
// worker starts at once and is asked its version; the workers end with the command), then runs
// the command named in `options`. Returns the exit status: the command's, or 2 with the usage text
// on standard error for no or an unknown command or no path. Failures of single files are in
// the output; only memory running out throws (std::bad_alloc), left to the program's edge.
int run(const cli::Options& options);

} // namespace commands
