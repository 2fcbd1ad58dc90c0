"""The Python module's exchanges against tavix-sim: the latency of end_effector_force
and joint_torques, timed side by side with the same C++ exchanges, and how the rate
scales with 1, 2 and 4 arms, each driven by a thread of its own.

    python bench/bench_python.py <results-directory> <path of libbench_cpp_turns.so>

The C++ exchanges come from bench/CppTurns.cpp, loaded with ctypes and timed in C++;
Python and C++ take turns of a few exchanges, so a change of the machine's load
touches both alike, and swap simulators halfway. Writes its results beside the C++ benchmarks' (one JSON object a
line in results.jsonl, latencies in <case>.samples), where bench/report.py reads them.
The simulator is found as the examples find it (tavix.simulator).
"""

import contextlib
import ctypes
import json
import sys
import threading
import time
from pathlib import Path

import TavixHardwareAPI as api
from tavix.simulator import running as running_simulator

WARM_UP = 500
EXCHANGES = 10000  # per case
PER_TURN = 20  # exchanges a case makes before the next case takes its turn
SCALING_SECONDS = 3.0  # each arm count is driven this long
ARM_COUNTS = (1, 2, 4)
ZERO = [0.0, 0.0, 0.0]


class Results:
    """Appends records and samples to the results directory."""

    def __init__(self, directory: str):
        self.directory = Path(directory)

    def record(self, name: str, **figures: float) -> None:
        with open(self.directory / "results.jsonl", "a") as results:
            results.write(json.dumps({"case": name, **figures}) + "\n")
        print("  " + name, flush=True)

    def record_run(self, name: str, run: "Run") -> None:
        self.record(name, exchanges=len(run.latencies_us), wall_s=run.wall_s, cpu_s=run.cpu_s)
        with open(self.directory / (name + ".samples"), "w") as samples:
            samples.writelines("%.3f\n" % latency for latency in run.latencies_us)


class Run:
    """Latencies (microseconds), wall and thread CPU seconds of turns of exchanges."""

    def __init__(self):
        self.latencies_us = []
        self.wall_s = 0.0
        self.cpu_s = 0.0

    def take_turn(self, turn, count: int) -> None:
        """turn(count) makes count exchanges and gives their latencies."""
        cpu_start, start = time.thread_time(), time.perf_counter()
        latencies = turn(count)
        self.wall_s += time.perf_counter() - start
        self.cpu_s += time.thread_time() - cpu_start
        self.latencies_us.extend(latencies)


def python_turn(exchange):
    def turn(count: int) -> list:
        clock = time.perf_counter_ns
        latencies = [0] * count
        for i in range(count):
            before = clock()
            exchange()
            latencies[i] = clock() - before
        return [latency / 1000.0 for latency in latencies]
    return turn


class CppArm:
    """An arm driven by the C++ library through bench/CppTurns.cpp."""

    def __init__(self, library: ctypes.CDLL, port: str):
        self.library = library
        self.handle = library.tavix_bench_open_arm(port.encode())
        if not self.handle:
            raise RuntimeError("the C++ library cannot open " + port)

    def turn(self, joints: bool):
        def turn(count: int) -> list:
            latencies = (ctypes.c_double * count)()
            self.library.tavix_bench_exchanges(self.handle, int(joints), count, latencies)
            return list(latencies)
        return turn

    def close(self) -> None:
        self.library.tavix_bench_close_arm(self.handle)


def load_cpp_turns(path: str) -> ctypes.CDLL:
    library = ctypes.CDLL(path)
    library.tavix_bench_open_arm.restype = ctypes.c_void_p
    library.tavix_bench_open_arm.argtypes = [ctypes.c_char_p]
    library.tavix_bench_close_arm.argtypes = [ctypes.c_void_p]
    library.tavix_bench_exchanges.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int,
                                              ctypes.POINTER(ctypes.c_double)]
    return library


def measure_side_by_side(turns: dict, runs: dict, count: int) -> None:
    """Warms up each case, then lets them take turns, as the C++ benchmarks do, adding
    `count` exchanges to each case's run."""
    for turn in turns.values():
        turn(WARM_UP)
    for _ in range(count // PER_TURN):
        for name, turn in turns.items():
            runs[name].take_turn(turn, PER_TURN)


def measure_latency(results: Results, cpp_turns: ctypes.CDLL) -> None:
    """Python and C++ each drive an arm of their own, and swap arms halfway, so that
    neither gains from where the scheduler happened to put one simulator."""
    names = ["python.end_effector_force", "python.joint_torques",
             "python.cpp_end_effector_force", "python.cpp_joint_torques"]
    runs = {name: Run() for name in names}
    with running_simulator("arm") as first, running_simulator("arm") as second:
        for python_port, cpp_port in ((first, second), (second, first)):
            arm = api.Morvek3(api.SerialStream(python_port))
            cpp_arm = CppArm(cpp_turns, cpp_port)
            measure_side_by_side(dict(zip(names, [
                python_turn(lambda: arm.end_effector_force(ZERO)),
                python_turn(lambda: arm.joint_torques(ZERO)),
                cpp_arm.turn(joints=False),
                cpp_arm.turn(joints=True),
            ])), runs, EXCHANGES // 2)
            cpp_arm.close()
            del arm  # closes its port, for the C++ side to open in the second half
    for name, run in runs.items():
        results.record_run(name, run)


def drive(arm, start: threading.Barrier, rates: list, index: int) -> None:
    """One arm's control loop: end_effector_force as fast as the arm answers, for
    SCALING_SECONDS from the moment every thread is ready."""
    start.wait()
    began = time.monotonic()
    count = 0
    while time.monotonic() - began < SCALING_SECONDS:
        arm.end_effector_force(ZERO)
        count += 1
    rates[index] = count / (time.monotonic() - began)


def measure_scaling(results: Results, arm_count: int) -> None:
    with contextlib.ExitStack() as simulators:
        ports = [simulators.enter_context(running_simulator("arm")) for _ in range(arm_count)]
        arms = [api.Morvek3(api.SerialStream(port)) for port in ports]
        for arm in arms:
            for _ in range(WARM_UP):
                arm.end_effector_force(ZERO)
        rates = [0.0] * arm_count
        start = threading.Barrier(arm_count)
        threads = [threading.Thread(target=drive, args=(arm, start, rates, i)) for i, arm in enumerate(arms)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    results.record("python.scaling.%d" % arm_count, arms=arm_count, seconds=SCALING_SECONDS,
                   aggregate_hz=sum(rates), slowest_arm_hz=min(rates), fastest_arm_hz=max(rates))


def main() -> int:
    if len(sys.argv) != 3:
        print("usage: bench_python.py <results-directory> <path of libbench_cpp_turns.so>", file=sys.stderr)
        return 2
    results = Results(sys.argv[1])
    measure_latency(results, load_cpp_turns(sys.argv[2]))
    for arm_count in ARM_COUNTS:
        measure_scaling(results, arm_count)
    return 0


if __name__ == "__main__":
    sys.exit(main())
