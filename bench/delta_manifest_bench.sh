#!/usr/bin/env bash
# What block maps cost make_manifest: the same release published with maps (written on a second
# thread while the first hashes) and with --no-delta, alternating in the same run, best of N.
# The release holds 8 files of 128 MiB and 200 small ones, made under the build folder and
# deleted afterwards; it is read once before timing, so both runs read from the page cache. Each
# run with maps starts from an empty launcher.maps/, so every map is written. The goal is about
# wall-clock time with a second core free; the CPU time printed beside it tells a run that had
# none (the machine shared) from a slow one.
# Usage: BUILD_DIR=build/<name> bench/delta_manifest_bench.sh [runs]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out="${BUILD_DIR:-$here/build}"
case "$out" in /*) ;; *) out="$here/$out" ;; esac
runs="${1:-3}"
tool="$out/native/tools/make_manifest"
tree="$out/delta-manifest-bench-tree"
goal=1.30

[ -x "$tool" ] || BUILD_DIR="$out" "$here/scripts/build" native >/dev/null
trap 'rm -rf "$tree" "$out"/delta-manifest-bench-*.txt' EXIT
rm -rf "$tree"
echo "== making $tree: 8 files of 128 MiB, 200 small files"
python3 - "$tree" <<'PY'
import os, sys
root = sys.argv[1]
block = os.urandom(16 * 1024 ** 2)
for i in range(8):
    os.makedirs(os.path.join(root, "packs"), exist_ok=True)
    with open(os.path.join(root, "packs", "pack%d.pak" % i), "wb") as f:
        for j in range(8):
            f.write(block[(i * 8 + j) * 4099:] + block[:(i * 8 + j) * 4099])
for i in range(200):
    os.makedirs(os.path.join(root, "data"), exist_ok=True)
    with open(os.path.join(root, "data", "file%03d.dat" % i), "wb") as f:
        f.write(block[i * 1000:i * 1000 + 20000 + i * 100])
PY
cat $(find "$tree" -type f) > /dev/null
mb=$(du -sm "$tree" | cut -f1)

calc() { awk "BEGIN { print ($1) }"; }
lower() { if [ -z "$1" ] || [ "$(calc "$2 < $1")" = 1 ]; then echo "$2"; else echo "$1"; fi; }
# Prints "wall cpu" in seconds for make_manifest with the given options, its list going to $1.
TIMEFORMAT='%R %U %S'
timed() {
    local list=$1
    shift
    { time "$tool" "$tree" --at-paths --version bench --run data/file000.dat --quiet "$@" > "$list" 2>/dev/null; } 2>&1 |
        awk '{ print $1, $2 + $3 }'
}
best_plain=""
best_maps=""
for run in $(seq "$runs"); do
    read -r plain plain_cpu < <(timed "$out/delta-manifest-bench-plain.txt" --no-delta)
    rm -rf "$tree/launcher.maps"
    read -r maps maps_cpu < <(timed "$out/delta-manifest-bench-maps.txt")
    printf "run %d: --no-delta %.2f s (%.2f s of CPU), with maps %.2f s (%.2f s of CPU)\n" "$run" "$plain" \
        "$plain_cpu" "$maps" "$maps_cpu"
    best_plain=$(lower "$best_plain" "$plain")
    best_maps=$(lower "$best_maps" "$maps")
done

maps=$(ls "$tree/launcher.maps" | wc -l)
lines=$(grep -c '^M|' "$out/delta-manifest-bench-maps.txt")
if [ "$maps" -ne 8 ] || [ "$lines" -ne 8 ] || grep -q '^M|' "$out/delta-manifest-bench-plain.txt"; then
    echo "expected 8 maps and 8 M| lines with maps, none without; found $maps maps, $lines lines" >&2
    exit 1
fi
ratio=$(calc "$best_maps / $best_plain")
printf "release: %d MB, %d maps of %d KB together; best of %d runs, wall clock on %d cores, load %s\n" "$mb" \
    "$maps" "$(du -sk "$tree/launcher.maps" | cut -f1)" "$runs" "$(nproc)" "$(cut -d' ' -f1-3 /proc/loadavg)"
printf "make_manifest --no-delta: %.2f s, %.1f MB/s\n" "$best_plain" "$(calc "$mb / $best_plain")"
printf "make_manifest with maps:  %.2f s, %.1f MB/s\n" "$best_maps" "$(calc "$mb / $best_maps")"
printf "ratio with maps / --no-delta: %.2f (goal <= %.2f)\n" "$ratio" "$goal"
[ "$(calc "$ratio <= $goal")" = 1 ]
