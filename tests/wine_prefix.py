"""A wine prefix as the test harnesses and the demo use it: its environment, its own persistent
server booted with wine's background programs writing to a log, and its end. Every call goes
through scripts/wine-run, the one place that knows where wine64 and wineserver are."""
import os
import subprocess

WINE_RUN = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "scripts", "wine-run")
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
