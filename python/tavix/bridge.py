"""tavix-bridge: puts arms and handles on the network through Eclipse Zenoh.

    tavix-bridge --arm-port /dev/ttyACM0                 one arm, publish only, loopback
    tavix-bridge --scan --allow-commands                 every arm and handle a scan finds
    tavix-bridge --arm-port A --listen tcp/0.0.0.0:7447 --config zenoh-tls.json5

For each arm it runs a servo loop (TavixHardwareAPI.ServoLoop, a thread of this process)
and publishes its state on tavix/<uuid>/state at --rate (1 kHz by default); its
description is the queryable tavix/<uuid>/info (JSON). The queryable tavix/<uuid>/effects
takes a client's effects and answers whether it applied them (applied, or refused,
invalid, failed, with the reason); with --allow-commands it also subscribes to that key,
whose messages (streamed, unacknowledged) do the same without an answer. Without
--allow-commands every effects query is refused and nothing is subscribed to. A message
replaces the arm's remote effects. One controller at a time commands an arm: the first
whose effects (or claim, on the queryable tavix/<uuid>/control) the bridge takes holds
control; others are refused until it releases control or sends nothing for
--command-timeout (100 ms by default). Then a watchdog, a thread of its own, removes the
remote effects and the arm gets zero force, whatever the publication rate and whatever
messages arrive. Each handle is polled on a thread of its own and its status published
on tavix/handle/<id>/status, so a silent handle delays no arm's state.

Malformed messages are counted (info's "malformed") and dropped (a query gets the reason).
An arm that fails (its port hangs up, it falls silent) gets one last state, marked failed;
info says why and commands for it are refused. Then, unless --no-reopen, the bridge looks
for the arm by its uuid every half second (a scan of --dev, and its old port) and, once
it is back, drives and publishes it again, with no remote effects: a client must command
it again. SIGINT and SIGTERM stop the bridge: the remote effects are removed, each loop
sends zero force and stops; every other signal that would end the process does the same
and the bridge then exits with status 1.

With --record PATH every tick of every arm's loop, from its start (and a reopened arm's
new loop's), goes into the one MCAP file PATH (tavix.recording), under the topics of
/tavix/<uuid>; the file is finished when the bridge stops. Needs the `record` extra.

It listens only where it is told: --listen, else the endpoints its --config file names,
else nowhere when it connects (--connect), else tcp/127.0.0.1:7447. Its line "ready,
listening on ..." names the TCP endpoints it actually listens on.
The layouts are in tavix.encoding and docs/remote.md, the keys and session settings in
tavix.zenoh_session, the effects in tavix.effect_kinds. Needs the `remote` extra (zenoh).
"""

import argparse
import ipaddress
import json
import math
import os
import signal
import sys
import threading
import time
from dataclasses import dataclass, field
from typing import Any, Dict, List, NamedTuple, Optional, Sequence, Tuple

import TavixHardwareAPI as api

from tavix import effect_kinds, encoding, recording, zenoh_session
from tavix.zenoh_session import zenoh

DEFAULT_LISTEN = "tcp/127.0.0.1:7447"
DEFAULT_DEVICE_DIRECTORY = "/dev"
HANDLE_RATE = 50.0  # Hz: status requests to each handle
HANDLE_REPLY_TIMEOUT = 0.005  # s
REOPEN_PERIOD = 0.5  # s between two searches for an arm that failed
REOPEN_SCAN_TIMEOUT = 0.3  # s each port of such a search has to answer
REOPEN_WAKE_TIMEOUT = 1.0  # s for the arm found to answer its wake-up
NO_COMMANDS = "the bridge takes no commands (it runs without --allow-commands)"
ZERO = [0.0, 0.0, 0.0]


