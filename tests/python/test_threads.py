"""Several bases from several threads: each call lets go of the GIL while
it waits, and Base.interrupt() cuts another thread's call short."""

import threading

import pytest

import orbitane
from orbitane.testing import simulator

SILENT_STATUS = {"faults": [{"request": "getStatus", "kind": "silent"}]}


def test_three_bases_read_from_three_threads():
    with simulator({"status": {"battery_percentage": 11}}) as a, \
            simulator({"status": {"battery_percentage": 22}}) as b, \
            simulator({"status": {"battery_percentage": 33}}) as c:
        results, errors = {}, []

        def read(sim):
            try:
                with sim.connect() as base:
                    seen = {base.status().battery_percent for _ in range(200)}
                    seen |= {r.battery_percent for r in base.monitor("status", count=50)}
                    results[sim.port] = (seen, base.motor().left_odometer_mm, base.link_counts().answers)
            except Exception as e:  # reported below, with the thread's failure
                errors.append(e)

        threads = [threading.Thread(target=read, args=(sim,)) for sim in (a, b, c)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(60)
        assert not errors
        assert results == {a.port: ({11}, 0, 252), b.port: ({22}, 0, 252), c.port: ({33}, 0, 252)}


def test_a_waiting_call_holds_up_no_other_thread_and_can_be_cut():
    with simulator(SILENT_STATUS, quiet=False) as slow, simulator() as quick:
        with slow.connect() as waiting, quick.connect() as other:
            outcome = []

            def wait_for_status():
                try:
                    waiting.status()
                except orbitane.Error as e:
                    outcome.append(e)

            thread = threading.Thread(target=wait_for_status)
            thread.start()
            slow.wait_for_line(r"getStatus \(0x30\) -> no answer")
            # The other base answers while the first call still waits.
            assert [other.status().battery_percent for _ in range(5)] == [80] * 5
            assert thread.is_alive()
            waiting.interrupt()
            thread.join(30)
            assert [type(e) for e in outcome] == [orbitane.Interrupted]
            assert waiting.link_counts().timeouts == 0  # cut, not timed out
            waiting.reset_interrupt()
            assert waiting.motor().motor_state == 0


def test_a_monitor_waiting_in_one_thread_refuses_another():
    with simulator(SILENT_STATUS, quiet=False) as sim, sim.connect() as base:
        readings = base.monitor("status")
        outcome = []
        thread = threading.Thread(target=lambda: outcome.append(pytest.raises(orbitane.Timeout, next, readings)))
        thread.start()
        sim.wait_for_line(r"getStatus \(0x30\) -> no answer")
        with pytest.raises(ValueError, match="already"):
            next(readings)
        thread.join(30)
        assert len(outcome) == 1 and list(readings) == []
