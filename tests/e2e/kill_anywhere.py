"""Kill it anywhere: update passes between two releases are cut from outside at random moments
(the check, downloads, files rebuilt from blocks, the switch that moves them into place, the cache
write, the launcher's replacement of itself). After each kill a start with no server reachable
must leave the folder one release whole (every listed file of the old release, or every one of
the new), and the next connected start must repair everything: after each recovery every listed
file is compared byte for byte with the release.

KILL_COUNT kills (default 20); KILL_SEED replays a run (each run prints its seed). The results go
to kill-anywhere-results.json in the artifacts folder, for the reliability report."""
import ctypes
import hashlib
import json
import os
import random
import re
import select
import shutil
import signal
import struct
import threading
import time

import harness
import update_site
from harness import ID_EXIT
from update_site import SiteTestCase

COUNT = int(os.environ.get("KILL_COUNT") or 20)
SEED = int(os.environ.get("KILL_SEED") or random.SystemRandom().randrange(1, 1 << 31))
PASS_TIMEOUT = 180.0
SETTLE_SECONDS = 0.5
# Until the recoveries have shown how long a pass takes here; "any" aims spread over that time.
FIRST_PASS_SECONDS = 1.0
DONE_TEXTS = ("Update complete.", "Your game is up to date.")
OWN_FILES = {b"launcher.exe", b"launcher.ini", b"launcher.cache", b"launcher.installed"}
PHASES = ["check", "download", "rebuild", "switch", "move", "cache write", "self-replacement",
          "connect", "start-up", "after the pass"]
# Nothing listens there: the offline start's connection is refused at once.
OFFLINE_URL = b"Url=http://127.0.0.1:9/"

IN_CLOSE_WRITE = 0x008
IN_OPEN = 0x020
IN_MOVED_TO = 0x080
IN_CREATE = 0x100
IN_ISDIR = 0x40000000
EVENT_HEADER = struct.Struct("iIII")


BIG_FILES = 6


def changed_in_places(rng, data):
    """The other release's copy of a big file: a few kilobytes changed in three places and one
    kilobyte put in, so that a launcher rebuilds it from blocks of its old copy."""
    new = bytearray(data)
    for _ in range(3):
        at = rng.randrange(len(new) - 3000)
        new[at:at + 3000] = rng.randbytes(3000)
    at = rng.randrange(len(new))
    return bytes(new[:at] + rng.randbytes(1024) + new[at:])


def make_releases(rng, running):
    """Release A: 300 files of mixed sizes (most small, six of 1-8 MB, some 40 MB in all) and a
    launcher build; release B changes about a third of it (files changed, new, and removed: half
    of them named in Delete= lines, the rest simply no longer listed) and carries another launcher
    build, so that every switch replaces the launcher. The
    six big files change in a few places only: published with their block maps, each switch
    rebuilds them from blocks."""
    folders = ["", "data/", "data/maps/", "sound/", "sound/voice/", "video/"]
    a = {}
    big = []
    for i in range(299):
        size = (rng.randint(1 << 20, 8 << 20) if i < BIG_FILES else rng.randint(64 << 10, 1 << 20) if i < 20
                else rng.randint(0, 32 << 10))
        path = f"{rng.choice(folders)}f{i:03d}.bin"
        a[path] = rng.randbytes(size)
        big += [path] if i < BIG_FILES else []
    paths = sorted(a)
    changed = big + rng.sample([p for p in paths if p not in big], 49)
    removed = rng.sample([p for p in paths if p not in changed], 22)
    b = {p: data for p, data in a.items() if p not in removed}
    for p in changed:
        b[p] = (changed_in_places(rng, a[p]) if p in big
                else rng.randbytes(max(len(a[p]) + rng.randint(-4096, 4096), 0)))
    added = [f"{rng.choice(folders + ['extra/'])}n{i:03d}.bin" for i in range(22)]
    for i, p in enumerate(added):
        b[p] = rng.randbytes(rng.randint(0, 48 << 10) if i else rng.randint(1 << 20, 3 << 20))
    pad = b"\0" * 4096
    a["launcher.exe"] = running + pad + b"launcher build A"
    b["launcher.exe"] = running + pad + b"launcher build B"
    return ((a, [f"Delete={p}" for p in added[::2]]), (b, [f"Delete={p}" for p in removed[::2]]))


