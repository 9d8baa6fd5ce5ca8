#!/usr/bin/env python3
"""g19-bridge as a program a player lives with: one copy per user, the display's port held by
another program, a button pressed on demand for a key binding, and the start with the user's
session. The voice client is g19-hostsim's Remote Apps face, without the plug-in.

  program_test.py VERSION HOSTSIM BRIDGE [LAUNCHER...]

VERSION is the project's version; LAUNCHER runs a program of the build (Wine for the Windows
build), nothing for a native one. Every port is a free one on 127.0.0.1.
"""

import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

from display_link import ANSWER_S, FIRST_ANSWER_S, Display, Program, decode_05

VERSION = HOSTSIM = BRIDGE = None
LAUNCHER = []

DOCS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs")
MINIMAL = os.path.join(DOCS, "scenarios", "minimal.json")


def run(*arguments, timeout=60, env=None):
    return subprocess.run(LAUNCHER + [BRIDGE] + list(arguments), capture_output=True, timeout=timeout,
                          stdin=subprocess.DEVNULL, env=env)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Bridge:
    """A voice client with its Remote Apps face, and one bridge that it approves at once."""

    def __init__(self, test, display_port="0"):
        self.folder = tempfile.TemporaryDirectory()
        test.addCleanup(self.folder.cleanup)
        self.key_file = os.path.join(self.folder.name, "remote-apps.key")
        self.client = Program(LAUNCHER, HOSTSIM, "--scenario", MINIMAL, "--remote-apps", "0", "--no-plugin",
                              "--approve-after", "0")
        test.addCleanup(self.client.kill)
        found = self.client.wait_line(r"hostsim: remote apps on (ws://127\.0\.0\.1:\d+)", FIRST_ANSWER_S)
        test.assertTrue(found, self.client.text())
        self.url = found.group(1)
        self.program = Program(LAUNCHER, BRIDGE, "--remote-apps", self.url, "--key-file", self.key_file,
                               "--display-port", str(display_port))
        test.addCleanup(self.program.kill)

    def serving(self, test):
        found = self.program.wait_line(r"serving the display on 127\.0\.0\.1:(\d+)", FIRST_ANSWER_S)
        test.assertTrue(found, self.program.text())
        return int(found.group(1))


class OneCopy(unittest.TestCase):
    def test_a_second_copy_says_so_and_exits_3(self):
        first = Bridge(self)
        first.serving(self)
        started = time.monotonic()
        second = run("--remote-apps", first.url, "--key-file", first.key_file, "--display-port", "0", timeout=30)
        took = time.monotonic() - started
        self.assertEqual(second.returncode, 3, second.stderr)
        self.assertLess(took, 3)
        said = second.stderr.decode("utf-8", "replace")
        self.assertRegex(said, r"g19-bridge is already running \(process \d+\)")
        # The first copy goes on, and the second wrote nothing of its own into its log.
        self.assertIsNone(first.program.process.poll())
        self.assertEqual(first.program.count(r"started: connecting"), 1, first.program.text())


class PortHeld(unittest.TestCase):
    def test_said_once_then_served_once_free(self):
        holder = socket.socket()
        holder.bind(("127.0.0.1", 0))
        holder.listen(1)
        port = holder.getsockname()[1]
        bridge = Bridge(self, port)
        held = r"port %d is in use by another program, perhaps a 3\.x client with the plug-in" % port
        self.assertTrue(bridge.program.wait_line(held, FIRST_ANSWER_S), bridge.program.text())
        time.sleep(3)  # several tries meanwhile
        self.assertEqual(bridge.program.count(held), 1, bridge.program.text())
        holder.close()
        self.assertTrue(bridge.program.wait_line(r"port %d is free again: serving the display" % port, 5),
                        bridge.program.text())
        display = Display(port)
        self.addCleanup(display.close)
        self.assertTrue(display.ask(b"\x02").startswith(b"\x02"))


