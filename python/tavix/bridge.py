"""tavix-bridge: puts arms and handles on the network through Eclipse Zenoh.

    tavix-bridge --arm-port /dev/ttyACM0                 one arm, publish only, loopback
    tavix-bridge --scan --allow-commands                 every arm and handle a scan finds
    tavix-bridge --arm-port A --listen tcp/0.0.0.0:7447 --config zenoh-tls.json5

For each arm it runs a servo loop (TavixHardwareAPI.ServoLoop) in this process and
publishes its state on tavix/<uuid>/state at --rate (1 kHz by default); its description
is the queryable tavix/<uuid>/info (JSON). With --allow-commands it subscribes to
tavix/<uuid>/effects, whose messages replace the arm's remote effects; they expire when
no message has come for --command-timeout (100 ms by default): the effects are removed
and the arm gets zero force. Without --allow-commands effects messages are not even
subscribed to. Each handle's status is published on tavix/handle/<id>/status.

Malformed messages are counted (info's "malformed") and dropped. SIGINT and SIGTERM stop
the bridge: the remote effects are removed, each loop sends zero force and stops.
The layouts are in tavix.encoding and docs/remote.md, the keys and session settings in
tavix.zenoh_session, the effects in tavix.effect_kinds. Needs the `remote` extra (zenoh).
"""

import argparse
import json
import math
import signal
import sys
import threading
import time
from typing import Any, Dict, List, Optional, Sequence, Tuple

import TavixHardwareAPI as api

from tavix import effect_kinds, encoding, zenoh_session
from tavix.zenoh_session import zenoh

DEFAULT_LISTEN = "tcp/127.0.0.1:7447"
HANDLE_RATE = 50.0  # Hz: status requests to each handle
HANDLE_REPLY_TIMEOUT = 0.005  # s


def _effect_object(effect: Dict[str, Any]) -> Any:
    """The TavixHardwareAPI effect object for a checked description."""
    class_name, values = effect_kinds.arguments(effect)
    return getattr(api, class_name)(*values)


def _update(target: Any, effect: Dict[str, Any]) -> None:
    """Sets an effect object's parameters from a checked description of its type."""
    for name, value in effect.items():
        if name != "type":
            setattr(target, name, value)


class ArmBridge:
    """One arm: its servo loop, its state publisher, info queryable and effects
    subscriber, and the watchdog of its remote effects."""

    def __init__(self, session: "zenoh.Session", arm: api.Morvek3, uuid: str, arguments: argparse.Namespace,
                 port_path: str) -> None:
        self.uuid = uuid
        self.arguments = arguments
        self.port_path = port_path
        self.loop = api.ServoLoop(arm, rate_hz=arguments.servo_rate, max_force=arguments.max_force)
        self.lock = threading.Lock()  # guards the remote effects and the counters below
        self.remote: List[Any] = []  # the effect objects on the loop
        self.remote_types: List[str] = []
        self.last_command = 0.0  # monotonic time of the last valid effects message
        self.counters = {"published": 0, "commands": 0, "malformed": 0, "expired": 0}
        self.publisher = session.declare_publisher(
            zenoh_session.state_key(uuid), encoding=zenoh_session.STATE_ENCODING,
            congestion_control=zenoh.CongestionControl.DROP, express=True)
        self.queryable = session.declare_queryable(zenoh_session.info_key(uuid), self._on_info)
        self.subscriber = None
        if arguments.allow_commands:
            self.subscriber = session.declare_subscriber(zenoh_session.effects_key(uuid), self._on_effects)
        self.loop.start()

    def info(self) -> Dict[str, Any]:
        with self.lock:
            counters = dict(self.counters)
            effects = list(self.remote_types)
        stats = self.loop.stats()
        return {"version": encoding.VERSION, "uuid": self.uuid, "kind": "arm", "port": self.port_path,
                "rate_hz": self.arguments.rate, "servo_rate_hz": self.loop.rate_hz, "max_force": self.loop.max_force,
                "allow_commands": bool(self.arguments.allow_commands),
                "command_timeout": self.arguments.command_timeout, "running": self.loop.running,
                "remote_effects": effects, "counters": counters,
                "loop": {key: stats[key] for key in ("cycles", "missed", "failures", "clamped", "non_finite")}}

    def _on_info(self, query: "zenoh.Query") -> None:
        query.reply(query.key_expr, json.dumps(self.info()).encode(), encoding=zenoh_session.INFO_ENCODING)

    def _on_effects(self, sample: "zenoh.Sample") -> None:
        try:
            effects = encoding.parse_effects(sample.payload.to_bytes())
        except encoding.MessageError:
            with self.lock:
                self.counters["malformed"] += 1
            return
        self.apply(effects)

    def apply(self, effects: List[Dict[str, Any]]) -> None:
        """Replaces the remote effects; the same types in the same order are updated in
        place (from the loop's next tick), others swapped."""
        with self.lock:
            self.counters["commands"] += 1
            self.last_command = time.monotonic()
            types = [effect["type"] for effect in effects]
            if types == self.remote_types:
                for target, effect in zip(self.remote, effects):
                    _update(target, effect)
                return
            fresh = [_effect_object(effect) for effect in effects]
            for effect in self.remote:
                self.loop.remove(effect)
            for effect in fresh:
                self.loop.add(effect)
            self.remote, self.remote_types = fresh, types

    def clear(self) -> None:
        with self.lock:
            for effect in self.remote:
                self.loop.remove(effect)
            self.remote, self.remote_types = [], []

    def watch(self, now: float) -> None:
        """Removes the remote effects once no command has refreshed them in time."""
        with self.lock:
            expired = self.remote and now - self.last_command > self.arguments.command_timeout
        if expired:
            self.clear()
            with self.lock:
                self.counters["expired"] += 1

    def publish(self) -> None:
        state = self.loop.state()
        if state is None:
            return
        self.publisher.put(encoding.encode_state(state.cycle, state.time, state.position, state.velocity,
                                                 state.force, state.ok, time.time_ns()))
        self.counters["published"] += 1

    def stop(self) -> None:
        """Zero force, then stop: removes the remote effects, lets the loop send a tick of
        zero force, then stops it (which sends one more)."""
        if self.subscriber is not None:
            self.subscriber.undeclare()
        self.clear()
        time.sleep(3.0 / self.loop.rate_hz)
        self.loop.stop()
        self.queryable.undeclare()
        self.publisher.undeclare()


