#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""What the listener does, timed on the whole program: the installed
quavira on a private X display, driven by X input (XTEST), heard at the
test sink's monitor through bench/timed_recording (no short-latency reader
pulls the sink quick; frames are placed in time by the server's timing
info on PulseAudio, by arrival on PipeWire). Times run from the X event
sent to the first frame heard that the action changed:

- the first Start after launch, clicked 0.5 s and 5 s after the window
  appeared, after 300 ms of pointer travel to the button (median of 5
  launches), later Starts, and a Start with the keyboard's Enter and no
  pointer movement 5 s after the window appeared;
- a key typed into the base edit after 5 s of quiet, the pointer elsewhere;
- a click on the random base after 5 s of quiet and 300 ms of pointer travel;
- clicks while changing: the pointer moving on, a click every 1.2 s (a
  change is told from the frame a second earlier, which must hold one loop);
- the server stopped (SIGSTOP) for 0.25 s and for 0.6 s while the user
  clicks: the longest silence the recording holds, and the largest step
  between frames beside the tones' own.

Usage: user_figures.py <quavira binary> <timed_recording binary> [launches]
Run under the test audio server (scripts/measure does both); prints
figures and asserts nothing.
"""
import os
import random
import signal
import statistics
import subprocess
import sys
import tempfile
import time

import numpy
from Xlib import X, XK
from Xlib.ext import xtest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import desktop as d  # noqa: E402

BSTART = (14 + 394 + 37, 11 + 267 + 12)
BASE_EDIT = (14 + 248 + 24, 11 + 57 + 11)
RND = (14 + 321 + 12, 11 + 64 + 8)
OUTSIDE = (-60, 200)  # left of the window, on the root window
RECORDER = None


class Timed:
    """A recording of the sink's monitor and when each frame was heard."""

    def __init__(self, seconds):
        folder = tempfile.mkdtemp(prefix="quavira-user-figures-")
        self.paths = (os.path.join(folder, "rec.u8"), os.path.join(folder, "times"))
        self.process = subprocess.Popen([RECORDER, str(seconds), *self.paths], stdout=subprocess.PIPE, text=True)
        if self.process.stdout.readline().strip() != "live":
            raise RuntimeError("the recorder did not start")

    def finish(self):
        self.process.wait(120)
        self.frames = numpy.fromfile(self.paths[0], dtype=numpy.uint8).reshape(-1, 2).astype(int)
        self.times = numpy.loadtxt(self.paths[1], dtype=numpy.int64)
        for path in self.paths:
            os.remove(path)
        os.rmdir(os.path.dirname(self.paths[0]))
        return self

    def time_of(self, frame):
        return numpy.interp(frame / 441.0, numpy.arange(len(self.times)), self.times)

    def frame_at(self, ns):
        return int(numpy.interp(ns, self.times, numpy.arange(len(self.times)) * 441.0))

    def first_sound_after(self, ns):
        start = max(self.frame_at(ns - 20_000_000), 0)
        loud = numpy.nonzero(numpy.abs(self.frames[start:] - 128).max(axis=1) > 1)[0]
        return start + loud[0] if len(loud) else None

    def first_change_after(self, ns):
        """The first frame at which a channel differs from the same frame
        of the loop a second earlier by more than the resampler's noise."""
        start = max(self.frame_at(ns - 20_000_000), d.RATE)
        differs = numpy.abs(self.frames[start:] - self.frames[start - d.RATE:-d.RATE]).max(axis=1) > 6
        found = numpy.nonzero(differs)[0]
        return start + found[0] if len(found) else None

    def ms_after(self, ns, frame, within_ms=None):
        """Milliseconds from `ns` to `frame`; nan when nothing was found, or
        when it came later than `within_ms` (a click the program never
        got: the next one's change would be taken for it)."""
        if frame is None:
            return float("nan")
        ms = (self.time_of(frame) - ns) / 1e6
        return float("nan") if within_ms is not None and ms > within_ms else ms


