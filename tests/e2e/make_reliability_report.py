#!/usr/bin/env python3
"""Turns the results of the hostile end-to-end run (one JSON line per case, written by
test_hostile_server.py and test_hostile_disk.py into the e2e artifacts folder) and of the
kill-anywhere run (kill_anywhere.py) into the markdown reliability report. The last line of a
case counts; a case that failed its checks is shown as such.

Usage: make_reliability_report.py [RESULTS.jsonl...] [--kills RESULTS.json] [-o docs/reliability.md]
Without files it takes the newest hostile-results-*.jsonl of each name and the newest
kill-anywhere-results.json in build/e2e-artifacts or build/*/e2e-artifacts.
"""
import argparse
import glob
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
CHECKOUT = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(HERE, ".."))
import wine_prefix  # noqa: E402

# What was learnt about wine and Windows while the cases ran, shown under the table for each case
# that was run. Each note says what the test measured and what Windows would do instead.
NOTES = {
    "server never answers": (
        "Every request carries the 15 s connect and receive time-outs itself, so the wait for an "
        "answer that never comes ends after 15 s (\"no answer from the server\": wine numbers it 12030, "
        "Windows 12002, and both read alike), long before the server lets the connection go. The "
        "launcher sets them on each request rather than only on its session because wine, unlike "
        "Windows, does not hand the session's time-outs down to requests: an earlier build that "
        "relied on that waited as long as the server held the connection."),
    "redirect loop (update list)": (
        "The launcher follows redirections itself, at most ten per request, so a loop ends with "
        "\"too many redirections\" after eleven requests, under wine as on Windows (wine's own "
        "redirection handling follows a loop for ever). A redirection from HTTPS to plain HTTP "
        "is refused the same way, since HTTPS is what protects an update on the way."),
    "redirect loop (file)": (
        "As for the update list: each of the three attempts ends after eleven requests with "
        "\"too many redirections\", and the old file stays as it was."),
    "endless chunked file body": (
        "The launcher refuses the body after the listed size plus 1 MiB, but wine's WinINet, "
        "closing the request of a kept-alive connection, reads the rest of a chunked body first, "
        "so each attempt lasts until the server stops sending (compare its time with the 3 s of "
        "the other three-attempt cases); an endless chunked body holds the pass under wine. Whether Windows drains the "
        "same way is not measurable here. A body without a length (connection closed at its "
        "end) is dropped at once."),
    "read-only folder and file": (
        "The tests run as root under wine, and unix permissions do not stop root; wine shows a "
        "file without write bits as read-only (R) and keeps the read-only attribute of a folder. "
        "On Windows the read-only attribute of a folder does not stop files being made in it "
        "either, and the launcher clears a read-only file's attribute before it moves the new "
        "file over it. What does stop writing is shown by the read-only mount."),
    "read-only mount": (
        "A folder that cannot be written (here a read-only mount; on Windows a folder whose "
        "permissions deny writing) stops the part file from being made: three attempts, then "
        "\"no permission to write in the game folder\"."),
    "target is a folder": (
        "The file is downloaded and verified, then the move over the folder fails. The two "
        "attempts after it try the move again from the verified file kept in its part, without a "
        "request (someone may remove the folder meanwhile); the folder keeps what it held, and the "
        "part waits for the next pass."),
    "file held open by the game": (
        "Wine refuses `MoveFileExA` over a file another process holds open without delete "
        "sharing, as Windows does: one attempt (a file in use is not tried again in the same "
        "pass), the old file intact, the verified file kept in its part. RETRY once the game has "
        "let go places it without downloading it again."),
    "full disk": (
        "The write that finds the disk full fails, the part file is deleted (the free space "
        "comes back), and the next attempts fail the same way."),
    "240-byte path in a deep game folder": (
        "The ANSI file functions take at most 259 characters, so a path the list allows (240 "
        "bytes) can still be too long for a game folder deep in the disk; the pass then fails "
        "with \"can't write\" and the part file's name instead of placing anything. The same path "
        "in a short game folder is fetched (the 240/241-byte case)."),
}


