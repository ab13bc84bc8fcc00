"""Every reading through the package is the console's JSON object for the
same reading: the same members, the same values (to the six decimals the
JSON keeps)."""

import math
import time

import pytest

import orbitane
from orbitane.testing import simulator
from conftest import console_objects


def agree(ours, theirs, path="reading"):
    """Python values (to_dict) against parsed JSON, numbers to 1e-6."""
    if isinstance(theirs, dict):
        assert isinstance(ours, dict), path
        assert sorted(ours) == sorted(theirs), path
        for key in theirs:
            agree(ours[key], theirs[key], path + "." + key)
    elif isinstance(theirs, list):
        assert isinstance(ours, list) and len(ours) == len(theirs), path
        for i, (a, b) in enumerate(zip(ours, theirs)):
            agree(a, b, "%s[%d]" % (path, i))
    elif isinstance(theirs, bool) or isinstance(theirs, str) or theirs is None:
        assert ours == theirs, "%s: %r != %r" % (path, ours, theirs)
    else:
        assert isinstance(ours, (int, float)) and not isinstance(ours, bool), path
        assert math.isclose(ours, theirs, rel_tol=0, abs_tol=1e-6), "%s: %r != %r" % (path, ours, theirs)


def compare(base, sim, calls, options=()):
    """Each (console line, reading) against the console's object for it."""
    objects = console_objects(sim, [line for line, _ in calls], options)
    assert len(objects) == len(calls)
    for (line, read), theirs in zip(calls, objects):
        reading = read(base)
        theirs = {k: v for k, v in theirs.items() if k not in ("command", "t")}
        agree(reading.to_dict(), theirs, line)
        # The attributes are the dict's members.
        for key, value in reading.to_dict().items():
            attribute = getattr(reading, key)
            if not isinstance(value, (dict, list)):
                assert attribute == value, line + "." + key


SCENARIOS = {
    # The built-in base: binary configuration, three sonars, two bumpers, two cliffs, beacons.
    "default": None,
    # An older base: the legacy record, the legacy "charging", a bumper
    # pressed, and a base that asks for the host's identity.
    "legacy": {"legacy_base": True, "status": {"battery_percentage": 15, "charging_flags": 1},
               "bumper_bits": 5, "pending_command": 81},
}


@pytest.mark.parametrize("name", sorted(SCENARIOS))
def test_every_reading_is_the_consoles_json_object(name):
    with simulator(SCENARIOS[name]) as sim, sim.connect() as base:
        # A poll answers a base's request for the host's identity, which
        # the base then forgets: the console polls a twin of the base.
        with simulator(SCENARIOS[name]) as twin:
            agree(base.poll().to_dict(), {k: v for k, v in console_objects(twin, ["poll"])[0].items()
                                          if k not in ("command", "t")}, "poll")
        compare(base, sim, [
            ("status", lambda b: b.status()),
            ("motor", lambda b: b.motor()),
            ("sensor", lambda b: b.sensor()),
            ("bumper", lambda b: b.bumper()),
            ("beacon", lambda b: b.beacon()),
            ("identity", lambda b: b.identity()),
            ("config", lambda b: b.config()),
        ])
        compare(base, sim, [("bumper", lambda b: b.bumper(active_low=True))], ["--bumper-active-low"])
        assert [base.status().command, base.config().command, base.poll().command] == ["status", "config", "poll"]
        if name == "legacy":
            assert base.config().legacy and base.config().decoded is None and base.config().lidar_pose is None
            assert base.poll().answered_get_info is None  # asked and answered once


def test_an_event_sends_its_code(simulator, base):
    assert base.event(44) == 44
    assert [base.event(c) for c in (0, 255)] == [0, 255]
    for code in (-1, 256, 300):
        with pytest.raises(orbitane.UsageError):
            base.event(code)


