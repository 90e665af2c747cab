#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""The installed program on a real X display with a window manager, driven
by real X input, heard through the test sink's monitor.

Usage: whole_program_test.py <build dir> [test names]
       whole_program_test.py --binary <quavira> [test names]
The first installs the build into a temporary prefix, the second runs the
given binary. The display is the CTest fixture's (QUAVIRA_TEST_DISPLAY_STATE)
when it runs, else Xvfb with openbox started here. The scenarios that play
need the test audio server (QUAVIRA_TEST_SINK and its client environment)
and are skipped without it. Exits 77 when anything was skipped and nothing
failed, so that CTest reports the test as skipped, not passed.
"""
import math
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import numpy

import desktop as d

BUILD_DIR = None
BINARY = None
DESKTOP = None
SINK = os.environ.get("QUAVIRA_TEST_SINK")
NO_SINK = "no test audio server (QUAVIRA_TEST_SINK is not set)"

# Client-area points of the controls the user works with.
BASE_EDIT = (14 + 248 + 24, 11 + 57 + 11)
FUP = (14 + 552 + 15, 11 + 80 + 6)
FDOWN = (14 + 552 + 15, 11 + 102 + 24)
MARGIN = (3, 200)  # window background, outside the three white boxes
BASE_FIELD = (14 + 248 + 46, 11 + 57 + 2)  # the base edit's own background, right of its text
MESSAGE_TITLE = "Quavira 2025"
BAND_COLOURS = ("#00C6C6", "#C0C0C0", "#FF00FF", "#00FFFF", "#00FF00", "#FF8000")


def install():
    prefix = tempfile.mkdtemp(prefix="quavira-install-")
    subprocess.run(["cmake", "--install", BUILD_DIR, "--prefix", prefix], check=True, stdout=subprocess.DEVNULL)
    return prefix, os.path.join(prefix, "bin", "quavira")


def assert_centred(desktop, window, scale=1.0):
    """The window with its frame ends up centred on the screen (it moves once
    its frame is known), and it has a frame: the window manager is there,
    otherwise this would prove nothing. At a scale above 1 Qt places a
    window in whole device-independent pixels, so its centre may be up to
    one of those off, not one screen pixel."""
    screen_width, screen_height = desktop.screen_size()
    slack = 2 * math.ceil(scale)  # twice the centre's distance

    def frame_and_offset():
        x, y, width, height = desktop.frame_geometry(window)
        return (x, y, width, height), max(abs(2 * x + width - screen_width), abs(2 * y + height - screen_height))

    d.wait_for(lambda: frame_and_offset()[1] <= slack, 5)
    (x, y, width, height), offset = frame_and_offset()
    if (width, height) == tuple(desktop.geometry(window)[2:]):
        raise AssertionError("the window has no frame: no window manager runs")
    if offset > slack:
        raise AssertionError(f"frame {width} x {height} at {x}, {y} is not centred on "
                             f"the {screen_width} x {screen_height} screen")


def no_sound_environment(root):
    """The environment of a program that finds no audio server, in the
    empty directory `root`."""
    with open(os.path.join(root, ".asoundrc"), "w") as f:
        f.write("pcm.!default { type pulse }\nctl.!default { type pulse }\n")
    return {"HOME": root, "XDG_RUNTIME_DIR": root, "PULSE_SERVER": "unix:" + os.path.join(root, "none")}


def message_text(desktop, timeout=10.0, scale=1.0):
    """Reads the text of the message box on top, checks that the box is
    centred at its final size, closes it with Enter and returns the text."""
    box = desktop.wait_window(MESSAGE_TITLE, timeout)
    time.sleep(0.3)  # painted
    assert_centred(desktop, box, scale)
    text = desktop.label_text(box)
    desktop.focus(box)
    desktop.keys("Return")
    d.wait_for(lambda: not any(w.id == box.id for w in desktop.windows_named(MESSAGE_TITLE)), 5)
    return text


@unittest.skipUnless(SINK, NO_SINK)
class StartUp(unittest.TestCase):
    """The program started with options Qt itself would act on."""

    def test_takes_no_command_line_shows_its_window_centred_and_exits_0(self):
        with tempfile.NamedTemporaryFile("w", suffix=".qss") as sheet:
            sheet.write("* { background: #123456; color: #123456; }\n")
            sheet.flush()
            program = d.Program(BINARY, DESKTOP, args=["-platform", "bogus", "-reverse", "-stylesheet", sheet.name])
            try:
                window = program.wait_shown()
                time.sleep(0.3)  # painted
                self.assertEqual(DESKTOP.geometry(window)[2:], (737, 486))
                # Neither mirrored nor restyled.
                self.assertEqual(DESKTOP.pixel(window, *BASE_FIELD), "#C8FBD7")
                self.assertIn(DESKTOP.pixel(window, *MARGIN), BAND_COLOURS)
                assert_centred(DESKTOP, window)
                code, errors = program.close()
                self.assertEqual(code, 0)
                self.assertEqual([line for line in errors.splitlines() if line], [])
            finally:
                program.kill()

    def test_without_a_session_bus_starts_and_ends_as_before_saying_nothing(self):
        with tempfile.TemporaryDirectory(prefix="quavira-nobus-") as root:
            no_bus = {"DBUS_SESSION_BUS_ADDRESS": "unix:path=" + os.path.join(root, "bus")}
            program = d.Program(BINARY, DESKTOP, no_bus)
            try:
                program.wait_shown()
                self.assertEqual(DESKTOP.windows_named(MESSAGE_TITLE), [])
                code, errors = program.close()
                self.assertEqual(code, 0)
                self.assertEqual([line for line in errors.splitlines() if line], [])
            finally:
                program.kill()


@unittest.skipUnless(SINK, NO_SINK)
class Playing(unittest.TestCase):
    """One run of the program, step by step, as a listener uses it."""

    @classmethod
    def setUpClass(cls):
        cls.desktop = DESKTOP
        cls.sound = d.Recording(SINK)
        cls.program = d.Program(BINARY, cls.desktop)
        cls.window = cls.program.wait_shown()
        cls.desktop.focus(cls.window)
        time.sleep(0.3)

    @classmethod
    def tearDownClass(cls):
        cls.program.kill()
        cls.sound.close()

    def heard(self, left_hz, right_hz):
        # The median of three 0.2-s measurements, so that one dropped block
        # of the recording cannot shift the result.
        left, right = self.sound.take(0.6)
        n = len(left) // 3
        for samples, hz in ((left, left_hz), (right, right_hz)):
            measured = sorted(d.frequency(samples[i * n:(i + 1) * n]) for i in range(3))[1]
            self.assertAlmostEqual(measured, hz * d.SHARP, delta=0.5)

    def silent(self):
        left, right = self.sound.take(0.3)
        self.assertTrue(d.is_silent(left) and d.is_silent(right))

    def background(self):
        return self.desktop.pixel(self.window, *MARGIN)

    def type_base(self, text):
        self.desktop.click(self.window, *BASE_EDIT)
        self.desktop.keys("ctrl+a")
        self.desktop.type(text)

    def press_arrow(self, where, times):
        for _ in range(times):
            self.desktop.click(self.window, *where)

    def test_1_window_title_size_and_silence_at_start(self):
        self.assertEqual(self.desktop.geometry(self.window)[2:], (737, 486))
        assert_centred(self.desktop, self.window)
        self.silent()

    def test_2_base_and_offset_play_left_and_right(self):
        self.type_base("440")
        self.desktop.keys("Tab", "Home")  # the offset slider, to 0
        time.sleep(0.2)
        self.assertEqual(self.background(), "#00C6C6")
        self.press_arrow(FUP, 7)
        time.sleep(0.2)
        self.assertEqual(self.background(), "#FF00FF")  # Theta
        self.desktop.keys("Return")  # bstart, the default button
        self.heard(440, 447)

    def test_3_changes_are_heard_while_playing(self):
        self.press_arrow(FUP, 3)
        self.heard(440, 450)
        self.assertEqual(self.background(), "#00FFFF")  # Alpha at 10
        self.press_arrow(FDOWN, 6)
        self.heard(440, 444)
        self.assertEqual(self.background(), "#C0C0C0")  # Delta at 4
        self.type_base("1990")
        self.desktop.keys("Tab")  # back to the offset slider
        self.desktop.keys("End")  # offset 100: right clamped at 2000
        self.heard(1990, 2000)
        self.assertEqual(self.background(), "#FF8000")  # Gamma
        self.desktop.keys("Left", "Left", "Left", "Left", "Left")  # 95
        self.type_base("600")
        self.heard(600, 695)

    def test_4_stop_silences(self):
        self.desktop.keys("Return")
        self.silent()
        self.desktop.keys("Return")
        self.heard(600, 695)

    def test_5_presets_from_the_keyboard(self):
        # From the base edit: the offset slider, bstart, then the stereo
        # section's StartButton, LFreqEdit, RFreqEdit and ComboBox1.
        self.type_base("600")
        self.desktop.keys("Tab", "Tab", "Tab", "Tab", "Tab", "Tab")
        self.desktop.keys("Home")
        self.heard(852, 859)  # Spiritual Awakening
        self.desktop.keys("Down")
        self.heard(174, 181)  # Lucid Dreaming
        self.desktop.keys("End")
        self.heard(963, 963)  # the last bare number
        self.desktop.keys("Up", "Up", "Up", "Up", "Up", "Up", "Up", "Up", "Up", "Up")
        self.heard(50, 50)  # the empty entry
        # The builder is unchanged: its colour still shows the offset of 95.
        self.assertEqual(self.background(), "#FF8000")

    def test_5a_the_menu_opens_with_the_right_button_shift_f10_and_the_menu_key(self):
        def menu_opened(open_it):
            before = set(self.desktop.popups())
            open_it()
            opened = d.wait_for(lambda: set(self.desktop.popups()) - before, 3)
            if opened:
                self.desktop.keys("Escape")
                d.wait_for(lambda: not set(self.desktop.popups()) - before, 3)
            return bool(opened)

        self.desktop.focus(self.window)
        self.assertTrue(menu_opened(lambda: self.desktop.click(self.window, *MARGIN, button=3)))
        self.type_base("600")  # the focus in the base edit, which has a menu of its own
        self.assertTrue(menu_opened(lambda: self.desktop.keys("shift+F10")))
        self.assertTrue(menu_opened(lambda: self.desktop.keys("Menu")))
        # The arrows keep stepping with the right button, and open no menu.
        self.assertEqual(self.background(), "#FF8000")  # offset 95
        self.assertFalse(menu_opened(lambda: self.press_arrow(FDOWN, 1) or
                                     self.desktop.click(self.window, *FDOWN, button=3)))
        self.heard(600, 693)
        self.press_arrow(FUP, 2)

    def test_6_closing_while_playing_fades_out_and_exits_cleanly(self):
        self.desktop.focus(self.window)
        self.type_base("500")
        self.heard(500, 595)
        before = self.sound.now()
        closing = time.monotonic()
        code, errors = self.program.close()
        ended = time.monotonic() - closing
        self.assertEqual(code, 0)
        self.silent()
        unexpected = [line for line in errors.splitlines() if line and "XDG_RUNTIME_DIR" not in line]
        self.assertEqual(unexpected, [])
        # The tone fades out: from the second before the close to the
        # silence after it, no step larger than the tone's own while steady.
        steady = self.sound.between(before - d.RATE, before)
        closed = self.sound.between(before - d.RATE, self.sound.now())
        for channel in (0, 1):
            own = numpy.abs(numpy.diff(steady[channel])).max()
            self.assertLessEqual(numpy.abs(numpy.diff(closed[channel])).max(), own + 2, f"channel {channel}")
        print(f"closing while playing: the process ended {1000 * ended:.0f} ms after the window was closed")
        self.assertLess(ended, 1.0)


class PulseServer:
    """A private PulseAudio server with one null sink, for a program that
    should lose its sound in the middle of a run."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="quavira-pulse-")
        runtime = os.path.join(self.root, "runtime")
        home = os.path.join(self.root, "home")
        os.makedirs(os.path.join(runtime, "pulse"))
        os.makedirs(home)
        os.chmod(runtime, 0o700)
        with open(os.path.join(home, ".asoundrc"), "w") as f:
            f.write("pcm.!default { type pulse }\nctl.!default { type pulse }\n")
        socket = os.path.join(runtime, "pulse", "native")
        self.env = {"XDG_RUNTIME_DIR": runtime, "HOME": home, "PULSE_SERVER": "unix:" + socket}
        self.process = subprocess.Popen(
            ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--log-target=stderr",
             "--load=module-null-sink sink_name=lost format=u8 rate=44100 channels=2",
             f"--load=module-native-protocol-unix socket={socket} auth-anonymous=1"],
            env={**os.environ, **self.env}, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not d.wait_for(lambda: os.path.exists(socket), 10):
            raise RuntimeError("the private PulseAudio server did not start")
        time.sleep(0.3)

    def kill(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGKILL)
            self.process.wait(10)

    def close(self):
        self.kill()
        shutil.rmtree(self.root, ignore_errors=True)


