#!/usr/bin/env bash
# The Debian package of this build, made by cpack in a scratch folder and then checked by
# scripts/check-package.sh (unpacked into a scratch root and run).
# usage: package_test.sh CPACK BUILD_DIR
set -euo pipefail
cpack=$1
build=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
if ! "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$scratch" >"$scratch/cpack.log" 2>&1; then
    cat "$scratch/cpack.log" >&2
    exit 1
fi
debs=("$scratch"/*.deb)
[[ ${#debs[@]} -eq 1 && -f ${debs[0]} ]] || { echo "cpack made no single package" >&2; exit 1; }
bash "$(dirname "$0")/../../scripts/check-package.sh" "${debs[0]}"
