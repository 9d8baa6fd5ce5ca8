#!/usr/bin/env python3
"""g19-bridge against a Remote Apps server of this test's own, written from the description of
the voice client in docs/remote-apps.md alone: the approval and its key file, the snapshot and
the events as a display sees them on port 12132, the button presses, a stale key, the voice
client going away and coming back, and bad input. Every check runs twice: against frames in
the shapes the earlier clients were seen to send, and against the 6 series' shapes. The Linux
build and the Windows build (under Wine) run the same checks.

  remote_apps_contract_test.py VERSION BRIDGE [LAUNCHER...]

VERSION is the project's version; LAUNCHER runs a program of the build (Wine for the
Windows build), nothing for a native one. Every port is a free one on 127.0.0.1.
"""

import asyncio
import copy
import json
import os
import secrets
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import websockets

from display_link import (ANSWER_S, EXAMPLE_SERVER, FIRST_ANSWER_S, SILENCE_S, Channel, Client, Display, Front,
                          Program, answer_02, answer_03, answer_05, decode_05, reference_answers, split_answer)

VERSION = BRIDGE = None
LAUNCHER = []

BUTTONS = ["g19-disconnect", "g19-microphone", "g19-away", "g19-speakers", "g19-talk-power"]
STALE_KEY, KEY, NEW_KEY = ("contract-%s-%s" % (name, secrets.token_hex(12)) for name in ("stale", "key", "new"))
# The bridge reconnects after 1 s, then 2 s, 4 s, up to 10 s.
DOWN_S = 2.5
BACK_S = 4 + 1.5


def remote_channel(cid, parent, order, properties):
    # Channel IDs are strings in the voice client's messages; numbers are read too.
    return {"id": cid, "parentId": parent, "order": order, "properties": properties}


# Tab 7, as the voice client's auth answer describes it: channels four levels deep in the flat
# subChannels map, string and number IDs, a 64-bit channel ID, fields no display reads.
SNAPSHOT = [{
    "id": 7, "clientId": 3, "status": 4,
    "properties": {"name": "Contract Server", "uniqueIdentifier": "c29tZXRoaW5n", "welcomeMessage": "hi"},
    "channelInfos": {
        "rootChannels": [
            remote_channel("1", "0", "0", {"name": "Lobby", "flagPassword": False, "neededTalkPower": 0,
                                           "topic": "t", "flagDefault": True}),
            remote_channel("2", "0", "1", {"name": "Games"}),
            remote_channel("4294967296", "0", "2", {"name": "Wide", "neededTalkPower": 25}),
            remote_channel("7", "0", "4294967296", {"name": "After Wide"}),
        ],
        "subChannels": {
            "2": [remote_channel("3", "2", "0", {"name": "Raid", "flagPassword": True})],
            "3": [remote_channel(5, 3, 0, {"name": "Inner", "codec": 4})],
            "5": [remote_channel("6", "5", "0", {"name": "Deepest", "flagPassword": True, "neededTalkPower": 40})],
        },
    },
    "clientInfos": [
        {"id": 3, "channelId": "1", "properties": {
            "nickname": "Me", "flagTalking": False, "inputMuted": False, "outputMuted": False, "away": False,
            "talkRequest": 0, "isTalker": False, "isRecording": False, "isChannelCommander": False,
            "isMuted": False, "inputHardware": False}},
        {"id": 4, "channelId": "3", "properties": {
            "nickname": "Ann", "flagTalking": True, "away": True, "awayMessage": "brb", "isChannelCommander": True}},
        {"id": "5", "channelId": 5, "properties": {
            "nickname": "Bo", "talkRequest": 1765432100, "talkRequestMsg": "pls", "isTalker": True,
            "isRecording": True, "isMuted": True, "outputMuted": True, "inputMuted": True}},
        {"id": 6, "channelId": "6", "properties": {"nickname": "Café", "badges": {"a": [1]}}},
    ],
}]

