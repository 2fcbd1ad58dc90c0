"""The messages the bridge (tavix.bridge) and its client (tavix.remote) exchange over
Zenoh. Plain Python (stdlib `struct` and `json`): it needs neither zenoh nor the module.

Key expressions, for an arm whose identifier is <uuid> (lower-case, with dashes) and a
handle whose device number is <id>:

    tavix/<uuid>/state        arm state, binary (STATE below), published
    tavix/<uuid>/info         JSON, a queryable
    tavix/<uuid>/control      JSON (CONTROL below), a queryable: who may command the arm
    tavix/<uuid>/effects      JSON (EFFECTS below): a queryable, whose reply says whether
                              the effects were applied (EFFECTS REPLY below), and
                              subscribed with --allow-commands (unacknowledged)
    tavix/handle/<id>/status  handle status, binary (STATUS below), published

Every binary message starts with the same 4-byte header: the magic b"TX", the layout's
version (1) and its kind (1 state, 2 status). All numbers are little-endian. A receiver
checks the magic, version, kind and size, and drops (and counts) anything else.

STATE, kind 1, 104 bytes, struct "<2sBBIQQd9d":

    offset  type       field
    0       2s         magic b"TX"
    2       u8         version, 1
    3       u8         kind, 1
    4       u32        flags: bit 0 set when the tick's exchange succeeded (ok);
                       bit 1 set on the last state the bridge publishes for an arm
                       that failed (hung up, fell silent): ok is clear, the force is
                       zero, and no state follows (info's "failed" says why)
    8       u64        cycle: the tick's number on the servo loop's grid
    16      u64        sent_ns: the bridge's wall clock (time.time_ns()) at sending
    24      f64        time: seconds since the servo loop started
                       (after the bridge reopens a failed arm, cycle and time carry
                       on from the failed loop's: both only grow)
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

EFFECTS is UTF-8 JSON, version 1, at most MAX_MESSAGE_BYTES (64 KiB):

    {"version": 1, "controller": "lab-pc:4242:9f3a61c0", "effects": [
        {"type": "spring", "center": [x, y, z], "stiffness": k, "damping": b},
        {"type": "damper", "damping": b},
        {"type": "wall", "point": [x, y, z], "normal": [x, y, z], "stiffness": k, "damping": b},
        {"type": "constant", "force": [x, y, z]}]}

"version" is the integer 1 (not true, not 1.0). "controller" names the sender, a string
of 1 to MAX_CONTROLLER characters; a message without it comes from the controller named
ANONYMOUS. "damping" is optional (0). An empty list removes the remote effects. Each
message replaces the whole set and refreshes the bridge's watchdog, if its sender holds
control of the arm (see CONTROL). parse_effects_message() checks it (its size first,
then finite numbers, bounded stiffness, damping and force, a non-zero normal, at most
MAX_EFFECTS effects) and raises MessageError for anything else, whatever the JSON holds.
The kinds of effect, their fields and bounds are the rows of tavix.effect_kinds.KINDS;
the client checks its effects with the same table (effect_kinds.check_all) before it
sends them.

An EFFECTS message is sent as a query on tavix/<uuid>/effects (RemoteArm.set_effects,
acknowledged) or put on that key (RemoteArm.stream_effects, not acknowledged: the bridge
drops what it refuses and counts it). The reply to the query, UTF-8 JSON, version 1:

    {"version": 1, "outcome": "applied" | "refused" | "invalid" | "failed",
     "controller": holder or null, "reason": "..." (unless applied),
     "failed": "..." or null, "command_timeout": s}

"applied": the effects are on the arm's loop from its next tick. "refused": another
controller holds the arm, or the bridge takes no commands, or it is stopping. "invalid":
the message broke its layout or a bound (it is counted as malformed). "failed": the arm
failed, and is not (yet) reopened. "reason" says why.

CONTROL is a query and its reply, UTF-8 JSON, version 1. One controller at a time
commands an arm: the first whose effects (or "claim") the bridge takes holds control
until it releases it or sends nothing for the bridge's command time-out.

    query:  {"version": 1, "request": "claim" | "take" | "release", "controller": "..."}
    reply:  {"version": 1, "granted": true | false, "controller": holder or null,
             "reason": "..." (when not granted), "failed": "..." or null,
             "command_timeout": s}

"claim" is granted when nobody else holds control; "take" always (a supervisor's: the
previous holder's effects are removed); "release" when the sender holds it (its effects
are removed). Nothing is granted for an arm that failed or a bridge that takes no
commands; "reason" says why.
"""

import json
import struct
from typing import Any, Dict, List, NamedTuple, Optional, Sequence, Tuple

