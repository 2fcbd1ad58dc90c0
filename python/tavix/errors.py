"""The exceptions a Port raises for a failed device operation: DeviceError, and the
three kinds of it.

The module's bindings import these classes when the module initialises, raise them, and
fill in a PortError's errno, strerror, filename and text; users meet them as
TavixHardwareAPI.DeviceError and so on. They are Python classes because a class with two
built-in bases (DeviceError and TimeoutError, DeviceError and OSError) is what the
interpreter's own class statement makes best, on CPython and PyPy alike. This module is
plain Python and must not import TavixHardwareAPI.
"""

from typing import Any

__all__ = ["DeviceError", "DeviceTimeoutError", "PortError", "ProtocolError"]


class DeviceError(Exception):
    """A device operation on a Port failed. The base of DeviceTimeoutError, PortError
    and ProtocolError."""

    #: For the error that stopped a ServoLoop (its `error`): the last ticks before it,
    #: about 100, in the rows of ServoLoop.history(). None for any other error.
    history: Any = None


class DeviceTimeoutError(DeviceError, TimeoutError):
    """The device's reply, or part of it, did not arrive within the port's time-out."""


class PortError(DeviceError, OSError):
    """The serial port failed: it cannot be opened, it hung up, it is closed, or a read
    or write on it failed. errno is the failing call's, filename the port's path."""

    def __str__(self) -> str:
        # The bindings set _text: the message with the operation and a hint.
        text = self.__dict__.get("_text")
        return text if isinstance(text, str) else OSError.__str__(self)


class ProtocolError(DeviceError):
    """The device replied with a header code the operation does not expect, or with a
    reply that does not hold what its layout requires."""


# Named after the module users find them in, for tracebacks, reprs and pickle.
for _error in (DeviceError, DeviceTimeoutError, PortError, ProtocolError):
    _error.__module__ = "TavixHardwareAPI"
del _error
