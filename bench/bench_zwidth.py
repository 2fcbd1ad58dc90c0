"""The "Z-width" section of bench/RESULTS.md and bench/zwidth.png: which stiffness K and
damping B a virtual wall can have and stay passive, on tavix-sim's arm made a point mass
(--mass 0.1 --damping 2), through the servo loop at 1 and 4 kHz, without and with
passivity control.

    python bench/bench_zwidth.py <results-directory> <RESULTS.md>

Each run throws the mass (a force pulse sent before the loop starts, so that the loop's
passivity observer sees only the walls), starts a `ServoLoop`, and once its force ramp is
over puts the mass between two walls 1 mm apart, facing each other, with the run's K and
B: it bounces between them. From the loop's history (position, velocity and force per
tick) the energy the walls together with the arm's own damping took from the mass while
in contact (E_in) and gave back (E_out) is summed tick by tick: with no other force on the
mass, the work in a tick is the change of its kinetic energy. A run is passive when
E_out / E_in <= 1 and the bounces did not grow. Colgate & Schenkel (1997) bound a sampled
wall's passivity by b > K T / 2 + |B| (b the arm's damping, T the period), or with d ticks
of delay b > K T (d + 1/2). The servo loop has one (it works each force out from the reply
to the tick before), and its stable_stiffness() is (b - |B|) / (1.5 T).

Writes zwidth.json into the results directory, the section into RESULTS.md and
zwidth.png beside it. Takes about four minutes.
"""

import contextlib
import datetime
import json
import logging
import math
import os
import sys
import time
from pathlib import Path

import numpy as np

import TavixHardwareAPI as api
from report import table
from sections import write_section
from tavix.simulator import running as running_simulator

import matplotlib.pyplot as plt  # noqa: E402  (report chose the Agg backend)

SECTION = "## Z-width"
MASS = 0.1  # kg, tavix-sim --mass
DEVICE_DAMPING = 2.0  # N s/m, tavix-sim --damping: b
RATES = (1000.0, 4000.0)
WALL_DAMPINGS = (0.0, 0.5, 1.0, 2.0, 5.0, 10.0, 20.0)  # N s/m
STIFFNESS_MIN, STIFFNESS_MAX, STIFFNESS_STEPS = 100.0, 20000.0, 12  # N/m, log-spaced
CONTROL_REACH = 10.0  # with control, stiffnesses up to this many times stable_stiffness() for B = 0
MODES = ("without control", "with control")

HOME_SECONDS = 0.2  # the simulator's own position loop brings the mass back
THROW_FORCE, THROW_SECONDS = 5.0, 0.03  # N along +x, s: about 1 m/s, 0.15 m/s once the ramp is over
RAMP_SECONDS = 0.12  # the loop's force ramp (0.1 s) and a margin, with no effect added
GAP = 0.0005  # m from the mass to each wall when they are put in place
RUN_SECONDS = 0.25
MAX_FORCE = 40.0  # N: far above a passive bounce's forces
REPLY_TIMEOUT = 0.05
REALTIME_PRIORITY = 70  # for the simulator, below the loop's 80
AXIS = np.array([1.0, 0.0, 0.0])


class LoopWarnings(logging.Handler):
    """Counts the library's log lines (the stiffness warning, once per start) instead of
    printing one per run."""

    def __init__(self):
        super().__init__()
        self.count = 0

    def emit(self, record):
        self.count += 1


def has_passivity_control():
    return "passivity" in (api.ServoLoop.__init__.__doc__ or "")


def stiffness_grid(highest):
    """Log-spaced from STIFFNESS_MIN, STIFFNESS_STEPS of them to STIFFNESS_MAX, on to
    `highest` or the first step above it."""
    step = (STIFFNESS_MAX / STIFFNESS_MIN) ** (1.0 / (STIFFNESS_STEPS - 1))
    count = int(math.ceil(math.log(highest / STIFFNESS_MIN) / math.log(step) - 1e-9)) + 1
    return [round(STIFFNESS_MIN * step ** i) for i in range(count)]


