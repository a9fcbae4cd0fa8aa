#!/usr/bin/env bash
# Set-up and tests: installs what is missing, checks the formatting, builds with warnings as
# errors and runs the whole suite, then again under AddressSanitizer and
# UndefinedBehaviorSanitizer.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install-deps.sh"
jobs=$(nproc)
bash "$root/scripts/format.sh"

# The engine at -O2 as in the default build, without the debug information the suite has no
# use for (a third of the compile time); the test code at -Og, its cheapest level to compile.
cmake -S "$root" -B "$root/build-test" -G Ninja -DZUN_WERROR=ON -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DZUN_TEST_CXX_FLAGS=-Og >/dev/null
cmake --build "$root/build-test" -j "$jobs"
(cd "$root/build-test" && ctest --output-on-failure -j "$jobs")

# No debug information either. The engine at -O1 keeps the instrumented runs quick; the test
# code, most of the compile time but little of the run time, is built at -O0, which costs
# least under the sanitizers.
cmake -S "$root" -B "$root/build-sanitize" -G Ninja -DZUN_WERROR=ON -DZUN_SANITIZE=ON \
    -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-O1 -DZUN_TEST_CXX_FLAGS=-O0 >/dev/null
cmake --build "$root/build-sanitize" -j "$jobs"
(cd "$root/build-sanitize" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --output-on-failure -j "$jobs")
