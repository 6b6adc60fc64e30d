"""The client's exceptions.

Every answer the service sends with a non-zero status raises a ValdrixError
subclass that carries the status and the service's message. A capture that
does not complete in time is a ValdrixError too (CaptureTimeout): the
connection is fine, the trigger just never came. Connection problems stay the
usual OSErrors (ConnectionRefusedError, ConnectionError, TimeoutError).
"""

from __future__ import annotations

from typing import Optional

__all__ = [
    "ValdrixError",
    "BusyError",
    "TimeOutError",
    "InternalError",
    "UnsupportedError",
    "FramingError",
    "CaptureTimeout",
    "NotConnectedError",
    "TraceFileError",
    "error_for_status",
]


class ValdrixError(Exception):
    """An error answer from the service, a broken frame, or a missed capture.

    ``status`` is the answer's status code (None where no answer carried one),
    ``message`` the service's text: the error message of an InternalError,
    else the meaning of the status.
    """

    status: Optional[int] = None
    #: Name of the status as the service's documentation gives it.
    status_name: str = "Error"

    def __init__(self, message: str = "", status: Optional[int] = None) -> None:
        if status is not None:
            self.status = status
        self.message = message
        super().__init__(message)


class BusyError(ValdrixError):
    """Status 0x0001: a bus lock is broken; transfers on that bus are refused."""

    status = 0x0001
    status_name = "Busy"


class TimeOutError(ValdrixError):
    """Status 0x0002: a bus transfer did not complete in time."""

    status = 0x0002
    status_name = "TimeOut"


class InternalError(ValdrixError):
    """Status 0x8000: the service reports an error; ``message`` says which."""

    status = 0x8000
    status_name = "InternalError"


class UnsupportedError(ValdrixError):
    """Status 0x8001: the service has no handler for the command code."""

    status = 0x8001
    status_name = "Unsupport"


class FramingError(ValdrixError):
    """The bytes that came back are not a valid response frame or answer:
    a broken header, an answer longer than its request can have, or an
    answer that came with no request outstanding.

    The connection is closed, since nothing after it can be trusted; later
    calls raise NotConnectedError unless the client reconnects by itself.
    """

    status_name = "invalid response"


class CaptureTimeout(ValdrixError):
    """A capture was armed but did not complete within the capture's time-out.

    ``status`` is the last trigger status word read (0x001 armed and still
    waiting for its trigger, 0x002 triggered but still filling).
    """

    status_name = "capture timeout"


class NotConnectedError(ConnectionError):
    """A call on a client whose connection was closed (by close(), or after a
    broken exchange) and that was not asked to reconnect by itself."""


class TraceFileError(ValueError):
    """A file that cannot be read as a trace set (TRS, .npz or zarr).

    ``path`` names the file, ``problem`` says what is wrong with it; the
    message is both, "traces.trs: not a TRS file (first tag 0x23)". Raised
    as ``TraceFileError(path, problem)`` or with a ready message alone.
    """

    def __init__(self, path: object, problem: Optional[str] = None) -> None:
        if problem is None:
            self.path, self.problem = None, str(path)
            super().__init__(str(path))
        else:
            self.path, self.problem = str(path), problem
            super().__init__("%s: %s" % (path, problem))


_BY_STATUS = {cls.status: cls for cls in (BusyError, TimeOutError, InternalError, UnsupportedError)}
_DEFAULT_MESSAGES = {
    0x0001: "Device is busy",
    0x0002: "Operation timed out",
    0x8001: "Unsupported operation",
}


def is_known_status(status: int) -> bool:
    """True for the statuses the service sends: 0 (success) and the four errors."""
    return status == 0 or status in _BY_STATUS


def error_for_status(status: int, payload: bytes) -> ValdrixError:
    """The exception an error answer with ``status`` and ``payload`` stands for."""
    message = payload.decode("utf-8", "replace") or _DEFAULT_MESSAGES.get(status, "")
    return _BY_STATUS[status](message)
