"""Pacing of repeated readings and steps, as the console paces monitor,
run and vrun (--interval, --count, --duration)."""

import math
from typing import Any, Iterator, List, Optional, Sequence, Tuple, Union

from . import _orbitane
from ._errors import UnknownCommand, UsageError

# The readings monitor can repeat, as the console's monitor lists them.
READINGS = ("status", "motor", "sensor", "bumper", "beacon", "identity", "config")
MAX_INTERVAL_S = 86400.0   # a day
MAX_DURATION_S = 604800.0  # a week


def _seconds(name: str, value: Any, low: float, high: float, above_low: bool = False) -> float:
    try:
        seconds = float(value)
    except (TypeError, ValueError):
        raise UsageError("%s: a number of seconds, not %r" % (name, value), kind="usage", result=2) from None
    if not math.isfinite(seconds) or seconds < low or seconds > high or (above_low and seconds == low):
        bound = "above %g" % low if above_low else "from %g" % low
        raise UsageError("%s: %r seconds; it is %s to %g" % (name, value, bound, high), kind="usage", result=2)
    return seconds


def _count(value: Any) -> Optional[int]:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, int) or value < 1:
        raise UsageError("count: a whole number of at least 1, not %r" % (value,), kind="usage", result=2)
    return value


def paced(interval: float = 0.0, count: Optional[int] = None,
          duration: Optional[float] = None) -> Iterator[int]:
    """Yields 0, 1, 2, ... at the starts of the grid start + k * interval
    (time.monotonic's clock; the start is the first step's): a late step
    never shifts the ones after it, and one that overran grid points is
    followed by the next at once. Ends after `count` steps, or once
    `duration` seconds have passed since the start (no step starts after
    that), whichever comes first; without either it goes on until the loop
    ends. The waits end for Ctrl-C as time.sleep's do (KeyboardInterrupt).
    The iterator is the C++ core's, so a step costs no Python code."""
    return _orbitane.paced(*_pacing(interval, count, duration))


def _pacing(interval: Any, count: Any, duration: Any) -> Tuple[float, Optional[int], Optional[float]]:
    seconds = _seconds("interval", interval, 0.0, MAX_INTERVAL_S)
    steps = _count(count)
    if duration is not None:
        duration = _seconds("duration", duration, 0.0, MAX_DURATION_S, above_low=True)
    return seconds, steps, duration


def monitor(base: Any, what: Union[str, Sequence[str]], interval: float = 0.0, count: Optional[int] = None,
            duration: Optional[float] = None) -> Iterator[Any]:
    """Repeats readings: `what` is one reading ("status") or several
    ("status,motor" or ["status", "motor"]), made in that order in each
    round. The rounds are paced as paced() paces its steps. A failing
    reading raises its error and ends the iteration. Each reading is the
    one the Base's method of its name makes (bumper: active high)."""
    names: List[str] = what.split(",") if isinstance(what, str) else list(what)
    if not names or any(not isinstance(name, str) or not name for name in names):
        raise UsageError("monitor: name one or more readings: %s" % ", ".join(READINGS), kind="usage", result=2)
    for name in names:
        if name not in READINGS:
            raise UnknownCommand("monitor: %r is not a reading; the readings are %s" % (name, ", ".join(READINGS)),
                                 kind="unknown_command", result=5)
    return _orbitane.monitor(base, names, *_pacing(interval, count, duration))
