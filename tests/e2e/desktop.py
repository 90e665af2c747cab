# SPDX-License-Identifier: GPL-3.0-or-later
"""A private X display with a window manager, the real Quavira program on
it, real X input, and a recording of the test sink's monitor.

Everything here acts from outside the program, as a user and a listener
would: X events through XTEST (xdotool), pixels read back from the X server,
message-box texts copied with Ctrl+C, sound recorded with parec.
"""
import json
import os
import signal
import subprocess
import tempfile
import time

import numpy
from Xlib import X, display as xdisplay, protocol

TITLE = "Quavira - Free Binaural Beats Generator"
RATE = 44100
# cos at freq * 3.1416 / pi cycles per second: a tone runs 2.34 ppm sharp.
SHARP = 3.1416 / numpy.pi


def wait_for(predicate, timeout, interval=0.01):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(interval)
    return predicate()


class Display:
    """Xvfb on a free display number with Debian's openbox as its window
    manager, so windows get a real frame; or, through attach(), a display
    that is already running (the CTest fixture's)."""

    def __init__(self, detached=False):
        """`detached`: the servers run in a session of their own and outlive
        this process (the fixture stops them by pid)."""
        read_fd, write_fd = os.pipe()
        self.server = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=(write_fd,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            start_new_session=detached)
        os.close(write_fd)
        with os.fdopen(read_fd) as pipe:
            number = pipe.readline().strip()
        if not number:
            raise RuntimeError("Xvfb did not start")
        self.name = ":" + number
        self.x = xdisplay.Display(self.name)
        self.window_manager = subprocess.Popen(
            ["openbox"], env={**os.environ, "DISPLAY": self.name}, stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=detached)
        if not wait_for(self.window_manager_running, 10):
            self.close()
            raise RuntimeError("openbox did not start on " + self.name)

    @classmethod
    def attach(cls, name):
        display = cls.__new__(cls)
        display.server = display.window_manager = None
        display.name = name
        display.x = xdisplay.Display(name)
        return display

    def window_manager_running(self):
        check = self.x.intern_atom("_NET_SUPPORTING_WM_CHECK")
        return self.x.screen().root.get_full_property(check, X.AnyPropertyType) is not None

    def close(self):
        self.x.close()
        for process in (self.window_manager, self.server):
            if process:
                process.terminate()
                process.wait(10)

    def env(self):
        return {"DISPLAY": self.name}

    def xdotool(self, *args):
        out = subprocess.run(["xdotool", *map(str, args)], env={**os.environ, **self.env()},
                             capture_output=True, text=True, timeout=20)
        return out.stdout.strip()

    def windows_named(self, name):
        """Mapped windows whose title is exactly `name`, at any depth (a
        window manager puts each client inside a frame window of its own)."""
        found = []
        pending = list(self.x.screen().root.query_tree().children)
        while pending:
            window = pending.pop()
            try:
                if window.get_attributes().map_state != X.IsViewable:
                    continue
                pending.extend(window.query_tree().children)
                title = window.get_full_text_property(self.x.intern_atom("_NET_WM_NAME"))
                if title is None:
                    title = window.get_wm_name()
            except Exception:  # the window went away meanwhile
                continue
            if title == name:
                found.append(window)
        return found

    def popups(self):
        """Mapped windows the window manager does not frame (menus, tooltips),
        as (x, y, width, height)."""
        found = []
        for window in self.x.screen().root.query_tree().children:
            try:
                attributes = window.get_attributes()
                if attributes.map_state == X.IsViewable and attributes.override_redirect:
                    g = window.get_geometry()
                    found.append((g.x, g.y, g.width, g.height))
            except Exception:  # the window went away meanwhile
                continue
        return found

    def wait_window(self, name, timeout=20.0):
        windows = wait_for(lambda: self.windows_named(name), timeout)
        if not windows:
            raise AssertionError(f"no window titled {name!r} within {timeout} s")
        return windows[0]

    def geometry(self, window):
        g = window.get_geometry()
        origin = window.translate_coords(self.x.screen().root, 0, 0)
        return -origin.x, -origin.y, g.width, g.height

    def frame(self, window):
        """The frame the window manager put around the window: its ancestor
        that is a child of the root."""
        root = self.x.screen().root
        frame = window
        while (parent := frame.query_tree().parent).id != root.id:
            frame = parent
        return frame

    def frame_geometry(self, window):
        """x, y, width and height of the window with its frame."""
        g = self.frame(window).get_geometry()
        return g.x, g.y, g.width + 2 * g.border_width, g.height + 2 * g.border_width

    def caption_width(self, window):
        """How wide the caption is that openbox drew in the window's title bar,
        in pixels: the columns of its label that differ from the title bar's
        own background. Openbox draws the title bar as a window holding one
        window for each button and the icon, and the widest, the label, for
        the caption; the caption, when cut, ends in an ellipsis."""
        def mapped(parent):
            return [w for w in parent.query_tree().children if w.get_attributes().map_state == X.IsViewable]

        title = max(mapped(self.frame(window)), key=lambda w: len(mapped(w)))
        bar = title.get_geometry()
        # Those across the middle of the bar: not the resize grips along its top.
        parts = [g for g in (w.get_geometry() for w in mapped(title)) if g.y <= bar.height // 2 < g.y + g.height]
        label = max(parts, key=lambda g: g.width)
        image = numpy.frombuffer(title.get_image(0, 0, bar.width, bar.height, X.ZPixmap, 0xFFFFFFFF).data,
                                 dtype=numpy.uint8).reshape(bar.height, bar.width, 4)[:, :, :3].astype(int)
        # The title bar's background nearest to the label, in none of its parts.
        free = [x for x in range(label.x - 1, 0, -1) if not any(g.x <= x < g.x + g.width for g in parts)]
        if not free:
            raise AssertionError("no background beside the caption in the title bar")
        rows = slice(label.y, label.y + label.height)
        background = image[rows, free[0]:free[0] + 1]
        differs = (numpy.abs(image[rows, label.x:label.x + label.width] - background).max(axis=2) > 40).any(axis=0)
        columns = numpy.nonzero(differs)[0]
        return int(columns[-1] - columns[0] + 1) if len(columns) else 0

    def whole_caption_width(self, title):
        """caption_width() of a window 600 pixels wide titled `title`, which
        has room for the whole caption."""
        screen = self.x.screen()
        window = screen.root.create_window(0, 0, 600, 100, 0, screen.root_depth,
                                           background_pixel=screen.white_pixel)
        window.set_wm_name(title)
        window.change_property(self.x.intern_atom("_NET_WM_NAME"), self.x.intern_atom("UTF8_STRING"), 8,
                               title.encode())
        try:
            def framed():
                return (window.query_tree().parent.id != screen.root.id
                        and window.get_attributes().map_state == X.IsViewable)
            # A window manager still starting up drops the request to map.
            for _ in range(20):
                window.map()
                self.x.sync()
                if wait_for(framed, 1):
                    break
                window.unmap()
            else:
                raise AssertionError("the window manager framed no window")
            time.sleep(0.3)  # painted
            return self.caption_width(window)
        finally:
            window.destroy()
            self.x.sync()

    def screen_size(self):
        g = self.x.screen().root.get_geometry()
        return g.width, g.height

    def pixel(self, window, x, y):
        """#RRGGBB of the pixel at (x, y) of the window's client area."""
        raw = window.get_image(x, y, 1, 1, X.ZPixmap, 0xFFFFFFFF).data
        return "#%02X%02X%02X" % (raw[2], raw[1], raw[0])

    def focus(self, window):
        window.set_input_focus(X.RevertToParent, X.CurrentTime)
        self.x.sync()

    def click(self, window, x, y, button=1):
        self.xdotool("mousemove", "--window", window.id, x, y, "click", button)

    def keys(self, *names):
        self.xdotool("key", "--delay", 30, *names)

    def type(self, text):
        self.xdotool("type", "--delay", 30, text)

    def close_window(self, window):
        """What the title bar's Close does: WM_DELETE_WINDOW."""
        protocols = self.x.intern_atom("WM_PROTOCOLS")
        delete = self.x.intern_atom("WM_DELETE_WINDOW")
        event = protocol.event.ClientMessage(window=window, client_type=protocols,
                                             data=(32, [delete, X.CurrentTime, 0, 0, 0]))
        window.send_event(event)
        self.x.flush()

    def label_text(self, window):
        """The text of the one-line label in the upper half of a message box:
        triple-clicked on its first dark pixel, which selects the line, and
        read back from the PRIMARY selection."""
        _, _, width, height = self.geometry(window)
        image = window.get_image(0, 0, width, height // 2, X.ZPixmap, 0xFFFFFFFF).data
        dark = [(i // 4 % width, i // 4 // width) for i in range(0, len(image), 4)
                if max(image[i], image[i + 1], image[i + 2]) < 80]
        if not dark:
            return ""
        x = min(p[0] for p in dark)
        rows = [p[1] for p in dark]
        self.xdotool("mousemove", "--window", window.id, x + 1, (min(rows) + max(rows)) // 2,
                     "click", "--repeat", 3, "--delay", 80, 1)
        time.sleep(0.2)
        out = subprocess.run(["xclip", "-o", "-selection", "primary"], env={**os.environ, **self.env()},
                             capture_output=True, text=True, timeout=10)
        return out.stdout


def fixture_display():
    """The CTest fixture's display (QUAVIRA_TEST_DISPLAY_STATE) when it runs,
    else one of our own; and whether it is our own, to close."""
    try:
        with open(os.environ["QUAVIRA_TEST_DISPLAY_STATE"]) as f:
            return Display.attach(json.load(f)["display"]), False
    except Exception:  # no fixture, or its display is gone
        return Display(), True


class Recording:
    """The monitor of the test sink, recorded for the whole session, so the
    sink renders in small blocks and any moment can be looked at later."""

    def __init__(self, sink):
        self.file = tempfile.NamedTemporaryFile(prefix="quavira-e2e-", suffix=".u8")
        self.parec = subprocess.Popen(
            ["parec", "-d", sink + ".monitor", "--format=u8", "--rate=44100", "--channels=2",
             "--latency-msec=10", "--raw"], stdout=self.file, stderr=subprocess.DEVNULL)
        if not wait_for(lambda: self.frames() > RATE // 10, 10):
            raise RuntimeError("the monitor of the test sink records nothing")

    def close(self):
        self.parec.send_signal(signal.SIGINT)
        try:
            self.parec.wait(5)
        except subprocess.TimeoutExpired:
            self.parec.kill()
        self.file.close()

    def frames(self):
        return os.path.getsize(self.file.name) // 2

    def now(self):
        return self.frames()

    def take(self, seconds, settle=0.25):
        """Waits `settle` seconds for what was just done to reach the monitor,
        then returns the next `seconds` of sound as (left, right) arrays."""
        time.sleep(settle)
        start = self.frames()
        end = start + int(seconds * RATE)
        wait_for(lambda: self.frames() >= end, seconds + 5)
        return self.between(start, end)

    def between(self, start, end):
        with open(self.file.name, "rb") as f:
            f.seek(2 * start)
            data = numpy.frombuffer(f.read(2 * (end - start)), dtype=numpy.uint8)
        return data[0::2].astype(float), data[1::2].astype(float)


def frequency(samples):
    """The dominant frequency of a tone, to about 0.05 Hz."""
    centred = samples - samples.mean()
    if numpy.ptp(samples) <= 2:
        return 0.0
    windowed = centred * numpy.hanning(len(centred))
    size = 1 << 20
    spectrum = numpy.abs(numpy.fft.rfft(windowed, size))
    k = int(numpy.argmax(spectrum[1:])) + 1
    a, b, c = numpy.log(spectrum[k - 1:k + 2] + 1e-12)
    shift = 0.5 * (a - c) / (a - 2 * b + c)
    return (k + shift) * RATE / size


def is_silent(samples):
    return numpy.ptp(samples) <= 2


class Program:
    """The installed quavira binary on the display."""

    def __init__(self, binary, desktop, extra_env=None, args=()):
        self.desktop = desktop
        env = {**os.environ, **desktop.env()}
        env.pop("QT_QPA_PLATFORM", None)
        env.update(extra_env or {})
        self.started = time.monotonic()
        self.process = subprocess.Popen([binary, *args], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        text=True)
        self.window = None

    def wait_shown(self, timeout=20.0):
        windows = wait_for(lambda: self.process.poll() is not None or self.desktop.windows_named(TITLE), timeout)
        if self.process.poll() is not None:
            raise AssertionError(f"the program ended with {self.process.returncode} before its window showed: "
                                 + self.process.stderr.read())
        if not windows:
            raise AssertionError(f"no window titled {TITLE!r} within {timeout} s")
        self.window = windows[0]
        return self.window

    def close(self, timeout=10.0):
        """Closes the front window; returns (exit code, stderr)."""
        self.desktop.close_window(self.window)
        try:
            code = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            code = None
        return code, self.process.stderr.read()

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait(10)
        self.process.stdout.close()
        self.process.stderr.close()
