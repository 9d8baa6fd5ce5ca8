"""What the bridge tests share: the display side of port 12132 (an encoder and a strict
decoder of the 02, 03 and 05 answers, written from docs/protocol.md, and one persistent
display connection), and the programs run as subprocesses with their standard error read
as it comes. Nothing here comes from the bridge or the simulator."""

import collections
import os
import re
import socket
import struct
import subprocess
import threading
import time

# A connection is taken up about 1 s after the listener opens; a Wine start adds its own.
FIRST_ANSWER_S = 20
ANSWER_S = 2
# How long silence must last to count as "nothing comes back": answers take milliseconds.
SILENCE_S = 0.4

Channel = collections.namedtuple("Channel", "id name talk_power order parent password",
                                 defaults=(0, 0, 0, 0))
Client = collections.namedtuple("Client", "id nickname talking channel talk_request talker mic speakers recording "
                                          "away commander muted", defaults=(0,) * 10)
# What a display sees of the server in front.
Front = collections.namedtuple("Front", "name own channels clients")

CLIENT_FLAGS = Client._fields[4:]


def i64(value):
    return struct.pack(">q", value)


def string(text):
    data = text.encode("utf-8")
    return struct.pack(">H", len(data)) + data


def signed32(value):
    """The order as the plug-in reads it: the low 32 bits, widened with their sign."""
    value &= 0xFFFFFFFF
    return value - (1 << 32) if value & 0x80000000 else value


def channel_record(c):
    return i64(c.id) + string(c.name) + i64(c.talk_power) + i64(signed32(c.order)) + i64(c.parent) + i64(c.password)


def client_record(c):
    # Only the low 16 bits of the talk request (a time) and of the talker flag travel.
    return (i64(c.id) + string(c.nickname) + i64(c.talking) + i64(c.channel)
            + struct.pack(">HH", c.talk_request & 0xFFFF, c.talker & 0xFFFF)
            + bytes([c.mic & 0xFF, c.speakers & 0xFF, c.recording & 0xFF, 0, 0, c.away & 0xFF, c.commander & 0xFF,
                     c.muted & 0xFF]))


def own_channel(front):
    return next((c.channel for c in front.clients if c.id == front.own), 0)


def answer_02(version, name=None):
    return b"\x02" + string(version) + (b"" if name is None else string(name))


def answer_03(front):
    return b"\x03" + i64(len(front.channels)) + b"".join(channel_record(c) for c in front.channels)


def answer_05(front):
    return (b"\x05" + i64(front.own) + i64(own_channel(front)) + i64(len(front.clients))
            + b"".join(client_record(c) for c in front.clients))


def reference_answers(path=os.path.join(os.path.dirname(__file__), "..", "..", "docs", "protocol.md")):
    """{block title: answer bytes} of docs/protocol.md's wire examples, to check the encoder with."""
    with open(path, encoding="utf-8") as file:
        blocks = re.findall(r"```wire\n# ([^\n]*)\n(.*?)```", file.read(), re.S)
    return {title: bytes.fromhex(" ".join(line[1:].split("#")[0] for line in body.splitlines()
                                          if line.startswith("<")))
            for title, body in blocks}


# docs/example-server.json as a display sees it: what the reference's examples answer.
EXAMPLE_SERVER = Front("G19 Demo Server", 1, (
    Channel(1, "Lobby"), Channel(2, "Gaming", order=1), Channel(3, "Raid Team", parent=2, password=1),
    Channel(5, "Music Stage", 25, 2),
), (
    Client(1, "G19 User", channel=1), Client(2, "Alice", 1, 1), Client(4, "Carol", 0, 3, mic=1, commander=1),
))


class Short(Exception):
    """The answer is not complete yet."""


class Reader:
    def __init__(self, data):
        self.data, self.at = data, 0

    def take(self, n):
        if self.at + n > len(self.data):
            raise Short()
        self.at += n
        return self.data[self.at - n:self.at]

    def i64(self):
        return struct.unpack(">q", self.take(8))[0]

    def string(self):
        return self.take(struct.unpack(">H", self.take(2))[0]).decode("utf-8", "replace")


def split_answer(data):
    """(header bytes, [record bytes]) of a complete 03 or 05 answer; Short while incomplete;
    ValueError for anything that is not one whole answer."""
    reader = Reader(data)
    tag = reader.take(1)
    if tag == b"\x03":
        reader.take(8)
    elif tag == b"\x05":
        reader.take(24)
    else:
        raise ValueError("tag %r" % tag)
    count = struct.unpack(">q", data[reader.at - 8:reader.at])[0]
    header, records = data[:reader.at], []
    for _ in range(count):
        start = reader.at
        reader.take(8)
        reader.string()
        reader.take(32 if tag == b"\x03" else 28)
        records.append(data[start:reader.at])
    if reader.at != len(data):
        raise ValueError("%d bytes after the answer" % (len(data) - reader.at))
    return header, records


