"""ServoLoop: the native loop that drives an arm at a fixed rate, its effects, how Python
sees it run and stop, and its stiffness bound (which the bridge's check reads)."""

import errno
import logging
import re
import struct
import subprocess
import sys
import threading
import time
import warnings

import pytest

import TavixHardwareAPI as api
from tavix import effect_kinds, encoding, simulator

TIMEOUT = 0.2  # seconds: the port's time-out in these tests
FIELDS = ("cycle", "time", "position", "velocity", "force", "round_trip_us", "lateness_us", "ok")


def field(row, name):
    """A field of a history() row, which is a numpy record or a tuple: by position."""
    return row[FIELDS.index(name)]


def wait_until(condition, within=5.0):
    """Polls `condition` until it holds; fails the test if it does not within `within` s."""
    give_up = time.monotonic() + within
    while not condition():
        assert time.monotonic() < give_up, "gave up waiting"
        time.sleep(0.001)


@pytest.fixture
def arm():
    """A Morvek3 on a Port, played by the simulator."""
    with simulator.running("arm") as path, api.Port(path, timeout=TIMEOUT) as port:
        yield api.Morvek3(port)


def test_refuses_an_arm_on_a_plain_stream_and_settings_out_of_range_and_keeps_those_in_range(device, stream, arm):
    with pytest.raises(TypeError, match="ServoLoop needs a Morvek3 on a Port"):
        api.ServoLoop(api.Morvek3(stream))
    for settings in ({"rate_hz": 0.0}, {"rate_hz": 1e6}, {"max_force": -1.0}, {"max_failures": 0},
                     {"history_size": 0}, {"spin_us": 1500.0}, {"cpu": -1}, {"cpu": 100000}):
        with pytest.raises(ValueError):
            api.ServoLoop(arm, **settings)
    tuned = api.ServoLoop(arm, spin_us=100.0, spin_reply=True, cpu=0)
    assert (tuned.spin_us, tuned.spin_reply, tuned.cpu, api.ServoLoop(arm).cpu) == (100.0, True, 0, None)


def test_a_loop_needs_a_port_time_out():
    with simulator.running("arm") as path, api.Port(path, timeout=None) as port:
        arm = api.Morvek3(port)
        with pytest.raises(ValueError, match="needs a port time-out"):
            api.ServoLoop(arm)
        port.timeout = TIMEOUT
        loop = api.ServoLoop(arm)
        port.timeout = None  # taken away after the loop was made
        with pytest.raises(ValueError, match="needs a port time-out"):
            loop.start()
        assert not loop.running


def test_a_second_loop_on_a_driven_arm_does_not_start(arm):
    first, second = api.ServoLoop(arm), api.ServoLoop(arm)
    with first:
        with pytest.raises(RuntimeError, match="already drives the arm"):
            second.start()
        assert not second.running
    with second:  # free again
        assert second.running


def test_the_loop_owns_the_arm_and_its_port_until_it_stops():
    with simulator.running("arm") as path, api.Port(path, timeout=TIMEOUT) as port:
        arm, same_arm = api.Morvek3(port), api.Morvek3(port)  # one arm: one port
        calls = (lambda: arm.end_effector_force([0.0, 0.0, 1.0]), same_arm.get_temperature, port.close)
        with api.ServoLoop(arm) as loop:
            for call in calls:
                with pytest.raises(RuntimeError, match="a servo loop drives the arm"):
                    call()
            assert port.is_open
            wait_until(lambda: loop.stats()["cycles"] >= 20)
            assert loop.stats()["failures"] == 0
        for call in calls:  # free again
            call()
        assert not port.is_open


def test_a_max_force_above_the_rated_peak_force_warns_once_and_one_not_a_positive_number_raises(arm):
    with pytest.warns(UserWarning, match=r"max_force 1e\+06 N is above the arm's rated peak force of 10 N") as caught:
        loop = api.ServoLoop(arm, max_force=1e6)
    assert len(caught) == 1
    assert (loop.max_force, loop.rated_peak_force) == (1e6, 10.0)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        api.ServoLoop(arm, max_force=50.0, rated_peak_force=50.0)  # an arm rated higher: no warning
    for bad in (float("nan"), 0.0):
        with pytest.raises(ValueError, match="max_force must be a finite number above 0"):
            api.ServoLoop(arm, max_force=bad)


