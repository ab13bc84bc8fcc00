"""Testing one's own robot scripts against the bundled simulator.

    from orbitane.testing import simulator

    with simulator({"status": {"battery_percentage": 15}}) as sim:
        with sim.connect() as base:
            assert base.status().battery_percent == 15

simulator() starts orbitane_base_sim on a free loopback port, optionally
with a scenario (a dict, or the path of a JSON file: docs/simulator.md),
and stops it at the end of the block. Under pytest the same is the fixture
`simulator` (this module is a pytest plugin); a test gives its scenario
with the marker @pytest.mark.orbitane_scenario({...}).

The simulator is looked for in this order: $ORBITANE_BASE_SIM, the build
tree the package was loaded from (build/orbitane_base_sim beside
build/python), the programs' folder of the installation the package is in
(/usr/bin for /usr/lib/python3/dist-packages), /usr/bin, then the PATH.
"""

import collections
import contextlib
import json
import os
import re
import selectors
import shutil
import signal
import subprocess
import tempfile
import threading
import time
from typing import Any, Deque, Dict, Iterator, List, Optional, Sequence, Union

__all__ = ["Simulator", "simulator", "find_simulator", "SimulatorError"]

READY = re.compile(r"^listening on tcp 127\.0\.0\.1:(\d+)$")
PTY_READY = re.compile(r"^pty (\S+)$")
# How long the simulator may take to say it listens, and to stop.
START_SECONDS = 30.0
STOP_SECONDS = 10.0
# Log lines kept for wait_for_line() and log().
KEPT_LINES = 100000

Scenario = Union[None, Dict[str, Any], str, "os.PathLike[str]"]


class SimulatorError(RuntimeError):
    """The simulator could not be found, or did not start."""


def find_simulator() -> str:
    """The path of orbitane_base_sim (see the module's text for the order)."""
    given = os.environ.get("ORBITANE_BASE_SIM")
    if given:
        return given
    package = os.path.dirname(os.path.abspath(__file__))
    candidates = [
        # build/python/orbitane -> build/orbitane_base_sim
        os.path.join(os.path.dirname(os.path.dirname(package)), "orbitane_base_sim"),
        # PREFIX/lib/python3/dist-packages/orbitane -> PREFIX/bin (also in an unpacked package)
        os.path.normpath(os.path.join(package, "..", "..", "..", "..", "bin", "orbitane_base_sim")),
        "/usr/bin/orbitane_base_sim",
    ]
    for candidate in candidates:
        if os.path.isfile(candidate) and os.access(candidate, os.X_OK):
            return candidate
    found = shutil.which("orbitane_base_sim")
    if found:
        return found
    raise SimulatorError("orbitane_base_sim not found: install the orbitane-console package, "
                         "or set ORBITANE_BASE_SIM to the program")


