"""Writes bench/RESULTS.md and bench/latency.png from what the benchmarks of
tools/bench.sh left in their results directory.

    python bench/report.py <results-directory> <output-directory>

Percentiles are nearest-rank over all measured exchanges of a case. The targets are
checked here, and only here: the unit tests hold no speed targets.
"""

import datetime
import os
import json
import math
import platform
import subprocess
import sys
from pathlib import Path
from typing import Callable

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

from targets import TARGETS  # noqa: E402

# What was learnt tuning the wait strategy: written by hand, copied into RESULTS.md.
TUNING_NOTES = Path(__file__).resolve().parent / "TUNING.md"

# The cases of the latency table, in the order shown, with how they are described.
LATENCY_CASES = [
    ("raw.simulator", "raw write/poll/read, tavix-sim"),
    ("raw.bare_pty", "raw write/poll/read, bare pty responder"),
    ("poll.raw", "raw baseline (beside the library)"),
    ("poll.end_effector_force", "C++ `EndEffectorForce`, library's wait"),
    ("poll.joint_torques", "C++ `JointTorques`, library's wait"),
    ("poll.get_temperature", "C++ `GetTemperature`, library's wait"),
    ("spinning.raw", "raw baseline (beside the spinning library)"),
    ("spinning.end_effector_force", "C++ `EndEffectorForce`, spinning wait"),
    ("spinning.joint_torques", "C++ `JointTorques`, spinning wait"),
    ("spinning.get_temperature", "C++ `GetTemperature`, spinning wait"),
    ("python.end_effector_force", "Python `end_effector_force`"),
    ("python.joint_torques", "Python `joint_torques`"),
    ("python.cpp_end_effector_force", "C++ `EndEffectorForce`, beside the Python calls"),
    ("python.cpp_joint_torques", "C++ `JointTorques`, beside the Python calls"),
]
# Replies in two parts 1 ms apart: each library case with the raw client beside it.
SPLIT_CASES = [
    ("poll", "the library's wait (epoll while part of the reply is queued)"),
    ("spinning", "spinning wait"),
]
WAIT_CASES = [
    ("poll.delayed_reply", "library's wait, device answers after 1 ms (`EndEffectorForce`)"),
    ("spinning.delayed_reply", "spinning wait, device answers after 1 ms (`EndEffectorForce`)"),
    ("poll.silent_wait", "library's wait, silent device, one `ReadHeaderCode` (5 s time-out)"),
    ("spinning.silent_wait", "spinning wait, silent device, one `ReadHeaderCode` (5 s time-out)"),
]
HISTOGRAM_CASES = [
    ("poll.raw", "raw write/poll/read"),
    ("poll.end_effector_force", "C++ EndEffectorForce (library's wait)"),
    ("spinning.end_effector_force", "C++ EndEffectorForce (spinning wait)"),
    ("python.end_effector_force", "Python end_effector_force"),
]


def percentile(ordered: list, fraction: float) -> float:
    """The smallest sample that `fraction` of all samples do not exceed."""
    rank = math.ceil(fraction * len(ordered) - 1e-9)
    return ordered[min(max(rank, 1), len(ordered)) - 1]


def load(results: Path) -> dict:
    """Every case by name: its record, and for runs its percentiles and rates."""
    cases = {}
    for line in (results / "results.jsonl").read_text().splitlines():
        record = json.loads(line)
        cases[record["case"]] = record
        samples = results / (record["case"] + ".samples")
        if samples.is_file():
            record.update(summarize(record, sorted(float(value) for value in samples.read_text().split())))
    return cases


def summarize(record: dict, ordered: list) -> dict:
    count = len(ordered)
    return {
        "samples": ordered,
        "p50_us": percentile(ordered, 0.50),
        "p99_us": percentile(ordered, 0.99),
        "p999_us": percentile(ordered, 0.999),
        "mean_us": sum(ordered) / count,
        "rate_hz": count / record["wall_s"],
        "cpu_us": record["cpu_s"] * 1e6 / count,
        "core_share": record["cpu_s"] / record["wall_s"],
        "allocations_each": record.get("allocations", 0) / count,
    }


