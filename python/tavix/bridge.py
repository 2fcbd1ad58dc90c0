"""tavix-bridge: puts arms and handles on the network through Eclipse Zenoh.

    tavix-bridge --arm-port /dev/ttyACM0                 one arm, publish only, loopback
    tavix-bridge --scan --allow-commands                 every arm and handle a scan finds
    tavix-bridge --arm-port A --listen tcp/0.0.0.0:7447 --config zenoh-tls.json5

For each arm it runs a servo loop (TavixHardwareAPI.ServoLoop) in this process and
publishes its state on tavix/<uuid>/state at --rate (1 kHz by default); its description
is the queryable tavix/<uuid>/info (JSON). With --allow-commands it subscribes to
tavix/<uuid>/effects, whose messages replace the arm's remote effects. One controller at
a time commands an arm: the first whose effects (or claim, on the queryable
tavix/<uuid>/control) the bridge takes holds control; others are refused until it
releases control or sends nothing for --command-timeout (100 ms by default). Then a
watchdog, a thread of its own, removes the remote effects and the arm gets zero force,
whatever the publication rate and whatever messages arrive. Without --allow-commands
effects messages are not even subscribed to. Each handle's status is published on
tavix/handle/<id>/status.

Malformed messages are counted (info's "malformed") and dropped. An arm that fails (its
port hangs up, it falls silent) gets one last state, marked failed, and no more; info
says why and commands for it are refused. SIGINT and SIGTERM stop the bridge: the remote
effects are removed, each loop sends zero force and stops; every other signal that would
end the process does the same and the bridge then exits with status 1.
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
ZERO = [0.0, 0.0, 0.0]


def _effect_object(effect: Dict[str, Any]) -> Any:
    """The TavixHardwareAPI effect object for a checked description."""
    class_name, values = effect_kinds.arguments(effect)
    return getattr(api, class_name)(*values)


def _set(target: Any, effect: Dict[str, Any]) -> None:
    """Sets every parameter of an effect object at once from a checked description of its
    type: each tick of the loop sees the old parameters or the new ones, never a mix."""
    _, values = effect_kinds.arguments(effect)
    target.set(*values)


class RemoteEffects:
    """The remote effects on one servo loop, who may set them, and their watchdog.

    One controller at a time holds control: the first whose effects message (command) or
    claim (request) is taken, until it releases control or is silent for `timeout`
    seconds; another's commands are refused and counted. The watchdog is a thread of its
    own that waits for the holder's deadline (each command and claim moves it): at that
    moment it removes the remote effects, so the arm gets zero force from the loop's next
    tick, and control is free again. After fail(), everything is refused.

    Holds no Zenoh object: ArmBridge gives it checked messages. Its methods may be called
    from any thread; the effect objects are changed under its lock, each as a whole."""

    def __init__(self, loop: api.ServoLoop, timeout: float) -> None:
        self.loop = loop
        self.timeout = timeout
        self._lock = threading.Lock()
        self._changed = threading.Condition(self._lock)  # the holder or its deadline changed
        self._effects: List[Any] = []  # the effect objects on the loop
        self._types: List[str] = []
        self._holder: Optional[str] = None
        self._refreshed = 0.0  # monotonic time of the holder's last command or claim
        self._failed: Optional[str] = None
        self._closing = False
        self._expired_after: Optional[float] = None
        self.counters = {"commands": 0, "malformed": 0, "refused": 0, "expired": 0}
        self._watchdog = threading.Thread(target=self._watch, name="tavix-bridge-watchdog", daemon=True)
        self._watchdog.start()

    def count(self, name: str) -> None:
        with self._lock:
            self.counters[name] += 1

    def command(self, message: encoding.EffectsMessage) -> bool:
        """Applies a checked effects message if its sender may command the arm (it holds
        control, or nobody does and it takes it); counts it as refused otherwise."""
        with self._lock:
            now = time.monotonic()
            self._lapse_if_due(now)
            if self._failed is not None or self._closing or self._holder not in (None, message.controller):
                self.counters["refused"] += 1
                return False
            self._hold(message.controller, now)
            self.counters["commands"] += 1
            self._apply(message.effects)
            return True

    def request(self, request: encoding.ControlRequest) -> encoding.ControlReply:
        """Answers a claim, take or release of control."""
        with self._lock:
            now = time.monotonic()
            self._lapse_if_due(now)
            controller = request.controller
            if self._failed is not None:
                return self._reply(False, "the arm failed: %s" % self._failed)
            if self._closing:
                return self._reply(False, "the bridge is stopping")
            if request.request == "release":
                if self._holder != controller:
                    return self._reply(False, "%s does not hold control" % controller)
                self._release()
            elif request.request == "take":
                if self._holder != controller:
                    self._release()  # the previous holder's effects go with its control
                self._hold(controller, now)
            elif self._holder in (None, controller):
                self._hold(controller, now)
            else:
                return self._reply(False, "the arm is controlled by %s" % self._holder)
            return self._reply(True, "")

    def fail(self, reason: str) -> None:
        """The arm failed: removes the remote effects and refuses everything from now on."""
        with self._lock:
            self._failed = reason
            self._release()

    def close(self) -> None:
        """Removes the remote effects, refuses everything from now on, ends the watchdog."""
        with self._lock:
            self._closing = True
            self._release()
            self._changed.notify()
        self._watchdog.join()

    def snapshot(self) -> Dict[str, Any]:
        with self._lock:
            return {"controller": self._holder, "remote_effects": list(self._types), "counters": dict(self.counters),
                    "expired_after": self._expired_after, "failed": self._failed}

    # With the lock held:

    def _reply(self, granted: bool, reason: str) -> encoding.ControlReply:
        return encoding.ControlReply(granted, self._holder, reason, self._failed, self.timeout)

    def _hold(self, controller: str, now: float) -> None:
        """`controller` holds control, its deadline `timeout` from now."""
        idle = self._holder is None  # the watchdog then waits with no deadline: wake it
        self._holder, self._refreshed = controller, now
        if idle:
            self._changed.notify()

    def _release(self) -> bool:
        """Nobody holds control and the remote effects are removed (at once: the loop's
        list is emptied in one swap); whether there were any."""
        self._holder = None
        if not self._effects:
            return False
        self.loop.clear()
        self._effects, self._types = [], []
        return True

    def _lapse_if_due(self, now: float) -> None:
        """Ends the holder's control, and its effects, once it has been silent too long."""
        if self._holder is not None and now - self._refreshed >= self.timeout and self._release():
            self.counters["expired"] += 1
            self._expired_after = now - self._refreshed

    def _apply(self, effects: List[Dict[str, Any]]) -> None:
        """Replaces the remote effects: the same types in the same order are set in place,
        each as a whole; otherwise the new objects, all built first, replace the old ones
        (the loop's list passes through empty, that is zero force, never through a mix)."""
        types = [effect["type"] for effect in effects]
        if types == self._types:
            for target, effect in zip(self._effects, effects):
                _set(target, effect)
            return
        fresh = [_effect_object(effect) for effect in effects]
        self.loop.clear()
        for effect in fresh:
            self.loop.add(effect)
        self._effects, self._types = fresh, types

    def _watch(self) -> None:
        """The watchdog: sleeps until the holder's deadline (or a change), then acts."""
        with self._changed:
            while not self._closing:
                if self._holder is None:
                    self._changed.wait()
                    continue
                left = self._refreshed + self.timeout - time.monotonic()
                if left > 0:
                    self._changed.wait(left)
                else:
                    self._lapse_if_due(time.monotonic())


