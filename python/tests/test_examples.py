"""The examples in examples/, run as a user runs them (each a process of its own, against
the simulator) and type-checked with mypy, so that they keep working as the module
changes."""

import os
import re
import subprocess
import sys
import time

import pytest

from example_runs import EXAMPLES, RUN_TIMEOUT, example_command, output_of, run_example
from pty_device import PtyDevice
from tavix.simulator import running as running_simulator

# Ports detection would probe, each costing seconds when nothing answers.
CANDIDATE_PORTS = [name for name in os.listdir("/dev") if re.search("ttyACM|ttyUSB|rfcomm", name)]
# A status line of the haptic demo: rate, round trips, position and force.
STATUS_ROW = r" *\d+ Hz +\d+ +\d+( +-?\d+\.\d{1}){3}( +-?\d+\.\d{2}){3}"


def run_on_terminal(name, *args):
    """Runs examples/<name> with its standard output on a pseudo-terminal, as in a shell
    window; returns the exit status and everything it wrote there."""
    terminal = PtyDevice()
    process = subprocess.Popen(example_command(name, *args), stdout=terminal.slave, stderr=subprocess.PIPE)
    deadline = time.monotonic() + RUN_TIMEOUT
    output = b""
    try:
        while process.poll() is None and time.monotonic() < deadline:
            output += terminal.drain(0.1)
        status = process.wait(max(deadline - time.monotonic(), 0))
        output += terminal.drain()
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
        process.stderr.close()
        terminal.close()
    return status, output.decode()


def summary_rate(output):
    """The achieved exchanges per second the demo's summary reports."""
    return float(re.search(r"exchanges +\d+ in [\d.]+ s: ([\d.]+) per second", output).group(1))


class TestHapticDemo:
    def test_wakes_the_arm_renders_the_wall_and_reads_the_handle(self):
        # 1.5 s: the spring's centre passes the wall 0.6 s into the loop.
        out = output_of("haptic_demo.py", "--seconds", "1.5")
        assert "device id 1, model 4" in out
        assert re.search(r"identifier +7a5e5130-0000-4000-8000-000000000001", out)
        assert "   rate     p50     p99         x      y      z         x      y      z\n" in out
        assert re.search(STATUS_ROW, out)
        assert "handle 1: orientation (x y z w)" in out
        assert re.search(r"round trip +p50 \d+ us, p99 \d+ us, max \d+ us", out)
        assert re.search(r"missed deadlines +\d+", out)
        assert re.search(r"wall +touched for [\d.]+ s, at most [\d.]+ mm deep", out)
        # Paced by the clock: never faster than one exchange a millisecond.
        assert 300 < summary_rate(out) <= 1000.5

    def test_rewrites_one_status_line_on_a_terminal(self):
        status, out = run_on_terminal("haptic_demo.py", "--seconds", "0.5")
        assert status == 0
        # Updated every 0.1 s, each time over the last.
        assert len(re.findall("\r" + STATUS_ROW, out)) >= 3
        assert "Summary" in out

    def test_drives_the_ports_it_is_given(self):
        with running_simulator("arm", "--id", "9") as arm_port, \
                running_simulator("handle", "--id", "5") as handle_port:
            out = output_of("haptic_demo.py", "--seconds", "0.5", "--port", arm_port, "--handle-port", handle_port)
        assert "Waking the arm on %s" % arm_port in out
        assert "device id 9, model 4" in out
        assert "handle 5: orientation" in out

    def test_fails_clearly_when_no_arm_answers(self):
        device = PtyDevice()
        # Takes the wake-up request and hangs up instead of answering.
        device.play(("expect", b"\x0a", RUN_TIMEOUT), ("hangup",))
        try:
            demo = run_example("haptic_demo.py", "--seconds", "0.5", "--port", device.path,
                               "--handle-port", device.path)
            device.finish()
        finally:
            device.close()
        assert demo.returncode == 1
        assert "haptic_demo: no arm answered on %s" % device.path in demo.stderr

    def test_fails_clearly_for_a_missing_port(self):
        demo = run_example("haptic_demo.py", "--port", "/dev/no-such-arm")
        assert demo.returncode == 1
        assert demo.stderr == "haptic_demo: the arm port /dev/no-such-arm does not exist\n"

    @pytest.mark.skipif(CANDIDATE_PORTS, reason="serial ports to probe are present")
    def test_detect_fails_clearly_when_no_arm_is_found(self):
        demo = run_example("haptic_demo.py", "--detect")
        assert demo.returncode == 1
        assert "haptic_demo: no arm found" in demo.stderr

    def test_says_which_simulator_it_cannot_run(self, tmp_path):
        missing = tmp_path / "tavix-sim"
        demo = run_example("haptic_demo.py", env=dict(os.environ, TAVIX_SIM=str(missing)))
        assert demo.returncode == 1
        assert "TAVIX_SIM names %s, which is not an executable file" % missing in demo.stderr


class TestHandleCallbacks:
    def test_runs_callbacks_and_frames_against_the_simulator(self):
        out = output_of("handle_callbacks.py", "--frames", "3")
        assert "info: handle 1, model" in out
        assert out.count("status: handle 1, orientation") == 3
        assert "user data b'hello' (5 bytes)" in out
        assert "reading 3 compact status frames" in out
        assert re.search(r"frame 3: (handle 1, orientation .* battery 3\.90 V|malformed, skipped)", out)

    def test_talks_to_the_handle_it_is_given(self):
        with running_simulator("handle", "--id", "12") as port:
            out = output_of("handle_callbacks.py", port)
        assert "Handle on %s" % port in out
        assert "info: handle 12" in out
        assert "compact status frames" not in out

    def test_reads_frames_from_a_streaming_handle(self):
        with running_simulator("handle", "--stream", "200", "--battery", "100") as port:
            out = output_of("handle_callbacks.py", port, "--streaming", "--frames", "4")
        assert "frame 4:" in out
        assert "battery 3.50 V" in out
        assert "info:" not in out


def test_detect_devices_prints_each_detection():
    # On a machine without candidate ports each detection returns at once.
    out = output_of("detect_devices.py", timeout=300)
    for heading in ("Morvek3 arms (detect_morvek3s", "Handles on any port (detect_handles)",
                    "Wired handles (detect_wired_handles", "Wireless handles (detect_wireless_handles"):
        assert "\n" + heading in out


def test_examples_pass_mypy_strict(tmp_path):
    pytest.importorskip("mypy", reason="mypy is not installed")
    # The module's types come from the stub package TavixHardwareAPI-stubs that
    # `pip install` put into site-packages.
    files = sorted(str(path) for path in EXAMPLES.glob("*.py"))
    check = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path), *files],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True,
                           timeout=300)
    assert check.returncode == 0, check.stdout
