#!/usr/bin/env python3
"""A soak of tavix-bridge: one bridge, two simulated arms, two clients, for minutes.

    python bench/soak_bridge.py                     10 minutes
    python bench/soak_bridge.py --minutes 2 --sample-every 10

Run with a Python that has the module and the remote extra. Everything is simulated
(tavix-sim) and stays on tcp/127.0.0.1 with multicast scouting off.

- The first client floods the first arm with acknowledged commands (set_effects), each
  sent as soon as the previous one's reply came, alternating a constant force alone and
  a constant force with a damper, so the bridge both updates its effects in place and
  replaces them. Every command is counted: sent, answered (applied, or refused with the
  bridge's reason) and unanswered (TimeoutError) or failed otherwise.
- The second client streams effects to the second arm (stream_effects) at 1 kHz,
  unacknowledged, as a controller's loop would.
- Every --sample-every seconds it prints the bridge process's resident memory (VmRSS,
  from /proc/<pid>/status) and the counts so far.

At the end it prints the memory's first, last and largest values, the counts, and the
bridge's own counters for both arms. The exit status is 0 when every acknowledged
command was answered and applied, 1 otherwise.
"""

import argparse
import socket
import sys
import threading
import time
from collections import Counter
from contextlib import ExitStack
from typing import Any, Dict, List, Optional, Sequence

from tavix import bridge_process, encoding, simulator
from tavix.remote import RemoteArm

FLOODED = "7a5e5130-0000-4000-8000-00000000500a"
STREAMED = "7a5e5130-0000-4000-8000-00000000500b"
STREAM_PERIOD = 0.001  # s between two streamed messages
FORCE = 0.5  # N: small, the simulated arms drift slowly


def free_endpoint() -> str:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port: int = probe.getsockname()[1]
        return "tcp/127.0.0.1:%d" % port


def resident_kib(pid: int) -> int:
    """The process's resident memory in KiB (VmRSS in /proc/<pid>/status)."""
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS for process %d" % pid)


class Flood:
    """Acknowledged commands, back to back, on a thread of their own."""

    def __init__(self, arm: RemoteArm, stop: threading.Event) -> None:
        self.arm = arm
        self.stop = stop
        self.sent = 0
        self.applied = 0
        self.refused = 0  # answered, not applied
        self.unanswered = 0
        self.errors: "Counter[str]" = Counter()  # every exception, by type
        self.thread = threading.Thread(target=self._run, name="soak-flood")

    def answered(self) -> int:
        return self.applied + self.refused

    def _run(self) -> None:
        alone = [encoding.constant([FORCE, 0.0, 0.0])]
        damped = [encoding.constant([-FORCE, 0.0, 0.0]), encoding.damper(1.0)]
        while not self.stop.is_set():
            effects = alone if self.sent % 2 == 0 else damped
            self.sent += 1
            try:
                self.arm.set_effects(*effects)
                self.applied += 1
            except TimeoutError as error:
                self.unanswered += 1
                self.errors[type(error).__name__] += 1
            except (PermissionError, ValueError, ConnectionError) as error:  # the bridge answered no
                self.refused += 1
                self.errors[type(error).__name__] += 1
        self.arm.set_effects()


