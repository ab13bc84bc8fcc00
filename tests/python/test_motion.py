"""The motion scope: every way out of it sends the stop, checks its answer
and keeps the truth about it, also on an exception and on Ctrl-C."""

import os
import signal
import subprocess
import sys
import textwrap

import pytest

import orbitane
from orbitane.testing import simulator
from conftest import child_env

STOP = r"setVelocity vx=0\.000 m/s vy=0\.000 m/s omega=0\.000 rad/s"
MOVE = r"setVelocity vx=0\.200 m/s"


def last_velocity_is_the_stop(sim):
    velocities = [line for line in sim.log() if "setVelocity" in line]
    return bool(velocities) and "vx=0.000 m/s vy=0.000 m/s omega=0.000 rad/s" in velocities[-1]


def test_the_stop_goes_out_when_the_block_ends_or_raises():
    with simulator(quiet=False) as sim, sim.connect() as base:
        with base.motion() as m:
            moved = m.velocity(0.2, 0.0)
        assert isinstance(moved, orbitane.Displacement)
        assert (m.ended, m.stop_outcome.confirmed, m.stop_outcome.attempts) == (True, True, 1)
        sim.wait_for_line(STOP)
        with pytest.raises(RuntimeError, match="the script's own fault"):
            with base.motion() as m:
                m.wheels(0.1, 0.1)
                raise RuntimeError("the script's own fault")
        assert m.stop_outcome.confirmed and base.last_stop.confirmed
        sim.wait_for_line(r"setMotor left=0 mm/s right=0 mm/s")
        # A scope that never moved sends nothing.
        with base.motion() as m:
            pass
        assert not m.stop_outcome.sent


def test_a_stop_the_base_does_not_confirm_is_said():
    # The first velocity is answered, the stops that follow are refused.
    scenario = {"faults": [{"request": "setVelocity", "kind": "error", "error_code": 9, "after": 1}]}
    with simulator(scenario) as sim, sim.connect() as base:
        with pytest.raises(orbitane.BaseError, match="did not confirm the stop request") as raised:
            with base.motion() as m:
                m.velocity(0.1)
        outcome = m.stop_outcome
        assert (outcome.sent, outcome.confirmed, outcome.attempts, outcome.kind) == (True, False, 3, "base_error")
        assert raised.value.result == outcome.result
    # An exception already on its way is left as it is.
    with simulator(scenario) as sim, sim.connect() as base:
        with pytest.raises(KeyError):
            with base.motion() as m:
                m.velocity(0.1)
                raise KeyError("first")
        assert not m.stop_outcome.confirmed


def test_a_scope_refuses_what_it_cannot_send(base):
    with base.motion() as m:
        with pytest.raises(orbitane.UsageError, match="already open"):
            base.motion()
        m.velocity(0.1, 0.0, 0.2)
        for call in (lambda: m.wheels(0.1, 0.1), lambda: m.velocity(float("nan")),
                     lambda: m.velocity(40000.0), lambda: m.velocity(0.1, omega=float("inf"))):
            with pytest.raises(orbitane.UsageError):
                call()
        m.stop()
        with pytest.raises(orbitane.UsageError, match="has ended"):
            m.velocity(0.1)


# The child drives, then blocks until the test sends SIGINT: in a status
# request the base never answers ("request"), in time.sleep ("python") or
# in a monitor's wait for its second round ("monitor").
CHILD = textwrap.dedent("""
    import sys, time, orbitane
    uri, where = sys.argv[1], sys.argv[2]
    with orbitane.connect(uri, sync_pauses=(0, 0)) as base:
        try:
            with base.motion() as m:
                m.velocity(0.2)
                if where == "monitor":
                    for _ in base.monitor("motor", interval=60):
                        print("moving", flush=True)
                print("moving", flush=True)
                if where == "request":
                    base.status()
                elif where == "python":
                    time.sleep(60)
            print("not interrupted", flush=True)
        except KeyboardInterrupt:
            o = m.stop_outcome
            print("stopped", o.sent, o.confirmed, o.attempts, o.kind, flush=True)
            # Requests that timed out (a cut one does not count), and the
            # base is usable again.
            print("timeouts", base.link_counts().timeouts, flush=True)
            print("motor", base.motor().left_odometer_mm >= 0, flush=True)
            sys.exit(130)
""")


# What the child prints. In time.sleep nothing is owed: the stop is
# confirmed at once. In a request the base never answers, the status's
# wait is cut at once, and the stop goes out at once; but the status's
# answer is still owed, so no answer can confirm the stop (docs/safety.md),
# whose wait ends after its time-out, with no second attempt after a
# signal: the truth is that the base may still be moving.
SAID = {
    "python": ["stopped True True 1 None", "timeouts 0", "motor True"],
    "monitor": ["stopped True True 1 None", "timeouts 0", "motor True"],
    "request": ["stopped True False 1 timeout", "timeouts 1", "motor True"],
}


@pytest.mark.parametrize("where", sorted(SAID))
def test_ctrl_c_stops_the_base_then_raises_keyboard_interrupt(where):
    scenario = {"faults": [{"request": "getStatus", "kind": "silent"}]}
    with simulator(scenario, quiet=False) as sim:
        child = subprocess.Popen([sys.executable, "-c", CHILD, sim.uri, where], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True, env=child_env())
        try:
            assert child.stdout.readline() == "moving\n", child.stderr.read()
            if where == "request":
                sim.wait_for_line(r"getStatus \(0x30\) -> no answer")
            child.send_signal(signal.SIGINT)
            out, err = child.communicate(timeout=30)
        finally:
            if child.poll() is None:
                child.kill()
                child.wait()
        assert child.returncode == 130, err
        assert out.splitlines() == SAID[where], err
        sim.wait_for_line(STOP)
        assert last_velocity_is_the_stop(sim)


def test_a_control_loop_bounds_its_waits_and_ends_at_rest_without_another_stop():
    scenario = {"faults": [{"request": "getStatus", "kind": "delay", "delay_ms": 400, "times": 1}]}
    with simulator(scenario, quiet=False) as sim, sim.connect() as base:
        for unusable in (2.0, 1e300, -0.5, 0.0001, float("nan")):
            with pytest.raises(orbitane.UsageError):
                base.answer_timeout = unusable
        base.answer_timeout = 0.05
        with pytest.raises(orbitane.Timeout):
            base.status()
        # Its late answer is owed: only a request with an answer of its size would wait.
        assert (base.would_wait("status"), base.would_wait("bumper"), base.would_wait("velocity")) == \
            (True, False, False)
        with pytest.raises(orbitane.UsageError):
            base.would_wait("stauts")
        base.answer_timeout = 0
        assert base.answer_timeout == 1.0
        assert len(base.distances_mm()) == 16 and isinstance(base.bumper_bits(), int)
        assert not base.link_lost
        with base.motion() as m:
            m.velocity(0.2)
            m.velocity(0.0)
            assert m.at_rest
            assert m.finish().confirmed
        # The simulator logs in order: once the status after the scope is
        # logged, any stop sent before it is too.
        base.status()
        sim.wait_for_line(r"getStatus", count=2)
        assert len(sim.wait_for_line(r"setVelocity")) == 2
