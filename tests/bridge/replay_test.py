#!/usr/bin/env python3
"""g19-bridge --replay over the recorded sessions of tests/bridge/traces/: every trace there
(scripts/record-traces made them) replays to the display's view recorded beside it, and a
trace with bad lines is played past them, counting them, while one of an unknown format stops.

  replay_test.py BRIDGE TRACES [LAUNCHER...]

LAUNCHER runs a program of the build (Wine for the Windows build), nothing for a native one.
"""

import glob
import json
import os
import re
import subprocess
import sys
import tarfile
import tempfile
import unittest
import zipfile

BRIDGE = TRACES = None
LAUNCHER = []


def replay(trace, *extra):
    done = subprocess.run(LAUNCHER + [BRIDGE, "--replay", trace, "--speed", "0", "--answers", "--display-port", "0"]
                          + list(extra), capture_output=True, stdin=subprocess.DEVNULL, timeout=120)
    return done.returncode, done.stdout.decode("utf-8").replace("\r\n", "\n"), done.stderr.decode("utf-8", "replace")


def expected_of(trace):
    with open(trace[:-len(".trace")] + ".answers", encoding="utf-8") as file:
        return file.read()


class RecordedSessions(unittest.TestCase):
    def test_every_trace_replays_to_the_view_recorded_beside_it(self):
        traces = sorted(glob.glob(os.path.join(TRACES, "*.trace")))
        self.assertGreaterEqual(len(traces), 4, "the recorded sessions are missing")
        for trace in traces:
            with self.subTest(trace=os.path.basename(trace)):
                code, out, err = replay(trace)
                self.assertEqual(code, 0, err)
                self.assertEqual(out, expected_of(trace), err)
                self.assertIn("0 lines skipped", err)


class Reports(unittest.TestCase):
    """A report is read whatever wrote it: here Python's own zip and tar modules."""

    def test_a_trace_in_a_zip_or_a_tar_gz_replays_as_the_trace_itself(self):
        trace = os.path.join(TRACES, "busy-server.trace")
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        zipped = os.path.join(folder.name, "report.zip")
        with zipfile.ZipFile(zipped, "w", zipfile.ZIP_DEFLATED) as archive:
            archive.writestr("report/README.txt", "a report\n")
            archive.write(trace, "report/messages.trace")
        packed = os.path.join(folder.name, "report.tar.gz")
        with tarfile.open(packed, "w:gz") as archive:
            archive.add(trace, "report/messages.trace")
        for path in (zipped, packed):
            with self.subTest(os.path.basename(path)):
                code, out, err = replay(path)
                self.assertEqual(code, 0, err)
                self.assertEqual(out, expected_of(trace), err)
        damaged = os.path.join(folder.name, "damaged.tar.gz")
        with open(packed, "rb") as source, open(damaged, "wb") as target:
            target.write(source.read()[:-40])
        code, out, err = replay(damaged)
        self.assertEqual(code, 2, err)
        self.assertIn("cannot read the report", err)


class BadLines(unittest.TestCase):
    """A trace of the first approval, and one event the display would show: the own client talking."""

    def setUp(self):
        self.trace = os.path.join(TRACES, "first-approval.trace")
        self.expected = expected_of(self.trace)
        with open(self.trace, encoding="utf-8") as file:
            self.lines = file.read().splitlines()
        snapshot = next(json.loads(line)["in"] for line in self.lines
                        if '"in":' in line and json.loads(line)["in"].get("type") == "auth")
        connection = snapshot["payload"]["connections"][0]
        self.event = json.dumps({"t_ms": 99999.0, "in": {"type": "talkStatusChanged", "payload": {
            "connectionId": connection["id"], "clientId": connection["clientId"], "status": 1, "isWhisper": False}}})
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)

    def write(self, text):
        path = os.path.join(self.folder.name, "edited.trace")
        with open(path, "w", encoding="utf-8") as file:
            file.write(text)
        return path

    def test_the_event_changes_the_view(self):
        # Else the cases below would pass whatever the replay made of the bad line.
        code, out, err = replay(self.write("\n".join(self.lines + [self.event]) + "\n"))
        self.assertEqual(code, 0, err)
        self.assertNotEqual(out, self.expected)

    def test_bad_lines_are_skipped_and_counted(self):
        unknown_key = self.event[:-1] + ', "extra": 1}'
        cases = {
            "cut off at the end, as a crashing bridge leaves it": (self.lines, self.event[:len(self.event) // 2], "",
                                                                   "cut off"),
            "not JSON": (self.lines + ["{this is not json"], "", "\n", "not JSON"),
            "an unknown key": (self.lines + [unknown_key], "", "\n", 'unknown key "extra"'),
            "a message of the wrong type": (self.lines + ['{"t_ms": 1, "in": "talkStatusChanged"}'], "", "\n",
                                            '"in" of the wrong type'),
            "no time": (self.lines + [json.dumps({"in": json.loads(self.event)["in"]})], "", "\n", "no t_ms"),
        }
        for name, (lines, tail, end, reason) in cases.items():
            with self.subTest(name):
                code, out, err = replay(self.write("\n".join(lines) + "\n" + tail + end))
                self.assertEqual(code, 0, err)
                self.assertEqual(out, self.expected, err)
                self.assertRegex(err, r"skipped line %d: %s" % (len(lines) + (1 if tail else 0), re.escape(reason)))
                self.assertIn("1 line skipped", err)

    def test_an_unknown_format_stops_the_replay(self):
        header = json.loads(self.lines[0])
        newer = dict(header, trace=header["trace"] + 1)
        cases = {
            "a newer format": ([json.dumps(newer)] + self.lines[1:], r"trace of format %d" % newer["trace"]),
            "a newer format appended": (self.lines + [json.dumps(newer)], r"trace of format %d" % newer["trace"]),
            "no header": (self.lines[1:], r"not a trace of g19-bridge"),
        }
        for name, (lines, said) in cases.items():
            with self.subTest(name):
                code, out, err = replay(self.write("\n".join(lines) + "\n"))
                self.assertEqual(code, 2, err)
                self.assertEqual(out, "")
                self.assertRegex(err, said)


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    BRIDGE, TRACES = sys.argv[1:3]
    LAUNCHER = sys.argv[3:]
    unittest.main(argv=sys.argv[:1], verbosity=2)