def colgate_bound(rate, wall_damping, delay_ticks=0):
    """The largest passive stiffness: b > K T (d + 1/2) + |B|; 0 when B >= b."""
    return max(0.0, (DEVICE_DAMPING - abs(wall_damping)) * rate / (delay_ticks + 0.5))


@contextlib.contextmanager
def point_mass_simulator():
    """tavix-sim with the point mass, at real-time priority when permitted (it inherits
    this thread's policy, held only while it starts), so that the machine's other work
    delays its replies less. Yields the port's path and whether the priority was had."""
    with contextlib.ExitStack() as stack:
        try:
            os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(REALTIME_PRIORITY))
            raised = True
        except (PermissionError, AttributeError):
            raised = False
        try:
            path = stack.enter_context(running_simulator("arm", "--mass", str(MASS), "--damping",
                                                         str(DEVICE_DAMPING)))
        finally:
            if raised:
                os.sched_setscheduler(0, os.SCHED_OTHER, os.sched_param(0))
        yield path, raised


def home_and_throw(arm, home):
    """Brings the mass back with the simulator's position loop, then pushes it along +x
    for THROW_SECONDS; the simulator holds each command until the next."""
    arm.end_effector_position(list(home))
    time.sleep(HOME_SECONDS)
    arm.end_effector_force(list(THROW_FORCE * AXIS))
    time.sleep(THROW_SECONDS)
    arm.end_effector_force([0.0, 0.0, 0.0])


def walls_around(position, stiffness, damping):
    """Two walls facing each other, GAP on either side of `position` along the axis."""
    return [api.Wall(list(position + GAP * AXIS), list(-AXIS), stiffness, damping),
            api.Wall(list(position - GAP * AXIS), list(AXIS), stiffness, damping)]


def one_run(arm, home, rate, stiffness, damping, control):
    """Throws the mass between two walls of this K and B in a loop at `rate`, with or
    without passivity control; returns what was measured."""
    home_and_throw(arm, home)
    options = {"passivity": True, "device_damping": DEVICE_DAMPING} if control else {}
    loop = api.ServoLoop(arm, rate_hz=rate, max_force=MAX_FORCE, rated_peak_force=MAX_FORCE, realtime=True,
                         **options)
    with loop:
        time.sleep(RAMP_SECONDS)
        start = loop.state()
        centre = np.array(start.position, dtype=float)
        approach = float(np.linalg.norm(start.velocity))
        for wall in walls_around(centre, stiffness, damping):
            loop.add(wall)
        time.sleep(RUN_SECONDS)
    stats = loop.stats()
    # From the second tick after the walls went in: the first may have been worked out before.
    history = loop.history()
    measured = history[history["cycle"] > start.cycle + 1]
    result = {"rate": rate, "stiffness": stiffness, "damping": damping, "control": control,
              "approach": approach, "missed": stats["missed"], "cycles": stats["cycles"], "clamped": stats["clamped"]}
    result.update(energies(measured, centre, stiffness))
    result.update(held_force_work(measured, 1.0 / rate))
    if control:
        result.update(acted=stats["passivity_acted"], dissipated=stats["passivity_dissipated"])
    return result


def energies(history, centre, stiffness):
    """E_in and E_out of the walls with the arm's damping, over the ticks in contact: the
    change of the mass's kinetic energy from one reply to the next, the only force on it
    then being the force sent (walls, and the controller's damping) and the damping. A wall
    still pressed at the end keeps 1/2 K d^2, counted as given back."""
    position = history["position"].astype(float) @ AXIS
    speed = np.linalg.norm(history["velocity"].astype(float), axis=1)
    pushed = np.linalg.norm(history["force"].astype(float), axis=1) > 0
    depth = np.maximum(np.abs(position - centre @ AXIS) - GAP, 0.0)
    both_ok = history["ok"][:-1] & history["ok"][1:]
    contact = both_ok & (pushed[:-1] | (depth[:-1] > 0) | (depth[1:] > 0))
    work = 0.5 * MASS * (speed[1:] ** 2 - speed[:-1] ** 2)
    energy_in = float(-work[contact & (work < 0)].sum())
    energy_out = float(work[contact & (work > 0)].sum() + 0.5 * stiffness * depth[-1] ** 2)
    quarter = len(speed) // 4
    growth = float(speed[-quarter:].max() / max(speed[:quarter].max(), 1e-9)) if quarter else 0.0
    return {"energy_in": energy_in, "energy_out": energy_out,
            "ratio": energy_out / energy_in if energy_in > 0 else 0.0, "growth": growth}


