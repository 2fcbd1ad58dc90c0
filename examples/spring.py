#!/usr/bin/env python3
"""A spring holding a Morvek3's end effector where it started: the README's quickstart.

    python examples/spring.py PORT          for example /dev/ttyACM0, or the port
                                            `tavix-sim arm` prints

On a Port every failed exchange raises, so a dropped reply can never be taken for a
position: a time-out or a wrong reply sends no force on the next exchange, and a port
that fails (the arm unplugged, say) ends the program. Exit status: 0 after the loop, 1
when the port cannot be opened or fails.
"""

import sys
from typing import List

import TavixHardwareAPI as api

STIFFNESS = 200.0  # N/m
EXCHANGES = 1000
NO_FORCE = [0.0, 0.0, 0.0]


def hold_still(port_path: str) -> int:
    """Runs the spring for EXCHANGES exchanges; returns how many replies were missed."""
    missed = 0
    # A reply normally takes well under a millisecond: waiting 20 ms is plenty.
    with api.Port(port_path, timeout=0.02) as port:
        arm = api.Morvek3(port)
        print(arm.device_wakeup_dict())
        home, _ = arm.end_effector_force(NO_FORCE)
        force: List[float] = NO_FORCE
        for _ in range(EXCHANGES):
            try:
                position, velocity = arm.end_effector_force(force)
            except (api.DeviceTimeoutError, api.ProtocolError):
                missed += 1
                force = NO_FORCE  # no position came: push nothing rather than guess
                continue
            force = [STIFFNESS * (h - p) for h, p in zip(home, position)]
        arm.end_effector_force(NO_FORCE)  # leave the arm without force
    return missed


def main() -> int:
    if len(sys.argv) != 2:
        print("usage: spring.py PORT", file=sys.stderr)
        return 2
    try:
        missed = hold_still(sys.argv[1])
    except api.PortError as error:  # an OSError: errno and filename are set
        print("spring: %s" % error, file=sys.stderr)
        return 1
    print("%d exchanges, %d replies missed" % (EXCHANGES, missed))
    return 0


if __name__ == "__main__":
    sys.exit(main())
