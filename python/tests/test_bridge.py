"""tavix-bridge and RemoteArm through Zenoh, on loopback only (tcp/127.0.0.1, multicast
scouting off), against simulated arms. Skipped where the remote extra is not installed."""

import contextlib
import math
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time

import pytest

pytest.importorskip("zenoh", reason="the remote extra (eclipse-zenoh) is not installed")

import TavixHardwareAPI as api  # noqa: E402
from tavix import bridge, bridge_process, encoding, simulator  # noqa: E402
from tavix.remote import ArmFailedError, RemoteArm  # noqa: E402

COMMAND_TIMEOUT = 0.1  # s: the bridges' watchdog
WATCHDOG_SLACK = 0.010  # s: how late past COMMAND_TIMEOUT the watchdog may act


def free_endpoint():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return "tcp/127.0.0.1:%d" % probe.getsockname()[1]


def wait_until(condition, within=3.0):
    give_up = time.monotonic() + within
    while not condition():
        assert time.monotonic() < give_up, "gave up waiting"
        time.sleep(0.005)


class RunningBridge:
    """A bridge for one simulated arm, on a loopback endpoint of its own, its standard
    error kept in a file."""

    def __init__(self, uuid, stderr):
        self.uuid = uuid
        self.endpoint = free_endpoint()
        self.stderr = stderr

    def client(self, **options):
        return RemoteArm(self.uuid, connect=[self.endpoint], **options)

    def errors(self):
        """What the bridge wrote on its standard error so far."""
        self.stderr.seek(0)
        return self.stderr.read().decode(errors="replace")


@contextlib.contextmanager
def running_bridge(uuid, *options, simulator_options=(), timeout=COMMAND_TIMEOUT):
    """Yields a RunningBridge; the launcher raises if the bridge does not end cleanly."""
    with tempfile.TemporaryFile() as stderr:
        running = RunningBridge(uuid, stderr)
        with simulator.running("arm", "--uuid", uuid, *simulator_options) as path, \
                bridge_process.running("--arm-port", path, "--listen", running.endpoint,
                                       "--command-timeout", str(timeout), *options, stderr=stderr):
            yield running


@pytest.fixture(scope="module")
def publishing():
    """A bridge with its defaults: it publishes and takes no commands."""
    with running_bridge("7a5e5130-0000-4000-8000-0000000000a1") as bridge:
        yield bridge


@pytest.fixture(scope="module")
def commanded():
    """A bridge with --allow-commands."""
    with running_bridge("7a5e5130-0000-4000-8000-0000000000a2", "--allow-commands") as bridge:
        yield bridge


def test_state_arrives_and_info_answers(publishing):
    with publishing.client() as arm:
        first = arm.wait_state(timeout=5.0)
        later = arm.wait_state(timeout=2.0, after=first.cycle + 100)
        assert later.ok and len(later.position) == 3 and later.time > first.time
        info = arm.info()
        latency = arm.latency()
    assert info["uuid"] == publishing.uuid and info["allow_commands"] is False
    assert info["counters"]["published"] > 0
    assert latency["count"] > 50 and 0 < latency["p50"] < 100000


def test_without_allow_commands_an_effects_message_changes_nothing(publishing):
    with publishing.client() as arm:
        arm.wait_state(timeout=5.0)
        with pytest.raises(PermissionError, match="--allow-commands"):
            arm.set_effects(encoding.constant([2.0, 0.0, 0.0]))
        for _ in range(20):
            arm.send_raw(encoding.encode_effects([encoding.constant([2.0, 0.0, 0.0])]))
            time.sleep(0.01)
        state = arm.wait_state(timeout=2.0, after=arm.state().cycle + 50)
        info = arm.info()
    assert state.force == [0.0, 0.0, 0.0]
    assert info["counters"]["commands"] == 0 and info["remote_effects"] == []


def test_effects_apply_and_the_watchdog_zeroes_the_force_when_the_client_dies(commanded):
    # The commanding client is a process of its own, killed outright.
    script = ("import sys, time\n"
              "from tavix.remote import RemoteArm\nfrom tavix import encoding\n"
              "arm = RemoteArm(sys.argv[1], connect=[sys.argv[2]])\n"
              "while True:\n"
              "    arm.set_effects(encoding.constant([2.0, 0.0, 0.0]))\n"
              "    time.sleep(0.01)\n")
    controller = subprocess.Popen([sys.executable, "-c", script, commanded.uuid, commanded.endpoint])
    try:
        with commanded.client() as arm:
            arm.wait_state(timeout=5.0)
            wait_until(lambda: abs(arm.state().force[0] - 2.0) < 1e-6, within=5.0)
            assert arm.info()["remote_effects"] == ["constant"]
            controller.kill()
            controller.wait(5.0)
            killed = time.monotonic()
            wait_until(lambda: arm.state().force == [0.0, 0.0, 0.0], within=2.0)
            assert time.monotonic() - killed < COMMAND_TIMEOUT + 0.5
            info = arm.info()
    finally:
        if controller.poll() is None:
            controller.kill()
            controller.wait()
    assert info["remote_effects"] == [] and info["counters"]["expired"] >= 1


