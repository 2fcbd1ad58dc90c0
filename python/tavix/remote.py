"""RemoteArm: an arm that a tavix-bridge publishes, seen from another process or machine
through Eclipse Zenoh.

    from tavix import encoding
    from tavix.remote import RemoteArm

    with RemoteArm("7a5e5130-0000-4000-8000-000000000001",
                   connect=["tcp/192.168.1.20:7447"]) as arm:
        state = arm.wait_state(timeout=1.0)
        arm.set_effects(encoding.spring(state.position, 200.0))   # again within 100 ms
        print(arm.latency())

RemoteArm(uuid, ...) raises LookupError, naming the endpoints, when no bridge serves the
arm within `timeout`. Its session listens nowhere unless `listen` (or the `config` file)
names endpoints: it connects to the bridge.

set_effects() is acknowledged: it returns once the bridge has applied the effects (a
query on tavix/<uuid>/effects and its reply) and raises otherwise: ValueError for an
invalid effect (checked here first, with the bridge's own table, so nothing invalid is
sent), PermissionError when another controller holds the arm or the bridge runs without
--allow-commands, ArmFailedError when the arm failed, TimeoutError when no bridge
answers. stream_effects() publishes instead, unacknowledged, for a high-rate stream.

The bridge removes remote effects that are not refreshed within its --command-timeout,
so a controller sends its effects on a steady beat (every 10 ms, say), and the arm goes
slack when the controller dies. One controller at a time commands an arm: the first whose
effects the bridge takes holds control. take_control() takes control whoever holds it
(for a supervisor); release_control(), and close(), give it back. Needs the `remote`
extra (zenoh).
"""

import json
import os
import secrets
import socket
import threading
import time
import uuid as _uuid
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, TypeVar, Union

from tavix import effect_kinds, encoding, zenoh_session
from tavix.zenoh_session import zenoh

LATENCY_WINDOW = 10000  # the last samples the latency statistics cover
FIND_TIMEOUT = 2.0  # s for a bridge to answer that it serves the arm
EFFECTS_TIMEOUT = 1.0  # s for the bridge to answer an effects message
CONTROL_TIMEOUT = 2.0  # s for the bridge to answer a control request
RELEASE_TIMEOUT = 0.5  # s for it to answer the release that close() sends
RETRY_PAUSE = 0.01  # s before asking again when a query ended with no bridge known

_Reply = TypeVar("_Reply")


class ArmFailedError(ConnectionError):
    """The bridge's arm failed (its port hung up, it fell silent): the bridge refuses its
    commands until it has reopened the arm, if it does."""


def normalised_uuid(uuid: Union[str, _uuid.UUID]) -> str:
    """An arm's identifier as the bridge's keys carry it, lower-case with dashes, from a
    uuid.UUID or its text in either case, with or without dashes (as
    TavixHardwareAPI.open_arm takes it); ValueError for anything else."""
    if isinstance(uuid, _uuid.UUID):
        return str(uuid)
    try:
        return str(_uuid.UUID(uuid))
    except (ValueError, TypeError, AttributeError):
        raise ValueError("%r is not an arm's uuid: 32 hexadecimal digits, dashes allowed" % (uuid,)) from None


def _default_controller() -> str:
    """A name for this client: host, process and a random part, unique per RemoteArm."""
    return "%s:%d:%s" % (socket.gethostname(), os.getpid(), secrets.token_hex(4))


def _describe(effect: Any) -> Dict[str, Any]:
    """An effect description from a dict (as tavix.encoding's helpers make) or from a
    TavixHardwareAPI effect object."""
    if isinstance(effect, dict):
        return effect
    return effect_kinds.describe_object(effect)


def _milliseconds(seconds: float) -> str:
    return "%.1f ms" % (1000 * seconds)


def _parse_info(data: bytes) -> Dict[str, Any]:
    try:
        info = json.loads(data)
    except ValueError:
        raise encoding.MessageError("info is not JSON") from None
    if not isinstance(info, dict):
        raise encoding.MessageError("info is not a JSON object")
    return info