class WithoutSound(unittest.TestCase):
    """No audio server at all, and one that goes away while playing."""

    def setUp(self):
        self.desktop = DESKTOP

    def responsive(self, window):
        """The window still reacts: one press of the down arrow at offset 1
        gives offset 0 and the designed background colour."""
        self.desktop.focus(window)
        self.desktop.click(window, *BASE_EDIT)
        self.desktop.keys("Tab", "Home", "Right")
        self.assertTrue(d.wait_for(lambda: self.desktop.pixel(window, *MARGIN) == "#C0C0C0", 5))
        self.desktop.click(window, *FDOWN)
        self.assertTrue(d.wait_for(lambda: self.desktop.pixel(window, *MARGIN) == "#00C6C6", 5))

    def test_no_audio_server_shows_both_messages_and_goes_on(self):
        root = tempfile.mkdtemp(prefix="quavira-nosound-")
        try:
            program = d.Program(BINARY, self.desktop, no_sound_environment(root))
            try:
                self.assertEqual(message_text(self.desktop), "Error003")
                self.assertEqual(message_text(self.desktop), "Unable to close!")
                window = program.wait_shown()
                self.assertIsNone(program.process.poll())
                self.desktop.focus(window)
                self.desktop.keys("Return")  # Start on a device that never opened
                self.assertEqual(message_text(self.desktop), "Can't reset!")
                self.responsive(window)
                code, _ = program.close()
                self.assertEqual(code, 0)
            finally:
                program.kill()
        finally:
            shutil.rmtree(root, ignore_errors=True)

    def test_audio_server_killed_while_playing(self):
        server = PulseServer()
        try:
            program = d.Program(BINARY, self.desktop, server.env)
            try:
                window = program.wait_shown()
                self.desktop.focus(window)
                time.sleep(0.3)
                self.desktop.keys("Return")  # Start
                time.sleep(0.5)
                server.kill()
                time.sleep(0.5)
                # Nothing plays without a server, so Stop succeeds: no box,
                # and the caption is "Start" again. The next press is a
                # Start, which says it cannot play; nothing hangs.
                self.desktop.focus(window)
                self.desktop.keys("Return")
                self.assertFalse(d.wait_for(lambda: self.desktop.windows_named(MESSAGE_TITLE), 2))
                self.desktop.focus(window)
                self.desktop.keys("Return")
                self.assertEqual(message_text(self.desktop), "Can't write!")
                self.responsive(window)
                code, _ = program.close()
                self.assertEqual(code, 0)
            finally:
                program.kill()
        finally:
            server.close()


