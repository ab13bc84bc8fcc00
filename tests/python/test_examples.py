"""The example program of the C++ API (examples/status.cpp), run as a user
would run it."""

import os
import subprocess

from conftest import BIN_DIR

PROGRAM = os.path.join(BIN_DIR, "examples", "orbitane_example_status")


def run(*args):
    return subprocess.run([PROGRAM, *args], capture_output=True, text=True, timeout=60)


def test_the_example_reads_and_drives(simulator):
    done = run(simulator.uri, "--drive", "0.3")
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0] == "ORB-BASE firmware 1.2 serial 4F52426954414E4500000001 at tcp:127.0.0.1:%d" % simulator.port
    assert lines[1:5] == ["battery 80 % (Charging from cable)", "odometers 0.000 m, 0.000 m", "Sonar #0: 0.350 m",
                          "Sonar #1: 1.200 m"]
    assert lines[-1].startswith("drove ") and lines[-1].endswith("stop confirmed after 1 attempt")


def test_the_example_says_what_failed():
    assert run().returncode == 2
    refused = run("udp://127.0.0.1:1")
    assert refused.returncode == 2 and "(usage, 00000002)" in refused.stderr
    missing = run("serial:///dev/orbitane-no-such-device")
    assert missing.returncode == 1 and "no such device" in missing.stderr
