#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Whole-process figures of the installed program on a private X display,
playing into the test sink: start-up to the front window shown, resident
memory after start-up, CPU idle and playing, change-to-output latency
measured on the recording, and closing the window while the tone plays
(how long the process takes to end, and the largest step the close leaves
on the recording beside the steady tone's own).

Usage: process_figures.py <quavira binary> [runs]. Run under the test audio
server (scripts/measure does both).
"""
import os
import statistics
import sys
import time

import numpy
from Xlib import X
from Xlib.ext import xtest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import desktop as d  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")
FUP = (14 + 552 + 15, 11 + 80 + 6)


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def rss_mb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return float("nan")


def cpu_percent(pid, seconds):
    before, start = cpu_seconds(pid), time.monotonic()
    time.sleep(seconds)
    return 100 * (cpu_seconds(pid) - before) / (time.monotonic() - start)


def switches(pid, tid):
    """Context switches of one thread so far: each is a wake-up."""
    with open(f"/proc/{pid}/task/{tid}/status") as f:
        return sum(int(line.split()[1]) for line in f if "ctxt_switches" in line)


def ui_wakeups(pid, seconds):
    """Wake-ups per second of the user-interface thread (the process's first)."""
    before = switches(pid, pid)
    time.sleep(seconds)
    return (switches(pid, pid) - before) / seconds


def press(desktop, window, x, y):
    """One left click through XTEST, without a helper process in between."""
    wx, wy, _, _ = desktop.geometry(window)
    xtest.fake_input(desktop.x, X.MotionNotify, x=wx + x, y=wy + y)
    xtest.fake_input(desktop.x, X.ButtonPress, 1)
    desktop.x.sync()
    xtest.fake_input(desktop.x, X.ButtonRelease, 1)
    desktop.x.sync()


def change_latency(desktop, window, sound):
    """Frames from the click to the first frame that differs from the same
    frame of the loop one second earlier. The count of frames recorded at
    the click lags the sink by parec's own latency, so this is an upper
    bound of the program's latency."""
    time.sleep(1.2)  # a full second of the steady loop before the change
    clicked = sound.frames()
    press(desktop, window, *FUP)
    time.sleep(0.3)
    end = sound.frames()
    with open(sound.file.name, "rb") as f:
        f.seek(2 * (clicked - d.RATE))
        data = numpy.frombuffer(f.read(2 * (end - clicked + d.RATE)), dtype=numpy.uint8).reshape(-1, 2)
    differs = numpy.nonzero(numpy.any(data[d.RATE:] != data[:-d.RATE], axis=1))[0]
    return differs[0] / d.RATE if len(differs) else float("nan")


def start_playing(desktop, window):
    desktop.focus(window)
    desktop.click(window, 14 + 248 + 24, 11 + 57 + 11)  # the base edit
    desktop.keys("ctrl+a")
    desktop.type("440")
    desktop.keys("Tab", "Home", "Return")  # offset 0, then Start


def close_while_playing(binary, desktop, sound):
    """(seconds from the close to the process's end, largest step from a
    second before the close to the silence after it, the steady tone's own
    largest step, exit code)."""
    program = d.Program(binary, desktop)
    start_playing(desktop, program.wait_shown())
    time.sleep(1.5)
    before = sound.now()
    closing = time.monotonic()
    code, _ = program.close()
    ended = time.monotonic() - closing
    program.kill()
    time.sleep(0.5)
    steady = sound.between(before - d.RATE, before)
    closed = sound.between(before - d.RATE, sound.now())
    own = max(numpy.abs(numpy.diff(channel)).max() for channel in steady)
    step = max(numpy.abs(numpy.diff(channel)).max() for channel in closed)
    return ended, step, own, code


def main():
    binary = sys.argv[1]
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 10
    desktop = d.Display()
    sound = d.Recording(os.environ["QUAVIRA_TEST_SINK"])
    try:
        startups, memories = [], []
        for _ in range(runs):
            program = d.Program(binary, desktop)
            program.wait_shown()
            startups.append(time.monotonic() - program.started)
            time.sleep(1.0)
            memories.append(rss_mb(program.process.pid))
            program.close()
            program.kill()

        program = d.Program(binary, desktop)
        window = program.wait_shown()
        time.sleep(2.0)
        idle = cpu_percent(program.process.pid, 20)
        start_playing(desktop, window)
        time.sleep(3.0)
        playing = cpu_percent(program.process.pid, 20)
        # The sleep timer while it waits: its cost beside none at all.
        untimed = ui_wakeups(program.process.pid, 20)
        desktop.focus(window)
        desktop.keys("shift+F10", "a", "2")  # Stop after, 120 minutes
        time.sleep(3.0)
        timed = ui_wakeups(program.process.pid, 20)
        timed_cpu = cpu_percent(program.process.pid, 20)
        latencies = [change_latency(desktop, window, sound) for _ in range(runs)]
        program.close()
        program.kill()
        closes = [close_while_playing(binary, desktop, sound) for _ in range(5)]
    finally:
        sound.close()
        desktop.close()

    ms = [1000 * s for s in startups]
    print(f"start-up to front window shown: median {statistics.median(ms):.0f} ms "
          f"(min {min(ms):.0f}, max {max(ms):.0f}, {runs} runs)")
    print(f"resident memory after start-up: median {statistics.median(memories):.1f} MB")
    print(f"CPU idle: {idle:.2f} % of one core over 20 s")
    print(f"CPU playing: {playing:.2f} % of one core over 20 s")
    print(f"the sleep timer waiting (Stop after 120 minutes): user-interface thread {timed:.2f} wake-ups/s, "
          f"without it {untimed:.2f}; CPU playing with it {timed_cpu:.2f} %")
    lat = [1000 * s for s in latencies]
    print(f"click to first changed frame on the recording: median {statistics.median(lat):.1f} ms "
          f"(min {min(lat):.1f}, max {max(lat):.1f}, {runs} changes; includes X input delivery)")
    ended = [1000 * c[0] for c in closes]
    print(f"closing the window while playing, 5 closes: the process ended after median {statistics.median(ended):.0f} ms "
          f"(max {max(ended):.0f}); largest step {max(c[1] for c in closes):.0f} where the steady tone's own is "
          f"{max(c[2] for c in closes):.0f}; exit codes {sorted({c[3] for c in closes})}")


if __name__ == "__main__":
    main()
