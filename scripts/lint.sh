#!/usr/bin/env bash
# Static analysis: clang-tidy with the checks in .clang-tidy over every source file, the
# formatting check the test command also runs, and the module-interface count (which fails when
# a module includes another's internal.hpp). Exits non-zero on any finding.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install-deps.sh" clang-tidy
cmake -S "$root" -B "$root/build-lint" -G Ninja -DZUN_TESTS=OFF >/dev/null
bash "$root/scripts/format.sh"
bash "$root/scripts/interfaces.sh"
run-clang-tidy -p "$root/build-lint" -j "$(nproc)" -quiet "$root/src/.*\.cpp\$"
