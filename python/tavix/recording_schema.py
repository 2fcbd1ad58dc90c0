"""What a recording holds: its topics and their ROS 2 message definitions.

A recording is an MCAP file with ROS 2 message encoding (CDR), so that ROS 2 tools,
Foxglove and Rerun open it. Every arm's topics share a prefix (`DEFAULT_PREFIX` for one
loop; the bridge adds each arm's UUID). Every message's header carries the time of the
tick it belongs to, and so do the MCAP log and publish times.

This module is plain Python: it imports neither the extension module nor `mcap`.
"""

from typing import Dict, NamedTuple

__all__ = ["DEFAULT_PREFIX", "Topic", "TOPICS", "topic_name", "definition"]

DEFAULT_PREFIX = "/tavix"


class Topic(NamedTuple):
    suffix: str  # after the prefix
    datatype: str  # the ROS 2 message type


# suffix -> topic. `tick`: one message per tick (cycle, time since the loop's start,
# round trip, lateness, ok); position, velocity and force: one each per tick; proxy: each
# scene's proxy as the recorder samples it; stats: once a second; effects: at the start
# and whenever the loop's effects (or a scene's shapes) change, as JSON.
TOPICS: Dict[str, Topic] = {
    name: Topic("/" + name, datatype)
    for name, datatype in (
        ("tick", "tavix_msgs/msg/Tick"),
        ("position", "geometry_msgs/msg/PointStamped"),
        ("velocity", "geometry_msgs/msg/Vector3Stamped"),
        ("force", "geometry_msgs/msg/WrenchStamped"),
        ("proxy", "tavix_msgs/msg/Proxy"),
        ("stats", "tavix_msgs/msg/LoopStats"),
        ("effects", "std_msgs/msg/String"),
    )
}


def topic_name(prefix: str, name: str) -> str:
    """The full topic of `name` (a key of TOPICS) under `prefix`."""
    return prefix.rstrip("/") + TOPICS[name].suffix


_FIELDS = {
    "builtin_interfaces/Time": "int32 sec\nuint32 nanosec",
    "std_msgs/Header": "builtin_interfaces/Time stamp\nstring frame_id",
    "std_msgs/String": "string data",
    "geometry_msgs/Point": "float64 x\nfloat64 y\nfloat64 z",
    "geometry_msgs/Vector3": "float64 x\nfloat64 y\nfloat64 z",
    "geometry_msgs/Wrench": "geometry_msgs/Vector3 force\ngeometry_msgs/Vector3 torque",
    "geometry_msgs/PointStamped": "std_msgs/Header header\ngeometry_msgs/Point point",
    "geometry_msgs/Vector3Stamped": "std_msgs/Header header\ngeometry_msgs/Vector3 vector",
    "geometry_msgs/WrenchStamped": "std_msgs/Header header\ngeometry_msgs/Wrench wrench",
    "tavix_msgs/Tick": "std_msgs/Header header\nuint64 cycle\nfloat64 time\nfloat32 round_trip_us\n"
                       "float32 lateness_us\nbool ok",
    "tavix_msgs/Proxy": "std_msgs/Header header\nuint32 scene\ngeometry_msgs/Point position\nbool in_contact\n"
                        "int32 shape\ngeometry_msgs/Vector3 normal",
    "tavix_msgs/LoopStats": "std_msgs/Header header\nuint64 cycles\nuint64 missed\nuint64 failures\n"
                            "uint64 clamped\nuint64 non_finite\nuint64 lost\nfloat64 lateness_p50_us\n"
                            "float64 lateness_p99_us\nfloat64 lateness_max_us\nfloat64 round_trip_p50_us\n"
                            "float64 round_trip_p99_us\nfloat64 round_trip_max_us\n"
                            "float64 period_jitter_p99_us",
}

_SEPARATOR = "=" * 80


def _short(datatype: str) -> str:
    return datatype.replace("/msg/", "/")


def _dependencies(name: str, found: Dict[str, None]) -> None:
    for line in _FIELDS[name].splitlines():
        field_type = line.split()[0]
        if "/" in field_type and field_type not in found:
            found[field_type] = None
            _dependencies(field_type, found)


def definition(datatype: str) -> str:
    """The message definition of `datatype` as ROS 2 bags store it: its fields, then
    each type it uses, after a separator line and "MSG: <type>"."""
    name = _short(datatype)
    used: Dict[str, None] = {}
    _dependencies(name, used)
    parts = [_FIELDS[name]]
    parts += ["%s\nMSG: %s\n%s" % (_SEPARATOR, dependency, _FIELDS[dependency]) for dependency in used]
    return "\n".join(parts) + "\n"
