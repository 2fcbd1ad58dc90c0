#!/usr/bin/env python3
"""A Morvek3 arm renders a virtual wall and a spring in a 1 kHz haptic loop.

This loop is written in Python, for comparison: the library's servo loop runs it in a
native thread on a fixed grid of deadlines, with Python only setting the scene and
reading its state; examples/servo_demo.py renders the same scene that way (it is what
tools/demo.sh runs).

    python examples/haptic_demo.py                   simulated arm and handle, 3 s
    python examples/haptic_demo.py --seconds 10
    python examples/haptic_demo.py --port /dev/ttyACM0 --handle-port /dev/ttyUSB0
    python examples/haptic_demo.py --detect          use the first arm and handle found

Run it with a Python that has the module, such as build/venv/demo/bin/python, which
tools/demo.sh makes (or any environment where `pip install .` was run).

What it does, in order:
  1. wakes the arm and prints what it says about itself;
  2. runs the haptic loop: once every millisecond it sends a force and gets back the
     end effector's position and velocity, from which it works out the next force;
  3. asks the handle for one status message;
  4. prints how well the loop kept time.

A device whose port is not named (--port, --handle-port, --detect) is played by
tavix-sim, the simulator that comes with the module; the demo starts and stops it.
Exit status: 0 on success, 1 when a device does not answer, a port fails or the
simulator is missing.

The devices' ports are opened as `Port`s, on which a failed exchange raises instead of
returning zeros that look like a position: the loop counts a reply that does not come
(or a wrong one) and sends no force on the next tick, and a port that fails ends it.
"""

import argparse
import math
import os
import sys
import time
from contextlib import ExitStack
from typing import List, Optional, Sequence, Tuple, Union

import TavixHardwareAPI as api

from tavix import simulator

ARM_MODEL_NUMBER = 4  # what a Morvek3 reports as its model in the wake-up reply

# The loop's clock: one exchange per tick, ticks on a fixed grid from the start.
PERIOD_NS = 1_000_000  # 1 ms: 1 kHz
# How long to wait for a reply: the first, the wake-up's, may take a while after the
# port opens; in the loop a reply that has not come after REPLY_TIMEOUT is given up on.
WAKE_TIMEOUT = 5.0  # s
REPLY_TIMEOUT = 0.05  # s

# The scene, in the arm's coordinates (metres, newtons), placed relative to where the
# end effector is when the loop starts, so that it suits any arm in any pose.
#
# The wall is the plane x = start x + WALL_DISTANCE; the free side is x below it. Past
# the plane a stiff spring pushes back, with some damping to settle the contact.
WALL_DISTANCE = 0.050  # m
WALL_STIFFNESS = 600.0  # N/m: 1 mm inside the wall gives 0.6 N
WALL_DAMPING = 5.0  # N s/m, only inside the wall
# A softer spring pulls the end effector towards a centre point. On its own a simulated
# arm would then rest where it is, so the centre travels slowly around a circle that
# starts at the end effector and reaches 30 mm beyond the wall: the arm follows it and,
# for part of each lap, lies pressed against the wall and slides along it. A hand on a
# real arm feels a gentle pull around the circle and a hard surface on one side.
SPRING_STIFFNESS = 100.0  # N/m: 10 mm from the centre gives 1 N
CIRCLE_RADIUS = 0.040  # m
CIRCLE_SECONDS = 2.0  # one lap
# Whatever the scene asks for, no more than this is sent to the arm.
MAX_FORCE = 5.0  # N

STATUS_INTERVAL_TTY = 0.1  # s between updates of the status line on a terminal
STATUS_INTERVAL_PLAIN = 0.5  # s between status lines otherwise (a log file, a pipe)

Vector = List[float]


class Failure(Exception):
    """A device did not answer, or its port failed: the demo stops with this message."""


# --- the scene ---------------------------------------------------------------------