def held_force_work(history, period):
    """The work the forces sent did on the mass, over each force's hold: exactly, from the
    displacement between the replies that begin and end the hold, F.(x_n+1 - x_n); and as
    an observer counting each force at the velocity of the reply to it, F.v_n T, sees it."""
    force = history["force"].astype(float)[:-1]
    moved = np.diff(history["position"].astype(float), axis=0)
    velocity = history["velocity"].astype(float)[:-1]
    return {"work_given": float((force * moved).sum()), "work_seen": float((force * velocity).sum() * period)}


def runs_at(arm, home, rate, mode):
    """Every run of the grid for one rate and mode."""
    control = mode == MODES[1]
    highest = max(STIFFNESS_MAX, CONTROL_REACH * colgate_bound(rate, 0.0, 1)) if control else STIFFNESS_MAX
    runs = []
    for damping in WALL_DAMPINGS:
        for stiffness in stiffness_grid(highest):
            runs.append(one_run(arm, home, rate, stiffness, damping, control))
            print("%5.0f Hz %-15s B %4.1f K %6d: E_out/E_in %.3f, growth %.2f, missed %d"
                  % (rate, mode, damping, stiffness, runs[-1]["ratio"], runs[-1]["growth"], runs[-1]["missed"]),
                  flush=True)
    return runs


def passive(run):
    return run["ratio"] <= 1.0 and run["growth"] <= 1.0


def measure(rates, modes):
    api.use_python_logging(True)
    warnings = LoopWarnings()
    logger = logging.getLogger("TavixHardwareAPI")
    logger.addHandler(warnings)
    logger.propagate = False
    runs, realtime = [], True
    for rate in rates:
        with point_mass_simulator() as (path, raised), api.Port(path, timeout=REPLY_TIMEOUT) as port:
            realtime = realtime and raised
            arm = api.Morvek3(port)
            home = np.array(arm.end_effector_force([0.0, 0.0, 0.0])[0], dtype=float)
            with api.ServoLoop(arm, realtime=True):  # the first start locks the memory, which takes a while
                time.sleep(0.05)
            for mode in modes:
                runs += runs_at(arm, home, rate, mode)
    return {"runs": runs, "simulator_realtime": realtime, "loop_warnings": warnings.count,
            "load_after": os.getloadavg()}


# --- the RESULTS.md section and the picture --------------------------------------------

def runs_of(runs, rate, control, damping=None):
    return [r for r in runs if r["rate"] == rate and r["control"] == control and
            (damping is None or r["damping"] == damping)]


def boundary(runs):
    """The largest stiffness passive along with every softer one, and the stiffness at
    which E_out / E_in crosses 1 between it and the next (log-linear); None when the
    softest already gains energy, the largest tried when none does."""
    ordered = sorted(runs, key=lambda r: r["stiffness"])
    for index, run in enumerate(ordered):
        if passive(run):
            continue
        if index == 0:
            return None, None
        last = ordered[index - 1]
        low, high = math.log(last["stiffness"]), math.log(run["stiffness"])
        rise = run["ratio"] - last["ratio"]
        share = min(1.0, max(0.0, (1.0 - last["ratio"]) / rise)) if rise > 0 else 0.0
        return last["stiffness"], math.exp(low + share * (high - low))
    return ordered[-1]["stiffness"], None


def edge(runs):
    """The measured boundary: where E_out / E_in crosses 1, or the largest passive stiffness;
    and whether every run was passive, which makes it only a lower bound."""
    largest, crossing = boundary(runs)
    every = largest is not None and crossing is None
    return (largest if every else crossing), every


def stiffness_cell(value, above=False):
    if value is None:
        return "none"
    return ("> %.0f" if above else "%.0f") % value


def ratio_cell(value, bound, above=False):
    if value is None or bound <= 0:
        return "—"
    return ("> %.2f" if above else "%.2f") % (value / bound)


