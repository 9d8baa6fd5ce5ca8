#!/usr/bin/env python3
"""Writes the seed corpora of the fuzzers. The request fuzzer's: one request of each kind on a
small server, and a few with host failures; the input layout is described at the top of
request_fuzzer.cpp. The mirror fuzzer's: the messages the voice client sent in each recorded
session of tests/bridge/traces/, one a line, as mirror_fuzzer.cpp reads them.
Run from anywhere; it rewrites fuzz/corpus/seed-* and fuzz/mirror-corpus/seed-trace-*."""
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
