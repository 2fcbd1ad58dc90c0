"""The "Haptic rendering" section of bench/RESULTS.md, from what bench_rendering left in
the results directory: the renderer's cost per tick against its targets, allocations
per tick, and the build time of a 100k-triangle mesh's tree.

    python bench/bench_rendering.py <results-directory> <RESULTS.md>
"""

import sys
from pathlib import Path

from report import load, load_average, table
from sections import write_section

# Case, what it renders, and the target for the tick's p99 (us).
TICK_CASES = [
    ("rendering.sphere", "one sphere", 5.0),
    ("rendering.mesh_10k", "a mesh of 9,680 triangles", 15.0),
    ("rendering.mesh_100k", "a mesh of 100,820 triangles", 40.0),
    ("rendering.fifty_shapes", "50 shapes (spheres, boxes, capsules)", 20.0),
]
TREE_BUILD_TARGET_MS = 150.0
CONTROLLER_TARGET_US = 1.0


def verdict(met: bool) -> str:
    return "met" if met else "**not met**"


def tick_rows(cases: dict) -> list:
    rows = []
    for name, what, target in TICK_CASES:
        case = cases[name]
        rows.append([what, case["exchanges"], "%.2f" % case["p50_us"], "%.2f" % case["p99_us"],
                     "%.2f" % case["samples"][-1], "%.0f" % target, verdict(case["p99_us"] <= target),
                     "%.2f" % case["allocations_each"]])
    return rows


def section(cases: dict, results: Path) -> list:
    build = cases["rendering.tree_build"]
    return ["## Haptic rendering", "",
            "`bench_rendering`: `Scene::Step`, the computation a servo loop's tick makes for a scene, on a "
            "path round a 5 cm sphere (or the mesh of one) at 0.2 m/s that dips 5 mm into the surface and "
            "comes out twice a second: free, pressing, sliding and letting go all count. Timed one tick at a "
            "time with the steady clock, at normal priority, so that the max includes preemption by other "
            "work on the machine; allocations counted by replacing the global `operator new`. "
            "Load average before / after: %s / %s." % (load_average(results / "load-before"),
                                                      load_average(results / "load-after")), ""] + table(
        ["Scene", "Ticks", "p50 (us)", "p99 (us)", "max (us)", "p99 target (us)", "", "Allocations per tick"],
        tick_rows(cases)) + [
        "Building the search tree of a mesh of %d triangles: median %.1f ms, max %.1f ms over 9 builds "
        "(target <= %.0f ms: %s)." % (build["triangles"], build["median_ms"], build["max_ms"],
                                      TREE_BUILD_TARGET_MS, verdict(build["max_ms"] <= TREE_BUILD_TARGET_MS)), "",
        controller_line(cases["rendering.passivity_controller"]), ""]


def controller_line(case: dict) -> str:
    return ("The servo loop's passivity controller, as a tick runs it (observe the reply, damp the next force) "
            "on a 0.1 kg mass bouncing in a 20 000 N/m sampled wall: p50 %.3f us, p99 %.3f us, max %.2f us a tick "
            "(target p99 < %.0f us: %s), %.2f allocations a tick." % (
                case["p50_us"], case["p99_us"], case["samples"][-1], CONTROLLER_TARGET_US,
                verdict(case["p99_us"] < CONTROLLER_TARGET_US), case["allocations_each"]))


def main() -> int:
    if len(sys.argv) != 3:
        print("usage: bench_rendering.py <results-directory> <RESULTS.md>", file=sys.stderr)
        return 2
    results = Path(sys.argv[1])
    write_section(Path(sys.argv[2]), section(load(results), results))
    print("Wrote the haptic rendering section of %s" % sys.argv[2])
    return 0


if __name__ == "__main__":
    sys.exit(main())
