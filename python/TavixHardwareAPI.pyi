"""Python Implementation of the Tavix Hardware API"""

import os
import uuid
from types import TracebackType
from typing import List, Optional, Sequence, Tuple, Type, TypedDict, Union, overload

__version__: str

# (position, velocity), or (joint angles, joint velocities): two lists of three floats.
_State = Tuple[List[float], List[float]]

class _DeviceInfo(TypedDict):
    device_id: int
    device_model_number: int
    hardware_version: int
    firmware_version: int
    device_id_ext: uuid.UUID

class _GantrelStatus(TypedDict):
    device_id: int
    quaternion: List[float]
    error_flag: int
    hall_effect_sensor_level: int
    buttons: int
    battery_level: float

class SerialStream:
    def __init__(self, arg0: Union[str, bytes, bytearray, None], /) -> None: ...

class UUID:
    def __init__(self) -> None: ...
    def bytes(self) -> List[int]: ...

class Device: ...

def get_cpp_version() -> str: ...
def print_cpp_version() -> None: ...
def detect_morvek3s() -> List[str]: ...
def detect_handles() -> List[str]: ...
def detect_wired_handles() -> List[str]: ...
def detect_wireless_handles() -> List[str]: ...

class Morvek3:
    """Morvek3 Device Class"""

    def __init__(self, arg0: SerialStream, /) -> None: ...
    def device_wakeup(self) -> Tuple[int, int, int, int, List[int]]: ...
    def device_wakeup_dict(self) -> _DeviceInfo: ...
    def get_firmware_version(self) -> uuid.UUID: ...
    def get_device_id(self) -> uuid.UUID: ...
    def get_motor_currents(self) -> List[float]: ...
    def get_device_orientation(self) -> List[float]: ...
    def get_power_status(self) -> bool: ...
    def get_temperature(self) -> float: ...
    # The command parameters are named by phrases with spaces: pass them by position.
    def end_effector_force(self, force: Sequence[float] = ..., /) -> _State: ...
    def get_end_effector_position(self, onboard: bool = True) -> _State: ...
    def adjust_angles(self, angles: Sequence[float] = ...) -> None: ...
    def adjust_lengths(
        self,
        inner_arm_1: float = 0.14,
        outer_arm_1: float = 0.14,
        inner_arm_2: float = 0.165,
        outer_arm_2: float = 0.165,
        extension: float = 0.0765,
    ) -> None: ...
    def joint_torques(self, torques: Sequence[float] = ..., /) -> _State: ...
    def end_effector_position(self, position: Sequence[float] = ..., /) -> _State: ...
    def joint_angles(self, angles: Sequence[float] = ..., /) -> _State: ...
    def SendDeviceWakeup(self) -> None: ...
    def ReceiveDeviceInfo(self) -> Tuple[int, int, int, int, UUID]: ...
    @overload
    def SendForce(self, force: Sequence[float] = ...) -> None: ...
    @overload
    def SendForce(self, ForceX: float = 0, ForceY: float = 0, ForceZ: float = 0) -> None: ...
    def ReceiveState(self, position: Sequence[float] = ..., velocity: Sequence[float] = ...) -> _State: ...
    def ReceiveJointState(
        self, joint_position: Sequence[float] = ..., joint_velocity: Sequence[float] = ...
    ) -> _State: ...
    def SendJointTorques(self, joint_torque: Sequence[float] = ...) -> None: ...
    def SendAngle(self, angle: Sequence[float] = ...) -> None: ...
    def RequestCurrent(self) -> None: ...
    def ReceiveCurrent(self, current: Sequence[float] = ...) -> List[float]: ...
    def SendPosition(self, position: Sequence[float] = ...) -> None: ...