class _PolledHandle(api.Handle):
    """A handle that keeps the last status message its replies bring."""

    def __init__(self, port: api.Port) -> None:
        super().__init__(port)
        self.port = port
        self.status: Optional[Dict[str, Any]] = None

    def OnReceiveHandleStatusMessage(self, device_id: int, quaternion: Any, error_flag: int,
                                     hall_effect_sensor_level: int, user_data_length: int, user_data: Any) -> None:
        self.status = {"device_id": device_id, "quaternion": list(quaternion), "error_flag": error_flag,
                       "hall_effect_sensor_level": hall_effect_sensor_level}

    def OnReceiveHandleInfo(self, *_: Any) -> None:
        pass

    def OnReceiveHandleErrorResponse(self, *_: Any) -> None:
        pass

    def poll(self) -> Optional[Dict[str, Any]]:
        """Requests a status message and reads it; None when none came."""
        self.status = None
        self.RequestStatus()
        self.Receive()
        return self.status


class HandleBridge:
    """One handle: polls its status and publishes it."""

    def __init__(self, session: "zenoh.Session", handle: _PolledHandle, device_id: int) -> None:
        self.handle = handle
        self.device_id = device_id
        self.failures = 0
        self.publisher = session.declare_publisher(zenoh_session.handle_status_key(device_id),
                                                   encoding=zenoh_session.STATUS_ENCODING)

    def publish(self) -> None:
        try:
            status = self.handle.poll()
        except api.DeviceError:
            status = None
        if status is None:
            self.failures += 1
            return
        self.publisher.put(encoding.encode_status(status, time.time_ns()))

    def stop(self) -> None:
        self.publisher.undeclare()


REPLY_TIMEOUT = 0.01  # s: in the servo loop, a reply not come by then is given up on
WAKE_TIMEOUT = 5.0  # s for the first reply after a port opens


def _open_arm(path: str) -> Tuple[api.Morvek3, str]:
    """Wakes the arm on `path`; returns it, on a Port with the loop's time-out, and its
    identifier."""
    port = api.Port(path, timeout=WAKE_TIMEOUT)
    arm = api.Morvek3(port)
    uuid = str(arm.device_wakeup_dict()["device_id_ext"])
    arm.end_effector_force([0.0, 0.0, 0.0])  # a first exchange before the loop
    port.timeout = REPLY_TIMEOUT
    return arm, uuid


def _open_handle(path: str) -> Tuple[_PolledHandle, int]:
    handle = _PolledHandle(api.Port(path, timeout=WAKE_TIMEOUT))
    status = handle.poll()
    if status is None:
        raise api.ProtocolError("the handle on %s sent no status message" % path)
    handle.port.timeout = HANDLE_REPLY_TIMEOUT
    return handle, int(status["device_id"])


def open_devices(arguments: argparse.Namespace) -> Tuple[List[Any], List[Any]]:
    """The arms as (arm, uuid, port) and the handles as (handle, device id, port)."""
    arm_paths = list(arguments.arm_port)
    handle_paths = list(arguments.handle_port)
    if arguments.scan:
        for record in api.scan():
            if record.kind == "arm" and record.path not in arm_paths:
                arm_paths.append(record.path)
            elif record.kind == "handle" and record.path not in handle_paths:
                handle_paths.append(record.path)
    arms = [(*_open_arm(path), path) for path in arm_paths]
    handles = [(*_open_handle(path), path) for path in handle_paths]
    return arms, handles


