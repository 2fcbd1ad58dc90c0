"""Recording a servo loop's ticks to an MCAP file of ROS 2 messages (tavix.recording_schema
names the topics), which ROS 2 tools, Foxglove and Rerun open.

    with loop.record("run.mcap"):          # tavix.recording.Recorder(loop, "run.mcap")
        loop.start()
        time.sleep(2.0)
        loop.stop()

A Recorder takes every tick the loop records from its construction on, through a
TickReader of its own, on a thread of its own that drains it every DRAIN_INTERVAL; the
loop never waits for it, and the thread runs under SCHED_IDLE (on Linux), so that its
bursts of Python never hold up the loop, the device or the port's kernel work, unless it
falls behind (CATCH_UP_SHARE). Each tick's messages are stamped with the wall clock of its
run's start plus the tick's time. A recorder that falls further behind than the loop's
history_size loses the oldest ticks: it counts them (`lost`, the /stats topic) and logs
their number when it closes. Several recorders (the bridge's arms) may share one
RecordingFile. Needs the `record` extra (mcap, mcap-ros2-support).
"""

import json
import logging
import os
import sys
import threading
import time
from types import TracebackType
from typing import Any, Dict, List, Optional, Sequence, Type, Union

import TavixHardwareAPI as api

from tavix.recording_schema import DEFAULT_PREFIX, TOPICS, definition, topic_name

__all__ = ["RecordingFile", "Recorder", "write_tick", "header", "proxy_message", "describe_effects",
           "DRAIN_INTERVAL", "STATS_INTERVAL"]

DRAIN_INTERVAL = 0.02  # s between two reads of the loop's ticks
STATS_INTERVAL = 1.0  # s between two /stats messages

log = logging.getLogger(__name__)


def _writer_class() -> Any:
    try:
        from mcap_ros2.writer import Writer
    except ImportError as error:
        raise ImportError("recording needs the 'record' extra: pip install 'TavixHardwareAPI[record]'") from error
    return Writer