def boundary_rows(runs, rate, control):
    rows = []
    for damping in WALL_DAMPINGS:
        mine = runs_of(runs, rate, control, damping)
        largest, _ = boundary(mine)
        measured, every = edge(mine)
        theory, delayed = colgate_bound(rate, damping), colgate_bound(rate, damping, 1)
        rows.append(["%g" % damping, stiffness_cell(largest, every), stiffness_cell(None if every else measured),
                     "%.0f" % theory, ratio_cell(measured, theory, every), "%.0f" % delayed,
                     ratio_cell(measured, delayed, every)])
    return rows


def within(measured, bound, every, share=0.25):
    return "met" if measured and not every and abs(measured / bound - 1.0) <= share else "not met"


def control_verdict(runs, rate):
    """Runs with control that gained energy at or below CONTROL_REACH x stable_stiffness() (B = 0)."""
    reach = CONTROL_REACH * colgate_bound(rate, 0.0, 1)
    mine = [r for r in runs_of(runs, rate, True) if r["stiffness"] <= reach * 1.0001]
    failed = [r for r in mine if not passive(r)]
    return reach, mine, failed


def target_lines(runs, rates):
    lines = []
    for rate in rates:
        measured, every = edge(runs_of(runs, rate, False, 0.0))
        theory = colgate_bound(rate, 0.0)
        delayed = colgate_bound(rate, 0.0, 1)
        lines.append("- %.0f kHz without control, B = 0: boundary %s N/m against stable_stiffness() = b / (1.5 T) = "
                     "%.0f N/m, the bound with the loop's tick of delay (%s): within 25 %% **%s**; against "
                     "2 b / T = %.0f N/m, the bound without delay: %s." % (
                         rate / 1000, stiffness_cell(measured, every), delayed, ratio_cell(measured, delayed, every),
                         within(measured, delayed, every), theory, ratio_cell(measured, theory, every)))
        reach, mine, failed = control_verdict(runs, rate)
        if mine:
            worst = max(mine, key=lambda r: r["ratio"])
            lines.append("- %.0f kHz with control: %d of %d runs up to %.0f N/m (10 x stable_stiffness()) gained "
                         "energy (largest E_out / E_in %.2f at K = %d, B = %g): **%s**."
                         % (rate / 1000, len(failed), len(mine), reach, worst["ratio"], worst["stiffness"],
                            worst["damping"], "met" if not failed else "not met"))
        else:
            lines.append("- %.0f kHz with control: not measured (this build of the library has no passivity "
                         "control)." % (rate / 1000))
    return lines


def section(measured, rates, modes):
    runs = measured["runs"]
    lines = [SECTION, "", introduction(measured), "", "Targets:", ""] + target_lines(runs, rates) + [""]
    for rate in rates:
        for mode in modes:
            control = mode == MODES[1]
            if not runs_of(runs, rate, control):
                continue
            lines += ["%.0f kHz, %s: the largest passive K on the grid, the stiffness where E_out / E_in crosses "
                      "1, Colgate's bound without delay 2 (b - B) / T and, for the loop's one tick of delay, "
                      "(b - B) / (1.5 T), the loop's stable_stiffness(B) (N/m):" % (rate / 1000, mode), ""]
            lines += table(["B (N s/m)", "largest passive K", "E_out / E_in = 1 at", "2 (b - B) / T", "ratio",
                            "(b - B) / (1.5 T)", "ratio"], boundary_rows(runs, rate, control))
    return lines + ["![Measured passive region](zwidth.png)", "", "Notes:", ""] + notes(measured, rates)


