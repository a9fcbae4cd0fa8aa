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
# Both builds compile each target's sources as one unit (a unity build): the heavy library
# headers are then instantiated once per target instead of once per file.
cmake -S "$root" -B "$root/build-test" -G Ninja -DZUN_WERROR=ON -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DZUN_TEST_CXX_FLAGS=-Og -DCMAKE_UNITY_BUILD=ON \
    >/dev/null
cmake --build "$root/build-test" -j "$jobs"
(cd "$root/build-test" && ctest --output-on-failure -j "$jobs")

# No debug information either. The engine, instrumented, at -O1 keeps the runs quick. The test
# code, most of the compile time but little of the run time, is built at -O0 and without the
# instrumentation: what this pass checks is the engine, in its libraries and its binary.
cmake -S "$root" -B "$root/build-sanitize" -G Ninja -DZUN_WERROR=ON -DZUN_SANITIZE=ON \
    -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-O1 \
    -DZUN_TEST_CXX_FLAGS="-O0 -fno-sanitize=all" -DCMAKE_UNITY_BUILD=ON >/dev/null
cmake --build "$root/build-sanitize" -j "$jobs"
(cd "$root/build-sanitize" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --output-on-failure -j "$jobs")
