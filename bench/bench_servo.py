"""The servo loop seen from Python, and the "Servo loop" section of bench/RESULTS.md.

    python bench/bench_servo.py <results-directory> [<RESULTS.md>]

Against tavix-sim (found as the examples find it, tavix.simulator), with a ServoLoop
running at 1 kHz: what state() costs, what setting an effect's parameter costs (and
stats() and history(), for reference); and, for comparison, the same kind of loop
written in Python (sleep to each deadline, end_effector_force, a spring worked out in
Python) at 1 kHz for 10 s. Writes servo_python.json into the results directory.

With a RESULTS.md path, it then writes the section "## Servo loop" there from
servo.json (written by bench_servo, the C++ benchmark, run first) and its own figures,
replacing the section if the file has one and appending it otherwise.
"""

import datetime
import json
import math
import os
import platform
import sys
import time
import timeit
from pathlib import Path

import TavixHardwareAPI as api
from tavix.simulator import running as running_simulator

CALLS = 100000  # per timing of a cheap call
REPEATS = 5  # timings of each; the best is kept
PYTHON_LOOP_SECONDS = 10.0
PERIOD_NS = 1_000_000
REPLY_TIMEOUT = 0.05
SECTION = "## Servo loop"


def best_us(statement, number=CALLS):
    """The best of REPEATS timings of `statement`, in microseconds per call."""
    return min(timeit.repeat(statement, number=number, repeat=REPEATS)) / number * 1e6


def percentiles(values):
    if not values:
        return {"p50": 0.0, "p99": 0.0, "p99.9": 0.0, "max": 0.0}
    ordered = sorted(values)

    def rank(fraction):
        return ordered[max(1, math.ceil(fraction * len(ordered))) - 1]

    return {"p50": rank(0.5), "p99": rank(0.99), "p99.9": rank(0.999), "max": ordered[-1]}


def measure_calls(port_path):
    """The cost of the snapshot reads and parameter writes, while a loop runs at 1 kHz."""
    with api.Port(port_path, timeout=REPLY_TIMEOUT) as port:
        arm = api.Morvek3(port)
        home, _ = arm.end_effector_force([0.0, 0.0, 0.0])
        spring = api.Spring(home, 50.0)
        loop = api.ServoLoop(arm)
        loop.add(spring)
        with loop:
            time.sleep(0.2)
            figures = {
                "state": best_us(loop.state),
                "state_position": best_us(lambda: loop.state().position),
                "set_stiffness": best_us(lambda: setattr(spring, "stiffness", 50.0)),
                "set_center": best_us(lambda: setattr(spring, "center", home)),
                "stats": best_us(loop.stats, number=2000),
            }
            time.sleep(max(0.0, 10.5 - loop.state().time))  # a full history: 10 s at 1 kHz
            figures["history"] = best_us(loop.history, number=20)
            figures["history_rows"] = len(loop.history())
            figures["ticks_meanwhile"] = loop.stats()["cycles"]
            figures["missed_meanwhile"] = loop.stats()["missed"]
    return figures


def python_loop(port_path, seconds):
    """A 1 kHz loop written in Python, as examples/haptic_demo.py does it: sleep to each
    absolute deadline, exchange, work out the next force. Returns its timings."""
    with api.Port(port_path, timeout=REPLY_TIMEOUT) as port:
        arm = api.Morvek3(port)
        home, _ = arm.end_effector_force([0.0, 0.0, 0.0])
        force = [0.0, 0.0, 0.0]
        start = time.monotonic_ns()
        deadline, cycle, missed, failures, previous = start, 0, 0, 0, None
        jitter, lateness, round_trips = [], [], []
        end = start + int(seconds * 1e9)
        while deadline < end:
            left = deadline - time.monotonic_ns()
            if left > 0:
                time.sleep(left / 1e9)
            begin = time.monotonic_ns()
            lateness.append((begin - deadline) / 1000)
            if previous is not None and previous[1] == cycle - 1:
                jitter.append(abs(begin - previous[0] - PERIOD_NS) / 1000)
            previous = (begin, cycle)
            try:
                position, velocity = arm.end_effector_force(force)
                force = [50.0 * (h - p) - v for h, p, v in zip(home, position, velocity)]
            except (api.DeviceTimeoutError, api.ProtocolError):
                failures += 1
                force = [0.0, 0.0, 0.0]
            round_trips.append((time.monotonic_ns() - begin) / 1000)
            cycle += 1
            deadline += PERIOD_NS
            now = time.monotonic_ns()
            if now >= deadline + PERIOD_NS:
                passed = (now - deadline) // PERIOD_NS
                missed += passed
                cycle += passed
                deadline += passed * PERIOD_NS
        arm.end_effector_force([0.0, 0.0, 0.0])
    return {"ticks": len(lateness), "missed": missed, "failures": failures, "period_jitter_us": percentiles(jitter),
            "lateness_us": percentiles(lateness), "round_trip_us": percentiles(round_trips)}