def test_runs_as_a_context_and_shows_state_stats_and_history(arm):
    loop = api.ServoLoop(arm, rate_hz=500.0, history_size=100)
    assert (loop.rate_hz, loop.max_force, loop.realtime, loop.max_failures, loop.history_size) == (
        500.0, 5.0, False, 10, 100)
    assert loop.arm is arm
    assert loop.state() is None
    with loop:
        assert loop.running
        with pytest.raises(RuntimeError, match="running already"):
            loop.start()
        wait_until(lambda: loop.stats()["cycles"] >= 150)
        state = loop.state()
    assert not loop.running
    assert loop.error is None
    assert "stopped" in repr(loop)

    assert state.ok and state.cycle >= 149 and state.time >= state.cycle / 500.0
    for vector in (state.position, state.velocity, state.force):
        assert isinstance(vector, list) and len(vector) == 3
    stats = loop.stats()
    assert stats["failures"] == stats["clamped"] == stats["non_finite"] == stats["log_lines_dropped"] == 0
    assert stats["realtime"] is False and stats["realtime_note"] == ""
    for timing in ("period_jitter_us", "lateness_us", "round_trip_us"):
        assert set(stats[timing]) == {"p50", "p99", "p99.9", "max"}
        assert 0 < stats[timing]["p50"] <= stats[timing]["max"] or timing == "period_jitter_us"

    history = loop.history()
    assert len(history) == 100  # the last 100 ticks
    assert field(history[-1], "cycle") == loop.state().cycle
    assert stats["cycles"] + stats["missed"] == field(history[-1], "cycle") + 1


def test_history_is_a_numpy_structured_array(arm):
    numpy = pytest.importorskip("numpy")
    loop = api.ServoLoop(arm)
    loop.add(api.ConstantForce([0.0, 0.0, 1.0]))
    with loop:
        wait_until(lambda: loop.stats()["cycles"] >= 10)
    history = loop.history()
    assert isinstance(history, numpy.ndarray)
    assert history.dtype.names == FIELDS
    assert history["position"].shape == (len(history), 3)
    assert history["ok"].all()
    assert numpy.all(numpy.diff(history["cycle"]) > 0)


def test_history_is_a_list_of_tuples_without_numpy(arm, monkeypatch):
    monkeypatch.setitem(sys.modules, "numpy", None)  # import numpy raises ImportError
    loop = api.ServoLoop(arm)
    with loop:
        wait_until(lambda: loop.stats()["cycles"] >= 10)
    history = loop.history()
    assert isinstance(history, list) and len(history) == loop.stats()["cycles"]
    cycle, seconds, position, velocity, force, round_trip_us, lateness_us, ok = history[-1]
    assert (cycle, ok) == (loop.state().cycle, True)
    assert position == loop.state().position and force == loop.state().force


def test_an_effect_update_shows_in_the_next_tick(arm):
    push = api.ConstantForce([1.0, 0.0, 0.0])
    loop = api.ServoLoop(arm)
    loop.add(push)
    with loop:
        wait_until(lambda: loop.state() is not None and loop.state().time > 0.15)  # past the ramp
        assert loop.state().force == [1.0, 0.0, 0.0]
        push.force = [0.0, 2.0, 0.0]
        # The last tick finished before the update; the one after it may have computed
        # its force just before the update. The tick after that has the new force.
        updated_after = loop.state().cycle
        wait_until(lambda: len(ticks_after(loop, updated_after)) >= 2)
        next_tick = ticks_after(loop, updated_after)[1]
    assert list(field(next_tick, "force")) == [0.0, 2.0, 0.0]


def ticks_after(loop, cycle):
    return [row for row in loop.history() if field(row, "cycle") > cycle]


def test_effects_are_added_removed_and_cleared(arm):
    spring = api.Spring([0.0, 0.1, 0.0], 200.0)
    wall = api.Wall([0.05, 0.0, 0.0], [-2.0, 0.0, 0.0], 1500.0, damping=5.0)
    damper = api.Damper(2.0)
    loop = api.ServoLoop(arm)
    loop.add(spring)
    loop.add(wall)
    loop.add(spring)  # already there: nothing changes
    loop.add(damper)
    assert loop.effects == (spring, wall, damper)
    loop.remove(wall)
    assert loop.effects == (spring, damper)
    with pytest.raises(ValueError, match="not in the loop"):
        loop.remove(wall)
    loop.clear()
    assert loop.effects == ()

    assert repr(spring) == "Spring(center=[0.0, 0.1, 0.0], stiffness=200.0, damping=0.0)"
    assert wall.normal == [-1.0, 0.0, 0.0]
    assert repr(api.ConstantForce([0.0, 0.0, -1.5])) == "ConstantForce(force=[0.0, 0.0, -1.5])"
    with pytest.raises(TypeError):
        api.Effect()
    for bad in (lambda: api.Spring([0.0, 0.0], 1.0), lambda: api.Damper(float("nan")),
                lambda: api.Wall([0.0] * 3, [0.0] * 3, 1.0), lambda: setattr(spring, "stiffness", -1.0)):
        with pytest.raises(ValueError):
            bad()
    assert spring.stiffness == 200.0


