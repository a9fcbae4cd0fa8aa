#!/usr/bin/env bash
# Fails when a C++ source of the project is not formatted as .clang-format says.
set -euo pipefail
cd "$(dirname "$0")/.."
find src tests fuzz \( -name '*.cpp' -o -name '*.hpp' \) -print0 | sort -z |
    xargs -0 clang-format --dry-run -Werror