def test_monitor_repeats_and_paces_readings(base):
    readings = list(base.monitor("status", count=3))
    assert [r.command for r in readings] == ["status"] * 3
    rounds = list(base.monitor("status,motor", interval=0.01, count=2))
    assert [type(r).__name__ for r in rounds] == ["Status", "Motor", "Status", "Motor"]
    assert [type(r) for r in base.monitor(["sensor", "identity"], count=1)] == [orbitane.SensorReading,
                                                                                   orbitane.Identity]
    # No round starts after the duration; the first always does.
    timed = list(base.monitor("status", interval=0.02, duration=0.05))
    assert 1 <= len(timed) <= 4
    for what, options, error in [("stauts", {}, orbitane.UnknownCommand), ("poll", {}, orbitane.UnknownCommand),
                                 ("", {}, orbitane.UsageError), ("status", {"interval": -1}, orbitane.UsageError),
                                 ("status", {"count": 0}, orbitane.UsageError),
                                 ("status", {"duration": 0}, orbitane.UsageError),
                                 ("status", {"interval": "soon"}, orbitane.UsageError)]:
        with pytest.raises(error):
            base.monitor(what, **options)


# The readings a script repeats are the C++ core's light objects: each
# (method, class, command) behaves as the other readings do.
LIGHT_READINGS = [("identity", orbitane.Identity, "identity"), ("status", orbitane.Status, "status"),
                  ("motor", orbitane.Motor, "motor")]


@pytest.mark.parametrize("method,cls,command", LIGHT_READINGS, ids=[row[0] for row in LIGHT_READINGS])
def test_a_light_reading_is_a_reading_like_the_others(base, method, cls, command):
    reading, again = getattr(base, method)(), getattr(base, method)()
    assert type(reading) is cls and reading.command == cls.command == command
    members = reading.to_dict()
    assert repr(reading) == "%s(%s)" % (cls.__name__, ", ".join("%s=%r" % item for item in members.items()))
    assert reading == again and not reading != again and reading != base.sensor() and reading != members
    with pytest.raises(TypeError):
        hash(reading)
    for name in (next(iter(members)), "extra"):
        with pytest.raises(AttributeError):
            setattr(reading, name, 1)
    with pytest.raises(TypeError):
        cls()


def test_a_monitor_ends_for_good_at_a_failed_reading():
    # The first status is answered, the ones after it refused.
    scenario = {"faults": [{"request": "getStatus", "kind": "error", "error_code": 7, "after": 1}]}
    with simulator(scenario) as sim, sim.connect() as base:
        readings = base.monitor("motor,status", count=3)
        assert [type(next(readings)) for _ in range(3)] == [orbitane.Motor, orbitane.Status, orbitane.Motor]
        with pytest.raises(orbitane.BaseError):
            next(readings)
        assert list(readings) == []
        # A count beyond any whole number of the machine's is no end either.
        assert next(base.monitor("motor", count=10 ** 30)).motor_state == 0


def test_paced_steps_stay_on_the_grid_after_a_late_one():
    interval = 0.4
    start, times = None, []
    for step in orbitane.paced(interval=interval, count=4):
        now = time.monotonic()
        start = now if start is None else start
        times.append(now - start)
        if step == 1:  # overrun grid point 2, to 2.5 intervals
            time.sleep(2.5 * interval - times[1])
    # Step 2 follows the late step 1 at once, before grid point 3; step 3 is
    # on grid point 3, where a pacing shifted by the late step would put it
    # an interval after step 2 (each bound leaves half an interval).
    assert interval <= times[1] and 2.5 * interval <= times[2] < 3 * interval <= times[3] < 3.5 * interval


def test_a_link_opens_from_the_consoles_options_and_closes_with_its_block(simulator):
    with orbitane.connect(channel="tcp", host="127.0.0.1", port=simulator.port, sync_pauses=(0, 0)) as base:
        assert base.channel == "tcp:127.0.0.1:%d" % simulator.port
        assert base.identity().channel == base.channel
        assert base.is_open
    assert not base.is_open
    with pytest.raises(orbitane.UsageError, match="was closed"):
        base.status()
    base.close()  # again: nothing
    for args, options in [((), {}), ((simulator.uri,), {"channel": "tcp"}),
                          ((simulator.uri,), {"sync_pauses": (0, -1)}), ((simulator.uri,), {"sync_pauses": "x"}),
                          ((), {"channel": "usb"}), ((), {"channel": "serial"})]:
        with pytest.raises(orbitane.UsageError):
            orbitane.connect(*args, **options)


def test_the_link_accounts_for_every_request(base):
    before = base.link_counts()
    for _ in range(5):
        base.status()
    after = base.link_counts()
    assert after.requests - before.requests == 5 and after.answers - before.answers == 5
    assert after.corrupted == after.timeouts == after.late_answers == 0
