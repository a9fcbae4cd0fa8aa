#!/usr/bin/env bash
# Builds the fuzz targets with clang in build-fuzz and runs each for SECONDS on its corpus
# folder fuzz/corpus/<target>/, keeping crash inputs in fuzz/crashes/<target>/.
# usage: fuzz/run.sh SECONDS [TARGET...]   (all targets when none are named)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:?usage: fuzz/run.sh SECONDS [TARGET...]}
shift
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then targets=(boxes nrt rtmd cndm gcsv exiftool cli mxf mkv mpeg esds); fi
build="$root/build-fuzz"

if [ ! -f "$build/build.ninja" ]; then
    CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DZUN_FUZZ=ON -DZUN_TESTS=OFF -DZUN_WERROR=ON \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
ninja -C "$build" -j2 "${targets[@]/#/fuzz_}"

for t in "${targets[@]}"; do
    corpus="$root/fuzz/corpus/$t"
    crashes="$root/fuzz/crashes/$t"
    work="$build/corpus-$t" # new inputs found in this run; merged into the corpus afterwards
    mkdir -p "$corpus" "$crashes" "$work"
    # Inputs stay short so the committed corpus stays small; containers need more room.
    max_len=4096
    if [ "$t" = boxes ] || [ "$t" = esds ]; then max_len=16384; fi
    if [ "$t" = mxf ] || [ "$t" = mkv ] || [ "$t" = mpeg ]; then max_len=8192; fi
    echo "== $t: ${seconds}s"
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        "$build/fuzz_$t" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$crashes/" -print_final_stats=1 "$work" "$corpus" \
        >"$build/fuzz-$t.log" 2>&1 || echo "== $t: stopped with a finding (see $build/fuzz-$t.log)"
    tail -n 25 "$build/fuzz-$t.log" | grep -E '^#[0-9]+|stat::|ERROR|SUMMARY|invariant' || true
    # Keep the committed corpus small: merge the run's inputs into a minimal set.
    merged="$build/merged-$t"
    rm -rf "$merged" && mkdir -p "$merged"
    "$build/fuzz_$t" -merge=1 -max_len="$max_len" "$merged" "$corpus" "$work" >"$build/merge-$t.log" 2>&1 || true
    if [ -n "$(ls -A "$merged")" ]; then
        rm -f "$corpus"/* && cp "$merged"/* "$corpus"/
    fi
    echo "== $t: corpus $(ls "$corpus" | wc -l) files, $(du -sk "$corpus" | cut -f1) KiB"
done
