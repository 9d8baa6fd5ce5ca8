#!/usr/bin/env python3
"""Writes the seed corpora of the fuzzers. The request fuzzer's: one request of each kind on a
small server, and a few with host failures; the input layout is described at the top of
request_fuzzer.cpp. The mirror fuzzer's: the messages the voice client sent in each recorded
session of tests/bridge/traces/, one a line, as mirror_fuzzer.cpp reads them, and a few in the
6 series' shapes, as far as they differ from the earlier clients'; its other seeds are written by
hand or recorded.
Run from anywhere; it rewrites fuzz/corpus/seed-*, fuzz/mirror-corpus/seed-trace-* and
fuzz/mirror-corpus/seed-6series-*."""
import json
import pathlib

HERE = pathlib.Path(__file__).resolve().parent
TRACES = HERE.parent / "tests" / "bridge" / "traces"
# The mirror fuzzer reads this many messages of an input at most.
MIRROR_MESSAGES = 64

# Selector bytes (indexes into the fuzzer's tables).
SCHID_1, CURRENT_IS_CONNECTION, NAME_LOBBY, SELF_FIRST_CLIENT = 0, 2, 2, 2
CH_1, CH_2, CH_2POW32, CH_ZERO = 0, 1, 7, 12
NAME_EMPTY, NAME_A, NAME_NON_ASCII = 0, 1, 3
V_0, V_1, V_2, V_MINUS_1, V_65537 = 0, 1, 2, 3, 7
CL_3, CL_7 = 2, 3

server = bytes([SCHID_1, CURRENT_IS_CONNECTION, NAME_LOBBY, SELF_FIRST_CLIENT])
channels = bytes([3,
                  CH_1, NAME_LOBBY, CH_ZERO, V_0, V_0, V_0,
                  CH_2POW32, NAME_NON_ASCII, CH_1, V_MINUS_1, V_2, V_1,
                  CH_2, NAME_EMPTY, CH_2POW32, V_0, V_1, V_0])
# Own client 3 with every property set; client 7 with none.
clients = bytes([2,
                 CL_3, NAME_A, CH_1, 1, 0xFF, 0x01] + [V_1, V_MINUS_1, V_0, V_1, V_0, V_1, V_65537, V_1, V_0] +
                [CL_7, NAME_NON_ASCII, CH_2POW32, 1, 0x00, 0x00])
model = server + channels + clients
no_rules = bytes([0])

FN = {"getClientID": 7, "getChannelVariableAsString": 4, "getServerVariableAsString": 2,
      "getClientSelfVariableAsInt": 12}


def rule(fn, code=1, skip=0, count=1, filt=0):
    return bytes([FN[fn], code - 1, skip, count, filt])


requests = {
    "unknown-00": [0x00],
    "unknown-07": [0x07, 0xAA, 0xBB],
    "empty": [],
    "server-name": [0x02],
    "channel-list": [0x03],
    "client-list": [0x05],
    "control-disconnect": [0x04, 0x01],
    "control-microphone": [0x04, 0x02],
    "control-away": [0x04, 0x03],
    "control-speakers": [0x04, 0x04],
    "control-talk-request": [0x04, 0x05],
    "control-none": [0x04, 0x06, 0xAA],
    "control-move-self": [0x04, 0x07, 0x00, 0x00, 0x00, 0x02, 0x00, 0x03, 0x61, 0x62, 0x63],
    "control-kick-channel": [0x04, 0x08, 0x00, 0x07],
    "control-kick-server": [0x04, 0x09, 0x00, 0x07],
    "control-ban": [0x04, 0x0A, 0x00, 0x07, 0x00, 0x00, 0x0E, 0x10],
    "control-move-client": [0x04, 0x0B, 0x00, 0x07, 0x00, 0x00, 0x00, 0x01],
}
failing = {
    "client-list-no-own-id": (rule("getClientID", code=7), [0x05, 0xAA]),
    "channel-list-name-fails-later": (rule("getChannelVariableAsString", skip=4), [0x03]),
    "server-name-fails": (rule("getServerVariableAsString"), [0x02]),
    "microphone-read-fails": (rule("getClientSelfVariableAsInt"), [0x04, 0x02]),
}

for old in (HERE / "corpus").glob("seed-*"):
    old.unlink()
for name, request in requests.items():
    (HERE / "corpus" / f"seed-{name}").write_bytes(model + no_rules + bytes(request))
for name, (rules, request) in failing.items():
    (HERE / "corpus" / f"seed-{name}").write_bytes(model + bytes([1]) + rules + bytes(request))


# The mirror's seeds: what the 6 series sends, as far as it differs from the earlier clients.
def message(kind, connection=None, reply=None, **payload):
    """An event of a connection, or with `reply` the status of an answer to the app."""
    if connection is not None:
        payload = dict(connectionId=connection, **payload)
    frame = {"type": kind, "payload": payload}
    if reply is not None:
        frame["status"] = reply
    return frame


OK = {"code": 0, "message": "ok"}