def test_malformed_messages_are_counted_and_dropped(commanded):
    with commanded.client() as arm:
        arm.wait_state(timeout=5.0)
        before = arm.info()["counters"]
        bad = [b"\x00\xff not json", b'{"version": 2, "effects": []}',
               b'{"version": 1, "effects": [{"type": "constant", "force": [NaN, 0, 0]}]}',
               encoding.encode_effects([encoding.spring([0, 0, 0], 1e9)]),
               encoding.encode_effects([encoding.wall([0, 0, 0], [0, 0, 0], 100.0)]),
               encoding.encode_state(1, 0.0, [0] * 3, [0] * 3, [0] * 3, True, 0)]
        for payload in bad:
            arm.send_raw(payload)
        wait_until(lambda: arm.info()["counters"]["malformed"] - before["malformed"] == len(bad))
        info = arm.info()
        state = arm.wait_state(timeout=2.0, after=arm.state().cycle + 20)
    assert info["counters"]["commands"] == before["commands"]
    assert info["remote_effects"] == [] and state.force == [0.0, 0.0, 0.0]


def test_the_encodings_check_their_layout():
    state = encoding.encode_state(7, 0.5, [1, 2, 3], [4, 5, 6], [7, 8, 9], True, 42)
    assert len(state) == 104 and encoding.decode_state(state).position == [1.0, 2.0, 3.0]
    for broken in (state[:-1], b"XX" + state[2:], state[:2] + b"\x02" + state[3:], state[:3] + b"\x02" + state[4:]):
        with pytest.raises(encoding.MessageError):
            encoding.decode_state(broken)
    status = encoding.encode_status({"device_id": 3, "quaternion": [1, 0, 0, 0], "error_flag": 0,
                                     "hall_effect_sensor_level": 9, "buttons": 1, "battery_level": 3.9}, 1)
    assert len(status) == 80 and encoding.decode_status(status).hall_effect_sensor_level == 9


def test_a_handle_status_is_published():
    import zenoh

    endpoint = free_endpoint()
    # The launcher raises if the bridge does not end cleanly.
    with simulator.running("handle", "--id", "7") as path, \
            bridge_process.running("--handle-port", path, "--listen", endpoint) as published:
        config = zenoh.Config()
        config.insert_json5("connect/endpoints", '["%s"]' % endpoint)
        config.insert_json5("scouting/multicast/enabled", "false")
        session = zenoh.open(config)
        received = []
        subscriber = session.declare_subscriber(
            "tavix/handle/7/status", lambda sample: received.append(sample.payload.to_bytes()))
        wait_until(lambda: len(received) >= 3, within=10.0)
        subscriber.undeclare()
        session.close()
    assert published == ["handle 7: tavix/handle/7/status"]
    decoded = encoding.decode_status(received[-1])
    assert decoded.device_id == 7 and decoded.error_flag == 0 and len(decoded.quaternion) == 4


# --- Faults a tester found: each test names the behaviour that mends it. ---------------

def motor_currents(port_path):
    """The simulated arm's motor currents, read once the bridge has let go of its port:
    zero exactly when the last force the arm was sent is zero."""
    with api.Port(port_path, timeout=1.0) as port:
        return api.Morvek3(port).get_motor_currents()


def test_a_signal_that_ends_the_bridge_leaves_the_arm_at_zero_force():
    uuid = "7a5e5130-0000-4000-8000-0000000000b1"
    endpoint = free_endpoint()
    with simulator.running("arm", "--uuid", uuid) as path:
        with bridge_process.launched("--arm-port", path, "--listen", endpoint, "--allow-commands",
                                     "--command-timeout", "10") as running, \
                RemoteArm(uuid, connect=[endpoint]) as arm:
            arm.wait_state(timeout=5.0)
            arm.set_effects(encoding.constant([3.0, 0.0, 0.0]))
            wait_until(lambda: abs(arm.state().force[0] - 3.0) < 1e-6, within=5.0)
            os.kill(running.process.pid, signal.SIGHUP)  # a terminal or SSH session closing
            status = running.process.wait(5.0)
        currents = motor_currents(path)
    assert currents == [0.0, 0.0, 0.0]
    assert status == 1  # not a normal stop


def test_the_watchdog_acts_on_time_at_any_rate_and_after_an_oversized_message():
    with running_bridge("7a5e5130-0000-4000-8000-0000000000b2", "--allow-commands", "--rate", "1") as running, \
            running.client() as arm:
        for _ in range(5):
            arm.set_effects(encoding.constant([2.0, 0.0, 0.0]))
            time.sleep(0.02)
        arm.send_raw(b"[" * (8 * encoding.MAX_MESSAGE_BYTES))  # dropped unread, after the last command
        wait_until(lambda: arm.info()["remote_effects"] == [], within=3.0)
        info = arm.info()
    assert info["counters"]["commands"] == 5 and info["counters"]["malformed"] == 1
    assert info["counters"]["expired"] == 1 and info["force"] == [0.0, 0.0, 0.0]
    assert COMMAND_TIMEOUT <= info["expired_after"] <= COMMAND_TIMEOUT + WATCHDOG_SLACK


