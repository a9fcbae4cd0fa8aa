#!/usr/bin/env bash
# Set-up and tests: installs what is missing, builds with warnings as errors and runs
# the whole suite, then again under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install-deps.sh"
jobs=$(nproc)

cmake -S "$root" -B "$root/build-test" -G Ninja -DZUN_WERROR=ON >/dev/null
cmake --build "$root/build-test" -j "$jobs"
(cd "$root/build-test" && ctest --output-on-failure -j "$jobs")

# -O1 without debug info keeps this second build quick.
cmake -S "$root" -B "$root/build-sanitize" -G Ninja -DZUN_WERROR=ON -DZUN_SANITIZE=ON \
    -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-O1 >/dev/null
cmake --build "$root/build-sanitize" -j "$jobs"
(cd "$root/build-sanitize" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --output-on-failure -j "$jobs")