class FolderWatch:
    """inotify on the game folder and its sub-folders (those made while it runs too, from the
    moment they appear): calls on_event(mask, relative path) for every opening, creation,
    finished write and rename into a name."""

    def __init__(self, root, on_event):
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_CLOEXEC | os.O_NONBLOCK)
        if self.fd < 0:
            raise OSError(ctypes.get_errno(), "inotify_init1")
        self.root = root
        self.on_event = on_event
        self.folders = {}
        self.stopped = False
        for parent, _, _ in os.walk(root):
            self._watch(parent)
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _watch(self, folder):
        wd = self.libc.inotify_add_watch(self.fd, os.fsencode(folder),
                                         IN_OPEN | IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO)
        if wd >= 0:
            self.folders[wd] = os.path.relpath(folder, self.root)

    def _run(self):
        while not self.stopped:
            if not select.select([self.fd], [], [], 0.1)[0]:
                continue
            try:
                data = os.read(self.fd, 1 << 16)
            except BlockingIOError:
                continue
            at = 0
            while at < len(data):
                wd, mask, _, length = EVENT_HEADER.unpack_from(data, at)
                at += EVENT_HEADER.size
                name = data[at:at + length].rstrip(b"\0").decode("latin-1")
                at += length
                folder = self.folders.get(wd)
                if folder is None:
                    continue
                path = os.path.normpath(os.path.join(folder, name))
                if mask & IN_ISDIR:
                    if mask & IN_CREATE:
                        self._watch(os.path.join(self.root, path))
                    continue
                self.on_event(mask, path)

    def close(self):
        self.stopped = True
        self.thread.join()
        os.close(self.fd)


# Where each kill is aimed. A timed aim kills once its test holds for the status line and the
# bar (after a random delay); an event aim kills right after the k-th file event its test accepts.
def is_own(path):
    return path.startswith(("launcher", "Launcher"))


def is_check_read(mask, path):
    return mask & IN_OPEN and not is_own(path) and not path.endswith(".part")


def is_part_start(mask, path):
    return mask & IN_CREATE and not is_own(path) and path.endswith(".part")


def rebuild_start(folder):
    """The test for a rebuild's start: it marks its part as rebuilt before it writes a block into it."""
    def is_rebuild_start(mask, path):
        if not (mask & IN_CLOSE_WRITE and not is_own(path) and path.endswith(".part.tag")):
            return False
        try:
            with open(os.path.join(folder, path), "rb") as f:
                return f.read().endswith(b"\nrebuilt from blocks\n")
        except OSError:
            return False
    return is_rebuild_start


def is_game_move(mask, path):
    return mask & IN_MOVED_TO and not is_own(path)


def is_switch_record(mask, path):
    """The switch's record takes its name: every part is verified, the moves begin."""
    return mask & IN_MOVED_TO and path == "launcher.switch"


def is_cache_write(mask, path):
    return path == "launcher.cache.tmp" and mask & (IN_CREATE | IN_CLOSE_WRITE)


def is_swap_step(mask, path):
    """The new launcher's part appears, the verified new launcher takes its name beside the old
    one, and the new launcher takes the launcher's name over."""
    return ((mask & IN_CREATE and path == "Launcher.new.exe.part") or
            (mask & IN_MOVED_TO and path in ("Launcher.new.exe", "launcher.exe")))


AIMS = ["check", "download", "rebuild", "switch", "move", "cache write", "self-replacement", "any"]
AIM_WEIGHTS = [15, 20, 15, 15, 10, 10, 15, 10]
# From the switch's record to its removal, on loopback: a hundred moves and a few deletions.
SWITCH_SECONDS = 0.1
# From a rebuild's mark on its part to its verified move, on loopback: the blocks copied and
# the ranges fetched in between.
REBUILD_SECONDS = 0.15
SWAP_STEPS = 3
# From the new launcher's part file to the successor's start, on loopback.
SWAP_SECONDS = 0.03
# Longer than the download of most files here.
PART_SECONDS = 0.05


