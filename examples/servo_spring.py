#!/usr/bin/env python3
"""A spring holding a Morvek3's end effector where it started, rendered by the library's
servo loop at 1 kHz: the quickstart of ServoLoop.

    python examples/servo_spring.py PORT [SECONDS]     for example /dev/ttyACM0, or the
                                                       port `tavix-sim arm` prints

Python only sets up the loop and reads its snapshots; the exchanges run in a native
thread on a fixed grid of deadlines. Compare examples/spring.py, the same spring in a
Python loop. Exit status: 0 after the loop, 1 when the port cannot be opened or the
loop stopped on a failure.
"""

import sys
import time

import TavixHardwareAPI as api

STIFFNESS = 200.0  # N/m
DAMPING = 2.0  # N s/m


def hold_still(port_path: str, seconds: float) -> int:
    # A reply normally takes well under a millisecond, but the first one after the device
    # idled can take several on a loaded machine: 50 ms holds, and a silent arm is still
    # given up on quickly.
    with api.Port(port_path, timeout=0.05) as port:
        arm = api.Morvek3(port)
        home, _ = arm.end_effector_force([0.0, 0.0, 0.0])
        loop = api.ServoLoop(arm, rate_hz=1000.0, max_force=5.0)
        loop.add(api.Spring(home, STIFFNESS, damping=DAMPING))
        with loop:  # starts the loop; stops it (with a last zero force) on leaving
            time.sleep(seconds)
            state = loop.state()
        if loop.error is not None:
            print("servo_spring: the loop stopped: %s" % loop.error, file=sys.stderr)
            return 1
    stats = loop.stats()
    if state is not None:
        print("position %s m, force %s N" % (["%.4f" % p for p in state.position], ["%.3f" % f for f in state.force]))
    print("%d ticks, %d missed, %d failed exchanges; period jitter p99 %.0f us" % (
        stats["cycles"], stats["missed"], stats["failures"], stats["period_jitter_us"]["p99"]))
    return 0


def main() -> int:
    if len(sys.argv) not in (2, 3):
        print("usage: servo_spring.py PORT [SECONDS]", file=sys.stderr)
        return 2
    try:
        return hold_still(sys.argv[1], float(sys.argv[2]) if len(sys.argv) == 3 else 1.0)
    except api.PortError as error:
        print("servo_spring: %s" % error, file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
