"""What the bridge (tavix.bridge) and its client (tavix.remote) agree on about Zenoh:
the session settings, the key expressions and the Zenoh encoding of each message.

    settings = zenoh_session.SessionSettings(connect=["tcp/192.168.1.20:7447"])
    session = settings.open()
    session.declare_subscriber(zenoh_session.state_key(uuid), on_state)

Needs the `remote` extra (zenoh); importing this module without it raises an ImportError
that says so. The messages themselves are tavix.encoding's.
"""

import json
from dataclasses import dataclass, field
from typing import Optional, Sequence

try:
    import zenoh as zenoh  # also for the bridge and its client, after the check below
except ImportError as error:  # pragma: no cover - depends on the environment
    raise ImportError("the remote extra is not installed: pip install 'TavixHardwareAPI[remote]' "
                      "(needs CPython 3.9+)") from error

from tavix import encoding

__all__ = ["zenoh", "SessionSettings", "state_key", "info_key", "control_key", "effects_key", "handle_status_key",
           "STATE_ENCODING", "STATUS_ENCODING", "EFFECTS_ENCODING", "CONTROL_ENCODING", "INFO_ENCODING"]


@dataclass(frozen=True)
class SessionSettings:
    """How to open a Zenoh session: Zenoh's own configuration file (JSON5: TLS,
    authentication, access control) if `config_file` is given, with `mode` ("peer",
    "router" or "client"), the `listen` and `connect` endpoints ("tcp/host:port") and
    multicast `scouting` on top."""

    config_file: Optional[str] = None
    mode: str = "peer"
    listen: Sequence[str] = field(default_factory=tuple)
    connect: Sequence[str] = field(default_factory=tuple)
    scouting: bool = False

    def config(self) -> "zenoh.Config":
        config = zenoh.Config.from_file(self.config_file) if self.config_file else zenoh.Config()
        config.insert_json5("mode", json.dumps(self.mode))
        if self.listen:
            config.insert_json5("listen/endpoints", json.dumps(list(self.listen)))
        if self.connect:
            config.insert_json5("connect/endpoints", json.dumps(list(self.connect)))
        config.insert_json5("scouting/multicast/enabled", json.dumps(self.scouting))
        return config

    def open(self) -> "zenoh.Session":
        return zenoh.open(self.config())


# Key expressions. <uuid> is an arm's identifier, lower-case with dashes, <id> a handle's
# device number.

def state_key(uuid: str) -> str:
    """tavix/<uuid>/state: the arm's state, published by the bridge."""
    return "tavix/%s/state" % uuid


def info_key(uuid: str) -> str:
    """tavix/<uuid>/info: the bridge's description of the arm, a queryable."""
    return "tavix/%s/info" % uuid


def control_key(uuid: str) -> str:
    """tavix/<uuid>/control: who commands the arm, a queryable (claim, take, release)."""
    return "tavix/%s/control" % uuid


def effects_key(uuid: str) -> str:
    """tavix/<uuid>/effects: the arm's remote effects, put by a client."""
    return "tavix/%s/effects" % uuid


def handle_status_key(device_id: int) -> str:
    """tavix/handle/<id>/status: the handle's status, published by the bridge."""
    return "tavix/handle/%d/status" % device_id


# The Zenoh encoding each message is sent with.
STATE_ENCODING = zenoh.Encoding.APPLICATION_OCTET_STREAM.with_schema(encoding.STATE_SCHEMA)
STATUS_ENCODING = zenoh.Encoding.APPLICATION_OCTET_STREAM.with_schema(encoding.STATUS_SCHEMA)
EFFECTS_ENCODING = zenoh.Encoding.APPLICATION_JSON.with_schema(encoding.EFFECTS_SCHEMA)
CONTROL_ENCODING = zenoh.Encoding.APPLICATION_JSON.with_schema(encoding.CONTROL_SCHEMA)
INFO_ENCODING = zenoh.Encoding.APPLICATION_JSON
