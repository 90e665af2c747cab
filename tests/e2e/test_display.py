#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""The X display of the whole-program tests as a CTest fixture.

  test_display.py start STATE   starts Xvfb with openbox, leaves them running
                                and writes their display and pids to STATE
  test_display.py stop STATE    stops them and removes STATE

Exits 77 (skipped) when the X tools are not installed: scripts/setup
installs them.
"""
import json
import os
import shutil
import signal
import sys
import time

TOOLS = ("Xvfb", "openbox", "xdotool", "xclip")


def missing_tools():
    return [tool for tool in TOOLS if not shutil.which(tool)]


def start(state):
    stop(state)  # a display left by a run that was cut short
    missing = missing_tools()
    if missing:
        print("SKIPPED: not installed: " + ", ".join(missing) + " (scripts/setup installs them)")
        return 77
    import desktop
    display = desktop.Display(detached=True)
    with open(state, "w") as f:
        json.dump({"display": display.name, "pids": [display.window_manager.pid, display.server.pid]}, f)
    print("display " + display.name)
    return 0


def alive(pid):
    """Running, and not a zombie waiting for init to reap it."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except (OSError, IndexError):
        return False


def stop(state):
    try:
        with open(state) as f:
            pids = json.load(f)["pids"]
    except (OSError, ValueError, KeyError):
        return 0
    for pid in pids:
        if alive(pid):
            os.kill(pid, signal.SIGTERM)
    deadline = time.monotonic() + 10
    while any(alive(pid) for pid in pids) and time.monotonic() < deadline:
        time.sleep(0.05)
    os.remove(state)
    return 0


if __name__ == "__main__":
    sys.exit({"start": start, "stop": stop}[sys.argv[1]](sys.argv[2]))
