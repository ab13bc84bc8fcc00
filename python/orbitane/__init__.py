"""orbitane: scripts and programs talking to a robot's motion base.

    import orbitane

    with orbitane.connect("tcp://127.0.0.1:11331") as base:
        print(base.status().battery_percent)
        with base.motion() as m:      # every way out of the block stops the base
            m.velocity(0.2, 0.0)

Readings come back as small typed objects with the members of the
console's JSON objects (battery_percent, left_odometer_mm, ...). Failures
raise orbitane.Error, one subclass per kind. See docs/python.md.
"""

from typing import Optional, Tuple, Union

from . import _orbitane
from ._errors import (BaseError, ConnectFailed, Error, ERRORS_BY_KIND, HostNotFound, Internal, Interrupted,
                      InvalidAnswer, LinkClosed, LinkFailed, NotSupported, OutputLost, Timeout, UnknownCommand,
                      UsageError)
from ._orbitane import (Base, BeaconReading, Bumper, BumperReading, Config, ConfigSensor, Displacement,
                        DistanceSensor, HostInfo, Identity, LinkCounts, Motion, Motor, PollReading, Pose, Probe,
                        SensorReading, Status, StopOutcome)
from ._pacing import READINGS, monitor as _monitor, paced
from ._version import __version__

# The readings and their pacing, on the Base.
Base.monitor = _monitor  # type: ignore[attr-defined]

# The pauses after the two synchronisation frames, as the console makes them.
DEFAULT_SYNC_PAUSES = (0.2, 0.5)


def connect(uri: Optional[str] = None, *, channel: Optional[str] = None, host: Optional[str] = None,
            port: Union[int, str, None] = None,
            sync_pauses: Tuple[float, float] = DEFAULT_SYNC_PAUSES) -> Base:
    """Opens a link to a base and reads its identity.

    uri: "tcp://HOST:PORT", "tcp://HOST" (port 11331), "tcp://[::1]:11331",
    "serial:///dev/ttyUSB0", or the console's "tcp:HOST:PORT" and
    "serial:DEVICE". Instead of a URI, the console's channel options:
    channel ("tcp" or "serial"), host (--host) and port (-p: the TCP port
    or the serial device), with the console's defaults.

    sync_pauses: the seconds after the first and the second synchronisation
    frame; a simulator needs none, (0, 0).

    Use it in a with-statement: the link closes at the end of the block."""
    if (uri is None) == (channel is None):
        raise UsageError("connect: give a URI, or the channel options (channel=, host=, port=), not both",
                         kind="usage", result=2)
    if uri is None:
        uri = _orbitane.endpoint_of_options(channel, host, None if port is None else str(port))
    try:
        first, second = (float(p) for p in sync_pauses)
    except (TypeError, ValueError):
        raise UsageError("sync_pauses: two numbers of seconds, not %r" % (sync_pauses,), kind="usage",
                         result=2) from None
    return _orbitane.open(uri, first, second)


def library_version() -> str:
    """The version of liborbitane, as the console prints its own ("2.0.0_dev")."""
    return _orbitane.__version__


__all__ = [
    "connect", "paced", "library_version", "READINGS", "DEFAULT_SYNC_PAUSES", "__version__",
    "Base", "Motion",
    "Identity", "Status", "Motor", "SensorReading", "DistanceSensor", "BumperReading", "Bumper", "Pose",
    "BeaconReading", "Probe", "Config", "ConfigSensor", "PollReading", "HostInfo", "Displacement",
    "StopOutcome", "LinkCounts",
    "Error", "Timeout", "BaseError", "NotSupported", "InvalidAnswer", "LinkClosed", "LinkFailed",
    "ConnectFailed", "HostNotFound", "UsageError", "UnknownCommand", "Interrupted", "OutputLost", "Internal",
    "ERRORS_BY_KIND",
]
