#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""The program as a screen reader sees it: through AT-SPI, on a private
session bus, driven by X key presses on a private display.

Usage: python3 -W ignore::DeprecationWarning accessibility_test.py <quavira> [test names]
(pyatspi itself calls what libatspi has deprecated)

Starts a session bus of its own (dbus-daemon), asks it for the
accessibility bus (which at-spi-bus-launcher starts, and on it the
registry), runs the program on the display with the accessibility bridge
on, and reads its tree with pyatspi as Orca does. The display is the CTest
fixture's (QUAVIRA_TEST_DISPLAY_STATE) when it runs, else Xvfb with openbox
started here; the sound goes to the test audio server (QUAVIRA_TEST_SINK).
Exits 77 (skipped) when any of these is missing: scripts/setup installs
them.
"""
import importlib.util
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import desktop as d

BINARY = None
DESKTOP = None
BUS = None
FOCUSED = []  # what took the focus, in order
ANNOUNCED = []  # the names of the notifications shown, as Orca would speak them
pyatspi = None  # imported once the buses are known, as libatspi reads them at its start

LAUNCHER = "/usr/libexec/at-spi-bus-launcher"
REGISTRY = "/usr/libexec/at-spi2-registryd"
TIMEOUT = 30.0  # generous: the machine may be loaded; nothing here is timed

# The roles a listener moves through and acts on; containers, fillers and
# separators carry no name of their own.
CONTROL_ROLES = (
    "check box", "check menu item", "combo box", "entry", "image", "label", "link", "list item", "menu",
    "menu item", "page tab", "password text", "push button", "radio button", "radio menu item", "slider",
    "spin button", "table cell", "text", "toggle button", "tool bar", "tree item",
)


class SessionBus:
    """A session bus of our own and the accessibility bus it starts."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="quavira-a11y-")
        read_fd, write_fd = os.pipe()
        # Without DISPLAY, so the bus launcher leaves the shared display's
        # root window alone; everyone is given the bus address instead.
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "AT_SPI_BUS_ADDRESS")}
        self.pids = []
        env.update(XDG_RUNTIME_DIR=self.root, HOME=self.root)
        self.daemon = subprocess.Popen(
            ["dbus-daemon", "--session", "--nofork", "--nopidfile", f"--print-address={write_fd}",
             f"--address=unix:dir={self.root}"],
            pass_fds=(write_fd,), env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL, start_new_session=True)
        os.close(write_fd)
        with os.fdopen(read_fd) as pipe:
            self.address = pipe.readline().strip()
        if not self.address:
            self.close()
            raise RuntimeError("dbus-daemon did not start")
        self.a11y_address = d.wait_for(self.ask_a11y_address, TIMEOUT, 0.2)
        if not self.a11y_address:
            self.close()
            raise RuntimeError("the session bus started no accessibility bus")

    @staticmethod
    def call(bus, *args):
        out = subprocess.run(["dbus-send", "--bus=" + bus, "--print-reply=literal", *args],
                             capture_output=True, text=True, timeout=TIMEOUT)
        return out.stdout.strip() if out.returncode == 0 else None

    def ask_a11y_address(self):
        address = self.call(self.address, "--dest=org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus.GetAddress")
        if address:
            self.pids.append(self.pid_of(self.address, "org.a11y.Bus"))
        return address

    def pid_of(self, bus, name):
        reply = self.call(bus, "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                          "org.freedesktop.DBus.GetConnectionUnixProcessID", "string:" + name)
        return int(reply.split()[-1]) if reply else None

    def note_registry(self):
        """The registry, started on the accessibility bus when first asked for."""
        self.pids.append(self.pid_of(self.a11y_address, "org.a11y.atspi.Registry"))

    def env(self):
        """Qt and libatspi find the accessibility bus through the session
        bus, as on a desktop (Qt 6.4 given AT_SPI_BUS_ADDRESS never
        registers with the registry)."""
        return {"DBUS_SESSION_BUS_ADDRESS": self.address}

    def close(self):
        # The bus launcher (which takes its own bus along) and the registry
        # leave the daemon's session when the daemon starts them.
        for pid in [self.daemon.pid, *filter(None, self.pids)]:
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        self.daemon.wait(10)
        shutil.rmtree(self.root, ignore_errors=True)


def pump(seconds=0.0):
    """Lets libatspi take in what the buses sent, for about `seconds`."""
    from gi.repository import GLib
    context = GLib.MainContext.default()
    end = time.monotonic() + seconds
    while True:
        while context.iteration(False):
            pass
        if time.monotonic() >= end:
            return
        time.sleep(0.02)


def wait_until(predicate, timeout=TIMEOUT):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        pump()
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    pump()
    return predicate()


def walk(node, visible_only=False):
    """`node` and everything under it; with `visible_only`, not what lies
    inside something hidden (Qt calls the rows of a hidden list visible),
    nor the cells of a table or tree (named by what they show; Qt 6.4
    warns on stderr when asked for those of an empty one)."""
    if visible_only and not states(node).contains(pyatspi.STATE_VISIBLE):
        return
    yield node
    if visible_only and node.getRoleName() in ("table", "tree", "tree table"):
        return
    for i in range(node.childCount):
        child = node.getChildAtIndex(i)
        if child is not None:
            yield from walk(child, visible_only)


def states(node):
    return node.getState()


def reachable(node):
    """On screen, focusable or able to act: what a listener can get to."""
    s = states(node)
    if s.contains(pyatspi.STATE_SHOWING) or s.contains(pyatspi.STATE_FOCUSABLE):
        return True
    try:
        return node.queryAction().nActions > 0
    except NotImplementedError:
        return False


def unnamed(root):
    """Path-like descriptions of the reachable controls under `root` that have no name."""
    found = []
    for node in walk(root, visible_only=True):
        role = node.getRoleName()
        if role in CONTROL_ROLES and reachable(node) and not node.name.strip():
            found.append(f"{role} in {node.parent.getRoleName() if node.parent else '?'} "
                         f"{node.parent.name if node.parent else ''!r}")
    return found


def named(root, name, role=None):
    for node in walk(root, visible_only=True):
        if node.name == name and (role is None or node.getRoleName() == role):
            return node
    return None


class Program:
    """The program with its accessibility bridge on, and its application in the tree."""

    def __init__(self):
        self.process = d.Program(BINARY, DESKTOP, extra_env={**BUS.env(), "QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1"})
        try:
            self.window = self.process.wait_shown()
            self.app = wait_until(self.find_app)
            if not self.app:
                raise AssertionError("the program's window is not in the accessibility tree")
        except BaseException:
            self.process.kill()
            raise
        self.frame = named(self.app, d.TITLE, "frame")

    def find_app(self):
        desktop = pyatspi.Registry.getDesktop(0)
        for i in range(desktop.childCount):
            app = desktop.getChildAtIndex(i)
            try:
                if app is not None and app.get_process_id() == self.process.process.pid:
                    return app if named(app, d.TITLE) else None
            except Exception:  # an application that went away meanwhile
                continue
        return None

    def close(self):
        code, errors = self.process.close()
        self.process.kill()
        return code, errors


class ScreenReader(unittest.TestCase):
    """What Orca would read and hear, and that the keys reach everything."""

    @classmethod
    def setUpClass(cls):
        cls.program = Program()
        cls.frame = cls.program.frame
        DESKTOP.focus(cls.program.window)

    @classmethod
    def tearDownClass(cls):
        code, errors = cls.program.close()
        if code != 0 or [line for line in errors.splitlines() if line]:
            raise AssertionError(f"the program ended with {code}: {errors}")

    def control(self, name, role):
        node = named(self.frame, name, role)
        self.assertIsNotNone(node, f"no {role} named {name!r}")
        return node

    def focused(self):
        return next((n for n in walk(self.frame, visible_only=True) if states(n).contains(pyatspi.STATE_FOCUSED)),
                    None)

    def tab_to(self, name):
        """Presses Tab until `name` has the focus, at most once per stop."""
        node = wait_until(self.focused)
        for _ in range(12):
            if node is not None and node.name == name:
                return node
            DESKTOP.keys("Tab")
            before = node
            node = wait_until(lambda: (lambda now: now if now is not None and now != before else None)(
                self.focused()))
        self.fail(f"Tab does not reach {name!r}")

    def test_1_every_reachable_control_has_a_name(self):
        self.assertEqual(unnamed(self.frame), [])
        # The names a listener understands, not the text the eye sees.
        for name, role in (("Base frequency, hertz", "text"), ("Offset, hertz", "slider"),
                           ("Raise offset", "push button"), ("Lower offset", "push button"),
                           ("Random base", "link"), ("Start", "push button")):
            self.control(name, role)
        for glyph in ("5", "6", "RND"):  # the arrows' symbol-font letters, the links' caption
            for role in ("push button", "link"):
                self.assertIsNone(named(self.frame, glyph, role), f"a {role} reads as {glyph!r}")

    def test_2_the_band_is_in_words_and_a_new_band_is_announced(self):
        slider = self.tab_to("Offset, hertz")
        DESKTOP.keys("Home")
        self.assertTrue(wait_until(lambda: self.frame.description == "No beat"), self.frame.description)
        self.assertEqual(slider.description, "No beat")
        # Qt sends an event before it answers the question after it, so
        # what the key made is in by now.
        pump()
        ANNOUNCED.clear()
        for offset, words, band in (
                (1, "Delta, 1 Hz beat", "Delta band"), (5, "Theta, 5 Hz beat", "Theta band"),
                (9, "Alpha, 9 Hz beat", "Alpha band"), (14, None, "Alpha band")):
            DESKTOP.keys(*["Right"] * int(offset - slider.queryValue().currentValue))
            self.assertTrue(wait_until(lambda: slider.queryValue().currentValue == offset))
            described = words or f"{band.split()[0]}, {offset} Hz beat"
            self.assertTrue(wait_until(lambda: self.frame.description == described), self.frame.description)
            self.assertEqual(slider.description, band)
            pump()
            # Said once on a new band, wherever the focus is; nothing within one.
            self.assertEqual(ANNOUNCED, [words] if words else [], f"at {offset} Hz")
            ANNOUNCED.clear()
        # The arrow moves the offset too, and the focus stays on the slider.
        self.control("Raise offset", "push button").queryAction().doAction(0)
        self.assertTrue(wait_until(lambda: self.frame.description == "Beta, 15 Hz beat"), self.frame.description)
        pump()
        self.assertEqual(ANNOUNCED, ["Beta, 15 Hz beat"])

    def test_3_keys_reach_base_start_and_the_menu_with_its_sleep_timer_noise_and_save(self):
        edit = self.tab_to("Base frequency, hertz")
        DESKTOP.keys("ctrl+a")
        DESKTOP.type("440")
        self.assertTrue(wait_until(lambda: edit.queryText().getText(0, -1) == "440"))
        self.tab_to("Start")
        DESKTOP.keys("space")
        self.assertTrue(wait_until(lambda: named(self.frame, "Stop", "push button")))
        DESKTOP.keys("space")
        self.assertTrue(wait_until(lambda: named(self.frame, "Start", "push button")))

        # A menu is no child of the application in Qt's tree: Orca, and
        # this test, find it through the item that takes the focus.
        DESKTOP.keys("shift+F10", "Down")
        item = self.focus_moves_to(lambda n: n.getRoleName() == "menu item")
        self.assertIsNotNone(item, "Shift+F10 opens no menu the arrow keys move in")
        self.assertEqual(item.name, "Stop after")
        menu = item.parent
        self.assertTrue(named(menu, "Save as audio file...", "menu item"))
        self.assertEqual(unnamed(menu), [])
        DESKTOP.keys("Right")  # into the sleep timer's choices
        choice = self.focus_moves_to(lambda n: n.name == "Off")
        self.assertIsNotNone(choice, "Right opens no sleep timer")
        self.assertTrue(named(choice.parent, "30 minutes"))
        self.assertEqual(unnamed(choice.parent), [])
        DESKTOP.keys("Escape", "Down", "Right")  # back out, down to the noise, into its choices
        colour = self.focus_moves_to(lambda n: n.name == "Off" and named(n.parent, "Pink") is not None)
        self.assertIsNotNone(colour, "Down, Right open no Noise")
        self.assertTrue(named(colour.parent, "Medium, -28 dB"))
        self.assertEqual(unnamed(colour.parent), [])
        DESKTOP.keys("Escape", "Escape")
        self.assertTrue(self.focus_moves_to(lambda n: n.name == "Start"))

        DESKTOP.keys("Menu", "Up")  # the menu key, then the last line: saving
        self.assertTrue(self.focus_moves_to(lambda n: n.name == "Save as audio file..."))
        DESKTOP.keys("Return")
        dialog = wait_until(lambda: next((w for w in self.windows() if w.getRoleName() == "dialog"), None))
        self.assertIsNotNone(dialog, "the save dialog does not open")
        self.assertTrue(wait_until(lambda: named(dialog, "Length:", "spin button")))
        self.assertEqual(unnamed(dialog), [])
        DESKTOP.keys("Escape")
        self.assertTrue(wait_until(lambda: [w.getRoleName() for w in self.windows()] == ["frame"]))

    def focus_moves_to(self, predicate):
        """The object the focus went to last, once it is one that `predicate` accepts."""
        return wait_until(lambda: FOCUSED and predicate(FOCUSED[-1]) and FOCUSED[-1])

    def windows(self):
        app = self.program.app
        children = [app.getChildAtIndex(i) for i in range(app.childCount)]
        return [w for w in children if w is not None and states(w).contains(pyatspi.STATE_VISIBLE)]


def note_focus(event):
    if event.detail1 and event.source is not None:
        FOCUSED.append(event.source)


def note_announcement(event):
    if event.detail1 and event.source is not None and event.source.getRoleName() == "notification":
        ANNOUNCED.append(event.source.name)


def missing():
    absent = [tool for tool in ("Xvfb", "openbox", "xdotool", "dbus-daemon", "dbus-send") if not shutil.which(tool)]
    absent += [path for path in (LAUNCHER, REGISTRY) if not os.path.exists(path)]
    if importlib.util.find_spec("pyatspi") is None:
        absent.append("python3-pyatspi")
    if not os.environ.get("QUAVIRA_TEST_SINK"):
        absent.append("the test audio server (QUAVIRA_TEST_SINK)")
    return absent


def main():
    global BINARY, DESKTOP, BUS, pyatspi
    BINARY, args = os.path.abspath(sys.argv[1]), sys.argv[2:]
    absent = missing()
    if absent:
        print("SKIPPED: not available: " + ", ".join(absent)
              + " (scripts/setup installs the tools; CTest starts the display and the sound server)")
        return 77
    BUS = SessionBus()
    DESKTOP, own = d.fixture_display()
    try:
        os.environ.pop("AT_SPI_BUS_ADDRESS", None)
        os.environ.update(BUS.env())
        import pyatspi as atspi
        pyatspi = atspi
        # Before the program starts, which reads the listeners once at its start.
        pyatspi.Registry.registerEventListener(note_announcement, "object:state-changed:showing")
        pyatspi.Registry.registerEventListener(note_focus, "object:state-changed:focused")
        BUS.note_registry()
        result = unittest.main(argv=[sys.argv[0], *args], verbosity=2, exit=False).result
    finally:
        if own:
            DESKTOP.close()
        BUS.close()
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