@dataclass(frozen=True)
class BridgeSettings:
    """What a bridge does: the devices (`arm_ports`, `handle_ports`, and with `scan`
    every arm and handle found in `device_directory`), the rates, the servo loop's
    `max_force`, whether it takes commands and their watchdog's `command_timeout` (s),
    whether it reopens an arm that failed, its Zenoh session, and the servo loop's
    `passivity` control and `device_damping` (N s/m; None: the library's default), which
    bounds the stiffness of remote effects, and the MCAP file every arm is recorded into
    (`record`, None: none). ValueError for a rate, force or time-out that is not a
    finite number above 0, or a device damping that is not a finite number, 0 or more."""

    arm_ports: Tuple[str, ...] = ()
    handle_ports: Tuple[str, ...] = ()
    scan: bool = False
    device_directory: str = DEFAULT_DEVICE_DIRECTORY
    rate: float = 1000.0  # state publications per second
    servo_rate: float = 1000.0  # servo loop ticks per second
    max_force: float = 5.0  # N
    allow_commands: bool = False
    command_timeout: float = 0.1  # s
    reopen: bool = True
    session: zenoh_session.SessionSettings = field(
        default_factory=lambda: zenoh_session.SessionSettings(default_listen=(DEFAULT_LISTEN,)))
    passivity: bool = False
    device_damping: Optional[float] = None
    record: Optional[str] = None

    def __post_init__(self) -> None:
        for name in ("rate", "servo_rate", "max_force", "command_timeout"):
            value = getattr(self, name)
            if not (_finite_number(value) and value > 0):
                raise ValueError("--%s must be above 0" % name.replace("_", "-"))
        damping = self.device_damping
        if damping is not None and not (_finite_number(damping) and damping >= 0):
            raise ValueError("--device-damping must be a finite number, 0 or more")


def _finite_number(value: Any) -> bool:
    return not isinstance(value, bool) and isinstance(value, (int, float)) and math.isfinite(value)


class OpenedArm(NamedTuple):
    arm: api.Morvek3
    uuid: str  # lower-case, with dashes
    path: str
    port: api.Port


