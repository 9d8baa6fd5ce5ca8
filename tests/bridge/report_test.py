#!/usr/bin/env python3
"""A player's report: g19-bridge --report asks the running bridge for one; the archive holds
the kept messages as a trace, the state log, the version, the system, the state line and a
README, and nothing of the key beyond the four characters the log shows; and playing it back
with --replay --answers gives the view the display had when it was saved. The voice client is
g19-hostsim's Remote Apps face, which knows the bridge's key from the start.

  report_test.py VERSION HOSTSIM BRIDGE PROBE [LAUNCHER...]

LAUNCHER runs a program of the build (Wine for the Windows build, whose report is a zip).
"""

import io
import json
import os
import re
import subprocess
import sys
import tarfile
import tempfile
import unittest
import zipfile

from display_link import FIRST_ANSWER_S, Display, Program, decode_05
from sim_client import SimClient, display_view, wait_for

VERSION = HOSTSIM = BRIDGE = PROBE = None
LAUNCHER = []

MINIMAL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs", "scenarios", "minimal.json")
# Mixed case, so that no five characters of it turn up in a report by chance.
KEY = "Kq7ZxWv3LmNp2RtYs4HbJc9DfGhQ"
# What of the key the log may show.
SHOWN = 4


def local_path(path):
    """A path the bridge printed, as this system names it: Wine shows Z:\\tmp\\... for /tmp/..."""
    if LAUNCHER and re.match(r"^[A-Za-z]:\\", path):
        return path[2:].replace("\\", "/")
    return path


def bridge_path(path):
    """A path of this system as the bridge takes it: Wine's Z: is /, and a Windows program reads
    /tmp as an option, as Windows programs do."""
    return "Z:" + path.replace("/", "\\") if LAUNCHER else path


def pieces(key, length=SHOWN + 1):
    return {key[i:i + length] for i in range(len(key) - length + 1)}


def members(path):
    """{name: bytes} of a .tar.gz or .zip file, read by Python's own modules."""
    if path.endswith(".zip"):
        with zipfile.ZipFile(path) as archive:
            return {name: archive.read(name) for name in archive.namelist()}
    with tarfile.open(path, "r:gz") as archive:
        return {member.name: archive.extractfile(member).read() for member in archive.getmembers() if member.isfile()}


