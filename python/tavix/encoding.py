"""The messages the bridge (tavix.bridge) and its client (tavix.remote) exchange over
Zenoh. Plain Python (stdlib `struct` and `json`): it needs neither zenoh nor the module.

Key expressions, for an arm whose identifier is <uuid> (lower-case, with dashes) and a
handle whose device number is <id>:

    tavix/<uuid>/state        arm state, binary (STATE below), published
    tavix/<uuid>/info         JSON, a queryable
    tavix/<uuid>/effects      JSON (EFFECTS below), subscribed with --allow-commands
    tavix/handle/<id>/status  handle status, binary (STATUS below), published

Every binary message starts with the same 4-byte header: the magic b"TX", the layout's
version (1) and its kind (1 state, 2 status). All numbers are little-endian. A receiver
checks the magic, version, kind and size, and drops (and counts) anything else.

STATE, kind 1, 104 bytes, struct "<2sBBIQQd9d":

    offset  type       field
    0       2s         magic b"TX"
    2       u8         version, 1
    3       u8         kind, 1
    4       u32        flags: bit 0 set when the tick's exchange succeeded (ok)
    8       u64        cycle: the tick's number on the servo loop's grid
    16      u64        sent_ns: the bridge's wall clock (time.time_ns()) at sending
    24      f64        time: seconds since the servo loop started
    32      3 x f64    position (m)
    56      3 x f64    velocity (m/s)
    80      3 x f64    force sent to the arm (N)

STATUS, kind 2, 80 bytes, struct "<2sBBIQ4diiid":

    0       2s         magic b"TX"
    2       u8         version, 1
    3       u8         kind, 2
    4       u32        device_id
    8       u64        sent_ns
    16      4 x f64    quaternion
    48      i32        error_flag
    52      i32        hall_effect_sensor_level
    56      i32        buttons
    60      (4 bytes of padding, zero)
    64      f64        battery_level (V)
    72      f64        reserved, zero

EFFECTS is UTF-8 JSON, version 1:

    {"version": 1, "effects": [
        {"type": "spring", "center": [x, y, z], "stiffness": k, "damping": b},
        {"type": "damper", "damping": b},
        {"type": "wall", "point": [x, y, z], "normal": [x, y, z], "stiffness": k, "damping": b},
        {"type": "constant", "force": [x, y, z]}]}

"damping" is optional (0). An empty list removes the remote effects. Each message
replaces the whole set and refreshes the bridge's watchdog. parse_effects() checks it
(finite numbers, bounded stiffness, damping and force, a non-zero normal, at most
MAX_EFFECTS effects) and raises MessageError for anything else. The kinds of effect,
their fields and bounds are the rows of tavix.effect_kinds.KINDS.
"""

import json
import struct
from typing import Any, Dict, List, NamedTuple, Sequence

from tavix import effect_kinds
from tavix.effect_kinds import MAX_COORDINATE, MAX_DAMPING, MAX_FORCE, MAX_STIFFNESS

__all__ = ["VERSION", "MAGIC", "KIND_STATE", "KIND_STATUS", "STATE", "STATUS", "STATE_SCHEMA", "STATUS_SCHEMA",
           "EFFECTS_SCHEMA", "MAX_EFFECTS", "MAX_STIFFNESS", "MAX_DAMPING", "MAX_FORCE", "MAX_COORDINATE",
           "MessageError", "ArmState", "HandleStatus", "encode_state", "decode_state", "encode_status",
           "decode_status", "spring", "damper", "wall", "constant", "encode_effects", "parse_effects"]

VERSION = 1
MAGIC = b"TX"
KIND_STATE = 1
KIND_STATUS = 2

STATE = struct.Struct("<2sBBIQQd9d")
STATUS = struct.Struct("<2sBBIQ4diii4xdd")
assert STATE.size == 104 and STATUS.size == 80

# The schemas given with the Zenoh encoding of each message.
STATE_SCHEMA = "tavix.state.v1"
STATUS_SCHEMA = "tavix.status.v1"
EFFECTS_SCHEMA = "tavix.effects.v1"