def choose_aim(rng, kind, step, reads, downloads, pass_seconds, folder):
    """Where the next kill goes: kind (and for a self-replacement the step of the swap), or one
    drawn by weight. A check aim starts without launcher.cache (as after it was lost), so that
    the check reads each of the `reads` files whose size matches its entry; `downloads` entries
    differ from the disk."""
    kind = kind or rng.choices(AIMS, AIM_WEIGHTS)[0]
    share = rng.random()
    if kind == "check":
        return {"kind": kind, "cold": True, "event": is_check_read, "skip": rng.randrange(max(reads, 1))}
    if kind == "download" and share < 0.5:
        return {"kind": kind,
                "when": lambda status, bar: status.startswith("Downloading") and bar >= share * 1200}
    if kind == "download":
        return {"kind": kind, "event": is_part_start, "skip": rng.randrange(max(downloads * 3 // 4, 1)),
                "delay": rng.uniform(0, PART_SECONDS)}
    if kind == "rebuild":
        return {"kind": kind, "event": rebuild_start(folder), "skip": rng.randrange(BIG_FILES),
                "delay": rng.uniform(0, REBUILD_SECONDS)}
    if kind == "switch":
        return {"kind": kind, "event": is_switch_record, "skip": 0, "delay": rng.uniform(0, SWITCH_SECONDS)}
    if kind == "move":
        return {"kind": kind, "event": is_game_move, "skip": rng.randrange(max(downloads * 3 // 4, 1))}
    if kind == "cache write":
        return {"kind": kind, "event": is_cache_write, "skip": rng.randrange(6)}
    if kind == "self-replacement" and step is None and share < 0.5:
        return {"kind": kind, "event": is_swap_step, "skip": 0, "delay": rng.uniform(0, SWAP_SECONDS)}
    if kind == "self-replacement":
        return {"kind": kind, "event": is_swap_step,
                "skip": rng.randrange(SWAP_STEPS) if step is None else step}
    return {"kind": kind, "when": lambda status, bar: True, "delay": share * pass_seconds}


def classify(status, trigger, left, rebuilt):
    """The phase a kill hit: a temporary cache file or a half-done swap left on disk, then the file
    event that set the kill off (the moment it aimed at), then other part files left (downloads run
    beside the rebuilds of big files, so a rebuilt part alone says little of a kill aimed
    elsewhere), then the status text seen just before it. `rebuilt`: a part marked as rebuilt from
    blocks is left."""
    if b"launcher.cache.tmp" in left:
        return "cache write"
    if left & {b"Launcher.new.exe.part", b"Launcher.new.exe"} or trigger and is_swap_step(*trigger):
        return "self-replacement"
    if trigger:
        for test, phase in ((is_cache_write, "cache write"), (is_switch_record, "switch"), (is_game_move, "move"),
                            (is_check_read, "check"), (is_part_start, "download")):
            if test(*trigger):
                return phase
        if trigger[1].endswith(".part.tag"):
            return "rebuild"
    if b"launcher.switch" in left:
        return "switch"
    if rebuilt:
        return "rebuild"
    if any(p.endswith(b".part") for p in left):
        return "download"
    for prefix, phase in (("Updating the launcher", "self-replacement"), ("Downloading", "download"),
                          ("Checking files", "check"), (harness.CONNECTING_STATUS, "connect")):
        if status.startswith(prefix):
            return phase
    return "after the pass" if status else "start-up"


def unix_launchers(folder):
    """Unix processes still running a launcher of this game folder. Wine tells the task manager
    that a process is gone before its unix process has ended, and a launcher that a dying one was
    starting at that moment hangs in its start-up for good (on Windows the start is one call)."""
    return harness.unix_processes_naming(os.path.join(folder, "launcher.exe"))


def md5(data):
    return hashlib.md5(data).hexdigest()


class KillAnywhere(SiteTestCase):
    def setUp(self):
        super().setUp()
        self.killer = harness.Probe(self.session)
        self.addCleanup(self.killer.stop)
        with open(self.session.paths.launcher, "rb") as f:
            running = f.read()
        self.rng = random.Random(SEED)
        self.releases = make_releases(self.rng, running)
        self.running = running
        self.launchers = {running} | {files["launcher.exe"] for files, _ in self.releases}
        self.ini = self.read("launcher.ini")
        self.context = ""

    def details(self):
        return f"\nseed {SEED} (KILL_SEED={SEED} replays it){self.context}" + super().details()

    def launchers_running(self):
        return self.killer.act("launchers")["pids"] or unix_launchers(self.folder.path)

    def wait_no_launcher(self, kill=False):
        """Waits until no launcher process of the game folder has been seen for a moment; with
        kill, ends every one that shows up, as a power cut ends them all."""
        deadline = time.monotonic() + harness.EXIT_TIMEOUT
        quiet_since = time.monotonic()
        while time.monotonic() - quiet_since < SETTLE_SECONDS:
            if self.launchers_running():
                quiet_since = time.monotonic()
                if kill:
                    self.killer.act("kill-launchers")
            if time.monotonic() > deadline:
                self.fail("a launcher process did not end" + self.details())
            time.sleep(harness.POLL_SECONDS)

    # The cut.

    def kill_pass(self, aim):
        """Starts the launcher in the game folder and ends it where the aim says; returns the
        status text seen just before the kill and the file event that set it off, if any."""
        fired = threading.Event()
        kill_lock = threading.Lock()
        outcome = {"trigger": None, "killed": None, "at": None}
        seen_events = [0]
        unix_pids = []

        # The windows an event aims at last about a millisecond (the cache's temporary file, the
        # two moves of a swap), the way through wine to TerminateProcess about five: so an event
        # kill sends SIGKILL to the unix process first, which also stops it between two of its
        # instructions, and leaves the rest to the probe. A timed kill that finds no launcher
        # known to wine yet (just started) is tried again at the next look.
        def kill(trigger=None):
            with kill_lock:
                if outcome["killed"] is not None:
                    return
                signalled = []
                for pid in (unix_pids or unix_launchers(self.folder.path)) if trigger else []:
                    try:
                        os.kill(pid, signal.SIGKILL)
                        signalled.append(pid)
                    except ProcessLookupError:
                        pass
                killed = signalled + self.killer.act("kill-launchers")["killed"]
                if killed:
                    outcome.update(killed=killed, trigger=trigger, at=time.monotonic() - began)
                    fired.set()

        def on_event(mask, path):
            if "event" in aim and aim["event"](mask, path):
                seen_events[0] += 1
                if seen_events[0] == aim["skip"] + 1:
                    time.sleep(aim.get("delay", 0))
                    kill((mask, path))

        if aim.get("cold") and os.path.exists(self.folder.file("launcher.cache")):
            os.remove(self.folder.file("launcher.cache"))
        began = time.monotonic()
        watch = FolderWatch(self.folder.path, on_event)
        try:
            self.start_launcher(cwd=self.folder.path)
            kill_at = None
            status = ""
            while not fired.is_set():
                if "event" in aim:
                    unix_pids[:] = unix_launchers(self.folder.path)
                state = self.state()
                # A look that meets the kill reads empty controls.
                if state is not None and state["status"] is not None and state["status"]["text"]:
                    status = state["status"]["text"]
                now = time.monotonic()
                bar = state["progress"]["pos"] if state else -1
                if "when" in aim and kill_at is None and aim["when"](status, bar):
                    kill_at = now + aim.get("delay", 0)
                if kill_at is not None and now >= kill_at or state is not None and state["start"]["enabled"]:
                    kill()
                if now - began > PASS_TIMEOUT:
                    self.fail("the pass to be cut did not end" + self.details())
                time.sleep(harness.POLL_SECONDS if kill_at is None
                           else min(harness.POLL_SECONDS, max(kill_at - now, 0.005)))
            self.wait_no_launcher(kill=True)
        finally:
            watch.close()
        return status, outcome["trigger"], outcome["at"]

    # The checks.

    def cache_problems(self):
        """Records of launcher.cache that vouch for other bytes than the file they describe
        holds: the next pass would trust such a file without reading it."""
        path = self.folder.file("launcher.cache")
        if not os.path.isfile(path):
            return []
        problems = []
        with open(path, "rb") as f:
            lines = f.read().split(b"\n")
        for line in lines:
            fields = line.rstrip(b"\r").split(b"|", 3)
            if len(fields) < 4 or not fields[1].isdigit() or not fields[2].isdigit():
                continue
            disk = os.path.join(os.fsencode(self.folder.path), fields[0])
            if (os.path.isfile(disk) and os.path.getsize(disk) == int(fields[1])
                    and update_site.filetime(disk) == int(fields[2])):
                with open(disk, "rb") as f:
                    if md5(f.read()).encode("ascii") != fields[3]:
                        problems.append(f"cache vouches for wrong content: {line!r}")
        return problems

    def is_rebuilt_part(self, part_name):
        tag = self.folder.file(part_name + ".tag")
        if not os.path.isfile(tag):
            return False
        with open(tag, "rb") as f:
            return f.read().endswith(b"\nrebuilt from blocks\n")

    def torn_files(self, files):
        """Files that are neither a release's whole bytes nor a download in progress: a cut
        may leave a file old or new, never half-written."""
        ours = self.launchers
        problems = []
        for relative in sorted(self.folder_contents()):
            name = relative.decode("latin-1")
            with open(os.path.join(os.fsencode(self.folder.path), relative), "rb") as f:
                data = f.read()
            if name in ("launcher.cache", "launcher.cache.tmp", "launcher.switch", "launcher.switch.tmp",
                        "launcher.installed", "launcher.installed.tmp"):
                continue
            if name == "launcher.ini":
                fine = data == self.ini
            elif name in ("launcher.exe", "Launcher.old.exe"):
                fine = data in ours
            elif name == "Launcher.new.exe":
                fine = data == files["launcher.exe"]
            elif name == "Launcher.new.exe.part":
                fine = files["launcher.exe"].startswith(data)
            elif name.endswith(".part") and self.is_rebuilt_part(name):
                # Blocks of the new file, of the old one or not yet written, in any mix: it takes
                # the file's name only once verified.
                fine = name[:-5] in files and len(data) <= len(files[name[:-5]])
            elif name.endswith(".part"):
                fine = name[:-5] in files and files[name[:-5]].startswith(data)
            elif name.endswith(".part.tag"):
                fine = name[:-9] in files or name == "Launcher.new.exe.part.tag"
            else:
                fine = any(data == release.get(name) for release, _ in self.releases)
            if not fine:
                problems.append(f"{name}: {len(data)} bytes of no release")
        return problems

    def wrong_files(self, files):
        """Listed files that are missing or differ from the release, and files that do not
        belong; with the number of listed files compared byte for byte."""
        problems = []
        for path, data in files.items():
            disk = self.disk(path)
            if not os.path.isfile(disk):
                problems.append(f"{path}: missing")
                continue
            with open(disk, "rb") as f:
                if f.read() != data:
                    problems.append(f"{path}: wrong bytes")
        listed = {update_site.disk_name(path) for path in files}
        extra = self.folder_contents() - listed - OWN_FILES
        problems += [f"{p.decode('latin-1')}: left over" for p in sorted(extra)]
        return problems, len(files)

    def mixed_folder(self, before, after):
        """What makes the folder neither release whole: the listed game files (the launcher's
        own aside) that differ from the old release and those that differ from the new one,
        when both are some."""
        def differing(release):
            found = []
            for path in (set(before) | set(after)) - {"launcher.exe"}:
                disk = self.disk(path)
                data = None
                if os.path.isfile(disk):
                    with open(disk, "rb") as f:
                        data = f.read()
                if data != release.get(path):
                    found.append(path)
            return found
        old, new = differing(before), differing(after)
        if old and new:
            return [f"{len(old)} files differ from the old release (e.g. {sorted(old)[0]}), "
                    f"{len(new)} from the new (e.g. {sorted(new)[0]})"]
        return []

    def offline_start(self):
        """Starts the launcher once with no server reachable and closes it when its pass has
        ended; returns the status it ended with."""
        path = self.folder.file("launcher.ini")
        with open(path, "wb") as f:
            f.write(re.sub(rb"Url=[^\r\n]*", OFFLINE_URL, self.ini))
        try:
            self.start_launcher(cwd=self.folder.path)
            state = self.wait_for(lambda s: s is not None and s["start"]["enabled"], PASS_TIMEOUT,
                                  "the offline start to end")
            self.probe.act(f"click {ID_EXIT}")
            self.wait_no_launcher()
        finally:
            with open(path, "wb") as f:
                f.write(self.ini)
        return state["status"]["text"]

    # The repair.

    def recover(self):
        """Starts the launcher again until a whole pass ends well; one more pass when an old
        launcher that was still running at the end of the first is left. Returns the passes."""
        passes = []
        began = time.monotonic()
        while True:
            self.start_launcher(cwd=self.folder.path)
            state = self.wait_for(lambda s: s is not None and s["start"]["enabled"], PASS_TIMEOUT,
                                  "the repairing pass to end")
            passes.append(state["status"]["text"])
            if len(passes) == 1:
                seconds = time.monotonic() - began
            self.assertIn(state["status"]["text"], DONE_TEXTS,
                          "the pass after the cut failed" + self.details())
            self.probe.act(f"click {ID_EXIT}")
            self.wait_no_launcher()
            if b"Launcher.old.exe" not in self.folder_contents() or len(passes) == 2:
                return passes, seconds

    def launcher_builds(self):
        """Which build each launcher file of the folder holds."""
        names = {self.running: "installed build"}
        for letter, (files, _) in zip("AB", self.releases):
            names[files["launcher.exe"]] = f"build {letter}"
        found = {}
        for name in ("launcher.exe", "Launcher.old.exe", "Launcher.new.exe", "Launcher.new.exe.part"):
            if os.path.isfile(self.folder.file(name)):
                found[name] = names.get(self.read(name), f"{len(self.read(name))} bytes")
        return found

    def cut_and_repair(self, number, before, files, aim, run):
        """One kill, an offline start and the repair, recorded in run; stops at a wrong file or a
        folder of two releases."""
        self.seen = []
        status, trigger, moment = self.kill_pass(aim)
        left = self.folder_contents()
        rebuilt = any(p.endswith(b".part") and self.is_rebuilt_part(p.decode("latin-1")) for p in left)
        phase = classify(status, trigger, left, rebuilt)
        evidence = sorted(p.decode("latin-1") for p in left
                          if p.endswith(b".part") or p.startswith((b"launcher.cache.", b"Launcher.")))
        kill = {"aim": aim["kind"], "phase": phase, "seconds": round(moment, 3), "status": status,
                "trigger": trigger and trigger[1],
                "left": evidence[:6] + (["..."] if len(evidence) > 6 else [])}
        self.context = f"\nkill {number + 1} of {COUNT}: {json.dumps(kill)}"
        problems = self.cache_problems() + self.torn_files(files)
        run["wrong"] += len(problems)
        self.assertEqual(problems, [], "after the cut" + self.details())
        if not os.path.isfile(self.folder.launcher):
            # The player has nothing left to start: only a new install of the launcher helps,
            # which the run does to go on; the run fails at its end.
            kill["lost"] = self.launcher_builds()
            run["lost"].append(kill)
            print(f"kill {number + 1}: launcher.exe is gone, left {kill['lost']}; reinstalled", flush=True)
            shutil.copy(self.session.paths.launcher, self.folder.launcher)
        kill["offline"] = self.offline_start()
        mixed = self.mixed_folder(before, files)
        run["mixed"] += len(mixed)
        self.assertEqual(mixed, [], "after the offline start" + self.details())
        kill["passes"], seconds = self.recover()
        run["pass_seconds"] = run["pass_seconds"][-4:] + [seconds]
        problems, count = self.wrong_files(files)
        problems += self.cache_problems()
        run["checked"] += count
        run["wrong"] += len(problems)
        self.assertEqual(problems, [], "after the repair" + self.details())
        run["phases"][phase] = run["phases"].get(phase, 0) + 1
        if aim["kind"] == phase:
            run["aims_hit"][phase] = run["aims_hit"].get(phase, 0) + 1
        run["each"].append(kill)
        print(f"kill {number + 1}/{COUNT}: {phase:16} {json.dumps(kill)}", flush=True)

    def test_every_cut_is_repaired_by_the_next_start(self):
        print(f"kill-anywhere: seed {SEED}, {COUNT} kills", flush=True)
        began = time.monotonic()
        run = {"seed": SEED, "launcher": self.session.paths.launcher_kind, "kills": 0, "phases": {}, "aims_hit": {},
               "checked": 0, "wrong": 0, "mixed": 0, "lost": [],
               "each": [], "pass_seconds": [FIRST_PASS_SECONDS]}
        # The first kills take each aim once, and each step of the swap, in a random order, so
        # that a short run hits them all; the fresh install that comes first has no files for a
        # check to read.
        first = [(kind, None) for kind in AIMS if kind != "self-replacement"]
        first = self.rng.sample(first + [("self-replacement", step) for step in range(SWAP_STEPS)],
                                len(first) + SWAP_STEPS)
        # The fresh install that comes first has no files for a check to read or a rebuild to use.
        while first[0][0] in ("check", "rebuild"):
            first.append(first.pop(0))
        current = {}
        try:
            for number in range(COUNT):
                files, keys = self.releases[number % 2]
                update_site.publish_release(self.session.paths, self.server.root, files,
                                            [word for key in keys for word in ("--delete", key[len("Delete="):])])
                downloads = sum(1 for p, data in files.items() if current.get(p) != data)
                reads = sum(1 for p, data in files.items()
                            if not is_own(p) and p in current and len(current[p]) == len(data))
                kind, step = first[number] if number < len(first) else (None, None)
                aim = choose_aim(self.rng, kind, step, reads, downloads, max(run["pass_seconds"]), self.folder.path)
                self.cut_and_repair(number, current, files, aim, run)
                run["kills"] += 1
                current = files
        finally:
            self.report(run, time.monotonic() - began)
        # An aim that never fires falls back to a kill after the pass: a run whose aims stopped
        # finding their moments would otherwise pass while cutting nothing where it claims to.
        if COUNT >= len(first):
            missed = [kind for kind in AIMS if kind != "any" and not run["aims_hit"].get(kind)]
            self.assertEqual(missed, [], f"aims that never hit their phase (seed {SEED})")
        if run["lost"]:
            self.fail(f"{len(run['lost'])} kills left the game folder without launcher.exe (seed {SEED}):\n"
                      + "\n".join(f"{kill['seconds']} s after the start, on {kill['trigger']}: "
                                   f"left {kill['lost']}" for kill in run["lost"]))

    def report(self, run, seconds):
        phases = run["phases"]
        run["summary"] = (f"kill-anywhere: {run['kills']} kills ("
                          + ", ".join(f"{p} {phases[p]}" for p in PHASES if p in phases)
                          + f"), {run['checked']:,} files checked byte for byte, {run['wrong']} wrong files, "
                          f"{run['mixed']} mixed folders, "
                          f"{len(run['lost'])} without launcher.exe, seed {SEED}")
        run["seconds"] = round(seconds)
        del run["pass_seconds"]
        print(run["summary"], flush=True)
        with open(os.path.join(self.session.paths.artifacts, "kill-anywhere-results.json"), "w") as out:
            json.dump(run, out, indent=1)


if __name__ == "__main__":
    harness.main()