def machine(results: Path) -> list:
    cpu = next((line.split(":", 1)[1].strip() for line in Path("/proc/cpuinfo").read_text().splitlines()
                if line.startswith("model name")), platform.processor())
    compiler = subprocess.run(["c++", "--version"], capture_output=True, text=True).stdout.splitlines()
    return [
        ("CPU", cpu),
        ("Cores", str(len(os.sched_getaffinity(0)))),
        ("Kernel", platform.release()),
        ("Compiler", compiler[0] if compiler else "?"),
        ("Python", platform.python_version()),
        ("Load average before / after", "%s / %s" % (load_average(results / "load-before"),
                                                    load_average(results / "load-after"))),
    ]


def load_average(uptime_file: Path) -> str:
    text = uptime_file.read_text() if uptime_file.is_file() else ""
    return text.split("load average:")[-1].strip() if "load average:" in text else "?"


def table(header: list, rows: list) -> list:
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(str(cell) for cell in row) + " |" for row in rows]
    return lines + [""]


def measured_rows(named_cases: list, cases: dict, cells: Callable[[dict], list]) -> list:
    """A row for each of `named_cases` (name, description) that was measured, in their
    order: the description, then the `cells` of its figures."""
    return [[description] + cells(cases[name]) for name, description in named_cases if name in cases]


def latency_rows(cases: dict) -> list:
    return measured_rows(LATENCY_CASES, cases, lambda c: [
        c["exchanges"], "%.1f" % c["p50_us"], "%.1f" % c["p99_us"], "%.1f" % c["p999_us"], "%.1f" % c["mean_us"],
        "%.0f" % c["rate_hz"], "%.1f" % c["cpu_us"], "%.2f" % c["allocations_each"]])


def wait_rows(cases: dict) -> list:
    return measured_rows(WAIT_CASES, cases, lambda c: [
        "%.3f" % c["wall_s"], "%.4f" % c["cpu_s"], "%.1f %%" % (100 * c["core_share"]),
        "%.0f" % c["p50_us"] if c["exchanges"] > 1 else "—"])


def split_rows(cases: dict) -> list:
    rows = []
    for wait, description in SPLIT_CASES:
        library, raw = cases.get(wait + ".split_reply"), cases.get(wait + ".split_raw")
        if not library or not raw:
            continue
        rows.append([description, "%.0f" % library["p50_us"], "%.0f" % library["p99_us"], "%.0f" % raw["p50_us"],
                     "%+.0f" % (library["p50_us"] - raw["p50_us"]), "%+.0f" % (library["p99_us"] - raw["p99_us"]),
                     "%.1f %%" % (100 * library["core_share"])])
    return rows


def scaling_rows(cases: dict) -> list:
    rows = []
    for name in sorted(name for name in cases if name.startswith("python.scaling.")):
        c = cases[name]
        rows.append([int(c["arms"]), "%.0f" % c["aggregate_hz"], "%.0f" % c["slowest_arm_hz"],
                     "%.0f" % c["fastest_arm_hz"]])
    return rows


def target_rows(cases: dict) -> list:
    rows = []
    for target in TARGETS:
        value = target.measure(cases)
        met = target.met(value)
        rows.append([target.name, target.show(value), target.limit_text, target.ratio(value),
                     "**met**" if met else "**not met**", target.limits])
    return rows


def simulator_lines(cases: dict) -> list:
    sim, bare = cases.get("raw.simulator"), cases.get("raw.bare_pty")
    if not sim or not bare:
        return []
    added = sim["p50_us"] - bare["p50_us"]
    share = added / sim["p50_us"]
    verdict = ("so the simulator is not what bounds these figures: the pseudo-terminal and the "
               "scheduler are" if share < 0.1 else
               "about %d %% of a round trip through it. Every round trip measured above, raw client, "
               "C++ and Python alike, goes through the same simulator, so the ratios to the raw "
               "client hold; the absolute rates would be that much higher with a faster device "
               "side" % round(100 * share))
    return [
        "The raw client timed the same exchange, side by side, against tavix-sim and against "
        "a bare responder (a child process that answers each 13-byte request with a 25-byte "
        "reply using only poll/read/write). tavix-sim uses %.1f us of CPU per request against "
        "the bare responder's %.1f us, and its round trips take **%+.1f us at p50** and %+.1f us "
        "at p99 (p50 %.1f us against %.1f us): %s." % (
            sim.get("peer_cpu_us", float("nan")), bare.get("peer_cpu_us", float("nan")), added,
            sim["p99_us"] - bare["p99_us"], sim["p50_us"], bare["p50_us"], verdict),
        "",
    ]


