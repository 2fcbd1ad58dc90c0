#!/usr/bin/env python3
"""A Morvek3 arm touches a scene of shapes: a box with friction, a sphere, and a pyramid
made of triangles in code, rendered through a proxy by the library's servo loop.

    python examples/shapes.py                     simulated arm, 4 s at 1 kHz
    python examples/shapes.py --seconds 8
    python examples/shapes.py --port /dev/ttyACM0

A spring pulls the end effector along a line over the three shapes, dipping onto each in
turn; the scene holds it on their surfaces, the box's friction dragging on it. Python
only moves the spring and reads snapshots: the scene is computed in C++ in the loop's
tick. The program prints each contact as it begins (which shape, where, the force) and a
summary of the contact with each shape. An arm whose port is not named is played by
tavix-sim. Exit status: 0 on success, 1 when the arm does not answer or the loop fails.
"""

import argparse
import math
import sys
import time
from contextlib import ExitStack
from typing import Dict, List, Optional, Sequence

import TavixHardwareAPI as api

from tavix import simulator

SPACING = 0.040  # m between the shapes along x
BELOW = 0.020  # m from the start down to the shapes' tops
DIP = 0.008  # m: how far below the tops the spring's centre dips
SPRING_STIFFNESS = 150.0  # N/m
MAX_FORCE = 5.0  # N
POLL_INTERVAL = 0.005  # s between looks at the proxy


def pyramid(apex: Sequence[float], half_width: float, height: float) -> api.Mesh:
    """A square pyramid standing on its base, its top at `apex`, made of six triangles
    (counter-clockwise seen from outside)."""
    x, y, z = apex
    base = z - height
    vertices = [[x, y, z], [x - half_width, y - half_width, base], [x + half_width, y - half_width, base],
                [x + half_width, y + half_width, base], [x - half_width, y + half_width, base]]
    triangles = [[0, 1, 2], [0, 2, 3], [0, 3, 4], [0, 4, 1], [1, 4, 3], [1, 3, 2]]
    return api.Mesh(vertices, triangles, api.Material(stiffness=600.0, damping=0.5))


def build_scene(start: Sequence[float]) -> Dict[str, api.Shape]:
    """The three shapes, named, placed ahead of `start` along x with their tops BELOW it."""
    x, y, z = start
    top = z - BELOW
    return {
        "box": api.Box([x + SPACING, y, top - 0.010], [0.012, 0.030, 0.010],
                       material=api.Material(stiffness=600.0, damping=0.5, static_friction=0.6,
                                             dynamic_friction=0.4)),
        "sphere": api.Sphere([x + 2 * SPACING, y, top - 0.015], 0.015,
                             material=api.Material(stiffness=500.0, damping=0.5)),
        "pyramid": pyramid([x + 3 * SPACING, y, top], 0.015, 0.020),
    }


def spring_centre(start: Sequence[float], progress: float) -> List[float]:
    """Where the spring pulls, `progress` (0 to 1) along the way: along x past the three
    shapes, dipping below their tops over each."""
    along = 3.5 * SPACING * progress
    over_shapes = 0.5 * SPACING < along < 3.5 * SPACING
    dip = (BELOW + DIP) * math.cos(math.pi * along / SPACING) ** 2 if over_shapes else 0.0
    return [start[0] + along, start[1], start[2] - dip]


def name_of(shapes: Dict[str, api.Shape], shape: Optional[api.Shape]) -> str:
    return next((name for name, candidate in shapes.items() if candidate is shape), "?")


def run(arm: api.Morvek3, seconds: float) -> int:
    start, _ = arm.end_effector_force([0.0, 0.0, 0.0])
    shapes = build_scene(start)
    scene = api.Scene(list(shapes.values()))
    spring = api.Spring(start, SPRING_STIFFNESS, damping=1.0)
    loop = api.ServoLoop(arm, rate_hz=1000.0, max_force=MAX_FORCE)
    loop.add(spring)
    loop.add(scene)
    seen: Dict[str, int] = {name: 0 for name in shapes}  # looks that found the proxy on each shape
    strongest: Dict[str, float] = {name: 0.0 for name in shapes}  # N
    touching = None
    print("A box with friction, a sphere and a pyramid, %.0f mm apart; rendering for %g s" % (
        SPACING * 1000, seconds))
    with loop:
        began = time.monotonic()
        while loop.running and time.monotonic() - began < seconds:
            time.sleep(POLL_INTERVAL)
            spring.center = spring_centre(start, (time.monotonic() - began) / seconds)
            proxy, state = scene.proxy(), loop.state()
            now = proxy.shape if proxy.in_contact else None
            if now is not None and state is not None:
                seen[name_of(shapes, now)] += 1
                strongest[name_of(shapes, now)] = max(strongest[name_of(shapes, now)],
                                                      math.sqrt(sum(f * f for f in state.force)))
            if now is not touching and now is not None and state is not None:
                print("%5.2f s  touching the %-7s at %s mm, normal %s, force %s N" % (
                    time.monotonic() - began, name_of(shapes, now),
                    ["%.1f" % (1000 * (p - s)) for p, s in zip(proxy.position, start)],
                    ["%.2f" % n for n in proxy.normal], ["%.2f" % f for f in state.force]))
            touching = now
    if loop.error is not None:
        print("shapes: the loop stopped: %s" % loop.error, file=sys.stderr)
        return 1
    for name in shapes:
        print("  %-7s in contact for about %.2f s, pushing back with up to %.2f N" % (
            name, seen[name] * POLL_INTERVAL, strongest[name]))
    return 0


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(description="A Morvek3 arm touches a box, a sphere and a mesh, rendered "
                                     "through a proxy by the servo loop. An arm whose port is not named is "
                                     "simulated.")
    parser.add_argument("--seconds", type=float, default=4.0, help="how long the loop runs (default 4)")
    parser.add_argument("--port", metavar="PATH", help="the serial port of a real arm")
    arguments = parser.parse_args(argv)
    if not arguments.seconds > 0:
        parser.error("--seconds must be above 0")
    with ExitStack() as stack:
        path = arguments.port or stack.enter_context(simulator.running("arm"))
        try:
            port = stack.enter_context(api.Port(path, timeout=0.05))
            arm = api.Morvek3(port)
            arm.device_wakeup_dict()
        except (api.PortError, api.DeviceError) as error:
            print("shapes: no arm on %s: %s" % (path, error), file=sys.stderr)
            return 1
        return run(arm, arguments.seconds)


if __name__ == "__main__":
    sys.exit(main())