class Stream:
    """Streamed effects at 1 kHz on absolute deadlines, on a thread of their own."""

    def __init__(self, arm: RemoteArm, stop: threading.Event) -> None:
        self.arm = arm
        self.stop = stop
        self.streamed = 0
        self.errors: "Counter[str]" = Counter()
        self.thread = threading.Thread(target=self._run, name="soak-stream")

    def _run(self) -> None:
        deadline = time.monotonic()
        while not self.stop.is_set():
            sign = 1.0 if (self.streamed // 1000) % 2 == 0 else -1.0  # reverses every second
            try:
                self.arm.stream_effects(encoding.constant([sign * FORCE, 0.0, 0.0]))
                self.streamed += 1
            except (TimeoutError, PermissionError, ValueError, ConnectionError) as error:
                self.errors[type(error).__name__] += 1
            deadline += STREAM_PERIOD
            delay = deadline - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            elif delay < -0.1:
                deadline = time.monotonic()
        self.arm.set_effects()


def megabytes(kib: int) -> str:
    return "%.1f MiB" % (kib / 1024)


def soak(minutes: float, sample_every: float) -> int:
    with ExitStack() as stack:
        endpoint = free_endpoint()
        ports: List[str] = []
        for uuid in (FLOODED, STREAMED):
            ports += ["--arm-port", stack.enter_context(simulator.running("arm", "--uuid", uuid))]
        bridge = stack.enter_context(bridge_process.launched(*ports, "--listen", endpoint, "--allow-commands"))
        pid = bridge.process.pid
        flooded = stack.enter_context(RemoteArm(FLOODED, connect=[endpoint]))
        streamed = stack.enter_context(RemoteArm(STREAMED, connect=[endpoint]))
        stop = threading.Event()
        flood, stream = Flood(flooded, stop), Stream(streamed, stop)
        samples: List[int] = [resident_kib(pid)]
        print("Bridge %d on %s, %g minutes; RSS at start %s" % (pid, endpoint, minutes, megabytes(samples[0])),
              flush=True)
        began = time.monotonic()
        flood.thread.start()
        stream.thread.start()
        try:
            end = began + 60.0 * minutes
            while time.monotonic() < end:
                time.sleep(max(0.0, min(sample_every, end - time.monotonic())))
                samples.append(resident_kib(pid))
                print("%6.0f s  RSS %s  acknowledged: %d sent, %d answered, %d unanswered  streamed: %d" % (
                    time.monotonic() - began, megabytes(samples[-1]), flood.sent, flood.answered(),
                    flood.unanswered, stream.streamed), flush=True)
        finally:
            stop.set()
            flood.thread.join()
            stream.thread.join()
        elapsed = time.monotonic() - began
        infos = [flooded.info(), streamed.info()]
        if bridge.process.poll() is not None:
            print("The bridge ended during the soak, with status %d" % bridge.process.returncode)
            return 1
    report(elapsed, samples, flood, stream, infos)
    return 0 if flood.applied == flood.sent and not flood.errors else 1


def report(elapsed: float, samples: Sequence[int], flood: Flood, stream: Stream,
           infos: Sequence[Dict[str, Any]]) -> None:
    print()
    print("Soak of %.0f s" % elapsed)
    print("Bridge RSS: first %s, last %s, largest %s (%+.1f MiB first to last)" % (
        megabytes(samples[0]), megabytes(samples[-1]), megabytes(max(samples)), (samples[-1] - samples[0]) / 1024))
    print("Acknowledged commands: %d sent, %d answered (%d applied, %d refused), %d unanswered, %.0f a second; "
          "errors: %s" % (flood.sent, flood.answered(), flood.applied, flood.refused, flood.unanswered,
                          flood.sent / elapsed, dict(flood.errors) or "none"))
    print("Streamed messages: %d, %.0f a second; errors: %s" % (
        stream.streamed, stream.streamed / elapsed, dict(stream.errors) or "none"))
    for name, info in zip(("flooded", "streamed"), infos):
        counters, loop = info["counters"], info["loop"]
        print("Bridge, %s arm: %d commands, %d refused, %d malformed, %d expired, %d published; loop: %d cycles, "
              "%d missed, %d failures" % (name, counters["commands"], counters["refused"], counters["malformed"],
                                          counters["expired"], counters["published"], loop["cycles"],
                                          loop["missed"], loop["failures"]))


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--minutes", type=float, default=10.0, help="how long the soak lasts (default 10)")
    parser.add_argument("--sample-every", type=float, default=30.0,
                        help="seconds between two readings of the bridge's memory (default 30)")
    arguments = parser.parse_args(argv)
    if not (arguments.minutes > 0 and arguments.sample_every > 0):
        parser.error("--minutes and --sample-every must be above 0")
    return soak(arguments.minutes, arguments.sample_every)


if __name__ == "__main__":
    sys.exit(main())
