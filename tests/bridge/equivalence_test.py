#!/usr/bin/env python3
"""One request path, two hosts: every example scenario served through the plug-in (g19-hostsim
with the library inside, on port 12132) and through the bridge (g19-hostsim's Remote Apps face
without the library, and g19-bridge on a free port) must give a display the same 02, 03 and
05 answers byte for byte, and the toggles 04 02, 04 03 and 04 04 must change the same flags.
So must the "no server connected" answers: the plug-in with no server in front, the bridge
before it is approved.

  equivalence_test.py VERSION HOSTSIM BRIDGE [LAUNCHER...]

VERSION is the project's version; LAUNCHER runs a program of the build (Wine for the
Windows build), nothing for a native one. Needs port 12132.
"""

import contextlib
import glob
import json
import os
import sys
import tempfile
import time
import unittest

import socket

from display_link import FIRST_ANSWER_S, SILENCE_S, Display, Program, answer_02, decode_05

VERSION = HOSTSIM = BRIDGE = None
LAUNCHER = []

DOCS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs")
SCENARIOS = sorted(glob.glob(os.path.join(DOCS, "scenarios", "*.json"))) + [os.path.join(DOCS, "example-server.json")]
PLUGIN_PORT = 12132
TOGGLES = [b"\x04\x02", b"\x04\x03", b"\x04\x04"]
# A toggle shows once the client has reported it: the plug-in's at once, the bridge's after a
# round trip through Remote Apps.
CHANGE_S = 3


def without_failures(path, folder, **changes):
    """The scenario as a file without its failure rules: they make the simulated host's calls
    fail, and through Remote Apps there are no host calls, so they cannot travel."""
    with open(path, encoding="utf-8") as file:
        scenario = json.load(file)
    scenario.pop("failures", None)
    scenario.update(changes)
    written = os.path.join(folder, os.path.basename(path))
    with open(written, "w", encoding="utf-8") as file:
        json.dump(scenario, file)
    return written


class Sides:
    """Both hosts of one scenario, each with one display connection; everything stops on exit."""

    def __init__(self, scenario, folder, approve_after_ms=0):
        self.programs, self.displays = [], []
        try:
            self.begin(scenario, folder, approve_after_ms)
        except BaseException:
            self.close()
            raise

    def begin(self, scenario, folder, approve_after_ms):
        self.plugin = self.start(HOSTSIM, "--scenario", scenario)
        self.remote = self.start(HOSTSIM, "--scenario", scenario, "--remote-apps", "0", "--no-plugin",
                                 "--approve-after", str(approve_after_ms))
        found = self.remote.wait_line(r"hostsim: remote apps on (ws://127\.0\.0\.1:\d+)", FIRST_ANSWER_S)
        if not found:
            raise AssertionError("g19-hostsim did not report its Remote Apps port:\n" + self.remote.text())
        key_file = os.path.join(folder, "remote-apps.key")
        with contextlib.suppress(FileNotFoundError):
            os.remove(key_file)
        self.bridge = self.start(BRIDGE, "--remote-apps", found.group(1), "--key-file", key_file,
                                 "--display-port", "0")
        found = self.bridge.wait_line(r"serving the display on 127\.0\.0\.1:(\d+)", FIRST_ANSWER_S)
        if not found:
            raise AssertionError("g19-bridge did not report its display port:\n" + self.bridge.text())
        self.bridge_port = int(found.group(1))

    def start(self, *command):
        program = Program(LAUNCHER, *command)
        self.programs.append(program)
        return program

    def connect(self):
        self.displays = [Display(PLUGIN_PORT), Display(self.bridge_port)]
        return self.displays

    def close(self):
        for display in self.displays:
            display.close()
        for program in self.programs:
            program.kill()
        reports = [report for report in (p.sanitizer_report() for p in self.programs) if report]
        if reports:
            raise AssertionError("a program reported: " + "; ".join(reports))


def flag_changes(before, after):
    """{(client ID, field): new value} between two 05 answers."""
    old = {c.id: c for c in decode_05(before).clients}
    changes = {}
    for client in decode_05(after).clients:
        for field, value in client._asdict().items():
            if client.id in old and getattr(old[client.id], field) != value:
                changes[(client.id, field)] = value
    return changes


def changed_05(display, before):
    """The first 05 answer that differs from `before`, or the last one at the time limit."""
    deadline = time.monotonic() + CHANGE_S
    while True:
        answer = display.ask(b"\x05")
        if answer != before or time.monotonic() > deadline:
            return answer
        time.sleep(0.05)


class Equivalence(unittest.TestCase):
    def setUp(self):
        with socket.socket() as taken:
            taken.settimeout(0.5)
            self.assertNotEqual(taken.connect_ex(("127.0.0.1", PLUGIN_PORT)), 0, "port %d is taken" % PLUGIN_PORT)
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)

    def test_scenarios(self):
        for path in SCENARIOS:
            with self.subTest(os.path.basename(path)):
                # Each scenario's programs stop before the next one's take port 12132.
                sides = Sides(without_failures(path, self.folder.name), self.folder.name)
                try:
                    self.same_display(sides)
                finally:
                    sides.close()

    def same_display(self, sides):
        self.assertTrue(sides.bridge.wait_line(r"connected to ", FIRST_ANSWER_S),
                        sides.bridge.text())
        plugin, bridge = sides.connect()
        for request in (b"\x02", b"\x03", b"\x05"):
            expected = plugin.ask(request)
            self.assertTrue(expected.startswith(answer_02(VERSION)) if request == b"\x02" else len(expected) > 9,
                            "the plug-in answers %s with %r" % (request.hex(), expected))
            self.assertEqual(bridge.ask(request).hex(" "), expected.hex(" "), "answer to %s" % request.hex())
        for request in TOGGLES:
            before = [plugin.ask(b"\x05"), bridge.ask(b"\x05")]
            plugin.act(request)
            bridge.act(request)
            after = [changed_05(plugin, before[0]), changed_05(bridge, before[1])]
            wanted = flag_changes(before[0], after[0])
            self.assertTrue(wanted, "%s changes nothing through the plug-in" % request.hex(" "))
            self.assertEqual(flag_changes(before[1], after[1]), wanted, "after %s" % request.hex(" "))
            self.assertEqual(after[1].hex(" "), after[0].hex(" "), "05 after %s" % request.hex(" "))

    def test_no_server(self):
        # The plug-in with no server in front; the bridge waiting for the user's approval.
        scenario = without_failures(SCENARIOS[0], self.folder.name, current=0)
        sides = Sides(scenario, self.folder.name, approve_after_ms=600000)
        self.addCleanup(sides.close)
        plugin, bridge = sides.connect()
        for request, timeout in ((b"\x02", 2), (b"\x03", SILENCE_S), (b"\x05", SILENCE_S), (b"\x05\xaa\xbb", 2)):
            expected = plugin.ask(request, timeout)
            self.assertEqual(bridge.ask(request, timeout).hex(" "), expected.hex(" "), "answer to %s" % request.hex())
        self.assertEqual(sides.bridge.count(r"connected to "), 0)


if __name__ == "__main__":
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    VERSION, HOSTSIM, BRIDGE = sys.argv[1:4]
    LAUNCHER = sys.argv[4:]
    unittest.main(argv=sys.argv[:1], verbosity=2)
