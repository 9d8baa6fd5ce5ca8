#!/usr/bin/env python3
"""The players' guide's binding step, end to end. g19-hostsim plays a client of the 5 and 6
series that has no key bindings yet, g19-bridge serves a display from it, and each of the five
actions is bound as a player binds it: "choose" beside the action in the simulated client's
console, then a press of the bridge's button while the client waits for a key. That press is
taken as the key and changes nothing; afterwards the display's request for the action does what
it is bound to, disconnect last.

Each way of making the bridge press a button (PRESS_WAYS) binds all five on programs of its own.

  binding_test.py HOSTSIM BRIDGE PROBE [LAUNCHER...]

LAUNCHER runs a program of the build (Wine for the Windows build), nothing for a native one.
Every port is a free one.
"""

import collections
import contextlib
import http.client
import json
import os
import subprocess
import sys
import tempfile
import time
import unittest

from display_link import FIRST_ANSWER_S, Program

HOSTSIM = BRIDGE = PROBE = None
LAUNCHER = []

# A change travels from the simulated client through Remote Apps and the bridge to the display;
# a busy machine, or Wine, may take a while.
CHANGE_S = 10

# The client's action, g19-probe's command for it, the bridge's button, and the own client's
# field in `g19-probe --json clients` that it changes.
Action = collections.namedtuple("Action", "name command button flag")
ACTIONS = [
    Action("toggle-microphone", "mute", "g19-microphone", "inputMuted"),
    Action("toggle-speakers", "speakers", "g19-speakers", "outputMuted"),
    Action("toggle-away", "away", "g19-away", "away"),
    Action("request-talk-power", "talk-request", "g19-talk-power", "talkRequest"),
    Action("disconnect", "disconnect", "g19-disconnect", None),
]

# No bindings: the client is as a player finds it before the guide's binding step. The server
# answers a talk-power request after 50 ms, so that the request shows.
SCENARIO = {
    "current": 1,
    "connections": [{
        "schid": 1, "server": {"name": "Binding Test", "roundTripMs": 50}, "self": 1,
        "channels": [{"id": 1, "name": "Lobby"}],
        "clients": [{"id": 1, "nickname": "me", "channel": 1}, {"id": 2, "nickname": "Alice", "channel": 1}],
    }],
}


class Programs:
    """The simulated client with its console and Remote Apps on free ports, and the bridge in
    front of it; everything stops on close()."""

    def __init__(self, folder):
        self.programs = []
        try:
            self.begin(folder)
        except BaseException:
            self.close()
            raise

    def begin(self, folder):
        scenario = os.path.join(folder, "scenario.json")
        with open(scenario, "w", encoding="utf-8") as file:
            json.dump(SCENARIO, file)
        self.hostsim = self.start(HOSTSIM, "--scenario", scenario, "--no-plugin", "--remote-apps", "0",
                                  "--approve-after", "0", "--web", "0")
        remote_apps = self.hostsim.wait_line(r"hostsim: remote apps on (ws://127\.0\.0\.1:\d+)", FIRST_ANSWER_S)
        console = self.hostsim.wait_line(r"hostsim: web console on http://127\.0\.0\.1:(\d+)/", FIRST_ANSWER_S)
        if not remote_apps or not console:
            raise AssertionError("g19-hostsim did not report its ports:\n" + self.hostsim.text())
        self.console_port = int(console.group(1))
        self.key_file = os.path.join(folder, "remote-apps.key")
        with contextlib.suppress(FileNotFoundError):
            os.remove(self.key_file)
        self.bridge = self.start(BRIDGE, "--remote-apps", remote_apps.group(1), "--key-file", self.key_file,
                                 "--display-port", "0")
        display = self.bridge.wait_line(r"serving the display on 127\.0\.0\.1:(\d+)", FIRST_ANSWER_S)
        if not display:
            raise AssertionError("g19-bridge did not report its display port:\n" + self.bridge.text())
        self.display_port = int(display.group(1))
        if not self.bridge.wait_line(r"connected to ", FIRST_ANSWER_S):
            raise AssertionError("g19-bridge was not approved:\n" + self.bridge.text())

    def start(self, *command):
        program = Program(LAUNCHER, *command)
        self.programs.append(program)
        return program

    def api(self, method, path):
        connection = http.client.HTTPConnection("127.0.0.1", self.console_port, timeout=10)
        try:
            connection.request(method, path)
            response = connection.getresponse()
            body = response.read()
            if response.status != 200:
                raise AssertionError("%s %s: %d %s" % (method, path, response.status, body))
            return json.loads(body)
        finally:
            connection.close()

    def probe(self, *arguments):
        result = subprocess.run(LAUNCHER + [PROBE, "--port", str(self.display_port), "--json"] + list(arguments),
                                capture_output=True, timeout=60, stdin=subprocess.DEVNULL)
        if result.returncode != 0:
            raise AssertionError("g19-probe %s: %s" % (" ".join(arguments), result.stderr.decode()))
        return json.loads(result.stdout.decode("utf-8").splitlines()[-1])

    def own_in_client(self):
        """The own client as the simulated client holds it, read at once from its console; None
        without a connection in front."""
        state = self.api("GET", "/api/state")
        connection = next((c for c in state["connections"] if c["schid"] == state["current"]), None)
        return connection and next((c for c in connection["clients"] if c["id"] == connection["self"]), None)

    def own_on_display(self):
        clients = self.probe("clients")
        return next(c for c in clients["clients"] if c["own"])

    def close(self):
        for program in self.programs:
            program.kill()
        reports = [report for report in (p.sanitizer_report() for p in self.programs) if report]
        if reports:
            raise AssertionError("a program reported: " + "; ".join(reports))


