#!/usr/bin/env bash
# Set-up and main job: installs what is missing, builds, and scans the shipped sample media.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install-deps.sh"
cmake -S "$root" -B "$root/build" -G Ninja -DZUN_TESTS=OFF >/dev/null
cmake --build "$root/build" --target zun-metadata-core
cd "$root"
./build/zun-metadata-core version
./build/zun-metadata-core scan samples/media