# --- the RESULTS.md section ----------------------------------------------------------

# The library against the minimal loop in the same run, on any machine: missed ticks at
# most MISSED_RATIO times the minimal loop's plus one per 10 000 slots; lateness and
# round trip p99.9 at most TIMING_RATIO times the minimal loop's.
MISSED_RATIO = 1.1
MISSED_ALLOWANCE = 1e-4
TIMING_RATIO = 1.15
# On this machine, with every option: (run, largest share of missed slots in %, the
# run's length the target asks for in s, or None).
BEST_TARGETS = [("every option, 1 kHz, real time, idle", 0.0, 60.0),
                ("every option, 1 kHz, real time, CPU hog", 0.05, None),
                ("every option, 4 kHz, real time, idle", 0.1, None),
                ("every option, 4 kHz, real time, CPU hog", 0.1, None)]
ALL = ("p50", "p99", "p99.9", "max")
ROUND_TRIP = ("p50", "p99", "p99.9")


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(str(cell) for cell in row) + " |" for row in rows]
    return lines + [""]


def us(value):
    return "%.0f" % value


def spread(d, fields=ALL):
    return " / ".join(us(d[field]) for field in fields) if d["count"] else "—"


def slots(loop):
    return loop["ticks"] + loop["missed"]


def missed_share(loop):
    return 100.0 * loop["missed"] / max(1, slots(loop))


def missed(loop):
    return "%d (%.3f %%)" % (loop["missed"], missed_share(loop))


def cpu(loop):
    return "%.1f %%" % (100.0 * loop["cpu_share"])


def verdict(met):
    return "**met**" if met else "**not met**"


def contender(scenario, kind):
    return next(c for c in scenario["contenders"] if c["kind"] == kind)


def named(scenarios, name):
    return next((s for s in scenarios if s["name"] == name), None)


def side_by_side(scenarios):
    """The runs in which the library and the minimal loop took turns."""
    return [s for s in scenarios if s["group"] in ("floor", "best")]


def options_of(loop):
    options = []
    if loop["spin_us"]:
        options.append("spin_us %g" % loop["spin_us"])
    if loop["spin_reply"]:
        options.append("spin_reply")
    if loop["cpu"] >= 0:
        options.append("cpu %d" % loop["cpu"])
    if loop["simulator_realtime_asked"]:
        options.append("simulator --realtime")
    if loop["timer_slack"] != "1 ns":
        options.append("timer slack %s" % loop["timer_slack"])
    return options


def real_time(scenario, loop):
    if not scenario["realtime"]:
        return "—"
    granted = "yes" if loop["realtime_granted"] else "no"
    if loop["kind"] == "sleeper":
        return granted
    return "%s / %s" % (granted, "yes" if loop["simulator_realtime"] else "no")


def floor_lines(scenarios):
    lines = []
    for s in side_by_side(scenarios):
        options = options_of(s["contenders"][0])
        lines += ["**%s**: %g s each, in %d rounds%s." % (
            s["name"], s["seconds"], s["rounds"], " (%s)" % ", ".join(options) if options else ""), ""]
        lines += table(["Loop", "Ticks", "Missed", "Failed", "Lateness p50 / p99 / p99.9 / max",
                        "Round trip p50 / p99 / p99.9", "CPU share", "SCHED_FIFO: loop / simulator"],
                       [[c["name"], c["ticks"], missed(c), c["failures"], spread(c["lateness_us"]),
                         spread(c["round_trip_us"], ROUND_TRIP), cpu(c), real_time(s, c)] for c in s["contenders"]])
    return lines


def missed_bound(library, minimal):
    return MISSED_RATIO * minimal["missed"] + MISSED_ALLOWANCE * slots(library)