class Handle:
    """The gantrel handle class"""

    def __init__(self, arg0: SerialStream, /) -> None: ...
    def SendDeviceWakeup(self) -> None: ...
    @overload
    def SendHandleState(self, device_id: int = 0, data_length: int = 0, user_data: int = ...) -> None: ...
    @overload
    def SendHandleState(
        self, device_id: int = 0, data_length: int = 0, user_data: Optional[Union[bytes, bytearray]] = None
    ) -> None: ...
    def RequestStatus(self) -> None: ...
    def OnReceiveHandleInfo(
        self,
        tool_data_remaining: int,
        device_id: int,
        device_model_number: int,
        hardware_version: int,
        firmware_version: int,
    ) -> None: ...
    # An override receives the quaternion and the user data as lists; a direct call
    # passes one float and one byte.
    def OnReceiveHandleStatusMessage(
        self,
        device_id: int,
        quaternion: Union[float, List[float]],
        error_flag: int,
        hall_effect_sensor_level: int,
        user_data_length: int,
        user_data: Union[int, List[int]],
    ) -> None: ...
    def OnReceiveHandleErrorResponse(self, device_id: int, error_code: int) -> None: ...
    @overload
    def Receive(self) -> int: ...
    @overload
    def Receive(self, obsolete: int) -> int: ...
    def GetGantrelStatus(self) -> _GantrelStatus: ...

class DeviceError(Exception):
    """A device operation on a Port failed. The base of DeviceTimeoutError, PortError
    and ProtocolError."""

class DeviceTimeoutError(DeviceError, TimeoutError):
    """The device's reply, or part of it, did not arrive within the port's time-out."""

class PortError(DeviceError, OSError):
    """The serial port failed: it cannot be opened, it hung up, it is closed, or a read
    or write on it failed. errno is the failing call's, filename the port's path."""

class ProtocolError(DeviceError):
    """The device replied with a header code the operation does not expect, or with a
    reply that does not hold what its layout requires."""

class Port(SerialStream):
    """A serial port on which every failed device operation raises: DeviceTimeoutError,
    PortError or ProtocolError."""

    def __init__(
        self, path: Union[str, bytes, os.PathLike[str], os.PathLike[bytes]], timeout: Optional[float] = 5.0
    ) -> None: ...
    @property
    def path(self) -> str: ...
    @property
    def is_open(self) -> bool: ...
    @property
    def timeout(self) -> Optional[float]: ...
    @timeout.setter
    def timeout(self, value: Optional[float]) -> None: ...
    def close(self) -> None: ...
    @property
    def in_waiting(self) -> int: ...
    def reset_input_buffer(self) -> None: ...
    def __enter__(self) -> Port: ...
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc_value: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None: ...

def use_python_logging(enabled: bool) -> None: ...

# Finding devices: scan(), open_arm() and open_handle().

from typing import Literal, NamedTuple

_PathLike = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]

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
    uuid: uuid.UUID

class HandleInfo(NamedTuple):
    """What a handle reports in its information reply (the fields of
    Handle.OnReceiveHandleInfo)."""

    device_id: int
    tool_data_remaining: int
    device_model_number: int
    hardware_version: int
    firmware_version: int

class ScanRecord(NamedTuple):
    """One port of a scan."""

    path: str
    kind: Literal["arm", "handle", "busy", "silent", "unknown"]
    by_id: Optional[str] = None
    arm: Optional[ArmInfo] = None
    handle: Optional[HandleInfo] = None
    usb: Optional[UsbIdentity] = None
    note: Optional[str] = None

def scan(timeout: float = 0.5, *, device_directory: _PathLike = "/dev", sysfs_root: _PathLike = "/sys") -> List[ScanRecord]: ...
def open_arm(
    uuid: Union[uuid.UUID, str, None] = None,
    port: Optional[_PathLike] = None,
    *,
    timeout: Optional[float] = 5.0,
    scan_timeout: float = 0.5,
    device_directory: _PathLike = "/dev",
) -> Morvek3: ...
def open_handle(
    device_id: Optional[int] = None,
    port: Optional[_PathLike] = None,
    *,
    timeout: Optional[float] = 5.0,
    scan_timeout: float = 0.5,
    device_directory: _PathLike = "/dev",
) -> Handle: ...

# The servo loop and its effects.

from typing import Any, Dict

# Microseconds: {"p50": ..., "p99": ..., "p99.9": ..., "max": ...}.
_PercentilesUs = Dict[str, float]

class _ServoStats(TypedDict):
    cycles: int
    missed: int
    failures: int
    clamped: int
    non_finite: int
    realtime: bool
    memory_locked: bool
    realtime_note: str
    period_jitter_us: _PercentilesUs
    lateness_us: _PercentilesUs
    round_trip_us: _PercentilesUs

