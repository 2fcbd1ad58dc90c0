"""RemoteArm: an arm that a tavix-bridge publishes, seen from another process or machine
through Eclipse Zenoh.

    from tavix.remote import RemoteArm
    from tavix import encoding

    with RemoteArm("7a5e5130-0000-4000-8000-000000000001",
                   connect=["tcp/192.168.1.20:7447"]) as arm:
        state = arm.wait_state(timeout=1.0)
        arm.set_effects(encoding.spring(state.position, 200.0))   # again within 100 ms
        print(arm.latency())

The bridge removes remote effects that are not refreshed within its --command-timeout,
so a controller sends set_effects() on a steady beat (every 10 ms, say), and the arm
goes slack when the controller dies. The bridge must run with --allow-commands for
set_effects() to have any effect.

One controller at a time commands an arm. set_effects() claims control from the bridge
(a query on tavix/<uuid>/control) on its first call and again every half command
time-out, and publishes the effects in between; it raises PermissionError, naming the
holder, while another controller holds control, and ArmFailedError once the arm has
failed. take_control() takes control whoever holds it (for a supervisor);
release_control(), and close(), give it back. Needs the `remote` extra (zenoh).
"""

import json
import os
import secrets
import socket
import threading
import time
from typing import Any, Dict, List, Optional, Sequence, Union

from tavix import effect_kinds, encoding, zenoh_session
from tavix.zenoh_session import zenoh

LATENCY_WINDOW = 10000  # the last samples the latency statistics cover
CONTROL_TIMEOUT = 2.0  # s for the bridge to answer a control request
RELEASE_TIMEOUT = 0.5  # s for it to answer the release that close() sends


class ArmFailedError(ConnectionError):
    """The bridge's arm failed (its port hung up, it fell silent): the bridge publishes no
    more states for it and refuses its commands."""


def _default_controller() -> str:
    """A name for this client: host, process and a random part, unique per RemoteArm."""
    return "%s:%d:%s" % (socket.gethostname(), os.getpid(), secrets.token_hex(4))


def _describe(effect: Any) -> Dict[str, Any]:
    """An effect description from a dict (as tavix.encoding's helpers make) or from a
    TavixHardwareAPI effect object."""
    if isinstance(effect, dict):
        return effect
    return effect_kinds.describe_object(effect)