from tavix import effect_kinds
from tavix.effect_kinds import MAX_COORDINATE, MAX_DAMPING, MAX_EFFECTS, MAX_FORCE, MAX_STIFFNESS

__all__ = ["VERSION", "MAGIC", "KIND_STATE", "KIND_STATUS", "STATE", "STATUS", "STATE_SCHEMA", "STATUS_SCHEMA",
           "EFFECTS_SCHEMA", "EFFECTS_REPLY_SCHEMA", "CONTROL_SCHEMA", "FLAG_OK", "FLAG_FAILED", "MAX_EFFECTS",
           "MAX_MESSAGE_BYTES", "MAX_CONTROLLER", "ANONYMOUS", "CONTROL_REQUESTS", "OUTCOMES", "APPLIED", "REFUSED",
           "INVALID", "FAILED", "PARSE_ERRORS", "MAX_STIFFNESS", "MAX_DAMPING", "MAX_FORCE", "MAX_COORDINATE",
           "MessageError", "ArmState", "HandleStatus", "EffectsMessage", "EffectsReply", "ControlRequest",
           "ControlReply", "encode_state", "decode_state", "encode_status", "decode_status", "spring", "damper",
           "wall", "constant", "encode_effects", "parse_effects", "parse_effects_message", "encode_effects_reply",
           "parse_effects_reply", "encode_control_request", "parse_control_request", "encode_control_reply",
           "parse_control_reply"]

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
EFFECTS_REPLY_SCHEMA = "tavix.effects-reply.v1"
CONTROL_SCHEMA = "tavix.control.v1"

# The state's flags.
FLAG_OK = 1  # the tick's exchange succeeded
FLAG_FAILED = 2  # the arm failed: the last state published for it

# At most MAX_EFFECTS effects in a message. It and the bounds of each effect's fields are
# in tavix.effect_kinds (and MAX_STIFFNESS, MAX_DAMPING, MAX_FORCE and MAX_COORDINATE here too).
# An effects or control message longer than this is dropped unread.
MAX_MESSAGE_BYTES = 64 * 1024
# A controller's name: 1 to this many characters.
MAX_CONTROLLER = 128
# The controller an effects message without "controller" comes from.
ANONYMOUS = "anonymous"
CONTROL_REQUESTS = ("claim", "take", "release")
# The outcomes of an acknowledged effects message.
APPLIED, REFUSED, INVALID, FAILED = OUTCOMES = ("applied", "refused", "invalid", "failed")

# What parsing and checking a message from the network can raise: MessageError, bytes
# that are not UTF-8 or JSON, a number too long (ValueError), a nesting too deep
# (RecursionError), a number too large for a float (OverflowError), a field of the wrong
# type (TypeError). A receiver that catches these counts the message and drops it.
PARSE_ERRORS = (ValueError, TypeError, RecursionError, OverflowError, MemoryError)


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
    failed: bool = False  # the last state of an arm that failed


class EffectsMessage(NamedTuple):
    controller: str  # who sent it (ANONYMOUS if the message does not say)
    effects: List[Dict[str, Any]]  # checked, as effect_kinds.check returns them


class ControlRequest(NamedTuple):
    request: str  # one of CONTROL_REQUESTS
    controller: str


class ControlReply(NamedTuple):
    granted: bool
    controller: Optional[str]  # who holds control after the request (None: nobody)
    reason: str  # why it was not granted ("" when it was)
    failed: Optional[str]  # why the arm failed, None while it works
    command_timeout: float


class EffectsReply(NamedTuple):
    outcome: str  # one of OUTCOMES
    controller: Optional[str]  # who holds control after the message (None: nobody)
    reason: str  # why the effects were not applied ("" when they were)
    failed: Optional[str]  # why the arm failed, None while it works
    command_timeout: float


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
                 force: Sequence[float], ok: bool, sent_ns: int, failed: bool = False) -> bytes:
    flags = (FLAG_OK if ok else 0) | (FLAG_FAILED if failed else 0)
    return STATE.pack(MAGIC, VERSION, KIND_STATE, flags, cycle, sent_ns, time, *position, *velocity, *force)


def decode_state(data: bytes) -> ArmState:
    _check_header(data, STATE, KIND_STATE)
    fields = STATE.unpack(data)
    flags, cycle, sent_ns, time = fields[3:7]
    values = list(fields[7:])
    return ArmState(cycle, time, values[0:3], values[3:6], values[6:9], bool(flags & FLAG_OK), sent_ns,
                    bool(flags & FLAG_FAILED))


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


def encode_effects(effects: Sequence[Dict[str, Any]], controller: Optional[str] = None) -> bytes:
    message: Dict[str, Any] = {"version": VERSION}
    if controller is not None:
        message["controller"] = controller
    message["effects"] = list(effects)
    return json.dumps(message, separators=(",", ":")).encode()