def decode_05(data):
    """A Front (name None) from a 05 answer, for readable failures and for comparing flags."""
    header, records = split_answer(data)
    clients = []
    for record in records:
        reader = Reader(record)
        cid, nickname, talking, channel = reader.i64(), reader.string(), reader.i64(), reader.i64()
        talk_request, talker = struct.unpack(">HH", reader.take(4))
        flags = reader.take(8)
        clients.append(Client(cid, nickname, talking, channel, talk_request, talker, flags[0], flags[1], flags[2],
                              flags[5], flags[6], flags[7]))
    return Front(None, struct.unpack(">q", header[1:9])[0], (), tuple(clients))


def complete(request, data):
    """True once the answer is whole; for 02, "maybe" after the version, since the name may
    be left out; False while more must come."""
    try:
        if request[0] == 2:
            reader = Reader(data)
            reader.take(1)
            reader.string()
            if reader.at == len(data):
                return "maybe"
            reader.string()
            return True
        if request[0] in (3, 5):
            split_answer(data)
            return True
    except Short:
        return False
    except ValueError:
        return True  # not an answer: no more bytes will make it one
    return False  # the others are waited out


class Display:
    """One connection to a display port, kept for every request, as a display program does."""

    def __init__(self, port, first_answer_s=FIRST_ANSWER_S):
        self.port = port
        deadline = time.monotonic() + first_answer_s
        while True:
            try:
                self.socket = socket.create_connection(("127.0.0.1", port), timeout=1)
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.2)
        # The first answer shows that the listener has taken the connection up.
        first = self.ask(b"\x02", first_answer_s)
        if not first.startswith(b"\x02"):
            raise AssertionError("no first answer on port %d: %r" % (port, first))

    def pending(self):
        self.socket.settimeout(0.001)
        try:
            return self.socket.recv(65536)
        except (socket.timeout, BlockingIOError):
            return b""

    def ask(self, request, timeout=ANSWER_S):
        """The whole answer to one request; b"" when nothing comes back within timeout."""
        late = self.pending()
        if late:
            raise AssertionError("bytes nobody asked for: %s" % late.hex(" "))
        self.socket.sendall(request)
        answer = b""
        deadline = time.monotonic() + timeout
        while True:
            state = complete(request, answer)
            if state is True:
                break
            if state == "maybe":
                # The name may follow in another piece: the probe waits 200 ms for it too.
                deadline = min(deadline, time.monotonic() + 0.2)
            left = deadline - time.monotonic()
            if left <= 0:
                break
            self.socket.settimeout(left)
            try:
                piece = self.socket.recv(65536)
            except socket.timeout:
                break
            if not piece:
                break
            answer += piece
        return answer

    def act(self, request, pause_s=0.1):
        """A control request: nothing comes back; wait for the listener to take it."""
        self.socket.sendall(request)
        time.sleep(pause_s)

    def close(self):
        self.socket.close()


class Program:
    """A program of the build, its standard error read line by line as it comes."""

    def __init__(self, launcher, program, *arguments, env=None):
        self.lines = []
        self.changed = threading.Condition()
        self.process = subprocess.Popen(launcher + [program] + list(arguments), stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
        self.reader = threading.Thread(target=self.read, daemon=True)
        self.reader.start()

    def read(self):
        for raw in self.process.stderr:
            with self.changed:
                self.lines.append(raw.decode("utf-8", "replace").rstrip("\r\n"))
                self.changed.notify_all()

    def wait_line(self, pattern, timeout, after=0):
        """The first match of pattern in a line from number `after` on; None at the time-out."""
        expression = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self.changed:
            while True:
                for line in self.lines[after:]:
                    found = expression.search(line)
                    if found:
                        return found
                left = deadline - time.monotonic()
                if left <= 0 or self.process.poll() is not None:
                    return None
                self.changed.wait(min(left, 0.1))

    def count(self, pattern):
        with self.changed:
            return sum(1 for line in self.lines if re.search(pattern, line))

    def text(self):
        with self.changed:
            return "\n".join(self.lines)

    def stop(self, timeout):
        """Kills it if still running after `timeout` seconds; its exit code."""
        try:
            return self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            return None
        finally:
            self.reader.join(timeout=2)
            self.process.stderr.close()

    def sanitizer_report(self):
        """The first line of a sanitizer's report on standard error (a sanitized build), or None."""
        with self.changed:
            return next((line for line in self.lines if re.search(r"(Address|Thread|UndefinedBehavior)Sanitizer", line)),
                        None)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.reader.join(timeout=2)
        self.process.stderr.close()