def introduction(measured):
    when = datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z")
    return ("Written by `bench/bench_zwidth.py` on %s in %.0f s (%d runs), load average %.2f %.2f %.2f after. "
            "tavix-sim `arm --mass %g --damping %g`: force commands drive a point mass of %g kg with b = %g N s/m "
            "(%s real-time priority). Each run throws the mass, starts a `ServoLoop` (real time, `max_force` "
            "%g N) and, once the force ramp is over, holds the mass between two `Wall`s 1 mm apart with the "
            "run's K and B for %g s. E_in and E_out are the energy the walls, with the arm's damping, took from "
            "the mass and gave back while in contact, from the history's velocities (the work in a tick is "
            "the change of kinetic energy); a run is passive when E_out / E_in <= 1 and the bounces do not "
            "grow. Stiffnesses %s N/m; with control up to %g x stable_stiffness() for B = 0."
            % (when, measured["seconds"], len(measured["runs"]), *measured["load_after"], MASS, DEVICE_DAMPING,
               MASS, DEVICE_DAMPING, "at" if measured["simulator_realtime"] else "not at", MAX_FORCE, RUN_SECONDS,
               ", ".join(str(k) for k in stiffness_grid(STIFFNESS_MAX)), CONTROL_REACH))


def notes(measured, rates):
    runs = measured["runs"]
    missed = sum(r["missed"] for r in runs)
    ticks = sum(r["missed"] + r["cycles"] for r in runs)
    lines = [
        "- The servo loop works out each tick's force from the reply of the tick before, so the force that "
        "acts from tick n on was computed from the position at tick n - 1: one tick of delay on top of the "
        "hold, d = 1, and the bound is b > 1.5 K T + |B| rather than b > K T / 2 + |B|, a third of the "
        "stiffness. Without control at B = 0 the boundary is %s times (b - B) / (1.5 T) (1 and 4 kHz): the "
        "measured boundary misses 2 b / T for that reason, and matches the bound for the delay the loop has, "
        "which `ServoLoop.stable_stiffness()` gives."
        % " and ".join(delayed_ratio(runs, rate, 0.0) for rate in rates),
        "- The walls' damping B acts on the velocity the arm reports, which the simulator computes exactly "
        "rather than as a backward difference of sampled positions. Colgate's |B| comes from that difference "
        "near the Nyquist frequency; on an exact velocity B damps the bounce instead, and the boundary rises "
        "with B, up to about b + B = 1.5 K T (the dotted line), less where the bounce is fast enough for the "
        "delay to take from B: measured / ((b + B) / (1.5 T)) for B = %s is %s."
        % (", ".join("%g" % b for b in WALL_DAMPINGS[1:]),
           "; ".join("%.0f kHz %s" % (rate / 1000, ", ".join(damped_ratio(runs, rate, b) for b in WALL_DAMPINGS[1:]))
                     for rate in rates)),
        "- The simulator integrates the mass in closed form between requests (10 us steps) and applies each "
        "force from the moment its request arrives, so its integration adds no energy; no quantisation "
        "(`--resolution`) and no added delay (`--delay`) were set.",
        "- Ticks missed (the loop late by a whole period, a force held for two) were %d of %d (%.2f %%), from "
        "the machine's other work; each adds a tick of delay, so a run near the boundary can look active."
        % (missed, ticks, 100.0 * missed / max(1, ticks)),
    ]
    lines += control_notes([r for r in runs if r["control"]])
    lines.append("- The library logged %d stiffness warnings (one per start of a loop whose wall is above its "
                 "bound)." % measured["loop_warnings"])
    return lines


def control_notes(controlled):
    """What the forces did on the mass in the runs with control, as the library's observer
    counts it (each held force over the displacement between the replies that begin and end
    its hold) and as counting it at the velocity of the reply to it, F.v T, would."""
    if not controlled:
        return []
    gained = [r for r in controlled if not passive(r)]
    lines = ["- With control, the forces sent did %.3g J of work on the mass over their holds in all %d runs "
             "(%.3g J counted at the velocity of each reply, F.v T, which misses what a held force gives back "
             "when the velocity turns within its hold); the controller added damping at %d ticks and took "
             "out %.3g J (as predicted)."
             % (sum(r["work_given"] for r in controlled), len(controlled), sum(r["work_seen"] for r in controlled),
                sum(r["acted"] for r in controlled), sum(r["dissipated"] for r in controlled))]
    if gained:
        lines.append("- With control, %d runs gained energy (K from %d N/m): in them the forces sent did %.3g J "
                     "of work on the mass over their holds."
                     % (len(gained), min(r["stiffness"] for r in gained), sum(r["work_given"] for r in gained)))
    return lines