FRONT_7 = Front("Contract Server", 3, (
    Channel(1, "Lobby"), Channel(2, "Games", order=1), Channel(4294967296, "Wide", 25, 2),
    Channel(7, "After Wide", order=4294967296), Channel(3, "Raid", parent=2, password=1),
    Channel(5, "Inner", parent=3), Channel(6, "Deepest", 40, parent=5, password=1),
), (
    Client(3, "Me", channel=1), Client(4, "Ann", 1, 3, away=1, commander=1),
    Client(5, "Bo", 0, 5, talk_request=1765432100, talker=1, mic=1, speakers=1, recording=1, muted=1),
    Client(6, "Café", channel=6),
))


def event(kind, connection, **payload):
    return {"type": kind, "payload": dict(connectionId=connection, **payload)}


def talk(connection, client, status):
    return event("talkStatusChanged", connection, clientId=client, status=status, isWhisper=False)


def properties(connection, client, **changed):
    return event("clientPropertiesUpdated", connection, clientId=client, properties=changed)


def self_flag(connection, flag, value):
    return event("clientSelfPropertyUpdated", connection, flag=flag, oldValue=not value, newValue=value)


def moved(connection, client, old, new, joined=None):
    fields = {"properties": joined} if joined else {}
    return event("clientMoved", connection, clientId=client, oldChannelId=old, newChannelId=new, type=0,
                 visibility=0, **fields)


def status(connection, value, info=None):
    return event("connectStatusChanged", connection, status=value, error=0, info=info)


# Tab 9 connecting in the documented order: the moves come before the channels they name,
# and the tree's subChannels is null.
CONNECT_9 = [
    status(9, 1), status(9, 2, {"clientId": 20, "serverName": "Second", "serverUid": "dWlk"}), status(9, 3),
    # The own state is not told yet: the toggles wait until an event tells it.
    moved(9, 20, "0", "100", {"nickname": "Me too"}),
    moved(9, 21, "0", "101", {"nickname": "Dee", "flagTalking": True, "isRecording": True}),
    event("channels", 9, info={"rootChannels": [remote_channel("100", "0", "0", {"name": "Hall"}),
                                                remote_channel("101", "0", "100", {"name": "Side"})],
                               "subChannels": None}),
    event("serverPropertiesUpdated", 9, properties={"name": "Second Server"}),
    status(9, 4),
]
FRONT_9 = Front("Second Server", 20, (Channel(100, "Hall"), Channel(101, "Side", order=100)),
                (Client(20, "Me too", channel=100), Client(21, "Dee", 1, 101, recording=1)))


def changed(front, cid, **fields):
    return front._replace(clients=tuple(c._replace(**fields) if c.id == cid else c for c in front.clients))


# (what happens, frames, the tab in front afterwards, the expected state of each tab that
# changes[, the display's requests then, each with the button it presses or None])
EVENTS = [
    ("Bo is renamed, his talk request and power withdrawn",
     [properties(7, 5, nickname="Bob", talkRequest=0, isTalker=False)], 7,
     {7: lambda f: changed(f, 5, nickname="Bob", talk_request=0, talker=0)}),
    ("tab 9 connects, the moves before its channels", CONNECT_9, 9, {9: lambda f: FRONT_9}),
    ("own microphone and speakers, Dee away", [self_flag(9, "inputMuted", True), self_flag(9, "outputMuted", True),
                                              properties(9, 21, away=True)], 9,
     {9: lambda f: changed(changed(f, 20, mic=1, speakers=1), 21, away=1)},
     ((b"\x04\x02", "g19-microphone"), (b"\x04\x04", "g19-speakers"), (b"\x04\x03", None))),
    ("Dee moves, numbers as channel IDs", [moved(9, 21, 101, 100)], 9, {9: lambda f: changed(f, 21, channel=100)}),
    ("Eve joins and leaves", [moved(9, 22, "0", "101", {"nickname": "Eve"}), moved(9, 22, "101", "0")], 9, {}),
    ("tab 7 opens the capture device", [self_flag(7, "inputHardware", True)], 7, {}),
    # Bo's talking shows once the frame before it has been read.
    ("and closes it: no tab has it, tab 7 stays in front", [self_flag(7, "inputHardware", False), talk(7, 5, 1)], 7,
     {7: lambda f: changed(f, 5, talking=1)}),
    ("tab 9 opens it", [self_flag(9, "inputHardware", True)], 9, {}),
    ("tab 9 disconnects", [status(9, 0)], 7, {9: lambda f: None}),
    ("tab 7 disconnects", [status(7, 0)], None, {7: lambda f: None}),
]