CASE_ORDER = [
    "endless update list", "endless file body", "endless chunked file body",
    "update list cut mid-body", "file body cut mid-file", "server never answers",
    "redirect loop (update list)", "redirect loop (file)", "redirect to another server",
    "HTML page for every address", "HTML page for a file", "50,000 current entries",
    "paths of 240 and 241 bytes", "240-byte path in a deep game folder",
    "non-ASCII and percent signs in paths", "list aims outside the game folder",
    "list names the launcher's own files",
    "read-only folder and file", "read-only mount", "target is a folder",
    "cache file is a folder", "full disk", "file held open by the game",
]


def latest_results(pattern):
    """The newest file of each name matching pattern in the e2e artifacts of any build tree."""
    newest = {}
    for folder in ("e2e-artifacts", os.path.join("*", "e2e-artifacts")):
        for path in glob.glob(os.path.join(CHECKOUT, "build", folder, pattern)):
            name = os.path.basename(path)
            if name not in newest or os.path.getmtime(path) > os.path.getmtime(newest[name]):
                newest[name] = path
    return sorted(newest.values())


def read_cases(paths):
    cases = {}
    for path in paths:
        with open(path, encoding="utf-8") as f:
            for line in f:
                if line.strip():
                    record = json.loads(line)
                    cases[(record["group"], record["case"])] = record
    return list(cases.values())


def cell(text):
    return str(text).replace("|", "\\|").replace("\n", " ")


def short(text, limit=120):
    text = str(text)
    return text if len(text) <= limit else text[:limit - 3] + "..."


def counted(number, word):
    return f"{number} {word}" + ("" if number == 1 else "s")


def tries(record):
    if "attempts" in record:
        return counted(record["attempts"], "attempt")
    if isinstance(record.get("requests"), int):
        return counted(record["requests"], "request")
    return ""


def wine_version():
    try:
        return subprocess.run(wine_prefix.command("--version"), stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, text=True, timeout=30).stdout.strip()
    except (OSError, subprocess.TimeoutExpired):
        return "wine64"


KILL_PHASES = [
    ("check", "the local check was reading the files (the kill came right after it opened one)"),
    ("download", "part files were being written"),
    ("rebuild", "a big file was being rebuilt from blocks: its part marked as rebuilt, its blocks and ranges "
                "on their way"),
    ("switch", "every part was verified and the switch had begun: `launcher.switch` written, moves, deletions "
               "and records on their way"),
    ("move", "right after a verified part was moved into place during the switch, the others still to come"),
    ("cache write", "`launcher.cache.tmp` was left: the cache was being replaced"),
    ("self-replacement", "the new launcher was being fetched, started, or taking the launcher's name over"),
    ("connect", "the update list was being fetched"),
    ("start-up", "before the window showed"),
    ("after the pass", "the pass had ended"),
]