def now():
    return time.monotonic_ns()


def move(desktop, x, y):
    xtest.fake_input(desktop.x, X.MotionNotify, x=int(x), y=int(y))
    desktop.x.sync()


def travel(desktop, window, target, ms=300, start=None):
    """The pointer moves over the window to `target` in 10-ms steps."""
    wx, wy, _, _ = desktop.geometry(window)
    x0, y0 = start if start else (wx + 40, wy + 300)
    steps = max(ms // 10, 1)
    for k in range(1, steps + 1):
        move(desktop, x0 + (wx + target[0] - x0) * k / steps, y0 + (wy + target[1] - y0) * k / steps)
        time.sleep(0.01)


def click(desktop):
    sent = now()
    xtest.fake_input(desktop.x, X.ButtonPress, 1)
    desktop.x.sync()
    xtest.fake_input(desktop.x, X.ButtonRelease, 1)
    desktop.x.sync()
    return sent


def key(desktop, name):
    code = desktop.x.keysym_to_keycode(XK.string_to_keysym(name))
    sent = now()
    xtest.fake_input(desktop.x, X.KeyPress, code)
    desktop.x.sync()
    xtest.fake_input(desktop.x, X.KeyRelease, code)
    desktop.x.sync()
    return sent


def line(name, values, what="launches"):
    good = [v for v in values if v == v]
    if not good:
        print(f"  {name}: not heard")
        return
    print(f"  {name}: median {statistics.median(good):.1f} ms "
          f"({min(good):.1f}..{max(good):.1f}, {len(good)} of {len(values)} {what})")


def starts(binary, desktop, delay, launches):
    """First Starts `delay` s after the window appeared, each after 300 ms
    of pointer travel; then two later Starts in each launch."""
    first, later = [], []
    for _ in range(launches):
        sound = Timed(delay + 9)
        program = d.Program(binary, desktop)
        window = program.wait_shown()
        shown = time.monotonic()
        desktop.focus(window)
        time.sleep(max(shown + delay - 0.3 - time.monotonic(), 0))
        travel(desktop, window, BSTART)
        clicks = [click(desktop)]
        for _ in range(2):
            time.sleep(1.5)
            travel(desktop, window, BSTART, 100, (desktop.geometry(window)[0] + BSTART[0] + 30,
                                                 desktop.geometry(window)[1] + BSTART[1] + 30))
            click(desktop)  # Stop
            time.sleep(1.2)
            travel(desktop, window, BSTART)
            clicks.append(click(desktop))
        time.sleep(1.5)
        program.close()
        program.kill()
        sound.finish()
        found = [sound.ms_after(c, sound.first_sound_after(c)) for c in clicks]
        first.append(found[0])
        later.extend(found[1:])
    return first, later


def enter_start(binary, desktop, launches):
    """Start with Enter 5 s after the window appeared, the pointer still."""
    found = []
    for _ in range(launches):
        sound = Timed(8)
        program = d.Program(binary, desktop)
        window = program.wait_shown()
        move(desktop, *OUTSIDE)
        desktop.focus(window)
        time.sleep(5)
        pressed = key(desktop, "Return")
        time.sleep(1.5)
        program.close()
        program.kill()
        sound.finish()
        found.append(sound.ms_after(pressed, sound.first_sound_after(pressed)))
    return found


def changes(binary, desktop, audio_dir, count):
    """Keys and clicks after quiet, clicks while changing, and stalls."""
    spread = random.Random(1)
    quiet = lambda: time.sleep(5 + spread.uniform(0, 0.25))  # noqa: E731
    sound = Timed(2 * count * 5.6 + 2 * count * 1.3 + 20)
    program = d.Program(binary, desktop)
    window = program.wait_shown()
    desktop.focus(window)
    desktop.click(window, *BASE_EDIT)
    desktop.keys("ctrl+a")
    desktop.type("600")
    desktop.keys("Return")  # Start; the focus stays in the base edit
    move(desktop, *OUTSIDE)
    keys, clicks, busy, stalls = [], [], [], []
    for k in range(count):
        quiet()
        keys.append(key(desktop, "BackSpace" if k % 2 == 0 else "0"))
    for _ in range(count):
        quiet()
        travel(desktop, window, RND, 300, OUTSIDE)
        clicks.append(click(desktop))
        move(desktop, *OUTSIDE)
    time.sleep(1.5)
    travel(desktop, window, RND, 300, OUTSIDE)
    for _ in range(2 * count):
        busy.append(click(desktop))
        # The pointer keeps moving; the next click a little over a second
        # later, so that the second before it holds one loop only.
        wx, wy, _, _ = desktop.geometry(window)
        for _ in range(120):
            move(desktop, wx + RND[0] + spread.randint(-3, 3), wy + RND[1] + spread.randint(-2, 2))
            time.sleep(0.01)
    with open(os.path.join(audio_dir, "pids")) as f:
        pids = [int(p) for p in f.read().split()]
    for stall in (0.25, 0.6):
        time.sleep(2)
        stopped = now()
        for pid in pids:
            os.kill(pid, signal.SIGSTOP)
        click(desktop)
        time.sleep(0.1)
        click(desktop)
        time.sleep(max(stall - (now() - stopped) / 1e9, 0))
        for pid in pids:
            os.kill(pid, signal.SIGCONT)
        stalls.append((stall, stopped))
    time.sleep(2)
    program.close()
    program.kill()
    sound.finish()

    line("a key after 5 s of quiet, the pointer elsewhere",
         [sound.ms_after(t, sound.first_change_after(t)) for t in keys], "keys")
    # A change not heard within a second is a click the program did not get
    # (now and then Xvfb's window manager takes one); it counts as not heard.
    line("a click on the random base after 5 s of quiet and 300 ms of pointer travel",
         [sound.ms_after(t, sound.first_change_after(t), 1000) for t in clicks], "clicks")
    line("clicks while changing (the pointer moving on, a click every 1.2 s)",
         [sound.ms_after(t, sound.first_change_after(t), 1000) for t in busy], "clicks")
    for stall, stopped in stalls:
        start = sound.frame_at(stopped - 500_000_000)
        end = sound.frame_at(stopped + int(stall * 1e9) + 1_500_000_000)
        part = sound.frames[start:end]
        if len(part) < d.RATE or start < d.RATE or len(sound.frames) < end + d.RATE // 4:
            print(f"  the server stopped for {stall} s: not recorded")
            continue
        silent = (part == 128).all(axis=1)
        longest = run = 0
        for quiet_frame in silent:
            run = run + 1 if quiet_frame else 0
            longest = max(longest, run)
        # The tones' own: the one before the stall and the one the last
        # click left (the program closes half a second later).
        own = max(numpy.abs(numpy.diff(sound.frames[start - d.RATE:start], axis=0)).max(),
                  numpy.abs(numpy.diff(sound.frames[end:end + d.RATE // 4], axis=0)).max())
        step = numpy.abs(numpy.diff(part, axis=0)).max()
        print(f"  the server stopped for {stall} s while the user clicked twice: longest silence "
              f"{1000 * longest / d.RATE:.1f} ms, largest step {step} where the tones' own is {own}")


def main():
    global RECORDER
    binary, RECORDER = sys.argv[1], sys.argv[2]
    launches = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    audio_dir = os.environ["QUAVIRA_AUDIO_DIR"]
    desktop = d.Display()
    try:
        print("What the listener does, whole program, X input included:")
        for delay in (0.5, 5):
            first, later = starts(binary, desktop, delay, launches)
            line(f"first Start after launch, clicked {delay} s after the window appeared", first)
            if delay == 5:
                line("later Starts, each after a Stop", later, "Starts")
        line("Start with Enter 5 s after the window appeared, the pointer still",
             enter_start(binary, desktop, launches))
        changes(binary, desktop, audio_dir, launches)
    finally:
        desktop.close()


if __name__ == "__main__":
    main()