def delayed_ratio(runs, rate, damping):
    return ratio_cell(*edge_against(runs, rate, damping, colgate_bound(rate, damping, 1)))


def damped_ratio(runs, rate, damping):
    return ratio_cell(*edge_against(runs, rate, damping, (DEVICE_DAMPING + damping) * rate / 1.5))


def edge_against(runs, rate, damping, bound):
    measured, every = edge(runs_of(runs, rate, False, damping))
    return measured, bound, every


def plot(measured, rates, modes, path):
    runs = measured["runs"]
    figure, axes = plt.subplots(len(rates), len(modes), figsize=(11, 8.5), squeeze=False)
    for row, rate in enumerate(rates):
        for column, mode in enumerate(modes):
            plot_panel(axes[row][column], runs_of(runs, rate, mode == MODES[1]), rate)
            axes[row][column].set_title("%.0f kHz, %s" % (rate / 1000, mode))
    handles, labels = axes[0][0].get_legend_handles_labels()
    figure.legend(handles, labels, loc="lower center", ncol=3, fontsize=8)
    figure.suptitle("Virtual wall passivity on a point mass of %g kg, b = %g N s/m" % (MASS, DEVICE_DAMPING))
    figure.tight_layout(rect=(0, 0.07, 1, 1))
    figure.savefig(path, dpi=100)


def plot_panel(ax, runs, rate):
    """The runs as passive or not over K and B, the measured boundary, and the bounds."""
    good = [r for r in runs if passive(r)]
    bad = [r for r in runs if not passive(r)]
    ax.scatter([r["stiffness"] for r in good], [r["damping"] for r in good], marker="o", color="tab:green",
               label="passive")
    ax.scatter([r["stiffness"] for r in bad], [r["damping"] for r in bad], marker="x", color="tab:red",
               label="gains energy")
    crossings = [(boundary([r for r in runs if r["damping"] == b])[1], b) for b in WALL_DAMPINGS]
    crossings = [(k, b) for k, b in crossings if k is not None]
    ax.plot([k for k, _ in crossings], [b for _, b in crossings], color="tab:green", label="E_out / E_in = 1")
    stiffness = np.geomspace(STIFFNESS_MIN, max([STIFFNESS_MAX] + [r["stiffness"] for r in runs]), 200)
    period = 1.0 / rate
    ax.plot(stiffness, DEVICE_DAMPING - stiffness * period / 2, color="black", label="b = K T / 2 + B")
    ax.plot(stiffness, DEVICE_DAMPING - 1.5 * stiffness * period, color="black", linestyle="--",
            label="b = 1.5 K T + B (one tick of delay: stable_stiffness())")
    ax.plot(stiffness, 1.5 * stiffness * period - DEVICE_DAMPING, color="grey", linestyle=":",
            label="b + B = 1.5 K T (B on exact velocity)")
    ax.set_xscale("log")
    ax.set_yscale("symlog", linthresh=2.0)
    ax.set_yticks(WALL_DAMPINGS)
    ax.set_yticklabels(["%g" % b for b in WALL_DAMPINGS])
    ax.set_ylim(-0.3, max(WALL_DAMPINGS) * 1.3)
    ax.set_xlabel("wall stiffness K (N/m)")
    ax.set_ylabel("wall damping B (N s/m)")


def main():
    if len(sys.argv) != 3:
        print("usage: bench_zwidth.py <results-directory> <RESULTS.md>", file=sys.stderr)
        return 2
    results, markdown = Path(sys.argv[1]), Path(sys.argv[2])
    modes = MODES if has_passivity_control() else MODES[:1]
    began = time.monotonic()
    measured = measure(RATES, modes)
    measured["seconds"] = time.monotonic() - began
    results.mkdir(parents=True, exist_ok=True)
    (results / "zwidth.json").write_text(json.dumps(measured, indent=1))
    write_section(markdown, section(measured, RATES, modes))
    plot(measured, RATES, modes, markdown.parent / "zwidth.png")
    print("Wrote the Z-width section of %s and %s" % (markdown, markdown.parent / "zwidth.png"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