def press_by_display(programs, action):
    """The display's own request for the action: the bridge presses and releases its button."""
    programs.probe(action.command)


def press_on_demand(programs, action):
    """`g19-bridge --press`, as the players' guide gives it: the running bridge presses and
    releases the button once, and says that the client took it."""
    result = subprocess.run(LAUNCHER + [BRIDGE, "--key-file", programs.key_file, "--press", action.button,
                                        "--delay", "0"], capture_output=True, timeout=60, stdin=subprocess.DEVNULL)
    said = result.stdout.decode("utf-8", "replace")
    if result.returncode != 0 or "accepted by the voice client" not in said:
        raise AssertionError("g19-bridge --press %s: %d %s%s" % (action.button, result.returncode, said,
                                                                  result.stderr.decode("utf-8", "replace")))


# How the bridge can be made to press an action's button once.
PRESS_WAYS = {"a display request": press_by_display, "g19-bridge --press": press_on_demand}


def wait_for(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("%s: not within %d s" % (what, timeout))
        time.sleep(0.1)


class Binding(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)

    def test_bind_all_five_then_use_them(self):
        for way, press in PRESS_WAYS.items():
            with self.subTest(way):
                programs = Programs(self.folder.name)
                try:
                    self.bind_all(programs, press)
                    self.use_all(programs)
                finally:
                    programs.close()

    def bind_all(self, programs, press):
        bindings = programs.api("GET", "/api/remote-apps")["bindings"]
        self.assertEqual([b["action"] for b in bindings], [a.name for a in ACTIONS])
        self.assertEqual([b["buttons"] for b in bindings], [[]] * len(ACTIONS), "the scenario binds nothing")
        untouched = programs.own_in_client()
        for action in ACTIONS:
            self.assertEqual(programs.api("POST", "/api/remote-apps/bindings/%s/choose" % action.name),
                             {"choosing": action.name})
            press(programs, action)

            def bound():
                view = programs.api("GET", "/api/remote-apps")
                buttons = next(b["buttons"] for b in view["bindings"] if b["action"] == action.name)
                return view["choosing"] is None and action.button in buttons

            wait_for(bound, CHANGE_S, "%s bound to %s" % (action.button, action.name))
            # The press was the key: the client did not act on it.
            self.assertEqual(programs.own_in_client(), untouched, "after binding %s" % action.name)
        self.assertEqual(programs.probe("server")["serverName"], "Binding Test")

    def use_all(self, programs):
        for action in ACTIONS:
            if action.flag is None:
                continue
            before = programs.own_on_display()[action.flag]
            programs.probe(action.command)
            wait_for(lambda: programs.own_on_display()[action.flag] != before, CHANGE_S,
                     "%s changing %s on the display" % (action.command, action.flag))
        programs.probe("disconnect")
        wait_for(lambda: programs.probe("server")["serverName"] is None, CHANGE_S, "the display without a server")


if __name__ == "__main__":
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    HOSTSIM, BRIDGE, PROBE = sys.argv[1:4]
    LAUNCHER = sys.argv[4:]
    unittest.main(argv=sys.argv[:1], verbosity=2)