def ratios_met(scenario):
    library, minimal = contender(scenario, "library"), contender(scenario, "minimal")
    return [library["missed"] <= missed_bound(library, minimal)] + [
        library[key]["p99.9"] <= TIMING_RATIO * minimal[key]["p99.9"] for key in ("lateness_us", "round_trip_us")]


def ratio_row(scenario):
    library, minimal = contender(scenario, "library"), contender(scenario, "minimal")
    met = ratios_met(scenario)
    row = [scenario["name"], library["missed"], "≤ %.1f (%g × %d + %.1f)" % (
        missed_bound(library, minimal), MISSED_RATIO, minimal["missed"], MISSED_ALLOWANCE * slots(library)),
        verdict(met[0])]
    for key, ok in zip(("lateness_us", "round_trip_us"), met[1:]):
        floor = minimal[key]["p99.9"]
        row += [us(library[key]["p99.9"]), "≤ %s (%g × %s)" % (us(TIMING_RATIO * floor), TIMING_RATIO, us(floor)),
                verdict(ok)]
    return row


def best_rows(scenarios, calls):
    rows = []
    for name, share, seconds in BEST_TARGETS:
        s = named(scenarios, name)
        if s is None:
            continue
        library, minimal = contender(s, "library"), contender(s, "minimal")
        met = library["missed"] == 0 if share == 0 else missed_share(library) <= share
        short = " (the target asks for %g s)" % seconds if seconds and s["seconds"] < seconds else ""
        rows.append(["%s, %g s%s: missed ticks" % (name, s["seconds"], short),
                     "%d of %d (%.3f %%)" % (library["missed"], slots(library), missed_share(library)),
                     "0" if share == 0 else "≤ %g %%" % share, verdict(met),
                     "" if met else "%d of %d (%.3f %%)" % (minimal["missed"], slots(minimal), missed_share(minimal))])
    rows.append(["`state()` from Python", "%.2f us" % calls["state"], "≤ 2 us", verdict(calls["state"] <= 2.0), ""])
    return rows


def change(before, after):
    return "—" if before == after == "—" else "%s → %s" % (before, after)


def option_row(option, case, plain, loop):
    def trip(d, field):
        return us(d[field]) if d["count"] else "—"

    return [option, case, change(missed(plain), missed(loop)),
            change(us(plain["lateness_us"]["p99.9"]), us(loop["lateness_us"]["p99.9"])),
            change(trip(plain["round_trip_us"], "p50"), trip(loop["round_trip_us"], "p50")),
            change(trip(plain["round_trip_us"], "p99.9"), trip(loop["round_trip_us"], "p99.9")),
            change(cpu(plain), cpu(loop))]


def slack_of(loop):
    """The default timer slack as the sleeper found it, from its note."""
    words = loop["note"].split()
    return " ".join(words[2:4]) if words[:2] == ["timer", "slack"] else "slack"


def option_rows(scenarios):
    """Each option against the plain run beside it: the library's options in the real-time
    runs, and the timer slack on the sleeper without real time."""
    rows = []
    for s in scenarios:
        case = s["name"].split(", ", 1)[1]
        if s["group"] == "options":
            plain = next(c for c in s["contenders"] if c["kind"] == "library" and not options_of(c))
            rows += [option_row(", ".join(options_of(c)), case, plain, c) for c in s["contenders"] if c is not plain]
        elif s["group"] == "timer slack":
            plain = next(c for c in s["contenders"] if c["timer_slack"] != "1 ns")
            loop = next(c for c in s["contenders"] if c["timer_slack"] == "1 ns")
            rows.append(option_row("timer slack 1 ns, against the default %s (the sleeper)" % slack_of(plain),
                                   case, plain, loop))
    return rows


