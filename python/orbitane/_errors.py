"""The exceptions of the orbitane package: one class per failure kind, as
the console's JSON names the kinds (docs/scripting.md)."""

from typing import Dict, Optional, Type


class Error(Exception):
    """A failure of the base, of the link or of a call.

    kind: the JSON kind ("timeout", "base_error", ...); result: the result
    code (negative for a failed request, 2 for a usage error, 4 for a
    failed connection); base_error: the code of the base's error answer,
    when it refused the request with one. For a failed request, cause is
    finer than the kind ("timeout", "refused", "not_supported",
    "corrupted", "invalid_answer", "link_closed", "link_failed",
    "interrupted", "not_written") and written says whether the request
    reached the line, so the base may have acted on it; both are None for
    a failure that is no request's."""

    kind = ""

    def __init__(self, message: str, kind: Optional[str] = None, result: int = 0,
                 base_error: Optional[int] = None, cause: Optional[str] = None,
                 written: Optional[bool] = None) -> None:
        super().__init__(message)
        if kind is not None:
            self.kind = kind
        self.result = result
        self.base_error = base_error
        self.cause = cause
        self.written = written

    @property
    def result_hex(self) -> str:
        """The result code in 8 hex digits, as the console's log shows it."""
        return "%08X" % (self.result & 0xFFFFFFFF)


class Timeout(Error, TimeoutError):
    """The base did not answer within 1000 ms (or a write did not go out in time)."""
    kind = "timeout"


class BaseError(Error):
    """The base refused the request with an error answer; base_error is its code."""
    kind = "base_error"


class NotSupported(Error):
    """The base does not support the request (error answer 0x8000)."""
    kind = "not_supported"


class InvalidAnswer(Error):
    """An answer was malformed, failed its checksum, or carried a value that cannot be used."""
    kind = "invalid_answer"


class LinkClosed(Error):
    """The base closed the TCP connection."""
    kind = "link_closed"


class LinkFailed(Error):
    """The serial line went away, or a request could not be written."""
    kind = "link_failed"


class ConnectFailed(Error):
    """The channel could not be opened, or the base did not answer the connect request."""
    kind = "connect_failed"


class HostNotFound(Error):
    """The host name does not resolve."""
    kind = "host_not_found"


class UsageError(Error, ValueError):
    """A bad URI or argument, or a call the state refuses; nothing was sent."""
    kind = "usage"


class UnknownCommand(Error, ValueError):
    """No such reading (monitor)."""
    kind = "unknown_command"


class Interrupted(Error):
    """Base.interrupt() cut the call short (Ctrl-C raises KeyboardInterrupt instead)."""
    kind = "interrupted"


class OutputLost(Error):
    """The console's own: its standard output could not be written. Not raised by the package."""
    kind = "output_lost"


class Internal(Error):
    """A fault of the library itself."""
    kind = "internal"


ERRORS_BY_KIND: Dict[str, Type[Error]] = {
    cls.kind: cls
    for cls in (Timeout, BaseError, NotSupported, InvalidAnswer, LinkClosed, LinkFailed, ConnectFailed,
                HostNotFound, UsageError, UnknownCommand, Interrupted, OutputLost, Internal)
}


def class_for_kind(kind: str) -> Type[Error]:
    """The class of a kind; Error itself for a kind this version does not know."""
    return ERRORS_BY_KIND.get(kind, Error)