# Frames that change nothing, then ones whose known parts still apply around unknown parts.
BAD_INPUT = [
    ("not json {", None),
    ("[1, 2]", None),
    ("null", None),
    ({"type": 5, "payload": {}}, None),
    ({"type": "talkStatusChanged"}, None),
    ({"type": "talkStatusChanged", "payload": "x"}, None),
    (event("talkStatusChanged", 7, clientId=[4], status="loud"), None),
    (properties(7, 4, away="yes", nickname=12, flagTalking=None), None),
    (event("someFutureEvent", 7, clientId=4), None),
    (talk(99, 4, 0), None),
    (properties(7, 99, nickname="Ghost", away=True), None),
    (moved(7, 98, "1", "2"), None),
    (self_flag(99, "inputMuted", True), None),
    (event("channels", 99, info={"rootChannels": [], "subChannels": None}), None),
    (dict(talk(7, 4, 0), extra=1, payload=dict(talk(7, 4, 0)["payload"], loudness={"db": [1]})),
     lambda f: changed(f, 4, talking=0)),
    (properties(7, "6", away=True, hat="red"), lambda f: changed(f, 6, away=1)),
]


class RemoteApps:
    """The voice client's side: a key it handed out is answered at once with the snapshot,
    "" waits for the test to approve, any other key is closed without an answer."""

    def __init__(self, connections):
        self.connections = connections
        self.keys = set()
        self.hand_out = KEY
        self.refuse = False  # answer every auth with a status that is not 0
        self.sessions = []  # one per socket: {"socket", "messages", "answered" (message count then)}
        self.changed = threading.Condition()
        self.server = None
        self.port = 0
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        self.thread.start()

    def call(self, coroutine, timeout=10):
        return asyncio.run_coroutine_threadsafe(coroutine, self.loop).result(timeout)

    def start(self, port=0):
        async def serve():
            # The voice client offers no compression; a frame's size on the wire is its size.
            self.server = await websockets.serve(self.session, "127.0.0.1", port, compression=None)
            return self.server.sockets[0].getsockname()[1]
        self.port = self.call(serve())

    def stop(self):
        async def close():
            self.server.close()
            await self.server.wait_closed()
        self.call(close())

    def close(self):
        if self.server is not None:
            self.stop()
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(timeout=5)

    async def session(self, socket, path=None):
        record = {"socket": socket, "messages": [], "answered": None, "closed": False}
        with self.changed:
            self.sessions.append(record)
            self.changed.notify_all()
        try:
            async for text in socket:
                message = json.loads(text)
                with self.changed:
                    record["messages"].append(message)
                    self.changed.notify_all()
                await self.received(record, message)
                if message.get("type") != "auth" or record["answered"] is not None:
                    continue
                key = message["payload"]["content"]["apiKey"]
                if self.refuse:
                    await socket.send(json.dumps({"type": "auth", "status": {"code": 1, "message": "not allowed"},
                                                  "payload": {}}))
                elif key in self.keys:
                    await self.answer(record)
                elif key != "":
                    await socket.close()  # as the voice client does with a key it does not know
        except websockets.ConnectionClosed:
            pass
        finally:
            with self.changed:
                record["closed"] = True
                self.changed.notify_all()

    async def answer(self, record):
        self.keys.add(self.hand_out)
        with self.changed:
            record["answered"] = len(record["messages"])
        await record["socket"].send(json.dumps({"type": "auth", "status": {"code": 0, "message": "ok"},
                                                "payload": {"apiKey": self.hand_out,
                                                            "connections": self.connections}}))

    async def received(self, record, message):
        """What the voice client does with a message from the app besides the approval."""

    def approve(self, record):
        self.call(self.answer(record))

    def send(self, message):
        text = message if isinstance(message, str) else json.dumps(message)
        try:
            self.call(self.sessions[-1]["socket"].send(text))
        except websockets.ConnectionClosed:
            pass

    def drop(self):
        """The socket of now closes, as when the voice client restarts."""
        self.call(self.sessions[-1]["socket"].close())

    def send_too_much(self, message):
        """A frame the bridge refuses: it may stop reading it, so the socket is dropped after a while."""
        async def push(socket):
            try:
                await asyncio.wait_for(socket.send(json.dumps(message)), 1)
            except (asyncio.TimeoutError, websockets.ConnectionClosed):
                socket.transport.abort()
        asyncio.run_coroutine_threadsafe(push(self.sessions[-1]["socket"]), self.loop)

    def wait(self, predicate, timeout):
        """predicate's first true value, or None at the time-out."""
        deadline = time.monotonic() + timeout
        with self.changed:
            while True:
                value = predicate()
                if value or time.monotonic() > deadline:
                    return value
                self.changed.wait(0.05)

    def wait_auth(self, index, timeout):
        """Session number `index`'s auth payload, once it has come."""
        def auth():
            if len(self.sessions) > index and self.sessions[index]["messages"]:
                return self.sessions[index]["messages"][0]
            return None
        return self.wait(auth, timeout)

    def presses(self, since=0):
        with self.changed:
            return [m["payload"] for m in self.sessions[-1]["messages"][since:] if m.get("type") == "buttonPress"]

    def count(self):
        with self.changed:
            return len(self.sessions[-1]["messages"])


