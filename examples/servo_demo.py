#!/usr/bin/env python3
"""A Morvek3 arm renders a virtual wall and a spring, driven by the library's servo loop.

    python examples/servo_demo.py                    simulated arm, 3 s at 1 kHz
    python examples/servo_demo.py --seconds 10 --rate 2000
    python examples/servo_demo.py --realtime         ask for SCHED_FIFO and locked memory
    python examples/servo_demo.py --port /dev/ttyACM0
    python examples/servo_demo.py --record run.mcap  then: tavix plot run.mcap -o run.png

Run it with a Python that has the module, such as build/venv/demo/bin/python, which
tools/demo.sh makes (or any environment where `pip install .` was run).

The loop runs in a native thread of the library (ServoLoop): each tick, on a fixed grid
of deadlines, it sends the sum of its effects, a Wall and a Spring computed in C++, and
reads back the end effector's position and velocity. Python never runs inside a tick: it
moves the spring's centre a hundred times a second (an effect's parameters can be set at
any time and show from the next tick) and prints the loop's live statistics. The same
scene driven by a `while` loop in Python is examples/haptic_demo.py, for comparison.

An arm whose port is not named (--port) is played by tavix-sim, the simulator that comes
with the module; the demo starts and stops it. Exit status: 0 on success, 1 when the arm
does not answer, its port fails or the simulator is missing.
"""

import argparse
import math
import os
import sys
import time
from contextlib import ExitStack
from typing import Any, List, Mapping, Optional, Sequence

import TavixHardwareAPI as api

from tavix import simulator

ARM_MODEL_NUMBER = 4  # what a Morvek3 reports as its model in the wake-up reply
WAKE_TIMEOUT = 5.0  # s for the first reply after the port opens
REPLY_TIMEOUT = 0.05  # s: in the loop, a reply that has not come by then is given up on

# The scene, as in haptic_demo.py: placed relative to where the end effector starts.
WALL_DISTANCE = 0.050  # m ahead of the start along x; the free side is below it
WALL_STIFFNESS = 600.0  # N/m: below the loop's stable_stiffness() with its default device damping
WALL_DAMPING = 5.0  # N s/m
SPRING_STIFFNESS = 100.0  # N/m
CIRCLE_RADIUS = 0.040  # m: the spring's centre goes round a circle reaching past the wall
CIRCLE_SECONDS = 2.0  # one lap
MAX_FORCE = 5.0  # N: the loop clamps every force to this

MOVE_INTERVAL = 0.01  # s between moves of the spring's centre
STATUS_INTERVAL_TTY = 0.1  # s between updates of the status line on a terminal
STATUS_INTERVAL_PLAIN = 0.5  # s between status lines otherwise

Vector = List[float]


class Failure(Exception):
    """The arm did not answer, or its port failed: the demo stops with this message."""


def centre(start: Sequence[float], seconds: float) -> Vector:
    """Where the spring pulls to, `seconds` into the loop: a point on a circle in the x-y
    plane that starts at the start position and reaches past the wall."""
    angle = 2 * math.pi * seconds / CIRCLE_SECONDS
    return [start[0] + CIRCLE_RADIUS * (1 - math.cos(angle)), start[1] + CIRCLE_RADIUS * math.sin(angle), start[2]]


class StatusLine:
    """The live status, from the loop's snapshots: the tick rate since the last line,
    missed ticks, period jitter, round trips, the last position and force sent, and
    "wall" while the end effector is in the wall. On a terminal one line rewritten in
    place, elsewhere a line now and then."""

    HEADING = ("%7s%7s%8s%16s%24s%21s" % ("", "", "jitter", "round trip", "position (mm)", "force (N)") + "\n" +
               "%7s%7s%8s%8s%8s%10s%7s%7s%7s%7s%7s" % ("rate", "missed", "p99", "p50", "p99", "x", "y", "z",
                                                       "x", "y", "z"))
    ROW = "%4.0f Hz%7d%8.0f%8.0f%8.0f%10.1f%7.1f%7.1f%7.2f%7.2f%7.2f  %s"

    def __init__(self) -> None:
        self.on_terminal = sys.stdout.isatty()
        self.interval = STATUS_INTERVAL_TTY if self.on_terminal else STATUS_INTERVAL_PLAIN
        self.last_shown = time.monotonic()
        self.last_cycles = 0
        print(self.HEADING, flush=True)

    def due(self) -> bool:
        return time.monotonic() - self.last_shown >= self.interval

    def show(self, loop: api.ServoLoop, wall_x: float) -> None:
        now = time.monotonic()
        stats, state = loop.stats(), loop.state()
        if state is None:
            return
        rate = (stats["cycles"] - self.last_cycles) / (now - self.last_shown)
        text = self.ROW % (rate, stats["missed"], stats["period_jitter_us"]["p99"], stats["round_trip_us"]["p50"],
                           stats["round_trip_us"]["p99"], *[p * 1000 for p in state.position], *state.force,
                           "wall" if state.position[0] > wall_x else "    ")
        if self.on_terminal:
            print("\r" + text, end="", flush=True)
        else:
            print(text.rstrip(), flush=True)
        self.last_shown, self.last_cycles = now, stats["cycles"]

    def finish(self) -> None:
        if self.on_terminal:
            print()


