"""tavix plot: draws a recording of a servo loop (tavix.recording_schema) in a PNG.

    tavix plot run.mcap                                  into run.png
    tavix plot bridge.mcap --prefix /tavix/<uuid> -o arm.png

Four panels: the end effector's position (x, y, z) and the force sent against time,
shaded where a scene's proxy touched a shape (when proxies were recorded); the loop's
period, the time from each tick to the next, against time (a missed tick shows as a
period of two or more); and the histogram of the period jitter, |period - nominal| over
consecutive ticks, the nominal period being their median. Lines longer than MAX_POINTS
are drawn through the lowest and highest value of each stretch of ticks, which keeps
every spike; the histogram counts every period. Needs the `record` extra (mcap,
mcap-ros2-support, numpy, matplotlib).
"""

import argparse
import os
import sys
from typing import Any, List, Optional, Sequence, Tuple

from tavix import recording_reader
from tavix.recording_reader import Array, Recording, RecordingError

MAX_POINTS = 20_000  # drawn per line
HISTOGRAM_BINS = 100
CONTACT_COLOUR = "tab:orange"
_MISSING = "plots need the 'record' extra: pip install 'TavixHardwareAPI[record]'"


def _pyplot() -> Any:
    try:
        import matplotlib
    except ImportError as error:
        raise ImportError(_MISSING) from error
    matplotlib.use("Agg")  # files only: no display needed
    import matplotlib.pyplot

    return matplotlib.pyplot