# At most this many effects in a message. The bounds of each effect's fields are in
# tavix.effect_kinds (and MAX_STIFFNESS, MAX_DAMPING, MAX_FORCE and MAX_COORDINATE here too).
MAX_EFFECTS = 16


class MessageError(ValueError):
    """A message that does not follow its layout: dropped and counted, never applied."""


class ArmState(NamedTuple):
    cycle: int
    time: float
    position: List[float]
    velocity: List[float]
    force: List[float]
    ok: bool
    sent_ns: int


class HandleStatus(NamedTuple):
    device_id: int
    quaternion: List[float]
    error_flag: int
    hall_effect_sensor_level: int
    buttons: int
    battery_level: float
    sent_ns: int


def _check_header(data: bytes, layout: struct.Struct, kind: int) -> None:
    if len(data) != layout.size:
        raise MessageError("%d bytes, not %d" % (len(data), layout.size))
    if data[:2] != MAGIC:
        raise MessageError("bad magic %r" % data[:2])
    if data[2] != VERSION:
        raise MessageError("version %d, not %d" % (data[2], VERSION))
    if data[3] != kind:
        raise MessageError("kind %d, not %d" % (data[3], kind))


def encode_state(cycle: int, time: float, position: Sequence[float], velocity: Sequence[float],
                 force: Sequence[float], ok: bool, sent_ns: int) -> bytes:
    return STATE.pack(MAGIC, VERSION, KIND_STATE, 1 if ok else 0, cycle, sent_ns, time,
                      *position, *velocity, *force)


def decode_state(data: bytes) -> ArmState:
    _check_header(data, STATE, KIND_STATE)
    fields = STATE.unpack(data)
    flags, cycle, sent_ns, time = fields[3:7]
    values = list(fields[7:])
    return ArmState(cycle, time, values[0:3], values[3:6], values[6:9], bool(flags & 1), sent_ns)


def encode_status(status: Dict[str, Any], sent_ns: int) -> bytes:
    quaternion = list(status["quaternion"])[:4]
    return STATUS.pack(MAGIC, VERSION, KIND_STATUS, status["device_id"], sent_ns, *quaternion,
                       status["error_flag"], status["hall_effect_sensor_level"], status.get("buttons", 0),
                       status.get("battery_level", 0.0), 0.0)


def decode_status(data: bytes) -> HandleStatus:
    _check_header(data, STATUS, KIND_STATUS)
    fields = STATUS.unpack(data)
    return HandleStatus(fields[3], list(fields[5:9]), fields[9], fields[10], fields[11], fields[12], fields[4])


# Effects: descriptions as an effects message carries them (see tavix.effect_kinds).

def spring(center: Sequence[float], stiffness: float, damping: float = 0.0) -> Dict[str, Any]:
    return effect_kinds.describe("spring", center, stiffness, damping)


def damper(damping: float) -> Dict[str, Any]:
    return effect_kinds.describe("damper", damping)


def wall(point: Sequence[float], normal: Sequence[float], stiffness: float, damping: float = 0.0) -> Dict[str, Any]:
    return effect_kinds.describe("wall", point, normal, stiffness, damping)


def constant(force: Sequence[float]) -> Dict[str, Any]:
    return effect_kinds.describe("constant", force)


def encode_effects(effects: Sequence[Dict[str, Any]]) -> bytes:
    return json.dumps({"version": VERSION, "effects": list(effects)}, separators=(",", ":")).encode()


def parse_effects(data: bytes) -> List[Dict[str, Any]]:
    """The checked effects of an EFFECTS message, with every field present, as floats;
    MessageError for a message that breaks the layout or a bound."""
    try:
        message = json.loads(bytes(data).decode("utf-8"))
    except (UnicodeDecodeError, ValueError) as error:
        raise MessageError("not JSON: %s" % error)
    if not isinstance(message, dict) or message.get("version") != VERSION:
        raise MessageError("not a version %d effects message" % VERSION)
    effects = message.get("effects")
    if not isinstance(effects, list) or len(effects) > MAX_EFFECTS:
        raise MessageError("effects is not a list of at most %d" % MAX_EFFECTS)
    try:
        return [effect_kinds.check(effect) for effect in effects]
    except ValueError as error:
        raise MessageError(str(error)) from None
