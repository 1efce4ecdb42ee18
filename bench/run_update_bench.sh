#!/usr/bin/env bash
# Benchmarks of the update pass under wine, of the shipped 32-bit build wherever this kernel runs
# 32-bit programs (the 64-bit twin elsewhere; the first line says which): the local check of
# 10,000 files (one thread against several, warm cache against a bare attribute loop, no cache
# against md5sum), downloads over loopback (1 GiB and 2,000 small files against a bare
# read/digest/write loop on the same stack; the download step on 4 connections against 1, with
# and without a 20 ms answer delay; curl for context), a 1 GiB download cut at 60% and resumed,
# the peak working set of downloads on one and on 8 connections, the signature steps of a pass
# over a signed list of 50,000 entries against its parsing, a signed 1 GiB download (MD5 and
# SHA-256) against a bare loop computing both, and the two builds side by side (MD5 in memory,
# the system's SHA-256 for context, the 1 GiB download in wall and in CPU time).
# Builds the win32 tree and the native make_manifest when missing; the 64-bit twin needs the
# win64 tree built.
# Usage: BUILD_DIR=build [BENCH_ROUNDS=3] [SIGNATURE_ROUNDS=20] bench/run_update_bench.sh [builds]
#        [check] [big] [small] [resume] [memory] [signature] [signed]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out="${BUILD_DIR:-build}"
case "$out" in /*) ;; *) out="$here/$out" ;; esac
shipped_bench="$out/win32/bench/update_bench.exe"
twin_bench="$out/win64/bench/update_bench.exe"
work="$out/bench-work"
# A prefix of its own, so that a bench never ends the server of a test run in the same checkout.
export WINEPREFIX="$out/bench-wineprefix"
rounds="${BENCH_ROUNDS:-3}"
parts=("$@")
[ ${#parts[@]} -eq 0 ] && parts=(builds check big small resume memory signature signed)
tool="$out/native/tools/make_manifest"
threads=$(nproc)
[ "$threads" -gt 4 ] && threads=4
# Passes of the md5 mode over its 64 MiB: about a second of CPU time per round, so that the
# thread clock's 10 ms ticks stay near 1% of it.
md5_passes=16

if BUILD_DIR="$out" "$here/scripts/runs-32bit"; then
    runs_32bit=yes
    bench_exe=$shipped_bench
    echo "measuring the shipped 32-bit build: $bench_exe"
    [ -x "$bench_exe" ] || BUILD_DIR="$out" "$here/scripts/build" win32 >/dev/null
else
    runs_32bit=no
    bench_exe=$twin_bench
    echo "measuring the 64-bit twin: $bench_exe (this kernel runs no 32-bit programs)"
    [ -x "$bench_exe" ] || { echo "build the win64 tree first: $bench_exe is missing" >&2; exit 2; }
fi

wine_path() { echo "Z:$(echo "$1" | tr / '\\')"; }
run_bench() { "$here/scripts/wine-run" "$bench_exe" "$@"; }
# higher BEST RATE: the higher of the two (BEST is empty before the first round).
higher() { awk -v best="$1" -v rate="$2" 'BEGIN {print (best == "" || rate + 0 > best + 0) ? rate : best}'; }
seconds_between() { echo "$1 $2" | awk '{printf "%.2f", $2 - $1}'; }

# make_files DIR COUNT MIN MAX LIST [FOLDER]: COUNT files of random sizes in DIR (below FOLDER/)
# and their update list.
make_files() {
    python3 - "$@" <<'PY'
import hashlib, os, random, sys
root, count, low, high, list_file = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]
folder = sys.argv[6] + "/" if len(sys.argv) > 6 else ""
rng = random.Random(7)
lines = ["Version=bench"]
for i in range(count):
    rel = folder + "d%02d/f%05d.bin" % (i % 50, i)
    data = rng.randbytes(rng.randint(low, high))
    os.makedirs(os.path.join(root, os.path.dirname(rel)), exist_ok=True)
    with open(os.path.join(root, rel), "wb") as f:
        f.write(data)
    lines.append("F|%s|%d|%s" % (hashlib.md5(data).hexdigest(), len(data), rel))
with open(list_file, "w") as f:
    f.write("\n".join(lines) + "\n")
PY
}

# pattern_list NAME SIZE LIST: an update list of one file that the server's "generate" rule serves.
pattern_list() {
    python3 - "$@" <<'PY'
import hashlib, sys
name, size, list_file = sys.argv[1], int(sys.argv[2]), sys.argv[3]
block = bytes(range(251)) * 4178   # whole pattern periods, so blocks join seamlessly
digest = hashlib.md5()
left = size
while left > 0:
    digest.update(block[:min(left, len(block))])
    left -= min(left, len(block))
with open(list_file, "w") as f:
    f.write("Version=bench\nF|%s|%d|%s\n" % (digest.hexdigest(), size, name))
PY
}

. "$here/bench/test_server.sh"
finish() { stop_server; "$here/scripts/wine-run" --stop; }
fresh_target() { rm -rf "$work/target"; mkdir -p "$work/target"; target="$(wine_path "$work/target")\\"; }

bench_check() {
    echo "== check of 10,000 listed files"
    if [ ! -f "$work/check.list" ]; then
        rm -rf "$work/check"; mkdir -p "$work/check"
        make_files "$work/check" 10000 1024 65536 "$work/check.list"
    fi
    (cd "$work/check" && find . -name '*.bin' -print0 | xargs -0 cat >/dev/null)
    local bytes start end md5sum_mibs result cold
    bytes=$(cd "$work/check" && find . -name '*.bin' -printf '%s\n' | awk '{s+=$1} END {print s}')
    start=$(date +%s.%N)
    (cd "$work/check" && find . -name '*.bin' -print0 | xargs -0 md5sum >/dev/null)
    end=$(date +%s.%N)
    md5sum_mibs=$(echo "$bytes $start $end" | awk '{printf "%.1f", $1 / 1048576 / ($3 - $2)}')
    echo "md5sum over the same files: $md5sum_mibs MiB/s"
    result=$(run_bench check "$(wine_path "$work/check")\\" "$(wine_path "$work/check.list")" "$threads")
    echo "$result" | grep -v COLD_MIBS
    cold=$(echo "$result" | awk '/COLD_MIBS/ {print $2}')
    echo "check with no cache / md5sum throughput: $(echo "$cold $md5sum_mibs" | awk '{printf "%.2f", $1 / $2}') (goal >= 0.9)"
}

big_file() {
    mkdir -p "$work/served"
    if [ ! -f "$work/big.list" ]; then
        head -c 1073741824 /dev/urandom > "$work/served/big.bin"
        printf 'Version=bench\nF|%s|1073741824|big.bin\n' "$(md5sum < "$work/served/big.bin" | cut -c1-32)" > "$work/big.list"
    fi
}

# The studio's key for the signed parts, made once; sets public_key to its PublicKey value.
signing_key() {
    [ -x "$tool" ] || BUILD_DIR="$out" "$here/scripts/build" native >/dev/null
    [ -f "$work/studio.key" ] || "$tool" keygen "$work/studio.key" >/dev/null
    public_key=$(sed -n 's/^PublicKey=//p' "$work/studio.key")
}

bench_big() {
    echo "== download of one file of 1 GiB over loopback"
    big_file
    echo '{}' > "$work/rules.json"
    start_server
    fresh_target
    run_bench download "$target" "$url" "$(wine_path "$work/big.list")" "$rounds"
    local start end
    start=$(date +%s.%N)
    curl -s -o "$work/target/curl.bin" "${url}big.bin"
    md5sum "$work/target/curl.bin" >/dev/null
    end=$(date +%s.%N)
    echo "curl -o FILE + md5sum FILE for context: $(seconds_between "$start" "$end") s"
    stop_server
    rm -rf "$work/target"
}

bench_small() {
    echo "== download of 2,000 small files over loopback"
    mkdir -p "$work/served"
    [ -f "$work/small.list" ] || make_files "$work/served" 2000 1024 65536 "$work/small.list"
    echo '{}' > "$work/rules.json"
    start_server
    fresh_target
    run_bench download "$target" "$url" "$(wine_path "$work/small.list")" "$rounds"
    local start end
    awk -F'|' -v url="$url" '/^F\|/ {printf "url = \"%s%s\"\noutput = \"%s\"\n", url, $4, $4}' \
        "$work/small.list" > "$work/curl.config"
    start=$(date +%s.%N)
    (cd "$work/target" && curl -s --create-dirs -K "$work/curl.config" && find . -name '*.bin' -print0 | xargs -0 md5sum >/dev/null)
    end=$(date +%s.%N)
    echo "one curl over the same URLs + md5sum of the files, for context: $(seconds_between "$start" "$end") s"
    for delay in 0 20; do
        echo "-- the download step, 4 connections against 1, each answer delayed $delay ms (goal >= $([ "$delay" = 0 ] && echo 1.5 || echo 3.5))"
        echo "{\"*\": {\"delay_ms\": $delay}}" > "$work/rules.json"
        fresh_target
        run_bench batch "$target" "$url" "$(wine_path "$work/small.list")" "$rounds" 4 | grep -v SPEEDUP
        rm -rf "$work/target"/*
        start=$(date +%s.%N)
        (cd "$work/target" && curl -s --no-progress-meter --parallel --parallel-max 4 --create-dirs -K "$work/curl.config")
        end=$(date +%s.%N)
        echo "curl --parallel --parallel-max 4 over the same URLs, for context: $(seconds_between "$start" "$end") s"
    done
    echo "-- the switch that installs the 2,000 verified parts at once, against the pass (goal <= 10%)"
    echo '{}' > "$work/rules.json"
    fresh_target
    run_bench switch "$target" "$url" "$(wine_path "$work/small.list")" "$rounds" 4 | grep -v SWITCH_SHARE
    stop_server
    rm -rf "$work/target"
}

bench_resume() {
    echo "== a download of 1 GiB cut at 60% and retried"
    mkdir -p "$work/served"
    [ -f "$work/gen1g.list" ] || pattern_list gen1g.bin 1073741824 "$work/gen1g.list"
    echo '{"/gen1g.bin": {"generate": 1073741824, "drop_after": 644245094, "times": 1,
           "then": {"generate": 1073741824}}}' > "$work/rules.json"
    start_server
    fresh_target
    run_bench resume "$target" "$url" "$(wine_path "$work/gen1g.list")"
    stop_server
    rm -rf "$work/target"
}

bench_memory() {
    echo "== peak working set of one download"
    mkdir -p "$work/served"
    [ -f "$work/gen64.list" ] || pattern_list gen64.bin 67108864 "$work/gen64.list"
    [ -f "$work/gen5g.list" ] || pattern_list gen5g.bin 5368709120 "$work/gen5g.list"
    [ -f "$work/small.list" ] || make_files "$work/served" 2000 1024 65536 "$work/small.list"
    echo '{"/gen64.bin": {"generate": 67108864}, "/gen5g.bin": {"generate": 5368709120}}' > "$work/rules.json"
    start_server
    for list in gen64 gen5g; do
        fresh_target
        echo "-- $list, one download"
        run_bench download "$target" "$url" "$(wine_path "$work/$list.list")" 0
    done
    for list in gen5g small; do
        fresh_target
        echo "-- $list, the download step on 8 connections"
        run_bench batch "$target" "$url" "$(wine_path "$work/$list.list")" 0 8
    done
    stop_server
    rm -rf "$work/target"
}

bench_signature() {
    echo "== the signature steps of a pass over a signed list of 50,000 entries"
    signing_key
    if [ ! -f "$work/unsigned50k.list" ]; then
        rm -rf "$work/signed50k"; mkdir -p "$work/signed50k"
        make_files "$work/signed50k" 50000 16 4096 "$work/unsigned50k.list" assets/textures
    fi
    # Signed again whenever the files or the key are newer than the list.
    if [ ! "$work/signed50k.list" -nt "$work/unsigned50k.list" ] || [ ! "$work/signed50k.list" -nt "$work/studio.key" ]; then
        "$tool" "$work/signed50k" --at-paths --version bench --sign-key "$work/studio.key" --sequence 1 --quiet \
            -o "$work/signed50k.list"
    fi
    fresh_target
    run_bench signature "$target" "$(wine_path "$work/signed50k.list")" "$public_key" "${SIGNATURE_ROUNDS:-20}"
    rm -rf "$work/target"
}

bench_signed() {
    echo "== signed download of one file of 1 GiB over loopback (MD5 and SHA-256)"
    big_file
    signing_key
    if [ ! "$work/big-signed.list" -nt "$work/big.list" ] || [ ! "$work/big-signed.list" -nt "$work/studio.key" ]; then
        rm -rf "$work/big-release"; mkdir -p "$work/big-release"
        ln "$work/served/big.bin" "$work/big-release/big.bin"
        "$tool" "$work/big-release" --at-paths --version bench --sign-key "$work/studio.key" --sequence 1 --quiet \
            -o "$work/big-signed.list"
    fi
    echo '{}' > "$work/rules.json"
    start_server
    fresh_target
    run_bench download "$target" "$url" "$(wine_path "$work/big-signed.list")" "$rounds"
    stop_server
    rm -rf "$work/target"
}

# One line of the two builds' table: LABEL, UNIT, the 32-bit rate, the 64-bit rate.
builds_line() {
    printf '%s: 32-bit %s %s, 64-bit %s %s; 32-bit / 64-bit %s\n' "$1" "$3" "$2" "$4" "$2" \
        "$(awk -v a="$3" -v b="$4" 'BEGIN {printf "%.2f", a / b}')"
}

# figures BITS TAG MODE [ARG...]: the TAG line of that build's update_bench in MODE, without the
# CR that wine's console puts before each line end.
figures() {
    local exe=$twin_bench tag=$2
    [ "$1" = 32 ] && exe=$shipped_bench
    shift 2
    "$here/scripts/wine-run" "$exe" "$@" | tr -d '\r' | awk -v tag="$tag" '$1 == tag'
}

# The digests the md5 mode must find in PASSES over its 64 MiB of the server's generate pattern.
pattern_digests() {
    python3 - "$1" <<'PY'
import hashlib, sys
size = 64 << 20
data = (bytes(range(251)) * (size // 251 + 1))[:size]
md5, sha256 = hashlib.md5(), hashlib.sha256()
for _ in range(int(sys.argv[1])):
    md5.update(data)
    sha256.update(data)
print(md5.hexdigest(), sha256.hexdigest())
PY
}

bench_builds() {
    echo "== the shipped 32-bit build against its 64-bit twin: best of $rounds rounds, the two taking turns"
    if [ "$runs_32bit" = no ]; then
        echo "skipped: this kernel runs no 32-bit programs"
        return 0
    fi
    [ -x "$twin_bench" ] || { echo "build the win64 tree first: $twin_bench is missing" >&2; exit 2; }
    # As the end-to-end runs ask: a shipped build older than its twin may not be these sources.
    if [ "$shipped_bench" -ot "$twin_bench" ]; then
        echo "$shipped_bench is older than $twin_bench: run scripts/build win32" >&2
        exit 2
    fi
    local expected round bits line md5 sha256 digests download bare download_cpu
    local -A best=()
    expected=$(pattern_digests "$md5_passes")
    for round in $(seq "$rounds"); do
        for bits in 32 64; do
            line=$(figures "$bits" HASH_MIBS md5 "$md5_passes" 1)
            read -r _ md5 sha256 digests <<<"$line"
            if [ "$digests" != "$expected" ]; then
                echo "the $bits-bit build's digests are wrong: '$digests', not '$expected'"
                exit 1
            fi
            best[md5_$bits]=$(higher "${best[md5_$bits]:-}" "$md5")
            best[sha256_$bits]=$(higher "${best[sha256_$bits]:-}" "$sha256")
        done
    done
    big_file
    echo '{}' > "$work/rules.json"
    start_server
    for round in $(seq "$rounds"); do
        for bits in 32 64; do
            fresh_target
            line=$(figures "$bits" DOWNLOAD_MIBS download "$target" "$url" "$(wine_path "$work/big.list")" 1)
            read -r _ download bare download_cpu <<<"$line"
            best[download_$bits]=$(higher "${best[download_$bits]:-}" "$download")
            best[bare_$bits]=$(higher "${best[bare_$bits]:-}" "$bare")
            best[download_cpu_$bits]=$(higher "${best[download_cpu_$bits]:-}" "$download_cpu")
        done
    done
    stop_server
    rm -rf "$work/target"
    builds_line "MD5 in memory ($((md5_passes * 64)) MiB, CPU time)" MiB/s "${best[md5_32]}" "${best[md5_64]}"
    builds_line "the system's SHA-256 in memory, for context" MiB/s "${best[sha256_32]}" "${best[sha256_64]}"
    builds_line "download_file, 1 GiB over loopback" MiB/s "${best[download_32]}" "${best[download_64]}"
    builds_line "download_file's CPU (the whole process)" "MiB per CPU second" "${best[download_cpu_32]}" \
        "${best[download_cpu_64]}"
    builds_line "bare read/MD5/write loop, same file" MiB/s "${best[bare_32]}" "${best[bare_64]}"
}

mkdir -p "$work"
trap finish EXIT
"$here/scripts/wine-run" --start "$work/wine.log"
for part in "${parts[@]}"; do
    case "$part" in
        builds) bench_builds ;;
        check) bench_check ;;
        big) bench_big ;;
        small) bench_small ;;
        resume) bench_resume ;;
        memory) bench_memory ;;
        signature) bench_signature ;;
        signed) bench_signed ;;
        *) echo "unknown part: $part" >&2; exit 2 ;;
    esac
done
