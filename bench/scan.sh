#!/usr/bin/env bash
# Benchmark of `scan` on a tree of small media files with the real exiftool.
#   bench/scan.sh [FILES]   (default 2000)
# Reports (a) the engine's own time per clip: the done event's ms minus the time
# spent inside the exiftool runs (each batch's two concurrent runs timed by a
# wrapper, from the first start to the last end), and (b) the scan's wall time
# against running the same two exiftool commands per batch one after the other.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
files=${1:-2000}
bin="$root/build/zun-metadata-core"
exiftool=${EXIFTOOL:-/usr/bin/exiftool}
[[ -x $bin ]] || { echo "build first: cmake -S . -B build -G Ninja && ninja -C build" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
samples=("$root"/samples/media/A001/C0001.MP4 "$root"/samples/media/A001/C0002.MOV)
for ((i = 0; i < files; i++)); do
    dir="$work/card/D$((i / 500))"
    mkdir -p "$dir"
    src=${samples[i % 2]}
    cp "$src" "$dir/C$(printf %05d "$i").${src##*.}"
done

# Wrapper that records the start and end of every run of the tool.
cat > "$work/exiftool" <<WRAP
#!/bin/sh
t0=\$(date +%s%N)
"$exiftool" "\$@"
t1=\$(date +%s%N)
echo "\$t0 \$t1" >> "$work/runs.log"
WRAP
chmod +x "$work/exiftool"

start=$(date +%s%N)
ZUN_EXIFTOOL="$work/exiftool" "$bin" scan "$work/card" > "$work/scan.jsonl"
end=$(date +%s%N)
scan_wall_ms=$(( (end - start) / 1000000 ))

# Sequential baseline: the same two commands per batch of 16, one after the other.
mapfile -t media < <(find "$work/card" -type f | sort)
start=$(date +%s%N)
for ((i = 0; i < ${#media[@]}; i += 16)); do
    batch=("${media[@]:i:16}")
    "$exiftool" -json -G1 -a -u -q -q -api largefilesupport=1 -n "${batch[@]}" > /dev/null
    "$exiftool" -json -G1 -a -u -q -q -api largefilesupport=1 "${batch[@]}" > /dev/null
done
end=$(date +%s%N)
seq_wall_ms=$(( (end - start) / 1000000 ))

python3 - "$work/scan.jsonl" "$work/runs.log" "$scan_wall_ms" "$seq_wall_ms" <<'PY'
import json, sys
lines = [json.loads(l) for l in open(sys.argv[1])]
done = lines[-1]
runs = sorted(tuple(map(int, l.split())) for l in open(sys.argv[2]))
# The two runs of a batch overlap; merge overlapping intervals into batch spans.
spans = []
for a, b in runs:
    if spans and a <= spans[-1][1]:
        spans[-1][1] = max(spans[-1][1], b)
    else:
        spans.append([a, b])
tool_ms = sum(b - a for a, b in spans) / 1e6
clips = done["clips"]
own = (done["ms"] - tool_ms) / clips if clips else 0.0
scan_wall, seq_wall = int(sys.argv[3]), int(sys.argv[4])
print(f"clips: {clips}, errors: {done['errors']}, batches: {len(spans)}")
print(f"done ms: {done['ms']}, inside exiftool: {tool_ms:.0f} ms")
print(f"(a) own time per clip: {own:.3f} ms")
print(f"(b) scan wall: {scan_wall} ms, sequential exiftool baseline: {seq_wall} ms, ratio: {scan_wall / seq_wall:.2f}")
PY
