"""What the hostile end-to-end cases share: a scenario laid out as a small site (the game folder,
a sibling folder and a file beside them, whose outside must come through a pass untouched), the
fault-injecting update server run as its own process, the checks every case ends with, and one
JSON line of results per case for the reliability report."""
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

import harness
from harness import ID_EXIT, LauncherTestCase

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "server"))
import update_server  # noqa: E402  (the pattern that its "generate" and "endless" rules send)

PASS_TIMEOUT = 60.0
SERVER_START_TIMEOUT = 10.0
UNCHANGED_DETAIL = "You can still START with the files you have, or try again."
LIST_UNREACHABLE = "Can't reach the update server ({}).".format
BROKEN_LIST = "The update list is broken - try again later."
# Three attempts with a one-second pause after each failed one.
THREE_ATTEMPTS_SECONDS = 3.0


def md5(data):
    return hashlib.md5(data).hexdigest()


def pattern(size):
    return update_server.pattern_block(0, size)


def entry(path, data, kind=b"F"):
    """One update-list line for a file of these bytes; path is bytes as the list writes it."""
    return b"%s|%s|%d|%s" % (kind, md5(data).encode("ascii"), len(data), path)


def encoded(path):
    """The request path the launcher must send for a list path (bytes)."""
    safe = b"-./_~"
    out = "/"
    for byte in path:
        if chr(byte).isascii() and (chr(byte).isalnum() or bytes((byte,)) in safe):
            out += chr(byte)
        else:
            out += "%%%02X" % byte
    return out


