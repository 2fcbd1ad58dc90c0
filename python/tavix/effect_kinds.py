"""The kinds of remote effect, one row each: the name an effects message gives it, the
TavixHardwareAPI class that renders it, and its fields with their bounds.

Every place that knows an effect's fields reads them here: tavix.encoding's helpers
(describe) and its message check (check_all, one effect's check), the bridge, which
builds and updates the effect objects (arguments), and its client, which sends effect
objects as descriptions (describe_object) and checks them with check_all before they go
on the network, so both sides refuse the same effects. A new effect is a new row in KINDS.

A field's bounds hold whatever arm the effect is for. The bridge also refuses a stiffness
above what its arm's servo loop renders passively with the effect's damping
(check_stiffness, given the loop's stable_stiffness), which only the bridge knows.

Plain Python, with neither zenoh nor TavixHardwareAPI: the classes are named, not
imported.
"""

import math
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Tuple

__all__ = ["MAX_STIFFNESS", "MAX_DAMPING", "MAX_FORCE", "MAX_COORDINATE", "MAX_EFFECTS", "Field", "EffectKind",
           "KINDS", "describe", "describe_object", "check", "check_all", "check_stiffness", "arguments"]

# Bounds of a remote effect; the servo loop's max_force still clamps the sum.
# A ceiling on any arm: a loop's own limit, its stable_stiffness (667 N/m at 1 kHz with
# the default device damping), is lower, and the bridge checks it too.
MAX_STIFFNESS = 10000.0  # N/m
MAX_DAMPING = 50.0  # N s/m
MAX_FORCE = 20.0  # N, for a constant force
MAX_COORDINATE = 10.0  # m, for a point or a centre
MAX_DIRECTION = 1e6  # for a direction's components, before it is scaled to length 1
MAX_EFFECTS = 16  # effects in one message


class Field(NamedTuple):
    """One parameter of an effect: its name, both in a message and on the effect object,
    and what a message may give for it."""

    name: str
    low: float
    high: float
    vector: bool = False  # three numbers, each within [low, high]; else one number
    default: Optional[float] = None  # a number a message may leave out; None: required
    direction: bool = False  # a vector that must not be zero, scaled to length 1


class EffectKind(NamedTuple):
    """One kind of effect: `name` is its "type" in a message, `class_name` the
    TavixHardwareAPI class, `fields` in the order that class's constructor takes them."""

    name: str
    class_name: str
    fields: Tuple[Field, ...]


_STIFFNESS = Field("stiffness", 0.0, MAX_STIFFNESS)
_DAMPING = Field("damping", 0.0, MAX_DAMPING, default=0.0)


def _position(name: str) -> Field:
    return Field(name, -MAX_COORDINATE, MAX_COORDINATE, vector=True)


KINDS: Dict[str, EffectKind] = {kind.name: kind for kind in (
    EffectKind("spring", "Spring", (_position("center"), _STIFFNESS, _DAMPING)),
    EffectKind("damper", "Damper", (_DAMPING,)),
    EffectKind("wall", "Wall", (_position("point"), Field("normal", -MAX_DIRECTION, MAX_DIRECTION, vector=True,
                                                          direction=True), _STIFFNESS, _DAMPING)),
    EffectKind("constant", "ConstantForce", (Field("force", -MAX_FORCE, MAX_FORCE, vector=True),)),
)}

_BY_CLASS = {kind.class_name: kind for kind in KINDS.values()}


def _plain(field: Field, value: Any) -> Any:
    return list(value) if field.vector else value


def describe(name: str, *values: Any) -> Dict[str, Any]:
    """The description of an effect of kind `name` whose fields are `values`, in the
    kind's order (a vector as a list), as an effects message carries it."""
    kind = KINDS[name]
    if len(values) != len(kind.fields):
        raise TypeError("a %s takes %d values, not %d" % (name, len(kind.fields), len(values)))
    description: Dict[str, Any] = {"type": name}
    for field, value in zip(kind.fields, values):
        description[field.name] = _plain(field, value)
    return description


