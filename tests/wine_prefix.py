"""A wine prefix as the test harnesses and the demo use it: its environment, its own persistent
server booted with wine's background programs writing to a log, and its end; and which build of
the launcher runs in it. Every call goes through scripts/wine-run, the one place that knows where
wine64 and wineserver are."""
import os
import subprocess

SCRIPTS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "scripts")
WINE_RUN = os.path.join(SCRIPTS, "wine-run")
# A new prefix takes about 20 s on an idle machine; this one is shared with builds.
START_TIMEOUT = 300
STOP_TIMEOUT = 60


def environment(prefix, display=None):
    env = dict(os.environ)
    env["WINEPREFIX"] = prefix
    if display:
        env["DISPLAY"] = display
    return env


def command(program, *args):
    return [WINE_RUN, program, *args]


def start(env, log):
    """Ends whatever an earlier run left on the prefix, then starts its server and boots it."""
    result = subprocess.run([WINE_RUN, "--start", log], env=env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, timeout=START_TIMEOUT)
    if result.returncode != 0:
        raise RuntimeError(f"wine did not start in {env['WINEPREFIX']} (code {result.returncode}; see {log})")


def stop(env):
    """Ends every program of the prefix and its server, and waits until they are gone."""
    subprocess.run([WINE_RUN, "--stop"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   timeout=STOP_TIMEOUT)


def runs_32bit():
    """Whether this kernel runs 32-bit programs, asked of the kernel by running one."""
    return subprocess.run([os.path.join(SCRIPTS, "runs-32bit")], stdin=subprocess.DEVNULL).returncode == 0


def launcher_under_test(build_dir):
    """The launcher.exe that end-to-end runs drive, and a line saying which it is: the shipped
    32-bit one wherever 32-bit programs run, the 64-bit twin of the same sources elsewhere. The
    shipped one must be as new as its twin, so that a run never tests a stale product."""
    shipped = os.path.join(build_dir, "win32", "shell", "launcher.exe")
    twin = os.path.join(build_dir, "win64", "shell", "launcher.exe")
    if not runs_32bit():
        return twin, "the 64-bit twin (this kernel runs no 32-bit programs)"
    if not os.path.exists(shipped) or (os.path.exists(twin) and os.path.getmtime(shipped) < os.path.getmtime(twin)):
        raise RuntimeError(f"{shipped} is missing or older than {twin}: run scripts/build win32")
    return shipped, "the shipped 32-bit launcher"