def test_failed_exchanges_in_a_row_stop_the_loop_with_device_timeout_error():
    with simulator.running("arm", "--silent") as path, api.Port(path, timeout=0.01) as port:
        loop = api.ServoLoop(api.Morvek3(port), max_failures=3)
        loop.start()
        assert loop.wait(timeout=5.0)
        assert not loop.running
        assert loop.stats()["failures"] == 3
        assert isinstance(loop.error, api.DeviceTimeoutError)
        assert isinstance(loop.error, TimeoutError)
        assert str(loop.error) == "ServoLoop on %s: no complete reply within 0.01 s" % path
        loop.stop()  # after the loop stopped by itself: nothing to do, the error stays
        assert isinstance(loop.error, api.DeviceTimeoutError)


def test_a_hang_up_stops_the_loop_with_port_error_within_50_ms_keeping_the_ticks_before_it(device):
    answered = 120
    hung_up_at = []
    state_reply = b"\x2b" + struct.pack("<6f", 0.0, 0.0, 0.1, 0.0, 0.0, 0.0)

    def play_arm():
        for _ in range(answered):
            if len(device.receive(13)) != 13:
                return
            device.send(state_reply)
        device.receive(13)
        hung_up_at.append(time.monotonic())
        device.hang_up()

    with api.Port(device.path) as port:  # the default 5 s time-out: only the hang-up ends the wait soon
        loop = api.ServoLoop(api.Morvek3(port))
        player = threading.Thread(target=play_arm)
        player.start()
        loop.start()
        try:
            assert loop.wait(timeout=5.0)
            stopped_at = time.monotonic()
        finally:
            player.join()
        assert stopped_at - hung_up_at[0] < 0.05
        assert isinstance(loop.error, api.PortError)
        assert loop.error.errno == errno.EIO
        assert "the device hung up or was unplugged" in str(loop.error)
        assert loop.stats()["cycles"] == answered + 1
        flight = loop.error.history
        assert len(flight) == 100
        assert [tick[0] for tick in flight] == [tick[0] for tick in loop.history()[-100:]]
        assert not flight[-1][7] and flight[-2][7]  # the failed exchange last


def test_stop_returns_within_one_time_out_while_the_loop_waits_on_a_silent_device():
    timeout = 0.5
    with simulator.running("arm", "--silent") as path, api.Port(path, timeout=timeout) as port:
        loop = api.ServoLoop(api.Morvek3(port))
        loop.start()
        time.sleep(0.05)  # the first exchange is waiting for its reply
        counted = []

        def count():
            for _ in range(20):
                time.sleep(0.001)
            counted.append(time.monotonic())

        counter = threading.Thread(target=count)
        counter.start()
        asked = time.monotonic()
        loop.stop()
        returned = time.monotonic()
        counter.join()
    assert returned - asked < timeout + 0.25
    assert counted[0] < returned  # other threads ran meanwhile: stop() released the interpreter lock
    assert not loop.running
    assert loop.error is None  # stopped as asked
    assert loop.stats()["failures"] == 1


# Pushes with a constant force, past the ramp, from a loop that only a daemon thread
# holds, then lets the interpreter exit.
PUSH_AND_EXIT = """
import sys, threading, time
import TavixHardwareAPI as api
loop = api.ServoLoop(api.Morvek3(api.Port(sys.argv[1], timeout=0.2)))
loop.add(api.ConstantForce([0.0, 0.0, 2.0]))
loop.start()
def hold(loop):
    threading.Event().wait()
threading.Thread(target=hold, args=(loop,), daemon=True).start()
while loop.stats()["cycles"] < 300:
    time.sleep(0.01)
assert loop.state().force == [0.0, 0.0, 2.0], loop.state()
del loop
"""


