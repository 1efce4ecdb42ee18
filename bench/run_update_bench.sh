#!/usr/bin/env bash
# Benchmarks of the update pass under wine64: the local check of 10,000 files (one thread against
# several, warm cache against a bare attribute loop, no cache against md5sum), downloads over
# loopback (1 GiB and 2,000 small files against a bare read/digest/write loop on the same stack;
# the download step on 4 connections against 1, with and without a 20 ms answer delay; curl for
# context), a 1 GiB download cut at 60% and resumed, the peak working set of downloads on one
# and on 8 connections, the signature steps of a pass over a signed list of 50,000 entries against
# its parsing, and a signed 1 GiB download (MD5 and SHA-256) against a bare loop computing both.
# Needs the win64 tree built (and the native make_manifest, built here when missing).
# Usage: BUILD_DIR=build [BENCH_ROUNDS=3] [SIGNATURE_ROUNDS=20] bench/run_update_bench.sh [check] [big] [small]
#        [resume] [memory] [signature] [signed]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out="${BUILD_DIR:-build}"
case "$out" in /*) ;; *) out="$here/$out" ;; esac
bench_exe="$out/win64/bench/update_bench.exe"
work="$out/bench-work"
# A prefix of its own, so that a bench never ends the server of a test run in the same checkout.
export WINEPREFIX="$out/bench-wineprefix"
rounds="${BENCH_ROUNDS:-3}"
parts=("$@")
[ ${#parts[@]} -eq 0 ] && parts=(check big small resume memory signature signed)
tool="$out/native/tools/make_manifest"
threads=$(nproc)
[ "$threads" -gt 4 ] && threads=4
[ -x "$bench_exe" ] || { echo "build the win64 tree first: $bench_exe is missing" >&2; exit 2; }

wine_path() { echo "Z:$(echo "$1" | tr / '\\')"; }
run_bench() { "$here/scripts/wine-run" "$bench_exe" "$@"; }
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

start_server() {
    rm -f "$work/port"
    python3 "$here/tests/server/update_server.py" --root "$work/served" --rules "$work/rules.json" \
        --port-file "$work/port" >/dev/null &
    server_pid=$!
    for _ in $(seq 100); do [ -f "$work/port" ] && break; sleep 0.1; done
    url="http://127.0.0.1:$(cat "$work/port")/"
}
stop_server() {
    [ -n "$server_pid" ] || return 0
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=""
}
server_pid=""
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
        (cd "$work/target" && curl -s --parallel --parallel-max 4 --create-dirs -K "$work/curl.config")
        end=$(date +%s.%N)
        echo "curl --parallel --parallel-max 4 over the same URLs, for context: $(seconds_between "$start" "$end") s"
    done
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
        "$tool" "$work/signed50k" --version bench --sign-key "$work/studio.key" --sequence 1 --quiet \
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
        "$tool" "$work/big-release" --version bench --sign-key "$work/studio.key" --sequence 1 --quiet \
            -o "$work/big-signed.list"
    fi
    echo '{}' > "$work/rules.json"
    start_server
    fresh_target
    run_bench download "$target" "$url" "$(wine_path "$work/big-signed.list")" "$rounds"
    stop_server
    rm -rf "$work/target"
}

mkdir -p "$work"
trap finish EXIT
"$here/scripts/wine-run" --start "$work/wine.log"
for part in "${parts[@]}"; do
    case "$part" in
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
