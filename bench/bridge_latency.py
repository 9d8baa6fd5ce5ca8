#!/usr/bin/env python3
"""g19-bridge end to end over loopback: how long from a talkStatusChanged frame leaving a Remote
Apps server to the first 05 answer that shows it, with 1,000 clients on the server; and the
bridge's footprint there: resident memory, and CPU while nothing changes.

  bridge_latency.py G19_BRIDGE [--trials N] [--idle-seconds S] [--json FILE]

The Remote Apps server is this script's own (Debian's python3-websockets); the display polls
05 on one connection as fast as the answers come, so the figure includes one 05 at most.
"""

import argparse
import asyncio
import json
import os
import re
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

import websockets

CLIENTS = 1000
CHANNELS = 200
WATCHED = 500  # the client whose talking light is watched


def snapshot():
    roots = [{"id": str(i), "parentId": "0", "order": str(i - 1), "properties": {"name": f"Channel {i}"}}
             for i in range(1, CHANNELS + 1)]
    clients = [{"id": i, "channelId": str(1 + i % CHANNELS),
                "properties": {"nickname": f"Player_{i}", "flagTalking": False, "inputMuted": False,
                               "outputMuted": False, "away": False, "inputHardware": i == 1}}
               for i in range(1, CLIENTS + 1)]
    connection = {"id": 1, "clientId": 1, "status": 4, "properties": {"name": "Latency"},
                  "channelInfos": {"rootChannels": roots, "subChannels": None}, "clientInfos": clients}
    return {"type": "auth", "status": {"code": 0, "message": "ok"},
            "payload": {"apiKey": "latency", "connections": [connection]}}


def talking_of(answer, client):
    """The talking field of `client` in a 05 answer."""
    count = struct.unpack_from(">q", answer, 17)[0]
    offset = 25
    for _ in range(count):
        cid = struct.unpack_from(">q", answer, offset)[0]
        name_length = struct.unpack_from(">H", answer, offset + 8)[0]
        talking = struct.unpack_from(">q", answer, offset + 10 + name_length)[0]
        if cid == client:
            return talking
        offset += 8 + 2 + name_length + 8 + 8 + 4 + 8
    return None


def read_05(sock):
    sock.sendall(b"\x05")
    data = b""
    while True:
        data += sock.recv(1 << 20)
        if len(data) >= 25:
            try:
                # Complete when every entry can be walked.
                count = struct.unpack_from(">q", data, 17)[0]
                offset = 25
                for _ in range(count):
                    name_length = struct.unpack_from(">H", data, offset + 8)[0]
                    offset += 8 + 2 + name_length + 8 + 8 + 4 + 8
                if offset <= len(data):
                    return data
            except struct.error:
                pass


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("bridge")
    parser.add_argument("--trials", type=int, default=200)
    parser.add_argument("--idle-seconds", type=float, default=10.0)
    parser.add_argument("--json")
    args = parser.parse_args()

    loop = asyncio.new_event_loop()
    sockets = []
    ready = threading.Event()

    async def handler(ws, path=None):
        await ws.recv()
        await ws.send(json.dumps(snapshot()))
        sockets.append(ws)
        async for _ in ws:
            pass

    async def serve():
        server = await websockets.serve(handler, "127.0.0.1", 0, max_size=None)
        port = server.sockets[0].getsockname()[1]
        return server, port

    server, port = loop.run_until_complete(serve())
    threading.Thread(target=loop.run_forever, daemon=True).start()

    with tempfile.TemporaryDirectory() as work:
        bridge = subprocess.Popen([args.bridge, "--remote-apps", f"ws://127.0.0.1:{port}", "--display-port", "0",
                                   "--key-file", os.path.join(work, "key")],
                                  stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)
        try:
            display_port = None
            deadline = time.monotonic() + 20
            while display_port is None and time.monotonic() < deadline:
                line = bridge.stderr.readline()
                match = re.search(r"serving the display on [0-9.]+:(\d+)", line)
                if match:
                    display_port = int(match.group(1))
            if display_port is None:
                sys.exit("bridge_latency: the bridge did not start serving")
            threading.Thread(target=lambda: [None for _ in bridge.stderr], daemon=True).start()
            sock = None
            while time.monotonic() < deadline:
                try:
                    sock = socket.create_connection(("127.0.0.1", display_port), timeout=5)
                    if talking_of(read_05(sock), WATCHED) is not None:
                        break
                except OSError:
                    time.sleep(0.2)
            latencies = []
            for trial in range(args.trials):
                status = 1 if trial % 2 == 0 else 0
                frame = json.dumps({"type": "talkStatusChanged", "payload": {
                    "connectionId": 1, "clientId": WATCHED, "status": status, "isWhisper": False}})
                sent = time.perf_counter()
                asyncio.run_coroutine_threadsafe(sockets[0].send(frame), loop).result()
                while talking_of(read_05(sock), WATCHED) != status:
                    if time.perf_counter() - sent > 2:
                        sys.exit("bridge_latency: a change never showed")
                latencies.append((time.perf_counter() - sent) * 1000.0)
            sock.close()

            # Footprint: resident memory with the 1,000 clients, and CPU while nothing happens.
            def cpu_seconds():
                fields = open(f"/proc/{bridge.pid}/stat").read().rsplit(")", 1)[1].split()
                return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
            before = cpu_seconds()
            time.sleep(args.idle_seconds)
            idle_percent = (cpu_seconds() - before) / args.idle_seconds * 100.0
            rss_kib = int(re.search(r"VmRSS:\s+(\d+)", open(f"/proc/{bridge.pid}/status").read()).group(1))
        finally:
            bridge.terminate()
            bridge.wait(timeout=10)

    latencies.sort()
    result = {"trials": len(latencies), "p50_ms": statistics.median(latencies),
              "p99_ms": latencies[int(len(latencies) * 0.99) - 1], "max_ms": latencies[-1],
              "rss_mib": rss_kib / 1024.0, "idle_cpu_percent": idle_percent}
    print(json.dumps(result))
    if args.json:
        with open(args.json, "w") as out:
            json.dump(result, out)


if __name__ == "__main__":
    main()
