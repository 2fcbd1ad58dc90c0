"""tavix-bridge and RemoteArm through Zenoh, on loopback only (tcp/127.0.0.1, multicast
scouting off), against simulated arms. Skipped where the remote extra is not installed."""

import contextlib
import socket
import subprocess
import sys
import time

import pytest

pytest.importorskip("zenoh", reason="the remote extra (eclipse-zenoh) is not installed")

from tavix import bridge_process, encoding, simulator  # noqa: E402
from tavix.remote import RemoteArm  # noqa: E402

COMMAND_TIMEOUT = 0.1  # s: the bridges' watchdog


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
    """A bridge for one simulated arm, on a loopback endpoint of its own."""

    def __init__(self, uuid):
        self.uuid = uuid
        self.endpoint = free_endpoint()

    def client(self):
        return RemoteArm(self.uuid, connect=[self.endpoint])


@contextlib.contextmanager
def running_bridge(uuid, *options):
    """Yields a RunningBridge; the launcher raises if the bridge does not end cleanly."""
    bridge = RunningBridge(uuid)
    with simulator.running("arm", "--uuid", uuid) as path, \
            bridge_process.running("--arm-port", path, "--listen", bridge.endpoint,
                                   "--command-timeout", str(COMMAND_TIMEOUT), *options):
        yield bridge


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
        for _ in range(20):
            arm.set_effects(encoding.constant([2.0, 0.0, 0.0]))
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