class MessageBoxCaption(unittest.TestCase):
    """The message boxes of a start with no audio server show their caption
    whole in openbox's title bar, at every scale, texts and order unchanged."""

    def test_caption_shows_whole_at_scale_1_1_5_and_2(self):
        whole = DESKTOP.whole_caption_width(MESSAGE_TITLE)
        for scale in ("1", "1.5", "2"):
            with self.subTest(scale=scale), tempfile.TemporaryDirectory(prefix="quavira-nosound-") as root:
                program = d.Program(BINARY, DESKTOP, {**no_sound_environment(root), "QT_SCALE_FACTOR": scale})
                try:
                    for text in ("Error003", "Unable to close!"):
                        box = DESKTOP.wait_window(MESSAGE_TITLE)
                        time.sleep(0.3)  # painted
                        # Active or not, with its text's shadow or without.
                        self.assertGreaterEqual(DESKTOP.caption_width(box), whole - 1,
                                                f"the caption of {text!r} is cut short")
                        self.assertEqual(message_text(DESKTOP, scale=float(scale)), text)
                    program.wait_shown()
                    code, _ = program.close()
                    self.assertEqual(code, 0)
                finally:
                    program.kill()


def main():
    global BUILD_DIR, BINARY, DESKTOP
    args = sys.argv[1:]
    prefix = None
    if args[0] == "--binary":
        BINARY, args = os.path.abspath(args[1]), args[2:]
    else:
        BUILD_DIR, args = args[0], args[1:]
        prefix, BINARY = install()
    missing = [tool for tool in ("Xvfb", "openbox", "xdotool", "xclip") if not shutil.which(tool)]
    if missing:
        print("SKIPPED: not installed: " + ", ".join(missing) + " (scripts/setup installs them)")
        return 77
    DESKTOP, own = d.fixture_display()
    try:
        result = unittest.main(argv=[sys.argv[0], *args], verbosity=2, exit=False).result
    finally:
        if own:
            DESKTOP.close()
        if prefix:
            shutil.rmtree(prefix, ignore_errors=True)
    if not result.wasSuccessful():
        return 1
    if result.skipped:
        print("SKIPPED: " + "; ".join(sorted({reason for _, reason in result.skipped})))
        return 77
    return 0


if __name__ == "__main__":
    sys.exit(main())