class ArmBridge:
    """One arm: its servo loop, its state publisher, its info and control queryables, its
    effects subscriber and remote effects, and a thread that notices the loop stopping
    on its own (the arm failed)."""

    def __init__(self, session: "zenoh.Session", arm: api.Morvek3, uuid: str, arguments: argparse.Namespace,
                 port_path: str) -> None:
        self.uuid = uuid
        self.arguments = arguments
        self.port_path = port_path
        self.loop = api.ServoLoop(arm, rate_hz=arguments.servo_rate, max_force=arguments.max_force)
        self.remote = RemoteEffects(self.loop, arguments.command_timeout)
        self.published = 0
        self.failed: Optional[str] = None  # why the arm failed: it is then published no more
        self._publishing = threading.Lock()  # a state and the failure are published one at a time
        self._stopping = False
        self.publisher = session.declare_publisher(
            zenoh_session.state_key(uuid), encoding=zenoh_session.STATE_ENCODING,
            congestion_control=zenoh.CongestionControl.DROP, express=True)
        self.queryable = session.declare_queryable(zenoh_session.info_key(uuid), self._on_info)
        self.control = session.declare_queryable(zenoh_session.control_key(uuid), self._on_control)
        self.subscriber = None
        if arguments.allow_commands:
            self.subscriber = session.declare_subscriber(zenoh_session.effects_key(uuid), self._on_effects)
        self.loop.start()
        self._monitor = threading.Thread(target=self._watch_loop, name="tavix-bridge-monitor", daemon=True)
        self._monitor.start()

    def info(self) -> Dict[str, Any]:
        remote = self.remote.snapshot()
        counters = dict(remote["counters"], published=self.published)
        stats = self.loop.stats()
        state = self.loop.state()
        return {"version": encoding.VERSION, "uuid": self.uuid, "kind": "arm", "port": self.port_path,
                "rate_hz": self.arguments.rate, "servo_rate_hz": self.loop.rate_hz, "max_force": self.loop.max_force,
                "allow_commands": bool(self.arguments.allow_commands),
                "command_timeout": self.arguments.command_timeout, "running": self.loop.running,
                "failed": remote["failed"], "controller": remote["controller"],
                "remote_effects": remote["remote_effects"], "expired_after": remote["expired_after"],
                "force": list(state.force) if state is not None else None, "counters": counters,
                "loop": {key: stats[key] for key in ("cycles", "missed", "failures", "clamped", "non_finite")}}

    def _on_info(self, query: "zenoh.Query") -> None:
        query.reply(query.key_expr, json.dumps(self.info()).encode(), encoding=zenoh_session.INFO_ENCODING)

    def _on_control(self, query: "zenoh.Query") -> None:
        payload = query.payload
        try:
            if payload is None or len(payload) > encoding.MAX_MESSAGE_BYTES:
                raise encoding.MessageError("no control request, or one too long")
            request = encoding.parse_control_request(payload.to_bytes())
        except encoding.PARSE_ERRORS:  # whatever a message from the network makes the parser raise
            self.remote.count("malformed")
            query.reply_err(b"malformed control request")
            return
        if self.arguments.allow_commands:
            reply = self.remote.request(request)
        else:
            snapshot = self.remote.snapshot()
            reply = encoding.ControlReply(False, None, "the bridge takes no commands (it runs without "
                                          "--allow-commands)", snapshot["failed"], self.remote.timeout)
        query.reply(query.key_expr, encoding.encode_control_reply(reply), encoding=zenoh_session.CONTROL_ENCODING)

    def _on_effects(self, sample: "zenoh.Sample") -> None:
        payload = sample.payload
        try:
            if len(payload) > encoding.MAX_MESSAGE_BYTES:  # dropped unread: no parse holds the interpreter
                raise encoding.MessageError("more than %d bytes" % encoding.MAX_MESSAGE_BYTES)
            message = encoding.parse_effects_message(payload.to_bytes())
        except encoding.PARSE_ERRORS:  # whatever a message from the network makes the parser raise
            self.remote.count("malformed")
            return
        self.remote.command(message)

    def _watch_loop(self) -> None:
        """Waits for the loop to stop; if nobody stopped it, the arm failed."""
        self.loop.wait()
        if self._stopping:
            return
        error = self.loop.error
        reason = str(error) if error is not None else "the servo loop stopped"
        self.remote.fail(reason)
        with self._publishing:
            self.failed = reason
            state = self.loop.state()
            cycle, seconds = (state.cycle + 1, state.time) if state is not None else (0, 0.0)
            position = list(state.position) if state is not None else ZERO
            self.publisher.put(encoding.encode_state(cycle, seconds, position, ZERO, ZERO, False, time.time_ns(),
                                                     failed=True))
        print("tavix-bridge: the arm %s failed, its state is no longer published: %s" % (self.uuid, reason),
              file=sys.stderr, flush=True)

    def publish(self) -> None:
        with self._publishing:
            if self.failed is not None:
                return
            state = self.loop.state()
            if state is None:
                return
            self.publisher.put(encoding.encode_state(state.cycle, state.time, state.position, state.velocity,
                                                     state.force, state.ok, time.time_ns()))
            self.published += 1

    def stop(self) -> None:
        """Zero force, then stop: removes the remote effects, lets the loop send a tick of
        zero force, then stops it (which sends one more)."""
        self._stopping = True
        try:
            if self.subscriber is not None:
                self.subscriber.undeclare()
        finally:
            self.remote.close()
            time.sleep(3.0 / self.loop.rate_hz)
            self.loop.stop()
        self._monitor.join()
        self.control.undeclare()
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

    def __init__(self, arguments: argparse.Namespace, arms: Sequence[Any], handles: Sequence[Any],
                 stopping: Optional[threading.Event] = None) -> None:
        self.arguments = arguments
        self.stopping = stopping if stopping is not None else threading.Event()
        self.error: Optional[BaseException] = None  # what ended run(), if not stop()
        self.session = session_settings(arguments).open()
        self.arms: List[ArmBridge] = []
        self.handles: List[HandleBridge] = []
        try:
            for arm, uuid, path in arms:
                self.arms.append(ArmBridge(self.session, arm, uuid, arguments, path))
            for handle, device_id, _ in handles:
                self.handles.append(HandleBridge(self.session, handle, device_id))
        except BaseException:
            self.close()  # the loops already running send zero force and stop
            raise

    def run(self) -> None:
        """Publishes on a grid of absolute deadlines until stop() is called (or the
        publication fails: `error` then says how)."""
        try:
            self._publish_until_stopped()
        except BaseException as error:
            self.error = error
            raise

    def _publish_until_stopped(self) -> None:
        period = 1.0 / self.arguments.rate
        handle_every = max(1, int(round(self.arguments.rate / HANDLE_RATE)))
        deadline = time.monotonic()
        tick = 0
        while not self.stopping.is_set():
            for arm in self.arms:
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
        """Every arm's loop sends zero force and stops, even if something else fails."""
        try:
            for arm in self.arms:
                arm.stop()
            for handle in self.handles:
                handle.stop()
        finally:
            for arm in self.arms:
                arm.loop.stop()  # already stopped unless an arm's stop() failed part way
            self.session.close()


