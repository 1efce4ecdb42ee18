#!/usr/bin/env bash
# make_manifest verify on its default connections against one connection, in the same run: a
# release of 10,000 small files on the test server on loopback, every answer held back 20 ms like
# a distant server's round trip. Goal: the default takes at most a quarter of the time.
# Usage: BUILD_DIR=build/<name> bench/verify_bench.sh [runs]   (best of `runs`, default 3)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out="${BUILD_DIR:-$here/build}"
case "$out" in /*) ;; *) out="$here/$out" ;; esac
runs="${1:-3}"
tool="$out/native/tools/make_manifest"
work="$out/verify-bench"
files=10000
delay_ms=20
goal=0.25

[ -x "$tool" ] || BUILD_DIR="$out" "$here/scripts/build" native >/dev/null
. "$here/bench/test_server.sh"
trap 'stop_server; rm -rf "$work"' EXIT
rm -rf "$work"
mkdir -p "$work/served"
echo "== making $files files of 100 to 4,000 bytes"
python3 - "$work/served" "$files" <<'PY'
import os, random, sys
root, count = sys.argv[1], int(sys.argv[2])
rng = random.Random(11)
for i in range(count):
    path = os.path.join(root, "d%02d" % (i % 40), "f%05d.bin" % i)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(rng.randbytes(rng.randint(100, 4000)))
PY
"$tool" "$work/served" --at-paths --version bench --run d00/f00000.bin --quiet -o "$work/served/manifest.txt"
cp "$work/served/manifest.txt" "$work/expected.txt"
echo "{\"*\": {\"delay_ms\": $delay_ms}}" > "$work/rules.json"
start_server

now() { date +%s.%N; }
calc() { awk "BEGIN { print ($1) }"; }
lower() { if [ -z "$1" ] || [ "$(calc "$2 < $1")" = 1 ]; then echo "$2"; else echo "$1"; fi; }
# A run counts only when it found the release whole.
timed_verify() {
    local t0 t1
    t0=$(now)
    "$tool" verify "$url" --expect "$work/expected.txt" "$@" 2>/dev/null | tail -1 > "$work/summary"
    t1=$(now)
    grep -q "^verify: $files files, 0 problems" "$work/summary" || { cat "$work/summary" >&2; exit 1; }
    calc "$t1 - $t0"
}
best_default=""
best_one=""
for run in $(seq "$runs"); do
    default=$(timed_verify)
    one=$(timed_verify --connections 1)
    printf "run %d: default connections %.2f s, --connections 1 %.2f s\n" "$run" "$default" "$one"
    best_default=$(lower "$best_default" "$default")
    best_one=$(lower "$best_one" "$one")
done
ratio=$(calc "$best_default / $best_one")
printf "%d files, %d ms per answer; best of %d runs\n" "$files" "$delay_ms" "$runs"
printf "make_manifest verify:                  %.2f s\n" "$best_default"
printf "make_manifest verify --connections 1:  %.2f s\n" "$best_one"
printf "ratio default / one connection: %.3f (goal <= %.2f)\n" "$ratio" "$goal"
[ "$(calc "$ratio <= $goal")" = 1 ]
