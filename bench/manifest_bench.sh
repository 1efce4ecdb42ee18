#!/usr/bin/env bash
# Throughput of make_manifest against `find | xargs md5sum` over the same release tree in the
# same run, and of a signed run (MD5 and SHA-256) against md5sum followed by sha256sum: 2,000
# files, 2 GiB together, made under the build folder and deleted afterwards.
# Both read from the page cache (the tree is read once before timing), so the figure compares
# reading and hashing, not the disk. Usage: BUILD_DIR=build/<name> bench/manifest_bench.sh [runs]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out="${BUILD_DIR:-$here/build}"
case "$out" in /*) ;; *) out="$here/$out" ;; esac
runs="${1:-3}"
tool="$out/native/tools/make_manifest"
tree="$out/manifest-bench-tree"
goal=0.90

[ -x "$tool" ] || BUILD_DIR="$out" "$here/scripts/build" native >/dev/null
free_kb=$(df -Pk "$out" | awk 'NR == 2 { print $4 }')
if [ "$free_kb" -lt $((3 * 1024 * 1024)) ]; then
    echo "need 3 GiB free under $out" >&2
    exit 1
fi

key="$out/manifest-bench.key"
trap 'rm -rf "$tree" "$key"' EXIT
rm -rf "$tree" "$key"
"$tool" keygen "$key" > /dev/null 2>&1
echo "== making $tree: 2000 files, 2 GiB"
# Sizes from a few hundred bytes to 96 MiB, as in a game: many small files, a few large packs.
python3 - "$tree" <<'PY'
import os, random, sys
root = sys.argv[1]
rng = random.Random(2024)
total = 2 * 1024 ** 3
big = [96 * 1024 ** 2] * 8
rest = total - sum(big)
weights = [rng.random() ** 3 + 0.01 for _ in range(2000 - len(big))]
scale = rest / sum(weights)
sizes = big + [int(w * scale) for w in weights]
sizes[-1] += total - sum(sizes)
block = os.urandom(8 * 1024 ** 2)
for i, size in enumerate(sizes):
    path = os.path.join(root, "pack%d" % (i % 7), "area%02d" % (i % 31), "file%04d.dat" % i)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        offset = (i * 7919) % len(block)
        while size > 0:
            piece = block[offset:offset + size]
            f.write(piece)
            size -= len(piece)
            offset = 0
PY
bytes=$(du -sb "$tree" | cut -f1)
files=$(find "$tree" -type f | wc -l)
cat $(find "$tree" -type f) > /dev/null

now() { date +%s.%N; }
calc() { awk "BEGIN { print ($1) }"; }
best_tool=""
best_peer=""
best_signed=""
best_both=""
lower() { if [ -z "$1" ] || [ "$(calc "$2 < $1")" = 1 ]; then echo "$2"; else echo "$1"; fi; }
for run in $(seq "$runs"); do
    t0=$(now)
    find "$tree" -type f -print0 | xargs -0 md5sum > "$out/manifest-bench-peer.txt"
    t1=$(now)
    "$tool" "$tree" --at-paths --version bench --quiet > "$out/manifest-bench-list.txt"
    t2=$(now)
    find "$tree" -type f -print0 | xargs -0 sha256sum > "$out/manifest-bench-peer-sha.txt"
    t3=$(now)
    "$tool" "$tree" --at-paths --version bench --quiet --sign-key "$key" > "$out/manifest-bench-signed.txt"
    t4=$(now)
    peer=$(calc "$t1 - $t0")
    mine=$(calc "$t2 - $t1")
    both=$(calc "$t1 - $t0 + $t3 - $t2")
    signed=$(calc "$t4 - $t3")
    printf "run %d: find|xargs md5sum %.2f s, make_manifest %.2f s; md5sum + sha256sum %.2f s, signed %.2f s\n" \
        "$run" "$peer" "$mine" "$both" "$signed"
    best_peer=$(lower "$best_peer" "$peer")
    best_tool=$(lower "$best_tool" "$mine")
    best_both=$(lower "$best_both" "$both")
    best_signed=$(lower "$best_signed" "$signed")
done

# Both must have found the same digests, or the speed means nothing.
python3 - "$tree" "$out"/manifest-bench-{peer,list,peer-sha,signed}.txt <<'PY'
import sys
root, peer, listed, peer_sha, signed = sys.argv[1:]
def peer_digests(name):
    digests = {}
    for line in open(name, "rb"):
        digest, path = line.rstrip(b"\n").split(b"  ", 1)
        digests[path[len(root) + 1:].decode()] = digest.decode()
    return digests
def listed_digests(name, prefix, fields):
    digests = {}
    for line in open(name, "rb"):
        if line.startswith(prefix):
            parts = line.rstrip(b"\n").split(b"|", fields)
            digests[parts[-1].decode()] = parts[1].decode()
    return digests
md5 = peer_digests(peer)
if md5 != listed_digests(listed, b"F|", 3) or md5 != listed_digests(signed, b"F|", 3):
    sys.exit("digests differ between make_manifest and md5sum")
if peer_digests(peer_sha) != listed_digests(signed, b"H|", 2):
    sys.exit("digests differ between make_manifest and sha256sum")
print("digests agree for %d files" % len(md5))
PY
rm -f "$out"/manifest-bench-{peer,list,peer-sha,signed}.txt

mb=$(calc "$bytes / 1048576")
ratio=$(calc "$best_peer / $best_tool")
signed_ratio=$(calc "$best_both / $best_signed")
printf "tree: %d files, %.0f MB; best of %d runs\n" "$files" "$mb" "$runs"
printf "find|xargs md5sum:        %.1f MB/s\n" "$(calc "$mb / $best_peer")"
printf "make_manifest:            %.1f MB/s\n" "$(calc "$mb / $best_tool")"
printf "md5sum, then sha256sum:   %.1f MB/s\n" "$(calc "$mb / $best_both")"
printf "make_manifest --sign-key: %.1f MB/s\n" "$(calc "$mb / $best_signed")"
printf "ratio make_manifest / md5sum: %.2f (goal >= %.2f)\n" "$ratio" "$goal"
printf "ratio signed make_manifest / md5sum + sha256sum: %.2f (goal >= %.2f)\n" "$signed_ratio" "$goal"
[ "$(calc "$ratio >= $goal")" = 1 ] && [ "$(calc "$signed_ratio >= $goal")" = 1 ]