class RecordingFile:
    """An MCAP file of ROS 2 messages (CDR) being written: each message type's schema is
    registered once, each message's log and publish times are its stamp. Its methods
    may be called from any thread. ImportError without the `record` extra; OSError for
    a path that cannot be written."""

    def __init__(self, path: Union[str, "os.PathLike[str]"]) -> None:
        writer_class = _writer_class()
        self.path = os.fspath(path)
        self._lock = threading.Lock()
        self._stream = open(self.path, "wb")
        try:
            self._writer: Any = writer_class(self._stream)
        except BaseException:
            self._stream.close()
            raise
        self._schemas: Dict[str, Any] = {}
        self._closed = False

    def write(self, prefix: str, name: str, message: Dict[str, Any], stamp_ns: int) -> None:
        """Writes `message` (a dict of the fields of topic `name`'s type, a key of
        recording_schema.TOPICS) on that topic under `prefix`, at `stamp_ns`. ValueError
        once the file is closed."""
        datatype = TOPICS[name].datatype
        with self._lock:
            if self._closed:
                raise ValueError("the recording %s is closed" % self.path)
            schema = self._schemas.get(datatype)
            if schema is None:
                schema = self._schemas[datatype] = self._writer.register_msgdef(datatype, definition(datatype))
            self._writer.write_message(topic_name(prefix, name), schema, message, log_time=stamp_ns,
                                       publish_time=stamp_ns)

    def close(self) -> None:
        """Finishes the file (its summary and footer) and closes it; again does nothing."""
        with self._lock:
            if self._closed:
                return
            self._closed = True
            try:
                self._writer.finish()
            finally:
                self._stream.close()

    def __enter__(self) -> "RecordingFile":
        return self

    def __exit__(self, exc_type: Optional[Type[BaseException]], exc_value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        self.close()


def header(stamp_ns: int, frame_id: str) -> Dict[str, Any]:
    seconds, nanoseconds = divmod(stamp_ns, 1_000_000_000)
    return {"stamp": {"sec": seconds, "nanosec": nanoseconds}, "frame_id": frame_id}


def _xyz(values: Sequence[Any]) -> Dict[str, float]:
    # float() takes numpy's float32 as exactly as Python's floats.
    return {"x": float(values[0]), "y": float(values[1]), "z": float(values[2])}


_ZERO = {"x": 0.0, "y": 0.0, "z": 0.0}


def write_tick(file: RecordingFile, prefix: str, frame_id: str, stamp_ns: int, row: Sequence[Any]) -> None:
    """Writes one tick, a row in the order of ServoLoop.history()'s (cycle, time,
    position, velocity, force, round_trip_us, lateness_us, ok), on the tick, position,
    velocity and force topics; the force is the one sent, with no torque."""
    cycle, seconds, position, velocity, force, round_trip_us, lateness_us, ok = row
    stamped = header(stamp_ns, frame_id)
    file.write(prefix, "tick", {"header": stamped, "cycle": int(cycle), "time": float(seconds),
                                "round_trip_us": float(round_trip_us), "lateness_us": float(lateness_us),
                                "ok": bool(ok)}, stamp_ns)
    file.write(prefix, "position", {"header": stamped, "point": _xyz(position)}, stamp_ns)
    file.write(prefix, "velocity", {"header": stamped, "vector": _xyz(velocity)}, stamp_ns)
    file.write(prefix, "force", {"header": stamped, "wrench": {"force": _xyz(force), "torque": _ZERO}}, stamp_ns)


def proxy_message(scene_index: int, scene: api.Scene, stamped: Dict[str, Any]) -> Dict[str, Any]:
    """The /proxy message of `scene`'s proxy now: `scene_index` its index among the loop's
    scenes, `shape` the index of the proxy's shape among the scene's (-1: none)."""
    proxy = scene.proxy()
    shape = next((number for number, candidate in enumerate(scene.shapes) if candidate is proxy.shape), -1)
    return {"header": stamped, "scene": scene_index, "position": _xyz(proxy.position), "in_contact": proxy.in_contact,
            "shape": shape, "normal": _xyz(proxy.normal)}


def _nanoseconds(seconds: float) -> int:
    return int(round(seconds * 1e9))


def describe_effects(effects: Sequence[api.Effect]) -> str:
    """The /effects text: a JSON list with each effect's type and repr, and a scene's
    shapes (type, repr, material) too."""
    described: List[Dict[str, Any]] = []
    for effect in effects:
        entry: Dict[str, Any] = {"type": type(effect).__name__, "repr": repr(effect)}
        if isinstance(effect, api.Scene):
            entry["shapes"] = [{"type": type(shape).__name__, "repr": repr(shape), "material": repr(shape.material)}
                               for shape in effect.shapes]
        described.append(entry)
    return json.dumps(described)


def _stats_message(stats: Dict[str, Any], lost: int, stamped: Dict[str, Any]) -> Dict[str, Any]:
    lateness, round_trip = stats["lateness_us"], stats["round_trip_us"]
    return {"header": stamped, "cycles": stats["cycles"], "missed": stats["missed"], "failures": stats["failures"],
            "clamped": stats["clamped"], "non_finite": stats["non_finite"], "lost": lost,
            "lateness_p50_us": lateness["p50"], "lateness_p99_us": lateness["p99"],
            "lateness_max_us": lateness["max"], "round_trip_p50_us": round_trip["p50"],
            "round_trip_p99_us": round_trip["p99"], "round_trip_max_us": round_trip["max"],
            "period_jitter_p99_us": stats["period_jitter_us"]["p99"]}


def _run_when_idle(idle: bool) -> None:
    """Puts the calling thread under SCHED_IDLE (`idle`), where it runs only when nothing
    else wants the CPU, or back under the normal policy. Encoding a tick costs the
    recorder's thread tens of microseconds of Python, in bursts at each drain; on a small
    machine the kernel lets a busy thread of normal priority finish its time slice (up
    to milliseconds) before a thread that wakes, such as the loop's, the simulator or
    the port's kernel work. Where the policy cannot be set on one thread (outside
    Linux), nothing changes."""
    native_id = getattr(threading, "get_native_id", None)
    policy = getattr(os, "SCHED_IDLE" if idle else "SCHED_OTHER", None)
    if native_id is None or policy is None or not sys.platform.startswith("linux"):
        return
    try:
        os.sched_setscheduler(native_id(), policy, os.sched_param(0))  # this thread only, on Linux
    except OSError:
        pass


# A drain that reads more than this share of the loop's history means the recorder is
# falling behind (a busy machine gives an idle thread next to nothing): it then runs at
# normal priority until it has caught up, rather than lose ticks.
CATCH_UP_SHARE = 0.25


class Recorder:
    """Records `loop` from now on into `path_or_file` (a path, whose file it opens and
    finishes, or a RecordingFile, which it leaves open) under the topics of `prefix`,
    with `frame_id` in every header: per tick /tick, /position, /velocity and /force;
    /stats every STATS_INTERVAL and at the end (with the ticks lost); /effects at the
    start and whenever the loop's effects (their list, parameters, or a scene's shapes)
    change, stamped with the wall clock then; and, each drain that read ticks, /proxy for
    each Scene among the loop's effects (`scene` its index among them, `shape` the index
    of the proxy's shape among the scene's, -1 for none), stamped with the latest tick's.

    A run's ticks are stamped with its start's wall clock (the time of the first drain
    that sees it, less the loop's latest tick time: to within about a tick while the loop
    runs) plus their time; each run after a stop() and start() gets a new start.

    close() (or leaving the `with` block) records what is left and ends the recording;
    it raises what stopped the recording thread, if anything did. `ticks` counts the
    ticks written, `lost` those the loop overwrote before they were read."""

    def __init__(self, loop: api.ServoLoop, path_or_file: Union[str, "os.PathLike[str]", RecordingFile],
                 prefix: str = DEFAULT_PREFIX, frame_id: str = "arm", *,
                 _drain_interval: float = DRAIN_INTERVAL) -> None:
        self.loop = loop
        self.prefix = prefix
        self.frame_id = frame_id
        self._reader = api.TickReader(loop)
        self._owns_file = not isinstance(path_or_file, RecordingFile)
        self.file = path_or_file if isinstance(path_or_file, RecordingFile) else RecordingFile(path_or_file)
        self._interval = _drain_interval
        self.ticks = 0
        self.error: Optional[BaseException] = None  # what stopped the recording thread
        self._cycle: Optional[int] = None  # the last tick written
        self._epoch_ns = 0  # the wall clock of its run's start
        self._latest_ns: Optional[int] = None  # its stamp
        self._effects: Optional[str] = None  # the last /effects text written
        self._next_stats = time.monotonic() + STATS_INTERVAL
        self._catching_up = False  # running at normal priority to catch up
        self._closing = threading.Event()
        self._closed = False
        self._thread = threading.Thread(target=self._run, name="tavix-recorder", daemon=True)
        self._thread.start()

    @property
    def lost(self) -> int:
        return int(self._reader.lost)

    def _run(self) -> None:
        _run_when_idle(True)
        try:
            self._effects_changed()
            while not self._closing.wait(self._interval):
                self._drain()
            self._drain(final=True)
        except BaseException as error:  # kept for close() to raise
            self.error = error

    def _drain(self, final: bool = False) -> None:
        rows = self._reader.read()
        catching_up = len(rows) > CATCH_UP_SHARE * self.loop.history_size
        if catching_up != self._catching_up:
            self._catching_up = catching_up
            _run_when_idle(not catching_up)
        if len(rows):
            self._write_ticks(rows)
            self._write_proxies()
        self._effects_changed()
        if final or time.monotonic() >= self._next_stats:
            self._next_stats = time.monotonic() + STATS_INTERVAL
            stamp = self._latest_ns if self._latest_ns is not None else time.time_ns()
            message = _stats_message(dict(self.loop.stats()), self.lost, header(stamp, self.frame_id))
            self.file.write(self.prefix, "stats", message, stamp)

    def _write_ticks(self, rows: Sequence[Any]) -> None:
        state, now = self.loop.state(), time.time_ns()  # newer than the rows: it dates their run's start
        for row in rows:
            cycle, seconds = int(row[0]), float(row[1])
            if self._cycle is None or cycle <= self._cycle:  # the first tick, or a new run: cycles restart at 0
                latest = state.time if state is not None and state.time >= seconds else seconds
                self._epoch_ns = now - _nanoseconds(latest)
            self._cycle = cycle
            self._latest_ns = self._epoch_ns + _nanoseconds(seconds)
            write_tick(self.file, self.prefix, self.frame_id, self._latest_ns, row)
            self.ticks += 1

    def _write_proxies(self) -> None:
        assert self._latest_ns is not None
        scenes = [effect for effect in self.loop.effects if isinstance(effect, api.Scene)]
        for index, scene in enumerate(scenes):
            message = proxy_message(index, scene, header(self._latest_ns, self.frame_id))
            self.file.write(self.prefix, "proxy", message, self._latest_ns)

    def _effects_changed(self) -> None:
        text = describe_effects(self.loop.effects)
        if text != self._effects:
            self._effects = text
            self.file.write(self.prefix, "effects", {"data": text}, time.time_ns())

    def close(self) -> None:
        """Records the ticks left, a last /stats, and ends the recording (finishing the
        file if the recorder opened it); again does nothing. Logs a warning if ticks were
        lost, and raises what stopped the recording thread, if anything did."""
        if self._closed:
            return
        self._closed = True
        self._closing.set()
        self._thread.join()
        try:
            if self.lost:
                log.warning("the recording %s of %s lost %d ticks: it fell more than the loop's history_size (%d) "
                            "behind", self.file.path, self.prefix, self.lost, self.loop.history_size)
        finally:
            if self._owns_file:
                self.file.close()
        if self.error is not None:
            raise self.error

    def __enter__(self) -> "Recorder":
        return self

    def __exit__(self, exc_type: Optional[Type[BaseException]], exc_value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        self.close()

    def __repr__(self) -> str:
        return "<Recorder of %s into %s: %d ticks, %d lost>" % (self.prefix, self.file.path, self.ticks, self.lost)