class SixSeries(RemoteApps):
    """The voice client of the 6 series: the snapshot's clientInfos name channels by number,
    clientMoved by string, with the kind of move, its invoker and a message; every event says
    hotReload; connectStatusChanged carries no info at 0 and 1 and only the clientId at 3 and
    4; the own state changes, the capture handover among them, come only as
    clientPropertiesUpdated; and every buttonPress is answered."""

    def __init__(self, connections):
        connections = copy.deepcopy(connections)
        self.own = {}
        for connection in connections:
            self.own[connection["id"]] = connection["clientId"]
            tree = connection["channelInfos"]
            for channel in tree["rootChannels"] + [c for cs in (tree["subChannels"] or {}).values() for c in cs]:
                for key in ("id", "parentId", "order"):
                    channel[key] = str(channel[key])
            for client in connection["clientInfos"]:
                client["id"], client["channelId"] = int(client["id"]), int(client["channelId"])
        super().__init__(connections)

    def send(self, message):
        super().send(self.shaped(message))

    def shaped(self, message):
        if not isinstance(message, dict) or not isinstance(message.get("payload"), dict):
            return message
        message = copy.deepcopy(message)
        kind, payload = message["type"], message["payload"]
        connection = payload.get("connectionId")
        if kind == "clientSelfPropertyUpdated" and connection in self.own:
            message = properties(connection, self.own[connection], **{payload["flag"]: payload["newValue"]})
            payload = message["payload"]
        elif kind == "connectStatusChanged":
            value, info = payload.get("status"), payload.get("info")
            if value == 2 and isinstance(info, dict):
                self.own[connection] = info["clientId"]
                info.setdefault("legacyUUID", "bGVnYWN5")
            elif value in (3, 4) and connection in self.own:
                payload["info"] = {"clientId": self.own[connection]}
            else:
                payload["info"] = None
        elif kind == "clientMoved":
            old, new = (str(payload[key]) for key in ("oldChannelId", "newChannelId"))
            payload.update(oldChannelId=old, newChannelId=new, message="")
            if old != "0":
                # A move by someone else (2), or a kick from the server (5).
                payload.update(type=2 if new != "0" else 5, properties=None,
                               invoker={"id": 1, "nickname": "Admin", "uid": "YWRtaW4="})
        payload["hotReload"] = False
        return message

    reject_presses = False

    async def received(self, record, message):
        if message.get("type") == "buttonPress":
            status = {"code": 5, "message": "not now"} if self.reject_presses else {"code": 0, "message": "ok"}
            await record["socket"].send(json.dumps({"type": "buttonPress", "payload": message["payload"],
                                                    "returnCode": "", "status": status}))


