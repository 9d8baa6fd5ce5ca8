#!/usr/bin/env python3
"""docs/scenario.schema.json against the simulator's own validation: both accept every example
scenario of the documentation, and both refuse each of a set of broken ones.

  scenario_schema_test.py VERDICTS DOCS

VERDICTS is the program that prints the simulator's verdict on scenario files; DOCS the
docs/ folder. Needs Debian's python3-jsonschema (scripts/deps installs it).
"""

import glob
import json
import os
import subprocess
import sys
import tempfile
import unittest

try:
    import jsonschema
except ImportError:
    sys.exit("scenario_schema_test: python3-jsonschema is missing; run scripts/deps")

VERDICTS = DOCS = None

GOOD_CLIENT = {"id": 3, "nickname": "me", "channel": 1}

# Each breaks one rule of the format, the others held.
BROKEN = {
    "misspelt field": {"connections": [{"schid": 1, "clients": [dict(GOOD_CLIENT, nickame="x")]}]},
    "unknown top-level field": {"current": 1, "server": {"name": "x"}},
    "client ID beyond 16 bits": {"connections": [{"schid": 1, "clients": [dict(GOOD_CLIENT, id=65536)]}]},
    "negative channel ID": {"connections": [{"schid": 1, "channels": [{"id": -1}]}]},
    "channel without an ID": {"connections": [{"schid": 1, "channels": [{"name": "Lobby"}]}]},
    "connection without a schid": {"connections": [{"self": 1}]},
    "property beyond 32 bits": {"connections": [{"schid": 1, "channels": [{"id": 1, "order": 2147483648}]}]},
    "property number not a number": {"connections": [{"schid": 1, "channels": [{"id": 1, "props": {"x": 1}}]}]},
    "listed as a number": {"connections": [{"schid": 1, "clients": [dict(GOOD_CLIENT, listed=1)]}]},
    "server name as a number": {"connections": [{"schid": 1, "server": {"name": 5}}]},
    "negative round trip": {"connections": [{"schid": 1, "server": {"roundTripMs": -1}}]},
    "failure of a function the plug-in never calls": {"failures": [{"fn": "getServerVersion"}]},
    "failure with code 0": {"failures": [{"fn": "getClientID", "code": 0}]},
    "failure count beyond 32 bits": {"failures": [{"fn": "getClientID", "count": 4294967296}]},
    "connections not a list": {"connections": {"schid": 1}},
    "binding to an action the client lacks": {"bindings": {"g19-microphone": "mute"}},
    "binding not a text": {"bindings": {"g19-microphone": 1}},
    "remote apps key not a text": {"remoteAppsKeys": [1]},
}


def simulator_verdicts(paths):
    output = subprocess.run([VERDICTS] + paths, capture_output=True, text=True, check=True).stdout
    return {line["file"]: line["error"] for line in map(json.loads, output.splitlines())}


class ScenarioSchema(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(os.path.join(DOCS, "scenario.schema.json"), encoding="utf-8") as file:
            schema = json.load(file)
        jsonschema.Draft7Validator.check_schema(schema)
        cls.validator = jsonschema.Draft7Validator(schema)

    def schema_error(self, path):
        with open(path, encoding="utf-8") as file:
            error = jsonschema.exceptions.best_match(self.validator.iter_errors(json.load(file)))
        return None if error is None else error.message

    def test_every_example_passes_both(self):
        examples = sorted(glob.glob(os.path.join(DOCS, "scenarios", "*.json")))
        examples.append(os.path.join(DOCS, "example-server.json"))
        self.assertGreaterEqual(len(examples), 4)
        verdicts = simulator_verdicts(examples)
        for path in examples:
            self.assertIsNone(verdicts[path], path)
            self.assertIsNone(self.schema_error(path), path)

    def test_each_broken_scenario_fails_both(self):
        with tempfile.TemporaryDirectory() as folder:
            paths = {}
            for name, scenario in BROKEN.items():
                paths[name] = os.path.join(folder, name.replace(" ", "_") + ".json")
                with open(paths[name], "w", encoding="utf-8") as file:
                    json.dump(scenario, file)
            verdicts = simulator_verdicts(list(paths.values()))
            for name, path in paths.items():
                self.assertIsNotNone(verdicts[path], "the simulator accepts: " + name)
                self.assertIsNotNone(self.schema_error(path), "the schema accepts: " + name)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    VERDICTS, DOCS = sys.argv[1:3]
    unittest.main(argv=sys.argv[:1], verbosity=2)