def reading_lines(servo, scenarios):
    runs = side_by_side(scenarios)
    short = [s["name"] for s in runs if not all(ratios_met(s))]
    floor = [contender(s, "sleeper")["lateness_us"]["p99.9"] for s in scenarios if s["group"] == "floor"]
    minimal = [missed_share(contender(s, "minimal")) for s in runs]
    library = [missed_share(contender(s, "library")) for s in runs]
    lines = ["### Reading these figures", "",
             "- Side by side with the minimal loop, the library met all three ratio targets in %d of %d runs%s." % (
                 len(runs) - len(short), len(runs), " (not in: %s)" % "; ".join(short) if short else "")]
    if floor:
        lines.append("- The sleeper, which does nothing but sleep to the deadlines, had a lateness p99.9 of %s to "
                     "%s us across the runs without options: what this machine gave a thread that does no other "
                     "work, in the same minutes as the loops." % (us(min(floor)), us(max(floor))))
    if runs:
        lines.append("- Across the runs side by side the minimal loop missed %.3f to %.3f %% of its slots, the "
                     "library %.3f to %.3f %%." % (min(minimal), max(minimal), min(library), max(library)))
    lines += ["- The load average was %s before the runs. The loops of one table took turns in the same minutes "
              "and compare with each other better than with another table's." % (
                  "%.2f %.2f %.2f" % tuple(servo["load_before"])), ""]
    return lines


def section(servo, calls, loop):
    scenarios = servo["scenarios"]
    when = datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z")
    load_before = "%.2f %.2f %.2f" % tuple(servo["load_before"])
    load_after = os.getloadavg()
    lines = [
        SECTION, "",
        "Written by `bench/bench_servo.py` on %s, from `bench_servo` (C++) and its own Python timings; "
        "microseconds (us) throughout. Machine: %d cores (%s, kernel %s), load average %s before, "
        "%.2f %.2f %.2f after. Each run drives tavix-sim over a pseudo-terminal; figures are nearest-rank "
        "percentiles over every tick, the first included." % (when, servo["cores"], platform.machine(),
                                                            platform.release(), load_before, *load_after),
        "",
        "- **Library**: a `ServoLoop` rendering a soft spring. **Minimal loop**: the same spring with nothing "
        "but system calls on the same port: `clock_nanosleep` to the deadline, one write(2) of the force "
        "request, poll(2) and read(2) until the whole reply is in (%g ms time-out). **Sleeper**: a thread that "
        "only sleeps to the same deadlines. The minimal loop and the sleeper are set up as the library sets up "
        "its loop's thread (timer slack 1 ns; in real time SCHED_FIFO 80 and the memory locked), and take each "
        "option the library's loop takes where it applies." % (REPLY_TIMEOUT * 1000),
        "- **Side by side**: each run's time is split into rounds; in each round every loop runs for its share "
        "in turn, one after another on the same simulator's port (where the options are compared, the loop with "
        "`--realtime` has a simulator of its own), and its figures gather every tick of every round.",
        "- **Lateness**: a tick's start − its deadline, every tick. **Round trip**: from just before the request is "
        "written to the reply's last byte read. **Missed**: slots that passed entirely while a tick ran, skipped "
        "and counted as `ServoLoop` counts them; the share is of all slots. **CPU share**: this benchmark's CPU "
        "seconds while the loop ran over the wall seconds it ran (the simulator and the hog are processes of their "
        "own).",
        "- **Real time**: the loop's thread under SCHED_FIFO 80 and the memory locked; the simulator, which "
        "stands in for a device that is hardware of its own, with `--realtime` (SCHED_FIFO 70). The kernel's "
        "pseudo-terminal work still runs at normal priority. **CPU hog**: one busy-looping process per core at "
        "normal priority for the whole run.",
        "",
        "### Against the floor", "",
    ]
    lines += floor_lines(scenarios)
    lines += ["### Targets", "",
              "Against the minimal loop in the same run, which hold on any machine: missed ticks ≤ %g × the "
              "minimal loop's + 1 per 10 000 slots; lateness p99.9 and round trip p99.9 ≤ %g × the minimal "
              "loop's." % (MISSED_RATIO, TIMING_RATIO), ""]
    lines += table(["Run", "Missed", "Target", "", "Lateness p99.9", "Target", "", "Round trip p99.9", "Target", ""],
                   [ratio_row(s) for s in side_by_side(scenarios)])
    lines += ["On this machine, with every option on:", ""]
    lines += table(["Target", "Figure", "Target value", "", "Minimal loop, same run (where not met)"],
                   best_rows(scenarios, calls))
    lines += ["### Options", "",
              "Each option alone on the library's real-time loop, against the plain real-time loop in the same "
              "run: no option, and a simulator without `--realtime`. The timer slack on the sleeper, without real "
              "time, as a SCHED_FIFO thread has no slack. Plain → with the option.", ""]
    lines += table(["Option", "Run", "Missed", "Lateness p99.9", "Round trip p50", "Round trip p99.9", "CPU share"],
                   option_rows(scenarios))
    lines += ["### From Python", ""]
    lines += table(["Call, with the loop running at 1 kHz", "us per call (best of %d)" % REPEATS], [
        ["`loop.state()`", "%.2f" % calls["state"]],
        ["`loop.state().position`", "%.2f" % calls["state_position"]],
        ["`spring.stiffness = 50.0`", "%.2f" % calls["set_stiffness"]],
        ["`spring.center = [x, y, z]`", "%.2f" % calls["set_center"]],
        ["`loop.stats()`", "%.2f" % calls["stats"]],
        ["`loop.history()` (%d rows%s)" % (calls["history_rows"], ", numpy" if calls["numpy"] else ", tuples"),
         "%.0f" % calls["history"]],
        ["`ServoLoop::State()` from C++", "%.3f" % (servo["cpp_state_ns"] / 1000)],
    ])
    lines += ["While these ran (%d ticks) the loop missed %d." % (calls["ticks_meanwhile"], calls["missed_meanwhile"]),
              ""]
    lines += ["The same kind of loop written in Python (sleep to each deadline, `end_effector_force`, "
              "a spring in Python), 1 kHz for %g s, idle, at normal priority:" % PYTHON_LOOP_SECONDS, ""]
    lines += table(["Ticks", "Missed", "Failed", "Period jitter p50 / p99 / p99.9 / max",
                    "Lateness p50 / p99 / p99.9 / max", "Round trip p50 / p99 / p99.9 / max"],
                   [[loop["ticks"], "%d (%.3f %%)" % (loop["missed"], 100.0 * loop["missed"] /
                                                      max(1, loop["ticks"] + loop["missed"])), loop["failures"],
                     python_spread(loop["period_jitter_us"]), python_spread(loop["lateness_us"]),
                     python_spread(loop["round_trip_us"])]])
    lines += reading_lines(servo, scenarios)
    return lines


