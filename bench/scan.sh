#!/usr/bin/env bash
# Benchmark of `scan` with the real exiftool on two cards made of copies of the shipped
# samples: SMALL small MOV clips, and MIXED clips of every sample type (MOV, MP4, AVI; the
# samples hold no MXF, MKV or MTS clips, and all of them are small).
#   bench/scan.sh [SMALL] [MIXED]   (defaults 320 and 64)
# Per card, measured one after the other in the same run:
#   workers   the scan as it runs (persistent exiftool workers)
#   two-run   the scan forced onto two fresh exiftool runs per batch (a wrapper refuses
#             the workers' probe)
#   baseline  the two commands of every batch of 16 run by hand one after the other
#   limit     two fresh `exiftool -l` runs over the two halves of the card, at the same time
# and reports each scan's wall time as a ratio to the baseline and to the limit, and the
# engine's own processor time per clip (its user and system time, without its children's).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
small=${1:-320}
mixed=${2:-64}
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
make_card mixed "$mixed" "$s/media/A001/C0001.MP4" "$s/media/A001/C0002.MOV" \
    "$s/media/clip with space.avi" "$s/tc/tc25.mp4" "$s/media/A002/C0003.MOV"
# Refuses the workers' probe, so the scan takes two fresh runs per batch.
cat > "$work/two-run" <<WRAP
#!/bin/sh
for a; do [ "\$a" = -stay_open ] && exit 0; done
exec "$exiftool" "\$@"
WRAP
chmod +x "$work/two-run"

echo "load before: $(uptime | sed 's/.*load average/load average/')"
python3 - "$bin" "$exiftool" "$work" <<'PY'
import os, subprocess, sys, time
binary, exiftool, work = sys.argv[1:]
fixed = ["-json", "-G1", "-a", "-u", "-q", "-q", "-api", "largefilesupport=1"]
ticks = os.sysconf("SC_CLK_TCK")

def scan(card, tool):
    """Wall ms, the engine's own processor ms (read from /proc before it is reaped), clips."""
    env = dict(os.environ, ZUN_EXIFTOOL=tool)
    start = time.monotonic()
    p = subprocess.Popen([binary, "scan", card], env=env, stdout=subprocess.PIPE)
    out = p.stdout.read()
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

for name in ("small", "mixed"):
    card = os.path.join(work, name)
    clips = len(media(card))
    workers_wall, own = scan(card, exiftool)
    two_wall, _ = scan(card, os.path.join(work, "two-run"))
    base = baseline(card)
    lim = limit(card)
    print(f"{name} card: {clips} clips")
    print(f"  baseline {base:.0f} ms, limit {lim:.0f} ms ({lim / base:.2f} of the baseline)")
    print(f"  workers  {workers_wall:.0f} ms: ratio {workers_wall / base:.2f} to the baseline, "
          f"{workers_wall / lim:.2f} to the limit; own time {own / clips:.3f} ms per clip")
    print(f"  two-run  {two_wall:.0f} ms: ratio {two_wall / base:.2f} to the baseline, "
          f"{two_wall / lim:.2f} to the limit")
PY
echo "load after: $(uptime | sed 's/.*load average/load average/')"