def channel(cid, parent, order, name):
    return {"id": cid, "parentId": parent, "order": order, "properties": {"name": name, "flagPassword": False,
                                                                          "neededTalkPower": 0}}


def own(connection, **changed):
    return message("clientPropertiesUpdated", connection, clientId=2, properties=changed, hotReload=False)


def connect_status(connection, status, info):
    return message("connectStatusChanged", connection, status=status, error=0, hotReload=False, info=info)


def moved(connection, client, old, new, kind, properties=None, invoker=None):
    payload = dict(clientId=client, oldChannelId=old, newChannelId=new, type=kind, visibility=0, hotReload=False,
                   message="", properties=properties)
    if invoker:
        payload["invoker"] = {"id": 9, "nickname": "Admin", "uid": "YWRtaW4="}
    return message("clientMoved", connection, **payload)


def press_reply(button, state):
    frame = message("buttonPress", None, OK, button=button, state=state)
    frame["returnCode"] = ""
    return frame


TREE = {"rootChannels": [channel("1", "0", "0", "Lobby"), channel("2", "0", "1", "Games")],
        "subChannels": {"2": [channel("3", "2", "0", "Raid")], "3": [channel("4", "3", "0", "Deep")]}}


def tab(connection, capture):
    # The snapshot names each client's channel by number.
    return {"id": connection, "clientId": 2, "status": 4,
            "properties": {"name": "Tab %d" % connection, "uniqueIdentifier": "dGFi"}, "channelInfos": TREE,
            "clientInfos": [{"id": 2, "channelId": 1, "properties": {"nickname": "Me", "inputMuted": False,
                                                                      "outputMuted": False, "away": False,
                                                                      "inputHardware": capture}},
                            {"id": 3, "channelId": 4, "properties": {"nickname": "Ann", "flagTalking": True}}]}


def snapshot(connections):
    return message("auth", None, OK, apiKey="k" * 36, currentConnectionId=0, connections=connections)


mirror_seeds = {
    "snapshot-and-handover": [
        snapshot([tab(1, True), tab(2, False)]),
        own(1, inputMuted=True), own(1, inputHardware=False), own(2, inputHardware=True),
        press_reply("g19-microphone", True), press_reply("g19-microphone", False),
        moved(2, 3, "4", "1", 2, invoker=True), moved(2, 3, "1", "0", 5, invoker=True),
    ],
    "connect": [
        snapshot([]),
        connect_status(1, 1, None),
        connect_status(1, 2, {"clientId": 2, "legacyUUID": "bGVnYWN5", "serverName": "Tab 1", "serverUid": "dWlk"}),
        connect_status(1, 3, {"clientId": 2}),
        moved(1, 2, "0", "1", 0, {"nickname": "Me", "inputHardware": True}),
        moved(1, 3, "0", "4", 0, {"nickname": "Ann"}),
        message("channels", 1, info=TREE, hotReload=False),
        connect_status(1, 4, {"clientId": 2}),
        moved(1, 3, "4", "1", 1), moved(1, 3, "1", "2", 4, invoker=True), moved(1, 3, "2", "0", 3),
        message("channels", 1, info={"rootChannels": "x", "subChannels": 5}),
        connect_status(1, 0, None),
    ],
}
for old in (HERE / "mirror-corpus").glob("seed-6series-*"):
    old.unlink()
for name, messages in mirror_seeds.items():
    lines = "".join(json.dumps(m, separators=(",", ":")) + "\n" for m in messages)
    (HERE / "mirror-corpus" / f"seed-6series-{name}").write_text(lines, encoding="utf-8")


def incoming(trace):
    """The messages in of a trace, in order, as the voice client sent them."""
    messages = []
    for line in trace.read_text(encoding="utf-8").splitlines():
        try:
            entry = json.loads(line)
        except ValueError:
            continue
        if isinstance(entry, dict) and isinstance(entry.get("in"), dict):
            messages.append(json.dumps(entry["in"], separators=(",", ":"), ensure_ascii=False))
    return messages


def chunks(messages):
    """Inputs of at most MIRROR_MESSAGES messages; each after the first starts with the snapshot
    the events after it build on."""
    snapshot = None
    chunk = []
    for message in messages:
        is_snapshot = json.loads(message).get("type") == "auth"
        if not chunk and snapshot is not None and not is_snapshot:
            chunk.append(snapshot)
        if is_snapshot:
            snapshot = message
        chunk.append(message)
        if len(chunk) == MIRROR_MESSAGES:
            yield chunk
            chunk = []
    if chunk:
        yield chunk


for old in (HERE / "mirror-corpus").glob("seed-trace-*"):
    old.unlink()
for trace in sorted(TRACES.glob("*.trace")):
    for number, chunk in enumerate(chunks(incoming(trace))):
        suffix = "" if number == 0 else f"-{number + 1}"
        (HERE / "mirror-corpus" / f"seed-trace-{trace.stem}{suffix}").write_text("\n".join(chunk) + "\n",
                                                                               encoding="utf-8")