class Scene:
    """The virtual wall and the spring, and the force they put on the end effector."""

    def __init__(self, start: Sequence[float]) -> None:
        self.start = list(start)
        self.wall_x = start[0] + WALL_DISTANCE

    def centre(self, seconds: float) -> Vector:
        """Where the spring pulls to, `seconds` after the start: a point on a circle in
        the x-y plane, starting at the start position and moving towards the wall."""
        angle = 2 * math.pi * seconds / CIRCLE_SECONDS
        return [self.start[0] + CIRCLE_RADIUS * (1 - math.cos(angle)),
                self.start[1] + CIRCLE_RADIUS * math.sin(angle),
                self.start[2]]

    def depth(self, position: Sequence[float]) -> float:
        """How far the end effector is inside the wall (m); 0 on the free side."""
        return max(0.0, position[0] - self.wall_x)

    def wall_push(self, position: Sequence[float], velocity: Sequence[float]) -> float:
        """The wall's force along x (N): 0 on the free side, negative inside. A wall can
        only push, so the damping may soften the push but never turn it into a pull."""
        depth = self.depth(position)
        if depth == 0:
            return 0.0
        return min(0.0, -WALL_STIFFNESS * depth - WALL_DAMPING * velocity[0])

    def force(self, position: Sequence[float], velocity: Sequence[float], seconds: float) -> Vector:
        """The force to send: the spring's and the wall's, capped at MAX_FORCE."""
        force = [SPRING_STIFFNESS * (c - p) for c, p in zip(self.centre(seconds), position)]
        force[0] += self.wall_push(position, velocity)
        return limited(force, MAX_FORCE)


def limited(force: Vector, largest: float) -> Vector:
    """`force` scaled down, keeping its direction, if it is stronger than `largest`."""
    size = math.sqrt(sum(f * f for f in force))
    if size <= largest:
        return force
    return [f * largest / size for f in force]


# --- timing records ----------------------------------------------------------------


def percentile(sorted_values: Sequence[int], percent: float) -> int:
    """The nearest-rank percentile of values sorted in increasing order."""
    rank = max(1, math.ceil(percent / 100 * len(sorted_values)))
    return sorted_values[rank - 1]


class LoopRecord:
    """What the loop measured: round trips (ns), missed deadlines and wall contact."""

    def __init__(self) -> None:
        self.round_trips: List[int] = []
        self.missed_deadlines = 0
        self.failed_exchanges = 0  # no reply in time, or a wrong one
        self.ticks_in_wall = 0
        self.deepest = 0.0  # m
        self.strongest_push = 0.0  # N
        self.seconds = 0.0


class StatusLine:
    """The live status: on a terminal one line rewritten in place with "\\r", elsewhere
    a plain line now and then; under a two-line heading, in 80 columns. Each covers the
    ticks since the one before, showing the rate, the round trips' median and 99th
    percentile, the last position and force, and "wall" while the arm is in the wall.

    Times are tick times: a window from tick a to tick b holds the exchanges of the
    ticks a to b - 1, so the rate is exact, below 1000 Hz only when ticks were dropped."""

    HEADING = ("%7s%16s%24s%24s" % ("", "round trip (us)", "position (mm)", "force (N)") + "\n" +
               "%7s%8s%8s%10s%7s%7s%10s%7s%7s" % ("rate", "p50", "p99", "x", "y", "z", "x", "y", "z"))
    ROW = "%4.0f Hz%8d%8d%10.1f%7.1f%7.1f%10.2f%7.2f%7.2f  %s"

    def __init__(self, first_tick: int) -> None:
        self.on_terminal = sys.stdout.isatty()
        self.interval_ns = int(1e9 * (STATUS_INTERVAL_TTY if self.on_terminal else STATUS_INTERVAL_PLAIN))
        self.window_start = first_tick
        self.window_start_index = 0
        print(self.HEADING, flush=True)

    def due(self, tick: int) -> bool:
        return tick - self.window_start >= self.interval_ns

    def show(self, tick: int, record: LoopRecord, position: Sequence[float], force: Sequence[float],
             in_wall: bool) -> None:
        trips = sorted(record.round_trips[self.window_start_index:])
        rate = len(trips) / ((tick - self.window_start) / 1e9)
        text = self.ROW % (rate, percentile(trips, 50) // 1000, percentile(trips, 99) // 1000,
                           *[p * 1000 for p in position], *force, "wall" if in_wall else "    ")
        if self.on_terminal:
            print("\r" + text, end="", flush=True)
        else:
            print(text.rstrip(), flush=True)
        self.window_start = tick
        self.window_start_index = len(record.round_trips)

    def finish(self) -> None:
        if self.on_terminal:
            print()


def vector_text(values: Sequence[float], scale: float, number_format: str) -> str:
    return "(" + " ".join(number_format % (value * scale) for value in values) + ")"


# --- the haptic loop ---------------------------------------------------------------


