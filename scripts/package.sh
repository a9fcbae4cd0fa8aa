#!/usr/bin/env bash
# Builds the Debian package from this checkout: installs what is missing, makes a Release build
# without the tests in build-package/, runs `cpack -G DEB` there, checks the package in a
# scratch root and with lintian (scripts/check-package.sh) and prints the package's path.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install-deps.sh"
build=$root/build-package
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZUN_TESTS=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$build" -j "$(nproc)"
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/*.deb)
bash "$root/scripts/check-package.sh" "$deb"
echo "$deb"
