"""The servo loop's examples (examples/servo_*.py), run as a user runs them: each a
process of its own, against the simulator."""

import re

from example_runs import output_of, run_example
from tavix.simulator import running as running_simulator

TIMING = r"p50 \d+ us, p99 \d+ us, p99\.9 \d+ us, max \d+ us"


def test_the_servo_demo_renders_the_wall_with_live_stats_and_a_summary():
    # 1.5 s: the spring's centre passes the wall 0.6 s into the loop.
    out = output_of("servo_demo.py", "--seconds", "1.5")
    assert "device id 1, model 4" in out
    assert "Running the servo loop at 1000 Hz for 1.5 s" in out
    assert re.search(r"\n +rate +missed +p99 +p50 +p99 +x +y +z +x +y +z\n", out)
    # A status line: rate, missed, jitter, round trips, position (mm) and force (N).
    assert re.search(r"\n *\d+ Hz( +\d+){4}( +-?\d+\.\d){3}( +-?\d+\.\d\d){3}", out)
    assert re.search(r"ticks +\d+, \d+ missed, 0 failed exchanges", out)
    for timing in ("period jitter", "lateness", "round trip"):
        assert re.search(timing + " +" + TIMING, out)
    assert re.search(r"wall +touched for \d+ ticks, at most [\d.]+ mm deep", out)


def test_the_servo_demo_fails_clearly_for_a_missing_port():
    demo = run_example("servo_demo.py", "--port", "/dev/no-such-arm")
    assert demo.returncode == 1
    assert demo.stderr == "servo_demo: the arm port /dev/no-such-arm does not exist\n"


def test_the_servo_spring_holds_the_arm_and_reports_the_loop():
    with running_simulator("arm") as port:
        example = run_example("servo_spring.py", port, "0.3")
    assert example.returncode == 0, example.stderr
    assert re.search(r"\d+ ticks, \d+ missed, 0 failed exchanges; period jitter p99 \d+ us", example.stdout)
