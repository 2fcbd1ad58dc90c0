#!/usr/bin/env python3
"""Bilateral teleoperation of two Morvek3 arms through Eclipse Zenoh, on one machine.

    python examples/teleoperation.py                 two simulated arms, 4 s
    python examples/teleoperation.py --seconds 10

Two tavix-bridge processes each drive one simulated arm (tavix-sim) and publish it on
tcp/127.0.0.1, with --allow-commands. This process is the controller, a Zenoh peer of
both that listens nowhere: every 5 ms it reads both arms' states (RemoteArm) and sends
each its effects, acknowledged (set_effects returns once the bridge applied them).

- The follower gets a spring pulling it to the leader's position, and a wall: the
  plane x = start + 20 mm, its environment.
- The leader gets a spring pulling it to the follower's position, so it feels the
  follower's contact with the wall, and a constant force standing for the operator's
  hand, pushing towards the wall and back, reversing every second.

At the end it prints the tracking error (leader to follower), the force the leader felt
while the follower was in the wall, and the one-way latency of the states. Across
machines the bridges listen on the machines' addresses and the controller connects to
both (docs/remote.md). Needs the `remote` extra: pip install 'TavixHardwareAPI[remote]'.
"""

import argparse
import math
import socket
import sys
import time
from contextlib import ExitStack
from typing import Iterator, List, Optional, Sequence

from tavix import bridge_process, simulator

try:
    from tavix import encoding
    from tavix.remote import RemoteArm
except ImportError as error:
    print("teleoperation: %s" % error, file=sys.stderr)
    sys.exit(1)

LEADER = "7a5e5130-0000-4000-8000-00000000f001"
FOLLOWER = "7a5e5130-0000-4000-8000-00000000f002"
CONTROL_PERIOD = 0.005  # s between two rounds of effects
COMMAND_TIMEOUT = "0.1"  # s: the bridges' watchdog
COUPLING_STIFFNESS = 300.0  # N/m, both ways
COUPLING_DAMPING = 0.5  # N s/m: within the damping the simulated arm has of its own
# The simulated arm's joints give its end effector about 2 N s/m of damping, which bounds
# the stiffness its bridge accepts: (2 - damping) / 1.5 ms at 1 kHz, 1333 N/m for the wall
# and 1000 N/m for the coupling.
DEVICE_DAMPING = "2"  # N s/m
WALL_DISTANCE = 0.020  # m ahead of the follower's start along x
WALL_STIFFNESS = 1200.0  # N/m
HAND_FORCE = 1.5  # N along x
HAND_PERIOD = 2.0  # s: towards the wall for half of it, back for the other half


class Failure(Exception):
    """A state stopped coming."""


def free_endpoint() -> str:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port: int = probe.getsockname()[1]
        return "tcp/127.0.0.1:%d" % port


def percentile(values: Sequence[float], fraction: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))] if ordered else float("nan")


def control(leader: RemoteArm, follower: RemoteArm, seconds: float) -> None:
    """Couples the two arms for `seconds` and prints what happened."""
    start = follower.wait_state(timeout=5.0).position
    leader.wait_state(timeout=5.0)
    wall_x = start[0] + WALL_DISTANCE
    wall = encoding.wall([wall_x, start[1], start[2]], [-1.0, 0.0, 0.0], WALL_STIFFNESS)
    errors: List[float] = []  # mm, follower out of the wall
    felt: List[float] = []  # N along -x on the leader from the coupling, follower in the wall
    began = time.monotonic()
    deadline = began
    while time.monotonic() - began < seconds:
        lead, follow = leader.state(), follower.state()
        if lead is None or follow is None:
            raise Failure("lost a state")
        seconds_in = time.monotonic() - began
        hand = HAND_FORCE if math.sin(2 * math.pi * seconds_in / HAND_PERIOD) >= 0 else -HAND_FORCE
        follower.set_effects(encoding.spring(lead.position, COUPLING_STIFFNESS, COUPLING_DAMPING), wall)
        leader.set_effects(encoding.spring(follow.position, COUPLING_STIFFNESS, COUPLING_DAMPING),
                           encoding.constant([hand, 0.0, 0.0]))
        if seconds_in > 0.3:  # past the loops' ramp and the first pull
            if follow.position[0] > wall_x - 0.001 and lead.position[0] > follow.position[0]:
                felt.append(COUPLING_STIFFNESS * (lead.position[0] - follow.position[0]))
            elif follow.position[0] < wall_x - 0.002:
                errors.append(1000 * math.dist(lead.position, follow.position))
        deadline += CONTROL_PERIOD
        time.sleep(max(0.0, deadline - time.monotonic()))
    leader.set_effects()
    follower.set_effects()

    print("Tracking error, follower out of the wall: median %.2f mm, p99 %.2f mm (%d samples)" % (
        percentile(errors, 0.5), percentile(errors, 0.99), len(errors)))
    if felt:
        print("Felt at the leader, follower in the wall: median %.2f N, max %.2f N (%d samples)" % (
            percentile(felt, 0.5), max(felt), len(felt)))
    else:
        print("The follower did not reach the wall")
    for name, arm in (("leader", leader), ("follower", follower)):
        latency = arm.latency()
        print("State latency from the %s's bridge: p50 %.0f us, p99 %.0f us" % (name, latency["p50"], latency["p99"]))


def bridged_arm(stack: ExitStack, uuid: str, endpoint: str) -> None:
    """A simulated arm, and a bridge that publishes it on `endpoint` and takes its effects."""
    path: str = stack.enter_context(simulator.running("arm", "--uuid", uuid))
    stack.enter_context(bridge_process.running("--arm-port", path, "--listen", endpoint, "--allow-commands",
                                               "--command-timeout", COMMAND_TIMEOUT,
                                               "--device-damping", DEVICE_DAMPING))


def parse_arguments(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description="Bilateral teleoperation of two simulated arms through Zenoh.")
    parser.add_argument("--seconds", type=float, default=4.0, help="how long the arms are coupled (default 4)")
    arguments = parser.parse_args(argv)
    if not arguments.seconds > 0:
        parser.error("--seconds must be above 0")
    return arguments


def sessions(stack: ExitStack, endpoints: Sequence[str]) -> Iterator[RemoteArm]:
    for uuid in (LEADER, FOLLOWER):
        yield stack.enter_context(RemoteArm(uuid, connect=endpoints))


def main(argv: Optional[Sequence[str]] = None) -> int:
    arguments = parse_arguments(argv)
    try:
        with ExitStack() as stack:
            endpoints = [free_endpoint(), free_endpoint()]
            for uuid, endpoint in zip((LEADER, FOLLOWER), endpoints):
                bridged_arm(stack, uuid, endpoint)
            print("Leader %s on %s, follower %s on %s" % (LEADER, endpoints[0], FOLLOWER, endpoints[1]))
            leader, follower = sessions(stack, endpoints)
            control(leader, follower, arguments.seconds)
    except (Failure, TimeoutError, LookupError, ConnectionError, PermissionError, simulator.SimulatorError,
            bridge_process.BridgeError) as error:
        print("teleoperation: %s" % error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
