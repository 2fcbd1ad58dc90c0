"""Reads a recording (an MCAP file of the topics in tavix.recording_schema) back: one arm's
per-tick series as numpy arrays, a row per tick in the order of the ticks, and its proxy
samples. For tavix plot, tavix replay and tavix replay-device.

    recording = recording_reader.load("run.mcap")
    recording.ticks.time, recording.position[:, 2], recording.proxies.in_contact

A file with one arm's topics needs no prefix; with several (a bridge's), name one. The
position, velocity and force of a tick are the messages with its header stamp; a tick
without one of them has NaN there, and so has every tick for a series not asked for.
Ticks are in the order of their stamps, which is that of their cycles within a run; a
loop stopped and started again begins a new run, its cycles from 0. Needs the `record`
extra (mcap, mcap-ros2-support, numpy).
"""

import concurrent.futures
import multiprocessing
import os
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Callable, Dict, Iterable, Iterator, List, Optional, Tuple, Type, Union

from tavix.recording_schema import TOPICS, topic_name

if TYPE_CHECKING:
    from numpy.typing import NDArray

    Array = NDArray[Any]
else:
    Array = Any

__all__ = ["RecordingError", "Ticks", "Proxies", "Recording", "SERIES", "prefixes", "load"]

# The per-tick series besides the ticks themselves, and the proxy samples.
SERIES = ("position", "velocity", "force", "proxy")

# Decoding is most of the time a big recording takes to read (30 to 40 s for 10 minutes at
# 1 kHz on one core): load() may share a file of PARALLEL_FROM_CHUNKS chunks (about 1 MB
# each) or more among up to MAX_WORKERS processes, each decoding a part of the chunks.
PARALLEL_FROM_CHUNKS = 16
MAX_WORKERS = 8

_TICK_SUFFIX = TOPICS["tick"].suffix
_MISSING = "reading recordings needs the 'record' extra: pip install 'TavixHardwareAPI[record]'"

Path = Union[str, "os.PathLike[str]"]


class RecordingError(Exception):
    """The file cannot be read as a recording, or does not hold the arm asked for."""


@dataclass(frozen=True)
class Ticks:
    """One entry per tick: its header stamp (ns), cycle, time (s since its run's start),
    round trip and lateness (µs; NaN where not measured) and whether its exchange
    succeeded."""

    stamp_ns: Array
    cycle: Array
    time: Array
    round_trip_us: Array
    lateness_us: Array
    ok: Array


@dataclass(frozen=True)
class Proxies:
    """One entry per proxy sample, in the order of their stamps: its stamp (ns), its
    time on the ticks' clock (`Recording.seconds`), the scene's index, the proxy's
    position, whether it touches a shape, the shape's index in its scene (-1: none) and
    the contact's normal."""

    stamp_ns: Array
    seconds: Array
    scene: Array
    position: Array
    in_contact: Array
    shape: Array
    normal: Array


@dataclass(frozen=True)
class Recording:
    """One arm's recording: `ticks`, and `position`, `velocity` (m, m/s) and `force` (N,
    the force sent), each an n x 3 array with a row per tick."""

    path: str
    prefix: str
    frame_id: str  # of the first tick's header
    ticks: Ticks
    position: Array
    velocity: Array
    force: Array
    proxies: Proxies

    def __len__(self) -> int:
        return len(self.ticks.stamp_ns)

    @property
    def seconds(self) -> Array:
        """Each tick's stamp in seconds after the first tick's: a clock that goes on
        across runs, for the time axis of plots."""
        stamps = self.ticks.stamp_ns
        return (stamps - stamps[0]) / 1e9 if len(stamps) else stamps.astype(float)


def _numpy() -> Any:
    try:
        import numpy
    except ImportError as error:
        raise ImportError(_MISSING) from error
    return numpy


def _reader(stream: Any) -> Any:
    try:
        from mcap.reader import make_reader
        from mcap_ros2.decoder import DecoderFactory
    except ImportError as error:
        raise ImportError(_MISSING) from error
    return make_reader(stream, decoder_factories=[DecoderFactory()])


def _errors() -> Tuple[Type[BaseException], ...]:
    """What reading a file that is not an MCAP file (or is cut short) raises."""
    try:
        from mcap.exceptions import McapError
    except ImportError as error:
        raise ImportError(_MISSING) from error
    return (McapError, ValueError, EOFError, KeyError)


def _open(path: Path) -> Any:
    try:
        return open(path, "rb")
    except OSError as error:
        raise RecordingError("cannot open %s: %s" % (os.fspath(path), error.strerror or error)) from error