class RemoteArm:
    """The state of an arm that a bridge publishes, and its remote effects.

    `uuid` is the arm's identifier. The Zenoh session is `session` if given (shared,
    left open on close()), else one opened from `config` (a Zenoh configuration file)
    with `connect` and `listen` endpoints, in `mode`, multicast scouting off unless
    `scouting`. `controller` names this client to the bridge (the holder that info()
    and a refused client see); by default host:pid:random, different for each RemoteArm."""

    def __init__(self, uuid: str, connect: Sequence[str] = (), *, listen: Sequence[str] = (),
                 config: Optional[str] = None, mode: str = "peer", scouting: bool = False,
                 session: Optional["zenoh.Session"] = None, controller: Optional[str] = None) -> None:
        self.uuid = str(uuid)
        self.prefix = "tavix/%s" % self.uuid
        self.controller = controller if controller is not None else _default_controller()
        if not 1 <= len(self.controller) <= encoding.MAX_CONTROLLER:
            raise ValueError("controller must be a name of 1 to %d characters" % encoding.MAX_CONTROLLER)
        self._holding = False  # the bridge granted this client control...
        self._confirmed = 0.0  # ...at this monotonic time
        self._confirm_every = 0.0  # s: half the bridge's command time-out
        self._own_session = session is None
        self.session = session if session is not None else zenoh_session.SessionSettings(
            config, mode, tuple(listen), tuple(connect), scouting).open()
        self._lock = threading.Lock()
        self._arrived = threading.Condition(self._lock)
        self._state: Optional[encoding.ArmState] = None
        self._latencies_us: List[float] = []
        self._next = 0
        self.received = 0
        self.malformed = 0
        self._subscriber = self.session.declare_subscriber(zenoh_session.state_key(self.uuid), self._on_state)
        self._publisher = self.session.declare_publisher(zenoh_session.effects_key(self.uuid),
                                                         encoding=zenoh_session.EFFECTS_ENCODING)

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
            if self._state is not None and self._state.failed:
                return  # nothing follows a failure
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
        none comes, ArmFailedError once the bridge has said the arm failed."""
        deadline = time.monotonic() + timeout
        with self._arrived:
            while self._state is None or self._state.cycle <= after:
                if self._state is not None and self._state.failed:
                    raise ArmFailedError("the arm tavix/%s failed: the bridge publishes no more states" % self.uuid)
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TimeoutError("no state from tavix/%s within %g s" % (self.uuid, timeout))
                self._arrived.wait(left)
            return self._state

    def set_effects(self, *effects: Any) -> None:
        """Replaces the arm's remote effects (none: removes them) and refreshes the
        bridge's watchdog. Effects are tavix.encoding descriptions or TavixHardwareAPI
        effect objects.

        Claims control first when this client does not hold it, or has not confirmed it
        for half the bridge's command time-out (a query, answered within a millisecond on
        a LAN): PermissionError, naming the holder, while another controller holds it (or
        the bridge takes no commands); ArmFailedError if the arm failed; TimeoutError if
        no bridge answers."""
        payload = encoding.encode_effects([_describe(effect) for effect in effects], self.controller)
        with self._lock:
            failed = self._state is not None and self._state.failed
        if failed:
            raise ArmFailedError("the arm tavix/%s failed" % self.uuid)
        if not self._holding or time.monotonic() - self._confirmed >= self._confirm_every:
            self._request_control("claim", CONTROL_TIMEOUT)
        self._publisher.put(payload)

    def take_control(self, timeout: float = CONTROL_TIMEOUT) -> None:
        """Takes control of the arm whoever holds it (for a supervisor): the holder's
        effects are removed (zero force) and its set_effects() raises PermissionError from
        its next claim. ArmFailedError if the arm failed, PermissionError if the bridge
        takes no commands, TimeoutError if no bridge answers."""
        self._request_control("take", timeout)

    def release_control(self, timeout: float = CONTROL_TIMEOUT) -> None:
        """Gives control back if this client holds it: the bridge removes its effects
        (zero force) and another controller may claim the arm. TimeoutError if no bridge
        answers."""
        self._holding = False
        self._request_control("release", timeout, refusal_raises=False)

    def _request_control(self, request: str, timeout: float, refusal_raises: bool = True) -> encoding.ControlReply:
        reply = self._query_control(request, timeout)
        granted = reply.granted and reply.controller == self.controller
        if request != "release":
            self._holding = granted
            self._confirmed = time.monotonic()
            self._confirm_every = reply.command_timeout / 2
        if refusal_raises and not reply.granted:
            if reply.failed is not None:
                raise ArmFailedError("the arm tavix/%s failed: %s" % (self.uuid, reply.failed))
            raise PermissionError("tavix/%s refused control to %s: %s" % (self.uuid, self.controller, reply.reason))
        return reply

    def _query_control(self, request: str, timeout: float) -> encoding.ControlReply:
        replies = self.session.get(zenoh_session.control_key(self.uuid), timeout=timeout,
                                   payload=encoding.encode_control_request(request, self.controller),
                                   encoding=zenoh_session.CONTROL_ENCODING)
        for reply in replies:
            if reply.ok is not None:
                try:
                    return encoding.parse_control_reply(reply.ok.payload.to_bytes())
                except encoding.MessageError:
                    continue
        raise TimeoutError("no bridge answered for tavix/%s/control within %g s" % (self.uuid, timeout))

    def send_raw(self, payload: bytes) -> None:
        """Puts `payload` on the effects key as it is (for tests of the bridge's checks)."""
        self._publisher.put(payload)

    def info(self, timeout: float = 2.0) -> Dict[str, Any]:
        """The bridge's description of the arm (tavix/<uuid>/info); TimeoutError when no
        bridge answers."""
        for reply in self.session.get(zenoh_session.info_key(self.uuid), timeout=timeout):
            if reply.ok is not None:
                result: Dict[str, Any] = json.loads(reply.ok.payload.to_bytes())
                return result
        raise TimeoutError("no bridge answered for tavix/%s within %g s" % (self.uuid, timeout))

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
        if self._holding:
            try:
                self.release_control(RELEASE_TIMEOUT)
            except (TimeoutError, OSError):
                pass  # the watchdog removes the effects in any case
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
