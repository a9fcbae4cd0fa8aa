#!/bin/sh
# Builds and runs the motion-detection benchmark against the zun_core library of a build folder.
# Usage: bench/motion.sh [BUILD_DIR] [CLIPS] [LOG_MB]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${1:-"$root/build-bench"}
clips=${2:-3000}
log_mb=${3:-300}

if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZUN_TESTS=OFF >/dev/null
fi
ninja -C "$build" zun_core >/dev/null
${CXX:-g++} -std=c++20 -O2 -Wall -Wextra -I"$root/src" "$here/motion_bench.cpp" \
    "$build/libzun_core.a" $(pkg-config --libs libutf8proc) -o "$build/motion_bench"
exec "$build/motion_bench" "$clips" "$log_mb"
