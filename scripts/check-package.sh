#!/usr/bin/env bash
# Checks a Debian package of the engine without installing it: unpacks it into a scratch root
# (dpkg -x), looks for its files, its maintainer and its declared dependencies, checks the
# compressed man page and changelog, runs `version` (which must print the package's version),
# scans the shipped sample media with the unpacked binary and runs lintian, whose errors fail
# the check (its warnings are only printed).
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
doc=$scratch/root/usr/share/doc/zun-metadata-core
man=$scratch/root/usr/share/man/man1/zun-metadata-core.1.gz
for file in usr/bin/zun-metadata-core usr/share/man/man1/zun-metadata-core.1.gz \
    usr/share/doc/zun-metadata-core/{README.md,copyright,changelog.gz} \
    usr/share/zun-metadata-core/schema/{clip,scan,version,export,extract,resolve-csv}.schema.json \
    usr/share/zun-metadata-core/schema/{resolve-plan,sidecar,confirm}.schema.json; do
    [[ -f $scratch/root/$file ]] || fail "$file is not in the package"
done
# gzip -9n: deflate, no flags (no stored name), a zero time and the maximum-compression mark.
for file in "$man" "$doc/changelog.gz"; do
    [[ $(od -An -tx1 -N9 "$file" | tr -d ' \n') == 1f8b08000000000002 ]] ||
        fail "${file#"$scratch/root/"} is not compressed with gzip -9n"
done
title=$(zcat "$man" | head -n 1)
[[ $title =~ ^\.TH\ [^\ ]+\ 1\ \"[0-9]{4}-[0-9]{2}-[0-9]{2}\"\  &&
    $title == *" \"zun-metadata-core $version\" "* ]] ||
    fail "the man page's title line lacks its date or version $version: $title"
[[ $(zcat "$doc/changelog.gz" | head -n 1) == "zun-metadata-core ($version) "* ]] ||
    fail "the changelog does not begin with version $version"
maintainer=$(dpkg-deb -f "$deb" Maintainer)
[[ $maintainer =~ ^[^\<]+\ \<[^@\ ]+@[^@\ ]+\>$ ]] ||
    fail "the maintainer has no mail address: $maintainer"
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
lintian --fail-on error "$deb" || fail "lintian failed on $(basename "$deb") (its errors are above)"
echo "package check: $(basename "$deb") unpacked and run: $out, $(wc -l <<<"$scan") scan lines;" \
    "no lintian errors"
