"""Each failure kind raises its own class, with the kind, the result code
and the base's error code that the console's JSON failure object carries
for it."""

import socket

import pytest

import orbitane
from orbitane.testing import simulator

TIMEOUT, FAIL, INVALID, NOT_SUPPORTED = -2147450878, -2147450879, -2147450880, -2147450876


def fault(kind, **more):
    return {"faults": [dict({"request": "getStatus", "kind": kind}, **more)]}


# fault of the status request, class, kind, result, base_error, cause
REQUEST_FAILURES = [
    (fault("silent"), orbitane.Timeout, "timeout", TIMEOUT, None, "timeout"),
    (fault("error", error_code=7), orbitane.BaseError, "base_error", FAIL, 7, "refused"),
    (fault("unsupported"), orbitane.NotSupported, "not_supported", NOT_SUPPORTED, 32768, "not_supported"),
    (fault("bad_checksum"), orbitane.InvalidAnswer, "invalid_answer", INVALID, None, "corrupted"),
    (fault("short", size=1), orbitane.InvalidAnswer, "invalid_answer", INVALID, None, "invalid_answer"),
    (fault("close"), orbitane.LinkClosed, "link_closed", FAIL, None, "link_closed"),
]


def check(error, cls, kind, result, base_error):
    assert type(error) is cls
    assert isinstance(error, orbitane.Error)
    assert orbitane.ERRORS_BY_KIND[kind] is cls
    assert (error.kind, error.result, error.base_error) == (kind, result, base_error)
    assert error.result_hex == "%08X" % (result & 0xFFFFFFFF)
    assert str(error)


@pytest.mark.parametrize("scenario,cls,kind,result,base_error,cause", REQUEST_FAILURES,
                         ids=[row[2] + ":" + row[0]["faults"][0]["kind"] for row in REQUEST_FAILURES])
def test_a_failed_request_raises_its_kind(scenario, cls, kind, result, base_error, cause):
    with simulator(scenario) as sim, sim.connect() as base:
        with pytest.raises(cls) as raised:
            base.status()
        check(raised.value, cls, kind, result, base_error)
        assert (raised.value.cause, raised.value.written) == (cause, True)
        assert raised.value.args[0].startswith("status: %08X: " % (result & 0xFFFFFFFF))


def test_a_lost_serial_line_is_a_link_failure():
    with simulator(fault("close"), options=["--pty"]) as sim, orbitane.connect(sim.serial_uri,
                                                                              sync_pauses=(0, 0)) as base:
        with pytest.raises(orbitane.LinkFailed) as raised:
            base.status()
        check(raised.value, orbitane.LinkFailed, "link_failed", FAIL, None)


def test_the_failures_of_the_library_itself_have_their_kinds(simulator, base):
    with socket.socket() as free:
        free.bind(("127.0.0.1", 0))
        port = free.getsockname()[1]
    for call, cls, kind, result in [
        (lambda: orbitane.connect("tcp://127.0.0.1:%d" % port), orbitane.ConnectFailed, "connect_failed", 4),
        (lambda: orbitane.connect("tcp://base-7.invalid"), orbitane.HostNotFound, "host_not_found", 4),
        (lambda: orbitane.connect("udp://127.0.0.1:1"), orbitane.UsageError, "usage", 2),
        (lambda: base.monitor("stauts"), orbitane.UnknownCommand, "unknown_command", 5),
    ]:
        with pytest.raises(cls) as raised:
            call()
        check(raised.value, cls, kind, result, None)
    # Base.interrupt(): every call fails until the interrupt is reset.
    base.interrupt()
    assert base.interrupted
    with pytest.raises(orbitane.Interrupted) as raised:
        base.status()
    check(raised.value, orbitane.Interrupted, "interrupted", FAIL, None)
    base.reset_interrupt()
    assert base.status().battery_percent == 80


def test_exceptions_are_also_the_builtin_ones_they_resemble():
    assert issubclass(orbitane.Timeout, TimeoutError)
    assert issubclass(orbitane.UsageError, ValueError)
    assert set(orbitane.ERRORS_BY_KIND) == {
        "timeout", "base_error", "not_supported", "invalid_answer", "link_closed", "link_failed", "connect_failed",
        "host_not_found", "usage", "unknown_command", "interrupted", "output_lost", "internal"}
