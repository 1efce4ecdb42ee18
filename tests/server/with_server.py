#!/usr/bin/env python3
"""Runs a command while a test update server listens: a fresh served folder, rules file and
request log in WORK_DIR, told to the command through the environment (UPDATE_SERVER_PORT, and
UPDATE_SERVER_ROOT / _RULES / _LOG as Windows paths on wine's Z: drive). Returns its exit code.

Usage: with_server.py WORK_DIR COMMAND [ARG...]
"""
import os
import shutil
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
START_TIMEOUT_SECONDS = 10


def wine_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def main():
    # Ended by SIGTERM, it still leaves through subprocess.call, which ends the command, and the
    # finally below, which ends the server.
    signal.signal(signal.SIGTERM, lambda number, frame: sys.exit(128 + number))
    if len(sys.argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    work = os.path.abspath(sys.argv[1])
    command = sys.argv[2:]
    shutil.rmtree(work, ignore_errors=True)
    root = os.path.join(work, "served")
    os.makedirs(root)
    rules = os.path.join(work, "rules.json")
    log = os.path.join(work, "requests.jsonl")
    port_file = os.path.join(work, "port")
    server = subprocess.Popen([sys.executable, os.path.join(HERE, "update_server.py"),
                               "--root", root, "--rules", rules, "--log", log,
                               "--port-file", port_file], stdout=subprocess.DEVNULL)
    try:
        deadline = time.time() + START_TIMEOUT_SECONDS
        while not os.path.exists(port_file):
            if server.poll() is not None or time.time() > deadline:
                print("update server did not start", file=sys.stderr)
                return 1
            time.sleep(0.05)
        with open(port_file) as f:
            port = f.read().strip()
        env = dict(os.environ)
        env.update({
            "UPDATE_SERVER_PORT": port,
            "UPDATE_SERVER_ROOT": wine_path(root),
            "UPDATE_SERVER_RULES": wine_path(rules),
            "UPDATE_SERVER_LOG": wine_path(log),
            "UPDATE_TEST_WORK": wine_path(work),
        })
        return subprocess.call(command, env=env)
    finally:
        server.terminate()
        server.wait()


if __name__ == "__main__":
    sys.exit(main())