class Encoder(unittest.TestCase):
    """This test's own encoder and decoder give the protocol reference's example answers."""

    def test_reference_examples(self):
        reference = reference_answers()
        for title, answer in (("Version and server name", answer_02("0.9.9", EXAMPLE_SERVER.name)),
                              ("Channel list", answer_03(EXAMPLE_SERVER)), ("Client list", answer_05(EXAMPLE_SERVER))):
            self.assertEqual(answer, reference[title], title)
        self.assertEqual(decode_05(reference["Client list"]), EXAMPLE_SERVER._replace(name=None, channels=()))
        self.assertEqual(len(split_answer(reference["Channel list"])[1]), 4)


class Contract(unittest.TestCase):
    """One bridge through every step, in order: each step starts where the last one ended."""

    APPS = RemoteApps

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        cls.key_file = os.path.join(cls.folder.name, "remote-apps.key")
        cls.log = os.path.join(cls.folder.name, "bridge.log")
        with open(cls.key_file, "w", encoding="utf-8") as file:
            file.write(STALE_KEY + "\n")
        cls.apps = cls.APPS(SNAPSHOT)
        cls.apps.start()
        cls.bridge = Program(LAUNCHER, BRIDGE, "--remote-apps", "ws://127.0.0.1:%d" % cls.apps.port,
                             "--key-file", cls.key_file, "--display-port", "0", "--log", cls.log)
        cls.display = None
        try:
            found = cls.bridge.wait_line(r"serving the display on 127\.0\.0\.1:(\d+)", FIRST_ANSWER_S)
            if not found:
                raise AssertionError("the bridge did not report its display port:\n" + cls.bridge.text())
            cls.display = Display(int(found.group(1)))
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        if cls.display:
            cls.display.close()
        cls.bridge.kill()
        cls.apps.close()
        cls.folder.cleanup()

    def setUp(self):
        self.assertIsNone(self.bridge.process.poll(), "the bridge has stopped:\n" + self.bridge.text())

    def answers(self, front):
        if front is None:
            return answer_02(VERSION), b"", b""
        return answer_02(VERSION, front.name), answer_03(front), answer_05(front)

    def assertFront(self, front, timeout=ANSWER_S):
        """The display sees `front` (None: no server connected) within `timeout`. The lists
        are compared record by record, in any order: the voice client's order is its own."""
        expected = self.answers(front)
        deadline = time.monotonic() + timeout
        while True:
            silence = SILENCE_S if front is None else ANSWER_S
            got = (self.display.ask(b"\x02"), self.display.ask(b"\x03", silence), self.display.ask(b"\x05", silence))
            if all(same_answer(a, b) for a, b in zip(got, expected)) or time.monotonic() > deadline:
                break
            time.sleep(0.05)
        self.assertEqual(got[0], expected[0])
        for kind, answer, wanted in zip(("03", "05"), got[1:], expected[1:]):
            if not same_answer(answer, wanted):
                shown = decode_05(answer) if kind == "05" and answer[:1] == b"\x05" else answer.hex(" ")
                self.fail("%s answer\n  got      %s\n  expected %s" % (
                    kind, shown, decode_05(wanted) if kind == "05" and wanted else wanted.hex(" ")))

    def assertPresses(self, request, button):
        mark = self.apps.count()
        self.display.act(request)
        if button is None:
            # The listener answers in order: once 02 is answered, the request has been acted on.
            self.assertTrue(self.display.ask(b"\x02").startswith(b"\x02"), "no answer after %s" % request.hex(" "))
            wanted = []
        else:
            wanted = [{"button": button, "state": True}, {"button": button, "state": False}]
            self.apps.wait(lambda: len(self.apps.presses(mark)) >= len(wanted), 2)
        time.sleep(SILENCE_S)  # and nothing more
        self.assertEqual(self.apps.presses(mark), wanted, "after %s" % request.hex(" "))

    def test_0_version(self):
        result = subprocess.run(LAUNCHER + [BRIDGE, "--version"], capture_output=True, timeout=30,
                                stdin=subprocess.DEVNULL)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn(VERSION, result.stdout.decode())

    def test_1_approval(self):
        """A stored key is tried twice before it is forgotten: the first close may be the voice
        client quitting. Then "" waits for the user; the handed-out key is stored."""
        first = self.apps.wait_auth(0, FIRST_ANSWER_S)
        again = self.apps.wait_auth(1, FIRST_ANSWER_S)
        fresh = self.apps.wait_auth(2, FIRST_ANSWER_S)
        self.assertIsNotNone(fresh, "no third auth after the stale key was closed twice")
        self.assertFalse(os.path.exists(self.key_file), "the key stayed after the second close")
        for auth, key in ((first, STALE_KEY), (again, STALE_KEY), (fresh, "")):
            self.assertEqual(auth["type"], "auth")
            payload = auth["payload"]
            description = payload.pop("description")
            self.assertEqual(payload, {"identifier": "kestro.g19.bridge", "version": VERSION,
                                       "name": "Kestro G19 Display", "content": {"apiKey": key}})
            self.assertTrue(description and "\n" not in description, repr(description))

        # Meanwhile: no server connected, and no presses.
        self.assertFront(None, 0)
        for request in (b"\x04\x02", b"\x04\x03", b"\x04\x04"):
            self.display.act(request)
        time.sleep(SILENCE_S)
        self.assertEqual([m["type"] for m in self.apps.sessions[2]["messages"]], ["auth"])
        self.assertTrue(self.bridge.wait_line(r"waiting for approval: .*open Settings → Remote Apps and allow "
                                              r'"Kestro G19 Display"', ANSWER_S), self.bridge.text())

        mark = len(self.bridge.lines)
        self.apps.approve(self.apps.sessions[2])
        self.assertTrue(self.bridge.wait_line(r"connected to ", ANSWER_S, after=mark),
                        self.bridge.text())
        self.assertEqual(wait_file(self.key_file, KEY), KEY)
        # One release of each button, and nothing else.
        self.apps.wait(lambda: len(self.apps.presses()) >= 5, ANSWER_S)
        time.sleep(SILENCE_S)
        presses = self.apps.presses()
        self.assertEqual(sorted(p["button"] for p in presses), sorted(BUTTONS), presses)
        self.assertTrue(all(p["state"] is False for p in presses), presses)

    def test_2_snapshot(self):
        self.assertFront(FRONT_7)

    def test_3_presses(self):
        for index, button in enumerate(BUTTONS):
            self.assertPresses(bytes([4, index + 1]), button)
        # Moves, kicks and bans cannot go through Remote Apps; the listener pauses after 07, 08.
        for request in ("04 07 00 00 00 02", "04 08 00 04", "04 09 00 04", "04 0A 00 04 00 00 0E 10",
                        "04 0B 00 04 00 00 00 02"):
            self.assertPresses(bytes.fromhex(request), None)

    def test_4_bad_input(self):
        front = FRONT_7
        for frame, change in BAD_INPUT:
            self.apps.send(frame)
            front = change(front) if change else front
        # Events are applied in order: once the last shows, every frame before it has been read.
        self.apps.send(talk(7, 3, 1))
        self.assertFront(changed(front, 3, talking=1))

        # A frame over 4 MiB closes the socket; the bridge comes back with its key, and takes
        # the new one it is handed, and the fresh snapshot replaces everything.
        sessions = len(self.apps.sessions)
        self.apps.hand_out = NEW_KEY
        self.apps.send_too_much(event("log", 7, text="x" * (4 << 20)))
        auth = self.apps.wait_auth(sessions, BACK_S)
        self.assertIsNotNone(auth, "no reconnect after the frame over 4 MiB")
        self.assertEqual(auth["payload"]["content"]["apiKey"], KEY)
        self.assertEqual(wait_file(self.key_file, NEW_KEY), NEW_KEY)
        self.assertFront(FRONT_7)

    def test_5_away_and_back(self):
        sessions = len(self.apps.sessions)
        self.apps.stop()
        stopped = time.monotonic()
        self.assertFront(None)
        time.sleep(max(0, DOWN_S - (time.monotonic() - stopped)))
        self.apps.start(self.apps.port)
        started = time.monotonic()
        self.assertTrue(self.apps.wait(lambda: len(self.apps.sessions) > sessions
                                       and self.apps.sessions[-1]["answered"] is not None, BACK_S),
                        "not back within %.1f s" % BACK_S)
        print("back %.2f s after the voice client returned" % (time.monotonic() - started), file=sys.stderr)
        self.assertEqual(self.apps.sessions[-1]["messages"][0]["payload"]["content"]["apiKey"], NEW_KEY)
        self.assertFront(FRONT_7)

    def test_6_events(self):
        # A talk status change shows in the next 05.
        def own_talking():
            answer = self.display.ask(b"\x05")
            try:
                return next(c.talking for c in decode_05(answer).clients if c.id == 3)
            except Exception:
                self.fail("05 answer: %s" % answer.hex(" "))

        sent = time.monotonic()
        self.apps.send(talk(7, 3, 1))
        while not own_talking() and time.monotonic() - sent < 1:
            pass
        latency = time.monotonic() - sent
        print("talkStatusChanged seen in 05 after %.1f ms" % (latency * 1000), file=sys.stderr)
        self.assertLess(latency, 0.5)
        self.apps.send(talk(7, 3, 0))

        tabs = {7: FRONT_7}
        for what, frames, front, changes, *requests in EVENTS:
            with self.subTest(what):
                for frame in frames:
                    self.apps.send(frame)
                for tab, change in changes.items():
                    tabs[tab] = change(tabs.get(tab))
                self.assertFront(tabs[front] if front else None)
                for request, button in requests[0] if requests else ():
                    self.assertPresses(request, button)
        # With no server, the toggles have no state to toggle.
        for request in (b"\x04\x02", b"\x04\x03", b"\x04\x04"):
            self.assertPresses(request, None)

    def test_7_stop_and_log(self):
        self.bridge.process.send_signal(signal.SIGINT)
        self.assertEqual(self.bridge.stop(2.5), 0, self.bridge.text())
        with open(self.log, encoding="utf-8") as file:
            log = file.read()
        for key in (STALE_KEY, KEY, NEW_KEY):
            self.assertNotIn(key, log)
            self.assertNotIn(key, self.bridge.text())
        messages = []
        for line in log.splitlines():
            try:
                messages.append(json.loads(line))
            except ValueError:
                pass
        self.assertTrue(any("g19-microphone" in json.dumps(m) for m in messages), log[:2000])
        self.assertTrue(any("talkStatusChanged" in json.dumps(m) for m in messages), log[:2000])