class RemoteArm:
    """The state of an arm that a bridge publishes, and its remote effects.

    `uuid` is the arm's identifier (a uuid.UUID or its text, either case, dashes or
    not; ValueError otherwise), kept lower-case with dashes. The Zenoh session is
    `session` if given (shared, left open on close()), else one opened from `config` (a
    Zenoh configuration file) with `connect` and `listen` endpoints, in `mode`,
    multicast scouting off unless `scouting`; it listens nowhere unless `listen` or the
    file names endpoints (ConnectionError if it cannot open, as in client mode with no
    peer to reach). The constructor asks a bridge for the arm's info and raises
    LookupError, naming the uuid and the endpoints, when none answers within `timeout`
    seconds. `controller` names this client to the bridge (the holder that info() and a
    refused client see); by default host:pid:random, different for each RemoteArm.

    Its methods may be called from several threads; the states arrive on a thread of
    Zenoh's."""

    def __init__(self, uuid: Union[str, _uuid.UUID], connect: Sequence[str] = (), *, listen: Sequence[str] = (),
                 config: Optional[str] = None, mode: str = "peer", scouting: bool = False,
                 session: Optional["zenoh.Session"] = None, controller: Optional[str] = None,
                 timeout: float = FIND_TIMEOUT) -> None:
        self.uuid = normalised_uuid(uuid)
        self.prefix = "tavix/%s" % self.uuid
        self.controller = controller if controller is not None else _default_controller()
        if not 1 <= len(self.controller) <= encoding.MAX_CONTROLLER:
            raise ValueError("controller must be a name of 1 to %d characters" % encoding.MAX_CONTROLLER)
        self._lock = threading.Lock()  # guards the state, the latencies, the counters and the control fields
        self._arrived = threading.Condition(self._lock)
        self._holding = False  # the bridge granted this client control...
        self._confirmed = 0.0  # ...at this monotonic time
        self._confirm_every = 0.0  # s: half the bridge's command time-out
        self._state: Optional[encoding.ArmState] = None
        self._latencies_us: List[float] = []
        self._next = 0
        self.received = 0
        self.malformed = 0
        settings = zenoh_session.SessionSettings(config, mode, tuple(listen), tuple(connect), scouting)
        self._own_session = session is None
        self._where = settings.endpoints() if session is None else "the session given"
        if session is None:
            try:
                session = settings.open()
            except zenoh_session.SessionError as error:
                raise zenoh_session.SessionError("no Zenoh session for the arm %s (%s): %s"
                                                 % (self.uuid, self._where, error)) from None
        self.session = session
        self._subscriber = self.session.declare_subscriber(zenoh_session.state_key(self.uuid), self._on_state)
        self._publisher = self.session.declare_publisher(zenoh_session.effects_key(self.uuid),
                                                         encoding=zenoh_session.EFFECTS_ENCODING)
        try:
            found, waited = self._ask(zenoh_session.info_key(self.uuid), timeout, _parse_info)
            if found is None:
                raise LookupError("no bridge serves the arm %s on %s: none answered within %.2f s"
                                  % (self.uuid, self._where, waited))
        except BaseException:
            self._end_session()
            raise

    def _on_state(self, sample: "zenoh.Sample") -> None:
        now = time.time_ns()
        try:
            state = encoding.decode_state(sample.payload.to_bytes())
        except encoding.MessageError:
            with self._lock:
                self.malformed += 1
            return
        latency = (now - state.sent_ns) / 1000.0
        with self._arrived:
            if self._state is not None and self._state.failed and state.cycle <= self._state.cycle:
                return  # from before the failure: only the reopened arm's states follow it
            self._state = state
            self.received += 1
            if len(self._latencies_us) < LATENCY_WINDOW:
                self._latencies_us.append(latency)
            else:
                self._latencies_us[self._next] = latency
                self._next = (self._next + 1) % LATENCY_WINDOW
            self._arrived.notify_all()

    def state(self) -> Optional[encoding.ArmState]:
        """The latest state received (None before the first)."""
        with self._lock:
            return self._state

    def wait_state(self, timeout: float = 1.0, after: int = 0) -> encoding.ArmState:
        """Waits up to `timeout` s for a state with a cycle above `after`; TimeoutError if
        none comes, ArmFailedError while the latest state is the bridge's word that the
        arm failed (a reopened arm's states then carry on, with higher cycles)."""
        deadline = time.monotonic() + timeout
        with self._arrived:
            while self._state is None or self._state.cycle <= after:
                if self._state is not None and self._state.failed:
                    raise ArmFailedError("the arm %s failed: the bridge publishes no state for it" % self.uuid)
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TimeoutError("no state from the arm %s within %g s" % (self.uuid, timeout))
                self._arrived.wait(left)
            return self._state

    def set_effects(self, *effects: Any, timeout: float = EFFECTS_TIMEOUT) -> None:
        """Replaces the arm's remote effects (none: removes them) and refreshes the
        bridge's watchdog, and returns once the bridge has applied them. Effects are
        tavix.encoding descriptions or TavixHardwareAPI effect objects.

        The effects are checked here first, with the bridge's table (tavix.effect_kinds):
        ValueError (TypeError for what is no effect) and nothing is sent. Then a query,
        answered within a millisecond on a LAN, takes control of the arm if nobody holds
        it and applies them; it raises PermissionError, with the bridge's reason, when
        another controller holds the arm or the bridge takes no commands; ValueError when
        the bridge finds them invalid; ArmFailedError when the arm failed (and is not
        reopened yet); TimeoutError when no bridge answers within `timeout` s (the effects
        may then have been applied: the watchdog removes them if nothing follows)."""
        reply, waited = self._effects_reply(self._effects_payload(effects), timeout)
        self._judge(reply, waited, "the effects")

    def stream_effects(self, *effects: Any) -> None:
        """Replaces the arm's remote effects as set_effects() does, without waiting for
        the bridge: the message is published, not acknowledged, for a stream at a rate
        where a round trip per message is too much. Nothing says whether the bridge
        applied it: it drops, and counts, what it refuses (another controller took the
        arm, the arm failed) and the network may lose it. So the arm's states, or
        set_effects() now and then, are the check.

        Checks the effects as set_effects() does (ValueError, TypeError, nothing sent),
        and raises ArmFailedError, sending nothing, once the bridge has published the
        arm's failure. Claims control (a query on tavix/<uuid>/control) when this client
        does not hold it or has not confirmed it for half the bridge's command time-out:
        PermissionError while another controller holds it (or the bridge takes no
        commands), ArmFailedError if the arm failed, TimeoutError if no bridge answers."""
        payload = self._effects_payload(effects)
        with self._lock:
            failed = self._state is not None and self._state.failed
            confirm = not self._holding or time.monotonic() - self._confirmed >= self._confirm_every
        if failed:
            raise ArmFailedError("the arm %s failed: nothing sent" % self.uuid)
        if confirm:
            self._request_control("claim", CONTROL_TIMEOUT)
        self._publisher.put(payload)

    def _effects_payload(self, effects: Sequence[Any]) -> bytes:
        """The effects message, checked as the bridge checks it; ValueError or TypeError."""
        try:
            checked = effect_kinds.check_all([_describe(effect) for effect in effects])
        except ValueError as error:
            raise ValueError("effects for the arm %s, not sent: %s" % (self.uuid, error)) from None
        payload = encoding.encode_effects(checked, self.controller)
        if len(payload) > encoding.MAX_MESSAGE_BYTES:
            raise ValueError("effects for the arm %s, not sent: %d bytes, more than %d"
                             % (self.uuid, len(payload), encoding.MAX_MESSAGE_BYTES))
        return payload

    def _effects_reply(self, payload: bytes, timeout: float) -> Tuple[encoding.EffectsReply, float]:
        reply, waited = self._ask(zenoh_session.effects_key(self.uuid), timeout, encoding.parse_effects_reply,
                                  payload, zenoh_session.EFFECTS_ENCODING)
        if reply is None:
            raise TimeoutError("no bridge answered for the arm %s within %.2f s" % (self.uuid, waited))
        with self._lock:
            self._holding = reply.outcome == encoding.APPLIED
            self._confirmed = time.monotonic()
            self._confirm_every = reply.command_timeout / 2
        return reply, waited

    def _judge(self, reply: encoding.EffectsReply, waited: float, what: str) -> None:
        """Raises the exception an effects reply other than "applied" stands for."""
        if reply.outcome == encoding.APPLIED:
            return
        told = "the bridge answered after %s: %s" % (_milliseconds(waited), reply.reason)
        if reply.outcome == encoding.FAILED:
            raise ArmFailedError("the arm %s failed, %s not applied; %s" % (self.uuid, what, told))
        if reply.outcome == encoding.INVALID:
            raise ValueError("%s for the arm %s are invalid; %s" % (what, self.uuid, told))
        raise PermissionError("%s for the arm %s were refused to %s; %s" % (what, self.uuid, self.controller, told))

    def take_control(self, timeout: float = CONTROL_TIMEOUT) -> None:
        """Takes control of the arm whoever holds it (for a supervisor): the holder's
        effects are removed (zero force) and its set_effects() raises PermissionError.
        ArmFailedError if the arm failed, PermissionError if the bridge takes no commands,
        TimeoutError if no bridge answers."""
        self._request_control("take", timeout)

    def release_control(self, timeout: float = CONTROL_TIMEOUT) -> None:
        """Gives control back if this client holds it: the bridge removes its effects
        (zero force) and another controller may claim the arm. TimeoutError if no bridge
        answers."""
        with self._lock:
            self._holding = False
        self._request_control("release", timeout, refusal_raises=False)

    def _request_control(self, request: str, timeout: float, refusal_raises: bool = True) -> encoding.ControlReply:
        reply, waited = self._ask(zenoh_session.control_key(self.uuid), timeout, encoding.parse_control_reply,
                                  encoding.encode_control_request(request, self.controller),
                                  zenoh_session.CONTROL_ENCODING)
        if reply is None:
            raise TimeoutError("no bridge answered for the arm %s within %.2f s" % (self.uuid, waited))
        if request != "release":
            with self._lock:
                self._holding = reply.granted and reply.controller == self.controller
                self._confirmed = time.monotonic()
                self._confirm_every = reply.command_timeout / 2
        if refusal_raises and not reply.granted:
            told = "the bridge answered after %s: %s" % (_milliseconds(waited), reply.reason)
            if reply.failed is not None:
                raise ArmFailedError("the arm %s failed; %s" % (self.uuid, told))
            raise PermissionError("the arm %s refused control to %s; %s" % (self.uuid, self.controller, told))
        return reply

    def _ask(self, key: str, timeout: float, parse: Callable[[bytes], _Reply], payload: Optional[bytes] = None,
             payload_encoding: Optional["zenoh.Encoding"] = None) -> Tuple[Optional[_Reply], float]:
        """The first reply to a query on `key` that `parse` takes, and the seconds waited;
        None and the wait when none came within `timeout`. A query that ends early with
        no reply (no bridge known yet: the session may still be connecting) is asked
        again until then."""
        began = time.monotonic()
        deadline = began + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return None, time.monotonic() - began
            for reply in self.session.get(key, timeout=left, payload=payload, encoding=payload_encoding):
                if reply.ok is not None:
                    try:
                        return parse(reply.ok.payload.to_bytes()), time.monotonic() - began
                    except encoding.MessageError:
                        continue
            time.sleep(max(0.0, min(RETRY_PAUSE, deadline - time.monotonic())))

    def send_raw(self, payload: bytes) -> None:
        """Puts `payload` on the effects key as it is (for tests of the bridge's checks)."""
        self._publisher.put(payload)

    def ask_raw(self, payload: bytes, timeout: float = EFFECTS_TIMEOUT) -> encoding.EffectsReply:
        """Sends `payload` as it is as an acknowledged effects message and returns the
        bridge's reply (for tests of the bridge's checks); TimeoutError if none comes."""
        return self._effects_reply(payload, timeout)[0]

    def info(self, timeout: float = 2.0) -> Dict[str, Any]:
        """The bridge's description of the arm (tavix/<uuid>/info); TimeoutError when no
        bridge answers."""
        info, waited = self._ask(zenoh_session.info_key(self.uuid), timeout, _parse_info)
        if info is None:
            raise TimeoutError("no bridge answered for the arm %s within %.2f s" % (self.uuid, waited))
        return info

    def latency(self) -> Dict[str, Union[float, int]]:
        """One-way state latency seen, bridge's send to this process's receipt, in
        microseconds over the last samples: count, p50, p99, max (clocks of different
        machines must be synchronised for it to mean anything)."""
        with self._lock:
            values = sorted(self._latencies_us)
        if not values:
            return {"count": 0, "p50": float("nan"), "p99": float("nan"), "max": float("nan")}

        def percentile(fraction: float) -> float:
            return values[min(len(values) - 1, int(fraction * len(values)))]

        return {"count": len(values), "p50": percentile(0.5), "p99": percentile(0.99), "max": values[-1]}

    def close(self) -> None:
        """Releases control if this client holds it (so the arm goes slack at once, not at
        the bridge's watchdog), then ends the subscriptions (and the session if its own)."""
        with self._lock:
            holding = self._holding
        if holding:
            try:
                self.release_control(RELEASE_TIMEOUT)
            except (TimeoutError, OSError):
                pass  # the watchdog removes the effects in any case
        self._end_session()

    def _end_session(self) -> None:
        self._subscriber.undeclare()
        self._publisher.undeclare()
        if self._own_session:
            self.session.close()

    def __repr__(self) -> str:
        return "<RemoteArm %s, %d states received>" % (self.uuid, self.received)

    def __enter__(self) -> "RemoteArm":
        return self

    def __exit__(self, *_: Any) -> None:
        self.close()
