"""What the bridge (tavix.bridge) and its client (tavix.remote) agree on about Zenoh:
the session settings, the key expressions and the Zenoh encoding of each message.

    settings = zenoh_session.SessionSettings(connect=["tcp/192.168.1.20:7447"])
    session = settings.open()
    session.declare_subscriber(zenoh_session.state_key(uuid), on_state)

Needs the `remote` extra (zenoh); importing this module without it raises an ImportError
that says so. The messages themselves are tavix.encoding's.
"""

import json
import re
from dataclasses import dataclass, field
from typing import List, Optional, Sequence

try:
    import zenoh as zenoh  # also for the bridge and its client, after the check below
except ImportError as error:  # pragma: no cover - depends on the environment
    raise ImportError("the remote extra is not installed: pip install 'TavixHardwareAPI[remote]' "
                      "(needs CPython 3.9+)") from error

from tavix import encoding

__all__ = ["zenoh", "SessionSettings", "SessionError", "error_text", "state_key", "info_key", "control_key",
           "effects_key", "handle_status_key", "STATE_ENCODING", "STATUS_ENCODING", "EFFECTS_ENCODING",
           "EFFECTS_REPLY_ENCODING", "CONTROL_ENCODING", "INFO_ENCODING"]


class SessionError(ConnectionError):
    """A Zenoh session that did not open."""


@dataclass(frozen=True)
class SessionSettings:
    """How to open a Zenoh session: Zenoh's own configuration file (JSON5: TLS,
    authentication, access control) if `config_file` is given, with `mode` ("peer",
    "router" or "client"), the `listen` and `connect` endpoints ("tcp/host:port") and
    multicast `scouting` on top.

    A session listens only where it is asked to: on `listen` if given, else on the
    endpoints the file names, else on `default_listen`, which is empty unless the
    caller says otherwise (the client's case: it listens nowhere). Without this, Zenoh's
    own default for a peer is a plaintext listener on every interface, on a random port.
    A file whose listen endpoints are Zenoh's default (for instance one without a
    `listen` section) names none."""

    config_file: Optional[str] = None
    mode: str = "peer"
    listen: Sequence[str] = field(default_factory=tuple)
    connect: Sequence[str] = field(default_factory=tuple)
    scouting: bool = False
    default_listen: Sequence[str] = field(default_factory=tuple)

    def config(self) -> "zenoh.Config":
        config = zenoh.Config.from_file(self.config_file) if self.config_file else zenoh.Config()
        config.insert_json5("mode", json.dumps(self.mode))
        if self.listen:
            config.insert_json5("listen/endpoints", json.dumps(list(self.listen)))
        elif not _names_listen_endpoints(config):
            config.insert_json5("listen/endpoints", json.dumps(list(self.default_listen)))
        if self.connect:
            config.insert_json5("connect/endpoints", json.dumps(list(self.connect)))
        config.insert_json5("scouting/multicast/enabled", json.dumps(self.scouting))
        return config

    def open(self) -> "zenoh.Session":
        """The session; SessionError, with Zenoh's reason on one line, when it cannot open
        (a configuration file missing or wrong, an address in use, nothing to connect to
        in client mode)."""
        try:
            config = self.config()
        except zenoh.ZError as error:
            raise SessionError("the Zenoh configuration file %s: %s" % (self.config_file, error_text(error))) from None
        try:
            return zenoh.open(config)
        except zenoh.ZError as error:
            raise SessionError(error_text(error)) from None

    def listen_endpoints(self) -> List[str]:
        """The endpoints a session opened with these settings is asked to listen on."""
        endpoints = json.loads(self.config().get_json("listen/endpoints"))
        if isinstance(endpoints, dict):  # one list per mode
            endpoints = endpoints.get(self.mode) or []
        return [str(endpoint) for endpoint in endpoints]

    def endpoints(self) -> str:
        """Where this session looks for its peers, for a message: its connect endpoints,
        or its file, or scouting."""
        places = list(self.connect)
        if self.config_file:
            places.append("the endpoints of %s" % self.config_file)
        if self.scouting:
            places.append("multicast scouting")
        return ", ".join(places) if places else "no endpoint (none given to connect to, scouting off)"


def _names_listen_endpoints(config: "zenoh.Config") -> bool:
    """Whether `config` names listen endpoints of its own rather than Zenoh's default."""
    return bool(json.loads(config.get_json("listen/endpoints")) != json.loads(_ZENOH_DEFAULT_LISTEN))


_ZENOH_DEFAULT_LISTEN = zenoh.Config().get_json("listen/endpoints")


def error_text(error: BaseException) -> str:
    """A Zenoh error's message on one line, without the source locations Zenoh appends."""
    text = re.sub(r"\s+at \S+\.rs:\d+\.?", "", str(error))
    return " ".join(text.split())


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
    """tavix/<uuid>/effects: the arm's remote effects, a queryable that answers whether
    it applied them, and a key a client may put them on unacknowledged."""
    return "tavix/%s/effects" % uuid


def handle_status_key(device_id: int) -> str:
    """tavix/handle/<id>/status: the handle's status, published by the bridge."""
    return "tavix/handle/%d/status" % device_id


# The Zenoh encoding each message is sent with.
STATE_ENCODING = zenoh.Encoding.APPLICATION_OCTET_STREAM.with_schema(encoding.STATE_SCHEMA)
STATUS_ENCODING = zenoh.Encoding.APPLICATION_OCTET_STREAM.with_schema(encoding.STATUS_SCHEMA)
EFFECTS_ENCODING = zenoh.Encoding.APPLICATION_JSON.with_schema(encoding.EFFECTS_SCHEMA)
EFFECTS_REPLY_ENCODING = zenoh.Encoding.APPLICATION_JSON.with_schema(encoding.EFFECTS_REPLY_SCHEMA)
CONTROL_ENCODING = zenoh.Encoding.APPLICATION_JSON.with_schema(encoding.CONTROL_SCHEMA)
INFO_ENCODING = zenoh.Encoding.APPLICATION_JSON