class RulesServer:
    """tests/server/update_server.py in its own process: a served folder, a rules file read again
    at every request, and the request log."""

    def __init__(self, folder):
        os.makedirs(folder)
        self.root = os.path.join(folder, "served")
        os.makedirs(self.root)
        self.rules_path = os.path.join(folder, "rules.json")
        self.log_path = os.path.join(folder, "requests.jsonl")
        port_file = os.path.join(folder, "port")
        self.process = subprocess.Popen(
            [sys.executable, os.environ["E2E_UPDATE_SERVER"], "--root", self.root, "--rules",
             self.rules_path, "--log", self.log_path, "--port-file", port_file],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + SERVER_START_TIMEOUT
        while not os.path.exists(port_file):
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("the update server did not start")
            time.sleep(harness.POLL_SECONDS)
        with open(port_file) as f:
            self.port = int(f.read())
        self.url = f"http://127.0.0.1:{self.port}/"

    def rules(self, rules):
        with open(self.rules_path + ".tmp", "w") as f:
            json.dump(rules, f)
        os.replace(self.rules_path + ".tmp", self.rules_path)

    def serve(self, path, data):
        full = os.path.join(os.fsencode(self.root), path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(data)

    def publish(self, lines, version=b"Version=7"):
        self.serve(b"manifest.txt", b"\n".join([version] + lines) + b"\n")

    def requests(self):
        if not os.path.exists(self.log_path):
            return []
        with open(self.log_path, encoding="utf-8") as f:
            records = [json.loads(line) for line in f if line.strip()]
        return [record for record in records if "path" in record]

    def hits(self, path):
        return sum(1 for r in self.requests() if r["path"] == path)

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


class Site(harness.GameFolder):
    """site/game is the game folder; site/sibling and site/beside.txt stand for everything else
    on the player's disk."""

    def __init__(self, paths, work, name, root=None):
        self.scenario = root or tempfile.mkdtemp(prefix=name[:40] + "-", dir=work)
        self.site = os.path.join(self.scenario, "site")
        self.path = os.path.join(self.site, "game")
        os.makedirs(self.path)
        os.makedirs(os.path.join(self.site, "sibling", "saves"))
        for name_, data in (("sibling/saves/slot1.sav", b"slot one"), ("sibling/notes.txt", b"notes"),
                            ("beside.txt", b"beside the game")):
            with open(os.path.join(self.site, name_), "wb") as f:
                f.write(data)
        self.launcher = os.path.join(self.path, "launcher.exe")
        shutil.copy(paths.launcher, self.launcher)
        self.paths = paths

    def put(self, path, data):
        """Writes a game file by its list path (bytes, "/" separated)."""
        full = os.path.join(os.fsencode(self.path), path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(data)

    def get(self, path):
        with open(os.path.join(os.fsencode(self.path), path), "rb") as f:
            return f.read()

    def part_files(self):
        found = []
        for directory, _, files in os.walk(self.path):
            found += [os.path.join(directory, f) for f in files if f.endswith(".part")]
        return found

    def outside(self):
        """Names, kinds, sizes and modification times of everything in the site but the game."""
        seen = {}
        for directory, folders, files in os.walk(self.site):
            relative = os.path.relpath(directory, self.site)
            if relative == "game":
                folders[:] = []
                continue
            stat = os.stat(directory)
            seen[relative + "/"] = (stat.st_mtime_ns,)
            for name in files:
                stat = os.stat(os.path.join(directory, name))
                seen[os.path.join(relative, name)] = (stat.st_size, stat.st_mtime_ns)
        return seen


def results_path():
    module = os.path.splitext(os.path.basename(sys.argv[0]))[0]
    return os.path.join(harness.Paths().artifacts, f"hostile-results-{module}.jsonl")


def mode_of(state):
    if state["start"]["text"] == "START" and not state["retry"]["visible"]:
        return "Ready"
    if state["start"]["text"] == "START anyway" and state["retry"]["visible"]:
        return "Failed"
    return "other"


class HostileCase(LauncherTestCase):
    """A scenario in a site; it starts servers on demand and ends with the common checks."""

    group = "?"

    def setUp(self):
        super().setUp()
        shutil.rmtree(self.folder.path)
        self.folder = Site(self.session.paths, self.session.work, self.name)
        self.servers = 0
        self.result = None

    def start_server(self):
        self.servers += 1
        server = RulesServer(os.path.join(self.folder.scenario, f"server{self.servers}"))
        self.addCleanup(server.stop)
        return server

    def run_pass(self, timeout=PASS_TIMEOUT):
        """Starts the launcher and waits for its pass to end; returns the process, the final
        state and the seconds from the launcher's start to the end of the pass."""
        self.outside_before = self.folder.outside()
        began = time.monotonic()
        process, _ = self.launch()
        state = self.wait_for(lambda s: s["start"]["enabled"], timeout, "the pass to end")
        seconds = time.monotonic() - began
        self.screenshot("end-of-pass")
        return process, state, seconds

    def close_and_check(self, process, state, case, fault, seconds, kept, part_of=None, **extra):
        """Records what the launcher did, then checks what every case must keep: exit code 0
        when closed, nothing outside the game folder touched, no ".part" left but the start of
        a file whose download broke off (`part_of` maps such a list path to the file's bytes)."""
        record = {"group": self.group, "case": case, "fault": fault,
                  "status": state["status"]["text"], "detail": state["detail"]["text"],
                  "mode": mode_of(state), "progress": state["progress"]["pos"],
                  "seconds": round(seconds, 1), "kept": kept, "verified": False,
                  "launcher": self.session.paths.launcher_kind}
        record.update(extra)
        self.write_result(record)
        self.probe.act(f"click {ID_EXIT}")
        self.assertEqual(self.wait_exit(process), 0)
        allowed = part_of or {}
        for part in self.folder.part_files():
            relative = os.fsencode(os.path.relpath(part, self.folder.path))[:-len(b".part")]
            self.assertIn(relative, allowed, f"a .part file outlived its download: {part}")
            with open(part, "rb") as f:
                kept_bytes = f.read()
            self.assertEqual(kept_bytes, allowed[relative][:len(kept_bytes)],
                             f"{part} is not the start of its file")
        self.assertEqual(self.folder.outside(), self.outside_before,
                         "something outside the game folder changed")
        self.result = record

    def write_result(self, record):
        with open(results_path(), "a", encoding="utf-8") as out:
            out.write(json.dumps(record) + "\n")

    def tearDown(self):
        super().tearDown()
        # Only a case whose every check passed is marked verified; the report takes the last line
        # of each case.
        if self.result is not None and self._outcome_ok():
            self.result["verified"] = True
            self.write_result(self.result)

    def _outcome_ok(self):
        # unittest marks the outcome failed as soon as the test method fails, before tearDown.
        return bool(getattr(getattr(self, "_outcome", None), "success", False))

    def assertEnd(self, state, status, mode, detail=None):
        context = self.details()
        self.assertEqual(state["status"]["text"], status, context)
        self.assertEqual(mode_of(state), mode, context)
        if detail is not None:
            self.assertEqual(state["detail"]["text"], detail, context)


def unmount_leftovers(work):
    """Mounts left under the work folder by a run that was killed, so that the folder can go."""
    try:
        with open("/proc/mounts") as mounts:
            points = [line.split()[1] for line in mounts]
    except OSError:
        return
    for point in sorted(points, reverse=True):
        if point.startswith(os.path.abspath(work) + "/"):
            subprocess.run(["umount", "-l", point], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def main():
    work = harness.Paths().work
    unmount_leftovers(work)
    os.makedirs(harness.Paths().artifacts, exist_ok=True)
    open(results_path(), "w").close()
    harness.main()