# A row of ServoLoop.history() without numpy: cycle, time, position, velocity, force,
# round_trip_us, lateness_us, ok.
_HistoryRow = Tuple[int, float, List[float], List[float], List[float], float, float, bool]

class Effect:
    """The base of the force effects a ServoLoop renders (Spring, Damper, Wall,
    ConstantForce), each computed in C++; parameters may be set from any thread at any
    time and take effect from the next tick."""

class Spring(Effect):
    """force = stiffness x (center - position) - damping x velocity."""

    def __init__(self, center: Sequence[float], stiffness: float, damping: float = 0.0) -> None: ...
    @property
    def center(self) -> List[float]: ...
    @center.setter
    def center(self, value: Sequence[float]) -> None: ...
    @property
    def stiffness(self) -> float: ...
    @stiffness.setter
    def stiffness(self, value: float) -> None: ...
    @property
    def damping(self) -> float: ...
    @damping.setter
    def damping(self, value: float) -> None: ...

class Damper(Effect):
    """force = -damping x velocity."""

    def __init__(self, damping: float) -> None: ...
    @property
    def damping(self) -> float: ...
    @damping.setter
    def damping(self, value: float) -> None: ...

class Wall(Effect):
    """The plane through `point` with `normal` (out of the wall); pushes back only past
    the plane, never pulls."""

    def __init__(
        self, point: Sequence[float], normal: Sequence[float], stiffness: float, damping: float = 0.0
    ) -> None: ...
    @property
    def point(self) -> List[float]: ...
    @point.setter
    def point(self, value: Sequence[float]) -> None: ...
    @property
    def normal(self) -> List[float]: ...
    @normal.setter
    def normal(self, value: Sequence[float]) -> None: ...
    @property
    def stiffness(self) -> float: ...
    @stiffness.setter
    def stiffness(self, value: float) -> None: ...
    @property
    def damping(self) -> float: ...
    @damping.setter
    def damping(self, value: float) -> None: ...

class ConstantForce(Effect):
    """The same force everywhere."""

    def __init__(self, force: Sequence[float]) -> None: ...
    @property
    def force(self) -> List[float]: ...
    @force.setter
    def force(self, value: Sequence[float]) -> None: ...

class ServoState:
    """One tick of a ServoLoop."""

    @property
    def position(self) -> List[float]: ...
    @property
    def velocity(self) -> List[float]: ...
    @property
    def force(self) -> List[float]: ...
    @property
    def time(self) -> float: ...
    @property
    def cycle(self) -> int: ...
    @property
    def round_trip_us(self) -> float: ...
    @property
    def lateness_us(self) -> float: ...
    @property
    def ok(self) -> bool: ...

class ServoLoop:
    """A native thread driving one Morvek3 (on a Port) at a fixed rate, rendering the sum
    of its effects, with safety always on."""

    def __init__(
        self,
        arm: Morvek3,
        rate_hz: float = 1000.0,
        max_force: float = 5.0,
        realtime: bool = False,
        max_failures: int = 10,
        history_size: Optional[int] = None,
    ) -> None: ...
    def start(self) -> None: ...
    def stop(self) -> None: ...
    def wait(self, timeout: Optional[float] = None) -> bool: ...
    @property
    def running(self) -> bool: ...
    @property
    def error(self) -> Optional[DeviceError]: ...
    def add(self, effect: Effect) -> None: ...
    def remove(self, effect: Effect) -> None: ...
    def clear(self) -> None: ...
    @property
    def effects(self) -> Tuple[Effect, ...]: ...
    def state(self) -> Optional[ServoState]: ...
    def stats(self) -> _ServoStats: ...
    # A numpy structured array when numpy is installed, otherwise a list of tuples.
    def history(self) -> Any: ...
    @property
    def rate_hz(self) -> float: ...
    @property
    def max_force(self) -> float: ...
    @property
    def realtime(self) -> bool: ...
    @property
    def max_failures(self) -> int: ...
    @property
    def history_size(self) -> int: ...
    @property
    def arm(self) -> Morvek3: ...
    def __enter__(self) -> ServoLoop: ...
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc_value: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None: ...