def plot(cases: dict, path: Path) -> None:
    shown = [(name, label) for name, label in HISTOGRAM_CASES if name in cases]
    # Log-spaced bins from 10 us to 10 ms show the peaks and the tails at once.
    bins = [10 * 1000 ** (i / 150) for i in range(151)]
    figure, axes = plt.subplots(figsize=(9, 5))
    for name, label in shown:
        c = cases[name]
        values = [min(max(value, bins[0]), bins[-1]) for value in c["samples"]]
        axes.hist(values, bins=bins, weights=[1.0 / len(values)] * len(values), histtype="step", linewidth=1.3,
                  label="%s: p50 %.1f, p99 %.1f us" % (label, c["p50_us"], c["p99_us"]))
    axes.set_xscale("log")
    axes.set_yscale("log")
    axes.set_xlabel("round trip (us)")
    axes.set_ylabel("share of exchanges")
    axes.set_title("End-effector force round trips against tavix-sim")
    axes.legend(fontsize=8)
    figure.tight_layout()
    figure.savefig(path, dpi=110)


def markdown(cases: dict, results: Path) -> str:
    when = datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z")
    lines = [
        "# Benchmark results",
        "",
        "Written by `tools/bench.sh` on %s. To run again: `tools/bench.sh` (it builds in "
        "Release into build/bench, runs every benchmark against tavix-sim over "
        "pseudo-terminals and rewrites this file and `latency.png`; a few minutes)." % when,
        "Microseconds (us) throughout. Latencies are nearest-rank percentiles over every "
        "measured exchange after a warm-up. Cases measured together ran side by side, taking "
        "turns of 20 exchanges, so a change of the machine's load touched them alike: the raw "
        "client and the C++ library on one simulator port; the Python calls and the same C++ "
        "exchanges (loaded into the Python process) on two simulators; each wait's split "
        "replies with the raw client on one responder.",
        "",
        "## Machine",
        "",
    ]
    lines += table(["", ""], machine(results))
    lines += ["## Targets", ""]
    lines += table(["Target", "Figure", "Target value", "Figure / target", "", "What limits it"],
                   target_rows(cases))
    lines += ["## Round trips", "", "![latency histogram](latency.png)", ""]
    lines += table(["Case", "Exchanges", "p50", "p99", "p99.9", "Mean", "Exchanges/s",
                    "CPU us/exchange", "Allocations/exchange"], latency_rows(cases))
    lines += ["## Waiting threads", ""]
    lines += table(["Case", "Wall s", "CPU s", "Share of a core", "p50 round trip"], wait_rows(cases))
    lines += ["## Replies in two parts", "",
              "A bare responder sends the header and half the payload, then the rest 1 ms later "
              "(a USB frame), as a device that writes its reply in two pieces may deliver it. "
              "The raw client reads each part as it comes; the library's payload wait finds part of "
              "the payload queued, where poll(2) cannot wait for more.", ""]
    lines += table(["Wait", "p50", "p99", "Raw p50", "Later than raw, p50", "Later than raw, p99",
                    "Share of a core"], split_rows(cases))
    lines += ["## Scaling: arms driven from Python threads (`end_effector_force` in a loop)", ""]
    lines += table(["Arms", "Aggregate /s", "Slowest arm /s", "Fastest arm /s"], scaling_rows(cases))
    lines += ["## The simulator's own reply time", ""] + simulator_lines(cases)
    lines += ["## The wait strategy", ""] + TUNING_NOTES.read_text().splitlines()
    return "\n".join(lines) + "\n"


def main() -> int:
    if len(sys.argv) != 3:
        print("usage: report.py <results-directory> <output-directory>", file=sys.stderr)
        return 2
    results, output = Path(sys.argv[1]), Path(sys.argv[2])
    cases = load(results)
    plot(cases, output / "latency.png")
    (output / "RESULTS.md").write_text(markdown(cases, results))
    for row in target_rows(cases):
        print("  %-50s %-22s %s" % (row[0], row[1], row[4].strip("*")))
    return 0


if __name__ == "__main__":
    sys.exit(main())
