"""The simulated voice client as the bridge's tests and scripts/record-traces drive it:
g19-hostsim's Remote Apps face without the plug-in, changed through its web console's JSON
API (docs/console.md), and what a display sees of the bridge, asked with g19-probe --json."""

import json
import subprocess
import time
import urllib.request

from display_link import FIRST_ANSWER_S, Program


class SimClient:
    """One g19-hostsim with --remote-apps and --web on free ports (or the Remote Apps port given)."""

    def __init__(self, launcher, hostsim, scenario, *options, remote_apps_port=0):
        self.program = Program(launcher, hostsim, "--scenario", scenario, "--no-plugin",
                               "--remote-apps", str(remote_apps_port), "--web", "0", *options)
        found = self.program.wait_line(r"hostsim: remote apps on (ws://127\.0\.0\.1:(\d+))", FIRST_ANSWER_S)
        if not found:
            self.program.kill()
            raise AssertionError("no Remote Apps face:\n" + self.program.text())
        self.url, self.port = found.group(1), int(found.group(2))
        web = self.program.wait_line(r"hostsim: web console on http://127\.0\.0\.1:(\d+)/", FIRST_ANSWER_S)
        if not web:
            self.program.kill()
            raise AssertionError("no web console:\n" + self.program.text())
        self.web = "http://127.0.0.1:%s" % web.group(1)

    def api(self, method, path, body=None):
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(self.web + path, data=data, method=method,
                                         headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=10) as answer:
            return json.loads(answer.read() or b"null")

    def approve_waiting(self, timeout=FIRST_ANSWER_S):
        """Approves the first request for approval once one waits, as the user would."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            pending = self.api("GET", "/api/remote-apps")["pending"]
            if pending:
                return self.api("POST", "/api/remote-apps/requests/%d/approve" % pending[0]["request"])
            time.sleep(0.1)
        raise AssertionError("no request for approval came")

    def stop(self):
        """Stops it as Ctrl-C would; kills it if it hangs."""
        self.program.process.send_signal(2)
        self.program.stop(10)

    def kill(self):
        self.program.kill()


def display_view(launcher, probe, port):
    """The display's view, as g19-bridge --replay --answers prints it: the lines of g19-probe
    --json server, channels and clients, "null" for a query that got no answer."""
    lines = []
    for command in ("server", "channels", "clients"):
        asked = subprocess.run(launcher + [probe, "--json", "--port", str(port), "--timeout", "2", command],
                               capture_output=True, stdin=subprocess.DEVNULL, timeout=60)
        out = asked.stdout.decode("utf-8").replace("\r\n", "\n")
        if asked.returncode == 0:
            lines.append(out.rstrip("\n"))
        elif asked.returncode == 1 and not out and b"no answer" in asked.stderr:
            lines.append("null")
        else:
            raise AssertionError("g19-probe %s: %d %s" % (command, asked.returncode, asked.stderr.decode()))
    return "\n".join(lines) + "\n"


def wait_for(condition, timeout=10, what="the change"):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return
        time.sleep(0.1)
    raise AssertionError("%s did not show within %d s" % (what, timeout))
