#!/usr/bin/env python3
"""The bridge's figures: one-way state latency through Zenoh against an in-process hand-off,
and how many arms at 1 kHz one bridge carries on this machine.

    python bench/bench_bridge.py                    latency 5 s; arms 1, 2, 4, 8
    python bench/bench_bridge.py --seconds 10 --arms 1 2 4 8 12

Run with a Python that has the module and the remote extra. Everything is simulated
(tavix-sim) and stays on tcp/127.0.0.1 with multicast scouting off.

- Latency: time.time_ns() at the bridge's publisher, before the put, to the client's
  subscriber callback in another process (RemoteArm.latency()); the in-process figure
  is the same state encoded and handed to another thread of one process through a
  queue.Queue, which is what a program that runs its loop itself pays.
- Arms: one bridge with N simulated arms, each at 1 kHz servo and 1 kHz publication;
  an N is carried when every arm's states arrive at 95 % of the rate or more and its
  loop misses under 1 % of its ticks.
"""

import argparse
import os
import queue
import select
import signal
import socket
import subprocess
import sys
import threading
import time
from contextlib import ExitStack
from typing import Any, Dict, List

from tavix import encoding, simulator
from tavix.remote import RemoteArm


def free_endpoint() -> str:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return "tcp/127.0.0.1:%d" % probe.getsockname()[1]


def uuid_of(index: int) -> str:
    return "7a5e5130-0000-4000-8000-%012x" % (0xbe00 + index)


def start_bridge(stack: ExitStack, count: int, endpoint: str) -> None:
    ports = []
    for index in range(count):
        ports += ["--arm-port", stack.enter_context(simulator.running("arm", "--uuid", uuid_of(index)))]
    process = subprocess.Popen([sys.executable, "-m", "tavix.bridge", *ports, "--listen", endpoint],
                               stdout=subprocess.PIPE)

    def stop() -> None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    stack.callback(stop)
    fd = process.stdout.fileno()
    output = b""
    deadline = time.monotonic() + 30
    while b"ready\n" not in output:
        if time.monotonic() > deadline or not select.select([fd], [], [], 1.0)[0] and process.poll() is not None:
            raise RuntimeError("the bridge did not start: %r" % output)
        if select.select([fd], [], [], 0.5)[0]:
            output += os.read(fd, 4096)


def percentiles(values: List[float]) -> Dict[str, float]:
    ordered = sorted(values)
    return {"p50": ordered[len(ordered) // 2], "p99": ordered[int(0.99 * len(ordered))]}


def in_process(seconds: float) -> Dict[str, float]:
    """A state encoded at 1 kHz and handed to another thread through a queue."""
    handoff: "queue.Queue[bytes]" = queue.Queue()
    latencies: List[float] = []

    def consume() -> None:
        while True:
            data = handoff.get()
            if not data:
                return
            latencies.append((time.time_ns() - encoding.decode_state(data).sent_ns) / 1000.0)
    consumer = threading.Thread(target=consume)
    consumer.start()
    deadline = time.monotonic()
    end = deadline + seconds
    cycle = 0
    while deadline < end:
        handoff.put(encoding.encode_state(cycle, 0.0, [0.0] * 3, [0.0] * 3, [0.0] * 3, True, time.time_ns()))
        cycle += 1
        deadline += 0.001
        time.sleep(max(0.0, deadline - time.monotonic()))
    handoff.put(b"")
    consumer.join()
    return percentiles(latencies)


def through_zenoh(seconds: float) -> Dict[str, Any]:
    with ExitStack() as stack:
        endpoint = free_endpoint()
        start_bridge(stack, 1, endpoint)
        with RemoteArm(uuid_of(0), connect=[endpoint]) as arm:
            arm.wait_state(timeout=10.0)
            time.sleep(seconds)
            return arm.latency()


def carried(count: int, seconds: float) -> Dict[str, Any]:
    with ExitStack() as stack:
        endpoint = free_endpoint()
        start_bridge(stack, count, endpoint)
        arms = [stack.enter_context(RemoteArm(uuid_of(index), connect=[endpoint])) for index in range(count)]
        for arm in arms:
            arm.wait_state(timeout=10.0)
        time.sleep(0.5)
        before = [(arm.received, arm.info()["loop"]) for arm in arms]
        began = time.monotonic()
        time.sleep(seconds)
        elapsed = time.monotonic() - began
        rates, missed = [], []
        for arm, (received, loop) in zip(arms, before):
            now = arm.info()["loop"]
            rates.append((arm.received - received) / elapsed)
            ticks = (now["cycles"] - loop["cycles"]) + (now["missed"] - loop["missed"])
            missed.append((now["missed"] - loop["missed"]) / max(1, ticks))
        p99 = max(arm.latency()["p99"] for arm in arms)
    return {"arms": count, "min_rate_hz": min(rates), "max_missed": max(missed), "worst_p99_us": p99,
            "ok": min(rates) >= 950 and max(missed) < 0.01}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--arms", type=int, nargs="+", default=[1, 2, 4, 8])
    arguments = parser.parse_args()
    local = in_process(arguments.seconds)
    print("In-process hand-off:  p50 %7.0f us  p99 %7.0f us" % (local["p50"], local["p99"]))
    remote = through_zenoh(arguments.seconds)
    print("Through Zenoh (tcp):  p50 %7.0f us  p99 %7.0f us  (%d samples)" % (
        remote["p50"], remote["p99"], remote["count"]))
    best = 0
    for count in arguments.arms:
        result = carried(count, min(arguments.seconds, 3.0))
        print("%2d arms: slowest state stream %6.0f Hz, worst missed ticks %5.2f %%, worst p99 %6.0f us  %s" % (
            count, result["min_rate_hz"], 100 * result["max_missed"], result["worst_p99_us"],
            "carried" if result["ok"] else "not carried"))
        if result["ok"]:
            best = count
    print("One bridge carries %d arm(s) at 1 kHz on this machine (%d CPUs)" % (best, os.cpu_count() or 0))
    return 0


if __name__ == "__main__":
    sys.exit(main())
