#!/usr/bin/env bash
# Checks a Debian package of the engine without installing it: unpacks it into a scratch root
# (dpkg -x), looks for its files and its declared dependencies, runs `version` (which must
# print the package's version) and scans the shipped sample media with the unpacked binary.
set -euo pipefail
deb=$(realpath "$1")
root=$(cd "$(dirname "$0")/.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() {
    echo "package check: $*" >&2
    exit 1
}

dpkg -x "$deb" "$scratch/root"
version=$(dpkg-deb -f "$deb" Version)
for file in usr/bin/zun-metadata-core usr/share/man/man1/zun-metadata-core.1 \
    usr/share/doc/zun-metadata-core/README.md \
    usr/share/zun-metadata-core/schema/{clip,scan,version,export,extract,resolve-csv}.schema.json \
    usr/share/zun-metadata-core/schema/{resolve-plan,sidecar,confirm}.schema.json; do
    [[ -f $scratch/root/$file ]] || fail "$file is not in the package"
done
grep -q "zun-metadata-core $version" "$scratch/root/usr/share/man/man1/zun-metadata-core.1" ||
    fail "the man page does not name version $version"
[[ $(dpkg-deb -f "$deb" Depends) == *libutf8proc* ]] || fail "Depends lacks the shared libraries"
[[ $(dpkg-deb -f "$deb" Recommends) == libimage-exiftool-perl ]] || fail "Recommends is wrong"

engine=$scratch/root/usr/bin/zun-metadata-core
out=$("$engine" version)
[[ $out == "{\"core\":\"$version\",\"exiftool\":\""*'"}' ]] || fail "version printed: $out"
scan=$(cd "$root" && "$engine" scan samples/media)
[[ $(head -n 1 <<<"$scan") == '{"count":4,"event":"found"}' ]] || fail "scan printed: $scan"
# Without exiftool every clip counts as an error; the package only recommends it.
errors='[0-9]+'
[[ -x /usr/bin/exiftool ]] && errors=0
[[ $(tail -n 1 <<<"$scan") =~ ^\{\"clips\":4,\"errors\":$errors,\"event\":\"done\" ]] ||
    fail "scan ended with: $(tail -n 1 <<<"$scan")"
echo "package check: $(basename "$deb") unpacked and run: $out, $(wc -l <<<"$scan") scan lines"