def python_spread(d):
    """The Python loop's percentiles, which carry no count."""
    return " / ".join(us(d[field]) for field in ALL)


def write_section(path, lines):
    text = path.read_text() if path.exists() else ""
    start = text.find("\n" + SECTION + "\n")
    if start >= 0:
        end = text.find("\n## ", start + len(SECTION) + 2)
        text = text[:start + 1] + "\n".join(lines) + (text[end:] if end >= 0 else "")
    else:
        text = text.rstrip("\n") + "\n\n" + "\n".join(lines)
    path.write_text(text.rstrip("\n") + "\n")


def main():
    if len(sys.argv) not in (2, 3):
        print("usage: bench_servo.py <results-directory> [<RESULTS.md>]", file=sys.stderr)
        return 2
    results = Path(sys.argv[1])
    results.mkdir(parents=True, exist_ok=True)
    try:
        import numpy  # noqa: F401
        has_numpy = True
    except ImportError:
        has_numpy = False
    with running_simulator("arm") as port_path:
        calls = measure_calls(port_path)
    calls["numpy"] = has_numpy
    print("state() %.2f us, state().position %.2f us, spring.stiffness = %.2f us, spring.center = %.2f us, "
          "stats() %.1f us, history() %.0f us for %d rows" % (
              calls["state"], calls["state_position"], calls["set_stiffness"], calls["set_center"], calls["stats"],
              calls["history"], calls["history_rows"]))
    with running_simulator("arm") as port_path:
        loop = python_loop(port_path, PYTHON_LOOP_SECONDS)
    print("Python loop at 1 kHz: %d ticks, %d missed, period jitter p99.9 %.0f us, max %.0f us" % (
        loop["ticks"], loop["missed"], loop["period_jitter_us"]["p99.9"], loop["period_jitter_us"]["max"]))
    (results / "servo_python.json").write_text(json.dumps({"calls": calls, "python_loop": loop}, indent=2))
    if len(sys.argv) == 3:
        servo = json.loads((results / "servo.json").read_text())
        write_section(Path(sys.argv[2]), section(servo, calls, loop))
        print("Wrote the servo loop's section of %s" % sys.argv[2])
    return 0


if __name__ == "__main__":
    sys.exit(main())
