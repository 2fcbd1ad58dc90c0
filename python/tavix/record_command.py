"""tavix record: records arms that a tavix-bridge publishes, through Eclipse Zenoh, into an
MCAP file of ROS 2 messages.

    tavix record --connect tcp/192.168.1.20:7447 7a5e5130-0000-4000-8000-000000000001 -o arm.mcap

Each named arm's state stream (tavix/<uuid>/state) goes on the tick, position, velocity
and force topics of /tavix/<uuid> (tavix.recording_schema), frame_id the uuid, until
Ctrl-C, SIGTERM or --seconds. The stream holds what the bridge publishes at its --rate:
the loop's latest tick each time, so cycles may be missing (or come twice, kept once);
the count of those missing (not published, or skipped by the loop itself) is printed
per arm. A state carries no round trip nor lateness: /tick has NaN there. A state is
stamped with the bridge's wall clock at the loop's start (its first state's send time
less its time; again after an arm that failed is back) plus its time. Needs the `remote`
and `record` extras.
"""

import argparse
import math
import signal
import sys
import threading
import time
import uuid as _uuid
from typing import Any, List, Optional, Sequence

from tavix import encoding, recording

STOP_POLL = 0.2  # s: the main thread wakes this often for the signal handlers


class ArmStream:
    """One arm's states into the file, each cycle once, from Zenoh's threads."""

    def __init__(self, file: recording.RecordingFile, uuid: str) -> None:
        self.file = file
        self.uuid = uuid
        self.prefix = "/tavix/" + uuid
        self.ticks = 0
        self.malformed = 0
        self._lock = threading.Lock()
        self._first: Optional[int] = None
        self._last: Optional[int] = None
        self._epoch_ns = 0
        self._stamp_ns = 0  # the last state's
        self._new_run = True  # the next state dates the loop's start
        self._closed = False

    def on_state(self, sample: Any) -> None:
        try:
            state = encoding.decode_state(sample.payload.to_bytes())
        except encoding.MessageError:
            with self._lock:
                self.malformed += 1
            return
        self.take(state)

    def take(self, state: encoding.ArmState) -> None:
        with self._lock:
            if self._closed or (self._last is not None and state.cycle <= self._last):
                return
            if self._new_run:
                self._epoch_ns = state.sent_ns - int(round(state.time * 1e9))
            self._new_run = state.failed  # the arm's next state, once back, is on a new loop
            if self._first is None:
                self._first = state.cycle
            self._last = state.cycle
            # A failed arm's last state repeats its last tick's time: one nanosecond later keeps stamps unique.
            self._stamp_ns = max(self._epoch_ns + int(round(state.time * 1e9)), self._stamp_ns + 1)
            row = (state.cycle, state.time, state.position, state.velocity, state.force, math.nan, math.nan, state.ok)
            recording.write_tick(self.file, self.prefix, self.uuid, self._stamp_ns, row)
            self.ticks += 1

    def close(self) -> None:
        with self._lock:
            self._closed = True

    def missing(self) -> int:
        """The cycles between the first and the last recorded that never came."""
        with self._lock:
            return 0 if self._first is None or self._last is None else self._last - self._first + 1 - self.ticks


def _uuid_text(text: str) -> str:
    try:
        return str(_uuid.UUID(text))
    except ValueError:
        raise argparse.ArgumentTypeError("%r is not an arm's uuid" % text) from None


def _seconds(text: str) -> float:
    value = float(text)
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError("--seconds must be above 0")
    return value


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tavix record", description="Records arms that a tavix-bridge publishes into an MCAP file of "
        "ROS 2 messages, under /tavix/<uuid>, until Ctrl-C, SIGTERM or --seconds.")
    parser.add_argument("uuids", nargs="+", type=_uuid_text, metavar="UUID", help="an arm's uuid")
    parser.add_argument("-o", "--output", required=True, metavar="PATH", help="the MCAP file to write")
    parser.add_argument("--seconds", type=_seconds, metavar="S", help="stop after S seconds")
    parser.add_argument("--connect", action="append", default=[], metavar="ENDPOINT",
                        help="the bridge's Zenoh endpoint (repeatable), tcp/host:port")
    parser.add_argument("--config", metavar="FILE", help="a Zenoh configuration file (JSON5)")
    parser.add_argument("--mode", choices=("peer", "router", "client"), default="peer", help="Zenoh mode (peer)")
    parser.add_argument("--scouting", action="store_true", help="turn multicast scouting on (off by default)")
    return parser


def _stop_on_signals(stop: threading.Event) -> None:
    for number in (signal.SIGINT, signal.SIGTERM):
        signal.signal(number, lambda *_: stop.set())


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = _parser()
    arguments = parser.parse_args(argv)
    if not (arguments.connect or arguments.config or arguments.scouting):
        parser.error("name the bridge's endpoint with --connect (or give --config or --scouting)")
    try:
        from tavix import zenoh_session
    except ImportError as error:
        print("tavix record: %s" % error, file=sys.stderr)
        return 1
    settings = zenoh_session.SessionSettings(arguments.config, arguments.mode, (), tuple(arguments.connect),
                                             arguments.scouting)
    try:
        file = recording.RecordingFile(arguments.output)
    except (ImportError, OSError) as error:
        print("tavix record: %s: %s" % (arguments.output, error), file=sys.stderr)
        return 1
    stop = threading.Event()
    _stop_on_signals(stop)
    arms = [ArmStream(file, uuid) for uuid in dict.fromkeys(arguments.uuids)]
    try:
        session: Any = settings.open()  # Any: some zenoh versions leave close() untyped
    except zenoh_session.SessionError as error:
        file.close()
        print("tavix record: the Zenoh session did not open: %s" % error, file=sys.stderr)
        return 1
    try:
        subscribers: List[Any] = [session.declare_subscriber(zenoh_session.state_key(arm.uuid), arm.on_state)
                                  for arm in arms]
        print("tavix record: recording %d arm%s from %s into %s" % (
            len(arms), "" if len(arms) == 1 else "s", settings.endpoints(), file.path), flush=True)
        _wait(stop, arguments.seconds)
        for subscriber in subscribers:
            subscriber.undeclare()
    finally:
        for arm in arms:
            arm.close()
        session.close()
        file.close()
    print("tavix record: wrote %s" % file.path)
    for arm in arms:
        print("  %s: %d ticks, %d cycles missing, %d malformed" % (arm.uuid, arm.ticks, arm.missing(),
                                                                   arm.malformed))
    return 0


def _wait(stop: threading.Event, seconds: Optional[float]) -> None:
    """Until `stop` is set or `seconds` have passed, waking for the signal handlers."""
    deadline = math.inf if seconds is None else time.monotonic() + seconds
    while not stop.is_set():
        left = deadline - time.monotonic()
        if left <= 0:
            return
        stop.wait(min(STOP_POLL, left))


if __name__ == "__main__":
    sys.exit(main())