def test_the_interpreter_exit_stops_a_running_loop_with_zero_force():
    with simulator.running("arm") as path:
        subprocess.run([sys.executable, "-c", PUSH_AND_EXIT, path], check=True, timeout=60)
        # The simulated motors' currents follow the last command: zero after a zero force.
        with api.Port(path, timeout=1.0) as port:
            arm = api.Morvek3(port)
            for _ in range(5):  # a reply to the exited loop's last request may come in first
                try:
                    currents = arm.get_motor_currents()
                    break
                except api.DeviceError:
                    port.reset_input_buffer()
            else:
                pytest.fail("the simulator did not tell its motor currents")
        assert currents == [0.0, 0.0, 0.0]


# --- Stiffness and passivity control ---------------------------------------------------

@pytest.fixture
def routed():
    """The library's log lines on Python's logger "TavixHardwareAPI"."""
    api.use_python_logging(True)
    yield
    api.use_python_logging(False)


def test_stable_stiffness_is_the_damping_left_over_one_and_a_half_periods(arm):
    # Colgate & Schenkel's b > K T (d + 1/2) + |B|, with the loop's one tick of delay.
    fast = api.ServoLoop(arm, device_damping=1.5, passivity=True)
    slow = api.ServoLoop(arm, rate_hz=250.0)
    assert (fast.passivity, fast.device_damping, slow.passivity, slow.device_damping) == (True, 1.5, False, 1.0)
    assert (fast.stable_stiffness(), fast.stable_stiffness(0.5), fast.stable_stiffness(damping=-0.5)) == (
        pytest.approx(1000.0), pytest.approx(1000.0 / 1.5), pytest.approx(1000.0 / 1.5))
    assert (slow.stable_stiffness(), slow.stable_stiffness(1.0), slow.stable_stiffness(5.0)) == (
        pytest.approx(250.0 / 1.5), 0.0, 0.0)
    for bad in (lambda: fast.stable_stiffness(float("nan")), lambda: api.Spring([0.0] * 3, float("nan")),
                lambda: api.ServoLoop(arm, device_damping=-1.0)):
        with pytest.raises(ValueError):
            bad()


def test_a_spring_stiffer_than_the_bound_runs_and_is_logged_once_per_start(arm, routed, caplog):
    caplog.set_level(logging.WARNING, logger="TavixHardwareAPI")
    said = re.compile(r"servo loop: stiffness (\S+) N/m is above 666.667 N/m, the largest passive stiffness at 1000 Hz "
                      r"with a device damping of 1 N s/m: contact may buzz or bounce; lower it, add damping, or turn "
                      r"on passivity control")

    def stiffnesses():
        return [match.group(1) for match in (said.search(record.getMessage()) for record in caplog.records) if match]

    loop = api.ServoLoop(arm)
    spring = api.Spring([0.0, 0.0, 0.0], 1e9)
    loop.add(spring)
    for stiffness in (1e9, 2e9):
        spring.stiffness = stiffness
        with loop:
            wait_until(lambda: loop.stats()["cycles"] >= 200)
        assert loop.error is None
    # The lines arrive in order: once the second start's has come, every line of the first has.
    wait_until(lambda: "2e+09" in stiffnesses())
    assert stiffnesses().count("1e+09") == 1
    assert loop.stats()["passivity_acted"] == 0  # off by default


def test_the_bridge_refuses_a_stiffness_above_its_loops_bound_for_the_effects_damping(arm):
    loop = api.ServoLoop(arm)  # 667 N/m without damping, 333 N/m with 0.5 N s/m
    within = [encoding.spring([0.0] * 3, 666.0), encoding.wall([0.0] * 3, [0.0, 0.0, 1.0], 333.0, 0.5),
              encoding.damper(5.0)]
    effect_kinds.check_stiffness(effect_kinds.check_all(within), loop.stable_stiffness)
    for effect, said in ((encoding.spring([0.0] * 3, 667.0), "a spring's stiffness 667 N/m is above 666.667 N/m"),
                         (encoding.wall([0.0] * 3, [0.0, 0.0, 1.0], 334.0, 0.5), "is above 333.333 N/m"),
                         (encoding.spring([0.0] * 3, 1.0, 1.0), "with a damping of 1 N s/m")):
        with pytest.raises(ValueError, match=re.escape(said)):
            effect_kinds.check_stiffness(effect_kinds.check_all(within + [effect]), loop.stable_stiffness)