def render_kills(run):
    """The section on update passes killed at random moments, from the kill-anywhere results."""
    out = [
        "",
        "## Update passes killed at random moments",
        "",
        "`tests/e2e/kill_anywhere.py` (the `e2e_kill_anywhere` test of `scripts/test`) publishes two "
        "releases in turn with `make_manifest`, block maps and all: 300 files of mixed sizes (most "
        "small, six of 1 to 8 MB, about 40 MB in all), and one that changes about a third of them "
        "(changed, new, and removed: half named in `Delete=` lines, half simply no longer listed; the six big ones changed in a few places only, so "
        "that every pass rebuilds them from blocks) and carries another launcher build, so that every "
        "pass replaces the launcher too. Each time "
        "it starts the launcher in the game folder, kills its process from outside at a random "
        "moment, starts it once with no server reachable (the folder must then hold one release whole: "
        "every listed file of the old release, or every one of the new), then again with the server "
        "and lets a whole pass finish. Right after each kill every file must "
        "be whole (one release's bytes, a `.part` that is the start of its file, or a `.part` marked "
        "as rebuilt from blocks, which takes its name only once verified); after each "
        "repair every listed file is compared byte for byte with the release, nothing may be left "
        "but the listed files, `launcher.exe`, `launcher.ini`, `launcher.cache` and `launcher.installed`, "
        "and no record of "
        "`launcher.cache` may vouch for bytes its file does not hold (after the kill too).",
        "",
        "The moments come from a seeded random generator. The first kills take every aim once, and "
        "every step of the launcher's replacement; later ones draw an aim by weight: after the k-th file "
        "the check opens (with `launcher.cache` removed first, so that the check reads every file), "
        "when the bar passes a random share of the download or a moment after the k-th part file "
        "appears, a moment after a big file's part is marked as rebuilt, right after the k-th file is "
        "moved into place, a moment after `launcher.switch` takes its name, right when `launcher.cache.tmp` is "
        "made or written, right after a step of the replacement (the new launcher's part file, the "
        "verified new file beside the old one as `Launcher.new.exe`, the new launcher moving itself "
        "over `launcher.exe`) or a random delay after its part file appears, and at a random time "
        "after the start. A new launcher that is still on its way to the name is killed as well. "
        "Timed kills go through the probe's `TerminateProcess`, as the task "
        "manager's do; kills set off by a file event send SIGKILL to the unix process straight from "
        "the watching thread, since the way through wine takes about 5 ms and those windows last "
        "about one. A kill counts for the phase its evidence shows: a `launcher.cache.tmp`, the new "
        "launcher's files, the file event that set it off, part files, else the status line seen "
        "just before it.",
        "",
        f"The last run ({run.get('launcher', 'the 64-bit twin')}, seed {run['seed']}, {run['seconds']} s):",
        "",
        "| Phase hit | Kills | What the kill met |",
        "|---|---|---|",
    ]
    phases = run["phases"]
    for phase, meaning in KILL_PHASES:
        if phases.get(phase):
            out.append(f"| {phase} | {phases[phase]} | {meaning} |")
    out += [
        f"| **all** | {run['kills']} | |",
        "",
        f"Files checked byte for byte after the repairs: {run['checked']:,}. Wrong files: {run['wrong']}. "
        f"Folders holding files of both releases after the offline start: {run.get('mixed', 0)}. "
        f"Kills that left the game folder without `launcher.exe`: {len(run['lost'])}.",
    ]
    for kill in run["lost"]:
        out.append(f"- {kill['aim']} aim, killed {kill['seconds']} s after the start on `{kill['trigger']}`: "
                   "left " + ", ".join(f"`{name}` ({build})" for name, build in kill["lost"].items()) + ".")
    out += ["", "The name `launcher.exe` is never free: the running launcher does not move itself. "
            "It starts the verified new one from `Launcher.new.exe` and closes, and the new one moves "
            "itself over `launcher.exe` in one step once the old one has let go (Windows refuses to "
            "replace a running program's file), then starts from there. An earlier design moved the "
            "running file aside first and the new one in after it; this harness killed it between "
            "the two moves in 4 of 200 kills, each leaving no `launcher.exe`."]
    out += [
        "",
        "`scripts/kill-anywhere N` (default 200) runs N kills the same way, in a wine prefix and "
        "folders of its own under `build/kill-anywhere`, and prints one line like this run's:",
        "",
        "```",
        run["summary"],
        "```",
    ]
    return out


