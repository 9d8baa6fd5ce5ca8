#!/usr/bin/env python3
"""g19-hostsim and g19-probe end to end, the way a display author meets them: the simulator
serves a scenario with the built plug-in inside, a display (this script) reads it byte for
byte, the probe reads and acts on it, and what the plug-in prints and the call log come out
as the same bytes on every system. The Linux build and the Windows build (under Wine) run
these same checks.

  tools_end_to_end_test.py VERSION HOSTSIM PROBE [LAUNCHER...]

VERSION is the project's version; LAUNCHER runs a program of the build (Wine for the
Windows build), nothing for a native one. Needs port 12132.
"""

import http.client
import json
import os
import re
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

PORT = 12132
# The plug-in serves about 3 s after it starts; Wine adds its own start.
FIRST_ANSWER_S = 20
ANSWER_S = 5

VERSION = HOSTSIM = PROBE = None
LAUNCHER = []

SCENARIO = {
    "current": 1,
    "connections": [{
        "schid": 1, "server": {"name": "Kit Test"}, "self": 1,
        # Listed out of the tree's order: Lobby, Gaming (Raid), Music.
        "channels": [
            {"id": 1, "name": "Lobby", "order": 0},
            {"id": 5, "name": "Music", "order": 2, "neededTalkPower": 25},
            {"id": 2, "name": "Gaming", "order": 1},
            {"id": 3, "name": "Raid", "parent": 2, "order": 0, "password": 1},
        ],
        "clients": [
            {"id": 1, "nickname": "me", "channel": 1},
            {"id": 2, "nickname": "Alice", "channel": 3, "talking": 1, "away": 1},
        ],
    }],
    # The first client list fails: the plug-in prints its diagnostic.
    "failures": [{"fn": "getClientID", "count": 1}],
}


def i64(value):
    return struct.pack(">q", value)


def string(text):
    data = text.encode("utf-8")
    return struct.pack(">H", len(data)) + data


def channel(cid, name, talk_power, order, parent, password):
    return i64(cid) + string(name) + i64(talk_power) + i64(order) + i64(parent) + i64(password)


def client(cid, nickname, talking, cid_channel, flags):
    # talk request, talker (u16 each); mic, speakers, recording, 0, 0, away, commander, muted.
    return i64(cid) + string(nickname) + i64(talking) + i64(cid_channel) + bytes(4) + bytes(flags)


def run(program, *arguments):
    return subprocess.run(LAUNCHER + [program] + list(arguments), capture_output=True, timeout=60,
                          stdin=subprocess.DEVNULL)


def lines(output):
    return output.decode("utf-8").splitlines()


class Display:
    """One connection, as a display program keeps it."""

    def __init__(self):
        deadline = time.monotonic() + FIRST_ANSWER_S
        while True:
            try:
                self.socket = socket.create_connection(("127.0.0.1", PORT), timeout=1)
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.2)

    def ask(self, request, size, timeout=ANSWER_S):
        self.socket.sendall(request)
        answer = b""
        deadline = time.monotonic() + timeout
        while len(answer) < size and time.monotonic() < deadline:
            self.socket.settimeout(max(0.01, deadline - time.monotonic()))
            try:
                piece = self.socket.recv(4096)
            except socket.timeout:
                break
            if not piece:
                break
            answer += piece
        return answer

    def close(self):
        self.socket.close()