class ContractSixSeries(Contract):
    """The same steps against a voice client that sends the 6 series' shapes."""

    APPS = SixSeries

    def test_7_stop_and_log(self):
        # Every press is answered, and the state log says so; a press the client does not take
        # is a warning that names the button, and `--press` says so too.
        accepted = r"g19-microphone \(toggle microphone mute\): accepted by the voice client"
        self.assertTrue(self.bridge.wait_line(accepted, ANSWER_S), self.bridge.text())
        self.apps.reject_presses = True
        pressed = subprocess.run(LAUNCHER + [BRIDGE, "--key-file", self.key_file, "--press", "g19-away", "--delay", "0"],
                                 capture_output=True, timeout=30, stdin=subprocess.DEVNULL)
        self.apps.reject_presses = False
        self.assertEqual(pressed.returncode, 1, pressed)
        self.assertIn(b"pressed g19-away (toggle away), but the voice client did not take it (not now", pressed.stdout)
        self.assertTrue(self.bridge.wait_line(r"warning: g19-away \(toggle away\): the voice client did not take the "
                                              r"press \(not now", ANSWER_S), self.bridge.text())
        super().test_7_stop_and_log()
        # No reply was taken for an event of the mirror's, nor for a field nobody knows.
        with open(self.log, encoding="utf-8") as file:
            ignored = [line for line in file if '"debug"' in line and ("returnCode" in line or "buttonPress" in line)]
        self.assertEqual(ignored, [])


