#!/usr/bin/env bash
# Scale measurements of `scan` with a stand-in exiftool that answers at once.
#   bench/scale.sh [BUILD_DIR]   (default: build)
#
# (a) Discovery time over a tree of 100,000 entries (3,000 media files, the rest other
#     files, hidden entries and nested folders). The done event's "ms" starts after
#     discovery, so discovery time = wall time of the whole `scan` minus that "ms"
#     (the small rest is process start, the version query and the first event lines).
# (b) Peak memory (max RSS from /usr/bin/time) of a printing `scan` of 1,000 and 10,000
#     clips spread over folders of 500: it must not grow with the number of clips.
# (c) Time per clip (done "ms" / clips) for 1,000 and 10,000 clips in ONE folder, with
#     motion companions beside some clips: it must stay flat, not grow with the folder.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$root/build"}
bin="$build/zun-metadata-core"
[[ -x $bin ]] || { echo "build first: ninja -C $build zun-metadata-core" >&2; exit 1; }
[[ -x /usr/bin/time ]] || { echo "needs /usr/bin/time" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The stand-in tool: a few tags per file, in both the raw and the printed run.
cat > "$work/exiftool" <<'TOOL'
#!/bin/sh
if [ "$1" = "-ver" ]; then echo 12.76; exit 0; fi
shift 8
if [ "$1" = "-n" ]; then shift; fi
printf '['
sep=''
for f in "$@"; do
  printf '%s{"SourceFile":"%s","File:FileType":"MP4","QuickTime:ImageWidth":3840,"QuickTime:VideoFrameRate":25,"Sony:GyroData":"x"}' "$sep" "$f"
  sep=','
done
printf ']\n'
TOOL
chmod +x "$work/exiftool"
export ZUN_EXIFTOOL="$work/exiftool"

python3 - "$work" <<'PY'
import os, sys
work = sys.argv[1]

def touch(path):
    open(path, "wb").close()

# (a) 100,000 entries: 10 top folders x 10 x 10 (1,110 folders), 3,000 media files,
# hidden files and folders, and other files up to the total.
tree = os.path.join(work, "tree")
entries = 0
folders = []
for a in range(10):
    for b in range(10):
        for c in range(10):
            d = os.path.join(tree, f"A{a}", f"B{b}", f"C{c}")
            os.makedirs(d)
            folders.append(d)
entries += 10 + 100 + 1000
for i in range(3000):
    touch(os.path.join(folders[i % len(folders)], f"C{i:05d}.MP4"))
entries += 3000
for i, d in enumerate(folders[:200]):
    os.makedirs(os.path.join(d, ".hidden"))
    touch(os.path.join(d, ".hidden", "H.MP4"))
    entries += 2
kinds = ["XML", "txt", "jpg", "gcsv", "MP4.xml", "bin"]
i = 0
while entries < 100_000:
    touch(os.path.join(folders[i % len(folders)], f"F{i:06d}.{kinds[i % len(kinds)]}"))
    entries += 1
    i += 1
print(f"tree: {entries} entries, 3000 media files")

# (b) 1,000 and 10,000 clips in folders of 500.
for n in (1000, 10000):
    for i in range(n):
        d = os.path.join(work, f"spread{n}", f"D{i // 500:03d}")
        if i % 500 == 0:
            os.makedirs(d)
        touch(os.path.join(d, f"C{i:05d}.MP4"))

# (c) 1,000 and 10,000 clips in one folder, a Gyroflow log beside every tenth clip and a
# Sony sidecar beside every fifth.
for n in (1000, 10000):
    d = os.path.join(work, f"flat{n}")
    os.makedirs(d)
    for i in range(n):
        touch(os.path.join(d, f"C{i:05d}.MP4"))
        if i % 10 == 0:
            touch(os.path.join(d, f"C{i:05d}.gcsv"))
        if i % 5 == 0:
            touch(os.path.join(d, f"C{i:05d}M01.XML"))
PY

# Runs `scan` over $1; prints "wall_ms done_ms clips errors max_rss_kb".
measure() {
    local start end done
    start=$(date +%s%N)
    done=$(/usr/bin/time -f '%M' -o "$work/rss" "$bin" scan "$1" | tail -n 1)
    end=$(date +%s%N)
    python3 -c '
import json, sys
d = json.loads(sys.argv[1])
assert d["event"] == "done", d
print(int(sys.argv[2]), d["ms"], d["clips"], d["errors"], int(open(sys.argv[3]).read().split()[-1]))
' "$done" $(( (end - start) / 1000000 )) "$work/rss"
}

echo "(a) discovery over the 100,000-entry tree (3 runs):"
for run in 1 2 3; do
    read -r wall ms clips errors rss < <(measure "$work/tree")
    echo "    run $run: wall ${wall} ms, after discovery ${ms} ms, discovery $((wall - ms)) ms, clips $clips, errors $errors"
done

echo "(b) peak memory of a printing scan, folders of 500:"
for n in 1000 10000; do
    read -r wall ms clips errors rss < <(measure "$work/spread$n")
    echo "    $clips clips: max RSS ${rss} kB, wall ${wall} ms, errors $errors"
done

echo "(c) one folder, time per clip (exiftool stand-in included):"
for n in 1000 10000; do
    read -r wall ms clips errors rss < <(measure "$work/flat$n")
    python3 -c 'import sys; n, ms, rss = map(int, sys.argv[1:]); print(f"    {n} clips: {ms} ms, {ms / n:.3f} ms per clip, max RSS {rss} kB")' "$clips" "$ms" "$rss"
done