class PressOnDemand(unittest.TestCase):
    def own_muted(self, display):
        answer = decode_05(display.ask(b"\x05"))
        return next(c.mic for c in answer.clients if c.id == answer.own)

    def test_one_press_and_release_after_the_delay(self):
        bridge = Bridge(self)
        display = Display(bridge.serving(self))
        self.addCleanup(display.close)
        self.assertTrue(bridge.program.wait_line(r"connected to ", FIRST_ANSWER_S), bridge.program.text())
        before = self.own_muted(display)
        started = time.monotonic()
        asked = subprocess.Popen(LAUNCHER + [BRIDGE, "--key-file", bridge.key_file, "--press", "g19-microphone",
                                             "--delay", "1.5"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 stdin=subprocess.DEVNULL)
        # Nothing is pressed during the delay.
        time.sleep(1)
        self.assertEqual(self.own_muted(display), before)
        out, err = asked.communicate(timeout=30)
        took = time.monotonic() - started
        said = out.decode("utf-8", "replace")
        self.assertEqual(asked.returncode, 0, said + err.decode())
        self.assertGreaterEqual(took, 1.5)
        self.assertIn('click the key field of "toggle microphone mute" in the voice client now', said)
        self.assertIn("pressed g19-microphone (toggle microphone mute): accepted by the voice client", said)
        # One press and one release: the bound toggle acted once.
        deadline = time.monotonic() + ANSWER_S
        while self.own_muted(display) == before and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertNotEqual(self.own_muted(display), before)
        self.assertTrue(bridge.program.wait_line(r"g19-microphone \(toggle microphone mute\): accepted by the voice "
                                                 r"client", ANSWER_S), bridge.program.text())
        self.assertEqual(bridge.program.count(r"pressed g19-microphone"), 1, bridge.program.text())

    def test_without_a_running_bridge_or_with_an_unknown_button(self):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        key_file = os.path.join(folder.name, "remote-apps.key")
        alone = run("--key-file", key_file, "--press", "g19-away", "--delay", "0")
        self.assertEqual(alone.returncode, 1, alone.stderr)
        self.assertIn(b"g19-bridge is not running", alone.stderr)
        unknown = run("--key-file", key_file, "--press", "g19-jump")
        self.assertEqual(unknown.returncode, 2, unknown.stderr)
        self.assertIn(b"g19-microphone", unknown.stderr)


class Autostart(unittest.TestCase):
    RUN_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Run"

    def test_on_and_off(self):
        if LAUNCHER or sys.platform != "linux":
            self.skipTest("the XDG autostart entry is Linux's")
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        env = dict(os.environ, XDG_CONFIG_HOME=folder.name)
        entry = os.path.join(folder.name, "autostart", "g19-bridge.desktop")
        on = run("--autostart", "on", env=env)
        self.assertEqual(on.returncode, 0, on.stderr)
        self.assertIn(entry.encode(), on.stdout)
        with open(entry, encoding="utf-8") as file:
            lines = file.read().splitlines()
        self.assertIn("Exec=" + os.path.realpath(BRIDGE), lines)
        self.assertIn("[Desktop Entry]", lines)
        off = run("--autostart", "off", env=env)
        self.assertEqual(off.returncode, 0, off.stderr)
        self.assertFalse(os.path.exists(entry))

    def run_value(self):
        """The Run value as Wine's reg prints it; None when there is none."""
        query = subprocess.run(LAUNCHER + ["reg", "query", self.RUN_KEY, "/v", "g19-bridge"],
                               capture_output=True, timeout=60, stdin=subprocess.DEVNULL)
        if query.returncode != 0:
            return None
        found = re.search(r"g19-bridge\s+REG_SZ\s+(.*\S)", query.stdout.decode("utf-8", "replace"))
        self.assertTrue(found, query.stdout)
        return found.group(1)

    def test_on_and_off_in_the_registry(self):
        if not LAUNCHER:
            self.skipTest("the Run value is Windows'")
        # The console program sets the start of g19-bridgew.exe beside it, by its full path
        # (drive Z: under Wine), quoted.
        self.addCleanup(run, "--autostart", "off")
        on = run("--autostart", "on")
        self.assertEqual(on.returncode, 0, on.stderr)
        self.assertIn(b"the bridge now starts when you log in", on.stdout)
        windows_path = "Z:" + os.path.join(os.path.dirname(os.path.abspath(BRIDGE)), "g19-bridgew.exe").replace("/", "\\")
        self.assertEqual((self.run_value() or "").lower(), ('"%s"' % windows_path).lower())
        off = run("--autostart", "off")
        self.assertEqual(off.returncode, 0, off.stderr)
        self.assertIsNone(self.run_value())


if __name__ == "__main__":
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    VERSION, HOSTSIM, BRIDGE = sys.argv[1:4]
    LAUNCHER = sys.argv[4:]
    unittest.main(argv=sys.argv[:1], verbosity=2)