def test_an_in_place_update_never_shows_a_tick_a_mix_of_two_messages():
    # Two springs, alternated as fast as they can be: A, stiff, at the arm's position, and
    # B, soft, far away. Each alone gives a modest force; A's stiffness with B's centre
    # would give thousands of newtons (clamped to max_force).
    max_force = 5.0
    with simulator.running("arm") as path, api.Port(path, timeout=0.01) as port:
        loop = api.ServoLoop(api.Morvek3(port), max_force=max_force)
        loop.start()
        try:
            remote = bridge.RemoteEffects(loop, timeout=10.0)
            time.sleep(0.2)  # past the loop's ramp
            x, y, z = loop.state().position
            springs = [encoding.spring([x, y, z], 3000.0), encoding.spring([x + 5.0, y, z], 0.2)]
            messages = [encoding.parse_effects_message(encoding.encode_effects([spring], "test"))
                        for spring in springs]
            began = time.monotonic()
            while time.monotonic() - began < 1.0:
                for message in messages:
                    assert remote.command(message)
            history = loop.history()
            remote.close()
        finally:
            loop.stop()
    assert len(history) > 500

    def alone(spring, position):
        pull = [spring["stiffness"] * (c - p) for c, p in zip(spring["center"], position)]
        return min(max_force, math.sqrt(sum(f * f for f in pull)))

    # A tick's force comes from the position of the tick before it (damping is zero).
    worst = [(math.sqrt(sum(f * f for f in row[4])), max(alone(spring, before[2]) for spring in springs))
             for before, row in zip(history[:-1], history[1:]) if row[1] > 0.15]
    mixed = [(force, bound) for force, bound in worst if force > bound * 1.001 + 1e-3]
    assert not mixed, "%d ticks of a mix, e.g. %.2f N where the messages give %.2f N at most" % (
        len(mixed), *mixed[0])


def test_one_controller_at_a_time(commanded):
    with commanded.client() as first, commanded.client() as second:
        first.wait_state(timeout=5.0)
        first.set_effects(encoding.constant([0.5, 0.0, 0.0]))
        with pytest.raises(PermissionError, match=first.controller):
            second.set_effects(encoding.constant([-0.5, 0.0, 0.0]))
        assert second.info()["controller"] == first.controller
        second.take_control()  # a supervisor's: the holder's effects go
        info = second.info()
        assert info["controller"] == second.controller and info["remote_effects"] == []
        second.release_control()
        assert second.info()["controller"] is None


MALFORMED = {
    "a 400-digit integer": b'{"version": 1, "effects": [{"type": "damper", "damping": %s}]}' % (b"9" * 400),
    "a type given as a list": b'{"version": 1, "effects": [{"type": ["spring"], "damping": 1.0}]}',
    "deeply nested JSON": b'{"version": 1, "effects": ' + b"[" * 20000 + b"]" * 20000 + b"}",
    "version true": b'{"version": true, "effects": []}',
    "version 1.0": b'{"version": 1.0, "effects": []}',
    "a controller that is not a name": b'{"version": 1, "controller": 7, "effects": []}',
}


def test_every_malformed_message_is_counted_and_none_raises(commanded):
    with commanded.client() as arm:
        arm.wait_state(timeout=5.0)
        before = arm.info()["counters"]
        for payload in MALFORMED.values():
            arm.send_raw(payload)
        wait_until(lambda: arm.info()["counters"]["malformed"] - before["malformed"] >= len(MALFORMED))
        time.sleep(0.05)  # for anything counted twice, or applied, to show
        counters = arm.info()["counters"]
    assert counters["malformed"] - before["malformed"] == len(MALFORMED)
    assert counters["commands"] == before["commands"]
    assert "Traceback" not in commanded.errors()


def test_an_arm_that_hangs_up_is_published_as_failed_and_refuses_commands():
    with running_bridge("7a5e5130-0000-4000-8000-0000000000b3", "--allow-commands",
                        simulator_options=("--hangup-after", "2500")) as running, running.client() as arm:
        arm.wait_state(timeout=5.0)
        wait_until(lambda: arm.info()["failed"] is not None, within=10.0)
        info = arm.info()
        wait_until(lambda: arm.state().failed, within=2.0)
        last, received = arm.state(), arm.received
        time.sleep(0.1)
        assert arm.received == received and arm.info()["counters"]["published"] == info["counters"]["published"]
        with pytest.raises(ArmFailedError, match="failed"):
            arm.set_effects(encoding.constant([1.0, 0.0, 0.0]))
        with pytest.raises(ArmFailedError):
            arm.take_control()
    assert not last.ok and last.force == [0.0, 0.0, 0.0] and info["running"] is False