def decimated(x: Array, y: Array, points: int = MAX_POINTS) -> Tuple[Array, Array]:
    """`x` and `y` with at most about `points` points: for a longer line, the lowest and the
    highest of each stretch of values, in their order (NaN where a stretch is all NaN)."""
    import numpy

    if len(y) <= points:
        return x, y
    size = -(-len(y) // (points // 2))
    stretches = len(y) // size
    head = y[:stretches * size].reshape(stretches, size)
    lowest = numpy.where(numpy.isnan(head), numpy.inf, head).argmin(axis=1)
    highest = numpy.where(numpy.isnan(head), -numpy.inf, head).argmax(axis=1)
    starts = numpy.arange(stretches) * size
    pairs = numpy.column_stack([numpy.minimum(lowest, highest), numpy.maximum(lowest, highest)]) + starts[:, None]
    index = numpy.concatenate([pairs.ravel(), numpy.arange(stretches * size, len(y))])
    return x[index], y[index]


def contact_spans(seconds: Array, in_contact: Array) -> List[Tuple[float, float]]:
    """(start, width) of each stretch of samples in contact: from its first sample to the
    next sample out of contact (or its own last sample)."""
    import numpy

    if not len(seconds):
        return []
    edges = numpy.diff(numpy.concatenate([[False], in_contact, [False]]).astype(int))
    starts, ends = numpy.flatnonzero(edges == 1), numpy.flatnonzero(edges == -1)
    end_times = seconds[numpy.minimum(ends, len(seconds) - 1)]
    return [(float(seconds[start]), float(end - seconds[start])) for start, end in zip(starts, end_times)]


def _shade_contacts(axes: Any, recording: Recording) -> None:
    proxies = recording.proxies
    for scene in sorted(set(proxies.scene.tolist())):
        mine = proxies.scene == scene
        spans = contact_spans(proxies.seconds[mine], proxies.in_contact[mine])
        if spans:
            axes.broken_barh(spans, (0, 1), transform=axes.get_xaxis_transform(), color=CONTACT_COLOUR, alpha=0.15,
                             label="in contact" if scene == proxies.scene.min() else None)


def _lines(axes: Any, seconds: Array, values: Array, labels: Sequence[str], unit: str) -> None:
    for column, label in enumerate(labels):
        axes.plot(*decimated(seconds, values[:, column]), linewidth=0.8, label=label)
    axes.set_ylabel(unit)


class Periods:
    """The time from each tick to the next (s, NaN across the start of a run), whether the
    two are consecutive cycles, and the ticks missed between them."""

    def __init__(self, recording: Recording) -> None:
        import numpy

        ticks = recording.ticks
        steps = numpy.diff(ticks.cycle)
        same_run = steps > 0
        self.period: Array = numpy.where(same_run, numpy.diff(ticks.time), numpy.nan)
        self.consecutive: Array = steps == 1
        self.missed = int((steps[same_run] - 1).sum())
        measured = self.period[self.consecutive] if self.consecutive.any() else self.period[same_run]
        self.nominal = float(numpy.median(measured)) if len(measured) else float("nan")
        self.jitter_us: Array = numpy.abs(self.period[self.consecutive] - self.nominal) * 1e6


def _period_panel(axes: Any, recording: Recording, periods: Periods) -> None:
    axes.plot(*decimated(recording.seconds[1:], periods.period * 1e3), linewidth=0.8, color="tab:purple")
    axes.axhline(periods.nominal * 1e3, color="grey", linewidth=0.6, linestyle="--")
    failed = int((~recording.ticks.ok).sum())
    axes.set_title("period (nominal %.3f ms): %d missed ticks, %d failed exchanges" % (
        periods.nominal * 1e3, periods.missed, failed), fontsize=10)
    axes.set_ylabel("ms")
    axes.set_xlabel("time (s)")


def _jitter_panel(axes: Any, periods: Periods) -> None:
    jitter = periods.jitter_us
    if len(jitter):
        axes.hist(jitter, bins=HISTOGRAM_BINS, color="tab:purple", log=True)
        axes.set_title("period jitter |period - nominal| over %d periods: max %.1f µs, p99 %.1f µs" % (
            len(jitter), jitter.max(), _percentile(jitter, 99)), fontsize=10)
    else:
        axes.set_title("period jitter: no consecutive ticks", fontsize=10)
    axes.set_xlabel("µs")
    axes.set_ylabel("periods")


def _percentile(values: Array, percent: float) -> float:
    import numpy

    return float(numpy.percentile(values, percent))


def draw(recording: Recording, output: str) -> None:
    """Draws the four panels of `recording` into the PNG file `output`."""
    pyplot = _pyplot()
    figure, axes = pyplot.subplots(4, 1, figsize=(12, 13), gridspec_kw={"height_ratios": [3, 3, 2, 2]})
    position_axes, force_axes, period_axes, jitter_axes = axes
    force_axes.sharex(position_axes)
    period_axes.sharex(position_axes)
    seconds = recording.seconds
    _lines(position_axes, seconds, recording.position, ("x", "y", "z"), "position (m)")
    _lines(force_axes, seconds, recording.force, ("fx", "fy", "fz"), "force sent (N)")
    for panel in (position_axes, force_axes):
        _shade_contacts(panel, recording)
        panel.legend(loc="upper right", fontsize=8)
    periods = Periods(recording)
    _period_panel(period_axes, recording, periods)
    _jitter_panel(jitter_axes, periods)
    figure.suptitle("%s %s: %d ticks over %.1f s" % (os.path.basename(recording.path), recording.prefix,
                                                     len(recording), seconds[-1]))
    figure.tight_layout()
    figure.savefig(output, format="png")
    pyplot.close(figure)


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(
        prog="tavix plot", description="Draws a servo loop's recording in a PNG: position and force against "
        "time (shaded where a scene's proxy touched a shape), the loop's period and its jitter.")
    parser.add_argument("path", metavar="PATH", help="the recording (MCAP)")
    parser.add_argument("-o", "--output", metavar="FILE", help="the PNG to write (default: PATH with .png)")
    parser.add_argument("--prefix", help="the arm's topic prefix, for a recording of several arms")
    arguments = parser.parse_args(argv)
    output = arguments.output or os.path.splitext(arguments.path)[0] + ".png"
    try:
        recording = recording_reader.load(arguments.path, arguments.prefix, ("position", "force", "proxy"),
                                          workers=None)
        if not len(recording):
            raise RecordingError("%s holds no ticks under %s" % (arguments.path, recording.prefix))
        draw(recording, output)
    except (RecordingError, ImportError, OSError) as error:
        print("tavix plot: %s" % error, file=sys.stderr)
        return 1
    print("%s: %d ticks of %s" % (output, len(recording), recording.prefix))
    return 0


if __name__ == "__main__":
    sys.exit(main())