def render(cases, kills=None):
    cases.sort(key=lambda r: CASE_ORDER.index(r["case"]) if r["case"] in CASE_ORDER else len(CASE_ORDER))
    launchers = sorted({r.get("launcher", "the 64-bit twin") for r in cases})
    total = sum(r["seconds"] for r in cases) + sum(r.get("first_pass_seconds", 0) for r in cases)
    out = [
        "# Reliability under hostile servers and disks",
        "",
        f"Every case below ran the real launcher ({', '.join(launchers)}) under "
        f"{wine_version()} against a loopback update server that misbehaves on purpose "
        "(`tests/server/update_server.py`), or in a game folder that fights back, and was watched "
        "through its window by the probe. Each case also checked that the launcher closes with "
        "exit code 0, that no `.part` file is left (but a verified file that could not take its name, "
        "which the next attempt places), and that nothing outside the game folder "
        "changed (a sibling folder and a file beside the game folder, compared by name, size and "
        "modification time).",
        "",
        "Generated by `tests/e2e/make_reliability_report.py` from the results that "
        "`tests/e2e/test_hostile_server.py`, `tests/e2e/test_hostile_disk.py` and "
        "`tests/e2e/kill_anywhere.py` write into `build/<tree>/e2e-artifacts/`. To run them and "
        "regenerate this file:",
        "",
        "```",
        "BUILD_DIR=build/hostile scripts/build native win64 win32",
        "ctest --test-dir build/hostile/win64 -R 'hostile|kill_anywhere' --output-on-failure",
        "python3 tests/e2e/make_reliability_report.py -o docs/reliability.md",
        "```",
        "",
        "Mode is how the pass left the buttons: Ready (START, RETRY hidden) after success, Failed "
        "(\"START anyway\", RETRY shown) after failure. Time is from the launcher's start to the "
        f"end of its pass, on a 2-core machine; all passes together took {total:.0f} s.",
        "",
        "| | Case | Fault | Status line | Mode | Kept intact | Tries | Time | Checks |",
        "|---|---|---|---|---|---|---|---|---|",
    ]
    for r in cases:
        out.append("| " + " | ".join(cell(x) for x in (
            r["group"], r["case"], r["fault"], short(r["status"]), r["mode"], r["kept"], tries(r),
            f"{r['seconds']:.1f} s", "passed" if r["verified"] else "**failed**")) + " |")
    out += ["", "## What the cases showed", ""]
    for r in cases:
        note = NOTES.get(r["case"])
        if note:
            out.append(f"- **{r['case']}**: {note}")
    extra = [r for r in cases if r["case"] == "50,000 current entries" and "first_pass_seconds" in r]
    for r in extra:
        out.append(f"- **50,000 current entries**: the first start, with no digest cache, reads and "
                   f"hashes every file: {r['first_pass_seconds']:.1f} s to the end of the pass; the "
                   f"second start, when the cache vouches for every file: {r['seconds']:.1f} s (the "
                   "time column).")
    paths = [r for r in cases if r["case"] == "non-ASCII and percent signs in paths"]
    for r in paths:
        out.append("- **non-ASCII and percent signs in paths**: requests as the server logged them: "
                   + ", ".join(f"`{p}`" for p in r.get("requests", [])) + "; the detail line showed "
                   f"`{r['detail']}`, the path exactly as listed. The names reach the disk as bytes "
                   "of the ANSI code page (1252 under this wine), so UTF-8 bytes in the list make "
                   "names that the unix side shows as "
                   + ", ".join(f"`{folder}/{name}`" for folder, names in r.get("landed", {}).items()
                               for name in names) + ".")
    if kills is not None:
        out += render_kills(kills)
    out += [
        "",
        "## Fuzzing the readers",
        "",
        "The text the launcher takes from outside is also fuzzed with libFuzzer targets in "
        "`tests/fuzz/`: the update list parser (`fuzz_update_list`), the path rule "
        "(`fuzz_safe_path`), the digest cache file (`fuzz_cache_file`), the URL encoding "
        "(`fuzz_percent_encode`), MD5 against a reference (`fuzz_md5`), the signed-list reader "
        "(`fuzz_signed_list`), block maps with the search and range plan on any map the reader "
        "takes (`fuzz_block_map`) and the lists that `make_manifest` writes, read back by the "
        "launcher's parser (`fuzz_manifest`), each with a seed "
        "corpus in `tests/fuzz/corpus/`. The test suite runs each for a fixed number of runs "
        "(`ctest --test-dir build/fuzz`); for longer runs:",
        "",
        "```",
        "FUZZ_SECONDS=1800 scripts/fuzz              # every target, 30 minutes each",
        "FUZZ_SECONDS=600 scripts/fuzz update_list   # one target",
        "```",
        "",
        "New inputs are kept in `build/fuzz/found/<target>`; a crash leaves its input in "
        "`build/fuzz/crashes/`, to be copied into the target's seed corpus as a regression case.",
        "",
    ]
    return "\n".join(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("results", nargs="*")
    parser.add_argument("--kills", help="kill-anywhere-results.json of a kill-anywhere run")
    parser.add_argument("-o", "--output")
    args = parser.parse_args()
    paths = args.results or latest_results("hostile-results-*.jsonl")
    if not paths:
        print("no hostile-results-*.jsonl found: run the hostile tests first", file=sys.stderr)
        return 1
    kills = None
    kill_paths = [args.kills] if args.kills else latest_results("kill-anywhere-results.json")
    if kill_paths:
        with open(kill_paths[-1], encoding="utf-8") as f:
            kills = json.load(f)
    text = render(read_cases(paths), kills)
    if args.output:
        with open(args.output, "w", encoding="utf-8") as f:
            f.write(text)
    else:
        sys.stdout.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