def run_haptic_loop(arm: api.Morvek3, seconds: float) -> LoopRecord:
    """Renders the scene for `seconds`, one exchange per 1 ms tick.

    Each exchange sends the force worked out from the state the previous exchange
    returned. The ticks are start + n x 1 ms, not "1 ms after the last one", so small
    delays do not add up and the rate does not drift. A tick whose exchange finishes
    after the next tick began has missed its deadline; the next exchange then starts at
    once, and ticks that passed entirely are dropped rather than made up in a burst.

    An exchange that fails gives no state: the next force is then zero, as there is
    nothing to work it out from."""
    position, velocity = arm.end_effector_force([0.0, 0.0, 0.0])
    scene = Scene(position)
    middle = [scene.start[0] + CIRCLE_RADIUS, scene.start[1], scene.start[2]]
    print("The wall: the plane x = %.1f mm, %.0f mm ahead of the start" % (
        scene.wall_x * 1000, WALL_DISTANCE * 1000))
    print("The spring: its centre goes around %s mm, %.0f mm away, once every %.1f s" % (
        vector_text(middle, 1000, "%.1f"), CIRCLE_RADIUS * 1000, CIRCLE_SECONDS))
    print("Running the haptic loop at %d Hz for %g s" % (1_000_000_000 // PERIOD_NS, seconds))

    record = LoopRecord()
    force = [0.0, 0.0, 0.0]
    start = time.monotonic_ns()
    status = StatusLine(start)
    end = start + int(seconds * 1e9)
    next_tick = start
    while next_tick < end:
        sleep_until(next_tick)
        sent = time.monotonic_ns()
        try:
            position, velocity = arm.end_effector_force(force)
            answered = True
        except (api.DeviceTimeoutError, api.ProtocolError):
            answered = False
        received = time.monotonic_ns()
        record.round_trips.append(received - sent)

        if answered:
            force = scene.force(position, velocity, (received - start) / 1e9)
        else:
            record.failed_exchanges += 1
            force = [0.0, 0.0, 0.0]
        depth = scene.depth(position)
        if answered and depth > 0:
            record.ticks_in_wall += 1
            record.deepest = max(record.deepest, depth)
            record.strongest_push = max(record.strongest_push, -scene.wall_push(position, velocity))

        next_tick += PERIOD_NS
        now = time.monotonic_ns()
        if now > next_tick:
            record.missed_deadlines += 1
            next_tick += (now - next_tick) // PERIOD_NS * PERIOD_NS
        if status.due(next_tick):
            status.show(next_tick, record, position, force, depth > 0)
    record.seconds = (next_tick - start) / 1e9  # the ticks the loop ran for
    status.finish()
    arm.end_effector_force([0.0, 0.0, 0.0])  # leave the arm without force
    return record


def sleep_until(deadline_ns: int) -> None:
    left = deadline_ns - time.monotonic_ns()
    if left > 0:
        time.sleep(left / 1e9)


# --- the devices -------------------------------------------------------------------


def wake_arm(port: str) -> api.Morvek3:
    """Opens the arm's port, wakes the arm and prints its identity."""
    check_port_exists(port, "arm")
    arm_port = api.Port(port, timeout=WAKE_TIMEOUT)  # PortError if it cannot be opened
    arm = api.Morvek3(arm_port)  # keeps the port open as long as the arm lives
    print("Waking the arm on %s" % port)
    try:
        info = arm.device_wakeup_dict()
        identifier, firmware = arm.get_device_id(), arm.get_firmware_version()
    except api.DeviceError as error:
        raise Failure("no arm answered on %s (is it powered on?): %s" % (port, error))
    if info["device_model_number"] != ARM_MODEL_NUMBER:
        raise Failure("the device on %s is model %d, not a Morvek3 arm (model %d)"
                      % (port, info["device_model_number"], ARM_MODEL_NUMBER))
    print("  device id %d, model %d, hardware version %d, firmware version %d" % (
        info["device_id"], info["device_model_number"], info["hardware_version"], info["firmware_version"]))
    print("  identifier       %s" % identifier)
    print("  firmware version %s" % firmware)
    arm_port.timeout = REPLY_TIMEOUT
    return arm


class StatusHandle(api.Handle):
    """A handle that keeps the status message handed to its callback."""

    def __init__(self, stream: api.SerialStream) -> None:
        super().__init__(stream)
        self.status: Optional[Tuple[int, List[float], int, int, List[int]]] = None

    # The library calls this with the quaternion and the user data as lists (the type
    # also allows the single values of a direct call from Python).
    def OnReceiveHandleStatusMessage(self, device_id: int, quaternion: Union[float, List[float]],
                                     error_flag: int, hall_effect_sensor_level: int,
                                     user_data_length: int, user_data: Union[int, List[int]]) -> None:
        quaternion_list = quaternion if isinstance(quaternion, list) else [quaternion]
        user_data_list = user_data if isinstance(user_data, list) else [user_data]
        self.status = (device_id, quaternion_list, error_flag, hall_effect_sensor_level, user_data_list)


def show_handle_status(port: str) -> None:
    """Asks the handle on `port` for its status and prints what its callback received."""
    check_port_exists(port, "handle")
    handle = StatusHandle(api.Port(port, timeout=WAKE_TIMEOUT))
    print("Asking the handle on %s for its status" % port)
    handle.RequestStatus()
    # Receive reads one reply and calls the callback for it; on a Port it raises when
    # no reply comes in time.
    try:
        handle.Receive()
    except api.DeviceError as error:
        raise Failure("no handle answered on %s: %s" % (port, error))
    if handle.status is None:
        raise Failure("the handle on %s did not answer with its status" % port)
    device_id, quaternion, error_flag, hall_level, user_data = handle.status
    print("  handle %d: orientation (x y z w) %s, hall-effect level %d, error flag %d, user data %r"
          % (device_id, vector_text(quaternion, 1, "%.3f"), hall_level, error_flag, bytes(user_data)))


def check_port_exists(port: str, device: str) -> None:
    if not os.path.exists(port):
        raise Failure("the %s port %s does not exist" % (device, port))


# --- putting it together -----------------------------------------------------------


def print_summary(record: LoopRecord) -> None:
    trips = sorted(record.round_trips)
    print("Summary")
    print("  exchanges         %d in %.2f s: %.1f per second" % (
        len(trips), record.seconds, len(trips) / record.seconds))
    print("  round trip        p50 %d us, p99 %d us, max %d us" % (
        percentile(trips, 50) // 1000, percentile(trips, 99) // 1000, trips[-1] // 1000))
    print("  missed deadlines  %d" % record.missed_deadlines)
    print("  failed exchanges  %d" % record.failed_exchanges)
    if record.ticks_in_wall:
        print("  wall              touched for %.2f s, at most %.1f mm deep, pushing back with up to %.1f N"
              % (record.ticks_in_wall * PERIOD_NS / 1e9, record.deepest * 1000, record.strongest_push))
    else:
        print("  wall              not touched")


def parse_arguments(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description="Renders a virtual wall and a spring on a Morvek3 arm "
                                     "at 1 kHz. Devices whose port is not named are simulated.")
    parser.add_argument("--seconds", type=float, default=3.0,
                        help="how long the haptic loop runs (default 3)")
    parser.add_argument("--port", metavar="PATH", help="the serial port of a real arm")
    parser.add_argument("--handle-port", metavar="PATH", help="the serial port of a real handle")
    parser.add_argument("--detect", action="store_true",
                        help="find the arm and the handle with the module's detection (a silent "
                        "port takes seconds to rule out)")
    arguments = parser.parse_args(argv)
    if arguments.detect and (arguments.port or arguments.handle_port):
        parser.error("--detect finds the ports itself: give either --detect or --port/--handle-port")
    if not arguments.seconds > 0:
        parser.error("--seconds must be above 0")
    return arguments


def detect_ports() -> Tuple[str, Optional[str]]:
    """The first arm and the first handle detection finds; the handle may be missing."""
    print("Looking for devices (each port that does not answer takes a few seconds)")
    arms = api.detect_morvek3s()
    if not arms:
        raise Failure("no arm found: detect_morvek3s() probed the /dev/ttyACM* ports and none answered")
    handles = api.detect_handles()
    if not handles:
        print("  no handle found: the handle's status is skipped")
    return arms[0], handles[0] if handles else None


def main(argv: Optional[Sequence[str]] = None) -> int:
    arguments = parse_arguments(argv)
    try:
        with ExitStack() as simulators:
            if arguments.detect:
                arm_port, handle_port = detect_ports()
            else:
                # Each device not named is played by a simulator, stopped on leaving.
                arm_port = arguments.port or simulators.enter_context(simulator.running("arm"))
                handle_port = arguments.handle_port or simulators.enter_context(simulator.running("handle"))

            arm = wake_arm(arm_port)
            record = run_haptic_loop(arm, arguments.seconds)
            if handle_port is not None:
                show_handle_status(handle_port)
            print_summary(record)
    except (Failure, api.DeviceError, simulator.SimulatorError) as error:
        print("haptic_demo: %s" % error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
