"""What the package's tests share: where the build is, and the console's
JSON objects for the same readings, to hold the package's readings
against."""

import json
import os
import subprocess
from typing import Dict, List

import pytest

SOURCE_DIR = os.environ.get("ORBITANE_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
BIN_DIR = os.environ.get("ORBITANE_BIN_DIR", os.path.join(SOURCE_DIR, "build"))
PYTHON_DIR = os.path.join(BIN_DIR, "python")


def console_objects(sim, commands: List[str], options: List[str] = (), timeout: float = 60) -> List[Dict]:
    """The console's JSON objects for `commands`, run in one session on the
    simulator's port, with the console's `options`."""
    result = subprocess.run(
        [os.path.join(BIN_DIR, "orbitane_console"), "base", "-c", "tcp", "--host", "127.0.0.1", "-p",
         str(sim.port), "--json", *options, "session"],
        input="\n".join(commands) + "\n", capture_output=True, text=True, timeout=timeout)
    assert result.returncode == 0, result.stderr
    return [json.loads(line) for line in result.stdout.splitlines()]


def child_env() -> Dict[str, str]:
    """The environment of a Python child that imports the package under test."""
    env = dict(os.environ)
    env["PYTHONPATH"] = PYTHON_DIR + os.pathsep + env.get("PYTHONPATH", "")
    return env


@pytest.fixture
def base(simulator):
    """A link to the test's simulator."""
    with simulator.connect() as link:
        yield link