class OpenedHandle(NamedTuple):
    handle: "_PolledHandle"
    device_id: int
    path: str


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
    tick, and control is free again. After fail(), everything is refused until resume()
    puts a new loop (the arm reopened) under it, with no effects and nobody in control.

    Holds no Zenoh object: ArmBridge gives it checked messages. Its methods may be called
    from any thread; the effect objects, the holder and the counters are changed and read
    under its lock, the effect objects each as a whole."""

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
        self._counters = {"commands": 0, "malformed": 0, "refused": 0, "expired": 0}
        self._watchdog = threading.Thread(target=self._watch, name="tavix-bridge-watchdog", daemon=True)
        self._watchdog.start()

    def count(self, name: str) -> None:
        with self._lock:
            self._counters[name] += 1

    def refuse(self, outcome: str, reason: str, counter: str) -> encoding.EffectsReply:
        """The answer to effects that are not even considered (`outcome` REFUSED or
        INVALID, for `reason`), counted in `counter`."""
        with self._lock:
            self._counters[counter] += 1
            return self._effects_reply(outcome, reason)

    def command(self, message: encoding.EffectsMessage) -> encoding.EffectsReply:
        """Applies a checked effects message if its sender may command the arm (it holds
        control, or nobody does and it takes it); counts it as refused otherwise. A
        stiffness above what the loop renders passively with the effect's damping makes
        it invalid, counted as malformed. The reply says which, and why."""
        with self._lock:
            now = time.monotonic()
            self._lapse_if_due(now)
            try:
                effect_kinds.check_stiffness(message.effects, self.loop.stable_stiffness)
            except ValueError as error:
                self._counters["malformed"] += 1
                return self._effects_reply(encoding.INVALID, str(error))
            if self._failed is not None:
                outcome, reason = encoding.FAILED, "the arm failed: %s" % self._failed
            elif self._closing:
                outcome, reason = encoding.REFUSED, "the bridge is stopping"
            elif self._holder not in (None, message.controller):
                outcome, reason = encoding.REFUSED, "the arm is controlled by %s" % self._holder
            else:
                self._hold(message.controller, now)
                self._counters["commands"] += 1
                self._apply(message.effects)
                return self._effects_reply(encoding.APPLIED, "")
            self._counters["refused"] += 1
            return self._effects_reply(outcome, reason)

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

    def resume(self, loop: api.ServoLoop) -> None:
        """The arm is back, on `loop`: commands are taken again, from nobody in control
        and no remote effects (unless the bridge is stopping)."""
        with self._lock:
            if self._closing:
                return
            self._release()
            self.loop = loop
            self._failed = None

    def close(self) -> None:
        """Removes the remote effects, refuses everything from now on, ends the watchdog."""
        with self._lock:
            self._closing = True
            self._release()
            self._changed.notify()
        self._watchdog.join()

    def snapshot(self) -> Dict[str, Any]:
        with self._lock:
            return {"controller": self._holder, "remote_effects": list(self._types), "counters": dict(self._counters),
                    "expired_after": self._expired_after, "failed": self._failed}

    def control_refusal(self, reason: str) -> encoding.ControlReply:
        """A refusal of any control request, for `reason`."""
        with self._lock:
            return self._reply(False, reason)

    # With the lock held:

    def _reply(self, granted: bool, reason: str) -> encoding.ControlReply:
        return encoding.ControlReply(granted, self._holder, reason, self._failed, self.timeout)

    def _effects_reply(self, outcome: str, reason: str) -> encoding.EffectsReply:
        return encoding.EffectsReply(outcome, self._holder, reason, self._failed, self.timeout)

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
            self._counters["expired"] += 1
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


def _parsed_effects(payload: Optional["zenoh.ZBytes"]) -> encoding.EffectsMessage:
    """The checked effects message of a put or query payload: its size first, so a
    message too long is dropped unread (no parse holds the interpreter); MessageError, or
    another of encoding.PARSE_ERRORS, for anything else."""
    if payload is None:
        raise encoding.MessageError("no effects message")
    if len(payload) > encoding.MAX_MESSAGE_BYTES:
        raise encoding.MessageError("more than %d bytes" % encoding.MAX_MESSAGE_BYTES)
    return encoding.parse_effects_message(payload.to_bytes())


class ArmBridge:
    """One arm: its servo loop, its state publisher, its info, control and effects
    queryables, its effects subscriber and remote effects, its loop's recorder into
    `recording_file` (if given), and a thread that notices the loop stopping on its own (the
    arm failed), publishes the failure and, unless reopening is off, looks for the arm
    until it is back and drives it again."""

    def __init__(self, session: "zenoh.Session", opened: OpenedArm, settings: BridgeSettings,
                 recording_file: Optional[recording.RecordingFile] = None) -> None:
        self.uuid = opened.uuid
        self.settings = settings
        self._recording_file = recording_file
        # The lock guards what the publisher, the queryables and the monitor share: the
        # loop and its port (replaced when the arm is reopened), the failure, the counters
        # and the offsets of cycle and time; a state and the failure are published under it.
        self._publishing = threading.Lock()
        self.port_path = opened.path
        self._port = opened.port
        self.loop = self._new_loop(opened.arm)
        self.remote = RemoteEffects(self.loop, settings.command_timeout)
        self._published = 0
        self._reopened = 0
        self.failed: Optional[str] = None  # why the arm failed: it is published no more until reopened
        self._cycle_offset = 0  # what a reopened arm's states add, so that cycle and time only grow
        self._time_offset = 0.0
        self._stopping = threading.Event()
        self.publisher = session.declare_publisher(
            zenoh_session.state_key(self.uuid), encoding=zenoh_session.STATE_ENCODING,
            congestion_control=zenoh.CongestionControl.DROP, express=True)
        self.queryable = session.declare_queryable(zenoh_session.info_key(self.uuid), self._on_info)
        self.control = session.declare_queryable(zenoh_session.control_key(self.uuid), self._on_control)
        self.effects = session.declare_queryable(zenoh_session.effects_key(self.uuid), self._on_effects_query)
        self.subscriber = None
        if settings.allow_commands:
            self.subscriber = session.declare_subscriber(zenoh_session.effects_key(self.uuid), self._on_effects)
        # Only the monitor replaces the recorder, and stop() closes it once the monitor is done.
        self._recorder = self._record(self.loop)
        self.loop.start()
        self._monitor = threading.Thread(target=self._supervise, name="tavix-bridge-monitor", daemon=True)
        self._monitor.start()

    def _new_loop(self, arm: api.Morvek3) -> api.ServoLoop:
        settings = self.settings
        options: Dict[str, Any] = {"rate_hz": settings.servo_rate, "max_force": settings.max_force,
                                   "passivity": settings.passivity}
        if settings.device_damping is not None:  # else the library's default
            options["device_damping"] = settings.device_damping
        return api.ServoLoop(arm, **options)

    def _record(self, loop: api.ServoLoop) -> Optional[recording.Recorder]:
        """A recorder of `loop`, made before it starts so that it takes the first tick."""
        if self._recording_file is None:
            return None
        return recording.Recorder(loop, self._recording_file, prefix="/tavix/" + self.uuid, frame_id=self.uuid)

    def _end_recording(self) -> None:
        """Records what is left of the loop's ticks; says so if the recording failed."""
        recorder, self._recorder = self._recorder, None
        if recorder is None:
            return
        try:
            recorder.close()
        except Exception as error:
            print("tavix-bridge: the recording of the arm %s failed: %s" % (self.uuid, error), file=sys.stderr,
                  flush=True)

    def info(self) -> Dict[str, Any]:
        remote = self.remote.snapshot()
        with self._publishing:
            loop, port_path = self.loop, self.port_path
            counters = dict(remote["counters"], published=self._published, reopened=self._reopened)
        stats = loop.stats()
        state = loop.state()
        settings = self.settings
        return {"version": encoding.VERSION, "uuid": self.uuid, "kind": "arm", "port": port_path,
                "rate_hz": settings.rate, "servo_rate_hz": loop.rate_hz, "max_force": loop.max_force,
                "passivity": loop.passivity, "device_damping": loop.device_damping,
                "stable_stiffness": loop.stable_stiffness(),
                "allow_commands": settings.allow_commands, "command_timeout": settings.command_timeout,
                "reopen": settings.reopen, "running": loop.running,
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
        if self.settings.allow_commands:
            reply = self.remote.request(request)
        else:
            reply = self.remote.control_refusal(NO_COMMANDS)
        query.reply(query.key_expr, encoding.encode_control_reply(reply), encoding=zenoh_session.CONTROL_ENCODING)

    def _on_effects_query(self, query: "zenoh.Query") -> None:
        """An acknowledged effects message: the reply says whether it was applied."""
        try:
            message = _parsed_effects(query.payload)
        except encoding.PARSE_ERRORS as error:  # whatever a message from the network makes the parser raise
            reply = self.remote.refuse(encoding.INVALID, str(error) or type(error).__name__, "malformed")
        else:
            if self.settings.allow_commands:
                reply = self.remote.command(message)
            else:
                reply = self.remote.refuse(encoding.REFUSED, NO_COMMANDS, "refused")
        query.reply(query.key_expr, encoding.encode_effects_reply(reply),
                    encoding=zenoh_session.EFFECTS_REPLY_ENCODING)

    def _on_effects(self, sample: "zenoh.Sample") -> None:
        """A streamed effects message: applied or dropped (and counted), unanswered."""
        try:
            message = _parsed_effects(sample.payload)
        except encoding.PARSE_ERRORS:  # whatever a message from the network makes the parser raise
            self.remote.count("malformed")
            return
        self.remote.command(message)

    def _supervise(self) -> None:
        """The monitor: waits for the loop to stop; if nobody stopped it, the arm failed.
        Then, unless reopening is off, it looks for the arm until it is back (or the
        bridge stops), drives it on a new loop, and waits for that one."""
        while True:
            with self._publishing:
                loop = self.loop
            loop.wait()
            if self._stopping.is_set():
                return
            self._fail(loop)
            if not self.settings.reopen:
                return
            opened = self._wait_for_arm()
            if opened is None or not self._resume(opened):
                return

    def _fail(self, loop: api.ServoLoop) -> None:
        """Publishes the failure of the arm whose loop stopped on its own, and lets go of
        its port."""
        error = loop.error
        reason = str(error) if error is not None else "the servo loop stopped"
        self.remote.fail(reason)
        with self._publishing:
            self.failed = reason
            state = loop.state()
            cycle, seconds = (state.cycle + 1, state.time) if state is not None else (0, 0.0)
            cycle, seconds = cycle + self._cycle_offset, seconds + self._time_offset
            position = list(state.position) if state is not None else ZERO
            self.publisher.put(encoding.encode_state(cycle, seconds, position, ZERO, ZERO, False, time.time_ns(),
                                                     failed=True))
            self._cycle_offset, self._time_offset = cycle + 1, seconds
            port = self._port
        port.close()
        self._end_recording()
        then = ("looking for it again every %g s" % REOPEN_PERIOD if self.settings.reopen
                else "its state is no longer published")
        print("tavix-bridge: the arm %s failed: %s; %s" % (self.uuid, reason, then), file=sys.stderr, flush=True)

    def _wait_for_arm(self) -> Optional[OpenedArm]:
        """Looks for the arm every REOPEN_PERIOD until it is found (None if the bridge
        stops first). Each look waits on the devices without the interpreter lock."""
        while not self._stopping.wait(REOPEN_PERIOD):
            opened = self._look_for_arm()
            if opened is not None:
                return opened
        return None

    def _look_for_arm(self) -> Optional[OpenedArm]:
        """The arm, opened, if a scan of the device directory finds its uuid, or else its
        old port (outside that directory) answers with it; None otherwise."""
        paths: List[str] = []
        scanned = set()
        try:
            for record in api.scan(REOPEN_SCAN_TIMEOUT, device_directory=self.settings.device_directory):
                scanned.add(record.path)
                if record.kind == "arm" and record.arm is not None and str(record.arm.uuid) == self.uuid:
                    paths.append(record.path)
        except (api.DeviceError, OSError):
            pass  # no such directory, for now: the next look tries again
        if self.port_path not in scanned and os.path.exists(self.port_path):
            paths.append(self.port_path)
        for path in paths:
            try:
                opened = _open_arm(path, REOPEN_WAKE_TIMEOUT)
            except (api.DeviceError, OSError):
                continue
            if opened.uuid == self.uuid:
                return opened
            opened.port.close()
        return None

    def _resume(self, opened: OpenedArm) -> bool:
        """Drives and publishes the arm again on a new loop, with no remote effects;
        False (and the new loop stopped) if the bridge is stopping."""
        loop = self._new_loop(opened.arm)
        self._recorder = self._record(loop)
        loop.start()
        with self._publishing:
            stopping = self._stopping.is_set()  # stop() sets it under this lock
            if not stopping:
                self.loop, self._port, self.port_path = loop, opened.port, opened.path
                self.failed = None
                self._reopened += 1
        if stopping:
            loop.stop()
            opened.port.close()
            return False
        self.remote.resume(loop)
        print("tavix-bridge: the arm %s is back on %s and published again, with no remote effects"
              % (self.uuid, opened.path), file=sys.stderr, flush=True)
        return True

    def publish(self) -> None:
        with self._publishing:
            if self.failed is not None:
                return
            state = self.loop.state()
            if state is None:
                return
            self.publisher.put(encoding.encode_state(state.cycle + self._cycle_offset, state.time + self._time_offset,
                                                     state.position, state.velocity, state.force, state.ok,
                                                     time.time_ns()))
            self._published += 1

    def stop(self) -> None:
        """Zero force, then stop: removes the remote effects, lets the loop send a tick of
        zero force, then stops it (which sends one more)."""
        with self._publishing:
            self._stopping.set()
        try:
            if self.subscriber is not None:
                self.subscriber.undeclare()
        finally:
            self.remote.close()
            with self._publishing:
                loop = self.loop
            time.sleep(3.0 / loop.rate_hz)
            loop.stop()
        self._monitor.join()
        self._end_recording()
        for declared in (self.effects, self.control, self.queryable, self.publisher):
            declared.undeclare()


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
    """One handle: a thread of its own polls its status at HANDLE_RATE and publishes it,
    so a silent handle delays nothing else."""

    def __init__(self, session: "zenoh.Session", handle: _PolledHandle, device_id: int) -> None:
        self.handle = handle
        self.device_id = device_id
        self.error: Optional[BaseException] = None  # what ended the thread, if not the stop
        self._lock = threading.Lock()  # guards the counters
        self._counters = {"published": 0, "failures": 0}
        self._thread: Optional[threading.Thread] = None
        self.publisher = session.declare_publisher(zenoh_session.handle_status_key(device_id),
                                                   encoding=zenoh_session.STATUS_ENCODING)

    def counters(self) -> Dict[str, int]:
        with self._lock:
            return dict(self._counters)

    def publish(self) -> None:
        try:
            status = self.handle.poll()
        except api.DeviceError:
            status = None
        if status is not None:
            self.publisher.put(encoding.encode_status(status, time.time_ns()))
        with self._lock:
            self._counters["failures" if status is None else "published"] += 1

    def start(self, stopping: threading.Event) -> None:
        """Polls on a thread of its own until `stopping` is set; sets it too if the thread
        ends on an error (kept in `error`)."""
        self._thread = threading.Thread(target=self._poll, args=(stopping,), name="tavix-bridge-handle",
                                        daemon=True)
        self._thread.start()

    def _poll(self, stopping: threading.Event) -> None:
        period = 1.0 / HANDLE_RATE
        deadline = time.monotonic()
        try:
            while not stopping.is_set():
                self.publish()
                deadline += period
                delay = deadline - time.monotonic()
                if delay > 0:
                    stopping.wait(delay)
                elif delay < -10 * period:
                    deadline = time.monotonic()  # fell far behind: no burst to catch up
        except BaseException as error:
            self.error = error
            stopping.set()

    def stop(self) -> None:
        """Waits for the thread (once the bridge's stopping event is set), then ends the
        publisher."""
        if self._thread is not None:
            self._thread.join()
        self.publisher.undeclare()


REPLY_TIMEOUT = 0.01  # s: in the servo loop, a reply not come by then is given up on
WAKE_TIMEOUT = 5.0  # s for the first reply after a port opens


def _open_arm(path: str, wake_timeout: float = WAKE_TIMEOUT) -> OpenedArm:
    """Wakes the arm on `path` (which has `wake_timeout` to answer) and returns it, on a
    Port with the loop's time-out, with its identifier."""
    port = api.Port(path, timeout=wake_timeout)
    try:
        arm = api.Morvek3(port)
        uuid = str(arm.device_wakeup_dict()["device_id_ext"])
        arm.end_effector_force([0.0, 0.0, 0.0])  # a first exchange before the loop
        port.timeout = REPLY_TIMEOUT
    except BaseException:
        port.close()
        raise
    return OpenedArm(arm, uuid, path, port)


def _open_handle(path: str) -> OpenedHandle:
    handle = _PolledHandle(api.Port(path, timeout=WAKE_TIMEOUT))
    status = handle.poll()
    if status is None:
        raise api.ProtocolError("the handle on %s sent no status message" % path)
    handle.port.timeout = HANDLE_REPLY_TIMEOUT
    return OpenedHandle(handle, int(status["device_id"]), path)


def open_devices(settings: BridgeSettings) -> Tuple[List[OpenedArm], List[OpenedHandle]]:
    """The arms and handles `settings` name, and with `scan` those a scan of its device
    directory finds, opened."""
    arm_paths = list(settings.arm_ports)
    handle_paths = list(settings.handle_ports)
    if settings.scan:
        for record in api.scan(device_directory=settings.device_directory):
            if record.kind == "arm" and record.path not in arm_paths:
                arm_paths.append(record.path)
            elif record.kind == "handle" and record.path not in handle_paths:
                handle_paths.append(record.path)
    arms = [_open_arm(path) for path in arm_paths]
    handles = [_open_handle(path) for path in handle_paths]
    return arms, handles


class Bridge:
    """Every device's bridge in one Zenoh session (`session`, which it closes), the
    thread that publishes the arms' states (run()) and one per handle. With a
    `recording_file`, every arm's loop is recorded into it (the caller closes it after
    close())."""

    def __init__(self, settings: BridgeSettings, session: "zenoh.Session", arms: Sequence[OpenedArm],
                 handles: Sequence[OpenedHandle], stopping: Optional[threading.Event] = None,
                 recording_file: Optional[recording.RecordingFile] = None) -> None:
        self.settings = settings
        self.stopping = stopping if stopping is not None else threading.Event()
        self.error: Optional[BaseException] = None  # what ended run(), if not stop()
        self.session = session
        self.arms: List[ArmBridge] = []
        self.handles: List[HandleBridge] = []
        try:
            for opened in arms:
                self.arms.append(ArmBridge(self.session, opened, settings, recording_file))
            for handle in handles:
                self.handles.append(HandleBridge(self.session, handle.handle, handle.device_id))
        except BaseException:
            self.close()  # the loops already running send zero force and stop
            raise

    def run(self) -> None:
        """Polls the handles, each on its thread, and publishes the arms' states on a grid
        of absolute deadlines until stop() is called (or the publication or a handle's
        thread fails: `error` then says how)."""
        for handle in self.handles:
            handle.start(self.stopping)
        try:
            self._publish_until_stopped()
        except BaseException as error:
            self.error = error
            raise
        failed = [handle.error for handle in self.handles if handle.error is not None]
        if failed and self.error is None:
            self.error = failed[0]

    def _publish_until_stopped(self) -> None:
        period = 1.0 / self.settings.rate
        deadline = time.monotonic()
        while not self.stopping.is_set():
            for arm in self.arms:
                arm.publish()
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
        self.stopping.set()
        try:
            for arm in self.arms:
                arm.stop()
            for handle in self.handles:
                handle.stop()
        finally:
            for arm in self.arms:
                arm.loop.stop()  # already stopped unless an arm's stop() failed part way
            self.session.close()


def _address(text: str) -> str:
    """An address of /proc/net/tcp or tcp6 (hexadecimal, each 32-bit word in host order,
    little-endian here) as text, an IPv6 one in brackets."""
    raw = bytes.fromhex(text)
    ordered = b"".join(raw[index:index + 4][::-1] for index in range(0, len(raw), 4))
    return str(ipaddress.IPv4Address(ordered)) if len(ordered) == 4 else "[%s]" % ipaddress.IPv6Address(ordered)


def listening_endpoints(configured: Sequence[str] = ()) -> Optional[List[str]]:
    """The TCP endpoints this process listens on, as "tcp/127.0.0.1:7447" (or with the
    protocol of the `configured` endpoint of that port, "tls/..."), read from Linux's
    /proc; None where it cannot be read."""
    protocols = {}
    for endpoint in configured:
        protocol, _, place = endpoint.partition("/")
        protocols[place.rpartition(":")[2].split("#")[0]] = protocol
    try:
        inodes = set()
        for name in os.listdir("/proc/self/fd"):
            try:
                target = os.readlink("/proc/self/fd/" + name)
            except OSError:
                continue  # closed meanwhile
            if target.startswith("socket:["):
                inodes.add(target[len("socket:["):-1])
        found = []
        for table in ("/proc/self/net/tcp", "/proc/self/net/tcp6"):
            with open(table) as lines:
                for line in list(lines)[1:]:
                    fields = line.split()
                    if fields[3] == "0A" and fields[9] in inodes:  # LISTEN, and a socket of this process
                        address, port = fields[1].split(":")
                        number = str(int(port, 16))
                        found.append("%s/%s:%s" % (protocols.get(number, "tcp"), _address(address), number))
    except (OSError, ValueError, IndexError):
        return None
    return sorted(found)


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


def settings_from_command_line(argv: Optional[Sequence[str]] = None) -> BridgeSettings:
    """The bridge's settings from its command line (sys.argv's when `argv` is None);
    exits with status 2 and a usage message for a command line that names no device or
    a value out of bounds."""
    parser = argparse.ArgumentParser(
        prog="tavix-bridge", description="Publishes Morvek3 arms and Gantrel handles through Eclipse Zenoh and, "
        "with --allow-commands, takes remote effects for the arms.")
    parser.add_argument("--arm-port", action="append", default=[], metavar="PATH", help="an arm's port (repeatable)")
    parser.add_argument("--handle-port", action="append", default=[], metavar="PATH",
                        help="a handle's port (repeatable)")
    parser.add_argument("--scan", action="store_true", help="also open every arm and handle a scan finds")
    parser.add_argument("--dev", default=DEFAULT_DEVICE_DIRECTORY, metavar="DIR",
                        help="the directory a scan looks in, with --scan and to find an arm that failed again "
                        "(default %s)" % DEFAULT_DEVICE_DIRECTORY)
    parser.add_argument("--rate", type=float, default=1000.0, help="state publications per second (default 1000)")
    parser.add_argument("--servo-rate", type=float, default=1000.0, help="servo loop ticks per second (default 1000)")
    parser.add_argument("--max-force", type=float, default=5.0, help="the servo loop's clamp in N (default 5)")
    parser.add_argument("--passivity", action="store_true",
                        help="turn on the servo loop's passivity control (off by default)")
    parser.add_argument("--device-damping", type=float, metavar="NS_PER_M",
                        help="the arm's own damping in N s/m, which bounds the stiffness of remote effects "
                        "(default: the library's, 1)")
    parser.add_argument("--allow-commands", action="store_true",
                        help="accept remote effects on tavix/<uuid>/effects (off by default)")
    parser.add_argument("--command-timeout", type=float, default=0.1,
                        help="s without an effects message before the remote effects are removed (default 0.1)")
    parser.add_argument("--no-reopen", action="store_true",
                        help="leave an arm that failed closed (by default the bridge looks for it by its uuid "
                        "every %g s and drives it again once it is back)" % REOPEN_PERIOD)
    parser.add_argument("--config", metavar="FILE", help="a Zenoh configuration file (JSON5): TLS, authentication, "
                        "access control")
    parser.add_argument("--mode", choices=("peer", "router", "client"), default="peer", help="Zenoh mode (peer)")
    parser.add_argument("--listen", action="append", default=[], metavar="ENDPOINT",
                        help="Zenoh endpoint to listen on (repeatable); by default the endpoints the --config file "
                        "names, else none with --connect, else %s" % DEFAULT_LISTEN)
    parser.add_argument("--connect", action="append", default=[], metavar="ENDPOINT",
                        help="Zenoh endpoint to connect to (repeatable)")
    parser.add_argument("--scouting", action="store_true", help="turn multicast scouting on (off by default)")
    parser.add_argument("--record", metavar="PATH",
                        help="record every tick of every arm into the MCAP file PATH, under /tavix/<uuid> "
                        "(needs the record extra)")
    arguments = parser.parse_args(argv)
    if not arguments.arm_port and not arguments.handle_port and not arguments.scan:
        parser.error("name an --arm-port or a --handle-port, or give --scan")
    session = zenoh_session.SessionSettings(arguments.config, arguments.mode, tuple(arguments.listen),
                                            tuple(arguments.connect), arguments.scouting,
                                            default_listen=() if arguments.connect else (DEFAULT_LISTEN,))
    try:
        return BridgeSettings(tuple(arguments.arm_port), tuple(arguments.handle_port), arguments.scan,
                              arguments.dev, arguments.rate, arguments.servo_rate, arguments.max_force,
                              arguments.allow_commands, arguments.command_timeout, not arguments.no_reopen, session,
                              arguments.passivity, arguments.device_damping, arguments.record)
    except ValueError as error:
        parser.error(str(error))


def main(argv: Optional[Sequence[str]] = None) -> int:
    settings = settings_from_command_line(argv)
    stop = SignalStop()
    recording_file = None
    if settings.record is not None:
        try:
            recording_file = recording.RecordingFile(settings.record)
        except (ImportError, OSError) as error:
            print("tavix-bridge: --record %s: %s" % (settings.record, error), file=sys.stderr)
            return 1
    try:
        return _serve(settings, stop, recording_file)
    finally:
        if recording_file is not None:
            recording_file.close()  # after every arm's recorder, which close() ends


def _serve(settings: BridgeSettings, stop: SignalStop, recording_file: Optional[recording.RecordingFile]) -> int:
    try:
        session = settings.session.open()
    except zenoh_session.SessionError as error:  # an address in use, a bad configuration file, ...
        print("tavix-bridge: the Zenoh session did not open: %s" % error, file=sys.stderr)
        return 1
    try:
        arms, handles = open_devices(settings)
    except api.DeviceError as error:
        session.close()
        print("tavix-bridge: %s" % error, file=sys.stderr)
        return 1
    if not arms and not handles:
        session.close()
        print("tavix-bridge: no device found", file=sys.stderr)
        return 1
    bridge = Bridge(settings, session, arms, handles, stop.event, recording_file)
    try:
        notes = ((", commands allowed" if settings.allow_commands else "")
                 + (", recorded into %s" % settings.record if settings.record else ""))
        for arm in bridge.arms:
            print("arm %s on %s: %s%s" % (arm.uuid, arm.port_path, zenoh_session.state_key(arm.uuid), notes))
        for handle in bridge.handles:
            print("handle %d: %s" % (handle.device_id, zenoh_session.handle_status_key(handle.device_id)))
        configured = settings.session.listen_endpoints()
        listening = listening_endpoints(configured)
        if listening is None:
            listening = configured  # no /proc: what the session was asked to listen on
        print("ready, listening on %s" % (", ".join(listening) if listening else "no endpoint"), flush=True)
        worker = threading.Thread(target=bridge.run, name="tavix-bridge-publisher", daemon=True)
        worker.start()
        while worker.is_alive():
            worker.join(0.2)  # wakes for the signal handlers
    finally:
        bridge.close()
    return 1 if bridge.error is not None else stop.exit_status()


if __name__ == "__main__":
    sys.exit(main())