class ToolsEndToEnd(unittest.TestCase):
    def test_versions(self):
        hostsim = run(HOSTSIM, "--host-api", "24", "--version")
        self.assertEqual(hostsim.returncode, 0, hostsim.stderr)
        self.assertEqual(lines(hostsim.stdout), ["g19-hostsim %s, playing plug-in API 24" % VERSION])
        probe = run(PROBE, "--version")
        self.assertEqual(probe.returncode, 0, probe.stderr)
        self.assertEqual(lines(probe.stdout), ["g19-probe %s" % VERSION])

    def test_display_session(self):
        with socket.socket() as taken:
            taken.settimeout(0.5)
            self.assertNotEqual(taken.connect_ex(("127.0.0.1", PORT)), 0, "port %d is taken" % PORT)
        with tempfile.TemporaryDirectory() as folder:
            scenario = os.path.join(folder, "scenario.json")
            with open(scenario, "w", encoding="utf-8") as file:
                json.dump(SCENARIO, file)
            log = os.path.join(folder, "calls.log")
            with open(os.path.join(folder, "out"), "w+b") as out, open(os.path.join(folder, "err"), "w+b") as err:
                # The web console on a free port, beside the call log: one observer feeds both.
                host = subprocess.Popen(LAUNCHER + [HOSTSIM, "--scenario", scenario, "--control", "--log", log,
                                                    "--web", "0"],
                                        stdin=subprocess.PIPE, stdout=out, stderr=err)
                try:
                    self.session(host)
                    self.console(err)
                    self.stop(host)
                finally:
                    if host.poll() is None:
                        host.kill()
                        host.wait()
                out.seek(0)
                err.seek(0)
                output, errors = out.read(), err.read().decode("utf-8").replace("\r\n", "\n")
            with open(log, "rb") as file:
                calls = file.read()

        self.assertEqual(host.returncode, 0, errors)
        # The plug-in's diagnostics, byte for byte: the failed client list, then its last line.
        self.assertEqual(output, b"\nERR: 1Runable= 0 \n")
        self.assertRegex(errors, r"host memory: (\d+) allocated, \1 released, 0 leaked, 0 invalid")
        self.assertNotIn(b"\r", calls)
        self.assertTrue(calls.endswith(b"}\n"))
        first = [json.loads(line) for line in calls.splitlines()[:3]]
        self.assertEqual([call["fn"] for call in first],
                         ["createReturnCode", "getCurrentServerConnectionHandlerID", "getClientID"])
        self.assertEqual(first[2]["ret"], 1)

    def console(self, err):
        """The console's API answers on the port it reports, and refuses a foreign Host header."""
        deadline = time.monotonic() + FIRST_ANSWER_S
        while True:
            err.seek(0)
            found = re.search(rb"web console on http://127\.0\.0\.1:(\d+)/", err.read())
            if found or time.monotonic() > deadline:
                break
            time.sleep(0.1)
        self.assertIsNotNone(found, "g19-hostsim did not report its console")
        port = int(found.group(1))

        def get(host):
            connection = http.client.HTTPConnection("127.0.0.1", port, timeout=ANSWER_S)
            try:
                connection.request("GET", "/api/state", headers={"Host": host})
                response = connection.getresponse()
                return response.status, response.read()
            finally:
                connection.close()

        status, body = get("127.0.0.1:%d" % port)
        self.assertEqual(status, 200)
        state = json.loads(body)
        self.assertEqual(state["connections"][0]["server"]["name"], "Kit Test")
        self.assertEqual([c["name"] for c in state["connections"][0]["channels"]], ["Lobby", "Gaming", "Raid", "Music"])
        self.assertEqual(get("attacker.example:%d" % port), (403, b"forbidden\n"))

    def session(self, host):
        display = Display()
        # The failed list leaves the request's further bytes as the answer.
        self.assertEqual(display.ask(b"\x05\xaa\xbb", 2, FIRST_ANSWER_S), b"\xaa\xbb")
        server = b"\x02" + string(VERSION) + string("Kit Test")
        self.assertEqual(display.ask(b"\x02", len(server)), server)
        channels = (b"\x03" + i64(4) + channel(1, "Lobby", 0, 0, 0, 0) + channel(5, "Music", 25, 2, 0, 0)
                    + channel(2, "Gaming", 0, 1, 0, 0) + channel(3, "Raid", 0, 0, 2, 1))
        self.assertEqual(display.ask(b"\x03", len(channels)), channels)
        clients = (b"\x05" + i64(1) + i64(1) + i64(2) + client(1, "me", 0, 1, [0] * 8)
                   + client(2, "Alice", 1, 3, [0, 0, 0, 0, 0, 1, 0, 0]))
        self.assertEqual(display.ask(b"\x05", len(clients)), clients)
        display.close()

        tree = run(PROBE, "channels")
        self.assertEqual(tree.returncode, 0, tree.stderr)
        # Indentation and name of each row: siblings in the order their order fields chain.
        self.assertEqual([(len(line) - len(line.lstrip()), line.split()[0]) for line in lines(tree.stdout)[1:5]],
                         [(0, "Lobby"), (0, "Gaming"), (2, "Raid"), (0, "Music")])

        mute = run(PROBE, "mute")
        self.assertEqual((mute.returncode, lines(mute.stdout)), (0, ["sent mute (04 02)"]), mute.stderr)
        listed = run(PROBE, "--json", "clients")
        self.assertEqual(listed.returncode, 0, listed.stderr)
        answer = json.loads(listed.stdout)
        self.assertEqual((answer["ownClientId"], answer["ownChannelId"]), (1, 1))
        self.assertEqual([(c["nickname"], c["channelId"], c["inputMuted"], c["away"], c["talking"])
                          for c in answer["clients"]],
                         [("me", 1, 1, 0, 0), ("Alice", 3, 0, 1, 1)])

    def stop(self, host):
        host.stdin.close()  # the end of the control input stops the simulator
        host.wait(timeout=15)


if __name__ == "__main__":
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    VERSION, HOSTSIM, PROBE = sys.argv[1:4]
    LAUNCHER = sys.argv[4:]
    unittest.main(argv=sys.argv[:1], verbosity=2)