class Refusal(unittest.TestCase):
    """A refusal is said plainly with what to click, each time it happens, and approval is
    asked again no more often than every 30 s."""

    REFUSED = r'the voice client refused the bridge: to allow it, open Settings → Remote Apps and allow "Kestro G19 Display"'

    def test_refusal(self):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        key_file = os.path.join(folder.name, "remote-apps.key")
        with open(key_file, "w", encoding="utf-8") as file:
            file.write(KEY + "\n")
        apps = RemoteApps(SNAPSHOT)
        apps.keys.add(KEY)
        apps.refuse = True
        apps.start()
        self.addCleanup(apps.close)
        bridge = Program(LAUNCHER, BRIDGE, "--remote-apps", "ws://127.0.0.1:%d" % apps.port, "--key-file", key_file,
                         "--display-port", "0")
        self.addCleanup(bridge.kill)

        # An answer that refuses the stored key: the key is forgotten, and the user told.
        self.assertTrue(bridge.wait_line(self.REFUSED, FIRST_ANSWER_S), bridge.text())
        refused = time.monotonic()
        self.assertIsNotNone(apps.wait(lambda: not os.path.exists(key_file), ANSWER_S), "the refused key stayed")
        apps.refuse = False
        again = apps.wait_auth(1, 35)
        waited = time.monotonic() - refused
        self.assertIsNotNone(again, bridge.text())
        self.assertGreater(waited, 29.5, "asked again after %.1f s" % waited)
        self.assertEqual(again["payload"]["content"]["apiKey"], "")
        apps.approve(apps.sessions[1])
        self.assertTrue(bridge.wait_line(r"connected to Contract Server", ANSWER_S), bridge.text())

        # The client restarts and refuses the key it handed out: the hint comes back.
        mark = len(bridge.lines)
        apps.refuse = True
        apps.drop()
        self.assertTrue(bridge.wait_line(self.REFUSED, BACK_S, after=mark), bridge.text())
        self.assertEqual(bridge.count(self.REFUSED), 2, bridge.text())
        bridge.process.send_signal(signal.SIGINT)
        self.assertEqual(bridge.stop(2.5), 0, bridge.text())


def same_answer(got, expected):
    """Equal bytes, or the same header and the same records in another order."""
    if got == expected:
        return True
    try:
        got_header, got_records = split_answer(got)
        header, records = split_answer(expected)
    except Exception:
        return False
    return got_header == header and sorted(got_records) == sorted(records)


def wait_file(path, wanted, timeout=ANSWER_S):
    """The file's content without a trailing newline once it is `wanted`, or at the time-out."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            with open(path, encoding="utf-8") as file:
                content = file.read().rstrip("\r\n")
        except OSError:
            content = None
        if content == wanted or time.monotonic() > deadline:
            return content
        time.sleep(0.05)


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    VERSION, BRIDGE = sys.argv[1:3]
    LAUNCHER = sys.argv[3:]
    unittest.main(argv=sys.argv[:1], verbosity=2)