def wake_arm(path: str) -> api.Morvek3:
    """Opens the arm's port, wakes the arm and checks it is a Morvek3."""
    if not os.path.exists(path):
        raise Failure("the arm port %s does not exist" % path)
    port = api.Port(path, timeout=WAKE_TIMEOUT)  # PortError if it cannot be opened
    arm = api.Morvek3(port)  # keeps the port open as long as the arm lives
    print("Waking the arm on %s" % path)
    try:
        info = arm.device_wakeup_dict()
    except api.DeviceError as error:
        raise Failure("no arm answered on %s (is it powered on?): %s" % (path, error))
    if info["device_model_number"] != ARM_MODEL_NUMBER:
        raise Failure("the device on %s is model %d, not a Morvek3 arm" % (path, info["device_model_number"]))
    print("  device id %d, model %d, firmware version %d" % (
        info["device_id"], info["device_model_number"], info["firmware_version"]))
    port.timeout = REPLY_TIMEOUT
    return arm


def run(arm: api.Morvek3, seconds: float, rate: float, realtime: bool, record: Optional[str]) -> None:
    """Renders the scene for `seconds` with the servo loop, printing its statistics, and
    records every tick to the MCAP file `record` if given."""
    start, _ = arm.end_effector_force([0.0, 0.0, 0.0])
    wall_x = start[0] + WALL_DISTANCE
    spring = api.Spring(start, SPRING_STIFFNESS)
    wall = api.Wall([wall_x, start[1], start[2]], [-1.0, 0.0, 0.0], WALL_STIFFNESS, damping=WALL_DAMPING)
    loop = api.ServoLoop(arm, rate_hz=rate, max_force=MAX_FORCE, realtime=realtime,
                         history_size=int(seconds * rate) + int(rate))
    loop.add(spring)
    loop.add(wall)
    print("The wall: the plane x = %.1f mm, %.0f mm ahead of the start" % (wall_x * 1000, WALL_DISTANCE * 1000))
    print("The spring: its centre goes around a circle of %.0f mm, once every %.1f s" % (
        CIRCLE_RADIUS * 1000, CIRCLE_SECONDS))
    print("Running the servo loop at %g Hz for %g s" % (rate, seconds))

    with ExitStack() as recording:
        if record:
            recording.enter_context(loop.record(record))
            print("Recording every tick to %s" % record)
        render(loop, spring, start, seconds, realtime, wall_x)
    if loop.error is not None:
        raise Failure("the loop stopped: %s" % loop.error)
    summarize(loop, wall_x)


def render(loop: api.ServoLoop, spring: api.Spring, start: Sequence[float], seconds: float, realtime: bool,
           wall_x: float) -> None:
    """Runs the loop for `seconds`, moving the spring's centre and showing the status."""
    with loop:
        began = time.monotonic()
        if realtime:
            print("  real time: %s" % loop.stats()["realtime_note"])
        status = StatusLine()
        while loop.running and time.monotonic() - began < seconds:
            time.sleep(MOVE_INTERVAL)
            spring.center = centre(start, time.monotonic() - began)  # shows from the next tick
            if status.due():
                status.show(loop, wall_x)
        status.finish()


def summarize(loop: api.ServoLoop, wall_x: float) -> None:
    stats = loop.stats()
    # Rows of history() are numpy records or tuples: fields by position work for both.
    history: Any = loop.history()
    in_wall = [row for row in history if row[2][0] > wall_x]

    def timing(values: Mapping[str, float]) -> str:
        return "p50 %.0f us, p99 %.0f us, p99.9 %.0f us, max %.0f us" % (
            values["p50"], values["p99"], values["p99.9"], values["max"])

    print("Summary")
    print("  ticks             %d, %d missed, %d failed exchanges, %d forces clamped" % (
        stats["cycles"], stats["missed"], stats["failures"], stats["clamped"]))
    print("  real time         %s" % ("yes" if stats["realtime"] else "no") +
          (" (%s)" % stats["realtime_note"] if stats["realtime_note"] else ""))
    print("  period jitter     " + timing(stats["period_jitter_us"]))
    print("  lateness          " + timing(stats["lateness_us"]))
    print("  round trip        " + timing(stats["round_trip_us"]))
    if in_wall:
        deepest = max(row[2][0] - wall_x for row in in_wall)
        strongest = max(-row[4][0] for row in in_wall)
        print("  wall              touched for %d ticks, at most %.1f mm deep, pushing back with up to %.1f N" % (
            len(in_wall), deepest * 1000, strongest))
    else:
        print("  wall              not touched")
    print("The same scene in a Python loop: examples/haptic_demo.py")


def parse_arguments(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description="Renders a virtual wall and a spring on a Morvek3 arm with the "
                                     "library's servo loop. An arm whose port is not named is simulated.")
    parser.add_argument("--seconds", type=float, default=3.0, help="how long the loop runs (default 3)")
    parser.add_argument("--rate", type=float, default=1000.0, help="ticks per second (default 1000)")
    parser.add_argument("--realtime", action="store_true",
                        help="ask for SCHED_FIFO and locked memory (the loop runs without where not permitted)")
    parser.add_argument("--port", metavar="PATH", help="the serial port of a real arm")
    parser.add_argument("--record", metavar="FILE",
                        help="record every tick to this MCAP file (needs the module's 'record' extra)")
    arguments = parser.parse_args(argv)
    if not arguments.seconds > 0:
        parser.error("--seconds must be above 0")
    if not 1 <= arguments.rate <= 10000:
        parser.error("--rate must be between 1 and 10000")
    return arguments


def main(argv: Optional[Sequence[str]] = None) -> int:
    arguments = parse_arguments(argv)
    try:
        with ExitStack() as simulators:
            path = arguments.port or simulators.enter_context(simulator.running("arm"))
            run(wake_arm(path), arguments.seconds, arguments.rate, arguments.realtime, arguments.record)
    except (Failure, api.DeviceError, simulator.SimulatorError, ImportError) as error:
        print("servo_demo: %s" % error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
