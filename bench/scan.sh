#!/usr/bin/env bash
# Benchmark of `scan` with the real exiftool on three cards: SMALL small MOV clips (copies of
# the shipped samples), MIXED large clips of five containers (MOV, MP4, MXF, MKV, MTS; about
# 4 MB each, made once by ffmpeg at 1920x1080; without ffmpeg, copies of the small samples), and
# THREE small clips (three batches by default), where the workers' start-up weighs most.
#   bench/scan.sh [SMALL] [MIXED] [ROUNDS] [THREE]   (defaults 320, 64, 3 and 48)
# Per card and round, measured one after the other:
#   workers   the scan as it runs (persistent exiftool workers)
#   two-run   the scan forced onto two fresh exiftool runs per batch (a wrapper refuses
#             the workers' probe)
#   baseline  the two commands of every batch of 16 run by hand one after the other
#   limit     two fresh `exiftool -l` runs over the two halves of the card, at the same time
# and reports the median over the rounds of each scan's wall time as a ratio to the baseline
# and to the limit (each ratio taken within a round), and of the engine's own processor time
# per clip (its user and system time, without its children's). On the THREE card it compares,
# side by side in each round, the scan's wall time with one plain `exiftool -l` run over all its
# files, and the time to the scan's first clip event with one plain `-l` run over its first 16. The machine's speed varies
# from minute to minute; ratios within a round are steadier than the times themselves.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
small=${1:-320}
mixed=${2:-64}
rounds=${3:-3}
three=${4:-48}
bin="$root/build/zun-metadata-core"
exiftool=${EXIFTOOL:-/usr/bin/exiftool}
[[ -x $bin ]] || { echo "build first: cmake -S . -B build -G Ninja && ninja -C build" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
s="$root/samples"
make_card() { # NAME COUNT SAMPLE...
    local name=$1 count=$2 i src
    shift 2
    local -a from=("$@")
    for ((i = 0; i < count; i++)); do
        src=${from[i % ${#from[@]}]}
        mkdir -p "$work/$name/D$((i / 500))"
        cp "$src" "$work/$name/D$((i / 500))/C$(printf %05d "$i").${src##*.}"
    done
}
make_card small "$small" "$s/media/A001/C0002.MOV" "$s/media/A002/C0003.MOV" "$s/tc/tc24.mov" \
    "$s/tc/tc2997df.mov" "$s/tc/tc5994df.mov"
make_card three "$three" "$s/media/A001/C0002.MOV" "$s/media/A002/C0003.MOV" "$s/tc/tc24.mov" \
    "$s/tc/tc2997df.mov" "$s/tc/tc5994df.mov" "$s/formats/mpeg2_25p.mxf" "$s/formats/mjpeg_25.avi"
if command -v ffmpeg >/dev/null; then
    mkdir -p "$work/src"
    big=(-f lavfi -i testsrc2=size=1920x1080:rate=25 -f lavfi -i sine=sample_rate=48000 -t 4)
    make_clip() { # NAME ARGS...
        local name=$1
        shift
        ffmpeg -nostdin -hide_banner -loglevel error "${big[@]}" "$@" "$work/src/$name"
    }
    make_clip a.mov -c:v libx264 -preset ultrafast -b:v 8M -c:a pcm_s16le -timecode 01:00:00:00
    make_clip b.mp4 -c:v libx264 -preset ultrafast -b:v 8M -c:a aac
    make_clip c.mxf -c:v mpeg2video -b:v 8M -c:a pcm_s16le -timecode 02:00:00:00
    make_clip d.mkv -c:v libx264 -preset ultrafast -b:v 8M -c:a aac
    make_clip e.mts -c:v mpeg2video -b:v 8M -c:a ac3 -f mpegts
    make_card mixed "$mixed" "$work"/src/{a.mov,b.mp4,c.mxf,d.mkv,e.mts}
else
    make_card mixed "$mixed" "$s/media/A001/C0001.MP4" "$s/media/A001/C0002.MOV" \
        "$s/media/clip with space.avi" "$s/tc/tc25.mp4" "$s/media/A002/C0003.MOV"
fi
# Refuses the workers' probe, so the scan takes two fresh runs per batch.
cat > "$work/two-run" <<WRAP
#!/bin/sh
for a; do [ "\$a" = -stay_open ] && exit 0; done
exec "$exiftool" "\$@"
WRAP
chmod +x "$work/two-run"

echo "load before: $(uptime | sed 's/.*load average/load average/')"
python3 - "$bin" "$exiftool" "$work" "$rounds" <<'PY'
import os, statistics, subprocess, sys, time
binary, exiftool, work, rounds = sys.argv[1:]
fixed = ["-json", "-G1", "-a", "-u", "-q", "-q", "-api", "largefilesupport=1"]
ticks = os.sysconf("SC_CLK_TCK")

def scan(card, tool, first=None):
    """Wall ms, the engine's own processor ms (read from /proc before it is reaped); the ms to
    the first clip event go to first[0] when asked."""
    env = dict(os.environ, ZUN_EXIFTOOL=tool)
    start = time.monotonic()
    p = subprocess.Popen([binary, "scan", card], env=env, stdout=subprocess.PIPE)
    out = b""
    for line in p.stdout:
        if first is not None and not first and b'"event":"clip"' in line:
            first.append((time.monotonic() - start) * 1000)
        out += line
    os.waitid(os.P_PID, p.pid, os.WEXITED | os.WNOWAIT)
    wall = (time.monotonic() - start) * 1000
    stat = open(f"/proc/{p.pid}/stat").read()
    fields = stat[stat.rindex(")") + 2:].split()
    own = (int(fields[11]) + int(fields[12])) * 1000 / ticks  # utime + stime
    p.wait()
    done = [l for l in out.decode().splitlines() if '"event":"done"' in l][-1]
    assert '"errors":0' in done, done
    return wall, own

def media(card):
    return sorted(os.path.join(d, f) for d, _, fs in os.walk(card) for f in fs)

def baseline(card):
    files = media(card)
    start = time.monotonic()
    for i in range(0, len(files), 16):
        batch = files[i:i + 16]
        for numeric in (["-n"], []):
            subprocess.run([exiftool] + fixed + numeric + batch, stdout=subprocess.DEVNULL, check=True)
    return (time.monotonic() - start) * 1000

def limit(card):
    files = media(card)
    half = (len(files) + 1) // 2
    start = time.monotonic()
    runs = [subprocess.Popen([exiftool] + fixed + ["-l"] + part, stdout=subprocess.DEVNULL)
            for part in (files[:half], files[half:])]
    for r in runs:
        r.wait()
    return (time.monotonic() - start) * 1000

def median(values):
    return statistics.median(values)

def plain(files):
    start = time.monotonic()
    subprocess.run([exiftool] + fixed + ["-l"] + files, stdout=subprocess.DEVNULL, check=True)
    return (time.monotonic() - start) * 1000

card = os.path.join(work, "three")
files = media(card)
rows = []  # per round: scan, plain over all, first clip, plain over the first 16
for _ in range(int(rounds)):
    first = []
    wall, _ = scan(card, exiftool, first)
    rows.append((wall, plain(files), first[0], plain(files[:16])))
print(f"three card: {len(files)} clips; medians of {len(rows)} rounds")
print(f"  scan {median([r[0] for r in rows]):.0f} ms against one plain -l run over the card "
      f"{median([r[1] for r in rows]):.0f} ms: ratio {median([r[0] / r[1] for r in rows]):.2f}")
print(f"  first clip {median([r[2] for r in rows]):.0f} ms against one plain -l run over 16 "
      f"{median([r[3] for r in rows]):.0f} ms: ratio {median([r[2] / r[3] for r in rows]):.2f}")

for name in ("small", "mixed"):
    card = os.path.join(work, name)
    clips = len(media(card))
    size = sum(os.path.getsize(f) for f in media(card)) / 1e6
    rows = []  # per round: workers, own, two-run, baseline, limit
    for _ in range(int(rounds)):
        workers_wall, own = scan(card, exiftool)
        two_wall, _ = scan(card, os.path.join(work, "two-run"))
        rows.append((workers_wall, own, two_wall, baseline(card), limit(card)))
    base = median([r[3] for r in rows])
    lim = median([r[4] for r in rows])
    print(f"{name} card: {clips} clips, {size:.0f} MB; medians of {len(rows)} rounds")
    print(f"  baseline {base:.0f} ms, limit {lim:.0f} ms "
          f"({median([r[4] / r[3] for r in rows]):.2f} of the baseline)")
    for label, col in (("workers", 0), ("two-run", 2)):
        wall = median([r[col] for r in rows])
        line = (f"  {label}  {wall:.0f} ms: ratio {median([r[col] / r[3] for r in rows]):.2f} "
                f"to the baseline, {median([r[col] / r[4] for r in rows]):.2f} to the limit")
        if col == 0:
            line += f"; own time {median([r[1] for r in rows]) / clips:.3f} ms per clip"
        print(line)
PY
echo "load after: $(uptime | sed 's/.*load average/load average/')"