class Report(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)
        with open(MINIMAL, encoding="utf-8") as file:
            scenario = json.load(file)
        scenario["remoteAppsKeys"] = [KEY]
        self.scenario = os.path.join(self.folder.name, "scenario.json")
        with open(self.scenario, "w", encoding="utf-8") as file:
            json.dump(scenario, file)
        self.key_file = os.path.join(self.folder.name, "config", "remote-apps.key")
        os.makedirs(os.path.dirname(self.key_file))
        with open(self.key_file, "w", encoding="utf-8") as file:
            file.write(KEY)
        self.client = SimClient(LAUNCHER, HOSTSIM, self.scenario)
        self.addCleanup(self.client.kill)

    def start_bridge(self, env=None):
        bridge = Program(LAUNCHER, BRIDGE, "--remote-apps", self.client.url, "--key-file", self.key_file,
                         "--display-port", "0", env=env)
        self.addCleanup(bridge.kill)
        found = bridge.wait_line(r"serving the display on 127\.0\.0\.1:(\d+)", FIRST_ANSWER_S)
        self.assertTrue(found, bridge.text())
        self.assertTrue(bridge.wait_line(r"connected to Minimal", FIRST_ANSWER_S), bridge.text())
        return bridge, int(found.group(1))

    def ask_for_report(self, *where, env=None):
        asked = subprocess.run(LAUNCHER + [BRIDGE, "--key-file", self.key_file, "--report"] + list(where),
                               capture_output=True, stdin=subprocess.DEVNULL, timeout=120, env=env)
        self.assertEqual(asked.returncode, 0, asked.stderr)
        return asked.stdout.decode("utf-8").strip()

    def test_holds_everything_listed_and_no_key_and_replays_to_the_display_view(self):
        bridge, port = self.start_bridge()
        # The server changes after the snapshot: the view depends on the events too.
        self.client.api("POST", "/api/connections/1/clients", {"nickname": "Ann", "channel": 1, "talking": 1})
        self.client.api("PATCH", "/api/connections/1/clients/1", {"away": 1})

        def shown():
            display = Display(port)
            try:
                front = decode_05(display.ask(b"\x05"))
            finally:
                display.close()
            return len(front.clients) == 2 and next(c for c in front.clients if c.id == 1).away == 1
        wait_for(shown, 15, "the new client and the away flag")
        view = display_view(LAUNCHER, PROBE, port)

        path = self.ask_for_report(bridge_path(self.folder.name))
        local = local_path(path)
        self.assertEqual(os.path.dirname(local), self.folder.name)
        self.assertTrue(local.endswith(".zip" if LAUNCHER else ".tar.gz"), path)
        files = members(local)

        stem = os.path.basename(local)[:-len(".zip" if LAUNCHER else ".tar.gz")]
        self.assertEqual(set(files), {stem + "/" + name for name in
                                      ("README.txt", "report.json", "messages.trace", "state.log")})
        text = {name.split("/", 1)[1]: data.decode("utf-8") for name, data in files.items()}

        about = json.loads(text["report.json"])
        self.assertEqual(about["version"], VERSION)
        self.assertRegex(about["system"], r"^(Windows|Linux) \S")
        self.assertEqual(about["state"], "connected to Minimal")
        header = json.loads(text["messages.trace"].splitlines()[0])
        self.assertEqual((header["trace"], header["program"], header["version"]), (1, "g19-bridge", VERSION))
        self.assertIn("connected to Minimal", text["state.log"])
        for fact in (VERSION, about["system"], "connected to Minimal", "messages.trace", "state.log"):
            self.assertIn(fact, text["README.txt"])

        for name, contents in text.items():
            for piece in pieces(KEY):
                self.assertNotIn(piece, contents, "%s shows more of the key than %d characters" % (name, SHOWN))
        self.assertIn(KEY[:SHOWN] + "...(redacted)", text["messages.trace"])

        replayed = subprocess.run(LAUNCHER + [BRIDGE, "--replay", path, "--speed", "0", "--answers",
                                              "--display-port", "0"],
                                  capture_output=True, stdin=subprocess.DEVNULL, timeout=120)
        self.assertEqual(replayed.returncode, 0, replayed.stderr)
        self.assertEqual(replayed.stdout.decode("utf-8").replace("\r\n", "\n"), view)

    def test_goes_into_the_documents_folder_by_default(self):
        if LAUNCHER or sys.platform != "linux":
            self.skipTest("the XDG documents folder is Linux's")
        home = os.path.join(self.folder.name, "home")
        os.makedirs(os.path.join(home, "Papers"))
        os.makedirs(os.path.join(home, "Documents"))
        config = os.path.join(self.folder.name, "xdg")
        os.makedirs(config)
        with open(os.path.join(config, "user-dirs.dirs"), "w", encoding="utf-8") as file:
            file.write('# written by xdg-user-dirs-update\nXDG_DESKTOP_DIR="$HOME/Desktop"\n'
                       'XDG_DOCUMENTS_DIR="$HOME/Papers"\n')
        env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=config)
        self.start_bridge(env)
        path = self.ask_for_report(env=env)
        self.assertEqual(os.path.dirname(path), os.path.join(home, "Papers"))
        self.assertRegex(os.path.basename(path), r"^g19-bridge-report-\d{4}-\d\d-\d\d-\d{6}\.tar\.gz$")
        self.assertTrue(os.path.isfile(path))

    def test_without_a_running_bridge(self):
        alone = subprocess.run(LAUNCHER + [BRIDGE, "--key-file", os.path.join(self.folder.name, "other.key"),
                                           "--report", bridge_path(self.folder.name)],
                               capture_output=True, stdin=subprocess.DEVNULL, timeout=60)
        self.assertEqual(alone.returncode, 1, alone.stderr)
        self.assertIn(b"g19-bridge is not running", alone.stderr)
        self.assertEqual(sorted(os.listdir(self.folder.name)), ["config", "scenario.json"])


if __name__ == "__main__":
    if len(sys.argv) < 5:
        sys.exit(__doc__)
    VERSION, HOSTSIM, BRIDGE, PROBE = sys.argv[1:5]
    LAUNCHER = sys.argv[5:]
    unittest.main(argv=sys.argv[:1], verbosity=2)
