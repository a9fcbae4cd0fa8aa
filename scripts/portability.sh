#!/usr/bin/env bash
# Builds the whole project with clang++ and libc++, the nearest stand-in here for Apple's
# toolchain, with warnings as errors, and runs that build's tests. GoogleTest is built from
# Debian's sources with the same standard library.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install-deps.sh" clang libc++-dev libc++abi-dev googletest
cmake -S "$root" -B "$root/build-portability" -G Ninja -DZUN_WERROR=ON \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_FLAGS=-stdlib=libc++ \
    -DCMAKE_EXE_LINKER_FLAGS=-stdlib=libc++ -DCMAKE_BUILD_TYPE=Release \
    -DZUN_GTEST_SOURCE=/usr/src/googletest >/dev/null
cmake --build "$root/build-portability" -j "$(nproc)"
(cd "$root/build-portability" && ctest --output-on-failure -j "$(nproc)")