def _json_object(data: bytes, what: str) -> Dict[str, Any]:
    """The JSON object of a message of at most MAX_MESSAGE_BYTES whose "version" is the
    integer VERSION; MessageError for anything else."""
    if len(data) > MAX_MESSAGE_BYTES:
        raise MessageError("%d bytes, more than %d" % (len(data), MAX_MESSAGE_BYTES))
    try:
        message: Any = json.loads(bytes(data).decode("utf-8"))
    except PARSE_ERRORS as error:
        raise MessageError("not JSON: %s" % type(error).__name__) from None
    if not isinstance(message, dict):
        raise MessageError("not a JSON object")
    version = message.get("version")
    if type(version) is not int or version != VERSION:  # true and 1.0 are not 1 here
        raise MessageError("not a version %d %s message" % (VERSION, what))
    return message


def _controller(value: Any) -> str:
    if not isinstance(value, str) or not 1 <= len(value) <= MAX_CONTROLLER:
        raise MessageError("the controller is not a name of 1 to %d characters" % MAX_CONTROLLER)
    return value


def parse_effects_message(data: bytes) -> EffectsMessage:
    """The sender and the checked effects of an EFFECTS message, every field present,
    numbers as floats; MessageError for a message that breaks the layout or a bound (and
    for whatever else it holds: nothing in it escapes as another exception)."""
    message = _json_object(data, "effects")
    controller = _controller(message["controller"]) if "controller" in message else ANONYMOUS
    try:
        return EffectsMessage(controller, effect_kinds.check_all(message.get("effects")))
    except PARSE_ERRORS as error:
        raise MessageError(str(error)) from None


def parse_effects(data: bytes) -> List[Dict[str, Any]]:
    """The checked effects of an EFFECTS message (parse_effects_message without the sender)."""
    return parse_effects_message(data).effects


def encode_control_request(request: str, controller: str) -> bytes:
    return json.dumps({"version": VERSION, "request": request, "controller": controller}).encode()


def parse_control_request(data: bytes) -> ControlRequest:
    """A checked CONTROL query; MessageError for anything else."""
    message = _json_object(data, "control")
    request = message.get("request")
    if not isinstance(request, str) or request not in CONTROL_REQUESTS:
        raise MessageError("the request is none of %s" % ", ".join(CONTROL_REQUESTS))
    return ControlRequest(request, _controller(message.get("controller")))


def _encode_reply(first: str, value: Any, applied: bool, reply: Any) -> bytes:
    """A reply that says `first`: `value`, then who holds control, why the arm failed
    and the command time-out; the reason too when the request was not met."""
    message = {"version": VERSION, first: value, "controller": reply.controller, "failed": reply.failed,
               "command_timeout": reply.command_timeout}
    if not applied:
        message["reason"] = reply.reason
    return json.dumps(message).encode()


def _parse_reply(data: bytes, what: str, first: str) -> Tuple[Any, Optional[str], str, Optional[str], float]:
    """The fields of a reply (see _encode_reply): `first`'s value, the holder, the
    reason, the failure and the time-out; MessageError, naming `what` ("a control
    reply"), for anything else."""
    message = _json_object(data, what.split(" ", 1)[1])
    try:
        value, holder, failed = message[first], message["controller"], message["failed"]
        timeout = float(message["command_timeout"])
        reason = str(message.get("reason", ""))
    except (KeyError, *PARSE_ERRORS) as error:
        raise MessageError("not %s: %s" % (what, type(error).__name__)) from None
    if not isinstance(holder, (str, type(None))) or not isinstance(failed, (str, type(None))):
        raise MessageError("not %s" % what)
    return value, holder, reason, failed, timeout


def encode_control_reply(reply: ControlReply) -> bytes:
    return _encode_reply("granted", reply.granted, reply.granted, reply)


def parse_control_reply(data: bytes) -> ControlReply:
    """A CONTROL reply; MessageError for anything else."""
    granted, holder, reason, failed, timeout = _parse_reply(data, "a control reply", "granted")
    if not isinstance(granted, bool):
        raise MessageError("not a control reply")
    return ControlReply(granted, holder, reason, failed, timeout)


def encode_effects_reply(reply: EffectsReply) -> bytes:
    return _encode_reply("outcome", reply.outcome, reply.outcome == APPLIED, reply)


def parse_effects_reply(data: bytes) -> EffectsReply:
    """An EFFECTS reply; MessageError for anything else."""
    outcome, holder, reason, failed, timeout = _parse_reply(data, "an effects reply", "outcome")
    if outcome not in OUTCOMES:
        raise MessageError("not an effects reply")
    return EffectsReply(outcome, holder, reason, failed, timeout)
