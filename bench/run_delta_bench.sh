#!/usr/bin/env bash
# Delta updates measured under wine on the shipped 32-bit build (the win64 one where this kernel
# runs no 32-bit programs), through the launcher's own rebuild against its own whole download:
#   fetch   bytes the server sent for a 1 GiB file, map included: changed in 1% of its bytes in
#           100 places (goal <= 3%), 4 KiB put in at its start (<= 0.5%), unchanged (a pass's
#           check finds it current and fetches nothing; the rebuild of that copy fetches no range)
#   time    the 1% rebuild on 4 connections against a whole download of the same file, best of
#           BENCH_ROUNDS each, alternating: server limited to 20 MB/s in all (>= 5x faster), and
#           loopback with no limit (<= 1.2x the whole download's time); then its steps one by one
#   search  the block search over the unchanged 1 GiB file through ReadFile against a plain
#           ReadFile + MD5 loop (>= 0.8 of its speed)
#   collide the block search where weak sums collide against its search of the unchanged 1 GiB
#           file, best of BENCH_ROUNDS each, alternating (<= 2x its time each): an old 1 GiB
#           archive of zero padding between a 1 MiB head and tail whose release refilled the
#           padding with new bytes and a block of blanks, and a hostile map whose weak sums all
#           are the zero block's over 1 GiB of zeros
#   memory  the peak working set of the rebuild of a 5 GiB file changed in 1% (<= 64 MiB)
#   clean   deletes the files the parts made and keep between runs (about 16 GiB)
# The files are made once under BUILD_DIR/delta-bench/ (random ones here, those of the collide
# part by the bench itself, with the generator the native bench uses too) and published with the
# native make_manifest, which writes their maps; the script starts its own test server and wine
# prefix.
# Each part ends with the share of the machine's cores that were busy meanwhile: the bench keeps
# one busy, the server part of another, so a part that saw all of them busy met other work.
# The last line counts the goals met and missed; the exit status is 1 when one was missed.
# Usage: [BUILD_DIR=build] [BENCH_ROUNDS=3] bench/run_delta_bench.sh [fetch] [time] [search] [collide] [memory]
#        [clean]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out="${BUILD_DIR:-build}"
case "$out" in /*) ;; *) out="$here/$out" ;; esac
rounds="${BENCH_ROUNDS:-3}"
work="$out/delta-bench"
parts=("$@")
[ ${#parts[@]} -eq 0 ] && parts=(fetch time search collide memory)

gib=1073741824
changed_goal=3.0       # percent of the file, map included
inserted_goal=0.5
limited_rate=20000000  # bytes per second for all answers together
limited_goal=5         # times faster than the whole download
loopback_goal=1.2      # times the whole download's time, at most
search_goal=0.8        # of the plain loop's speed, at least
collide_goal=2         # times the search of the unchanged file, at most
memory_goal=64         # MiB of peak working set

if BUILD_DIR="$out" "$here/scripts/runs-32bit"; then
    tree=win32
    which_build="the shipped 32-bit build"
else
    tree=win64
    which_build="the win64 build (this kernel runs no 32-bit programs)"
fi
bench_exe="$out/$tree/bench/delta_update_bench.exe"
tool="$out/native/tools/make_manifest"
echo "delta update benchmarks on $which_build: $bench_exe"

# A prefix of its own, so that the bench never ends the server of a test run in the same checkout.
export WINEPREFIX="$work/wineprefix"

wine_path() { echo "Z:$(echo "$1" | tr / '\\')"; }
# The bench under wine, its lines kept for the count of goals at the end.
bench() { "$here/scripts/wine-run" "$bench_exe" "$@" | tee -a "$work/figures.txt"; }

# make_random FILE SIZE: SIZE random bytes, in place only once whole.
make_random() {
    python3 - "$1" "$2" <<'PY'
import os, sys
name, size = sys.argv[1], int(sys.argv[2])
piece = 16 << 20
with open(name + ".tmp", "wb") as f:
    for at in range(0, size, piece):
        f.write(os.urandom(min(piece, size - at)))
os.replace(name + ".tmp", name)
PY
}

# make_new OLD NEW KIND: the new file of a case from the old one. "changed": 1% of its bytes
# replaced in 100 places, one at a random offset in each hundredth of the file; "inserted": 4 KiB
# put in at its start.
make_new() {
    python3 - "$@" <<'PY'
import os, random, sys
old, new, kind = sys.argv[1], sys.argv[2], sys.argv[3]
size = os.path.getsize(old)
rng = random.Random(7)
piece = 16 << 20
places = 100
length = size // 100 // places
stretch = size // places
changes = [p * stretch + rng.randrange(stretch - length) for p in range(places)] if kind == "changed" else []
with open(old, "rb") as source, open(new + ".tmp", "wb") as target:
    if kind == "inserted":
        target.write(os.urandom(4096))
    at = 0
    while True:
        data = source.read(piece)
        if not data:
            break
        if changes:
            data = bytearray(data)
            for start in changes:
                low, high = max(start, at), min(start + length, at + len(data))
                if low < high:
                    data[low - at:high - at] = os.urandom(high - low)
        target.write(data)
        at += len(data)
os.replace(new + ".tmp", new)
PY
}

# make_case FILE KIND: FILE made by the bench as a 1 GiB file of a collide case (padded-old,
# padded-release, zeros).
make_case() {
    "$here/scripts/wine-run" "$bench_exe" make "$2" "$(wine_path "$1")" "$gib"
}

# publish CASE OLD KIND: served/CASE/big.bin made from OLD ("same" is OLD itself, "padded-release"
# the release of the padded archive OLD) and published there with its list and map; kept until
# OLD is made anew.
publish() {
    local release="$work/served/$1"
    [ -f "$release/manifest.txt" ] && [ "$release/manifest.txt" -nt "$2" ] && return 0
    echo "-- making and publishing $1"
    rm -rf "$release"
    mkdir -p "$release"
    case "$3" in
        same) ln "$2" "$release/big.bin" ;;
        padded-release) make_case "$release/big.bin" padded-release ;;
        *) make_new "$2" "$release/big.bin" "$3" ;;
    esac
    "$tool" "$release" --at-paths --version bench --run big.bin --quiet -o "$release/manifest.txt"
}

old_copy() {
    [ -f "$work/$1" ] || { echo "-- making $work/$1"; make_random "$work/$1" "$2"; }
}

# case_copy NAME KIND: an old copy of a collide case, made once.
case_copy() {
    [ -f "$work/$1" ] || { echo "-- making $work/$1"; make_case "$work/$1" "$2"; }
}

files_collide() {
    case_copy old-padded.bin padded-old
    case_copy old-zeros.bin zeros
    publish padded "$work/old-padded.bin" padded-release
}

files_1g() {
    old_copy old1g.bin "$gib"
    publish same "$work/old1g.bin" same
    publish changed "$work/old1g.bin" changed
    publish inserted "$work/old1g.bin" inserted
}

. "$here/bench/test_server.sh"
wine_started=""
finish() {
    stop_server
    [ -z "$wine_started" ] || "$here/scripts/wine-run" --stop
    rm -rf "$work/game"
}

# The bench with its game folder, a case's address and list, the old copy and the server's log.
run_case() {
    local mode=$1 case=$2 old=$3
    shift 3
    bench "$mode" "$(wine_path "$work/game")\\" "${url}$case/" \
        "$(wine_path "$work/served/$case/manifest.txt")" "$(wine_path "$work/$old")" "$(wine_path "$work/server.log")" "$@"
}

# The machine's CPU counters (busy, all) from /proc/stat, for the share busy during a part.
cpu_mark() { awk '/^cpu / {print $2 + $3 + $4 + $7 + $8, $2 + $3 + $4 + $5 + $6 + $7 + $8}' /proc/stat; }
cpu_report() {
    local now
    now=$(cpu_mark)
    echo "$1 $now" | awk -v cores="$(nproc)" -v load="$(cut -d' ' -f1-3 /proc/loadavg)" \
        '{printf "   (cores busy meanwhile: %.0f%% of %d; load average now %s)\n", 100 * ($3 - $1) / ($4 - $2), cores, load}'
}

bench_fetch() {
    echo "== bytes fetched for a 1 GiB file, map included (rebuild_file, $tree)"
    files_1g
    run_case unchanged same old1g.bin
    run_case fetch changed old1g.bin "1% changed in 100 places" "$changed_goal"
    run_case fetch inserted old1g.bin "4 KiB inserted at the start" "$inserted_goal"
}

bench_time() {
    echo "== time of the 1% delta against a whole download of the same 1 GiB file, best of $rounds ($tree)"
    files_1g
    echo "{\"*\": {\"rate_all\": $limited_rate}}" > "$work/rules.json"
    run_case race changed old1g.bin "$rounds" "server limited to $((limited_rate / 1000000)) MB/s in all" \
        faster "$limited_goal"
    echo '{}' > "$work/rules.json"
    run_case race changed old1g.bin "$rounds" "loopback with no limit" within "$loopback_goal"
    bench profile "$(wine_path "$work/game")\\" \
        "$(wine_path "$work/served/changed/manifest.txt")" "$(wine_path "$work/old1g.bin")"
}

bench_search() {
    echo "== the block search over the unchanged 1 GiB file against a plain read + MD5 loop, best of $rounds ($tree)"
    files_1g
    bench search "$(wine_path "$work/served/same/manifest.txt")" \
        "$(wine_path "$work/old1g.bin")" "$rounds" "$search_goal"
}

bench_collide() {
    echo "== the block search where weak sums collide against its search of the unchanged 1 GiB file," \
        "best of $rounds ($tree)"
    files_1g
    files_collide
    bench collide "$(wine_path "$work/served/same/manifest.txt")" "$(wine_path "$work/old1g.bin")" \
        "$(wine_path "$work/served/padded/manifest.txt")" "$(wine_path "$work/old-padded.bin")" \
        "$(wine_path "$work/old-zeros.bin")" "$rounds" "$collide_goal"
}

bench_memory() {
    echo "== peak working set of a delta update of a 5 GiB file changed in 1% ($tree)"
    old_copy old5g.bin $((5 * gib))
    publish changed5g "$work/old5g.bin" changed
    echo '{}' > "$work/rules.json"
    run_case memory changed5g old5g.bin "$memory_goal"
}

for part in "${parts[@]}"; do
    case "$part" in
        fetch|time|search|collide|memory|clean) ;;
        *) echo "unknown part: $part" >&2; exit 2 ;;
    esac
done
if [ "${parts[*]}" = clean ]; then
    rm -rf "$work"
    exit 0
fi
BUILD_DIR="$out" BUILD_JOBS="${BUILD_JOBS:-1}" "$here/scripts/build" native "$tree" >/dev/null
mkdir -p "$work/served"
: > "$work/figures.txt"
trap finish EXIT
echo '{}' > "$work/rules.json"
start_server "$work/server.log"
wine_started=yes
"$here/scripts/wine-run" --start "$work/wine.log"
for part in "${parts[@]}"; do
    rm -rf "$work/game"
    mkdir -p "$work/game"
    mark=$(cpu_mark)
    case "$part" in
        fetch) bench_fetch ;;
        time) bench_time ;;
        search) bench_search ;;
        collide) bench_collide ;;
        memory) bench_memory ;;
        clean) rm -rf "$work/served" "$work"/old*.bin ;;
    esac
    cpu_report "$mark"
done
met=$(grep -c ': met' "$work/figures.txt" || true)
missed=$(grep -c ': MISSED' "$work/figures.txt" || true)
echo "goals: $met met, $missed missed"
[ "$missed" -eq 0 ]
