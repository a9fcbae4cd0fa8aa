#!/usr/bin/env bash
# Installs the Debian packages the build, the tests, the package and the main job need, when
# missing, and any further packages named as arguments (the lint and portability scripts' tools).
set -euo pipefail
packages=(cmake ninja-build g++ pkg-config nlohmann-json3-dev libutf8proc-dev libgtest-dev
          libimage-exiftool-perl python3 python3-jsonschema dpkg-dev lintian clang-format "$@")
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    if [[ $(id -u) -ne 0 ]]; then
        echo "missing packages: ${missing[*]} (run as root to install them)" >&2
        exit 1
    fi
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi
