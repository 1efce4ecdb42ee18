"""End-to-end harness: runs the real launcher.exe under wine64 on a private X display, in a scratch
game folder per scenario, and watches and drives its window only through the probe program.

The paths come from the environment that the build sets for each test (E2E_* variables)."""
import json
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import wine_prefix  # noqa: E402

LAUNCHER_CLASS = "Tavrinor_Launcher"
ID_START = 101
ID_EXIT = 102
ID_RETRY = 103
DEFAULT_TITLE = "The Legend of Tavrin"
NO_URL_STATUS = "launcher.ini has no Url= - can't check for updates."
CONNECTING_STATUS = "Connecting to the update server..."
POLL_SECONDS = 0.05
WINDOW_TIMEOUT = 30.0
EXIT_TIMEOUT = 15.0
SCREEN_SIZE = (1024, 768)
# What a suite ends with when all its cases passed but some were skipped (ctest's SKIP_RETURN_CODE).
SKIPPED_EXIT_CODE = 77


def _env_path(name):
    value = os.environ.get(name)
    if not value:
        raise RuntimeError(f"{name} is not set: run the end-to-end tests through ctest")
    return os.path.abspath(value)


class Paths:
    """Where the build put the programs and where this run may write."""

    def __init__(self):
        self.launcher, self.launcher_kind = wine_prefix.launcher_under_test(_env_path("E2E_BUILD_DIR"))
        self.probe = _env_path("E2E_PROBE")
        self.game = _env_path("E2E_GAME")
        self.wine_run = wine_prefix.WINE_RUN
        self.wineprefix = _env_path("E2E_WINEPREFIX")
        self.work = _env_path("E2E_WORK")
        self.artifacts = _env_path("E2E_ARTIFACTS")
        self.make_manifest = _env_path("E2E_MAKE_MANIFEST")
        # The studio's Windows tool, from the tree of the launcher under test.
        self.windows_make_manifest = os.path.join(os.path.dirname(os.path.dirname(self.launcher)), "tools",
                                                  "make_manifest.exe")


def windows_path(unix_path):
    """The name wine gives a unix path through its drive Z:, which maps the whole file system."""
    return "Z:" + os.path.abspath(unix_path).replace("/", "\\")


def _free_display():
    for number in range(90, 100):
        if not os.path.exists(f"/tmp/.X11-unix/X{number}") and not os.path.exists(f"/tmp/.X{number}-lock"):
            return number
    raise RuntimeError("no free X display between :90 and :99")


def unix_processes_naming(path):
    """Live unix processes whose command line names path: wine's processes carry their Windows
    command line, where path shows behind its drive letter."""
    mark = path.lower().replace("\\", "/")
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                command = f.read().decode("utf-8", "replace").lower().replace("\\", "/")
            with open(f"/proc/{entry}/stat") as f:
                zombie = f.read().rsplit(")", 1)[1].split()[0] == "Z"
        except (OSError, IndexError):
            continue
        if mark in command and not zombie:
            found.append(int(entry))
    return found


def _wait_until(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise RuntimeError(f"timed out after {timeout:.0f} s waiting for {what}")
        time.sleep(POLL_SECONDS)


class Session:
    """One per test run: the X server, the wine server and the probe, shared by all scenarios."""

    def __init__(self, paths):
        self.paths = paths
        self.xvfb = None
        self.display = None
        self.artifacts = None
        self.work = None
        self.probe = None
        self.env = None

    def start(self):
        # Each test module keeps its pictures and scenario folders apart, emptied at every run;
        # the scenario folders stay until the next run for a look.
        module = os.path.splitext(os.path.basename(sys.argv[0]))[0]
        self.artifacts = os.path.join(self.paths.artifacts, module)
        self.work = os.path.join(self.paths.work, module)
        for folder in (self.artifacts, self.work):
            shutil.rmtree(folder, ignore_errors=True)
            os.makedirs(folder)
        os.makedirs(self.paths.wineprefix, exist_ok=True)
        print(f"end-to-end runs drive {self.paths.launcher_kind}: {self.paths.launcher}", file=sys.stderr,
              flush=True)
        number = _free_display()
        self.display = f":{number}"
        width, height = SCREEN_SIZE
        # -br: a black root, so that a window that has not reached the screen yet is plain to see.
        self.xvfb = subprocess.Popen(
            ["Xvfb", self.display, "-screen", "0", f"{width}x{height}x24", "-nolisten", "tcp", "-br"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        _wait_until(lambda: os.path.exists(f"/tmp/.X11-unix/X{number}") or self.xvfb.poll() is not None,
                    10, "Xvfb to open its socket")
        if self.xvfb.poll() is not None:
            raise RuntimeError(f"Xvfb on {self.display} ended at once (code {self.xvfb.returncode})")
        # One persistent wine server for the whole run spares every program its start; one left
        # by an earlier run is ended first, with every program that still ran in it.
        self.env = wine_prefix.environment(self.paths.wineprefix, self.display)
        wine_prefix.start(self.env, self.paths.wineprefix + ".log")
        # Without a window manager wine waits 2 s for every managed window to be withdrawn when it
        # is destroyed; unmanaged windows go at once, and the tests then see the launcher's own
        # timing.
        subprocess.run([self.paths.wine_run, "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v",
                        "Managed", "/d", "N", "/f"], env=self.env, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=120)
        self.probe = Probe(self)
        self.probe.state()

    def stop(self):
        """Ends what start started, as far as it got: ending the prefix ends the launchers,
        game and helpers of every scenario too."""
        if self.probe:
            self.probe.stop()
        try:
            if self.env:
                wine_prefix.stop(self.env)
        finally:
            self._stop_xvfb()

    def _stop_xvfb(self):
        if self.xvfb:
            self.xvfb.terminate()
            try:
                self.xvfb.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.xvfb.kill()
                self.xvfb.wait()

    def wine(self, program, cwd=None, log=None):
        """Starts a program; what wine itself says about it (it never reaches a window) goes to log."""
        with open(log or os.devnull, "ab") as errors:
            return subprocess.Popen([self.paths.wine_run, program], env=self.env, cwd=cwd,
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=errors)

    def screenshot(self, path, crop=None):
        """Saves the screen (or the crop rectangle: left, top, width, height) as a PNG."""
        command = ["import", "-display", self.display, "-window", "root"]
        if crop:
            left, top, width, height = crop
            command += ["-crop", f"{width}x{height}+{left}+{top}", "+repage"]
        subprocess.run(command + [path], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=30)
        return path


class Probe:
    """The probe program kept running for the whole session, answering one JSON line per command."""

    def __init__(self, session):
        self.process = subprocess.Popen([session.paths.wine_run, session.paths.probe], env=session.env,
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, text=True, encoding="utf-8")
        self.lock = threading.Lock()

    def ask(self, line, timeout=10.0):
        with self.lock:
            self.process.stdin.write(line + "\n")
            self.process.stdin.flush()
            answer = [None]
            reader = threading.Thread(target=lambda: answer.__setitem__(0, self.process.stdout.readline()))
            reader.start()
            reader.join(timeout)
            if reader.is_alive() or not answer[0]:
                raise RuntimeError(f"the probe gave no answer to {line!r} within {timeout:.0f} s")
            return json.loads(answer[0])

    def state(self, timeout=10.0):
        """The launcher's window as the probe sees it, or None when there is none."""
        return self.ask("state", timeout)["window"]

    def act(self, line):
        answer = self.ask(line)
        if not answer.get("ok"):
            raise AssertionError(f"probe could not {line!r}: {answer.get('error')}")
        return answer

    def stop(self):
        try:
            self.process.stdin.write("quit\n")
            self.process.stdin.flush()
            self.process.wait(timeout=10)
        except (OSError, subprocess.TimeoutExpired):
            self.process.kill()
            self.process.wait()


class GameFolder:
    """A scratch game folder holding a copy of launcher.exe and whatever a scenario puts beside it."""

    def __init__(self, paths, work, name):
        self.path = tempfile.mkdtemp(prefix=name[:40] + "-", dir=work)
        self.launcher = os.path.join(self.path, "launcher.exe")
        shutil.copy(paths.launcher, self.launcher)
        self.paths = paths

    def file(self, name):
        return os.path.join(self.path, name)

    def write(self, name, data):
        if isinstance(data, str):
            data = data.encode("utf-8")
        with open(self.file(name), "wb") as out:
            out.write(data)

    def write_ini(self, url=None, title=None, connections=None, public_key=None, min_sequence=None,
                  backup_key=None):
        lines = ["[Launcher]"]
        if url is not None:
            lines.append(f"Url={url}")
        if title is not None:
            lines.append(f"Title={title}")
        if connections is not None:
            lines.append(f"Connections={connections}")
        if public_key is not None:
            lines.append(f"PublicKey={public_key}")
        if min_sequence is not None:
            lines.append(f"MinSequence={min_sequence}")
        if backup_key is not None:
            lines.append(f"BackupKey={backup_key}")
        self.write("launcher.ini", "\r\n".join(lines) + "\r\n")

    def add_game(self, name="main.exe"):
        shutil.copy(self.paths.game, self.file(name))


def game_record(path, timeout=15.0):
    """What the stand-in game wrote about its start into `path`; the game runs on after the
    launcher ends, so the record may come a little later."""
    deadline = time.monotonic() + timeout
    while not os.path.exists(path):
        if time.monotonic() > deadline:
            raise AssertionError(f"the game never ran: no {path}")
        time.sleep(POLL_SECONDS)
    with open(path, encoding="latin-1") as record:
        return dict(line.rstrip("\n").split("=", 1) for line in record if "=" in line)


def write_bmp(path, width, height, pixel):
    """A bottom-up 24-bit BMP whose colour at (x, y), counted from the top left, is pixel(x, y)."""
    row_size = (width * 3 + 3) & ~3
    rows = []
    for y in reversed(range(height)):
        row = bytearray()
        for x in range(width):
            r, g, b = pixel(x, y)
            row += bytes((b, g, r))
        row += b"\0" * (row_size - len(row))
        rows.append(bytes(row))
    image = b"".join(rows)
    header = struct.pack("<2sIHHI", b"BM", 14 + 40 + len(image), 0, 0, 14 + 40)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(image), 2835, 2835, 0, 0)
    with open(path, "wb") as out:
        out.write(header + info + image)


class Picture:
    """An RGB picture read from an image file through ImageMagick's PPM output."""

    def __init__(self, path):
        convert = "/usr/bin/convert" if os.path.exists("/usr/bin/convert") else "convert"
        data = subprocess.run([convert, path, "ppm:-"], check=True, stdout=subprocess.PIPE,
                              timeout=30).stdout
        fields = []
        at = 0
        while len(fields) < 4:
            while data[at:at + 1].isspace():
                at += 1
            if data[at:at + 1] == b"#":
                at = data.index(b"\n", at)
                continue
            end = at
            while not data[end:end + 1].isspace():
                end += 1
            fields.append(data[at:end])
            at = end
        if fields[0] != b"P6" or int(fields[3]) != 255:
            raise ValueError(f"{path}: not an 8-bit P6 picture")
        self.width = int(fields[1])
        self.height = int(fields[2])
        self.pixels = data[at + 1:at + 1 + self.width * self.height * 3]

    def pixel(self, x, y):
        at = (y * self.width + x) * 3
        return tuple(self.pixels[at:at + 3])

    def count(self, colour, left, top, right, bottom):
        """How many pixels of the rectangle [left, right) x [top, bottom) have exactly that colour."""
        return sum(1 for y in range(top, bottom) for x in range(left, right) if self.pixel(x, y) == colour)


HOLD = "hold"


class LoopbackServer:
    """A scripted HTTP server on 127.0.0.1: it records every request line and answers each
    request with the next action of its script, the last action repeating. An action is a
    status code (answered with an empty body) or HOLD (the connection is kept open and never
    answered, so that a pass waits)."""

    def __init__(self, script):
        self.script = list(script)
        self.requests = []
        self.held = []
        self.lock = threading.Lock()
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        self.url = f"http://127.0.0.1:{self.port}/"
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(connection,), daemon=True).start()

    def _serve(self, connection):
        head = b""
        connection.settimeout(30)
        try:
            while b"\r\n\r\n" not in head:
                piece = connection.recv(4096)
                if not piece:
                    connection.close()
                    return
                head += piece
        except OSError:
            connection.close()
            return
        with self.lock:
            self.requests.append(head.split(b"\r\n", 1)[0].decode("latin-1"))
            action = self.script[min(len(self.requests), len(self.script)) - 1]
            if action == HOLD:
                self.held.append(connection)
                return
        connection.sendall(f"HTTP/1.1 {action} Scripted\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"
                           .encode("ascii"))
        connection.close()

    def release(self):
        """Drops every held connection unanswered, which ends the requests that waited on it."""
        with self.lock:
            held, self.held = self.held, []
        for connection in held:
            connection.shutdown(socket.SHUT_RDWR)
            connection.close()

    def request_count(self):
        with self.lock:
            return len(self.requests)

    def close(self):
        # shutdown wakes the thread that waits in accept; close alone would not on Linux.
        try:
            self.listener.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.listener.close()
        with self.lock:
            for connection in self.held:
                connection.close()


def closed_port():
    """A loopback port that nobody listens on: bound for a moment and released again."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe_socket:
        probe_socket.bind(("127.0.0.1", 0))
        return probe_socket.getsockname()[1]


_session = None
_failed_start = None


def session():
    """The run's session, started by the first scenario; when that start fails, what it had
    started is ended again and every scenario fails with the same reason."""
    global _session, _failed_start
    if _failed_start:
        raise RuntimeError(f"the session did not start: {_failed_start}")
    if _session is None:
        starting = Session(Paths())
        try:
            starting.start()
        except BaseException as error:
            _failed_start = f"{type(error).__name__}: {error}"
            starting.stop()
            raise
        _session = starting
    return _session


def stop_session():
    global _session
    if _session is not None:
        _session.stop()
        _session = None


class LauncherTestCase(unittest.TestCase):
    """A scenario: its own game folder, its launchers ended at its end, screenshots kept."""

    def setUp(self):
        self.session = session()
        self.probe = self.session.probe
        self.name = self.id().split(".", 1)[-1].replace(".", "-")
        self.folder = GameFolder(self.session.paths, self.session.work, self.name)
        self.processes = []
        self.shots = 0
        self.last_state = None
        self.wine_log = os.path.join(self.session.artifacts, self.name + "-wine.log")

    def tearDown(self):
        try:
            if self.probe.state() is not None:
                self.screenshot("end")
        finally:
            for process in self.processes:
                if process.poll() is None:
                    process.kill()
                    process.wait()
            # A launcher started by another one (a replacement, a restart) is no child of this
            # test; one left running would hold the instance lock and its window into the next.
            _wait_until(lambda: not self.end_programs_of_folder(), 10, "the game folder's programs to end")
        _wait_until(lambda: self.probe.state() is None, 10, "the launcher window to go away")

    def end_programs_of_folder(self):
        """Kills what still runs from this scenario's game folder; says whether there was any."""
        pids = unix_processes_naming(self.folder.path + os.sep)
        for pid in pids:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        return bool(pids)

    # Starting and ending.

    def start_launcher(self, cwd=None):
        process = self.session.wine(self.folder.launcher, cwd=cwd or self.session.paths.work,
                                    log=self.wine_log)
        self.processes.append(process)
        return process

    def launch(self, cwd=None):
        """Starts the launcher and waits for its window to be up with its start-up done."""
        process = self.start_launcher(cwd)
        state = self.wait_for(lambda s: s is not None and s["visible"] and s["pid"] and s["status"]
                              and s["status"]["text"] != "" or process.poll() is not None,
                              WINDOW_TIMEOUT, "the launcher window")
        if process.poll() is not None:
            with open(self.wine_log, errors="replace") as f:
                said = f.read()[-2000:]
            self.fail(f"the launcher ended with code {process.returncode} before showing its window; "
                      f"wine said: {said!r}")
        self.screenshot("start")
        return process, state

    def wait_exit(self, process, timeout=EXIT_TIMEOUT):
        try:
            return process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.fail(f"the launcher did not end within {timeout:.0f} s{self.details()}")

    # Watching.

    def state(self):
        state = self.probe.state()
        # The window exists a moment before its controls do; start-up shows it only once they
        # are all made, so a window not yet visible is not yet there for a player either.
        if state is not None and not state["visible"]:
            state = None
        self.last_state = state
        return state

    def wait_for(self, condition, timeout, what):
        deadline = time.monotonic() + timeout
        while True:
            state = self.state()
            if condition(state):
                return state
            if time.monotonic() > deadline:
                self.fail(f"timed out after {timeout:.0f} s waiting for {what}{self.details()}")
            time.sleep(POLL_SECONDS)

    def wait_box(self, timeout=10.0):
        return self.wait_for(lambda s: s is not None and s["box"] is not None, timeout,
                             "a message box")

    def wait_no_box(self, timeout=10.0):
        return self.wait_for(lambda s: s is not None and s["box"] is None, timeout,
                             "the message box to close")

    def details(self):
        return (f"\nlast probe state: {json.dumps(self.last_state, indent=1)}"
                f"\nscenario folder: {self.folder.path}\nscreenshots: {self.session.artifacts}")

    def screenshot(self, label, crop_to="rect"):
        """Keeps a picture of the launcher window in the artifacts folder; returns its path."""
        state = self.state()
        if state is None:
            return None
        rect = state[crop_to]
        self.shots += 1
        path = os.path.join(self.session.artifacts, f"{self.name}-{self.shots}-{label}.png")
        left = max(rect["left"], 0)
        top = max(rect["top"], 0)
        return self.session.screenshot(path, (left, top, rect["width"], rect["height"]))

    def box_icon(self, state):
        """Which system icon the message box shows, told by its colours on the screen: "warning"
        (yellow), "error" (red) or "question" (blue, also the information icon's colour)."""
        rect = state["box"]["icon_rect"]
        if rect is None:
            return None
        self.shots += 1
        path = os.path.join(self.session.artifacts, f"{self.name}-{self.shots}-icon.png")
        picture = Picture(self.session.screenshot(
            path, (rect["left"], rect["top"], rect["width"], rect["height"])))
        kinds = {"warning": 0, "error": 0, "question": 0}
        for y in range(picture.height):
            for x in range(picture.width):
                r, g, b = picture.pixel(x, y)
                if r > 180 and g > 150 and b < 100:
                    kinds["warning"] += 1
                elif r > 160 and g < 90 and b < 90:
                    kinds["error"] += 1
                elif b > 150 and r < 120:
                    kinds["question"] += 1
        kind, count = max(kinds.items(), key=lambda item: item[1])
        return kind if count > 20 else "none"

    def client_picture(self, label, settled):
        """A picture of the client area, taken again until settled(picture) says that the window
        has reached the screen (wine paints it asynchronously), or the time is up."""
        deadline = time.monotonic() + 10
        while True:
            picture = Picture(self.screenshot(label, crop_to="client"))
            if settled(picture) or time.monotonic() > deadline:
                return picture
            time.sleep(0.1)

    def assertFocusOnStart(self):
        """The end of a pass enables START, labels it and then gives it the focus: the probe may
        look in between, so the focus gets a moment to arrive."""
        self.wait_for(lambda s: s is not None and s["focus"] == "start", 2.0, "START to have the focus")

    def assertMode(self, state, start_text, start_enabled, retry_visible):
        context = self.details()
        self.assertEqual(state["start"]["text"], start_text, context)
        self.assertEqual(state["start"]["enabled"], start_enabled, context)
        self.assertTrue(state["start"]["visible"], context)
        self.assertEqual(state["retry"]["visible"], retry_visible, context)
        self.assertTrue(state["exit"]["visible"] and state["exit"]["enabled"], context)


def _interrupted(number, frame):
    raise KeyboardInterrupt(f"signal {number}")


def _end_helpers():
    """Ends the processes this run started itself that are still there: an interrupted scenario
    skips its cleanups, which would have ended its update servers and nginx."""
    me = str(os.getpid())
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat") as stat:
                parent = stat.read().rsplit(")", 1)[1].split()[1]
        except (OSError, IndexError):
            continue
        if parent == me:
            try:
                os.kill(int(entry), signal.SIGTERM)
            except ProcessLookupError:
                pass


def main():
    """Runs the unittest module that calls it, with one session around all of its scenarios,
    ended even when a SIGTERM ends the run."""
    signal.signal(signal.SIGTERM, _interrupted)
    try:
        program = unittest.main(exit=False, verbosity=2)
    finally:
        try:
            stop_session()
        finally:
            _end_helpers()
    result = program.result
    print(f"{result.testsRun - len(result.failures) - len(result.errors) - len(result.skipped)} passed, "
          f"{len(result.failures) + len(result.errors)} failed, {len(result.skipped)} skipped")
    if not result.wasSuccessful():
        sys.exit(1)
    # A skipped case is no pass: the runner shows the suite as skipped, with its reasons above.
    sys.exit(SKIPPED_EXIT_CODE if result.skipped else 0)