def describe_object(effect: Any) -> Dict[str, Any]:
    """The description of a TavixHardwareAPI effect object (Spring, Damper, Wall,
    ConstantForce) with its current parameters; TypeError for anything else."""
    kind = _BY_CLASS.get(type(effect).__name__)
    if kind is None:
        raise TypeError("not an effect: %r" % (effect,))
    return describe(kind.name, *(getattr(effect, field.name) for field in kind.fields))


def _number(value: Any, name: str, low: float, high: float) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ValueError("%s is not a number" % name)
    try:
        number = float(value)
    except OverflowError:  # an integer of hundreds of digits
        raise ValueError("%s is out of range" % name) from None
    if not math.isfinite(number) or not low <= number <= high:
        raise ValueError("%s %r is not finite within [%g, %g]" % (name, number, low, high))
    return number


def _checked(kind: EffectKind, field: Field, value: Any) -> Any:
    if not field.vector:
        return _number(value, field.name, field.low, field.high)
    if not isinstance(value, list) or len(value) != 3:
        raise ValueError("%s is not a list of 3 numbers" % field.name)
    vector: List[float] = [_number(item, field.name, field.low, field.high) for item in value]
    if field.direction:
        length = math.sqrt(sum(c * c for c in vector))
        if length < 1e-9:
            raise ValueError("a %s's %s is zero" % (kind.name, field.name))
        vector = [c / length for c in vector]
    return vector


def check(effect: Any) -> Dict[str, Any]:
    """The checked form of one effect of a message: its "type" and every field, numbers
    as floats, a direction scaled to length 1, a left-out field at its default.
    ValueError, naming the field and its bound, for anything else."""
    name = effect.get("type") if isinstance(effect, dict) else None
    if not isinstance(name, str) or name not in KINDS:
        raise ValueError("an effect of no known type")
    kind = KINDS[name]
    known = {"type"} | {field.name for field in kind.fields}
    if not set(effect) <= known:
        raise ValueError("unknown fields in a %s: %s" % (kind.name, sorted(set(effect) - known)))
    checked: Dict[str, Any] = {"type": kind.name}
    for field in kind.fields:
        checked[field.name] = _checked(kind, field, effect.get(field.name, field.default))
    return checked


def check_all(effects: Any) -> List[Dict[str, Any]]:
    """The checked form of a message's list of effects (check() of each); ValueError for
    anything but a list of at most MAX_EFFECTS valid effects."""
    if not isinstance(effects, list):
        raise ValueError("the effects are not a list")
    if len(effects) > MAX_EFFECTS:
        raise ValueError("%d effects in one message, more than %d" % (len(effects), MAX_EFFECTS))
    return [check(effect) for effect in effects]


def check_stiffness(effects: List[Dict[str, Any]], stable_stiffness: Callable[[float], float]) -> None:
    """ValueError, naming the effect and both stiffnesses, for the first checked effect
    whose stiffness is above stable_stiffness(its damping): the largest that the servo
    loop rendering it keeps passive (ServoLoop.stable_stiffness)."""
    for effect in effects:
        if "stiffness" not in effect:
            continue
        damping = effect.get("damping", 0.0)
        bound = stable_stiffness(damping)
        if effect["stiffness"] > bound:
            raise ValueError("a %s's stiffness %g N/m is above %g N/m, the largest the arm's servo loop renders "
                             "passively with a damping of %g N s/m" % (effect["type"], effect["stiffness"], bound,
                                                                       damping))


def arguments(effect: Dict[str, Any]) -> Tuple[str, List[Any]]:
    """The TavixHardwareAPI class name and constructor arguments of a checked effect
    (which its `set` method takes too)."""
    kind = KINDS[effect["type"]]
    return kind.class_name, [effect[field.name] for field in kind.fields]