# Signals that end the bridge as SIGTERM does: every catchable signal whose default action
# ends a process, except the synchronous faults (SIGSEGV, SIGBUS, SIGILL, SIGFPE), which
# no Python handler can answer. SIGINT and SIGTERM are a normal stop (status 0), any other
# ends with status 1. Python ignores SIGPIPE; the bridge takes it too, so a pipe or socket
# that closes under a write stops it cleanly, never half way. (SIGTSTP, SIGTTIN and SIGTTOU
# suspend rather than end; SIGKILL and SIGSTOP cannot be caught.)
NORMAL_STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM)
_ENDING_SIGNAL_NAMES = ("SIGHUP", "SIGINT", "SIGQUIT", "SIGTRAP", "SIGABRT", "SIGUSR1", "SIGUSR2", "SIGPIPE",
                        "SIGALRM", "SIGTERM", "SIGSTKFLT", "SIGXCPU", "SIGXFSZ", "SIGVTALRM", "SIGPROF", "SIGIO",
                        "SIGPWR", "SIGSYS")


def ending_signals() -> List[int]:
    """The signals the bridge stops cleanly on, this platform's among the above and its
    real-time signals."""
    numbers = {int(getattr(signal, name)) for name in _ENDING_SIGNAL_NAMES if hasattr(signal, name)}
    if hasattr(signal, "SIGRTMIN") and hasattr(signal, "SIGRTMAX"):
        numbers.update(range(int(signal.SIGRTMIN), int(signal.SIGRTMAX) + 1))
    return sorted(numbers & {int(number) for number in signal.valid_signals()})


class SignalStop:
    """Catches the ending signals (from construction on, in the main thread): the first
    sets `event`, which stops the bridge; exit_status() is 0 for none or a normal stop,
    1 for any other."""

    def __init__(self) -> None:
        self.event = threading.Event()
        self.received: Optional[int] = None
        for number in ending_signals():
            signal.signal(number, self._on_signal)

    def _on_signal(self, number: int, _frame: Any) -> None:
        if self.received is None:
            self.received = number
        self.event.set()

    def exit_status(self) -> int:
        return 0 if self.received is None or self.received in NORMAL_STOP_SIGNALS else 1


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
    stop = SignalStop()
    try:
        arms, handles = open_devices(arguments)
    except api.DeviceError as error:
        print("tavix-bridge: %s" % error, file=sys.stderr)
        return 1
    if not arms and not handles:
        print("tavix-bridge: no device found", file=sys.stderr)
        return 1
    bridge = Bridge(arguments, arms, handles, stop.event)
    try:
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
    finally:
        bridge.close()
    return 1 if bridge.error is not None else stop.exit_status()


if __name__ == "__main__":
    sys.exit(main())
