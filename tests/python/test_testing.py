"""orbitane.testing: the simulator for one's own tests, as a context
manager and as the pytest fixture `simulator`."""

import json
import os

import pytest

import orbitane
from orbitane.testing import SimulatorError, find_simulator, simulator as start_simulator


def test_the_fixture_serves_the_built_in_base(simulator):
    assert simulator.uri == "tcp://127.0.0.1:%d" % simulator.port
    with simulator.connect() as base:
        assert base.identity().model == "ORB-BASE"


@pytest.mark.orbitane_scenario({"status": {"battery_percentage": 7}, "faults": [
    {"request": "getMotorData", "kind": "error", "error_code": 3}]})
def test_a_marker_gives_the_fixture_its_scenario(simulator):
    with simulator.connect() as base:
        assert base.status().battery_percent == 7
        with pytest.raises(orbitane.BaseError) as raised:
            base.motor()
        assert raised.value.base_error == 3


def test_a_scenario_file_and_simulator_options(tmp_path):
    path = tmp_path / "low.json"
    path.write_text(json.dumps({"status": {"battery_percentage": 9}}))
    with start_simulator(path) as sim, sim.connect() as base:
        assert base.status().battery_percent == 9
    with start_simulator(options=["--legacy"]) as sim, sim.connect() as base:
        assert base.config().legacy


def test_a_simulator_that_cannot_start_says_why(monkeypatch, tmp_path):
    bad = tmp_path / "bad.json"
    bad.write_text("{ not json")
    with pytest.raises(SimulatorError, match="exited with 2"):
        with start_simulator(bad):
            pass
    monkeypatch.setenv("ORBITANE_BASE_SIM", str(tmp_path / "missing"))
    assert find_simulator() == str(tmp_path / "missing")
    with pytest.raises(SimulatorError, match="cannot start"):
        with start_simulator():
            pass
