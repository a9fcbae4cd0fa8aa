// Runs the built binary the way the fault tests need: as another user, with a reader
// that hangs up early, and with the child's peak memory recorded.
#pragma once

#include <cstddef>
#include <filesystem>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

#include "support/support.hpp"

namespace faults {

struct ChildOptions {
    // Drop to this user and group id (and no supplementary groups) before exec.
    std::optional<uid_t> as_user;
    // Close our end of the standard-output pipe after this many bytes have arrived.
    std::size_t hang_up_after = std::numeric_limits<std::size_t>::max();
    // Stop reading standard output for `pause_ms` milliseconds once this many bytes came.
    std::size_t pause_after = std::numeric_limits<std::size_t>::max();
    int pause_ms = 0;
};

struct ChildResult : testing_support::RunResult {
    long max_rss_kb = 0; // peak resident set of the child (and the children it waited for)
};

// Runs the zun-metadata-core binary with `args`, standard input on /dev/null and the
// environment changes of `env` (an empty value unsets). Waits for it to end. As another
// user, copies of the executables run from a scratch folder, which is also the working folder.
ChildResult run_binary(const std::vector<std::string>& args, std::map<std::string, std::string> env,
                       const ChildOptions& options);

} // namespace faults