def _topics(reader: Any) -> List[str]:
    summary = reader.get_summary()
    if summary is not None:
        return sorted({channel.topic for channel in summary.channels.values()})
    # A file whose recorder did not finish it has no summary: its messages name the topics.
    return sorted({channel.topic for _, channel, _ in reader.iter_messages(log_time_order=False)})


def prefixes(path: Path) -> List[str]:
    """The prefixes of the arms recorded in the file at `path`: those of its tick topics."""
    errors = _errors()
    with _open(path) as stream:
        try:
            topics = _topics(_reader(stream))
        except errors as error:
            raise RecordingError("%s cannot be read as an MCAP file (is it one? was it finished?): %s" % (
                os.fspath(path), error)) from error
    return [topic[:-len(_TICK_SUFFIX)] or "/" for topic in topics if topic.endswith(_TICK_SUFFIX)]


def _chosen_prefix(path: Path, prefix: Optional[str]) -> str:
    found = prefixes(path)
    if not found:
        raise RecordingError("%s holds no ticks (no topic ending in %s)" % (os.fspath(path), _TICK_SUFFIX))
    if prefix is None:
        if len(found) > 1:
            raise RecordingError("%s holds several arms: name one with --prefix: %s" % (
                os.fspath(path), ", ".join(found)))
        return found[0]
    wanted = "/" + prefix.strip("/")
    if wanted not in found:
        raise RecordingError("%s holds no arm %s; it holds %s" % (os.fspath(path), wanted, ", ".join(found)))
    return wanted


def _stamp(message: Any) -> int:
    stamp = message.header.stamp
    return int(stamp.sec) * 1_000_000_000 + int(stamp.nanosec)


def _xyz(point: Any) -> Tuple[float, float, float]:
    return (point.x, point.y, point.z)


# Per topic: the numbers of a message that go into its series (the stamp is taken apart).
_WIDTHS = {"tick": 5, "position": 3, "velocity": 3, "force": 3, "proxy": 9}
_FIELDS: Dict[str, Callable[[Any], Tuple[Any, ...]]] = {
    "tick": lambda m: (m.cycle, m.time, m.round_trip_us, m.lateness_us, m.ok),
    "position": lambda m: _xyz(m.point),
    "velocity": lambda m: _xyz(m.vector),
    "force": lambda m: _xyz(m.wrench.force),
    "proxy": lambda m: (m.scene, m.in_contact, m.shape) + _xyz(m.position) + _xyz(m.normal),
}


def _messages(path: Path, topics: Dict[str, str], start: Optional[int],
              end: Optional[int]) -> Iterator[Tuple[str, Any]]:
    """(name, decoded message) for each message of `topics` (full topic -> name) logged
    from `start` to before `end` (ns; None: no bound)."""
    errors = _errors()
    with _open(path) as stream:
        try:
            for _, channel, _, message in _reader(stream).iter_decoded_messages(
                    topics=list(topics), log_time_order=False, starting_at=start, ending_before=end):
                yield topics[channel.topic], message
        except errors as error:
            raise RecordingError("%s cannot be read: %s" % (os.fspath(path), error)) from error


# Per name: the stamps and a row of numbers per message; and the first tick's frame_id.
Collected = Tuple[Dict[str, Tuple[Array, Array]], str]


def _collect(path: Path, topics: Dict[str, str], start: Optional[int] = None, end: Optional[int] = None) -> Collected:
    numpy = _numpy()
    stamps: Dict[str, List[int]] = {name: [] for name in topics.values()}
    rows: Dict[str, List[Tuple[Any, ...]]] = {name: [] for name in topics.values()}
    frame_id: Optional[str] = None
    for name, message in _messages(path, topics, start, end):
        stamps[name].append(_stamp(message))
        rows[name].append(_FIELDS[name](message))
        if frame_id is None and name == "tick":
            frame_id = str(message.header.frame_id)
    return {name: (numpy.asarray(stamps[name], dtype=numpy.int64),
                   numpy.asarray(rows[name], dtype=float).reshape(len(rows[name]), _WIDTHS[name]))
            for name in topics.values()}, frame_id or ""


def _available_workers() -> int:
    try:
        available = len(os.sched_getaffinity(0))
    except AttributeError:  # not on every system
        available = os.cpu_count() or 1
    return min(available, MAX_WORKERS)


