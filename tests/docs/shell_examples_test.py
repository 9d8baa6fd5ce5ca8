#!/usr/bin/env python3
"""The shell examples of README.md and docs/ that start g19-hostsim in the background run
verbatim as scripts, as a reader who pastes them into a file would run them: `bash -e`, in a
directory where `build/default/tools/...` and `docs/` are the build's tools and the
repository's documents, with both tools on PATH too. Each must end with status 0 and no
error from g19-probe. Needs port 12132.

  shell_examples_test.py SOURCE_DIR HOSTSIM PROBE
"""

import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import unittest

SOURCE = HOSTSIM = PROBE = None
# The plug-in listens 2 s after the start; the probe's own waits are bounded by 5 s each.
SCRIPT_TIMEOUT_S = 60
# What the simulator takes to stop after the script's `kill -INT %1`.
STOP_TIMEOUT_S = 10

BLOCK = re.compile(r"^```sh\n(.*?)^```", re.MULTILINE | re.DOTALL)


def documents():
    yield "README.md"
    for name in sorted(os.listdir(os.path.join(SOURCE, "docs"))):
        if name.endswith(".md"):
            yield os.path.join("docs", name)


def scripts():
    """(where, text) of every block that starts the simulator in the background."""
    for document in documents():
        with open(os.path.join(SOURCE, document), encoding="utf-8") as file:
            text = file.read()
        for match in BLOCK.finditer(text):
            block = match.group(1)
            if re.search(r"g19-hostsim[^\n#]*&\s*(#.*)?$", block, re.MULTILINE):
                line = text.count("\n", 0, match.start()) + 1
                yield "%s:%d" % (document, line), block


def group_gone(group):
    try:
        os.killpg(group, 0)
    except ProcessLookupError:
        return True
    return False


def end_group(group):
    """Whatever the script left running is stopped as Ctrl-C would, then killed."""
    deadline = time.monotonic() + STOP_TIMEOUT_S
    while not group_gone(group) and time.monotonic() < deadline:
        time.sleep(0.05)
    if not group_gone(group):
        os.killpg(group, signal.SIGINT)
        time.sleep(2)
        if not group_gone(group):
            os.killpg(group, signal.SIGKILL)
        return False
    return True


class ShellExamples(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.TemporaryDirectory(prefix="shell_examples_")
        tools = os.path.join(self.work.name, "build", "default", "tools")
        os.makedirs(tools)
        # The simulator loads the plug-in from beside its own file, so the folders are linked.
        os.symlink(os.path.dirname(HOSTSIM), os.path.join(tools, "hostsim"))
        os.symlink(os.path.dirname(PROBE), os.path.join(tools, "probe"))
        os.symlink(os.path.join(SOURCE, "docs"), os.path.join(self.work.name, "docs"))

    def tearDown(self):
        self.work.cleanup()

    def test_blocks_that_start_the_simulator_run_as_scripts(self):
        found = list(scripts())
        self.assertIn("docs/protocol.md", [where.split(":")[0] for where, _ in found])
        environment = dict(os.environ, NO_COLOR="1")
        environment["PATH"] = os.pathsep.join(
            [os.path.dirname(HOSTSIM), os.path.dirname(PROBE), environment.get("PATH", "")])
        for where, script in found:
            with self.subTest(where), tempfile.TemporaryFile("w+") as out, tempfile.TemporaryFile("w+") as err:
                # Files, not pipes: a simulator left running by a failed script keeps them open.
                run = subprocess.Popen(["bash", "-e", "-c", script], cwd=self.work.name, env=environment,
                                       stdout=out, stderr=err, text=True, start_new_session=True)
                try:
                    run.wait(timeout=SCRIPT_TIMEOUT_S)
                except subprocess.TimeoutExpired:
                    os.killpg(run.pid, signal.SIGKILL)
                    run.wait()
                stopped = end_group(run.pid)
                out.seek(0)
                err.seek(0)
                printed, errors = out.read(), err.read()
                report = "%s\n--- stdout\n%s--- stderr\n%s" % (script, printed, errors)
                self.assertEqual(run.returncode, 0, report)
                self.assertNotIn("g19-probe:", errors, report)
                self.assertTrue(printed.strip(), report)
                self.assertTrue(stopped, "the simulator outlived the script's kill -INT\n" + report)


if __name__ == "__main__":
    SOURCE, HOSTSIM, PROBE = (os.path.abspath(path) for path in sys.argv[1:4])
    unittest.main(argv=sys.argv[:1], verbosity=2)