class Simulator:
    """A running simulator: its URI, its log, and a connect() that needs no
    synchronisation pauses."""

    def __init__(self, process: "subprocess.Popen[bytes]", port: int, pty: Optional[str], quiet: bool,
                 said: List[str], pending: bytes) -> None:
        self.process = process
        self.port = port
        self.uri = "tcp://127.0.0.1:%d" % port
        # With options=["--pty"]: the pseudo-terminal standing in for the
        # serial port, and its URI.
        self.pty = pty
        self.serial_uri = "serial://" + pty if pty else None
        self.quiet = quiet
        self._lines: Deque[str] = collections.deque(said, maxlen=KEPT_LINES)
        self._pending = pending
        self._changed = threading.Condition()
        self._reader = threading.Thread(target=self._read, name="orbitane-simulator-log", daemon=True)
        self._reader.start()

    def connect(self, **options: Any) -> Any:
        """orbitane.connect(self.uri) without the synchronisation pauses."""
        import orbitane
        options.setdefault("sync_pauses", (0.0, 0.0))
        return orbitane.connect(self.uri, **options)

    def log(self) -> List[str]:
        """The simulator's log lines so far (with quiet=False: one per request)."""
        with self._changed:
            return list(self._lines)

    def wait_for_line(self, pattern: str, timeout: float = 10.0, count: int = 1) -> List[str]:
        """Waits until `count` log lines match the regular expression, at most
        `timeout` seconds; the matching lines. AssertionError when they do
        not come."""
        expression = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self._changed:
            while True:
                found = [line for line in self._lines if expression.search(line)]
                if len(found) >= count:
                    return found
                left = deadline - time.monotonic()
                if left <= 0 or (not self._reader.is_alive() and self.process.poll() is not None):
                    raise AssertionError("the simulator logged %d of %d lines matching %r" %
                                         (len(found), count, pattern))
                self._changed.wait(left)

    def stop(self) -> None:
        """Stops the simulator (SIGTERM; SIGKILL when it does not end in time)."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(STOP_SECONDS)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self._reader.join(STOP_SECONDS)

    def _read(self) -> None:
        assert self.process.stdout is not None
        fd = self.process.stdout.fileno()
        pending = self._pending
        while True:
            try:
                chunk = os.read(fd, 65536)
            except OSError:
                chunk = b""
            *lines, pending = (pending + chunk).split(b"\n")
            with self._changed:
                self._lines.extend(line.decode("utf-8", "replace") for line in lines)
                if not chunk and pending:
                    self._lines.append(pending.decode("utf-8", "replace"))
                self._changed.notify_all()
            if not chunk:
                return

    def __repr__(self) -> str:
        return "<orbitane.testing.Simulator %s>" % self.uri


def _start(scenario_file: Optional[str], quiet: bool, options: Sequence[str]) -> Simulator:
    args = [find_simulator(), "--tcp", "127.0.0.1:0"]
    if quiet:
        args.append("--quiet")
    if scenario_file is not None:
        args += ["--scenario", scenario_file]
    args += list(options)
    try:
        process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                   bufsize=0)
    except OSError as e:
        raise SimulatorError("cannot start %s: %s" % (args[0], e)) from None
    assert process.stdout is not None
    fd = process.stdout.fileno()
    want_pty = "--pty" in options
    port: Optional[int] = None
    pty: Optional[str] = None
    said: List[str] = []
    pending = b""
    deadline = time.monotonic() + START_SECONDS
    try:
        with selectors.DefaultSelector() as selector:
            selector.register(fd, selectors.EVENT_READ)
            while port is None or (want_pty and pty is None):
                left = deadline - time.monotonic()
                if left <= 0 or not selector.select(left):
                    raise SimulatorError("the simulator did not start within %g s: %s" %
                                         (START_SECONDS, " | ".join(said)))
                chunk = os.read(fd, 65536)
                if not chunk:
                    process.wait(STOP_SECONDS)
                    raise SimulatorError("the simulator exited with %s: %s" % (process.returncode, " | ".join(said)))
                *lines, pending = (pending + chunk).split(b"\n")
                for raw in lines:
                    line = raw.decode("utf-8", "replace")
                    said.append(line)
                    match = READY.match(line)
                    if match:
                        port = int(match.group(1))
                    match = PTY_READY.match(line)
                    if match:
                        pty = match.group(1)
        return Simulator(process, port, pty, quiet, said, pending)
    except BaseException:
        if process.poll() is None:
            process.kill()
        process.wait()
        raise


@contextlib.contextmanager
def simulator(scenario: Scenario = None, *, quiet: bool = True, options: Sequence[str] = ()) -> Iterator[Simulator]:
    """Starts the simulator on a free loopback port and stops it when the
    block ends. scenario: None (the built-in base), a dict, or the path of
    a scenario file. quiet=False keeps its log line per request (log(),
    wait_for_line()). options: further options of orbitane_base_sim
    (["--legacy"], ["--baud", "115200"], ...); with "--pty" it serves a
    pseudo-terminal as well, the serial port of Simulator.serial_uri."""
    with tempfile.TemporaryDirectory(prefix="orbitane-sim-") as folder:
        scenario_file: Optional[str] = None
        if isinstance(scenario, dict):
            scenario_file = os.path.join(folder, "scenario.json")
            with open(scenario_file, "w") as out:
                json.dump(scenario, out)
        elif scenario is not None:
            scenario_file = os.fspath(scenario)
        sim = _start(scenario_file, quiet, options)
        try:
            yield sim
        finally:
            sim.stop()


# ---------------------------------------------------------------------------
# pytest: the fixture `simulator` and the marker orbitane_scenario.

try:
    import pytest
except ImportError:  # pragma: no cover - without pytest there is no fixture
    pytest = None  # type: ignore[assignment]

if pytest is not None:
    def pytest_configure(config: Any) -> None:
        config.addinivalue_line(
            "markers", "orbitane_scenario(scenario, quiet=True, options=()): what the simulator fixture starts")

    @pytest.fixture(name="simulator")
    def simulator_fixture(request: Any) -> Iterator[Simulator]:
        """A simulator on a free loopback port for the test, stopped after it."""
        marker = request.node.get_closest_marker("orbitane_scenario")
        args = marker.args if marker is not None else ()
        kwargs = dict(marker.kwargs) if marker is not None else {}
        with simulator(*args, **kwargs) as sim:
            yield sim