class Bridge:
    """Every device's bridge in one Zenoh session, and the thread that publishes."""

    def __init__(self, arguments: argparse.Namespace, arms: Sequence[Any], handles: Sequence[Any]) -> None:
        self.arguments = arguments
        self.stopping = threading.Event()
        self.session = session_settings(arguments).open()
        self.arms = [ArmBridge(self.session, arm, uuid, arguments, path) for arm, uuid, path in arms]
        self.handles = [HandleBridge(self.session, handle, device_id) for handle, device_id, _ in handles]

    def run(self) -> None:
        """Publishes on a grid of absolute deadlines until stop() is called."""
        period = 1.0 / self.arguments.rate
        handle_every = max(1, int(round(self.arguments.rate / HANDLE_RATE)))
        deadline = time.monotonic()
        tick = 0
        while not self.stopping.is_set():
            now = time.monotonic()
            for arm in self.arms:
                arm.watch(now)
                arm.publish()
            if self.handles and tick % handle_every == 0:
                for handle in self.handles:
                    handle.publish()
            tick += 1
            deadline += period
            delay = deadline - time.monotonic()
            if delay > 0:
                self.stopping.wait(delay)
            elif delay < -10 * period:
                deadline = time.monotonic()  # fell far behind: no burst to catch up

    def stop(self) -> None:
        self.stopping.set()

    def close(self) -> None:
        for arm in self.arms:
            arm.stop()
        for handle in self.handles:
            handle.stop()
        self.session.close()


def parse_arguments(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="tavix-bridge", description="Publishes Morvek3 arms and Gantrel handles through Eclipse Zenoh and, "
        "with --allow-commands, takes remote effects for the arms.")
    parser.add_argument("--arm-port", action="append", default=[], metavar="PATH", help="an arm's port (repeatable)")
    parser.add_argument("--handle-port", action="append", default=[], metavar="PATH",
                        help="a handle's port (repeatable)")
    parser.add_argument("--scan", action="store_true", help="also open every arm and handle a scan finds")
    parser.add_argument("--rate", type=float, default=1000.0, help="state publications per second (default 1000)")
    parser.add_argument("--servo-rate", type=float, default=1000.0, help="servo loop ticks per second (default 1000)")
    parser.add_argument("--max-force", type=float, default=5.0, help="the servo loop's clamp in N (default 5)")
    parser.add_argument("--allow-commands", action="store_true",
                        help="accept remote effects on tavix/<uuid>/effects (off by default)")
    parser.add_argument("--command-timeout", type=float, default=0.1,
                        help="s without an effects message before the remote effects are removed (default 0.1)")
    parser.add_argument("--config", metavar="FILE", help="a Zenoh configuration file (JSON5): TLS, authentication, "
                        "access control")
    parser.add_argument("--mode", choices=("peer", "router", "client"), default="peer", help="Zenoh mode (peer)")
    parser.add_argument("--listen", action="append", default=[], metavar="ENDPOINT",
                        help="Zenoh endpoint to listen on (repeatable; default %s unless --config or "
                        "--connect is given)" % DEFAULT_LISTEN)
    parser.add_argument("--connect", action="append", default=[], metavar="ENDPOINT",
                        help="Zenoh endpoint to connect to (repeatable)")
    parser.add_argument("--scouting", action="store_true", help="turn multicast scouting on (off by default)")
    arguments = parser.parse_args(argv)
    if not arguments.arm_port and not arguments.handle_port and not arguments.scan:
        parser.error("name an --arm-port or a --handle-port, or give --scan")
    for name in ("rate", "servo_rate", "command_timeout", "max_force"):
        value = getattr(arguments, name)
        if not (math.isfinite(value) and value > 0):
            parser.error("--%s must be above 0" % name.replace("_", "-"))
    if not arguments.listen and not arguments.connect and not arguments.config:
        arguments.listen = [DEFAULT_LISTEN]
    return arguments


def session_settings(arguments: argparse.Namespace) -> zenoh_session.SessionSettings:
    """The Zenoh session the command line asks for."""
    return zenoh_session.SessionSettings(arguments.config, arguments.mode, tuple(arguments.listen),
                                         tuple(arguments.connect), arguments.scouting)


def main(argv: Optional[Sequence[str]] = None) -> int:
    arguments = parse_arguments(argv)
    try:
        arms, handles = open_devices(arguments)
    except api.DeviceError as error:
        print("tavix-bridge: %s" % error, file=sys.stderr)
        return 1
    if not arms and not handles:
        print("tavix-bridge: no device found", file=sys.stderr)
        return 1
    bridge = Bridge(arguments, arms, handles)
    signal.signal(signal.SIGINT, lambda *_: bridge.stop())
    signal.signal(signal.SIGTERM, lambda *_: bridge.stop())
    for arm in bridge.arms:
        print("arm %s on %s: %s%s" % (arm.uuid, arm.port_path, zenoh_session.state_key(arm.uuid),
                                      ", commands allowed" if arguments.allow_commands else ""))
    for handle in bridge.handles:
        print("handle %d: %s" % (handle.device_id, zenoh_session.handle_status_key(handle.device_id)))
    print("ready", flush=True)
    worker = threading.Thread(target=bridge.run, name="tavix-bridge-publisher", daemon=True)
    worker.start()
    while worker.is_alive():
        worker.join(0.2)  # wakes for the signal handlers
    bridge.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
