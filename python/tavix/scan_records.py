"""The records TavixHardwareAPI.scan() returns, one per port: named tuples, for
attribute access, a readable repr, equality and `_asdict()` for JSON.

The module's bindings import these classes when the module initialises and build them
from what a scan found; users meet them as TavixHardwareAPI.ScanRecord and so on. This
module is plain Python and must not import TavixHardwareAPI.
"""

import uuid as _uuid
from typing import Literal, NamedTuple, Optional

__all__ = ["UsbIdentity", "ArmInfo", "HandleInfo", "ScanRecord"]


class UsbIdentity(NamedTuple):
    """The USB device a serial port belongs to, as sysfs describes it. The strings are
    "" when the device reports none."""

    vendor_id: int
    product_id: int
    serial_number: str
    manufacturer: str
    product: str


class ArmInfo(NamedTuple):
    """What an arm reports when woken: the fields of Morvek3.device_wakeup_dict(), its
    16-byte identifier as `uuid`."""

    device_id: int
    device_model_number: int
    hardware_version: int
    firmware_version: int
    uuid: _uuid.UUID


class HandleInfo(NamedTuple):
    """What a handle reports in its information reply (the fields of
    Handle.OnReceiveHandleInfo)."""

    device_id: int
    tool_data_remaining: int
    device_model_number: int
    hardware_version: int
    firmware_version: int


class ScanRecord(NamedTuple):
    """One port of a scan. `kind` is "arm", "handle", "busy" (another program, or this one, holds the
    port; not probed), "silent" (no reply within the time-out) or "unknown" (another
    reply, an incomplete one, or a port that cannot be opened; `note` says which).
    `by_id` is the /dev/serial/by-id link naming the port, `arm` and `handle` what the
    device reported, `usb` the USB device the port belongs to."""

    path: str
    kind: Literal["arm", "handle", "busy", "silent", "unknown"]
    by_id: Optional[str] = None
    arm: Optional[ArmInfo] = None
    handle: Optional[HandleInfo] = None
    usb: Optional[UsbIdentity] = None
    note: Optional[str] = None


# Named after the module users find them in, for their repr and for pickle, which looks
# them up there. (A NamedTuple's class body cannot set __module__ before Python 3.9.)
for _record in (UsbIdentity, ArmInfo, HandleInfo, ScanRecord):
    _record.__module__ = "TavixHardwareAPI"
del _record