def _time_ranges(path: Path, workers: int) -> List[Tuple[Optional[int], Optional[int]]]:
    """Ranges of log times that split the file's chunks among `workers`; one range, the
    whole file, for a file too small to be worth it."""
    if workers < 2:
        return [(None, None)]
    errors = _errors()
    with _open(path) as stream:
        try:
            summary = _reader(stream).get_summary()
        except errors:
            summary = None
    starts = sorted(index.message_start_time for index in summary.chunk_indexes) if summary else []
    if len(starts) < PARALLEL_FROM_CHUNKS:
        return [(None, None)]
    cuts = sorted({starts[len(starts) * i // workers] for i in range(1, workers)})
    bounds: List[Optional[int]] = [None, *cuts, None]
    return list(zip(bounds[:-1], bounds[1:]))


def _collect_all(path: Path, topics: Dict[str, str], workers: int) -> Collected:
    """_collect over the whole file, its parts decoded at once by up to `workers`
    processes (decoding is pure Python: threads would take turns)."""
    ranges = _time_ranges(path, workers)
    if len(ranges) == 1:
        return _collect(path, topics)
    numpy = _numpy()
    context = multiprocessing.get_context("spawn")  # forking a process that may run threads is unsafe
    with concurrent.futures.ProcessPoolExecutor(len(ranges), mp_context=context) as pool:
        parts = list(pool.map(_collect, *zip(*[(path, topics, start, end) for start, end in ranges])))
    return ({name: (numpy.concatenate([part[name][0] for part, _ in parts]),
                    numpy.concatenate([part[name][1] for part, _ in parts])) for name in topics.values()},
            next((frame_id for _, frame_id in parts if frame_id), ""))


def _ticks(numpy: Any, stamps: Array, rows: Array) -> Ticks:
    """The ticks in the order of their stamps."""
    order = numpy.argsort(stamps, kind="stable")
    table = rows[order]
    return Ticks(stamps[order], table[:, 0].astype(numpy.int64), table[:, 1], table[:, 2], table[:, 3],
                 table[:, 4] != 0)


def _per_tick(numpy: Any, tick_stamps: Array, stamps: Array, rows: Array) -> Array:
    """An n x 3 array of `rows` placed at the ticks with their stamps; NaN elsewhere."""
    values: Array = numpy.full((len(tick_stamps), 3), numpy.nan)
    if not len(stamps) or not len(tick_stamps):
        return values
    index = numpy.searchsorted(tick_stamps, stamps).clip(0, len(tick_stamps) - 1)
    matched = tick_stamps[index] == stamps
    values[index[matched]] = rows[matched]
    return values


def _proxies(numpy: Any, ticks: Ticks, stamps: Array, rows: Array) -> Proxies:
    order = numpy.argsort(stamps, kind="stable")
    table = rows[order]
    stamps = stamps[order]
    seconds = (stamps - ticks.stamp_ns[0]) / 1e9 if len(ticks.stamp_ns) else stamps / 1e9
    return Proxies(stamps, seconds, table[:, 0].astype(numpy.int64), table[:, 3:6], table[:, 1] != 0,
                   table[:, 2].astype(numpy.int64), table[:, 6:9])


def load(path: Path, prefix: Optional[str] = None, series: Iterable[str] = SERIES,
         workers: Optional[int] = 1) -> Recording:
    """The recording of the arm under `prefix` (None: the only arm the file holds) in the
    file at `path`, with the ticks and the `series` named (of SERIES; the others empty:
    NaN, or no proxy samples). RecordingError when the file cannot be read, holds no
    ticks, or holds several arms and none is named, or not the one named.

    With `workers` above 1 (None: one per processor, up to MAX_WORKERS), a big file is
    decoded by that many processes at once. They start as multiprocessing's "spawn"
    starts them, importing the main module again: its code must be under
    `if __name__ == "__main__":`."""
    wanted = set(series)
    unknown = wanted - set(SERIES)
    if unknown:
        raise ValueError("unknown series %s; known: %s" % (", ".join(sorted(unknown)), ", ".join(SERIES)))
    numpy = _numpy()
    chosen = _chosen_prefix(path, prefix)
    names = ["tick", *(name for name in SERIES if name in wanted)]
    topics = {topic_name(chosen, name): name for name in names}
    collected, frame_id = _collect_all(path, topics, _available_workers() if workers is None else workers)
    ticks = _ticks(numpy, *collected["tick"])

    def part(name: str) -> Tuple[Array, Array]:
        return collected.get(name, (numpy.zeros(0, dtype=numpy.int64), numpy.zeros((0, _WIDTHS[name]))))

    def per_tick(name: str) -> Array:
        return _per_tick(numpy, ticks.stamp_ns, *part(name))

    return Recording(os.fspath(path), chosen, frame_id, ticks, per_tick("position"), per_tick("velocity"),
                     per_tick("force"), _proxies(numpy, ticks, *part("proxy")))
